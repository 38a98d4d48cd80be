// The public exports with a byte-frame handheld attached: the library linked in, its extern "C"
// functions called directly, COM1 to COM4 on the simulated handheld or on devices that do not exist.
#include <cstring>
#include <functional>
#include <thread>

#include "api/link_state.h"
#include "api/start.h"
#include "bf_fixture.h"
#include "byteframe/worker.h"
#include "common/records.h"
#include "platform/fake_serial_port.h"
#include "tables/dbf.h"
#include "tarvix.h"
#include "textframe/link_status.h"
#include "textframe/timing.h"

namespace bftest {
namespace {

using namespace tarvix;

// The library as a loading program gets it: started once for the whole test program.
class LibraryEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { LibraryAttach(); }
    void TearDown() override { LibraryDetach(); }
};

[[maybe_unused]] ::testing::Environment* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

class Exports : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        ShortenTextFrameWaits();
        ResetLinkState();
        tf::Status().status.store(StatusIdle);
        tf::Status().last_error.store(0);
        setenv("TARVIX_COM1", "/nonexistent/tty", 1);
    }
    void TearDown() override {
        ComRelease();
        tf::ResetTiming();
        ResetLinkState();
        SimFixture::TearDown();
    }
    // A byte-frame handheld on COMn, found by a first detection.
    void Attach(const char* com = "TARVIX_COM1") {
        StartSim(ByteFrameConfig(), com);
        uint8_t mode = 0;
        ASSERT_EQ(AdPortAndRateAndMode(nullptr, nullptr, &mode), 0);
        ASSERT_EQ(mode, 2);
    }
    // A stand-in port answering every frame with 0x00, used by the family's next ComInit (the script
    // may be changed before that); the family keeps ownership.
    tarvix::fakes::FakeSerialPort* UseFakePort(bool line_error = false) {
        auto script = std::make_shared<tarvix::fakes::FakeSerialPort::Script>();
        script->answer = {0x00};
        script->line_error = line_error;
        auto owned = std::make_unique<tarvix::fakes::FakeSerialPort>(script);
        tarvix::fakes::FakeSerialPort* port = owned.get();
        bf::Proto().line().UsePort(std::move(owned));
        return port;
    }
};

TEST_F(Exports, DetectionFallsBackFromTheTextFrameFamily) {
    StartSim(ByteFrameConfig(), "TARVIX_COM3");
    int32_t port = -1, rate = -1;
    uint8_t mode = 0;
    ASSERT_EQ(LinkMode, ModeTextFrame);
    EXPECT_EQ(AdPortAndRateAndMode(&port, &rate, &mode), 0);
    EXPECT_EQ(port, 3);
    EXPECT_EQ(rate, 38400);  // the first rate of the byte-frame list
    EXPECT_EQ(mode, 2);
    EXPECT_EQ(LinkMode, 2);
    // The next detection starts with the byte-frame family on the saved pair: one link test.
    sim_->ClearRecords();
    EXPECT_EQ(AdPortAndRate(nullptr, nullptr), 0);
    EXPECT_EQ(CommandsOf(bf::CmdLinkTest, -1), 1);
}

TEST_F(Exports, DetectionFallsBackToTheTextFrameFamily) {
    Attach();
    sim_->Stop();
    hhsim::Config text;
    text.family = hhsim::Family::TextFrame;
    text.ack_timeout_ms = 150;
    StartSim(text, "TARVIX_COM2");
    setenv("TARVIX_COM1", "/nonexistent/tty", 1);
    uint8_t mode = 0;
    EXPECT_EQ(AdPortAndRateAndMode(nullptr, nullptr, &mode), 0);
    EXPECT_EQ(mode, ModeTextFrame);
    EXPECT_EQ(LinkPort, 2);
}

TEST_F(Exports, NothingAttachedInModeTwo) {
    Attach();
    sim_->Stop();
    setenv("TARVIX_COM1", "/nonexistent/tty", 1);
    EXPECT_EQ(SendFileToHc(0, 0, "\\A.BIN", ".\\a.bin", 0, 1), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrNoLink));
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    EXPECT_EQ(thrdSendFileToHc(0, 0, "\\A.BIN", ".\\a.bin", 0, 1), ResultFailed);
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    TransferStatus record;
    std::memset(&record, 0xAB, sizeof record);
    EXPECT_EQ(thrdQueryStatusEx(&record), StatusFailed);
    EXPECT_EQ(record.error_code, ErrNoLink);
    EXPECT_EQ(record.status, StatusFailed);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    EXPECT_EQ(LinkMode, 2);
}

TEST_F(Exports, NumberAndLinkTest) {
    Attach();
    char number[16];
    std::memset(number, 'x', sizeof number);
    EXPECT_EQ(thrdGetHcNum(7, 7, number), 0);
    EXPECT_STREQ(number, "BF0000042");
    EXPECT_EQ(number[10], 'x');  // at most 10 bytes written
    EXPECT_EQ(TestHcLink(), 0);
    EXPECT_EQ(IsComInited(), 0);
    // A port the caller opened is closed by the link test, which probes the detected link.
    ASSERT_NE(ComInit(1, 9600), -1);
    EXPECT_EQ(TestHcLink(), 0);
    EXPECT_EQ(IsComInited(), 0);
    // Every detection leaves the family's own waits, whatever was set before.
    HcSetExitTime(2000, 5000);
    HcMakeDir(0, 0, "\\W");
    EXPECT_EQ(bf::Proto().AckTimeout(), 500u);
    EXPECT_EQ(bf::Proto().ByteTimeout(), 3000u);
}

TEST_F(Exports, FileInformationRecordsByteForByte) {
    Attach();
    Spill(Store("A.TXT"), Bytes(300, 'a'));
    Spill(Store("B.TXT"), Bytes(5, 'b'));
    HcFileEntry entry;
    std::memset(&entry, 0x77, sizeof entry);
    ASSERT_EQ(GetHcFileInfo(0, 0, "\\A.TXT", &entry), ResultOk);
    EXPECT_STREQ(entry.name, "A.TXT");
    EXPECT_EQ(LoadField<int32_t>(&entry.size), 300);
    HcFileRecord record;
    std::memset(&record, 0x77, sizeof record);
    ASSERT_EQ(GetHcFileInfoEx(0, 0, "\\A.TXT", &record), ResultOk);
    EXPECT_STREQ(record.name, "A.TXT");
    for (size_t i = std::strlen("A.TXT"); i < sizeof record.name; ++i) EXPECT_EQ(record.name[i], 0) << i;
    EXPECT_EQ(LoadField<uint32_t>(&record.size), 300u);
    EXPECT_EQ(LoadField<uint16_t>(&record.date), LoadField<uint16_t>(&entry.date));
    EXPECT_EQ(record.kind, 1);

    ASSERT_EQ(GetHcFileInfo(0, 0, "*.TXT", &entry), ResultOk);
    EXPECT_EQ(GetHcNextFileInfo(0, 0, &entry), ResultOk);
    HcFileRecord untouched;
    std::memset(&untouched, 0x33, sizeof untouched);
    HcFileRecord copy = untouched;
    EXPECT_EQ(GetHcNextFileInfoEx(0, 0, &copy), ResultNotFound);
    EXPECT_EQ(std::memcmp(&copy, &untouched, sizeof copy), 0);
    EXPECT_EQ(GetLastErrCode(), 0);

    int32_t count = 0, total = 0;
    EXPECT_EQ(GetHcDirInfoEx(0, 0, "*.TXT", ".\\list.bin", &count, &total, 0), ResultOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(total, 305);
    EXPECT_EQ(fs::file_size("list.bin"), 2u * 51u);
}

TEST_F(Exports, FoldersAndTheDesksTaskTable) {
    Attach();
    EXPECT_EQ(HcMakeDir(0, 0, "\\KELVANHB"), 0);
    char folder[257];
    EXPECT_EQ(HcSetDir(0, 0, "\\KELVANHB"), 0);
    EXPECT_EQ(HcGetCurDir(0, 0, folder), 0);
    EXPECT_STREQ(folder, "\\KELVANHB");
    EXPECT_EQ(HcSetDir(0, 0, "\\"), 0);

    dbf::Writer writer;
    ASSERT_TRUE(writer.Create("A.DBF", {{"NID", 'N', 8, 0}, {"ADDRES", 'C', 30, 0}}).ok());
    for (int i = 0; i < 40; ++i) {
        std::string nid = std::to_string(1000 + i), addr = "Road " + std::to_string(i);
        std::pair<std::string_view, std::string_view> values[] = {{"NID", nid}, {"ADDRES", addr}};
        ASSERT_TRUE(writer.Append(values).ok());
    }
    ASSERT_TRUE(writer.Close().ok());
    EXPECT_EQ(SendFileToHc(1, 115200, "\\KELVANHB\\A.DBF", ".\\A.DBF", 1, 1), ResultOk);
    EXPECT_TRUE(fs::exists(Store("KELVANHB/A.DBF")));
    EXPECT_FALSE(fs::exists("A.DBC"));
    EXPECT_EQ(GetHcFile(1, 115200, "\\KELVANHB\\A.DBF", ".\\downa.dbf", 1), ResultOk);
    EXPECT_EQ(Slurp("downa.dbf"), Slurp("A.DBF"));
    EXPECT_EQ(DelHcFile(0, 0, "\\KELVANHB\\A.DBF", 1), ResultOk);
    EXPECT_FALSE(fs::exists(Store("KELVANHB/A.DBF")));
    EXPECT_EQ(HcDelDir(0, 0, "\\KELVANHB"), 0);
}

TEST_F(Exports, HandheldThatDiesMidWaitEndsTheReceiveAtOnce) {
    Attach();
    ASSERT_NE(ComInit(1, 115200), -1);
    // Waits far longer than the test may take: only the hang-up can end them in time.
    HcSetExitTime(60000, 60000);
    std::thread dies([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        sim_->Stop();  // the pseudo-terminal's far end closes
    });
    char buffer[64]{};
    int32_t received = -1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(Receive_Data(buffer, sizeof buffer, &received), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    dies.join();
    EXPECT_EQ(received, 0);
    EXPECT_LT(waited, std::chrono::seconds(10));
    const auto again = std::chrono::steady_clock::now();
    EXPECT_NE(SendCmd(bf::CmdLinkTest, 0, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::seconds(10));
}

// The handheld goes away and comes back on the same port between two calls (an adapter pulled and
// plugged in again).  Each handheld operation opens the port itself, so the first call after it works.
TEST_F(Exports, TheFirstCallAfterTheHandheldCameBackWorks) {
    Attach();
    const Bytes content = PlainBytes(700, 21);
    Spill("in.bin", content);
    char number[16] = {};
    struct Case {
        const char* name;
        std::function<int32_t()> call;
    };
    const Case cases[] = {
        {"number", [&] { return thrdGetHcNum(0, 0, number); }},
        {"upload", [] { return SendFileToHc(0, 0, "\\DATA.BIN", ".\\in.bin", 0, 1); }},
        {"download", [] { return GetHcFile(0, 0, "\\DATA.BIN", ".\\out.bin", 1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        ASSERT_TRUE(sim_->Restart(&error)) << error;
        EXPECT_EQ(c.call(), ResultOk);
        EXPECT_EQ(LinkPort, 1);
        EXPECT_EQ(LinkMode, 2);
    }
    EXPECT_STREQ(number, "BF0000042");
    EXPECT_EQ(Slurp(Store("DATA.BIN")), content);
    EXPECT_EQ(Slurp("out.bin"), content);
}

// The port a caller opened with ComInit and keeps open between raw calls: after the handheld came
// back on it, the first command reaches it (the port is opened again once); when it does not come
// back, the call fails after one failed reopen and the port counts as closed.
TEST_F(Exports, AKeptPortIsOpenedAgainOnceAfterAHangUp) {
    Attach();
    ASSERT_NE(ComInit(1, 38400), -1);
    ASSERT_EQ(SendCmd(bf::CmdLinkTest, 0, 0), 0);
    std::string error;
    ASSERT_TRUE(sim_->Restart(&error)) << error;
    sim_->ClearRecords();
    EXPECT_EQ(SendCmd(bf::CmdFile, bf::SubDeviceNumber, 0), 0);
    char number[32]{};
    int32_t received = -1;
    EXPECT_EQ(Receive_Data(number, sizeof number - 1, &received), 0);
    EXPECT_STREQ(number, "BF0000042");
    EXPECT_EQ(CommandsOf(bf::CmdFile, bf::SubDeviceNumber), 1);

    sim_->Unplug();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(SendCmd(bf::CmdLinkTest, 0, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(IsComInited(), 0);
    ASSERT_TRUE(sim_->Replug(&error)) << error;
    EXPECT_NE(ComInit(1, 38400), -1);
    EXPECT_EQ(SendCmd(bf::CmdLinkTest, 0, 0), 0);
}

TEST_F(Exports, AHangUpSeenOnlyByTheWriteReopensTheKeptPort) {
    // A device failure that no status shows before a write: the command goes once more on the
    // reopened port; data the write could not send stay a failure, and the next call reopens the port.
    // Either way the port is opened again once.
    bf::Proto().HcSetExitTime(60, 60);
    bf::Proto().SetAttempts(2);
    bf::Tune().retry_pause_ms.store(1);
    struct Case {
        const char* name;
        bool command;
        bool seen_at_once;
        int32_t result;
        int opens;  // after the call: ComInit's and the reopen, if it came
    } cases[] = {
        {"command, hang-up seen at once", true, true, bf::kDone, 2},
        {"command, hang-up met by the write", true, false, bf::kDone, 2},
        {"data, hang-up seen at once", false, true, bf::kDone, 2},
        {"data, hang-up met by the write", false, false, bf::kNoAnswer, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tarvix::fakes::FakeSerialPort* port = UseFakePort();
        ASSERT_EQ(bf_.ComInit(1, 115200), 1);
        port->HangUp(c.seen_at_once);
        const Bytes data(10, 0x41);
        const auto call = [&] {
            return c.command ? bf_.SendCommandBlock(bf::CmdLinkTest, 0, 0) : bf_.SendData(data.data(), 10);
        };
        EXPECT_EQ(call(), c.result);
        EXPECT_EQ(port->opens(), c.opens);
        EXPECT_EQ(call(), bf::kDone);
        EXPECT_EQ(port->opens(), 2);
        bf_.ComRelease();
        bf::Proto().line().UsePort(nullptr);
    }
}

// A stop ends a command where it is: a command whose write met a device that went away is not sent
// once more after the reopen, and the next call finds the fresh port.
TEST_F(Exports, AStoppedCommandIsNotSentAgainOnTheReopenedPort) {
    bf::Proto().HcSetExitTime(60, 60);
    bf::Proto().SetAttempts(2);
    bf::Tune().retry_pause_ms.store(1);
    tarvix::fakes::FakeSerialPort* port = UseFakePort();
    ASSERT_EQ(bf_.ComInit(1, 115200), 1);
    port->HangUp(/*seen_at_once=*/false);
    bf::g_stop_flag.store(true);
    EXPECT_EQ(bf_.SendCommandBlock(bf::CmdLinkTest, 0, 0), bf::kStopped);
    bf::g_stop_flag.store(false);
    EXPECT_EQ(port->writes(), 1);
    EXPECT_EQ(port->opens(), 1);
    EXPECT_EQ(bf_.SendCommandBlock(bf::CmdLinkTest, 0, 0), bf::kDone);
    EXPECT_EQ(port->opens(), 2);
    bf_.ComRelease();
    bf::Proto().line().UsePort(nullptr);
}

TEST_F(Exports, BreakIsNoAnswer) {
    // A break reads as 0x00, the answer that accepts a frame: with the line error it comes with, it
    // is dropped, so the frame is never taken as accepted.
    struct Case {
        bool line_error;
        int32_t result;
    } cases[] = {{false, bf::kDone}, {true, bf::kNoAnswer}};
    bf::Proto().HcSetExitTime(60, 60);
    bf::Proto().SetAttempts(2);
    bf::Tune().retry_pause_ms.store(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line_error);
        tarvix::fakes::FakeSerialPort* port = UseFakePort(c.line_error);
        ASSERT_EQ(bf_.ComInit(1, 115200), 1);
        const Bytes data(10, 0x41);
        EXPECT_EQ(bf_.SendData(data.data(), 10), c.result);
        EXPECT_EQ(port->writes(), c.line_error ? 2 : 1);
        bf_.ComRelease();
        bf::Proto().line().UsePort(nullptr);
    }
}

// A port past COM4 (where USB-serial adapters sit) opens by its number like any other; detection
// never looks there, so the caller names it.
TEST_F(Exports, ComInitOpensPortsPastCom4) {
    Attach();  // the detection leaves no port open
    setenv("TARVIX_COM1", "/nonexistent/tty", 1);
    setenv("TARVIX_COM5", sim_->SlavePath().c_str(), 1);
    setenv("TARVIX_COM300", "/nonexistent/tty", 1);
    EXPECT_EQ(ComInit(300, 115200), -1);
    EXPECT_EQ(IsComInited(), 0);
    // The low 16 bits name the port: 0x10005 is COM5.
    ASSERT_EQ(ComInit(0x10005, 115200), 5);
    EXPECT_EQ(IsComInited(), 1);
    EXPECT_EQ(SendCmd(bf::CmdLinkTest, 0, 0), 0);
    EXPECT_NE(ComRelease(), 0);
    EXPECT_EQ(IsComInited(), 0);
    unsetenv("TARVIX_COM5");
    unsetenv("TARVIX_COM300");
}

TEST_F(Exports, RawLinkExports) {
    Attach();
    ASSERT_NE(ComInit(1, 115200), -1);
    EXPECT_EQ(IsComInited(), 1);
    Get_Update_Count(1);
    EXPECT_EQ(SendCmd(bf::CmdLinkTest, 0, 0), 0);
    EXPECT_EQ(SendCmd(bf::CmdFile, bf::SubDeviceNumber, 0), 0);
    char number[32]{};
    int32_t received = -1;
    EXPECT_EQ(Receive_Data(number, sizeof number - 1, &received), 0);
    EXPECT_EQ(received, 9);
    EXPECT_STREQ(number, "BF0000042");
    EXPECT_EQ(Get_Update_Count(0), 2);
    // Raw data goes out as frames: a command block sent as data is a command to the handheld.
    uint8_t block[23]{bf::CmdLinkTest};
    EXPECT_EQ(Send_Data(block, sizeof block), 0);
    EXPECT_EQ(Get_Update_Count(0), 3);
    EXPECT_EQ(Get_Update_Count(257), 0);
    uint8_t byte = 0x5A;
    EXPECT_EQ(Receive_Byte(&byte), 1);  // nothing waiting
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(HcSetExitTime(49, 49), 0);
    EXPECT_EQ(bf::Proto().AckTimeout(), 1000u);
    EXPECT_EQ(bf::Proto().ByteTimeout(), 3000u);
    EXPECT_EQ(HcSetExitTime(50, 60), 0);
    EXPECT_EQ(bf::Proto().ByteTimeout(), 60u);
    EXPECT_NE(ComRelease(), 0);
    EXPECT_EQ(IsComInited(), 0);
    // USB is not served: its command fails and the link probe passes over it.
    EXPECT_NE(SendCmdUsb(bf::CmdLinkTest, 0, nullptr, 0), 0);
    EXPECT_EQ(ComInit(0, 0), 1);
    EXPECT_EQ(IsComInited(), 1);
    EXPECT_NE(SendCmd(bf::CmdLinkTest, 0, 0), 0);
}

TEST_F(Exports, StatusQueries) {
    Attach();
    // A status copy while a transfer runs leaves the link and the status to the worker.
    bf::SetStatusValue(StatusBusy);
    ASSERT_NE(bf_.ComInit(1, 115200), -1);
    TransferStatus record{};
    EXPECT_EQ(thrdQueryStatusEx(&record), StatusBusy);
    EXPECT_EQ(thrdQueryStatus(), StatusBusy);
    EXPECT_EQ(IsComInited(), 1);
    bf::SetStatusValue(StatusIdle);
    EXPECT_EQ(thrdQueryStatusEx(&record), StatusIdle);
    EXPECT_EQ(IsComInited(), 0);

    // Percent from the current block and the block count.
    bf::SetBlockCount(3);
    for (int block = 1; block <= 4; ++block) {
        bf::SetCurrentBlock(block);
        EXPECT_EQ(thrdQueryPercent(), (block - 1) * 100 / 3);
    }
    bf::SetBlockCount(0);
    bf::SetCurrentBlock(2);
    EXPECT_EQ(thrdQueryPercent(), 100);
    EXPECT_EQ(bf::BlockCount(), 1);
    EXPECT_EQ(thrdQueryCurFile(), bf::Record().current_file);

    // A stop request lasts until the error code is read.
    EXPECT_EQ(thrdStop(2), StatusIdle);
    EXPECT_TRUE(bf::g_stop_flag.load());
    GetLastErrCode();
    EXPECT_FALSE(bf::g_stop_flag.load());
}

TEST(ByteFrameWorker, ThreadThatCannotStartLeavesAFailedStatus) {
    bf::SetStatusValue(StatusIdle);
    bf::FailNextWorkerStart();
    bool ran = false;
    EXPECT_FALSE(bf::LaunchWorker([&] { ran = true; }));
    EXPECT_FALSE(ran);
    EXPECT_EQ(bf::StatusValue(), StatusFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrModuleCall);
    bf::SetStatusValue(StatusIdle);

    // A running worker is stopped through the stop flag at unload, and waited for.
    std::atomic<bool> finished{false};
    bf::g_stop_flag.store(false);
    ASSERT_TRUE(bf::LaunchWorker([&] {
        while (!bf::g_stop_flag.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        bf::SetStatusValue(StatusIdle);
        finished.store(true);
    }));
    bf::Detach();
    EXPECT_TRUE(finished.load());
    bf::g_stop_flag.store(false);
}

}  // namespace
}  // namespace bftest
