// The text-frame family over USB through the exports, against the simulated handheld serving its USB
// driver's sockets: detection, the variant from the interface found, commands, transfers, the
// background transfer with its percentage and stop, and the failures of the device and its blocks.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "platform/usb.h"
#include "sim_fixture.h"
#include "textframe/usb_transport.h"

namespace tarvix::tftest {
namespace {

constexpr const char* kHcName = "\\KELVANHB\\A.DBF";

class UsbTest : public SimTest {
  protected:
    // Also for the tests that reach the USB without the handheld on it.
    void SetUp() override {
        SimTest::SetUp();
        platform::usb::SetReplyTimeoutMs(3000);
    }

    fs::path HcFile() const { return Store() / "KELVANHB" / "A.DBF"; }
};

TEST_F(UsbTest, NoUsbFolderOrEmptyFolderFindsNothingAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    int32_t port = -1, rate = -1;
    uint8_t mode = 0;
    EXPECT_EQ(AdPortAndRateAndMode(&port, &rate, &mode), 1);
    const fs::path empty = work_ / "usb";
    fs::create_directories(empty);
    setenv("TARVIX_USB_DIR", empty.c_str(), 1);
    EXPECT_EQ(AdPortAndRateAndMode(&port, &rate, &mode), 1);
    EXPECT_EQ(port, -1);
    EXPECT_EQ(LinkPort, 1);
    EXPECT_EQ(tf::LastUsbTransferResult(), 2);  // device not found
    // Nothing attached anywhere: two whole scans of both families without a wait on the USB step.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(UsbTest, DetectionFindsUsbBeforeTheSerialPorts) {
    // A serial handheld on COM1 as well; the saved pair names COM2, which does not open.
    hhsim::Config serial;
    serial.family = hhsim::Family::TextFrame;
    serial.ack_timeout_ms = 150;
    hhsim::Simulator on_com1(serial);
    std::string error;
    ASSERT_TRUE(on_com1.Start(&error)) << error;
    SetPort(1, on_com1.SlavePath());
    StartUsbSim(4);
    LinkPort = 2;
    LinkRate = 57600;
    int32_t port = -1, rate = -1;
    uint8_t mode = 0;
    ASSERT_EQ(AdPortAndRateAndMode(&port, &rate, &mode), 0);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(rate, 57600);  // a USB detection leaves the rate as it was
    EXPECT_EQ(mode, 3);
    EXPECT_EQ(on_com1.CommandCount(), 0u);
    // The link test went as one announced block with the 24-byte command packet.
    EXPECT_GE(sim().Counter("usb:471"), 1);
    EXPECT_TRUE(sim().WaitEvent("command:15/0", std::chrono::seconds(5)));
    ComRelease();
    on_com1.Stop();
}

TEST_F(UsbTest, DeviceKindFollowsTheInterfaceFound) {
    struct Case {
        int offered;
        uint8_t before;
        uint8_t after;
    };
    for (const Case& c :
         {Case{4, 4, 4}, Case{3, 4, 3}, Case{3, 3, 3}, Case{4, 3, 4}, Case{7, 3, 3}, Case{7, 4, 4}}) {
        SCOPED_TRACE("offered " + std::to_string(c.offered) + " kind before " + std::to_string(c.before));
        StartUsbSim(c.offered);
        DeviceKind = c.before;
        char number[16] = {};
        EXPECT_EQ(thrdGetHcNum(0, 0, number), 0);
        EXPECT_STREQ(number, "HC2025001");
        EXPECT_EQ(DeviceKind, c.after);
        EXPECT_EQ(LinkPort, 0);
        ComRelease();
        sim_->Stop();
        sim_.reset();
    }
}

TEST_F(UsbTest, FileInfoAndOneMebibyteRoundTrip) {
    StartUsbSim();
    const Bytes content = RandomBytes(1024 * 1024, 11);
    WriteFile(work_ / "A.DBF", content);
    ASSERT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 1, 1), 0) << GetLastErrCode();
    EXPECT_EQ(ReadFile(HcFile()), content);

    HcFileRecord record{};
    ASSERT_EQ(GetHcFileInfoEx(0, 0, kHcName, &record), 0);
    EXPECT_STREQ(record.name, "A.DBF");
    EXPECT_EQ(record.size, content.size());

    ASSERT_EQ(GetHcFile(0, 0, kHcName, ".\\downa.dbf", 1), 0) << GetLastErrCode();
    EXPECT_EQ(ReadFile(work_ / "downa.dbf"), content);

    ASSERT_EQ(DelHcFile(0, 0, kHcName, 1), 0);
    EXPECT_FALSE(fs::exists(HcFile()));
    EXPECT_EQ(GetHcFileInfoEx(0, 0, kHcName, &record), 2);
}

TEST_F(UsbTest, BlockBoundariesOfSmallFiles) {
    StartUsbSim();
    for (size_t size : {size_t{0}, size_t{1}, size_t{4088}, size_t{4089}, size_t{8176}, size_t{8177}}) {
        SCOPED_TRACE(size);
        const Bytes content = RandomBytes(size, static_cast<uint32_t>(size) + 3);
        WriteFile(work_ / "A.DBF", content);
        ASSERT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 1, 1), 0) << GetLastErrCode();
        EXPECT_EQ(ReadFile(HcFile()), content);
        ASSERT_EQ(GetHcFile(0, 0, kHcName, ".\\back.dbf", 1), 0) << GetLastErrCode();
        EXPECT_EQ(ReadFile(work_ / "back.dbf"), content);
    }
}

TEST_F(UsbTest, BackgroundDownloadShowsPercentAndStops) {
    StartUsbSim();
    WriteFile(HcFile(), RandomBytes(1024 * 1024, 5));
    // Hold the handheld inside the file data: the library has taken about 100 of its 257 blocks.
    hhsim::Fault pause = hhsim::MakeFault(hhsim::Fault::Kind::Pause, 80, 3, 100);
    Plan({pause});
    ASSERT_EQ(thrdGetHcFile(0, 0, kHcName, ".\\downa.dbf", 1), 0);
    ASSERT_TRUE(sim().WaitEvent("paused:pause", std::chrono::seconds(10)));
    int32_t percent = 0;
    for (int i = 0; i < 200 && percent < 30; ++i) {
        percent = thrdQueryPercent();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(percent, 30);
    EXPECT_LT(percent, 100);
    EXPECT_EQ(thrdQueryStatus(), StatusBusy);
    thrdStop(0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(tf::LastUsbTransferResult(), 6);
    EXPECT_TRUE(sim().WaitEvent("abort", std::chrono::seconds(5)));  // request 0x478
    sim().Release();
    EXPECT_FALSE(fs::exists(work_ / "downa.dbf"));
    EXPECT_EQ(thrdQueryPercent(), 0);
    // The link serves the next operation.
    char number[16] = {};
    EXPECT_EQ(thrdGetHcNum(0, 0, number), 0);
}

TEST_F(UsbTest, BackgroundUploadCompletes) {
    StartUsbSim();
    const Bytes content = RandomBytes(300000, 9);
    WriteFile(work_ / "A.DBF", content);
    ASSERT_EQ(thrdSendFileToHc(0, 0, kHcName, ".\\A.DBF", 1, 1), 0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(ReadFile(HcFile()), content);
}

TEST_F(UsbTest, DeviceGoneMidDownload) {
    StartUsbSim();
    WriteFile(HcFile(), RandomBytes(200000, 6));
    Plan({hhsim::MakeFault(hhsim::Fault::Kind::Pause, 80, 3, 10)});
    ASSERT_EQ(thrdGetHcFile(0, 0, kHcName, ".\\downa.dbf", 1), 0);
    ASSERT_TRUE(sim().WaitEvent("paused:pause", std::chrono::seconds(10)));
    sim().UsbUnplug();
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), ErrReceiveFail);
    EXPECT_EQ(tf::LastUsbTransferResult(), 2);
    EXPECT_FALSE(fs::exists(work_ / "downa.dbf"));
    sim().Release();
    // Gone for good: the next detection finds nothing on USB.
    EXPECT_EQ(AdPortAndRateAndMode(nullptr, nullptr, nullptr), 1);
}

TEST_F(UsbTest, ShortAndOversizeBlocksFailTheDownload) {
    struct Case {
        hhsim::Fault::Kind kind;
        int value;
        uint8_t result;
    };
    for (const Case& c :
         {Case{hhsim::Fault::Kind::UsbShortBlock, 100, 1}, Case{hhsim::Fault::Kind::UsbOversize, 5000, 3},
          Case{hhsim::Fault::Kind::UsbOversize, 0x7FFFFFFF, 3}}) {
        SCOPED_TRACE(c.value);
        StartUsbSim();
        const Bytes content = RandomBytes(20000, 4);
        WriteFile(HcFile(), content);
        WriteFile(work_ / "downa.dbf", Bytes{1, 2, 3});
        Plan({hhsim::MakeFault(c.kind, 80, 3, 2, 1, c.value)});
        EXPECT_EQ(GetHcFile(0, 0, kHcName, ".\\downa.dbf", 1), 1);
        EXPECT_EQ(GetLastErrCode(), ErrReceiveFail);
        EXPECT_EQ(tf::LastUsbTransferResult(), c.result);
        // The previous file stays as it was.
        EXPECT_EQ(ReadFile(work_ / "downa.dbf"), (Bytes{1, 2, 3}));
        ComRelease();
        sim_->Stop();
        sim_.reset();
    }
}

TEST_F(UsbTest, EmptyBlocksThatAreNotTheLastFailTheReceive) {
    StartUsbSim();
    WriteFile(HcFile(), RandomBytes(20000, 4));
    WriteFile(work_ / "downa.dbf", Bytes{1, 2, 3});
    // From the second block on, every block the handheld sends says it carries nothing.
    hhsim::Fault empty = hhsim::MakeFault(hhsim::Fault::Kind::UsbOversize, 80, 3, 2, 1, 0);
    empty.times = 1000;
    Plan({empty});
    EXPECT_EQ(GetHcFile(0, 0, kHcName, ".\\downa.dbf", 1), 1);
    EXPECT_EQ(GetLastErrCode(), ErrReceiveFail);
    EXPECT_EQ(tf::LastUsbTransferResult(), 1);
    EXPECT_EQ(ReadFile(work_ / "downa.dbf"), (Bytes{1, 2, 3}));
}

TEST_F(UsbTest, OversizeStatusReplyIsRefused) {
    StartUsbSim();
    WriteFile(work_ / "A.DBF", RandomBytes(100, 1));
    // The status reply of the upload start claims more than the 3 bytes awaited.
    Plan({hhsim::MakeFault(hhsim::Fault::Kind::UsbOversize, 80, 2, 1, 1, 10)});
    EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 1, 1), 1);
    EXPECT_EQ(tf::LastUsbTransferResult(), 3);
    EXPECT_GE(sim().Counter("abort"), 1);
}

// A socket left behind by a driver that has gone (nothing listens) is an interface that does not open.
TEST_F(UsbTest, StaleInterfaceIsPassedOver) {
    StartUsbSim(3);
    const fs::path stale = sim().UsbDir() / tf::kUsbInterfaceKind4;
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, stale.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    DeviceKind = 4;
    char number[16] = {};
    EXPECT_EQ(thrdGetHcNum(0, 0, number), 0);
    EXPECT_EQ(DeviceKind, 3);
    fs::remove(stale);
}

}  // namespace
}  // namespace tarvix::tftest
