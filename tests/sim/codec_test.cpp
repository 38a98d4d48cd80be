// Golden vectors of the simulated handheld's own checks and frames.
#include <gtest/gtest.h>

#include <string>

#include "sim/core.h"

namespace {

using hhsim::Bytes;

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

TEST(SimCodec, ChecksMatchPublishedValues) {
    const std::string text = "123456789";
    EXPECT_EQ(hhsim::Crc16Xmodem(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0x31C3);
    // The CRC continues across calls, as the byte-frame check runs over header and payload.
    auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    EXPECT_EQ(hhsim::Crc16Xmodem(p + 4, 5, hhsim::Crc16Xmodem(p, 4)), 0x31C3);
    EXPECT_EQ(hhsim::Sum8(p, text.size()), static_cast<std::uint8_t>(0x1DD));
}

TEST(SimCodec, TextFrames) {
    EXPECT_EQ(hhsim::tf::AbortFrame(), B("#00000000$10C6"));
    EXPECT_EQ(hhsim::tf::HexLowFirst(1, 8), "10000000");
    EXPECT_EQ(hhsim::tf::HexLowFirst(0x1234, 4), "4321");
    std::uint32_t v = 0;
    ASSERT_TRUE(hhsim::tf::ParseHexLowFirst(reinterpret_cast<const std::uint8_t*>("FFFFFFFF"), 8, v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_FALSE(hhsim::tf::ParseHexLowFirst(reinterpret_cast<const std::uint8_t*>("ffffffff"), 8, v));

    // An empty last block: '#', eight F, '$' and the check of "#FFFFFFFF" low digit first.
    Bytes empty = hhsim::tf::BuildFrame(0xFFFFFFFF, nullptr, 0);
    ASSERT_EQ(empty.size(), 14u);
    Bytes head = B("#FFFFFFFF");
    std::uint16_t crc = hhsim::Crc16Xmodem(head.data(), head.size());
    Bytes expect = head;
    expect.push_back('$');
    for (char c : hhsim::tf::HexLowFirst(crc, 4)) expect.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(empty, expect);

    // Escapes, and the check over the escaped line form.
    Bytes payload = B("@#$x");
    Bytes frame = hhsim::tf::BuildFrame(1, payload.data(), payload.size());
    Bytes body = B("#10000000@A@B@Cx");
    ASSERT_EQ(Bytes(frame.begin(), frame.begin() + static_cast<long>(body.size())), body);
    std::uint16_t c2 = hhsim::Crc16Xmodem(body.data(), body.size());
    EXPECT_EQ(std::string(frame.end() - 4, frame.end()), hhsim::tf::HexLowFirst(c2, 4));

    // 256 '#' bytes make the longest frame.
    Bytes hashes(256, '#');
    EXPECT_EQ(hhsim::tf::BuildFrame(2, hashes.data(), hashes.size()).size(), 526u);
}

TEST(SimCodec, ByteFrames) {
    EXPECT_EQ(hhsim::bf::BuildFrame(0xFFFF, nullptr, 0, false),
              (Bytes{'#', 0x00, 0x00, 0xFF, 0xFF, '$', 0xFE}));
    Bytes special = B("#$@");
    Bytes sum = hhsim::bf::BuildFrame(0xFFFF, special.data(), 3, false);
    std::uint8_t s = static_cast<std::uint8_t>(3 + 0xFF + 0xFF + '#' + '$' + '@');
    EXPECT_EQ(sum, (Bytes{'#', 3, 0, 0xFF, 0xFF, '@', 'B', '@', 'C', '@', 'A', '$', s}));
    Bytes crc = hhsim::bf::BuildFrame(1, special.data(), 3, true);
    Bytes covered = {3, 0, 1, 0, '#', '$', '@'};
    std::uint16_t c = hhsim::Crc16Xmodem(covered.data(), covered.size());
    ASSERT_EQ(crc.size(), 14u);
    EXPECT_EQ(crc[12], c & 0xFF);  // low byte first
    EXPECT_EQ(crc[13], c >> 8);
}

TEST(SimCodec, PackedDigits) {
    struct Case {
        std::string text;
        Bytes packed;
    } cases[] = {
        {"  12.5", {0xDD, 0x12, 0xA5}},
        {" -3.1", {0xDD, 0xB3, 0xA1}},
        {"12345", {0xD1, 0x23, 0x45}},
        {"+7", {0xC7}},
        {"1", {0xD1}},
    };
    for (const auto& c : cases) {
        Bytes out(c.packed.size(), 0);
        hhsim::PackDigits(c.text, out.data());
        EXPECT_EQ(out, c.packed) << c.text;
    }
}

TEST(SimCodec, Wildcards) {
    EXPECT_TRUE(hhsim::WildMatch("*.*", "README"));
    EXPECT_TRUE(hhsim::WildMatch("*.dbf", "A.DBF"));
    EXPECT_TRUE(hhsim::WildMatch("A?.TXT", "AB.txt"));
    EXPECT_FALSE(hhsim::WildMatch("A?.TXT", "ABC.TXT"));
    EXPECT_FALSE(hhsim::WildMatch("A.DBF", "A.DBI"));
}

}  // namespace
