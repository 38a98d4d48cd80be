// The handheld's clock, display text, message, format and reset through the exports.
#include <thread>

#include "byteframe/background.h"
#include "periph_fixture.h"
#include "platform/clock.h"
#include "pty_peer.h"

namespace bftest {
namespace {

using namespace tarvix;

class SystemFunctions : public PeriphExports {
  protected:
    // The argument text of the last clock command the handheld took.
    std::string LastClockText() const {
        std::string text;
        for (const auto& c : sim_->Commands()) {
            if (c.command == bf::CmdSetClock) text.assign(c.data.begin(), c.data.begin() + 18);
        }
        return text;
    }
};

// The real tick and sleep, with a local date and time of the test's choosing.
class FixedDateClock : public platform::Clock {
  public:
    explicit FixedDateClock(platform::Clock& real) : real_(real) {}
    uint32_t TickMs() override { return real_.TickMs(); }
    void SleepMs(uint32_t ms) override { real_.SleepMs(ms); }
    platform::LocalDateTime Now() override { return now_; }
    platform::LocalDateTime now_{2031, 2, 3, 4, 5, 6};

  private:
    platform::Clock& real_;
};

TEST_F(SystemFunctions, ClockTextFromTheRecordsAndFromThePc) {
    Attach();
    struct Case {
        uint16_t year;
        const char* text;
    } cases[] = {{2010, "10-06-21 07:05:09"}, {2000, "00-06-21 07:05:09"}, {1999, "99-06-21 07:05:09"}};
    for (const Case& c : cases) {
        HcDate date{c.year, 6, 21};
        HcTime time{7, 5, 9};
        ASSERT_EQ(SetHcDateTime(0, 0, &date, &time), ResultOk);
        EXPECT_EQ(LastClockText(), std::string(c.text, 17) + '\0');
        EXPECT_EQ(date.year, c.year);  // the caller's records are not changed
    }
    // Either record missing: the PC's clock, also when the date is given.
    FixedDateClock fixed(platform::GetClock());
    platform::SetClock(&fixed);
    HcDate date{2010, 6, 21};
    EXPECT_EQ(SetHcDateTime(0, 0, &date, nullptr), ResultOk);
    platform::SetClock(nullptr);
    EXPECT_EQ(LastClockText(), std::string("31-02-03 04:05:06") + '\0');

    // The handheld keeps the clock it was given and tells it back as it keeps it.
    HcTime time{7, 5, 9};
    ASSERT_EQ(SetHcDateTime(0, 0, &date, &time), ResultOk);
    char text[40];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(GetHcDateTime(0, 0, text), ResultOk);
    EXPECT_EQ(std::string(text, 16), "2010/06/21 07:05");
    EXPECT_EQ(text[19], '\0');  // the handheld's 20 bytes, its terminator included
    EXPECT_EQ(text[20], 'x');   // and nothing after them
    EXPECT_EQ(IsComInited(), 0);
}

TEST_F(SystemFunctions, ClockFieldsThatDoNotFitTwoDigitsAreRefused) {
    Attach();
    sim_->ClearRecords();
    HcDate date{2010, 100, 21};
    HcTime time{7, 5, 9};
    EXPECT_EQ(SetHcDateTime(0, 0, &date, &time), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));
    EXPECT_EQ(CommandsOf(bf::CmdSetClock, -1), 0);
}

TEST_F(SystemFunctions, ShownTextIsWholeUpToThirteenCharacters) {
    Attach();
    char thirteen[] = "ABCDEFGHIJKLM";
    ASSERT_EQ(HcShowInfo(0, 0, thirteen), ResultOk);
    EXPECT_EQ(sim_->ShownText(), "ABCDEFGHIJKLM");
    char fourteen[] = "ABCDEFGHIJKLMN";
    ASSERT_EQ(HcShowInfo(0, 0, fourteen), ResultOk);
    EXPECT_EQ(sim_->ShownText(), "ABCDEFGH");
    EXPECT_STREQ(fourteen, "ABCDEFGHIJKLMN");
    EXPECT_EQ(HcShowInfo(0, 0, nullptr), ResultOk);
    EXPECT_EQ(sim_->ShownText(), "");
}

TEST_F(SystemFunctions, MessageFilesBothWays) {
    Attach();
    const Bytes ten = {'h', 'i', 0x0D, 0x0A, 0, 1, 2, '#', '$', '@'};
    Spill("msg.txt", ten);
    sim_->ClearRecords();
    ASSERT_EQ(SendMsgToHc(0, 0, ".\\msg.txt"), ResultOk);
    Bytes expected = ten;
    expected.resize(48, 0);
    Bytes sent;
    for (const auto& c : sim_->Commands()) {
        if (c.command == bf::CmdPutMessage) sent = c.payload;
    }
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(CommandsOf(bf::CmdMessageEnd, -1), 1);
    EXPECT_EQ(sim_->ShownText(), "Finished");

    // Back as the raw bytes the handheld keeps.
    ASSERT_EQ(GetHcMsg(0, 0, ".\\back.txt"), ResultOk);
    EXPECT_EQ(Slurp("back.txt"), expected);
    EXPECT_EQ(sim_->ShownText(), "Finished");

    // An empty path sends nothing; a file that is not there neither.
    sim_->ClearRecords();
    EXPECT_EQ(SendMsgToHc(0, 0, ""), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));
    EXPECT_EQ(SendMsgToHc(0, 0, ".\\none.txt"), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrCreateFile));
    EXPECT_EQ(CommandsOf(bf::CmdPutMessage, -1), 0);
    // A place the message file cannot go.
    EXPECT_EQ(GetHcMsg(0, 0, ".\\no\\such\\folder\\m.txt"), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrCreateFile));
    EXPECT_EQ(CommandsOf(bf::CmdGetMessage, -1), 0);
}

TEST_F(SystemFunctions, MessageThatDoesNotComeLeavesTheFileAndFails) {
    Attach();
    Spill("back.txt", Bytes(3, 'k'));
    bf::Tune().wait_cap_ms.store(20);
    hhsim::FaultPlan plan;
    hhsim::Fault silent;
    silent.kind = hhsim::Fault::Kind::Silence;
    silent.command = bf::CmdGetMessage;
    silent.times = 100;
    plan.faults.push_back(silent);
    sim_->SetPlan(plan);
    EXPECT_EQ(GetHcMsg(0, 0, ".\\back.txt"), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrNoAck));
    EXPECT_EQ(Slurp("back.txt"), Bytes(3, 'k'));
    EXPECT_EQ(sim_->ShownText(), "Fail");
}

TEST_F(SystemFunctions, UsbMessageOverTheSerialLinkAndWithoutUsb) {
    Attach();
    Spill("msg.txt", Bytes{'u', 's', 'b'});
    ASSERT_EQ(SendMsgToHc(0, 0, ".\\msg.txt"), ResultOk);
    // The export sends the USB message request over whatever link was found.
    ASSERT_EQ(GetMessUsb(0, 0, ".\\usb.txt"), ResultOk);
    Bytes expected{'u', 's', 'b'};
    expected.resize(48, 0);
    EXPECT_EQ(Slurp("usb.txt"), expected);
    EXPECT_EQ(CommandsOf(bf::CmdFile, bf::SubUsbMessage), 1);
    // With no USB device the family's USB path fails cleanly and writes nothing.
    bf::ByteFrame family;
    Spill("usb.txt", Bytes(2, 'p'));
    EXPECT_EQ(family.GetMessUsb(0, 115200, ".\\usb.txt"), bf::kUsbNoDevice);
    EXPECT_EQ(bf::ErrorCode(), ErrNoLink);
    EXPECT_EQ(Slurp("usb.txt"), Bytes(2, 'p'));
    EXPECT_EQ(family.GetHcMsg(0, 115200, ".\\usb.txt"), bf::kUsbNoDevice);  // the USB mode stays set
    family.ComRelease();
    bf::Proto().line().ComInit(1, 115200);  // leaves the USB mode
    bf::Proto().line().ComRelease();
}

TEST_F(SystemFunctions, FormatAndResetFollowTheFeatureByte) {
    struct Case {
        int feature;
        int32_t result;
    } cases[] = {{0x80, ResultOk}, {0xFF, ResultOk}, {0x7F, 3}, {-1, 3}};
    for (const Case& c : cases) {
        hhsim::Config config = ByteFrameConfig();
        config.feature = c.feature;
        Attach(config);
        bf::Tune().wait_cap_ms.store(20);  // no feature answer costs its attempts only
        Spill(Store("KEEP.TXT"), Bytes(4, 'k'));
        EXPECT_EQ(ResetHc(0, 0), c.result) << c.feature;
        EXPECT_TRUE(fs::exists(Store("KEEP.TXT")));
        EXPECT_EQ(bf::Proto().AckTimeout(), 500u);
        EXPECT_EQ(bf::Proto().ByteTimeout(), 3000u);
        EXPECT_EQ(CommandsOf(bf::CmdFile, bf::SubFlash), 0);

        EXPECT_EQ(FormatHcDisk(0, 0), c.result) << c.feature;
        EXPECT_EQ(fs::exists(Store("KEEP.TXT")), c.result != ResultOk) << c.feature;
        EXPECT_EQ(CommandsOf(bf::CmdFile, bf::SubFlash), c.result == ResultOk ? 1 : 0);
        EXPECT_EQ(bf::Proto().ByteTimeout(), 3000u);
        EXPECT_EQ(IsComInited(), 0);
        bf::Tune().wait_cap_ms.store(0);
        sim_->Stop();
    }
}

// A handheld that never says the format has ended: the wait is bounded, and a stop request ends
// it sooner.
TEST_F(SystemFunctions, FormatWaitIsBounded) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    setenv("TARVIX_COM1", peer.path().c_str(), 1);
    bf::Tune().format_limit_ms.store(200);
    std::thread far_end([&] {
        for (int command = 0; command < 2; ++command) {  // link test, feature question
            if (!peer.ReadFrame()) return;
            peer.Write({0});
        }
        peer.SendFrame({0x80}, 0xFFFF);
        if (!peer.ReadFrame()) return;
        // Only the completion wait is shortened: the answers before it arrive however slow this
        // thread is on a loaded machine.
        bf::Tune().wait_cap_ms.store(10);
        peer.Write({0});  // the format command, then no completion byte
    });
    bf::ByteFrame family;
    EXPECT_EQ(family.FormatHcDisk(1, 115200), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrTimeout);
    far_end.join();
    bf::Tune().format_limit_ms.store(600000);
}

// A clock text of the whole 30 bytes without a terminator: the caller's 30 bytes still end in one.
TEST_F(SystemFunctions, ClockTextWithoutTerminatorIsEndedWithinThirtyBytes) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    setenv("TARVIX_COM1", peer.path().c_str(), 1);
    std::thread far_end([&] {
        for (int command = 0; command < 2; ++command) {  // link test, clock question
            if (!peer.ReadFrame()) return;
            peer.Write({0});
        }
        peer.SendFrame(Bytes(30, '7'), 0xFFFF);
    });
    bf::ByteFrame family;
    char text[31];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(family.GetHcDateTime(1, 115200, text), ResultOk);
    far_end.join();
    EXPECT_EQ(std::string(text, 29), std::string(29, '7'));
    EXPECT_EQ(text[29], '\0');
    EXPECT_EQ(text[30], 'x');
}

}  // namespace
}  // namespace bftest
