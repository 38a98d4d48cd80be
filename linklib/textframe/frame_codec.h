// Text frames as they travel on a serial line: '#', eight hexadecimal digits of the block number, the
// escaped payload, '$' and four hexadecimal digits of the CRC-16/XMODEM over everything before the '$'.
// Numbers are written least significant digit first.  Pure code: bytes in, bytes out, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/crc16.h"
#include "common/frame_marks.h"

namespace tarvix::tf::codec {

constexpr size_t kMaxPayload = 256;
constexpr size_t kSequenceDigits = 8;
constexpr size_t kCheckDigits = 4;
// '#', sequence, every payload byte escaped, '$', check.
constexpr size_t kMaxFrame = 1 + kSequenceDigits + 2 * kMaxPayload + 1 + kCheckDigits;
static_assert(kMaxFrame == 526);

constexpr uint8_t kStart = '#';
constexpr uint8_t kEnd = '$';
constexpr uint8_t kEscape = '@';
constexpr uint8_t kAck = 0x00;
constexpr uint8_t kNak = 0x0F;
constexpr uint32_t kLastBlock = 0xFFFFFFFFu;
constexpr uint32_t kAbortBlock = 0;

// The fixed frame that abandons a transfer: block 0, no payload.
constexpr std::array<uint8_t, 14> kAbortFrame = {'#', '0', '0', '0', '0', '0', '0',
                                                 '0', '0', '$', '1', '0', 'C', '6'};

using tarvix::Crc16;
using tarvix::Crc16Step;

// Writes `digits` upper-case hexadecimal digits, lowest nibble first.
void FormatHex(uint32_t value, size_t digits, uint8_t* out);
// Reads digits written by FormatHex.  '0'-'9' count 0-9 and every other character its code minus 55,
// as the handheld's firmware reads them; only upper-case 'A'-'F' are proper digits.
uint32_t ParseHex(const uint8_t* in, size_t digits);

// Builds the frame of one block into `out` (at least kMaxFrame bytes); returns its length.
// `size` is cut to kMaxPayload.
size_t EncodeFrame(uint32_t number, const uint8_t* payload, size_t size, uint8_t* out);

// Receives one frame byte by byte.  The caller feeds every byte that arrives and asks for the outcome
// when the line stays quiet (or, once the frame looks complete, when no further byte is already
// waiting).  A '#' anywhere starts a new frame.
class FrameDecoder {
  public:
    enum class State { Awaiting, Sequence, Payload, Check, Complete, Discarding };
    enum Outcome : int { Ok = 0, Nothing = 1, BadCheck = 5, Garbled = 7 };

    void Reset();
    void Feed(uint8_t byte);

    State state() const { return state_; }
    bool any_byte() const { return any_byte_; }
    // Ok only in Complete with a matching check.
    Outcome Finish() const;

    // Valid after Finish() gave Ok.
    uint32_t number() const { return ParseHex(stored_.data(), kSequenceDigits); }
    const uint8_t* payload() const { return stored_.data() + kSequenceDigits; }
    size_t payload_size() const { return stored_size_ - kSequenceDigits; }

  private:
    State state_ = State::Awaiting;
    bool any_byte_ = false;
    bool escape_ = false;
    uint16_t crc_ = 0;
    size_t digits_ = 0;
    std::array<uint8_t, kCheckDigits> check_{};
    std::array<uint8_t, kSequenceDigits + kMaxPayload> stored_{};
    size_t stored_size_ = 0;
};

}  // namespace tarvix::tf::codec
