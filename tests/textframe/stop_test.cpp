// A stop ends a background operation at whatever step it reaches, and one operation holds the link
// at a time across threads: a second thread's call is refused without a byte on the line, and the
// running transfer ends whole.  The handheld holds at a known frame, so each stop lands in a known
// step without sleeps.
#include <algorithm>

#include "sim_fixture.h"

namespace tarvix::tftest {
namespace {

constexpr const char* kHcName = "\\KELVANHB\\A.DBF";

hhsim::Fault FaultOn(hhsim::Fault::Kind kind, int command, int sub, int at) {
    hhsim::Fault f;
    f.kind = kind;
    f.command = command;
    f.sub = sub;
    f.at = at;
    return f;
}

// Holds before an outbound frame, or after an inbound data frame, until released.
hhsim::Fault PauseOn(int command, int sub, int at) {
    return FaultOn(hhsim::Fault::Kind::Pause, command, sub, at);
}
// Leaves a command packet unanswered: the library waits for its answer byte.
hhsim::Fault SilentOn(int command, int sub) {
    return FaultOn(hhsim::Fault::Kind::Silence, command, sub, 1);
}

class StopTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        // The handheld holds for as long as a test needs: the library must not give up meanwhile.
        tf::Timing t = TestTiming();
        t.default_timeout_ms = 3000;
        t.status_reply_timeout_ms = 3000;
        tf::SetTiming(t);
        StartSim(1);
        fs::create_directories(Store() / "KELVANHB");
    }

    fs::path HcFile() const { return Store() / "KELVANHB" / "A.DBF"; }

    void Hold(const hhsim::Fault& pause) {
        hhsim::FaultPlan plan;
        plan.faults = {pause};
        sim().SetPlan(plan);
    }

    bool CommandSeen(int command, int sub) const {
        for (const hhsim::CommandRecord& c : sim_->Commands()) {
            if (c.command == command && c.sub == sub) return true;
        }
        return false;
    }
};

struct StopCase {
    const char* step;
    bool upload;
    hhsim::Fault hold;           // where the handheld holds the library when the stop comes
    int next_command, next_sub;  // the command the stop must keep off the line (-1: none)
    // The stopped receive does not tell the handheld: it sends its frame until it gives up.
    bool handheld_sending;
};

// The steps of an upload (look-up answer, size command, free-space answer, data) and of a download
// (look-up answer, size command, download command, data).
const StopCase kStopCases[] = {
    {"upload: look-up answer awaited", true, PauseOn(80, 14, 1), 80, 5, true},
    {"upload: size command unanswered", true, SilentOn(80, 5), 80, 23, false},
    {"upload: free space awaited", true, PauseOn(80, 23, 1), 80, 2, true},
    {"upload: data frame 10 taken", true, PauseOn(80, 2, 10), 16, 0, false},
    {"download: look-up answer awaited", false, PauseOn(80, 14, 1), 80, 5, true},
    {"download: size command unanswered", false, SilentOn(80, 5), 80, 3, false},
    {"download: download command unanswered", false, SilentOn(80, 3), -1, -1, false},
    {"download: data frame 10 sent", false, PauseOn(80, 3, 10), -1, -1, true},
};

TEST_F(StopTest, StopEndsABackgroundTransferAtEveryStep) {
    const Bytes content = RandomBytes(20000, 31);
    WriteFile(work_ / "A.DBF", content);
    for (const StopCase& c : kStopCases) {
        SCOPED_TRACE(c.step);
        fs::remove(HcFile());
        fs::remove(work_ / "down.bin");
        if (!c.upload) WriteFile(HcFile(), content);
        sim().ClearRecords();
        Hold(c.hold);
        ASSERT_EQ(c.upload ? thrdSendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1)
                           : thrdGetHcFile(0, 0, kHcName, ".\\down.bin", 1),
                  ResultOk);
        const bool pause = c.hold.kind == hhsim::Fault::Kind::Pause;
        ASSERT_TRUE(sim().WaitEvent(pause ? "paused:pause" : "fault", std::chrono::seconds(10)));
        EXPECT_EQ(thrdQueryStatus(), StatusBusy);
        EXPECT_EQ(thrdStop(0), 0);
        // A release nobody waits for would let the next case's hold pass at once.
        if (pause) sim().Release();
        WaitWorker();
        EXPECT_EQ(thrdQueryStatus(), StatusFailed);
        EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(c.upload ? ErrSendFail : ErrReceiveFail));
        if (c.next_command >= 0) {
            EXPECT_FALSE(CommandSeen(c.next_command, c.next_sub));
        }
        if (c.upload) {
            EXPECT_FALSE(fs::exists(HcFile()));
        } else {
            EXPECT_FALSE(fs::exists(work_ / "down.bin"));
        }
        // The stop belonged to that operation: the next one runs to its end.
        if (c.handheld_sending) {
            ASSERT_TRUE(sim().WaitEvent("gave-up-send", std::chrono::seconds(10)));
        }
        sim().SetPlan({});
        ASSERT_EQ(c.upload ? SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1)
                           : GetHcFile(0, 0, kHcName, ".\\down.bin", 1),
                  ResultOk)
            << GetLastErrCode();
        EXPECT_EQ(ReadFile(c.upload ? HcFile() : work_ / "down.bin"), content);
    }
}

TEST_F(StopTest, StopBeforeTheWorkerReachesTheLineIsKept) {
    // The stop right after the start: nothing is stored, whatever step the worker had reached.
    WriteFile(work_ / "A.DBF", RandomBytes(20000, 32));
    ASSERT_EQ(thrdSendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), ResultOk);
    thrdStop(0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrSendFail));
    EXPECT_FALSE(fs::exists(HcFile()));
}

// The other thread's calls while the link is held, each with its refusal in mode 3; none may send a
// byte or close the port.
struct SecondCall {
    const char* name;
    std::function<int32_t()> call;
    int32_t refusal;
};

std::vector<SecondCall> SecondCalls() {
    static HcFileRecord record;
    static uint8_t buffer[16];
    static int32_t received;
    return {
        {"GetHcFileInfo", [] { return GetHcFileInfoEx(0, 0, kHcName, &record); }, ResultBusy},
        {"GetHcNextFileInfo", [] { return GetHcNextFileInfoEx(0, 0, &record); }, ResultBusy},
        {"HcMakeDir", [] { return HcMakeDir(0, 0, "\\OTHER"); }, ResultBusy},
        {"thrdSendFileToHc", [] { return thrdSendFileToHc(0, 0, "\\B.DBF", ".\\A.DBF", 0, 1); }, ResultBusy},
        {"AdPortAndRateAndMode", [] { return AdPortAndRateAndMode(nullptr, nullptr, nullptr); }, 1},
        {"TestHcLink", [] { return TestHcLink(); }, ResultBusy},
        {"SendCmd", [] { return SendCmd(15, 0, 0); }, ResultBusy},
        {"Send_Data", [] { return Send_Data("xy", 2); }, ResultBusy},
        {"Receive_Data", [] { return Receive_Data(buffer, sizeof buffer, &received); }, ResultBusy},
        {"ComInit", [] { return ComInit(1, 115200); }, 0},
        {"ComRelease", [] { return ComRelease(); }, 0},
    };
}

// A thread that keeps calling the query exports, which read the link state (the family, port and rate)
// that every detection writes: the thread sanitizer sees any of it left unguarded.
class QueryPoller {
  public:
    QueryPoller()
        : thread_([this] {
              while (running_.load()) {
                  thrdQueryStatus();
                  thrdQueryPercent();
                  GetLastErrCode();
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~QueryPoller() {
        running_.store(false);
        thread_.join();
    }

  private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

TEST_F(StopTest, SecondThreadIsRefusedWhileATransferHoldsTheLink) {
    const QueryPoller poller;
    const Bytes content = RandomBytes(60 * 1024, 33);
    for (bool background : {false, true}) {
        SCOPED_TRACE(background ? "thrdGetHcFile" : "GetHcFile");
        WriteFile(HcFile(), content);
        fs::remove(work_ / "down.bin");
        sim().ClearRecords();
        tf::Status().last_error.store(0);
        Hold(PauseOn(80, 3, 20));
        int32_t result = -1;
        std::thread transfer([&] {
            result = background ? thrdGetHcFile(0, 0, kHcName, ".\\down.bin", 1)
                                : GetHcFile(0, 0, kHcName, ".\\down.bin", 1);
        });
        ASSERT_TRUE(sim().WaitEvent("paused:pause", std::chrono::seconds(10)));
        const size_t commands = sim().CommandCount();
        for (const SecondCall& call : SecondCalls()) {
            SCOPED_TRACE(call.name);
            EXPECT_EQ(call.call(), call.refusal);
        }
        // The queries stay open to any thread.
        EXPECT_EQ(thrdQueryStatus(), StatusBusy);
        EXPECT_EQ(GetLastErrCode(), 0);
        sim().Release();
        transfer.join();
        WaitWorker();
        // Nothing of the refused calls reached the line: no command after the held one, no stray frame.
        EXPECT_EQ(sim().CommandCount(), commands);
        EXPECT_EQ(sim().Counter("stray-frame"), 0);
        EXPECT_EQ(result, ResultOk);
        EXPECT_EQ(thrdQueryStatus(), StatusIdle);
        EXPECT_EQ(ReadFile(work_ / "down.bin"), content);
        // The link is free again.
        HcFileRecord record{};
        EXPECT_EQ(GetHcFileInfoEx(0, 0, kHcName, &record), ResultOk);
        sim().SetPlan({});
    }
}

}  // namespace
}  // namespace tarvix::tftest
