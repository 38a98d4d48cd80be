// A handheld that will not let a call end: it babbles bytes that never make a frame, dribbles one
// byte just under the byte time-out, lists for ever or starts its listing over, or sends more file
// data than it announced.  Over the line and over the USB pipes each call ends by itself with the
// family's code for it, and a download leaves the target as it was and no temporary beside it.
#include <algorithm>
#include <chrono>
#include <thread>

#include "bf_fixture.h"
#include "platform/usb.h"

namespace bftest {
namespace {

using namespace tarvix;
using Kind = hhsim::Fault::Kind;

enum class Wire { Serial, Usb };

// The dribble's pace: under the byte time-out, and slow enough that the 64 empty USB packets a
// message may hold do not come before its deadline.
constexpr int kDribbleMs = 100 * static_cast<int>(kWaitScale);

std::string WireName(const ::testing::TestParamInfo<Wire>& info) {
    return info.param == Wire::Serial ? "Serial" : "Usb";
}

class HostileByteFrame : public SimFixture, public ::testing::WithParamInterface<Wire> {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        platform::usb::SetReplyTimeoutMs(3000);
        hhsim::Config config = ByteFrameConfig();
        if (GetParam() == Wire::Usb) config.usb = 1;
        config.data_timeout_ms = 500;  // over USB, how long it offers packets nobody takes
        StartSim(config);
        if (GetParam() == Wire::Usb) setenv("TARVIX_USB_DIR", sim_->UsbDir().c_str(), 1);
        fs::create_directories(Store("KELVANHB"));
        // Short waits: a byte time-out of 200 ms, a frame deadline of 1000 ms (a USB message's of
        // twice that: time for the 65 empty packets of a babble), all stretched in slow builds.
        Shorten();
    }

    void TearDown() override {
        bf::Proto().line().ComInit(1, 115200);  // leaves the USB mode
        SimFixture::TearDown();
        unsetenv("TARVIX_USB_DIR");
        platform::usb::SetReplyTimeoutMs(10000);
        bf::Tune().frame_limit_ms.store(0);
        bf::Tune().max_listed_entries.store(100000);
    }

    static void Shorten() {
        bf::Proto().HcSetExitTime(500, 200 * kWaitScale);
        bf::Tune().frame_limit_ms.store(1000 * kWaitScale);
    }

    int32_t Port() const { return GetParam() == Wire::Usb ? 0 : 1; }

    void Plan(std::initializer_list<hhsim::Fault> faults) {
        hhsim::FaultPlan plan;
        plan.faults = faults;
        sim_->SetPlan(plan);
    }

    // The background download, waited for; the worker's status and code.
    std::pair<uint16_t, uint16_t> BackgroundGet(const char* hc, const char* pc) {
        EXPECT_EQ(bf_.ThrdGetHcFile(Port(), 115200, hc, pc, 1), ResultOk);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (bf::StatusValue() == StatusBusy && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::pair<uint16_t, uint16_t> outcome{bf::StatusValue(), bf::ErrorCode()};
        bf::SetStatusValue(StatusIdle);
        Shorten();  // the worker set the family's own waits again
        return outcome;
    }
};

// Bytes that never make a frame, in place of the reply to a look-up: the call ends with the code for
// a damaged packet (babble) or a time-out (dribble), and the next call on the same handheld works.
struct ReplyCase {
    const char* name;
    Kind kind;
    int value;
    uint16_t code;
};

TEST_P(HostileByteFrame, AReplyThatNeverEndsEndsTheCall) {
    Spill(Store("KELVANHB/A.BIN"), PlainBytes(10, 1));
    const ReplyCase cases[] = {
        {"zeros", Kind::Babble, 0, ErrBadPacket},
        {"headers again and again / empty packets", Kind::Babble, 1, ErrBadPacket},
        {"a byte at a time, each under the byte time-out", Kind::Dribble, kDribbleMs, ErrTimeout},
    };
    for (const ReplyCase& c : cases) {
        // Over USB, full packets of zeros are a whole reply of its room: only the empty ones babble.
        if (GetParam() == Wire::Usb && c.kind == Kind::Babble && c.value == 0) continue;
        SCOPED_TRACE(c.name);
        Plan({hhsim::MakeFault(c.kind, 80, 14, 1, 1, c.value)});
        bf::SetErrorCode(ErrNone);
        HcFileEntry entry{};
        EXPECT_EQ(bf_.GetHcFileInfo(Port(), 115200, "\\KELVANHB\\A.BIN", &entry), ResultFailed);
        EXPECT_EQ(bf::ErrorCode(), c.code);
        EXPECT_GE(sim_->Counter(c.kind == Kind::Babble ? "babble" : "dribble"), 1);
        // The handheld gives up once the PC has; the look-up then works.
        ASSERT_TRUE(
            sim_->WaitEvent(c.kind == Kind::Babble ? "babble-end" : "dribble-end", std::chrono::seconds(10)));
        sim_->SetPlan({});
        sim_->ClearRecords();
        ASSERT_EQ(bf_.GetHcFileInfo(Port(), 115200, "\\KELVANHB\\A.BIN", &entry), ResultOk)
            << bf::ErrorCode();
        const int32_t size = entry.size;  // the entry is packed
        EXPECT_EQ(size, 10);
    }
}

// A download whose data stream babbles, dribbles or runs past the size the handheld announced, in
// the foreground and in the background: the call fails, the target keeps its bytes and nothing is
// left beside it.
struct DownloadCase {
    const char* name;
    hhsim::Fault fault;
    size_t size;  // of the handheld's file
    uint16_t code;
};

TEST_P(HostileByteFrame, ADownloadTakesNoMoreThanAnnouncedAndEndsByItself) {
    const Bytes old_target = PlainBytes(77, 9);
    const DownloadCase cases[] = {
        {"babble in the data", hhsim::MakeFault(Kind::Babble, 80, 3, 1, 1, 1), 3000, ErrNoAck},
        {"dribble in the data", hhsim::MakeFault(Kind::Dribble, 80, 3, 1, 1, kDribbleMs), 3000, ErrNoAck},
        {"announced 10, sends 3000", hhsim::MakeFault(Kind::LyingSize, 80, 14, 1, 100, 10), 3000,
         ErrBadLength},
        {"announced 0, sends 3000", hhsim::MakeFault(Kind::LyingSize, 80, 14, 1, 100, 0), 3000, ErrBadLength},
        {"announced 0, sends 300", hhsim::MakeFault(Kind::LyingSize, 80, 14, 1, 100, 0), 300, ErrBadLength},
        {"announced 256, sends 257", hhsim::MakeFault(Kind::LyingSize, 80, 14, 1, 100, 256), 257,
         ErrBadLength},
    };
    for (bool background : {false, true}) {
        for (const DownloadCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (background ? " (background)" : ""));
            const Bytes content = PlainBytes(c.size, static_cast<uint32_t>(c.size));
            Spill(Store("KELVANHB/D.BIN"), content);
            Spill(dir_ / "d.bin", old_target);
            Plan({c.fault});
            bf::SetErrorCode(ErrNone);
            if (background) {
                const auto [status, code] = BackgroundGet("\\KELVANHB\\D.BIN", ".\\d.bin");
                EXPECT_EQ(status, StatusFailed);
                EXPECT_EQ(code, c.code);
            } else {
                EXPECT_EQ(bf_.GetHcFile(Port(), 115200, "\\KELVANHB\\D.BIN", ".\\d.bin", 1), ResultFailed);
                EXPECT_EQ(bf::ErrorCode(), c.code);
            }
            EXPECT_EQ(Slurp(dir_ / "d.bin"), old_target);
            EXPECT_EQ(LocalFiles(), std::vector<std::string>{"d.bin"});
            if (c.fault.kind == Kind::Babble || c.fault.kind == Kind::Dribble) {
                ASSERT_TRUE(sim_->WaitEvent(c.fault.kind == Kind::Babble ? "babble-end" : "dribble-end",
                                            std::chrono::seconds(10)));
            }
            sim_->ClearRecords();
        }
    }
    // What the handheld announces truly, down to an empty file, comes in whole.
    sim_->SetPlan({});
    for (size_t size : {size_t{0}, size_t{256}, size_t{257}, size_t{5000}}) {
        SCOPED_TRACE(size);
        const Bytes content = PlainBytes(size, 3);
        Spill(Store("KELVANHB/D.BIN"), content);
        ASSERT_EQ(bf_.GetHcFile(Port(), 115200, "\\KELVANHB\\D.BIN", ".\\d.bin", 1), ResultOk)
            << bf::ErrorCode();
        EXPECT_EQ(Slurp(dir_ / "d.bin"), content);
    }
}

// A listing that never ends, or gives an entry again, ends with a code; the list file holds the
// entries taken before.  A stop ends an endless listing with the stop's code.
TEST_P(HostileByteFrame, AListingThatNeverEndsEndsWithACode) {
    for (const char* name : {"A.BIN", "B.BIN", "C.BIN"})
        Spill(Store(std::string("KELVANHB/") + name), Bytes{1});
    bf::Tune().max_listed_entries.store(40);
    struct Case {
        const char* name;
        hhsim::Fault fault;
        int32_t count;
    };
    hhsim::Fault repeat = hhsim::MakeFault(Kind::RepeatEntry, 80, 15);
    repeat.at = 2;  // the second find-next gives B again
    const Case cases[] = {
        {"endless", hhsim::MakeFault(Kind::EndlessListing, 80, -1), 40},
        {"the same entry again", repeat, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Plan({c.fault});
        int32_t count = -1, total = -1;
        bf::SetErrorCode(ErrNone);
        EXPECT_EQ(bf_.GetHcDirInfo(Port(), 115200, "\\KELVANHB\\*.BIN", ".\\list.bin", &count, &total, 1),
                  ResultFailed);
        EXPECT_EQ(bf::ErrorCode(), ErrBadPacket);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(fs::file_size(dir_ / "list.bin"), static_cast<uintmax_t>(c.count) * 13);
    }

    // Without the cap only the stop ends it.
    bf::Tune().max_listed_entries.store(100000);
    Plan({hhsim::MakeFault(Kind::EndlessListing, 80, -1)});
    sim_->ClearRecords();
    std::thread stopper([&] {
        if (sim_->WaitEvent("command:80/15", std::chrono::seconds(20), 20)) bf::Stop(2);
    });
    int32_t count = -1, total = -1;
    EXPECT_EQ(bf_.GetHcDirInfoEx(Port(), 115200, "\\KELVANHB\\*.BIN", ".\\list.bin", &count, &total, 0),
              ResultFailed);
    stopper.join();
    EXPECT_EQ(bf::ErrorCode(), ErrUserStop);
    EXPECT_GE(count, 19);
    bf::g_stop_flag.store(false);
}

INSTANTIATE_TEST_SUITE_P(BothWires, HostileByteFrame, ::testing::Values(Wire::Serial, Wire::Usb), WireName);

}  // namespace
}  // namespace bftest
