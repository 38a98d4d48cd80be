// Data rescue through HcRescue against the simulated handheld: the memory dump with its trailer, the
// flash pages, the percent, the stop request and the failures.
#include "byteframe/background.h"
#include "common/records.h"
#include "periph_fixture.h"
#include "platform/clock.h"

namespace bftest {
namespace {

using namespace tarvix;

class FixedDate : public platform::Clock {
  public:
    explicit FixedDate(platform::Clock& real) : real_(real) {}
    uint32_t TickMs() override { return real_.TickMs(); }
    void SleepMs(uint32_t ms) override { real_.SleepMs(ms); }
    platform::LocalDateTime Now() override { return {2031, 2, 3, 4, 5, 6}; }

  private:
    platform::Clock& real_;
};

class Rescue : public PeriphExports {
  protected:
    void TearDown() override {
        PeriphExports::TearDown();
        platform::SetClock(nullptr);
    }
    static hhsim::Config RescueConfig(uint32_t start, uint32_t length, int feature, uint32_t pages = 0) {
        hhsim::Config config = ByteFrameConfig();
        config.rescue_start = start;
        config.rescue_length = length;
        config.feature = feature;
        config.flash_pages = pages;
        return config;
    }
    std::vector<std::string> Shown() const {
        std::vector<std::string> out;
        for (const std::string& e : sim_->Events()) {
            if (e.rfind("shown:", 0) == 0) out.push_back(e.substr(6));
        }
        return out;
    }
    std::vector<std::pair<uint32_t, uint32_t>> Reads() const {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (const auto& c : sim_->Commands()) {
            if (c.command == bf::CmdReadMemory)
                out.emplace_back(GetBe32(c.data.data()), GetBe32(c.data.data() + 4));
        }
        return out;
    }
};

TEST_F(Rescue, MemoryDumpInChunksWithItsTrailer) {
    const uint32_t start = 0x00200010;
    Attach(RescueConfig(start, 10000, 61));
    FixedDate fixed(platform::GetClock());
    platform::SetClock(&fixed);
    sim_->ClearRecords();
    ASSERT_EQ(HcRescue(0, 0, ".\\DUMP.BIN"), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle) << GetLastErrCode();
    platform::SetClock(nullptr);

    const std::vector<std::pair<uint32_t, uint32_t>> reads = {
        {start, 4096}, {start + 4096, 4096}, {start + 8192, 1808}};
    EXPECT_EQ(Reads(), reads);
    EXPECT_EQ(Shown(),
              (std::vector<std::string>{"Sending 0%", "Sending 33%", "Sending 66%", "Finished       "}));
    EXPECT_EQ(thrdQueryPercent_Ex(), 66);

    Bytes expected(10000);
    for (uint32_t i = 0; i < expected.size(); ++i) expected[i] = hhsim::MemoryByte(start + i);
    const std::string trailer = "02/03/3104:05:06";
    expected.insert(expected.end(), trailer.begin(), trailer.end());
    uint8_t words[8];
    PutLe32(words, start);
    PutLe32(words + 4, 10000);
    expected.insert(expected.end(), words, words + 8);
    const std::string number = "BF000004";  // the first 8 bytes of the handheld's number
    expected.insert(expected.end(), number.begin(), number.end());
    EXPECT_EQ(Slurp("DUMP.BIN"), expected);
    EXPECT_FALSE(fs::exists("DUMP.BIN2"));  // a feature byte of 61 offers no flash pages
    EXPECT_EQ(Finish().status, StatusIdle);
}

TEST_F(Rescue, FlashPagesGoIntoTheSecondFile) {
    Attach(RescueConfig(0x1000, 100, 62, 3));
    ASSERT_EQ(HcRescue(0, 0, ".\\DUMP.BIN"), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(Slurp("DUMP.BIN").size(), 100u + 32u);
    Bytes pages;
    for (uint32_t page = 0; page < 3; ++page) {
        for (uint32_t i = 0; i < 4096; ++i) pages.push_back(hhsim::FlashPageByte(page, i));
    }
    EXPECT_EQ(Slurp("DUMP.BIN2"), pages);
    std::vector<Bytes> arguments;
    for (const auto& c : sim_->Commands()) {
        if (c.command == bf::CmdFile && c.sub == bf::SubFlashPage)
            arguments.emplace_back(c.data.begin(), c.data.begin() + 8);
    }
    EXPECT_EQ(arguments, (std::vector<Bytes>{
                             {0, 0, 0, 0, 0, 0, 0, 1}, {0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0, 2, 0, 0, 0, 1}}));
    EXPECT_EQ(thrdQueryPercent_Ex(), 66);
    std::vector<std::string> shown = Shown();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), "Finished       ");
    // The handheld's disk is not formatted by the flash question of a rescue.
    EXPECT_EQ(sim_->Counter("formatted"), 0);
    Finish();
}

TEST_F(Rescue, EmptyRangeWritesTheTrailerOnly) {
    Attach(RescueConfig(0x5000, 0, 0));
    ASSERT_EQ(HcRescue(0, 0, ".\\DUMP.BIN"), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(Reads(), (std::vector<std::pair<uint32_t, uint32_t>>{{0x5000, 0}}));
    EXPECT_EQ(Slurp("DUMP.BIN").size(), 32u);
    EXPECT_EQ(thrdQueryPercent_Ex(), 0);
    Finish();
}

TEST_F(Rescue, StoppedRescueKeepsWhatCameBeforeTheStop) {
    Attach(RescueConfig(0x1000, 10000, 0));
    Spill("DUMP.BIN", Bytes(7, 'o'));
    hhsim::FaultPlan plan;
    hhsim::Fault hold;
    hold.kind = hhsim::Fault::Kind::Pause;
    hold.command = bf::CmdReadMemory;
    hold.at = 17;  // the first frame of the second chunk (16 frames to a chunk)
    plan.faults.push_back(hold);
    sim_->SetPlan(plan);
    ASSERT_EQ(HcRescue(0, 0, ".\\DUMP.BIN"), ResultOk);
    ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10)));
    EXPECT_EQ(thrdQueryPercent_Ex(), 33);
    thrdStop(2);
    sim_->Release();
    ASSERT_EQ(WaitIdle(), StatusFailed);
    EXPECT_TRUE(bf::g_stop_flag.load());  // a rescue leaves the request to the caller
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrUserStop));
    EXPECT_FALSE(bf::g_stop_flag.load());
    // The first chunk arrived before the stop: it is what the rescue salvaged, in place of the old file.
    Bytes first_chunk(4096);
    for (uint32_t i = 0; i < first_chunk.size(); ++i) first_chunk[i] = hhsim::MemoryByte(0x1000 + i);
    EXPECT_EQ(Slurp("DUMP.BIN"), first_chunk);
    EXPECT_EQ(Finish().status, StatusFailed);
    // The starter clears a request left standing (the export's own detection would stop at it).
    sim_->SetPlan({});
    thrdStop(2);
    ASSERT_EQ(bf_.HcRescue(LinkPort, LinkRate, ".\\DUMP.BIN"), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(Slurp("DUMP.BIN").size(), 10032u);
}

TEST_F(Rescue, StopInsideAChunkKeepsTheFramesThatCame) {
    Attach(RescueConfig(0x1000, 10000, 0));
    hhsim::FaultPlan plan;
    hhsim::Fault hold;
    hold.kind = hhsim::Fault::Kind::Pause;
    hold.command = bf::CmdReadMemory;
    hold.at = 22;  // some frames into the second chunk
    plan.faults.push_back(hold);
    sim_->SetPlan(plan);
    ASSERT_EQ(HcRescue(0, 0, ".\\DUMP.BIN"), ResultOk);
    ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10)));
    thrdStop(2);
    sim_->Release();
    ASSERT_EQ(WaitIdle(), StatusFailed);
    const Bytes kept = Slurp("DUMP.BIN");
    // The first chunk and the frames of the second that were accepted before the stop.
    ASSERT_GT(kept.size(), 4096u);
    ASSERT_LT(kept.size(), 8192u);
    for (uint32_t i = 0; i < kept.size(); ++i) ASSERT_EQ(kept[i], hhsim::MemoryByte(0x1000 + i)) << i;
    EXPECT_EQ(Finish().status, StatusFailed);
}

TEST_F(Rescue, FailuresOfTheStartAndOfTheWorker) {
    Attach(RescueConfig(0x1000, 100, 0));
    // A file that cannot be made.
    ASSERT_EQ(HcRescue(0, 0, ".\\no\\such\\DUMP.BIN"), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusFailed);
    EXPECT_EQ(Finish().error_code, ErrCreateFile);
    // Names that leave no room for the second file's "2".
    const std::string long_name(199, 'd');
    EXPECT_EQ(HcRescue(0, 0, long_name.c_str()), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadName));
    EXPECT_EQ(HcRescue(0, 0, ""), ResultFailed);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    // Over USB without a device: the link test goes unanswered.
    bf::ByteFrame family;
    ASSERT_EQ(family.HcRescue(0, 115200, ".\\USB.BIN"), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrNoResponse);
    EXPECT_FALSE(fs::exists("USB.BIN"));
    Finish();
    bf::Proto().line().ComInit(1, 115200);  // out of the USB mode
    bf::Proto().line().ComRelease();
}

}  // namespace
}  // namespace bftest
