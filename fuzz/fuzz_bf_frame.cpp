// The byte-frame parser on any bytes as the serial line delivers them: the first input byte chooses
// the check and the caller's room, the rest is the line.  A frame the parser accepts must fit the room
// and its header, and come back unchanged when encoded and parsed again; any bytes sent as a payload
// must come back as they were sent.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "byteframe/codec.h"

namespace {

using namespace tarvix::bf;

constexpr size_t kRooms[] = {0, 1, 3, 9, 114, 255, 256, 300};

void RoundTrip(const uint8_t* payload, size_t size, uint16_t block, Check check) {
    const std::vector<uint8_t> frame = EncodeFrame(payload, size, block, check);
    if (frame.size() > kMaxFrame) __builtin_trap();
    const size_t sent = std::min(size, kMaxPayload);
    // The room exactly as large as the payload: a heap buffer, so that a write past it is seen.
    auto room = std::make_unique<uint8_t[]>(sent);
    FrameParser parser(room.get(), sent, check);
    FrameParser::Outcome outcome = FrameParser::Outcome::Pending;
    for (size_t i = 0; i < frame.size(); ++i) {
        outcome = parser.Feed(frame[i]);
        if (outcome != FrameParser::Outcome::Pending && i + 1 != frame.size()) __builtin_trap();
    }
    if (outcome != FrameParser::Outcome::Good) __builtin_trap();
    if (parser.Block() != block || parser.Count() != sent || parser.DeclaredLength() != sent)
        __builtin_trap();
    if (sent > 0 && std::memcmp(room.get(), payload, sent) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const Check check = (data[0] & 1) != 0 ? Check::Crc : Check::Sum;
    const size_t room_size = kRooms[(data[0] >> 1) % (sizeof kRooms / sizeof kRooms[0])];
    const uint8_t* line = data + 1;
    const size_t line_size = size - 1;

    // One receive as the protocol runs it: bytes until the parser gives a verdict.
    auto room = std::make_unique<uint8_t[]>(room_size);
    FrameParser parser(room.get(), room_size, check);
    size_t used = 0;
    FrameParser::Outcome outcome = FrameParser::Outcome::Pending;
    while (used < line_size && outcome == FrameParser::Outcome::Pending) outcome = parser.Feed(line[used++]);
    switch (outcome) {
        case FrameParser::Outcome::Pending:
            break;
        case FrameParser::Outcome::Good: {
            const size_t n = parser.Count();
            if (n != parser.DeclaredLength() || n > room_size || n > kMaxPayload) __builtin_trap();
            // '#', the header, each payload byte at least once, '$' and the check.
            if (1 + 4 + n + 1 + (check == Check::Crc ? 2 : 1) > used) __builtin_trap();
            RoundTrip(room.get(), n, parser.Block(), check);
            break;
        }
        case FrameParser::Outcome::TooLong:
            if (parser.Count() != parser.DeclaredLength() || parser.Count() <= room_size) __builtin_trap();
            if (parser.Count() > kMaxPayload) __builtin_trap();
            break;
        case FrameParser::Outcome::BadCheck:
            if (parser.Count() > kMaxPayload) __builtin_trap();
            break;
    }
    // After its verdict the parser takes no further byte as a frame.
    if (outcome != FrameParser::Outcome::Pending) {
        for (size_t i = used; i < line_size; ++i) {
            if (parser.Feed(line[i]) != FrameParser::Outcome::Pending) __builtin_trap();
        }
    }

    // The input as a payload, numbered by its first bytes.
    const uint16_t block = static_cast<uint16_t>(line_size >= 2 ? line[0] | (line[1] << 8) : 1);
    RoundTrip(line, line_size, block, check);
    RoundTrip(line, line_size, kLastBlock, check == Check::Crc ? Check::Sum : Check::Crc);
    return 0;
}
