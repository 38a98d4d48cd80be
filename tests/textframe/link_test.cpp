// Finding the handheld, its number, the link test and the raw exports, against the simulated
// handheld on a pseudo-terminal.
#include <cstring>
#include <functional>

#include "platform/fake_serial_port.h"
#include "sim_fixture.h"
#include "textframe/frame_transfer.h"
#include "textframe/serial_line.h"

namespace tarvix::tftest {
namespace {

[[maybe_unused]] ::testing::Environment* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

using LinkTest = SimTest;

TEST_F(LinkTest, FindsTheHandheldOnItsPortAndRate) {
    hhsim::Config config;
    config.baud = 38400;
    StartSim(3, config);
    int32_t port = -1;
    int32_t rate = -1;
    uint8_t mode = 0;
    ASSERT_EQ(AdPortAndRateAndMode(&port, &rate, &mode), 0);
    EXPECT_EQ(port, 3);
    EXPECT_EQ(rate, 38400);
    EXPECT_EQ(mode, 3);
    EXPECT_EQ(LinkPort, 3);
    EXPECT_EQ(LinkRate, 38400);
    // The probes at 115200 and 57600 went unanswered: the handheld hears only its own rate.
    ASSERT_TRUE(sim().WaitEvent("command:15/0", std::chrono::seconds(5)));
    EXPECT_EQ(sim().Counter("command:15/0"), 1);
    EXPECT_EQ(TestHcLink(), 0);

    // The next detection tries the saved pair first and finds it at once.
    sim().ClearRecords();
    ASSERT_EQ(AdPortAndRate(nullptr, nullptr), 0);
    ASSERT_TRUE(sim().WaitEvent("command:15/0", std::chrono::seconds(5)));
    EXPECT_EQ(sim().Counter("command:15/0"), 1);
    EXPECT_EQ(TestHcLink(), 0);
}

TEST_F(LinkTest, NothingAnswersAndNothingChanges) {
    // Every COMn is absent, the USB step finds no device: one clean failure, outputs untouched.
    int32_t port = 77;
    int32_t rate = 77;
    uint8_t mode = 77;
    EXPECT_EQ(AdPortAndRateAndMode(&port, &rate, &mode), 1);
    EXPECT_EQ(port, 77);
    EXPECT_EQ(rate, 77);
    EXPECT_EQ(mode, 77);
    EXPECT_EQ(LinkPort, 1);
    EXPECT_EQ(LinkRate, 115200);
    EXPECT_EQ(LinkMode, 3);
    EXPECT_EQ(HcMakeDir(0, 0, "\\D"), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrNoLink));
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(TestHcLink(), 2);
}

TEST_F(LinkTest, WrongRatesAreNoAnswer) {
    // A port that opens is tried at each rate in turn; a handheld hears only its own rate.
    struct Case {
        int com;
        unsigned rate;
    };
    for (const Case& c : {Case{4, 57600}, Case{1, 9600}}) {
        SCOPED_TRACE(c.rate);
        hhsim::Config config;
        config.baud = c.rate;
        StartSim(c.com, config);
        ResetLinkState();
        ASSERT_EQ(AdPortAndRate(nullptr, nullptr), 0);
        EXPECT_EQ(LinkPort, c.com);
        EXPECT_EQ(LinkRate, static_cast<int32_t>(c.rate));
        ComRelease();
        sim().Stop();
        SetPort(c.com, kNoDevice);
    }
    ResetLinkState();
}

TEST_F(LinkTest, DeviceKindProbe) {
    struct Case {
        const char* model;
        uint8_t kind_after;
    };
    for (const Case& c : {Case{"R9M", 4}, Case{"X2Q", 3}}) {
        SCOPED_TRACE(c.model);
        hhsim::Config config;
        config.model = c.model;
        StartSim(2, config);
        ResetLinkState();
        DeviceKind = 3;
        ASSERT_EQ(AdPortAndRate(nullptr, nullptr), 0);
        EXPECT_EQ(DeviceKind, c.kind_after);
        EXPECT_EQ(sim().Counter("command:80/36"), 1);
        ComRelease();
        sim().Stop();
    }
    ResetLinkState();
}

TEST_F(LinkTest, HandheldNumber) {
    struct Case {
        const char* number;
        int32_t result;
    };
    for (const Case& c : {Case{"HC2025001", 0}, Case{"ABCDEFGHIJKLMNO", 0}, Case{"SEVEN77", 1}}) {
        SCOPED_TRACE(c.number);
        hhsim::Config config;
        config.number = c.number;
        StartSim(1, config);
        char number[16];
        std::memset(number, 'x', sizeof number);
        ASSERT_EQ(thrdGetHcNum(0, 0, number), c.result);
        EXPECT_STREQ(number, c.number);  // a short number is terminated too
        if (c.result != 0) {
            EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrReceiveFail));
            EXPECT_EQ(thrdQueryStatus(), StatusFailed);
        }
        ComRelease();
        sim().Stop();
    }
}

// A port past COM4 (where USB-serial adapters sit) opens by its number like any other; detection
// never looks there, so the caller names it.
TEST_F(LinkTest, ComInitOpensPortsPastCom4) {
    StartSim(5);
    SetPort(9, kNoDevice);
    EXPECT_EQ(ComInit(9, 115200), 0);
    EXPECT_EQ(TestHcLink(), 2);
    // The low 16 bits name the port: 0x10005 is COM5.
    ASSERT_EQ(ComInit(0x10005, 115200), 1);
    EXPECT_EQ(TestHcLink(), 0);
    EXPECT_EQ(SendCmd(15, 0, 99), 0);
    ComRelease();
    EXPECT_EQ(TestHcLink(), 2);
    unsetenv("TARVIX_COM5");
    unsetenv("TARVIX_COM9");
}

TEST_F(LinkTest, RawExports) {
    StartSim(1);
    EXPECT_EQ(ComInit(1, 19200), 0);  // not one of the family's rates
    EXPECT_EQ(TestHcLink(), 2);
    ASSERT_EQ(ComInit(1, 115200), 1);
    EXPECT_EQ(ComInit(1, 115200), 1);  // already open: nothing is done
    EXPECT_EQ(SendCmd(15, 0, 99), 0);
    EXPECT_EQ(Get_Update_Count(257), 0);  // the low byte 1 resets

    // 600 bytes travel as blocks 1, 2 and a last block: three frames.
    const Bytes data = RandomBytes(600, 5);
    sim().ClearRecords();
    EXPECT_EQ(Send_Data(data.data(), static_cast<int32_t>(data.size())), 0);
    EXPECT_EQ(Get_Update_Count(0), 3);
    EXPECT_EQ(Send_Data(data.data(), -1), 1);
    EXPECT_EQ(Get_Update_Count(0), 3);
    std::vector<hhsim::FrameRecord> in;
    for (const auto& f : sim().Frames()) {
        if (f.inbound) in.push_back(f);
    }
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in[0].number, 1u);
    EXPECT_EQ(in[1].number, 2u);
    EXPECT_EQ(in[2].number, 0xFFFFFFFFu);
    EXPECT_EQ(in[2].payload, Bytes(data.begin() + 512, data.end()));

    // Block boundaries: the last block carries the rest, and an empty send is one empty last frame.
    struct Split {
        size_t size;
        std::vector<uint32_t> numbers;
    };
    for (const Split& split :
         {Split{0, {0xFFFFFFFFu}}, Split{256, {0xFFFFFFFFu}}, Split{257, {1, 0xFFFFFFFFu}}}) {
        SCOPED_TRACE(split.size);
        sim().ClearRecords();
        const Bytes bytes = RandomBytes(split.size, 6);
        EXPECT_EQ(Send_Data(bytes.data(), static_cast<int32_t>(bytes.size())), 0);
        std::vector<uint32_t> numbers;
        Bytes carried;
        for (const auto& f : sim().Frames()) {
            if (!f.inbound) continue;
            numbers.push_back(f.number);
            carried.insert(carried.end(), f.payload.begin(), f.payload.end());
        }
        EXPECT_EQ(numbers, split.numbers);
        EXPECT_EQ(carried, bytes);
    }

    // The number query leaves its answer on the line for Receive_Data.
    EXPECT_EQ(SendCmd(80, 25, 0), 0);
    char buffer[32] = {};
    int32_t received = -1;
    EXPECT_EQ(Receive_Data(buffer, 15, &received), 0);
    EXPECT_EQ(received, static_cast<int32_t>(sim().config().number.size()));
    EXPECT_EQ(std::string(buffer), sim().config().number);
    EXPECT_EQ(ComRelease(), 1);
    EXPECT_EQ(TestHcLink(), 2);
}

TEST_F(LinkTest, HandheldThatDiesMidWaitEndsTheReceiveAtOnce) {
    // Waits far longer than the test may take: only the hang-up can end them in time.
    tf::Timing timing = TestTiming();
    timing.default_timeout_ms = 60000;
    timing.byte_timeout_ms = 60000;
    tf::SetTiming(timing);
    StartSim(1);
    ASSERT_EQ(ComInit(1, 115200), 1);
    std::thread dies([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        sim().Stop();  // the pseudo-terminal's far end closes
    });
    char buffer[64] = {};
    int32_t received = -1;
    const auto start = std::chrono::steady_clock::now();
    Receive_Data(buffer, sizeof buffer, &received);
    const auto waited = std::chrono::steady_clock::now() - start;
    dies.join();
    EXPECT_EQ(received, 0);
    EXPECT_LT(waited, std::chrono::seconds(10));
    // Everything after it fails at once as well, until the port is opened again.
    const Bytes data = RandomBytes(10, 1);
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(Send_Data(data.data(), 10), 1);
    EXPECT_EQ(TestHcLink(), 1);  // open, but nothing answers
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::seconds(10));
}

// The handheld goes away and comes back on the same port between two calls (an adapter pulled and
// plugged in again): the port the link kept open is hung up, and the first call after it works, on
// the saved pair, at the cost of one more open of the port.  A call while the handheld stays is not
// made to open again.
class ReplugTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        StartSim(1);
        fs::create_directories(Store() / "KELVANHB");
        // Every open of a port from here on is recorded.
        opens_ = std::make_shared<fakes::RecordingSerialPort::Record>();
        tf::Line().UsePort(std::make_unique<fakes::RecordingSerialPort>(opens_));
    }
    void TearDown() override {
        LinkTest::TearDown();
        tf::Line().UsePort(nullptr);
    }
    // Opens of ports since the last look: the handheld's port at its rate (a failed open as the
    // negative rate), any other port as 0.
    std::vector<int64_t> TakeOpens() {
        std::vector<int64_t> opens;
        for (const auto& open : *opens_) {
            const int64_t rate = open.opened ? int64_t{open.rate} : -int64_t{open.rate};
            opens.push_back(open.device == sim().SlavePath() ? rate : 0);
        }
        opens_->clear();
        return opens;
    }
    std::shared_ptr<fakes::RecordingSerialPort::Record> opens_;
};

TEST_F(ReplugTest, TheFirstCallAfterTheHandheldCameBackWorks) {
    const Bytes table = RandomBytes(700, 11);
    WriteFile(work_ / "A.DBF", table);
    char number[16] = {};
    ASSERT_EQ(thrdGetHcNum(0, 0, number), 0);  // the link stays open on COM1 at 115200
    EXPECT_EQ(TakeOpens(), (std::vector<int64_t>{115200, 115200}));
    struct Case {
        const char* name;
        bool restart;
        std::function<int32_t()> call;
    };
    const Case cases[] = {
        {"number", true, [&] { return thrdGetHcNum(0, 0, number); }},
        {"upload", true, [] { return SendFileToHc(0, 0, "\\KELVANHB\\A.DBF", ".\\A.DBF", 0, 1); }},
        {"download", true, [] { return GetHcFile(0, 0, "\\KELVANHB\\A.DBF", ".\\downa.dbf", 1); }},
        {"number again", false, [&] { return thrdGetHcNum(0, 0, number); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.restart) {
            std::string error;
            ASSERT_TRUE(sim().Restart(&error)) << error;
        }
        sim().ClearRecords();
        ASSERT_EQ(c.call(), 0);
        EXPECT_EQ(LinkPort, 1);
        EXPECT_EQ(LinkRate, 115200);
        // The saved pair answered after the reopen of its hung-up port, so nothing else was probed;
        // then the detected link was opened.  Without a restart the kept port serves the probe.
        const std::vector<int64_t> opens =
            c.restart ? std::vector<int64_t>{115200, 115200} : std::vector<int64_t>{115200};
        EXPECT_EQ(TakeOpens(), opens);
    }
    EXPECT_STREQ(number, sim().config().number.c_str());
    EXPECT_EQ(ReadFile(Store() / "KELVANHB" / "A.DBF"), table);
    EXPECT_EQ(ReadFile(work_ / "downa.dbf"), table);
}

TEST_F(ReplugTest, APortWhoseDeviceDidNotComeBackCostsOneReopen) {
    char number[16] = {};
    ASSERT_EQ(thrdGetHcNum(0, 0, number), 0);
    TakeOpens();
    sim().Unplug();
    EXPECT_EQ(thrdGetHcNum(0, 0, number), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrNoLink));
    // The reopen at the saved rate fails; the scan then leaves the port at its first failed open and
    // tries COM2 to COM4 (not there).
    EXPECT_EQ(TakeOpens(), (std::vector<int64_t>{-115200, -57600, 0, 0, 0}));
    EXPECT_EQ(LinkPort, 1);
    EXPECT_EQ(LinkRate, 115200);
    // Once the handheld is back, the next call finds it with a plain open of the saved pair.
    std::string error;
    ASSERT_TRUE(sim().Replug(&error)) << error;
    sim().ClearRecords();
    EXPECT_EQ(thrdGetHcNum(0, 0, number), 0);
    EXPECT_EQ(TakeOpens(), (std::vector<int64_t>{115200, 115200}));
}

TEST_F(LinkTest, AHangUpSeenOnlyByTheLinkTestStillReopensOnce) {
    // Whether the kept port shows the hang-up before the link test or only when its write fails, the
    // probe of the saved pair opens the device once more and tests again there.
    for (const bool seen_at_once : {true, false}) {
        SCOPED_TRACE(seen_at_once);
        auto script = std::make_shared<fakes::FakeSerialPort::Script>();
        script->answer = {0x00};
        auto owned = std::make_unique<fakes::FakeSerialPort>(script);
        fakes::FakeSerialPort* port = owned.get();
        tf::Line().UsePort(std::move(owned));
        ASSERT_EQ(ComInit(1, 115200), 1);
        port->HangUp(seen_at_once);
        EXPECT_EQ(AdPortAndRate(nullptr, nullptr), 0);
        EXPECT_EQ(LinkPort, 1);
        // ComInit, the reopen, and the open of the detected link.
        EXPECT_EQ(port->opens(), 3);
        EXPECT_EQ(port->writes(), seen_at_once ? 1 : 2);
        ComRelease();
        tf::Line().UsePort(nullptr);
    }
}

TEST_F(LinkTest, BreakIsNoAcknowledgement) {
    // A break reads as 0x00, the byte that accepts a frame: with the line error it comes with, it is
    // dropped, so the frame is never taken as accepted.
    struct Case {
        bool line_error;
        int32_t result;
    } cases[] = {{false, 0}, {true, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line_error);
        auto script = std::make_shared<tarvix::fakes::FakeSerialPort::Script>();
        script->answer = {0x00};
        script->line_error = c.line_error;
        auto owned = std::make_unique<tarvix::fakes::FakeSerialPort>(script);
        tarvix::fakes::FakeSerialPort* port = owned.get();
        tf::Line().UsePort(std::move(owned));
        tf::Timing timing = TestTiming();
        timing.default_timeout_ms = 50;
        tf::SetTiming(timing);
        ASSERT_EQ(ComInit(1, 115200), 1);
        const Bytes data = RandomBytes(10, 1);
        EXPECT_EQ(Send_Data(data.data(), 10), c.result);
        EXPECT_EQ(port->writes(), c.line_error ? 3 : 1);  // every attempt, or the first accepted
        ComRelease();
        tf::Line().UsePort(nullptr);
    }
}

TEST_F(LinkTest, WithoutFrameBuffersNothingIsSent) {
    // A library whose buffers could not be allocated at start fails its transfers instead of
    // writing through a missing buffer.
    StartSim(1);
    tf::FreeFrameBuffer();
    ASSERT_EQ(ComInit(1, 115200), 1);
    const Bytes data = RandomBytes(10, 1);
    EXPECT_EQ(Send_Data(data.data(), 10), 1);
    EXPECT_EQ(sim().Counter("frames-in"), 0);
    ComRelease();
    ASSERT_TRUE(tf::AllocFrameBuffer());
    ASSERT_EQ(ComInit(1, 115200), 1);
    EXPECT_EQ(Send_Data(data.data(), 10), 0);
}

}  // namespace
}  // namespace tarvix::tftest
