// Data rescue of the simulated text-frame handheld through the exports: the blocks asked for, the
// rescue file, the progress on the handheld and the outcome a caller can see.
#include <cstring>

#include "sim_fixture.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"

namespace tarvix::tftest {
namespace {

constexpr size_t kBlock = 2048;

Bytes Page(int block, size_t size = kBlock) {
    Bytes page(size);
    for (size_t i = 0; i < size; ++i) page[i] = static_cast<uint8_t>(block * 31 + static_cast<int>(i));
    return page;
}

class RescueTest : public SimTest {
  protected:
    void Start(int units, std::map<int, int> sizes = {}, int info_size = 24) {
        hhsim::Config config;
        config.flash_units = units;
        config.flash_page_sizes = std::move(sizes);
        config.flash_info_size = info_size;
        StartSim(1, config);
    }

    // Runs a rescue to its end.
    void Rescue(const char* file = "dump.bin") {
        ASSERT_EQ(HcRescue(0, 0, file), 0);
        WaitWorker();
        ASSERT_NE(thrdQueryStatus(), StatusBusy);
    }

    std::vector<std::string> Shown() const {
        std::vector<std::string> shown;
        for (const std::string& e : sim_->Events()) {
            if (e.rfind("shown:", 0) == 0) shown.push_back(e.substr(6));
        }
        return shown;
    }

    std::vector<Bytes> PageArguments() const {
        std::vector<Bytes> args;
        for (const auto& c : sim_->Commands()) {
            if (c.command == 80 && c.sub == 41) args.push_back(c.data);
        }
        return args;
    }

    static std::string Progress(int percent) {
        return " " + std::to_string(percent) + "%" + std::string(16, ' ');
    }
};

TEST_F(RescueTest, BlocksInOrderWithProgress) {
    Start(3);
    tf::g_rescue_percent.store(-1);
    Rescue();
    Bytes expected;
    for (int b = 0; b < 6; ++b) {
        const Bytes page = Page(b);
        expected.insert(expected.end(), page.begin(), page.end());
    }
    EXPECT_EQ(ReadFile(work_ / "dump.bin"), expected);
    const std::vector<Bytes> args = PageArguments();
    ASSERT_EQ(args.size(), 6u);
    for (int b = 0; b < 6; ++b) EXPECT_EQ(args[b], (Bytes{static_cast<uint8_t>(b * 4), 0, 0, 0, 1, 0, 0, 0}));
    const std::vector<std::string> shown = Shown();
    const std::vector<std::string> want = {Progress(0),  Progress(16), Progress(33), Progress(50),
                                           Progress(66), Progress(83), "100%"};
    EXPECT_EQ(shown, want);
    EXPECT_EQ(thrdQueryPercent_Ex(), 83);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
}

TEST_F(RescueTest, NothingToRescue) {
    for (int units : {-1, 0}) {
        SCOPED_TRACE(units);
        Start(units);
        WriteFile(work_ / "dump.bin", Bytes(7, 'k'));
        tf::g_rescue_percent.store(42);
        Rescue();
        // Flag 0: the file is left alone; flag set with no units: an empty rescue file.
        EXPECT_EQ(ReadFile(work_ / "dump.bin"), units < 0 ? Bytes(7, 'k') : Bytes());
        EXPECT_EQ(Shown(), std::vector<std::string>{"100%"});
        EXPECT_EQ(thrdQueryPercent_Ex(), 42);
        EXPECT_EQ(thrdQueryStatus(), StatusIdle);
        ComRelease();
        sim().Stop();
    }
}

TEST_F(RescueTest, ShortBlockIsKeptAsItCame) {
    Start(2, {{2, 1000}});
    Rescue();
    Bytes expected;
    for (int b = 0; b < 4; ++b) {
        const Bytes page = Page(b, b == 2 ? 1000 : kBlock);
        expected.insert(expected.end(), page.begin(), page.end());
    }
    EXPECT_EQ(ReadFile(work_ / "dump.bin"), expected);
}

TEST_F(RescueTest, FailedBlockEndsTheRescueAndIsReported) {
    Start(3);
    tf::Timing timing = TestTiming();
    timing.default_attempts = 1;
    timing.default_timeout_ms = 200;
    tf::SetTiming(timing);
    hhsim::Fault f;
    f.kind = hhsim::Fault::Kind::Silence;
    f.command = 80;
    f.sub = 41;
    f.at = 5;
    f.times = 100;
    hhsim::FaultPlan plan;
    plan.faults = {f};
    sim().SetPlan(plan);
    Rescue();
    Bytes expected;
    for (int b = 0; b < 4; ++b) {
        const Bytes page = Page(b);
        expected.insert(expected.end(), page.begin(), page.end());
    }
    // The blocks that came are kept; the caller learns that the rescue did not complete.
    EXPECT_EQ(ReadFile(work_ / "dump.bin"), expected);
    EXPECT_EQ(Shown().back(), Progress(66));
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrReceiveFail));
}

TEST_F(RescueTest, StoppedRescueKeepsTheBlocksThatCame) {
    Start(8);
    WriteFile(work_ / "dump.bin", Bytes(7, 'k'));
    hhsim::Fault hold;
    hold.kind = hhsim::Fault::Kind::Pause;
    hold.command = 80;
    hold.sub = 41;
    hold.at = 30;  // some frames into the rescue, past its first blocks
    hhsim::FaultPlan plan;
    plan.faults = {hold};
    sim().SetPlan(plan);
    ASSERT_EQ(HcRescue(0, 0, "dump.bin"), 0);
    ASSERT_TRUE(sim().WaitEvent("paused:pause", std::chrono::seconds(10)));
    thrdStop(2);
    sim().Release();
    WaitWorker();
    const Bytes kept = ReadFile(work_ / "dump.bin");
    // Whole blocks, in order, as many as came before the stop: never the old file, never all 16.
    ASSERT_GT(kept.size(), 0u);
    ASSERT_LT(kept.size(), 16u * 2048u);
    ASSERT_EQ(kept.size() % 2048u, 0u);
    Bytes expected;
    for (size_t b = 0; b < kept.size() / 2048u; ++b) {
        const Bytes page = Page(static_cast<int>(b));
        expected.insert(expected.end(), page.begin(), page.end());
    }
    EXPECT_EQ(kept, expected);
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(work_)) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"dump.bin"});  // no temporary left beside it
}

TEST_F(RescueTest, UnusableStartLeavesTheFileAlone) {
    // An answer that does not tell flag and count fetches nothing.
    Start(3, {}, 10);
    WriteFile(work_ / "dump.bin", Bytes(7, 'k'));
    Rescue();
    EXPECT_EQ(ReadFile(work_ / "dump.bin"), Bytes(7, 'k'));
    EXPECT_TRUE(PageArguments().empty());
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrReceiveFail));
    ComRelease();
    sim().Stop();

    // A rescue file that cannot be made.
    Start(3);
    Rescue("missing\\dump.bin");
    EXPECT_TRUE(PageArguments().empty());
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrCreateFile));
}

TEST_F(RescueTest, OneBackgroundWorkerAtATime) {
    Start(3);
    ASSERT_EQ(tf::ClaimWorker(), 0);
    EXPECT_EQ(tf::TextFrame().HcRescue(0, 0, "dump.bin"), ResultBusy);
    tf::ReleaseWorker();
    EXPECT_FALSE(fs::exists(work_ / "dump.bin"));
    // A handheld of kind 3 keeps nothing to rescue.
    ComRelease();
    sim().Stop();
    hhsim::Config config;
    config.model = "T3";
    config.flash_units = 3;
    StartSim(1, config);
    DeviceKind = 3;
    EXPECT_EQ(HcRescue(0, 0, "dump.bin"), 0);
    WaitWorker();
    EXPECT_FALSE(fs::exists(work_ / "dump.bin"));
}

}  // namespace
}  // namespace tarvix::tftest
