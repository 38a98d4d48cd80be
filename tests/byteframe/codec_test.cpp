// The byte-frame wire format against byte vectors worked out by hand from the frame layout.
#include "byteframe/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/records.h"

namespace tarvix::bf {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const Bytes& payload, uint16_t block, Check check) {
    return EncodeFrame(payload.data(), payload.size(), block, check);
}

struct Parsed {
    FrameParser::Outcome outcome = FrameParser::Outcome::Pending;
    Bytes payload;
    uint16_t block = 0;
};

Parsed Parse(const Bytes& line, Check check, size_t room = 256) {
    Bytes buffer(room + 1);
    FrameParser parser(buffer.data(), room, check);
    Parsed out;
    for (uint8_t b : line) {
        out.outcome = parser.Feed(b);
        if (out.outcome != FrameParser::Outcome::Pending) break;
    }
    out.block = parser.Block();
    // A frame bigger than the room is counted whole but kept only up to the room.
    out.payload.assign(buffer.begin(), buffer.begin() + static_cast<long>(std::min(parser.Count(), room)));
    return out;
}

TEST(ByteFrameCodec, EmptyLastFrameWithSum) {
    EXPECT_EQ(Encode({}, 0xFFFF, Check::Sum), (Bytes{'#', 0x00, 0x00, 0xFF, 0xFF, '$', 0xFE}));
}

TEST(ByteFrameCodec, EmptyLastFrameWithCrcLowByteFirst) {
    // CRC-16/XMODEM of 00 00 FF FF is 0x1D0F.
    EXPECT_EQ(Encode({}, 0xFFFF, Check::Crc), (Bytes{'#', 0x00, 0x00, 0xFF, 0xFF, '$', 0x0F, 0x1D}));
}

TEST(ByteFrameCodec, EscapesCoverThePayloadOnlyAndChecksTheRawBytes) {
    Bytes sum_frame = Encode({'#', '$', '@'}, 1, Check::Sum);
    EXPECT_EQ(sum_frame, (Bytes{'#', 0x03, 0x00, 0x01, 0x00, '@', 'B', '@', 'C', '@', 'A', '$', 0x8B}));
    Bytes crc_frame = Encode({'#', '$', '@'}, 1, Check::Crc);
    EXPECT_EQ(crc_frame, (Bytes{'#', 0x03, 0x00, 0x01, 0x00, '@', 'B', '@', 'C', '@', 'A', '$', 0xA3, 0x2F}));
    // Header bytes that look like markers are never escaped.
    Bytes marker_header = Encode(Bytes(0x23, 'x'), 0x2440, Check::Sum);
    EXPECT_EQ(marker_header[1], 0x23);
    EXPECT_EQ(marker_header[3], 0x40);
    EXPECT_EQ(marker_header[4], 0x24);
}

TEST(ByteFrameCodec, CrcIsXmodem) {
    const char* text = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(text), 9), 0x31C3);
}

TEST(ByteFrameCodec, ParserRoundTripsEveryByteValueInBothChecks) {
    Bytes payload(256);
    for (int i = 0; i < 256; ++i) payload[i] = static_cast<uint8_t>(i);
    for (Check check : {Check::Sum, Check::Crc}) {
        Bytes line = {0x00, '$', 0x41};  // noise before the frame is skipped
        Bytes frame = Encode(payload, 0x1234, check);
        line.insert(line.end(), frame.begin(), frame.end());
        Parsed p = Parse(line, check);
        EXPECT_EQ(p.outcome, FrameParser::Outcome::Good);
        EXPECT_EQ(p.block, 0x1234);
        EXPECT_EQ(p.payload, payload);
    }
}

TEST(ByteFrameCodec, ParserRejects) {
    struct Case {
        const char* what;
        Bytes line;
        Check check;
        size_t room;
        FrameParser::Outcome expected;
    };
    Bytes good_crc = Encode({1, 2, 3}, 7, Check::Crc);
    Bytes swapped = good_crc;
    std::swap(swapped[swapped.size() - 1], swapped[swapped.size() - 2]);
    Bytes bad_sum = Encode({1, 2, 3}, 7, Check::Sum);
    bad_sum.back() ^= 1;
    // Header says 4 bytes, payload holds 3; the sum is made to match.
    Bytes wrong_length = {'#', 4, 0, 7, 0, 1, 2, 3, '$', static_cast<uint8_t>(4 + 7 + 1 + 2 + 3)};
    const Case cases[] = {
        {"crc bytes swapped", swapped, Check::Crc, 256, FrameParser::Outcome::BadCheck},
        {"sum off by one", bad_sum, Check::Sum, 256, FrameParser::Outcome::BadCheck},
        {"length differs though the sum matches", wrong_length, Check::Sum, 256,
         FrameParser::Outcome::BadCheck},
        {"payload longer than the room", Encode({1, 2, 3}, 7, Check::Sum), Check::Sum, 2,
         FrameParser::Outcome::TooLong},
        {"a good crc frame longer than the room", Encode({1, 2, 3}, 7, Check::Crc), Check::Crc, 2,
         FrameParser::Outcome::TooLong},
        // A byte the line added to a reply that fills its room exactly is a damaged frame, asked for
        // again, not one that does not fit.
        {"byte added to a reply of the room's size",
         [] {
             Bytes f = Encode({1, 2, 3, 4}, 0xFFFF, Check::Sum);
             f.insert(f.begin() + 7, 0x33);
             return f;
         }(),
         Check::Sum, 4, FrameParser::Outcome::BadCheck},
        {"byte added to a crc frame of the room's size",
         [] {
             Bytes f = Encode({1, 2, 3, 4}, 2, Check::Crc);
             f.insert(f.begin() + 6, 0x33);
             return f;
         }(),
         Check::Crc, 4, FrameParser::Outcome::BadCheck},
        {"a damaged frame longer than the room",
         [] {
             Bytes f = Encode(Bytes(9, 1), 0xFFFF, Check::Sum);
             f[6] ^= 0x10;
             return f;
         }(),
         Check::Sum, 1, FrameParser::Outcome::BadCheck},
        {"end marker lost after a full payload",
         [] {
             Bytes f = Encode(Bytes(256, 7), 1, Check::Sum);
             f.erase(f.end() - 2);
             f.push_back(9);
             return f;
         }(),
         Check::Sum, 300, FrameParser::Outcome::BadCheck},
        {"a sum frame read as a crc frame", Encode({1, 2, 3}, 7, Check::Sum), Check::Crc, 256,
         FrameParser::Outcome::Pending},
    };
    for (const Case& c : cases) EXPECT_EQ(Parse(c.line, c.check, c.room).outcome, c.expected) << c.what;
}

TEST(ByteFrameCodec, SecondStartMarkerRestartsTheFrame) {
    Bytes line = {'#', 5, 0, 1, 0, 9, 9};
    Bytes frame = Encode({4, 5}, 2, Check::Sum);
    line.insert(line.end(), frame.begin(), frame.end());
    Parsed p = Parse(line, Check::Sum);
    EXPECT_EQ(p.outcome, FrameParser::Outcome::Good);
    EXPECT_EQ(p.block, 2);
    EXPECT_EQ(p.payload, (Bytes{4, 5}));
}

TEST(ByteFrameCodec, UnknownEscapeYieldsTheFollowingByte) {
    EXPECT_EQ(Unescape('A'), '@');
    EXPECT_EQ(Unescape('B'), '#');
    EXPECT_EQ(Unescape('C'), '$');
    EXPECT_EQ(Unescape('Z'), 'Z');
}

TEST(ByteFrameCodec, NumbersTravelBigEndian) {
    EXPECT_EQ(Swap32(0x11223344u), 0x44332211u);
}

TEST(ByteFrameCodec, DateAndTimeTexts) {
    struct Case {
        const char* text;
        uint16_t date;
        uint16_t time;
    };
    const Case cases[] = {
        {"10-06-2107:11", (30 << 9) | (6 << 5) | 21, (7 << 11) | (11 << 5)},
        {"99/12/3123.59", (19 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5)},
        {"80-01-0100:00", (100 << 9) | (1 << 5) | 1, 0},
    };
    for (const Case& c : cases) {
        uint16_t date = 0, time = 0;
        ParseDateTime(c.text, &date, &time);
        EXPECT_EQ(date, c.date) << c.text;
        EXPECT_EQ(time, c.time) << c.text;
    }
}

Bytes FindReplyBytes(const char* path, uint32_t size, uint8_t kind, const char* when = "10-06-2107:11") {
    Bytes reply(kFindReplySize, 0);
    std::memcpy(reply.data() + kFindDateOffset, when, 13);
    PutBe32(reply.data() + kFindSizeOffset, size);
    std::strncpy(reinterpret_cast<char*>(reply.data() + kFindPathOffset), path, kFindPathSize);
    reply[kFindKindOffset] = kind;
    return reply;
}

TEST(ByteFrameCodec, FindReplyFillsTheEntry) {
    HcFileEntry entry{};
    FillEntry(FindReplyBytes("\\A.DBF", 0x01020304, 1).data(), &entry);
    EXPECT_STREQ(entry.name, "A.DBF");
    EXPECT_EQ(LoadField<int32_t>(&entry.size), 0x01020304);
    EXPECT_EQ(LoadField<uint16_t>(&entry.date), (30 << 9) | (6 << 5) | 21);
    EXPECT_EQ(entry.kind, 1);

    HcFileEntry folder{};
    StoreField<uint16_t>(&folder.date, 0xBEEF);
    StoreField<uint16_t>(&folder.time, 0xCAFE);
    FillEntry(FindReplyBytes("DATA", 0, 7).data(), &folder);
    EXPECT_STREQ(folder.name, "DATA");
    EXPECT_EQ(folder.kind, 2);
    EXPECT_EQ(LoadField<uint16_t>(&folder.date), 0xBEEF);
    EXPECT_EQ(LoadField<uint16_t>(&folder.time), 0xCAFE);

    // A path field without its NUL: the entry's name stays within its 12 characters.
    HcFileEntry full{};
    FillEntry(FindReplyBytes("ABCDEFGHIJKLM", 5, 1).data(), &full);
    EXPECT_STREQ(full.name, "ABCDEFGHIJKL");
}

TEST(ByteFrameCodec, FindRepliesMustArriveWhole) {
    Bytes reply = FindReplyBytes("A", 1, 1);
    EXPECT_EQ(ClassifyFindReply(reply.data(), 114), FindReply::Entry);
    EXPECT_EQ(ClassifyFindReply(reply.data(), 113), FindReply::Malformed);
    EXPECT_EQ(ClassifyFindReply(reply.data(), 0), FindReply::Malformed);
    const uint8_t end[] = {0xFF, 0xFF};
    EXPECT_EQ(ClassifyFindReply(end, 2), FindReply::End);
}

TEST(ByteFrameCodec, ShortNames) {
    EXPECT_EQ(MakeShortName("\\X\\LONGFILENAME.TEXT"), "\\X\\LONGFI~1.TEX");
    EXPECT_EQ(MakeShortName("ABCDEFGH.DBF"), "ABCDEFGH.DBF");
    EXPECT_EQ(MakeShortName("ABCDEFGHI"), "ABCDEF~1");
    EXPECT_EQ(MakeShortName("A.B.C"), "A.B.C");
    EXPECT_EQ(MakeShortName("\\VERYLONGFOLDER\\A.DBF"), "\\VERYLONGFOLDER\\A.DBF");
}

TEST(ByteFrameCodec, FirmwareNumberFromTheEighthCharacter) {
    auto number = [](const char* text) {
        return VersionNumber(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    };
    EXPECT_EQ(number("HCV1.0 60"), 60);
    EXPECT_EQ(number("HCV1.0 59"), 59);
    EXPECT_EQ(number("V1.0 60"), 0);  // shorter than 8 characters
    EXPECT_EQ(number("HCV1.0 6"), 6);
}

TEST(ByteFrameCodec, NameHelpers) {
    EXPECT_EQ(ReplaceLastChar("A.DBF", 'c', true), "A.DBC");
    EXPECT_EQ(ReplaceLastChar("a.dbf", 'c', true), "a.dbc");
    EXPECT_EQ(ReplaceLastChar("A.DBF", 'i', false), "A.DBi");
    EXPECT_TRUE(ExtensionIs("\\X\\A.DbF", "dbf"));
    EXPECT_FALSE(ExtensionIs("\\X\\ADBF", "dbf"));
    EXPECT_EQ(FolderPart("\\X\\A.DBF"), "\\X\\");
    EXPECT_EQ(NamePart("\\X\\A.DBF"), "A.DBF");
}

}  // namespace
}  // namespace tarvix::bf
