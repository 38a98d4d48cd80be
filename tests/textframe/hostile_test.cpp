// A broken or hostile handheld cannot hold a call: replies that dribble or babble, listings that never
// end or go round, and files larger or smaller than announced each end the call by themselves with
// the receive's error code, over the line and over USB, leaving the caller's files as they were.
#include <algorithm>

#include "sim_fixture.h"

namespace tarvix::tftest {
namespace {

using Kind = hhsim::Fault::Kind;

constexpr const char* kHcName = "\\KELVANHB\\A.DBF";

std::string ErrorText(int32_t code) {
    char text[64] = {};
    GetErrorMsg(code, text);
    return text;
}

class HostileTest : public SimTest {
  protected:
    // The handheld on COM1, or on USB only, with the application folder.
    hhsim::Simulator& Start(bool usb) {
        if (usb) return StartUsbSim();
        StartSim(1);
        fs::create_directories(Store() / "KELVANHB");
        return *sim_;
    }

    // Bounded: until the handheld has given up a frame it sent after the event numbered `since` (it
    // sees the PC close its port, or runs out of sends), or was idle all along.
    void WaitUntilTheHandheldGaveUpSending(size_t since) {
        for (int i = 0; i < 600; ++i) {
            const std::vector<std::string> events = sim().Events();
            for (size_t n = since; n < events.size(); ++n) {
                if (events[n] == "pc-closed" || events[n] == "gave-up-send") return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // The call failed with the receive's code and its text.
    static void ExpectReceiveFailure(int32_t result) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(GetLastErrCode(), ErrReceiveFail);
        EXPECT_FALSE(ErrorText(ErrReceiveFail).empty());
    }
};

// ---- replies that never end by themselves (the line) ----

TEST_F(HostileTest, DribbleOrBabbleInPlaceOfAReplyFailsTheCall) {
    struct Case {
        const char* what;
        hhsim::Fault fault;
        const char* event;
    };
    // Under the byte time-out: every byte of the dribble keeps the frame's byte wait alive, so only
    // the frame's own deadline ends it.
    const int dribble_ms = static_cast<int>(TestTiming().byte_timeout_ms * 3 / 4);
    const Case cases[] = {
        {"dribble of the look-up answer", hhsim::MakeFault(Kind::Dribble, 80, 14, 1, 1, dribble_ms),
         "dribble"},
        {"zeros in place of the look-up answer", hhsim::MakeFault(Kind::Babble, 80, 14, 1, 1, 0), "babble"},
        {"frame headers over and over", hhsim::MakeFault(Kind::Babble, 80, 14, 1, 1, 1), "babble"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(false);
        WriteFile(Store() / "KELVANHB" / "A.DBF", Bytes(300, 'h'));
        Plan({c.fault});
        HcFileRecord record{};
        ExpectReceiveFailure(GetHcFileInfoEx(0, 0, kHcName, &record));
        EXPECT_EQ(thrdQueryStatus(), StatusFailed);
        EXPECT_GE(sim().Counter(c.event), 1);
        ComRelease();
        sim().Stop();
    }
}

TEST_F(HostileTest, DribbleOrBabbleInsideADownloadKeepsTheTarget) {
    const int dribble_ms = static_cast<int>(TestTiming().byte_timeout_ms * 3 / 4);
    for (const hhsim::Fault& fault : {hhsim::MakeFault(Kind::Dribble, 80, 3, 2, 1, dribble_ms),
                                      hhsim::MakeFault(Kind::Babble, 80, 3, 2, 1, 0)}) {
        SCOPED_TRACE(fault.kind == Kind::Dribble ? "dribble" : "babble");
        Start(false);
        WriteFile(Store() / "KELVANHB" / "A.DBF", RandomBytes(2000, 3));
        WriteFile(work_ / "down.dbf", Bytes(10, 'k'));
        Plan({fault});
        ExpectReceiveFailure(GetHcFile(0, 0, kHcName, "down.dbf", 1));
        EXPECT_EQ(ReadFile(work_ / "down.dbf"), Bytes(10, 'k'));
        EXPECT_EQ(WorkFiles(), std::vector<std::string>{"down.dbf"});
        ComRelease();
        sim().Stop();
    }
}

// ---- sizes the handheld lies about ----

struct SizeCase {
    const char* what;
    uint32_t real_size;
    int announced;  // -1: the truth
    bool ok;
    // The library gives the data up at its first frame or block: the handheld never gets it all out.
    bool cut_short;
};

const SizeCase kSizeCases[] = {
    {"announced 0, 300 bytes sent", 300, 0, false, false},
    {"announced 0, 40000 bytes sent", 40000, 0, false, true},
    {"announced 100, 40000 bytes sent", 40000, 100, false, true},
    {"announced 5000, 300 bytes sent", 300, 5000, false, false},
    {"an empty file announced 0", 0, -1, true, false},
    {"300 bytes announced 300", 300, -1, true, false},
};

TEST_F(HostileTest, DownloadTakesNoMoreThanTheAnnouncedSize) {
    for (const bool usb : {false, true}) {
        for (const bool background : {false, true}) {
            for (const SizeCase& c : kSizeCases) {
                SCOPED_TRACE(std::string(usb ? "USB, " : "line, ") + (background ? "background, " : "") +
                             c.what);
                Start(usb);
                const Bytes content = RandomBytes(c.real_size, c.real_size);
                WriteFile(Store() / "KELVANHB" / "A.DBF", content);
                WriteFile(work_ / "down.dbf", Bytes(10, 'k'));
                if (c.announced >= 0) Plan({hhsim::MakeFault(Kind::LyingSize, 80, 14, 1, 1, c.announced)});
                int32_t result = -1;
                if (background) {
                    ASSERT_EQ(thrdGetHcFile(0, 0, kHcName, "down.dbf", 1), 0);
                    WaitWorker();
                    result = thrdQueryStatus() == StatusIdle ? 0 : 1;
                } else {
                    result = GetHcFile(0, 0, kHcName, "down.dbf", 1);
                }
                if (c.ok) {
                    EXPECT_EQ(result, 0);
                    EXPECT_EQ(ReadFile(work_ / "down.dbf"), content);
                } else {
                    ExpectReceiveFailure(result);
                    EXPECT_EQ(ReadFile(work_ / "down.dbf"), Bytes(10, 'k'));
                }
                EXPECT_EQ(WorkFiles(), std::vector<std::string>{"down.dbf"});
                if (c.cut_short) {
                    EXPECT_EQ(sim().Counter("sent:\\KELVANHB\\A.DBF"), 0);
                }
                ComRelease();
                sim().Stop();
            }
        }
    }
}

TEST_F(HostileTest, EndlessUsbBlocksStopAtTheAnnouncedSize) {
    // After the download command's status reply, the first data block starts a flood of full blocks
    // none of which is the last: the library takes no more than the size the look-up announced
    // (9000 bytes: two full blocks, the third holds more than the 824 bytes left; 0: not one block).
    for (const int announced : {-1, 0}) {
        SCOPED_TRACE("announced " + std::to_string(announced));
        Start(true);
        WriteFile(Store() / "KELVANHB" / "A.DBF", RandomBytes(9000, 5));
        WriteFile(work_ / "down.dbf", Bytes(10, 'k'));
        hhsim::FaultPlan plan;
        plan.faults = {hhsim::MakeFault(Kind::Babble, 80, 3, 2)};
        if (announced >= 0) plan.faults.push_back(hhsim::MakeFault(Kind::LyingSize, 80, 14, 1, 1, announced));
        sim().SetPlan(plan);
        ExpectReceiveFailure(GetHcFile(0, 0, kHcName, "down.dbf", 1));
        EXPECT_EQ(ReadFile(work_ / "down.dbf"), Bytes(10, 'k'));
        EXPECT_EQ(WorkFiles(), std::vector<std::string>{"down.dbf"});
        EXPECT_GE(sim().Counter("babble"), 1);
        EXPECT_TRUE(sim().WaitEvent("abort", std::chrono::seconds(5)));
        ComRelease();
        sim().Stop();
    }
}

// ---- listings that never end or go round ----

struct ListingCase {
    const char* what;
    std::vector<hhsim::Fault> faults;
    uint32_t cap;
    int32_t result;
    int32_t count;
};

TEST_F(HostileTest, ListingEndsAtARepeatOrTheCap) {
    const ListingCase cases[] = {
        {"an endless listing", {hhsim::MakeFault(Kind::EndlessListing, 80, 15, 1)}, 50, 1, 0},
        {"the first entry again", {hhsim::MakeFault(Kind::RepeatEntry, 80, 15, 1)}, 100000, 1, 0},
        {"the second entry again, late", {hhsim::MakeFault(Kind::RepeatEntry, 80, 15, 2)}, 100000, 1, 0},
        {"the cap reached exactly", {}, 3, 0, 3},
        {"one entry over the cap", {}, 2, 1, 0},
    };
    for (const bool usb : {false, true}) {
        for (const ListingCase& c : cases) {
            SCOPED_TRACE(std::string(usb ? "USB, " : "line, ") + c.what);
            tf::Timing t = TestTiming();
            t.listing_cap = c.cap;
            tf::SetTiming(t);
            Start(usb);
            for (const char* name : {"A.DBF", "B.DBF", "C.DBF"})
                WriteFile(Store() / "KELVANHB" / name, Bytes(100, 'x'));
            WriteFile(work_ / "list.bin", Bytes(7, 'p'));
            hhsim::FaultPlan plan;
            plan.faults = c.faults;
            sim().SetPlan(plan);
            int32_t count = -1, total = -1;
            const int32_t result = GetHcDirInfo(0, 0, "\\KELVANHB\\*.*", "list.bin", &count, &total, 1);
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(count, c.count);
            if (c.result == 0) {
                EXPECT_EQ(ReadFile(work_ / "list.bin").size(), 3u * 32u);
            } else {
                ExpectReceiveFailure(result);
                EXPECT_EQ(total, 0);
                EXPECT_EQ(ReadFile(work_ / "list.bin"), Bytes(7, 'p'));
            }
            EXPECT_EQ(WorkFiles(), std::vector<std::string>{"list.bin"});
            ComRelease();
            sim().Stop();
        }
    }
}

TEST_F(HostileTest, StopEndsAnEndlessListingWithTheReceiveCode) {
    for (const bool usb : {false, true}) {
        SCOPED_TRACE(usb ? "USB" : "line");
        Start(usb);
        WriteFile(Store() / "KELVANHB" / "A.DBF", Bytes(100, 'x'));
        Plan({hhsim::MakeFault(Kind::EndlessListing, 80, 15, 1)});
        int32_t result = -1, count = -1, total = -1;
        std::thread listing(
            [&] { result = GetHcDirInfo(0, 0, "\\KELVANHB\\*.*", "list.bin", &count, &total, 0); });
        // Well into the endless part; the stop then lands at whatever step the listing is in.
        EXPECT_TRUE(sim().WaitEvent("command:80/15", std::chrono::seconds(20), 20));
        const size_t before_stop = sim().Events().size();
        thrdStop(0);
        listing.join();
        ExpectReceiveFailure(result);
        EXPECT_EQ(count, 0);
        EXPECT_FALSE(fs::exists(work_ / "list.bin"));
        EXPECT_TRUE(WorkFiles().empty());
        // The stop belonged to that listing: the next call runs.  The handheld may still be sending the
        // answer the stop left unread, and a link test that meets it fails as it would on a real line:
        // the port is closed, and the next call waits until the handheld has given that answer up.  (Over
        // USB each answer is a message of its own, which the next call's link test does not meet.)
        ComRelease();
        if (!usb) WaitUntilTheHandheldGaveUpSending(before_stop);
        HcFileRecord record{};
        EXPECT_EQ(GetHcFileInfoEx(0, 0, kHcName, &record), 0);
        ComRelease();
        sim().Stop();
    }
}

}  // namespace
}  // namespace tarvix::tftest
