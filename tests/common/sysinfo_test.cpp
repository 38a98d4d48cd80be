// The system information's figures, records and text file from known answers of a handheld.
#include "common/sysinfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/records.h"

namespace tarvix {
namespace {

struct Block {
    std::vector<uint8_t> bytes;
    explicit Block(size_t size, const std::map<size_t, std::string>& texts = {}) : bytes(size, 0) {
        const std::map<size_t, std::string> defaults = {
            {kBlockType, "R9M"},          {kBlockManufactureDate, "2024-01-15"},
            {kBlockId, "HC2025001"},      {kBlockSoftwareVersion, "TF 2.31"},
            {kBlockHardwareVersion, "3"}, {kBlockFlashModel, "64"},
            {kBlockMemorySize, "8192"},
        };
        for (const auto& [at, text] : defaults) Put(at, text);
        for (const auto& [at, text] : texts) Put(at, text);
    }
    void Put(size_t at, const std::string& text) {
        const size_t n = std::min(text.size(), bytes.size() - at);
        std::memcpy(bytes.data() + at, text.data(), n);
        if (at + n < bytes.size()) bytes[at + n] = 0;
    }
};

SysInfoAnswers Answers(const Block& block, uint32_t bad, uint32_t free_space,
                       const char* clock = "2026/12/10 08:09:07") {
    SysInfoAnswers a;
    a.block = block.bytes.data();
    a.block_size = block.bytes.size();
    a.bad_space = bad;
    a.free_space = free_space;
    std::memcpy(a.clock, clock, std::min<size_t>(std::strlen(clock), sizeof a.clock));
    return a;
}

TEST(SysInfo, TextFrameFileGolden) {
    const Block block(kTfSystemBlockSize);
    const SysInfoAnswers a = Answers(block, 25000, 1000000);
    const SysInfoFigures f = DeriveSysInfo(SysInfoFamily::TextFrame, a);
    EXPECT_EQ(SysInfoText(SysInfoFamily::TextFrame, f, a),
              "[DiskSpaceInfo]\r\nTotal=65536\r\nUsed=66083864\r\nFree=1000000\r\nBad=2\r\n\r\n"
              "[Memory]\r\nTotal=8388608\r\n\r\n"
              "[Time]\r\nDate=2026/12/10\r\nTime=08:09:07\r\n\r\n"
              "[System]\r\nID=HC2025001\r\nManufactureDate=2024-01-15\r\nType=R9M\r\nFlashModel=64\r\n"
              "HardwareVersion=3\r\nSoftwareVersion=TF 2.31\r\n");
}

// A handheld text that holds CR, LF or NUL ends there in the file: it cannot add a second "Used=" or
// a section of its own for a host that reads the file as an INI file.  The record keeps the text.
TEST(SysInfo, HandheldTextsCannotAddLines) {
    const std::map<size_t, std::string> injected = {
        {kBlockType, "R9\r\nX=1"},
        {kBlockId, "HC01\n[Memory]"},
        {kBlockSoftwareVersion, "TF\rTotal=9"},
        {kBlockHardwareVersion, "3\r\n"},
        {kBlockFlashModel, "64\n\nx"},
    };
    for (const SysInfoFamily family : {SysInfoFamily::TextFrame, SysInfoFamily::ByteFrame}) {
        const bool tf = family == SysInfoFamily::TextFrame;
        SCOPED_TRACE(tf ? "text-frame" : "byte-frame");
        std::map<size_t, std::string> texts = injected;
        if (!tf) texts[kBlockSoftwareVersion] = "";  // drive-E bytes there, no text
        const Block block(tf ? kTfSystemBlockSize : kBfSystemBlockSize, texts);
        const SysInfoAnswers a = Answers(block, 0, 1000000, "2026/12/10 08\r\n[X]=1");
        const SysInfoFigures f = DeriveSysInfo(family, a);
        const std::string text = SysInfoText(family, f, a);
        const std::string system = tf ? "[System]\r\nID=HC01\r\nManufactureDate=2024-01-15\r\nType=R9\r\n"
                                        "FlashModel=64\r\nHardwareVersion=3\r\nSoftwareVersion=TF\r\n"
                                      : "[System]\r\nID=HC01\r\nManufactureDate=2024-01-15\r\nType=R9\r\n"
                                        "FlashModel=64\r\nHardwareVersion=3\r\n";
        const std::string time = "[Time]\r\nDate=2026/12/10\r\nTime=08\r\n\r\n";
        EXPECT_NE(text.find(time + system), std::string::npos) << text;
        // Every line ends with CR LF and no CR or LF stands anywhere else.
        size_t lines = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') ++lines;
            if (text[i] == '\r') {
                ASSERT_LT(i + 1, text.size());
                EXPECT_EQ(text[i + 1], '\n') << i;
            }
            if (text[i] == '\n') {
                EXPECT_EQ(text[i - 1], '\r') << i;
            }
        }
        EXPECT_EQ(lines, tf ? 20u : 19u);
        EXPECT_EQ(text.find('\0'), std::string::npos);
        // The record holds the texts as the handheld gave them, cut to their fields only.
        HcSysInfo record;
        FillSysInfo(f, a, &record);
        EXPECT_STREQ(record.type, "R9\r\nX=1");
        EXPECT_STREQ(record.id, "HC01\n[Memory]");
    }
}

TEST(SysInfo, ByteFrameFileGolden) {
    // The byte-frame block's offset 80 is the drive-E indicator, not a version text.
    const Block block(kBfSystemBlockSize, {{kBlockSoftwareVersion, ""}, {kBlockFlashModel, "FLASHMODEL12"}});
    const SysInfoAnswers a = Answers(block, 0, 5000000, "2026-01-02 03:04:05");
    const SysInfoFigures f = DeriveSysInfo(SysInfoFamily::ByteFrame, a);
    EXPECT_EQ(SysInfoText(SysInfoFamily::ByteFrame, f, a),
              "[DiskSpaceInfo]\r\nTotal=65536\r\nUsed=62108864\r\nFree=5000000\r\nBad=0\r\n\r\n"
              "[Memory]\r\nTotal=8388608\r\n\r\n"
              "[Time]\r\nDate=2026-01-02\r\nTime=03:04:05\r\n\r\n"
              "[System]\r\nID=HC202500\r\nManufactureDate=2024-01-15\r\nType=R9M\r\n"
              "FlashModel=FLASHMODEL12\r\nHardwareVersion=3\r\n");
}

TEST(SysInfo, DiskFigures) {
    struct Case {
        SysInfoFamily family;
        const char* flash;
        uint32_t bad, free_space;
        int32_t total, used;
        uint8_t bad_figure;
    };
    const SysInfoFamily T = SysInfoFamily::TextFrame, B = SysInfoFamily::ByteFrame;
    const Case cases[] = {
        {T, "64", 0, 1048576, 67108864, 66060288, 0},
        {T, "31.5", 0, 0, 33030144, 33030144, 0},  // a fraction of a MiB
        {T, "0.0000001", 0, 0, 0, 0, 0},           // truncated
        {T, " 2", 0, 0, 2097152, 2097152, 0},
        {T, "none", 0, 0, 0, 0, 0},
        {T, "4096", 0, 0, 0, 0, 0},                    // 2^32 bytes: the low 32 bits
        {T, "1e300", 0, 0, 0, 0, 0},                   // no integer holds it
        {T, "64", 2600000, 0, 67108864, 64508864, 4},  // a quotient of 260 wraps to 4
        {T, "64", 9999, 0, 67108864, 67098865, 0},
        // Free and bad space above the total: a negative used figure.
        {T, "64", 200000, 67000000, 67108864, -91136, 20},
        {B, "12345", 0, 1000, 67108864, 67107864, 0},  // the byte-frame total whatever the block says
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flash);
        const Block block(c.family == T ? kTfSystemBlockSize : kBfSystemBlockSize,
                          {{kBlockFlashModel, c.flash}});
        const SysInfoAnswers a = Answers(block, c.bad, c.free_space);
        const SysInfoFigures f = DeriveSysInfo(c.family, a);
        EXPECT_EQ(f.disk_total, c.total);
        EXPECT_EQ(f.used, c.used);
        EXPECT_EQ(f.free, static_cast<int32_t>(c.free_space));
        EXPECT_EQ(f.bad, c.bad_figure);
    }
    const Block block(kTfSystemBlockSize);
    const SysInfoAnswers a = Answers(block, 200000, 67000000);
    const std::string text = SysInfoText(T, DeriveSysInfo(T, a), a);
    EXPECT_NE(text.find("\r\nUsed=-91136\r\n"), std::string::npos) << text;
}

TEST(SysInfo, NumbersFromTexts) {
    struct Case {
        const char* text;
        uint32_t value;
    };
    const Case cases[] = {
        {"8192", 8192}, {"12abc", 12}, {"  7", 7},        {"-3", 0xFFFFFFFDu},
        {"", 0},        {"x1", 0},     {"4294967297", 1},  // wraps instead of overflowing
    };
    for (const Case& c : cases) EXPECT_EQ(LeadingDecimal(c.text), c.value) << c.text;

    const Block block(kTfSystemBlockSize,
                      {{kBlockMemorySize, "8192KB"}, {kBlockHardwareVersion, "70001rev"}});
    const SysInfoAnswers a = Answers(block, 0, 0);
    const SysInfoFigures f = DeriveSysInfo(SysInfoFamily::TextFrame, a);
    EXPECT_EQ(f.memory_total, 8388608);
    HcSysInfo info;
    FillSysInfo(f, a, &info);
    EXPECT_EQ(LoadField<uint16_t>(&info.hardware_version), 70001 & 0xFFFF);
    EXPECT_NE(SysInfoText(SysInfoFamily::TextFrame, f, a).find("\r\nHardwareVersion=70001rev\r\n"),
              std::string::npos);
}

TEST(SysInfo, ClockFields) {
    struct Case {
        const char* clock;
        const char* date;
        const char* time;
        uint16_t year;
        uint8_t month, day, hour, minute, second;
    };
    const Case cases[] = {
        {"2026/12/10 08:09:07", "2026/12/10", "08:09:07", 2026, 12, 10, 8, 9, 7},
        {"1999-01-31 23:59:59", "1999-01-31", "23:59:59", 1999, 1, 31, 23, 59, 59},
        // A short clock text: the fields it lacks are 0 and the texts end with it.
        {"2026/12", "2026/12", "", 2026, 12, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clock);
        const Block block(kTfSystemBlockSize);
        const SysInfoAnswers a = Answers(block, 0, 0, c.clock);
        const SysInfoFigures f = DeriveSysInfo(SysInfoFamily::TextFrame, a);
        EXPECT_EQ(f.date_text, c.date);
        EXPECT_EQ(f.time_text, c.time);
        HcSysInfoBf info;
        FillSysInfoBf(f, a, &info);
        EXPECT_EQ(LoadField<uint16_t>(&info.date.year), c.year);
        EXPECT_EQ(info.date.month, c.month);
        EXPECT_EQ(info.date.day, c.day);
        EXPECT_EQ(info.time.hour, c.hour);
        EXPECT_EQ(info.time.minute, c.minute);
        EXPECT_EQ(info.time.second, c.second);
    }
}

TEST(SysInfo, TextFieldsCutToTheirWidth) {
    const std::string id20 = "ID-0123456789ABCDEFG";
    const Block tf_block(kTfSystemBlockSize, {{kBlockId, id20},
                                              {kBlockType, "TYPE-LONGER-THAN-TEN"},
                                              {kBlockFlashModel, "FLASHMODEL12"},
                                              {kBlockSoftwareVersion, std::string(32, 'S')}});
    const SysInfoAnswers ta = Answers(tf_block, 0, 0);
    const SysInfoFigures tf = DeriveSysInfo(SysInfoFamily::TextFrame, ta);
    HcSysInfo t;
    std::memset(&t, 0x5A, sizeof t);
    FillSysInfo(tf, ta, &t);
    EXPECT_STREQ(t.id, id20.substr(0, 15).c_str());
    EXPECT_STREQ(t.type, "TYPE-LONGE");
    EXPECT_STREQ(t.flash_model, "FLASHMOD");
    EXPECT_EQ(std::string(t.software_version), std::string(31, 'S'));
    EXPECT_EQ(t.id[15], 0);
    EXPECT_EQ(t.terminator, 0);
    // The rest of a text field is zero.
    EXPECT_EQ(std::memcmp(t.manufacture_date + 10, "\0", 1), 0);
    const std::string ttext = SysInfoText(SysInfoFamily::TextFrame, tf, ta);
    EXPECT_NE(ttext.find("\r\nID=" + id20.substr(0, 15) + "\r\n"), std::string::npos);
    EXPECT_NE(ttext.find("\r\nFlashModel=FLASHMOD\r\n"), std::string::npos);
    // The whole version text, whose NUL here ended the hardware version's place.
    EXPECT_NE(ttext.find("\r\nHardwareVersion=\r\nSoftwareVersion=" + std::string(32, 'S') + "\r\n"),
              std::string::npos);

    const Block bf_block(kBfSystemBlockSize,
                         {{kBlockId, "BF0123456789"}, {kBlockFlashModel, "FLASHMODEL12"}});
    const SysInfoAnswers ba = Answers(bf_block, 0, 0);
    const SysInfoFigures bfig = DeriveSysInfo(SysInfoFamily::ByteFrame, ba);
    HcSysInfoBf b;
    FillSysInfoBf(bfig, ba, &b);
    EXPECT_STREQ(b.id, "BF012345");
    EXPECT_STREQ(b.flash_model, "FLASHMOD");
    EXPECT_EQ(b.terminator, 0);
    const std::string btext = SysInfoText(SysInfoFamily::ByteFrame, bfig, ba);
    EXPECT_NE(btext.find("\r\nID=BF012345\r\n"), std::string::npos);
    EXPECT_NE(btext.find("\r\nFlashModel=FLASHMODEL12\r\n"), std::string::npos);
    EXPECT_EQ(btext.find("SoftwareVersion"), std::string::npos);
}

TEST(SysInfo, TextsAtTheEndOfTheBlock) {
    // A text without a NUL before the block ends stops there.
    std::vector<uint8_t> block(kTfSystemBlockSize, 'M');
    EXPECT_EQ(BlockText(block.data(), block.size(), kBlockMemorySize), std::string(16, 'M'));
    EXPECT_EQ(BlockText(block.data(), block.size(), block.size()), "");
    EXPECT_EQ(BlockText(nullptr, 0, 0), "");
}

}  // namespace
}  // namespace tarvix
