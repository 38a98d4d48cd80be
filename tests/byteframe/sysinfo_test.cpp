// The system information of the simulated byte-frame handheld, as a record and as a text file.
#include <cstring>

#include "bf_fixture.h"
#include "common/records.h"
#include "tarvix.h"

namespace bftest {
namespace {

using namespace tarvix;

const std::string kClock("2026/12/10 08:09:07", 20);

class SysInfoBf : public SimFixture {
  protected:
    void Start(std::map<int, std::string> texts = {}) {
        hhsim::Config config = ByteFrameConfig();
        config.clock_text = kClock;
        config.bad_space = 2600000;
        config.free_space = 1000000;
        config.block_texts = std::move(texts);
        StartSim(config);
    }

    void Silence(int command, int sub) {
        hhsim::Fault f;
        f.kind = hhsim::Fault::Kind::Silence;
        f.command = command;
        f.sub = sub;
        f.times = 100;
        hhsim::FaultPlan plan;
        plan.faults = {f};
        sim_->SetPlan(plan);
    }
};

TEST_F(SysInfoBf, TextFileAndMemoryRead) {
    Start({{120, "FLASHMODEL12"}, {32, "BF0123456789"}});
    ASSERT_EQ(bf_.GetHcSysInfo(1, 115200, "info.txt", nullptr), 0);
    const Bytes text = Slurp(dir_ / "info.txt");
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "[DiskSpaceInfo]\r\nTotal=65536\r\nUsed=63508864\r\nFree=1000000\r\nBad=4\r\n\r\n"
              "[Memory]\r\nTotal=8388608\r\n\r\n"
              "[Time]\r\nDate=2026/12/10\r\nTime=08:09:07\r\n\r\n"
              "[System]\r\nID=BF012345\r\nManufactureDate=2024-01-15\r\nType=R9M\r\n"
              "FlashModel=FLASHMODEL12\r\nHardwareVersion=3\r\n");
    EXPECT_EQ(LocalFiles(), std::vector<std::string>{"info.txt"});
    // The memory read names the system block's address and length, big-endian.
    bool seen = false;
    for (const auto& c : sim_->Commands()) {
        if (c.command != 74) continue;
        seen = true;
        ASSERT_GE(c.data.size(), 8u);
        EXPECT_EQ(Bytes(c.data.begin(), c.data.begin() + 8),
                  (Bytes{0x00, 0x40, 0xAF, 0x00, 0x00, 0x00, 0x00, 0x9C}));
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(bf_.IsComInited(), 0);  // the port is closed again
}

TEST_F(SysInfoBf, Record) {
    Start({{120, "FLASHMODEL12"}, {112, "7x"}});
    HcSysInfoBf info;
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(bf_.GetHcSysInfo(1, 115200, "", &info), 0);
    EXPECT_EQ(LoadField<int32_t>(&info.disk_total), 67108864);
    EXPECT_EQ(LoadField<int32_t>(&info.disk_used), 67108864 - 1000000 - 2600000);
    EXPECT_EQ(LoadField<int32_t>(&info.disk_free), 1000000);
    EXPECT_EQ(info.bad, 4);  // 260 wraps in one byte
    EXPECT_EQ(LoadField<int32_t>(&info.memory_total), 8388608);
    EXPECT_EQ(LoadField<uint16_t>(&info.date.year), 2026);
    EXPECT_EQ(info.time.second, 7);
    EXPECT_STREQ(info.id, "BF000004");
    EXPECT_STREQ(info.flash_model, "FLASHMOD");
    EXPECT_EQ(LoadField<uint16_t>(&info.hardware_version), 7);
    EXPECT_EQ(info.terminator, 0);
    EXPECT_TRUE(LocalFiles().empty());
}

TEST_F(SysInfoBf, Failures) {
    Start();
    EXPECT_EQ(bf_.GetHcSysInfo(1, 115200, nullptr, nullptr), 1);
    EXPECT_EQ(bf_.GetLastErrCode(), static_cast<int32_t>(ErrBadParam));

    EXPECT_EQ(bf_.GetHcSysInfo(2, 115200, "info.txt", nullptr), 1);  // COM2 does not exist
    EXPECT_EQ(bf_.GetLastErrCode(), static_cast<int32_t>(ErrNoLink));

    HcSysInfoBf info{};
    EXPECT_EQ(bf_.GetHcSysInfo(1, 115200, "missing/info.txt", &info), 1);
    EXPECT_EQ(bf_.GetLastErrCode(), static_cast<int32_t>(ErrCreateFile));

    // Every answer must arrive: a missing one is a failure, not figures from empty buffers.
    bf::Proto().SetAttempts(1);
    bf::Tune().wait_cap_ms.store(100);
    for (auto [command, sub] : {std::pair{74, 0}, std::pair{80, 24}, std::pair{80, 23}, std::pair{60, 0}}) {
        SCOPED_TRACE(command * 100 + sub);
        Silence(command, sub);
        bf::SetErrorCode(ErrNone);
        std::memset(&info, 0x5A, sizeof info);
        const HcSysInfoBf untouched = info;
        EXPECT_EQ(bf_.GetHcSysInfo(1, 115200, nullptr, &info), 1);
        EXPECT_NE(bf_.GetLastErrCode(), 0);
        EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
        EXPECT_EQ(bf_.GetHcSysInfo(1, 115200, "info.txt", nullptr), 1);
        EXPECT_EQ(bf_.IsComInited(), 0);
    }
    EXPECT_TRUE(LocalFiles().empty());
}

}  // namespace
}  // namespace bftest
