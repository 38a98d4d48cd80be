// A stop ends a background transfer at whatever step it reaches, and one operation holds the link at
// a time across threads: a second thread's call is refused with ErrBusy and no byte on the line, and
// the running transfer ends whole.  The handheld holds at a known frame, so each stop lands in a known
// step without sleeps.
#include <gmock/gmock.h>

#include <atomic>
#include <functional>

#include "common/commands.h"
#include "periph_fixture.h"

namespace bftest {
namespace {

using namespace tarvix;
using namespace tarvix::commands;

hhsim::Fault PauseOn(int command, int sub, int at) {
    hhsim::Fault f;
    f.kind = hhsim::Fault::Kind::Pause;
    f.command = command;
    f.sub = sub;
    f.at = at;
    return f;
}

class StopAndClaim : public PeriphExports {
  protected:
    void Hold(const hhsim::Fault& pause) {
        hhsim::FaultPlan plan;
        plan.faults = {pause};
        sim_->SetPlan(plan);
    }
};

struct StopCase {
    const char* step;
    bool upload;
    hhsim::Fault pause;
    int next_sub;  // the file command the stop must keep off the line (-1: none)
    // The codes the operation gives a stop in that step (a stop that meets the command's own answer
    // fails the command, one that meets the wait after it fails the frame).
    std::vector<uint16_t> error_codes;
};

// Upload: look-up answer, free-space answer, data; download: look-up answer, data.  Each step ends
// with its own code for a stopped frame: the look-up keeps the frame's ErrUserStop, the free-space
// query reports no response, the download goes on after a failed look-up and its link test finds the
// stop, the upload's broken stream reports the lost link and the download's the missing answer.
const StopCase kStopCases[] = {
    {"upload: look-up answer awaited", true, PauseOn(80, 14, 1), 23, {ErrUserStop, ErrNoAck}},
    {"upload: free space awaited", true, PauseOn(80, 23, 1), 2, {ErrNoResponse}},
    {"upload: data frame 4 taken", true, PauseOn(80, 2, 4), -1, {ErrNoLink}},
    {"download: look-up answer awaited", false, PauseOn(80, 14, 1), 3, {ErrNoResponse}},
    {"download: data frame 4 sent", false, PauseOn(80, 3, 4), -1, {ErrNoAck}},
};

TEST_F(StopAndClaim, StopEndsABackgroundTransferAtEveryStep) {
    Attach();
    const Bytes data = PlainBytes(3000, 21);
    Spill("in.bin", data);
    for (const StopCase& c : kStopCases) {
        SCOPED_TRACE(c.step);
        fs::remove(Store("DATA.BIN"));
        fs::remove("out.bin");
        if (!c.upload) Spill(Store("DATA.BIN"), data);
        sim_->ClearRecords();
        Hold(c.pause);
        ASSERT_EQ(c.upload ? thrdSendFileToHc(0, 0, "\\DATA.BIN", ".\\in.bin", 0, 1)
                           : thrdGetHcFile(0, 0, "\\DATA.BIN", ".\\out.bin", 1),
                  ResultOk);
        ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10)));
        EXPECT_EQ(thrdStop(2), StatusBusy);  // stays set until the worker ends
        sim_->Release();
        ASSERT_EQ(WaitIdle(), StatusFailed);
        EXPECT_THAT(c.error_codes, ::testing::Contains(Finish().error_code));
        EXPECT_FALSE(bf::g_stop_flag.load());  // the worker's end withdrew the request
        if (c.next_sub >= 0) {
            EXPECT_EQ(CommandsOf(80, c.next_sub), 0);
        }
        EXPECT_FALSE(fs::exists(c.upload ? Store("DATA.BIN") : fs::path("out.bin")));
        // The stop belonged to that operation: the next one runs to its end.
        sim_->SetPlan({});
        ASSERT_EQ(c.upload ? SendFileToHc(0, 0, "\\DATA.BIN", ".\\in.bin", 0, 1)
                           : GetHcFile(0, 0, "\\DATA.BIN", ".\\out.bin", 1),
                  ResultOk)
            << GetLastErrCode();
        EXPECT_EQ(Slurp(c.upload ? Store("DATA.BIN") : fs::path("out.bin")), data);
    }
}

// The other thread's calls while the link is held, each with its failure value; every one stores
// ErrBusy, none may send a byte or close the port.
struct SecondCall {
    const char* name;
    std::function<int32_t()> call;
    int32_t refusal;
};

std::vector<SecondCall> SecondCalls() {
    static HcFileEntry entry;
    static uint8_t buffer[16];
    static uint8_t byte;
    static int32_t received;
    return {
        {"GetHcFileInfo", [] { return GetHcFileInfo(0, 0, "\\DATA.BIN", &entry); }, ResultFailed},
        {"GetHcNextFileInfo", [] { return GetHcNextFileInfo(0, 0, &entry); }, ResultFailed},
        {"HcMakeDir", [] { return HcMakeDir(0, 0, "\\OTHER"); }, ResultFailed},
        {"thrdSendFileToHc", [] { return thrdSendFileToHc(0, 0, "\\B.BIN", ".\\in.bin", 0, 1); },
         ResultFailed},
        {"AdPortAndRateAndMode", [] { return AdPortAndRateAndMode(nullptr, nullptr, nullptr); }, 1},
        {"TestHcLink", [] { return TestHcLink(); }, ResultFailed},
        {"SendCmd", [] { return SendCmd(15, 0, 0); }, ResultFailed},
        {"Send_Data", [] { return Send_Data("xy", 2); }, ResultFailed},
        {"Receive_Data", [] { return Receive_Data(buffer, sizeof buffer, &received); }, ResultFailed},
        {"Send_Byte", [] { return Send_Byte('x'); }, 0},
        {"Receive_Byte", [] { return Receive_Byte(&byte); }, 1},
        {"ComInit", [] { return ComInit(1, 38400); }, -1},
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

TEST_F(StopAndClaim, SecondThreadIsRefusedWhileATransferHoldsTheLink) {
    const QueryPoller poller;
    for (const char* number : {"BF0000042", ""}) {  // modes 2 and 1
        hhsim::Config config = ByteFrameConfig();
        config.number = number;
        StartSim(config);
        uint8_t mode = 0;
        ASSERT_EQ(AdPortAndRateAndMode(nullptr, nullptr, &mode), 0);
        ASSERT_EQ(mode, number[0] != '\0' ? 2 : 1);
        const Bytes data = AnyBytes(60 * 1024, 22);
        Spill(Store("DATA.BIN"), data);
        for (bool background : {false, true}) {
            SCOPED_TRACE(std::string(background ? "thrdGetHcFile" : "GetHcFile") + " mode " +
                         std::to_string(mode));
            fs::remove("out.bin");
            sim_->ClearRecords();
            Hold(PauseOn(80, 3, 20));
            int32_t result = -1;
            std::thread transfer([&] {
                result = background ? thrdGetHcFile(0, 0, "\\DATA.BIN", ".\\out.bin", 1)
                                    : GetHcFile(0, 0, "\\DATA.BIN", ".\\out.bin", 1);
            });
            ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10)));
            const size_t commands = sim_->CommandCount();
            for (const SecondCall& call : SecondCalls()) {
                SCOPED_TRACE(call.name);
                bf::SetErrorCode(ErrNone);
                EXPECT_EQ(call.call(), call.refusal);
                EXPECT_EQ(bf::ErrorCode(), ErrBusy);
            }
            EXPECT_EQ(thrdQueryStatus(), background ? StatusBusy : StatusIdle);
            sim_->Release();
            transfer.join();
            EXPECT_EQ(result, ResultOk);
            if (background) {
                EXPECT_EQ(WaitIdle(), StatusIdle);
            }
            // Nothing of the refused calls reached the line: after the held frame only the download's
            // own closing command came, no link test, folder or look-up.
            const std::vector<hhsim::CommandRecord> seen = sim_->Commands();
            EXPECT_LE(seen.size(), commands + 1);
            for (size_t i = commands; i < seen.size(); ++i) {
                EXPECT_NE(seen[i].command, CmdLinkTest);
                EXPECT_FALSE(seen[i].command == CmdFile && (seen[i].sub == 13 || seen[i].sub == 14));
            }
            EXPECT_EQ(Slurp("out.bin"), data);
            // The link is free again.
            sim_->SetPlan({});
            HcFileEntry entry{};
            EXPECT_EQ(GetHcFileInfo(0, 0, "\\DATA.BIN", &entry), ResultOk);
        }
        sim_->Stop();
    }
}

}  // namespace
}  // namespace bftest
