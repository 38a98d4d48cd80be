// The byte-frame family's operations against the simulated handheld.
#include <cstring>

#include "bf_fixture.h"
#include "common/records.h"

namespace bftest {
namespace {

using namespace tarvix;
using namespace tarvix::bf;

class Family : public SimFixture {};

TEST_F(Family, ProbeReadsTheNumberAndRestoresTheWaits) {
    StartSim();
    Proto().HcSetExitTime(2000, 5000);
    char number[10];
    std::memset(number, 'x', sizeof number);
    EXPECT_EQ(bf_.ProbeLink(1, 115200, number), 0);
    EXPECT_STREQ(number, "BF0000042");
    EXPECT_EQ(Proto().AckTimeout(), 500u);
    EXPECT_EQ(Proto().ByteTimeout(), 3000u);
    EXPECT_EQ(Proto().Attempts(), 5u);
    EXPECT_EQ(bf_.IsComInited(), 0);
    EXPECT_EQ(bf_.TestHcLink(2, 115200), 1);  // COM2 does not exist
}

TEST_F(Family, DetectionScansPortsAndRatesAndTellsTheMode) {
    hhsim::Config config = ByteFrameConfig();
    config.baud = 57600;
    StartSim(config, "TARVIX_COM2");
    setenv("TARVIX_COM1", "/nonexistent/tty", 1);
    int32_t port = 1, rate = 115200;
    uint8_t mode = 3;
    EXPECT_EQ(bf_.DetectLink(&port, &rate, &mode), 0);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(rate, 57600);
    EXPECT_EQ(mode, 2);
    // The saved pair is tried first and alone when it answers.
    sim_->ClearRecords();
    EXPECT_EQ(bf_.DetectLink(&port, &rate, &mode), 0);
    EXPECT_EQ(CommandsOf(CmdLinkTest, -1), 1);
}

TEST_F(Family, DetectionWithoutNumberGivesModeOne) {
    hhsim::Config config = ByteFrameConfig();
    config.number = "";
    StartSim(config);
    int32_t port = 1, rate = 115200;
    uint8_t mode = 3;
    EXPECT_EQ(bf_.DetectLink(&port, &rate, &mode), 0);
    EXPECT_EQ(mode, 1);
}

TEST_F(Family, NothingAttachedLeavesThePairAlone) {
    setenv("TARVIX_COM1", "/nonexistent/tty", 1);
    int32_t port = 3, rate = 9600;
    uint8_t mode = 3;
    EXPECT_EQ(bf_.DetectLink(&port, &rate, &mode), 1);
    EXPECT_EQ(port, 3);
    EXPECT_EQ(rate, 9600);
    EXPECT_EQ(mode, 3);
}

TEST_F(Family, FileInformationAndItsRefusals) {
    StartSim();
    fs::create_directories(Store("DATA"));
    Spill(Store("DATA/A.TXT"), Bytes(1234, 'a'));
    HcFileEntry entry{};
    EXPECT_EQ(bf_.GetHcFileInfo(1, 115200, "\\DATA\\A.TXT", &entry), ResultOk);
    EXPECT_STREQ(entry.name, "A.TXT");
    EXPECT_EQ(LoadField<int32_t>(&entry.size), 1234);
    EXPECT_EQ(entry.kind, 1);
    EXPECT_NE(LoadField<uint16_t>(&entry.date), 0);

    EXPECT_EQ(bf_.GetHcFileInfo(1, 115200, "\\DATA\\NONE.TXT", &entry), ResultNotFound);
    EXPECT_EQ(bf::ErrorCode(), ErrFileNotFound);

    sim_->ClearRecords();
    SetErrorCode(ErrCrc);
    EXPECT_EQ(bf_.GetHcFileInfo(1, 115200, "", &entry), ResultNotFound);
    EXPECT_EQ(bf_.GetHcFileInfo(1, 115200, "\\DATA\\", &entry), ResultNotFound);
    EXPECT_EQ(bf::ErrorCode(), ErrCrc);
    EXPECT_EQ(sim_->CommandCount(), 0u);
}

TEST_F(Family, NextEntriesEndWithErrorCodeZero) {
    StartSim();
    for (const char* n : {"A.TXT", "B.TXT", "C.TXT"}) Spill(Store(n), Bytes(10, 'x'));
    HcFileEntry entry{};
    ASSERT_EQ(bf_.GetHcFileInfo(1, 115200, "*.TXT", &entry), ResultOk);
    int seen = 1;
    while (bf_.GetHcNextFileInfo(1, 115200, &entry) == ResultOk) ++seen;
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(bf::ErrorCode(), ErrNone);
}

TEST_F(Family, ListingsWriteTheirEntryForms) {
    StartSim();
    Spill(Store("A.TXT"), Bytes(100, 'x'));
    Spill(Store("B.TXT"), Bytes(23, 'x'));
    struct Case {
        bool extended;
        int names_only;
        size_t entry;
    };
    for (Case c : {Case{false, 1, 13}, Case{false, 0, 32}, Case{true, 1, 32}, Case{true, 0, 51}}) {
        int32_t count = -1, total = -1;
        int32_t r = c.extended
                        ? bf_.GetHcDirInfoEx(1, 115200, "*.*", ".\\list.bin", &count, &total, c.names_only)
                        : bf_.GetHcDirInfo(1, 115200, "*.*", ".\\list.bin", &count, &total, c.names_only);
        EXPECT_EQ(r, ResultOk);
        EXPECT_EQ(count, 2);
        EXPECT_EQ(total, 123);
        Bytes list = Slurp("list.bin");
        ASSERT_EQ(list.size(), 2 * c.entry) << c.entry;
        std::string first(reinterpret_cast<const char*>(list.data()));
        std::string second(reinterpret_cast<const char*>(list.data() + c.entry));
        EXPECT_TRUE((first == "A.TXT" && second == "B.TXT") || (first == "B.TXT" && second == "A.TXT"));
        if (c.entry == 51) {
            HcFileRecord record;
            std::memcpy(&record, list.data(), sizeof record);
            EXPECT_EQ(LoadField<uint32_t>(&record.size), first == "A.TXT" ? 100u : 23u);
        }
    }
    int32_t count = -1, total = -1;
    EXPECT_EQ(bf_.GetHcDirInfo(1, 115200, "*.NONE", ".\\empty.bin", &count, &total, 0), ResultOk);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(fs::exists("empty.bin"));
    EXPECT_EQ(fs::file_size("empty.bin"), 0u);
}

TEST_F(Family, Folders) {
    StartSim();
    EXPECT_EQ(bf_.HcMakeDir(1, 115200, "\\WORK"), 0);
    EXPECT_EQ(sim_->ShownText(), "Success");
    EXPECT_TRUE(fs::is_directory(Store("WORK")));
    EXPECT_EQ(bf_.HcMakeDir(1, 115200, "\\WORK"), 1);  // the handheld's refusal
    EXPECT_EQ(sim_->ShownText(), "Fail");
    EXPECT_EQ(bf_.HcSetDir(1, 115200, "\\WORK"), 0);
    char folder[80];
    std::memset(folder, 'x', sizeof folder);
    EXPECT_EQ(bf_.HcGetCurDir(1, 115200, folder), 0);
    EXPECT_STREQ(folder, "\\WORK");
    EXPECT_EQ(bf_.HcSetDir(1, 115200, "\\"), 0);
    EXPECT_EQ(bf_.HcDelDir(1, 115200, "\\WORK"), 0);
    EXPECT_EQ(sim_->ShownText(), "Del success");
    EXPECT_FALSE(fs::exists(Store("WORK")));

    sim_->ClearRecords();
    EXPECT_EQ(bf_.HcMakeDir(1, 115200, "\\$e$"), 1);
    EXPECT_EQ(sim_->CommandCount(), 0u);
}

TEST_F(Family, NewFolderNeedsRoomOnTheHandheld) {
    hhsim::Config config = ByteFrameConfig();
    config.free_space = 4063;
    StartSim(config);
    EXPECT_EQ(bf_.HcMakeDir(1, 115200, "\\WORK"), 1);
    EXPECT_EQ(bf::ErrorCode(), ErrDiskFull);
    EXPECT_EQ(sim_->ShownText(), "On memory");
    ASSERT_EQ(Prompts().size(), 1u);
    EXPECT_EQ(FirstPrompt(), "Error|Out of memory of HC");
    sim_->SetFreeSpace(4064);
    EXPECT_EQ(bf_.HcMakeDir(1, 115200, "\\WORK"), 0);
}

TEST_F(Family, RefusedNameOrPathIsNeverActedOn) {
    StartSim();
    fs::create_directories(Store("KEEP"));
    Spill(Store("A.TXT"), Bytes(5, 'a'));
    // Every attempt of the data frame after SubSetPath and SubSetName is refused.
    hhsim::FaultPlan plan;
    plan.faults.push_back({hhsim::Fault::Kind::Nak, 2, 10, CmdFile, SubSetPath});
    plan.faults.push_back({hhsim::Fault::Kind::Nak, 2, 10, CmdFile, SubSetName});
    sim_->SetPlan(plan);
    EXPECT_EQ(bf_.HcDelDir(1, 115200, "\\KEEP"), 1);
    EXPECT_EQ(bf::ErrorCode(), ErrNoAck);
    EXPECT_EQ(CommandsOf(CmdFile, SubRemoveDir), 0);
    EXPECT_TRUE(fs::is_directory(Store("KEEP")));
    HcFileEntry entry{};
    EXPECT_EQ(bf_.GetHcFileInfo(1, 115200, "\\A.TXT", &entry), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrNoAck);
    EXPECT_EQ(CommandsOf(CmdFile, SubFindFirst), 0);
}

TEST_F(Family, MissingResultByteIsARefusal) {
    StartSim();
    hhsim::FaultPlan plan;
    plan.faults = {{hhsim::Fault::Kind::ShortStatus, 1, 1, CmdFile, SubResult}};
    sim_->SetPlan(plan);
    EXPECT_NE(bf_.HcMakeDir(1, 115200, "\\NEW"), 0);
    EXPECT_EQ(sim_->ShownText(), "Fail");
}

}  // namespace
}  // namespace bftest
