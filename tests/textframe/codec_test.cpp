// The pure parts of the text-frame family: frames, checks, digits, command packets, file entries,
// dates and short names, checked against the byte vectors the handheld's firmware expects.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "textframe/commands.h"
#include "textframe/file_info.h"
#include "textframe/frame_codec.h"
#include "textframe/short_name.h"

namespace tarvix::tf {
namespace {

using codec::FrameDecoder;

std::string Encode(uint32_t number, const std::string& payload) {
    uint8_t out[codec::kMaxFrame];
    const size_t n =
        codec::EncodeFrame(number, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), out);
    return std::string(reinterpret_cast<char*>(out), n);
}

FrameDecoder Decode(const std::string& line) {
    FrameDecoder d;
    for (char c : line) d.Feed(static_cast<uint8_t>(c));
    return d;
}

TEST(FrameCodec, GoldenVectors) {
    const std::string digits = "123456789";
    EXPECT_EQ(codec::Crc16(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0x31C3);
    EXPECT_EQ(Encode(codec::kAbortBlock, ""), "#00000000$10C6");
    EXPECT_EQ(std::string(codec::kAbortFrame.begin(), codec::kAbortFrame.end()), "#00000000$10C6");
    // Numbers and checks are written lowest digit first.
    EXPECT_EQ(Encode(1, "A").substr(0, 9), "#10000000");
    EXPECT_EQ(Encode(0xFFFFFFFF, "").substr(0, 10), "#FFFFFFFF$");
    EXPECT_EQ(Encode(0x12345678, "").substr(1, 8), "87654321");
}

TEST(FrameCodec, EscapesAndTheLongestFrame) {
    EXPECT_EQ(Encode(1, "a@b#c$d").substr(9, 10), "a@Ab@Bc@Cd");
    const std::string hashes(256, '#');
    EXPECT_EQ(Encode(1, hashes).size(), codec::kMaxFrame);
    // The check covers the escaped form as it travels.
    const std::string frame = Encode(7, "@#$");
    const uint16_t crc = codec::Crc16(reinterpret_cast<const uint8_t*>(frame.data()), frame.find('$'));
    uint8_t digits[4];
    codec::FormatHex(crc, 4, digits);
    EXPECT_EQ(frame.substr(frame.size() - 4), std::string(digits, digits + 4));
}

TEST(FrameCodec, DecodesWhatItEncodes) {
    std::string payload;
    for (int i = 0; i < 256; ++i) payload.push_back(static_cast<char>(i));
    FrameDecoder d = Decode(Encode(42, payload));
    ASSERT_EQ(d.Finish(), FrameDecoder::Ok);
    EXPECT_EQ(d.number(), 42u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.payload()), d.payload_size()), payload);
}

TEST(FrameDecoder, Outcomes) {
    struct Case {
        const char* what;
        std::string line;
        int outcome;
    };
    std::string bad_check = Encode(1, "data");
    bad_check.back() = bad_check.back() == '0' ? '1' : '0';
    const std::string overlong = Encode(1, std::string(256, 'x')).insert(100, "y");
    const Case cases[] = {
        {"nothing", "", FrameDecoder::Nothing},
        {"junk only", "xyz", FrameDecoder::Garbled},
        {"cut short", Encode(1, "data").substr(0, 12), FrameDecoder::Garbled},
        {"wrong check", bad_check, FrameDecoder::BadCheck},
        {"more than a block", overlong, FrameDecoder::Garbled},
        {"a byte after the check", Encode(1, "data") + "x", FrameDecoder::Garbled},
        {"junk before the frame", "zz" + Encode(1, "data"), FrameDecoder::Ok},
        {"a new frame restarts", Encode(1, "data").substr(0, 8) + Encode(2, "ok"), FrameDecoder::Ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Decode(c.line).Finish(), c.outcome);
    }
    // Only upper-case letters are check digits.
    std::string lower = Encode(3, "\x01");
    for (size_t i = lower.size() - 4; i < lower.size(); ++i)
        lower[i] = static_cast<char>(std::tolower(lower[i]));
    if (lower != Encode(3, "\x01")) {
        EXPECT_EQ(Decode(lower).Finish(), FrameDecoder::BadCheck);
    }
}

TEST(FrameDecoder, UnusualEscapes) {
    // '@' before an ordinary byte yields that byte; '@' before '$' leaves the escape open and ends
    // the payload.  The check is taken over the bytes as they were on the line.
    auto framed = [](const std::string& body) {
        std::string f = "#10000000" + body;
        const uint16_t crc = codec::Crc16(reinterpret_cast<const uint8_t*>(f.data()), f.size());
        uint8_t digits[4];
        codec::FormatHex(crc, 4, digits);
        return f + "$" + std::string(digits, digits + 4);
    };
    FrameDecoder d = Decode(framed("@Dx"));
    ASSERT_EQ(d.Finish(), FrameDecoder::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.payload()), d.payload_size()), "Dx");
    d = Decode(framed("ab@"));
    ASSERT_EQ(d.Finish(), FrameDecoder::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.payload()), d.payload_size()), "ab");
}

TEST(CommandPacket, LayoutAndStatusReplies) {
    const std::string text(25, 'T');
    auto packet = BuildCommandPacket(CmdShowText, 0, static_cast<uint16_t>(text.size()),
                                     reinterpret_cast<const uint8_t*>(text.data()));
    EXPECT_EQ(packet[0], 73);
    EXPECT_EQ(packet[2], 20);
    EXPECT_EQ(packet[3], 0);
    EXPECT_EQ(std::string(packet.begin() + 4, packet.end()), std::string(20, 'T'));
    packet = BuildCommandPacket(CmdShowText, 0, 5, reinterpret_cast<const uint8_t*>("hello"));
    EXPECT_EQ(packet[2], 5);
    EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 9, packet.end()), std::vector<uint8_t>(15, 0));

    for (int sub = 0; sub < 64; ++sub) {
        const bool expected =
            sub == 2 || sub == 3 || sub == 4 || sub == 5 || sub == 12 || sub == 13 || sub == 33;
        EXPECT_EQ(HasStatusReply(CmdFile, static_cast<uint8_t>(sub)), expected) << sub;
        EXPECT_TRUE(HasStatusReply(CmdUploadEnd, static_cast<uint8_t>(sub)));
    }
    EXPECT_FALSE(HasStatusReply(CmdLinkTest, 0));
}

TEST(FileEntries, DateAndTimeWords) {
    uint16_t date = 0;
    uint16_t time = 0;
    ParseDateTime("2010-06-2107:11:48", &date, &time);
    EXPECT_EQ(date, (30 << 9) | (6 << 5) | 21);
    EXPECT_EQ(time, (7 << 11) | (11 << 5) | 24);
    ParseDateTime("1979-12-3123:59:59", &date, &time);
    EXPECT_EQ(date, 0xFF9F);
    EXPECT_EQ(time, (23 << 11) | (59 << 5) | 29);
}

TEST(FileEntries, ReplyToRecord) {
    uint8_t reply[kFileInfoReplySize] = {};
    reply[0] = 1;
    std::memset(reply + 1, 'N', 32);  // a name without terminator
    reply[33] = 0x78;
    reply[34] = 0x56;
    reply[35] = 0x34;
    reply[36] = 0x12;
    reply[37] = kKindFolder;
    std::memcpy(reply + 38, "2010-06-2107:11:48", 18);
    HcFileRecord record{};
    ASSERT_TRUE(ParseFileInfoReply(reply, &record));
    EXPECT_EQ(std::string(record.name), std::string(31, 'N'));
    EXPECT_EQ(+record.size, 0x12345678u);
    EXPECT_EQ(record.kind, kKindFolder);
    EXPECT_EQ(+record.date, (30 << 9) | (6 << 5) | 21);
    reply[0] = 0xFF;
    EXPECT_FALSE(ParseFileInfoReply(reply, &record));
}

TEST(Names, ShortNamesAndNameParts) {
    const std::pair<const char*, const char*> cases[] = {
        {"\\APP\\LONGFILENAME.TXT", "\\APP\\LONGFI~1.TXT"},
        {"\\APP\\DATA.JSON", "\\APP\\DATA.JSO"},
        {"\\APP\\ABCDEFGH.TXT", "\\APP\\ABCDEFGH.TXT"},
        {"\\APP\\README", "\\APP\\README"},
        {"\\APP\\NAME.", "\\APP\\NAME."},
        {"\\APP\\VERYLONGNAME.", "\\APP\\VERYLO~1."},
        {"./longfilename.txt", "./long~1.txt"},
        {"longfilename.txt", "longfi~1.txt"},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(MakeShortName(name), expected) << name;
    EXPECT_EQ(NameFromPath("C:\\data\\A.DBF"), "A.DBF");
    EXPECT_EQ(NameFromPath("\\APP\\DATA.TXT"), "DATA.TXT");
    EXPECT_EQ(NameFromPath("dir/x.bin"), "x.bin");
    EXPECT_EQ(NameFromPath("plain"), "plain");
}

}  // namespace
}  // namespace tarvix::tf
