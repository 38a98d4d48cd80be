// The data rescue and the USB message over the family's USB transport interface: a scripted device
// behind it stands for the handheld on USB.
#include <mutex>

#include "byteframe/background.h"
#include "byteframe/line.h"
#include "common/records.h"
#include "periph_fixture.h"

namespace bftest {
namespace {

using namespace tarvix;

// Answers the commands a rescue sends as a USB handheld would, and records them.
class ScriptedUsb final : public bf::UsbTransport {
  public:
    uint32_t start = 0x2000, length = 10000;
    int feature = 0;
    uint32_t flash_count = 0;
    bool flash_flag = false;      // the flag says "flash data" also with a count of 0
    int64_t fail_from_page = -1;  // from this page on the raw reads fail

    int32_t SendCommand(uint8_t command, uint8_t sub, const uint8_t* data, uint16_t size) override {
        std::lock_guard<std::mutex> lock(lock_);
        Bytes argument(data, data + (data != nullptr ? size : 0));
        commands.emplace_back(command * 256 + sub, argument);
        reply_.clear();
        if (command == bf::CmdShowText) shown.emplace_back(argument.begin(), argument.end());
        if (command == bf::CmdReadMemory && argument.size() == 8) {
            uint32_t address = GetBe32(argument.data()), n = GetBe32(argument.data() + 4);
            for (uint32_t i = 0; i < n; ++i) reply_.push_back(static_cast<uint8_t>(address + i));
        }
        if (command == bf::CmdFile) {
            if (sub == bf::SubRescueRange) {
                reply_.resize(8);
                PutBe32(reply_.data(), start);
                PutBe32(reply_.data() + 4, length);
            }
            if (sub == bf::SubFeature && feature >= 0) reply_ = {static_cast<uint8_t>(feature)};
            if (sub == bf::SubFlash) {
                reply_.assign(24, 0);
                reply_[1] = flash_count > 0 || flash_flag ? 1 : 0;
                PutBe32(reply_.data() + 12, flash_count);
            }
            if (sub == bf::SubFlashPage && argument.size() == 8) {
                page_ = GetBe32(argument.data());
                reply_.assign(2064, 0xEE);  // the header
                for (uint32_t i = 16; i < reply_.size(); ++i) reply_[i] = static_cast<uint8_t>(page_ + i);
            }
            if (sub == bf::SubDeviceNumber) reply_ = {'U', 'S', 'B', '0', '0', '0', '0', '1', '2'};
            if (sub == bf::SubUsbMessage) reply_.assign(100, 'q');
        }
        return 0;
    }
    int32_t SendData(const uint8_t*, uint32_t) override { return 0; }
    int32_t ReceiveMessage(uint8_t* buffer, uint32_t room, int32_t* received) override {
        std::lock_guard<std::mutex> lock(lock_);
        size_t n = std::min<size_t>(room, reply_.size());
        std::copy_n(reply_.begin(), n, buffer);
        *received = static_cast<int32_t>(n);
        reply_.clear();
        return 0;
    }
    int32_t ReadChunks(uint8_t* buffer, uint32_t total, uint32_t, uint32_t* read) override {
        if (fail_from_page >= 0 && page_ / 4 >= fail_from_page) {
            *read = 0;
            return bf::kUsbIoFailed;
        }
        int32_t received = 0;
        int32_t result = ReceiveMessage(buffer, total, &received);
        *read = static_cast<uint32_t>(received);
        return result;
    }
    std::vector<std::pair<int, Bytes>> Commands() {
        std::lock_guard<std::mutex> lock(lock_);
        return commands;
    }
    std::vector<std::string> Shown() {
        std::lock_guard<std::mutex> lock(lock_);
        return shown;
    }

  private:
    std::mutex lock_;
    Bytes reply_;
    uint32_t page_ = 0;
    std::vector<std::pair<int, Bytes>> commands;
    std::vector<std::string> shown;
};

class UsbRescue : public PeriphExports {
  protected:
    void SetUp() override {
        PeriphExports::SetUp();
        LinkMode = ModeByteFrame;  // the queries ask the byte-frame family
        bf::SetUsbTransport(&usb_);
    }
    void TearDown() override {
        WaitIdle();
        bf::SetUsbTransport(nullptr);
        bf::Proto().line().ComInit(1, 115200);  // out of the USB mode
        bf::Proto().line().ComRelease();
        PeriphExports::TearDown();
    }
    ScriptedUsb usb_;
};

TEST_F(UsbRescue, MemoryDumpInChunksOf496) {
    ASSERT_EQ(bf_.HcRescue(0, 115200, ".\\DUMP.BIN"), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle) << bf::ErrorCode();
    std::vector<std::pair<uint32_t, uint32_t>> reads;
    for (const auto& [code, argument] : usb_.Commands()) {
        if (code == bf::CmdReadMemory * 256)
            reads.emplace_back(GetBe32(argument.data()), GetBe32(argument.data() + 4));
    }
    ASSERT_EQ(reads.size(), 21u);
    EXPECT_EQ(reads.front(), std::make_pair(0x2000u, 496u));
    EXPECT_EQ(reads.back(), std::make_pair(0x2000u + 20 * 496, 80u));
    const std::vector<std::string> shown = usb_.Shown();
    ASSERT_GE(shown.size(), 23u);
    EXPECT_EQ(shown.front(), " 0%");
    EXPECT_EQ(shown[20], " 95%");
    EXPECT_EQ(shown[21], "Finished");
    EXPECT_EQ(shown[22], "Finished");  // once after the dump, once at the end
    EXPECT_EQ(thrdQueryPercent_Ex(), 95);
    Bytes dump = Slurp("DUMP.BIN");
    ASSERT_EQ(dump.size(), 10000u + 32u);
    for (uint32_t i = 0; i < 10000; ++i) ASSERT_EQ(dump[i], static_cast<uint8_t>(0x2000 + i)) << i;
    EXPECT_EQ(std::string(dump.end() - 8, dump.end()), "USB00001");
}

TEST_F(UsbRescue, FlashDumpFromFeature109) {
    usb_.feature = 109;
    usb_.flash_count = 3;
    ASSERT_EQ(bf_.HcRescue(0, 115200, ".\\DUMP.BIN"), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle) << bf::ErrorCode();
    std::vector<Bytes> arguments;
    for (const auto& [code, argument] : usb_.Commands()) {
        if (code == bf::CmdFile * 256 + bf::SubFlashPage) arguments.push_back(argument);
    }
    ASSERT_EQ(arguments.size(), 6u);
    for (uint32_t n = 0; n < 6; ++n) {
        Bytes expected(8, 0);
        PutBe32(expected.data(), n * 4);
        expected[4] = 1;
        EXPECT_EQ(arguments[n], expected) << n;
    }
    EXPECT_EQ(Slurp("DUMP.BIN").size(), 0u);  // the caller's file stays empty
    Bytes pages = Slurp("DUMP.BIN2");
    ASSERT_EQ(pages.size(), 6u * 2048u);
    EXPECT_EQ(pages[0], static_cast<uint8_t>(0 + 16));
    EXPECT_EQ(pages[2048], static_cast<uint8_t>(4 + 16));
    // 108 takes the memory dump.
    Finish();
    usb_.feature = 108;
    ASSERT_EQ(bf_.HcRescue(0, 115200, ".\\MEM.BIN"), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(Slurp("MEM.BIN").size(), 10000u + 32u);
    EXPECT_FALSE(fs::exists("MEM.BIN2"));
}

TEST_F(UsbRescue, FailedFlashDumpKeepsThePagesThatCame) {
    usb_.feature = 109;
    usb_.flash_count = 50;  // 100 pages
    usb_.fail_from_page = 29;
    ASSERT_EQ(bf_.HcRescue(0, 115200, ".\\DUMP.BIN"), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusFailed);
    EXPECT_EQ(Slurp("DUMP.BIN").size(), 0u);  // in place, empty: the flash pages were taken instead
    const Bytes pages = Slurp("DUMP.BIN2");
    ASSERT_EQ(pages.size(), 29u * 2048u);
    EXPECT_EQ(pages[28 * 2048], static_cast<uint8_t>(28 * 4 + 16));
    // Page 29 of 100 is 29 %.
    EXPECT_EQ(thrdQueryPercent_Ex(), 29);
    const std::vector<std::string> shown = usb_.Shown();
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[shown.size() - 2], " 29%");
    EXPECT_EQ(shown.back(), "Fail");
    EXPECT_EQ(LocalFiles(), (std::vector<std::string>{"DUMP.BIN", "DUMP.BIN2"}));  // no temporaries left
    Finish();

    // Flash data flagged with a count of 0: the second file is there, empty.
    usb_.fail_from_page = -1;
    usb_.flash_count = 0;
    usb_.flash_flag = true;
    ASSERT_EQ(bf_.HcRescue(0, 115200, ".\\ZERO.BIN"), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusIdle) << bf::ErrorCode();
    ASSERT_TRUE(fs::exists("ZERO.BIN2"));
    EXPECT_EQ(Slurp("ZERO.BIN2").size(), 0u);
    Finish();
    // No flash data at all: no second file.
    usb_.flash_flag = false;
    ASSERT_EQ(bf_.HcRescue(0, 115200, ".\\NONE.BIN"), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusIdle) << bf::ErrorCode();
    EXPECT_TRUE(fs::exists("NONE.BIN"));
    EXPECT_FALSE(fs::exists("NONE.BIN2"));
}

TEST_F(UsbRescue, UsbMessageIsWrittenAsItCame) {
    ASSERT_EQ(bf_.GetMessUsb(0, 115200, ".\\usb.txt"), ResultOk);
    EXPECT_EQ(Slurp("usb.txt"), Bytes(100, 'q'));
    // In the USB mode the message fetch takes the USB message.
    ASSERT_EQ(bf_.GetHcMsg(0, 115200, ".\\msg.txt"), ResultOk);
    EXPECT_EQ(Slurp("msg.txt"), Bytes(100, 'q'));
}

}  // namespace
}  // namespace bftest
