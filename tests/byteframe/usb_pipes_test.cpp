// The byte-frame family over USB through the exports, against the simulated handheld serving its
// driver's pipes: detection on port 0, the number, transfers in both block sizes, a packed table,
// message packets, show text, the stop flag, and the failures of the device and its packets.
#include <cstring>
#include <thread>

#include "api/link_state.h"
#include "bf_fixture.h"
#include "platform/usb.h"
#include "tables/dbf.h"
#include "tables/pack.h"
#include "tarvix.h"
#include "textframe/link_status.h"
#include "textframe/timing.h"

namespace bftest {
namespace {

using namespace tarvix;

class UsbPipes : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        ShortenTextFrameWaits();
        ResetLinkState();
        tf::Status().status.store(StatusIdle);
        setenv("TARVIX_COM1", "/nonexistent/tty", 1);
        platform::usb::SetReplyTimeoutMs(3000);
    }

    void TearDown() override {
        ComRelease();
        tf::ResetTiming();
        ResetLinkState();
        tarvix::bf::Proto().line().ComInit(1, 115200);  // leaves the USB mode
        SimFixture::TearDown();
        unsetenv("TARVIX_USB_DIR");
        platform::usb::SetReplyTimeoutMs(10000);
    }

    // The handheld on USB with blocks of `block` bytes, found by a first detection.
    void AttachUsb(unsigned block = 4096) {
        hhsim::Config config = ByteFrameConfig();
        config.usb = 1;
        config.usb_block = block;
        StartSim(config);
        setenv("TARVIX_COM1", "/nonexistent/tty", 1);  // on USB only: its line is not served
        setenv("TARVIX_USB_DIR", sim_->UsbDir().c_str(), 1);
        fs::create_directories(Store("KELVANHB"));
        uint8_t mode = 0;
        int32_t port = -1;
        ASSERT_EQ(AdPortAndRateAndMode(&port, nullptr, &mode), 0);
        ASSERT_EQ(port, 0);
        ASSERT_EQ(mode, 2);
    }

    void Plan(std::initializer_list<hhsim::Fault> faults) {
        hhsim::FaultPlan plan;
        plan.faults = faults;
        sim_->SetPlan(plan);
    }
};

TEST_F(UsbPipes, DetectionFindsUsbOnPortZeroAndKeepsTheRate) {
    AttachUsb();
    EXPECT_EQ(LinkPort, 0);
    EXPECT_EQ(LinkRate, 115200);
    EXPECT_TRUE(bf::Proto().line().UsbMode());
    EXPECT_EQ(IsComInited(), 1);
    char number[16] = {};
    EXPECT_EQ(thrdGetHcNum(0, 0, number), 0);
    EXPECT_STREQ(number, "BF0000042");
    // Every command went as an announced 512-byte packet on its own pipe opening.
    EXPECT_GE(sim_->Counter("usb:announce-write"), 4);
    EXPECT_GE(sim_->Counter("command:80/25"), 2);
}

// Only the line can be pulled and put back: on USB a restart or a replug does nothing and says so, and
// the handheld serves on.
TEST_F(UsbPipes, ARestartOnUsbFailsAndTheHandheldServesOn) {
    AttachUsb();
    std::string error;
    EXPECT_FALSE(sim_->Restart(&error));
    EXPECT_EQ(error, "only the line can be restarted; USB has UsbUnplug");
    error.clear();
    EXPECT_FALSE(sim_->Replug(&error));
    EXPECT_EQ(error, "only the line can be restarted; USB has UsbUnplug");
    EXPECT_TRUE(sim_->Running());
    char number[16] = {};
    EXPECT_EQ(thrdGetHcNum(0, 0, number), 0);
    EXPECT_STREQ(number, "BF0000042");
}

TEST_F(UsbPipes, NothingOnUsbWhenTheFolderIsEmpty) {
    const fs::path empty = dir_ / "usb";
    fs::create_directories(empty);
    setenv("TARVIX_USB_DIR", empty.c_str(), 1);
    EXPECT_EQ(AdPortAndRateAndMode(nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(LinkPort, 1);
    // SendCmdUsb of the byte-frame family tries the pipes whatever the link: no device.
    LinkMode = 1;
    EXPECT_EQ(SendCmdUsb(73, 0, "x", 1), 1);
}

TEST_F(UsbPipes, RoundTripsInBothBlockSizes) {
    struct Case {
        unsigned block;
        size_t size;
    };
    for (const Case& c : {Case{4096, 1024 * 1024}, Case{4096, 4080}, Case{4096, 4081}, Case{4096, 0},
                          Case{512, 1000}, Case{512, 40000}}) {
        SCOPED_TRACE(std::to_string(c.block) + " / " + std::to_string(c.size));
        AttachUsb(c.block);
        const Bytes content = AnyBytes(c.size, static_cast<uint32_t>(c.size) + 1);
        Spill("data.bin", content);
        ASSERT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\DATA.BIN", ".\\data.bin", 0, 1), 0) << GetLastErrCode();
        EXPECT_EQ(Slurp(Store("KELVANHB/DATA.BIN")), content);
        HcFileRecord record{};
        ASSERT_EQ(GetHcFileInfoEx(0, 0, "\\KELVANHB\\DATA.BIN", &record), 0);
        EXPECT_EQ(record.size, c.size);
        ASSERT_EQ(GetHcFile(0, 0, "\\KELVANHB\\DATA.BIN", ".\\back.bin", 1), 0) << GetLastErrCode();
        EXPECT_EQ(Slurp("back.bin"), content);
        ASSERT_EQ(DelHcFile(0, 0, "\\KELVANHB\\DATA.BIN", 1), 0);
        EXPECT_FALSE(fs::exists(Store("KELVANHB/DATA.BIN")));
        ComRelease();
        sim_->Stop();
        sim_.reset();
    }
}

TEST_F(UsbPipes, StreamPacketsOfAnUpload) {
    AttachUsb(4096);
    Spill("data.bin", AnyBytes(4081, 3));
    sim_->ClearRecords();
    ASSERT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\DATA.BIN", ".\\data.bin", 0, 1), 0);
    // The first packet of a file longer than one packet leaves 16 bytes free: 4064, then 17.
    std::vector<size_t> sizes;
    for (const auto& f : sim_->Frames()) {
        if (f.inbound && f.command == 80 && f.sub == 2) sizes.push_back(f.payload.size());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{4064, 17}));
}

TEST_F(UsbPipes, TaskTableTravelsPacked) {
    AttachUsb();
    dbf::Writer writer;
    ASSERT_TRUE(writer.Create("A.DBF", {{"NID", 'N', 6, 0}, {"ADDRES", 'C', 20, 0}, {"PA", 'N', 9, 2}}).ok());
    writer.SetUpdateDate(2026, 12, 10);
    for (int i = 0; i < 500; ++i) {
        std::string nid = std::to_string(i), addr = "Street " + std::to_string(i),
                    pa = std::to_string(i) + ".5";
        std::pair<std::string_view, std::string_view> values[] = {{"NID", nid}, {"ADDRES", addr}, {"PA", pa}};
        ASSERT_TRUE(writer.Append(values).ok());
    }
    ASSERT_TRUE(writer.Close().ok());
    ASSERT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\A.DBF", ".\\A.DBF", 0, 1), 0) << GetLastErrCode();
    fs::copy_file("A.DBF", "B.DBF");
    tables::TablePacker packer;
    ASSERT_EQ(packer.bfPackTable("B.DBF"), 0);
    EXPECT_EQ(Slurp(Store("KELVANHB/A.DBF")), Slurp("B.DBC"));
    ASSERT_EQ(GetHcFile(0, 0, "\\KELVANHB\\A.DBF", ".\\downa.dbf", 1), 0) << GetLastErrCode();
    EXPECT_EQ(Slurp("downa.dbf"), Slurp("A.DBF"));
}

TEST_F(UsbPipes, MessagePacketsOfSendData) {
    AttachUsb(512);
    Get_Update_Count(1);
    const Bytes data = AnyBytes(1000, 8);
    sim_->ClearRecords();
    EXPECT_EQ(Send_Data(data.data(), static_cast<int32_t>(data.size())), 0);
    EXPECT_EQ(Get_Update_Count(0), 2);  // the packets after which more followed
    ASSERT_TRUE(sim_->WaitEvent("stray-packet", std::chrono::seconds(5), 3));
    // A negative length is refused before anything goes out.
    EXPECT_NE(Send_Data(data.data(), -1), 0);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadLength));
    EXPECT_EQ(Get_Update_Count(0), 2);
    EXPECT_EQ(sim_->Counter("stray-packet"), 3);
    // A command with a longer payload than a line argument: all of it arrives.
    const std::string text = "Twenty-five characters!!!";
    EXPECT_EQ(SendCmdUsb(73, 0, text.data(), static_cast<int32_t>(text.size())), 0);
    ASSERT_TRUE(sim_->WaitEvent("shown:" + text, std::chrono::seconds(5)));
}

TEST_F(UsbPipes, StopFlagEndsADownloadAtTheNextBlock) {
    AttachUsb();
    Spill(Store("KELVANHB/BIG.BIN"), AnyBytes(400000, 2));
    Plan({hhsim::MakeFault(hhsim::Fault::Kind::Pause, 80, 3, 20)});
    int32_t result = -1;
    std::thread download([&] { result = GetHcFile(0, 0, "\\KELVANHB\\BIG.BIN", ".\\big.bin", 1); });
    ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10)));
    thrdStop(2);  // stays set until cleared
    download.join();
    sim_->Release();
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(fs::exists("big.bin"));
    EXPECT_TRUE(sim_->WaitEvent("pipe-reset", std::chrono::seconds(5)));
    EXPECT_GE(bf::CurrentBlock(), 15);
    // While the flag stays set nothing is announced: the pipe is reset and the command is refused.
    sim_->ClearRecords();
    EXPECT_EQ(SendCmdUsb(15, 0, nullptr, 0), 5);
    EXPECT_EQ(sim_->Counter("usb:announce-write"), 0);
    GetLastErrCode();  // clears the stop flag
    EXPECT_EQ(SendCmdUsb(15, 0, nullptr, 0), 0);
}

TEST_F(UsbPipes, DeviceGoneMidDownload) {
    AttachUsb();
    Spill(Store("KELVANHB/BIG.BIN"), AnyBytes(200000, 2));
    Spill("big.bin", Bytes{7, 7});
    Plan({hhsim::MakeFault(hhsim::Fault::Kind::Pause, 80, 3, 10)});
    int32_t result = -1;
    std::thread download([&] { result = GetHcFile(0, 0, "\\KELVANHB\\BIG.BIN", ".\\big.bin", 1); });
    ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10)));
    sim_->UsbUnplug();
    download.join();
    sim_->Release();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Slurp("big.bin"), (Bytes{7, 7}));
    EXPECT_EQ(AdPortAndRateAndMode(nullptr, nullptr, nullptr), 1);
}

TEST_F(UsbPipes, ShortAndOversizePacketsAreRefused) {
    struct Case {
        hhsim::Fault::Kind kind;
        int command, sub, at, value;
    };
    // A short stream block, a stream packet claiming more than a block holds, and a number answer
    // claiming more than a message packet holds.
    for (const Case& c : {Case{hhsim::Fault::Kind::UsbShortBlock, 80, 3, 2, 100},
                          Case{hhsim::Fault::Kind::UsbOversize, 80, 3, 1, 5000},
                          Case{hhsim::Fault::Kind::UsbOversize, 80, 3, 2, 4081}}) {
        SCOPED_TRACE(c.value);
        AttachUsb();
        Spill(Store("KELVANHB/F.BIN"), AnyBytes(20000, 5));
        Spill("f.bin", Bytes{1});
        Plan({hhsim::MakeFault(c.kind, c.command, c.sub, c.at, 1, c.value)});
        EXPECT_EQ(GetHcFile(0, 0, "\\KELVANHB\\F.BIN", ".\\f.bin", 1), 1);
        EXPECT_EQ(Slurp("f.bin"), Bytes{1});
        ComRelease();
        sim_->Stop();
        sim_.reset();
    }
    AttachUsb();
    // The second number answer (the first one goes to the export's detection).
    Plan({hhsim::MakeFault(hhsim::Fault::Kind::UsbOversize, 80, 25, 2, 1, 600)});
    char number[16] = {};
    EXPECT_EQ(thrdGetHcNum(0, 0, number), 0);  // the probe keeps what came: nothing
    EXPECT_STREQ(number, "");
}

}  // namespace
}  // namespace bftest
