// The handheld's clock, texts on its screen and its message file through the exports, against the
// simulated text-frame handheld.
#include "platform/clock.h"

#include <cstring>

#include "common/records.h"
#include "sim_fixture.h"
#include "textframe/textframe.h"

namespace tarvix::tftest {
namespace {

// The system clock's ticks and sleeps with a local date and time of the test's choosing.
class PcClock : public platform::Clock {
  public:
    explicit PcClock(platform::Clock& system) : system_(system) {}
    uint32_t TickMs() override { return system_.TickMs(); }
    void SleepMs(uint32_t ms) override { system_.SleepMs(ms); }
    platform::LocalDateTime Now() override { return now_; }
    platform::LocalDateTime now_;

  private:
    platform::Clock& system_;
};

class ClockTest : public SimTest {
  protected:
    void TearDown() override {
        platform::SetClock(nullptr);
        SimTest::TearDown();
    }

    // Data of the last command `command` (sub `sub`) the handheld took, or its payload.
    // The handheld records a command's data after it acknowledged them: waits (bounded) for it.
    Bytes LastOf(int command, int sub, bool payload) {
        Bytes found;
        bool seen = false;
        for (int i = 0; i < 400; ++i) {
            for (const auto& c : sim().Commands()) {
                if (c.command == command && c.sub == sub) {
                    found = payload ? c.payload : c.data;
                    seen = true;
                }
            }
            if (seen && (!payload || !found.empty())) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(seen) << "no command " << command << "/" << sub;
        return found;
    }

    // The next case gets a handheld of its own.
    void Restart() {
        ComRelease();
        sim().Stop();
    }

    static Bytes Text20(const std::string& text) {
        Bytes bytes(20, 0);
        std::memcpy(bytes.data(), text.data(), std::min<size_t>(text.size(), 20));
        return bytes;
    }

    static hhsim::Fault SilenceOn(int command, int sub) {
        hhsim::Fault f;
        f.kind = hhsim::Fault::Kind::Silence;
        f.command = command;
        f.sub = sub;
        f.times = 100;
        return f;
    }

    // The handheld stops answering one command; one short attempt is enough to see it.
    void Silence(int command, int sub) {
        tf::Timing timing = TestTiming();
        timing.default_attempts = 1;
        timing.default_timeout_ms = 200;
        tf::SetTiming(timing);
        hhsim::FaultPlan plan;
        plan.faults = {SilenceOn(command, sub)};
        sim().SetPlan(plan);
    }
};

TEST_F(ClockTest, SetClockFromRecords) {
    StartSim();
    struct Case {
        HcDate date;
        HcTime time;
        const char* sent;
    };
    const Case cases[] = {
        {{2010, 6, 21}, {7, 11, 48}, "2010/06/21 07:11:48"},
        {{5, 1, 2}, {3, 4, 5}, "0005/01/02 03:04:05"},
        // Each field keeps its first digits: a year of five digits, a month of three.
        {{12345, 123, 31}, {23, 59, 255}, "1234/12/31 23:59:25"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        ASSERT_EQ(SetHcDateTime(0, 0, &c.date, &c.time), 0);
        EXPECT_EQ(LastOf(53, 0, true), Text20(c.sent));
        EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    }
}

TEST_F(ClockTest, SetClockFromPcClock) {
    StartSim();
    PcClock clock(platform::GetClock());
    platform::SetClock(&clock);
    struct Case {
        platform::LocalDateTime now;
        bool date_given;
        const char* sent;
    };
    const Case cases[] = {
        {{2079, 12, 31, 23, 59, 58}, false, "2079/12/31 23:59:58"},
        {{1980, 1, 1, 0, 0, 0}, false, "1980/01/01 00:00:00"},
        {{1999, 7, 4, 12, 30, 1}, false, "1999/07/04 12:30:01"},
        // A date without a time: the PC's clock for the whole text, not the given date.
        {{2026, 12, 10, 8, 9, 7}, true, "2026/12/10 08:09:07"},
    };
    const HcDate date{2010, 6, 21};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        clock.now_ = c.now;
        ASSERT_EQ(SetHcDateTime(0, 0, c.date_given ? &date : nullptr, nullptr), 0);
        EXPECT_EQ(LastOf(53, 0, true), Text20(c.sent));
    }
}

TEST_F(ClockTest, ReadClockAlwaysTerminated) {
    struct Case {
        std::string answer;
        std::string text;
    };
    const Case cases[] = {
        {std::string("2026/12/10 08:09:07", 20), "2026/12/10 08:09:07"},
        // A short answer replaces only its own bytes, and the text ends after them.
        {"2026/12/10 0", "2026/12/10 0"},
        // Twenty characters without a NUL still end within the caller's 30 bytes.
        {"2026/12/10 08:09:07Z", "2026/12/10 08:09:07Z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        hhsim::Config config;
        config.clock_text = c.answer;
        StartSim(1, config);
        char buffer[30];
        std::memset(buffer, 'x', sizeof buffer);
        ASSERT_EQ(GetHcDateTime(0, 0, buffer), 0);
        EXPECT_EQ(std::string(buffer), c.text);
        if (c.text.size() < 19) {
            EXPECT_EQ(buffer[c.text.size() + 1], 'x');
        }
        Restart();
    }
}

TEST_F(ClockTest, ClockRefusalsAndFailures) {
    StartSim();
    EXPECT_EQ(GetHcDateTime(0, 0, nullptr), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);

    // Another operation holds the link: nothing is asked and nothing changes.
    ASSERT_EQ(tf::SetLinkStatus(StatusBusy, 0), 1);
    char buffer[30] = "untouched";
    const HcDate date{2010, 6, 21};
    const HcTime time{7, 11, 48};
    const size_t before = sim().CommandCount();
    EXPECT_EQ(tf::TextFrame().GetHcDateTime(nullptr), ResultBusy);
    EXPECT_EQ(tf::TextFrame().GetHcDateTime(buffer), ResultBusy);
    EXPECT_EQ(tf::TextFrame().SetHcDateTime(&date, &time), ResultBusy);
    EXPECT_EQ(tf::TextFrame().HcShowInfo("busy"), ResultBusy);
    EXPECT_EQ(tf::TextFrame().GetHcMsg("m.bin"), ResultBusy);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(sim().CommandCount(), before);
    tf::SetLinkStatus(StatusIdle, 0);

    Silence(60, 0);
    EXPECT_EQ(GetHcDateTime(0, 0, buffer), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrOperation));
    EXPECT_STREQ(buffer, "untouched");
    Silence(53, 0);
    EXPECT_EQ(SetHcDateTime(0, 0, &date, &time), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrOperation));
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
}

TEST_F(ClockTest, ShowText) {
    StartSim();
    ASSERT_EQ(HcShowInfo(0, 0, "0123456789ABCDEFGHIJKLMNO"), 0);
    EXPECT_EQ(sim().ShownText(), "0123456789ABCDEFGHIJ");
    ASSERT_EQ(HcShowInfo(0, 0, ""), 0);
    EXPECT_TRUE(LastOf(73, 0, false).empty());
    EXPECT_EQ(HcShowInfo(0, 0, nullptr), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));
    Silence(73, 0);
    EXPECT_EQ(HcShowInfo(0, 0, "lost"), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrSendFail));
}

TEST_F(ClockTest, SendMessageFile) {
    StartSim();
    const Bytes ten = RandomBytes(10, 3);
    const Bytes hundred = RandomBytes(100, 4);
    WriteFile(work_ / "ten.msg", ten);
    WriteFile(work_ / "hundred.msg", hundred);

    ASSERT_EQ(SendMsgToHc(0, 0, ".\\ten.msg"), 0);
    Bytes expected = ten;
    expected.resize(48, 0);
    EXPECT_EQ(LastOf(80, 34, true), expected);

    ASSERT_EQ(SendMsgToHc(0, 0, "hundred.msg"), 0);
    EXPECT_EQ(LastOf(80, 34, true), Bytes(hundred.begin(), hundred.begin() + 48));

    // What was sent comes back whole.
    ASSERT_EQ(GetHcMsg(0, 0, "back.msg"), 0);
    EXPECT_EQ(ReadFile(work_ / "back.msg"), Bytes(hundred.begin(), hundred.begin() + 48));

    const size_t before = sim().CommandCount();
    EXPECT_EQ(SendMsgToHc(0, 0, "missing.msg"), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrCreateFile));
    EXPECT_EQ(SendMsgToHc(0, 0, ""), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));
    EXPECT_EQ(GetHcMsg(0, 0, nullptr), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadParam));
    // Only the link detections reached the handheld.
    for (size_t i = before; i < sim().Commands().size(); ++i) EXPECT_NE(sim().Commands()[i].command, 80);
}

TEST_F(ClockTest, MessageOfWrongSizeLeavesFileAlone) {
    for (size_t size : {47u, 0u}) {
        SCOPED_TRACE(size);
        hhsim::Config config;
        config.message = RandomBytes(size, 5);
        StartSim(1, config);
        WriteFile(work_ / "kept.msg", Bytes(5, 'k'));
        EXPECT_EQ(GetHcMsg(0, 0, "kept.msg"), 1);
        EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrReceiveFail));
        EXPECT_EQ(ReadFile(work_ / "kept.msg"), Bytes(5, 'k'));
        EXPECT_EQ(GetHcMsg(0, 0, "new.msg"), 1);
        EXPECT_FALSE(fs::exists(work_ / "new.msg"));
        EXPECT_EQ(std::distance(fs::directory_iterator(work_), fs::directory_iterator()), 1);
        Restart();
    }
}

}  // namespace
}  // namespace tarvix::tftest
