// The system information of the simulated text-frame handheld through the export, as a record and
// as a text file.
#include <cstring>

#include "common/records.h"
#include "sim_fixture.h"
#include "textframe/textframe.h"

namespace tarvix::tftest {
namespace {

const std::string kClock("2026/12/10 08:09:07", 20);

class SysInfoTest : public SimTest {
  protected:
    hhsim::Simulator& Start(std::map<int, std::string> texts = {}) {
        hhsim::Config config;
        config.clock_text = kClock;
        config.bad_space = 25000;
        config.free_space = 1000000;
        config.block_texts = std::move(texts);
        return StartSim(1, config);
    }

    void Silence(int command, int sub) {
        hhsim::Fault f;
        f.kind = hhsim::Fault::Kind::Silence;
        f.command = command;
        f.sub = sub;
        f.times = 100;
        hhsim::FaultPlan plan;
        plan.faults = {f};
        sim().SetPlan(plan);
    }
};

TEST_F(SysInfoTest, TextFile) {
    struct Case {
        const char* what;
        std::map<int, std::string> texts;
        const char* id;
        const char* software;
    };
    // A handheld that puts CR LF into its texts would otherwise hand the host a second "Used=" and a
    // section of its own: each text stays on its line, cut at its first line break.
    const Case cases[] = {
        {"the handheld's own texts", {}, "HC2025001", "TF 2.31"},
        {"texts with line breaks",
         {{0, "R9M\r\nUsed=1"}, {32, "HC7\r\n[Memory]"}, {80, "TF 2\nTotal=1"}},
         "HC7",
         "TF 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.texts);
        WriteFile(work_ / "info.txt", Bytes(3000, 'o'));
        ASSERT_EQ(GetHcSysInfo(0, 0, ".\\info.txt", nullptr), 0);
        const Bytes text = ReadFile(work_ / "info.txt");
        EXPECT_EQ(std::string(text.begin(), text.end()),
                  "[DiskSpaceInfo]\r\nTotal=65536\r\nUsed=66083864\r\nFree=1000000\r\nBad=2\r\n\r\n"
                  "[Memory]\r\nTotal=8388608\r\n\r\n"
                  "[Time]\r\nDate=2026/12/10\r\nTime=08:09:07\r\n\r\n"
                  "[System]\r\nID=" +
                      std::string(c.id) +
                      "\r\nManufactureDate=2024-01-15\r\nType=R9M\r\nFlashModel=64\r\n"
                      "HardwareVersion=3\r\nSoftwareVersion=" +
                      c.software + "\r\n");
        EXPECT_EQ(WorkFiles(), std::vector<std::string>{"info.txt"});
        EXPECT_EQ(thrdQueryStatus(), StatusIdle);
        ComRelease();
        sim().Stop();
    }
}

TEST_F(SysInfoTest, Record) {
    Start({{32, "ID-0123456789ABCDEFG"}, {120, "31.5"}, {112, "12abc"}});
    HcSysInfo info;
    std::memset(&info, 0x5A, sizeof info);
    for (const char* no_file : {static_cast<const char*>(nullptr), ""}) {
        ASSERT_EQ(GetHcSysInfo(0, 0, no_file, &info), 0);
        EXPECT_EQ(LoadField<int32_t>(&info.disk_total), 33030144);
        EXPECT_EQ(LoadField<int32_t>(&info.disk_used), 33030144 - 1000000 - 25000);
        EXPECT_EQ(LoadField<int32_t>(&info.disk_free), 1000000);
        EXPECT_EQ(info.bad, 2);
        EXPECT_EQ(LoadField<int32_t>(&info.memory_total), 8388608);
        EXPECT_EQ(LoadField<uint16_t>(&info.date.year), 2026);
        EXPECT_EQ(info.date.month, 12);
        EXPECT_EQ(info.date.day, 10);
        EXPECT_EQ(info.time.hour, 8);
        EXPECT_EQ(info.time.minute, 9);
        EXPECT_EQ(info.time.second, 7);
        EXPECT_STREQ(info.id, "ID-0123456789AB");
        EXPECT_STREQ(info.type, "R9M");
        EXPECT_STREQ(info.flash_model, "31.5");
        EXPECT_EQ(LoadField<uint16_t>(&info.hardware_version), 12);
        EXPECT_STREQ(info.software_version, "TF 2.31");
        EXPECT_EQ(info.terminator, 0);
    }
    EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(SysInfoTest, Refusals) {
    Start();
    // Nowhere to put the answers.
    EXPECT_EQ(GetHcSysInfo(0, 0, "", nullptr), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));

    ASSERT_EQ(tf::SetLinkStatus(StatusBusy, 0), 1);
    HcSysInfo info{};
    const size_t before = sim().CommandCount();
    EXPECT_EQ(tf::TextFrame().GetHcSysInfo(nullptr, &info), ResultBusy);
    EXPECT_EQ(sim().CommandCount(), before);
    tf::SetLinkStatus(StatusIdle, 0);

    // A file that cannot be made: no file, and the failure told.
    EXPECT_EQ(GetHcSysInfo(0, 0, "missing\\info.txt", nullptr), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrCreateFile));
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(SysInfoTest, MissingAnswersWriteNothing) {
    Start();
    tf::Timing timing = TestTiming();
    timing.default_attempts = 1;
    timing.default_timeout_ms = 200;
    tf::SetTiming(timing);
    WriteFile(work_ / "info.txt", Bytes(10, 'o'));
    for (auto [command, sub] : {std::pair{74, 0}, std::pair{80, 23}, std::pair{60, 0}}) {
        SCOPED_TRACE(command * 100 + sub);
        Silence(command, sub);
        HcSysInfo info;
        std::memset(&info, 0x5A, sizeof info);
        const HcSysInfo untouched = info;
        EXPECT_EQ(GetHcSysInfo(0, 0, nullptr, &info), 1);
        EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrOperation));
        EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
        EXPECT_EQ(GetHcSysInfo(0, 0, "info.txt", nullptr), 1);
        EXPECT_EQ(ReadFile(work_ / "info.txt"), Bytes(10, 'o'));
    }
    EXPECT_EQ(WorkFiles(), std::vector<std::string>{"info.txt"});
}

}  // namespace
}  // namespace tarvix::tftest
