// File entries, listings and folders of the simulated handheld through the exports.
#include <cstring>

#include "common/records.h"
#include "sim_fixture.h"

namespace tarvix::tftest {
namespace {

class FoldersTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        StartSim(1);
        fs::create_directories(Store() / "APP" / "SUB");
        WriteFile(Store() / "APP" / "A.TXT", Bytes(100, 'a'));
        WriteFile(Store() / "APP" / "B.TXT", Bytes(200, 'b'));
        WriteFile(Store() / "APP" / "VERYLONGNAMEOFAFILE.TXT", Bytes(300, 'c'));
    }

    // Every entry of a pattern as the Ex forms give them.
    std::vector<HcFileRecord> Entries(const char* pattern) {
        std::vector<HcFileRecord> entries;
        HcFileRecord record{};
        int32_t r = GetHcFileInfoEx(0, 0, pattern, &record);
        while (r == 0 && entries.size() < 100) {
            entries.push_back(record);
            r = GetHcNextFileInfoEx(0, 0, &record);
        }
        EXPECT_EQ(r, 2);
        return entries;
    }
};

TEST_F(FoldersTest, FileInformationBothForms) {
    HcFileRecord record{};
    ASSERT_EQ(GetHcFileInfoEx(0, 0, "\\APP\\VERYLONGNAMEOFAFILE.TXT", &record), 0);
    EXPECT_STREQ(record.name, "VERYLONGNAMEOFAFILE.TXT");
    EXPECT_EQ(+record.size, 300u);
    EXPECT_EQ(record.kind, 1);
    EXPECT_NE(+record.date, 0);

    HcFileEntry entry{};
    ASSERT_EQ(GetHcFileInfo(0, 0, "\\APP\\VERYLONGNAMEOFAFILE.TXT", &entry), 0);
    EXPECT_STREQ(entry.name, "VERYLONGNAME");  // the short record holds 12 characters
    EXPECT_EQ(+entry.size, 300);
    EXPECT_EQ(+entry.date, +record.date);
    EXPECT_EQ(+entry.time, +record.time);

    std::memset(&entry, 0x5A, sizeof entry);
    const HcFileEntry untouched = entry;
    EXPECT_EQ(GetHcFileInfo(0, 0, "\\APP\\NONE.TXT", &entry), 2);
    EXPECT_EQ(std::memcmp(&entry, &untouched, sizeof entry), 0);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);

    // Names of 256 characters or more would be cut on the handheld: refused.
    EXPECT_EQ(GetHcFileInfoEx(0, 0, std::string(256, 'N').c_str(), &record), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadName));
    EXPECT_EQ(GetHcFileInfoEx(0, 0, "", &record), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));
}

TEST_F(FoldersTest, NextFormsWalkTheMatches) {
    const std::vector<HcFileRecord> entries = Entries("\\APP\\*.*");
    ASSERT_EQ(entries.size(), 4u);  // three files and the folder
    HcFileEntry entry{};
    ASSERT_EQ(GetHcFileInfo(0, 0, "\\APP\\*.*", &entry), 0);
    EXPECT_STREQ(entry.name, std::string(entries[0].name).substr(0, 12).c_str());
    for (size_t i = 1; i < entries.size(); ++i) {
        ASSERT_EQ(GetHcNextFileInfo(0, 0, &entry), 0);
        EXPECT_EQ(+entry.size, static_cast<int32_t>(entries[i].size));
        EXPECT_EQ(entry.kind, entries[i].kind);
    }
    EXPECT_EQ(GetHcNextFileInfo(0, 0, &entry), 2);
}

TEST_F(FoldersTest, ListingsByteForByte) {
    const std::vector<HcFileRecord> entries = Entries("\\APP\\*.TXT");
    ASSERT_EQ(entries.size(), 3u);
    Bytes full;
    Bytes names;
    for (const HcFileRecord& r : entries) {
        uint8_t bytes[51] = {};
        std::memcpy(bytes, r.name, 32);
        names.insert(names.end(), bytes, bytes + 32);
        PutLe32(bytes + 32, r.size);
        PutLe16(bytes + 36, r.date);
        PutLe16(bytes + 38, r.time);
        bytes[40] = r.kind;
        full.insert(full.end(), bytes, bytes + 51);
    }
    int32_t count = -1;
    int32_t total = -1;
    ASSERT_EQ(GetHcDirInfo(0, 0, "\\APP\\*.TXT", ".\\list.bin", &count, &total, 0), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(total, 600);
    EXPECT_EQ(ReadFile(work_ / "list.bin"), full);
    total = -1;
    ASSERT_EQ(GetHcDirInfoEx(0, 0, "\\APP\\*.TXT", ".\\names.bin", nullptr, &total, 1), 0);
    EXPECT_EQ(total, 600);
    EXPECT_EQ(ReadFile(work_ / "names.bin"), names);

    // Nothing matching: an empty list.
    ASSERT_EQ(GetHcDirInfo(0, 0, "\\APP\\*.XYZ", ".\\empty.bin", &count, &total, 0), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(total, 0);
    EXPECT_TRUE(fs::exists(work_ / "empty.bin"));
    EXPECT_EQ(fs::file_size(work_ / "empty.bin"), 0u);
}

TEST_F(FoldersTest, FailedListingKeepsThePreviousList) {
    WriteFile(work_ / "list.bin", Bytes{1, 2, 3});
    hhsim::FaultPlan plan;
    hhsim::Fault silence;
    silence.kind = hhsim::Fault::Kind::Silence;
    silence.command = 80;
    silence.sub = 15;
    silence.times = 10;
    plan.faults.push_back(silence);
    sim().SetPlan(plan);
    int32_t count = -1;
    int32_t total = -1;
    EXPECT_EQ(GetHcDirInfo(0, 0, "\\APP\\*.*", ".\\list.bin", &count, &total, 0), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrOperation));
    EXPECT_EQ(ReadFile(work_ / "list.bin"), (Bytes{1, 2, 3}));
    EXPECT_EQ(std::distance(fs::directory_iterator(work_), fs::directory_iterator()), 1);
}

TEST_F(FoldersTest, MakeChangeAndRemoveFolders) {
    ASSERT_EQ(HcMakeDir(0, 0, "\\NEW"), 0);
    EXPECT_TRUE(fs::is_directory(Store() / "NEW"));
    EXPECT_EQ(HcMakeDir(0, 0, "\\NEW"), 1);  // the handheld answers a non-zero status
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrOperation));

    ASSERT_EQ(HcSetDir(0, 0, "\\APP"), 0);
    char folder[257];
    ASSERT_EQ(HcGetCurDir(0, 0, folder), 0);
    EXPECT_STREQ(folder, "\\APP/");
    ASSERT_EQ(HcSetDir(0, 0, "\\"), 0);
    ASSERT_EQ(HcGetCurDir(0, 0, folder), 0);
    EXPECT_STREQ(folder, "\\");

    ASSERT_EQ(HcDelDir(0, 0, "\\NEW"), 0);
    EXPECT_FALSE(fs::exists(Store() / "NEW"));
    EXPECT_EQ(HcDelDir(0, 0, "\\NEW"), 1);

    // A path of 256 characters goes out whole; one of 257 is refused.
    const std::string long_path = "\\" + std::string(255, 'P');
    sim().ClearRecords();
    HcMakeDir(0, 0, long_path.c_str());
    Bytes sent_path;
    for (const hhsim::CommandRecord& c : sim().Commands()) {
        if (c.command == 80 && c.sub == 11) sent_path = c.payload;
    }
    EXPECT_EQ(sent_path, Bytes(long_path.begin(), long_path.end()));
    EXPECT_EQ(HcMakeDir(0, 0, (long_path + "P").c_str()), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));
    EXPECT_EQ(HcGetCurDir(0, 0, nullptr), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));
}

TEST_F(FoldersTest, ChangeFolderCarriesTheAuthorityByte) {
    for (int32_t authority : {0, 1}) {
        tf::Status().authority.store(authority);
        sim().ClearRecords();
        ASSERT_EQ(HcSetDir(0, 0, "\\APP"), 0);
        // The handheld notes a command after it has answered it.
        ASSERT_TRUE(sim().WaitEvent("command:80/21", std::chrono::seconds(5)));
        bool seen = false;
        for (const hhsim::CommandRecord& c : sim().Commands()) {
            if (c.command == 80 && c.sub == 21) {
                seen = true;
                EXPECT_EQ(c.data, Bytes{static_cast<uint8_t>(authority)});
            }
        }
        EXPECT_TRUE(seen);
    }
    tf::Status().authority.store(0);
}

}  // namespace
}  // namespace tarvix::tftest
