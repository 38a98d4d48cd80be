#include "textframe/frame_codec.h"

namespace tarvix::tf::codec {

void FormatHex(uint32_t value, size_t digits, uint8_t* out) {
    for (size_t i = 0; i < digits; ++i) {
        const uint8_t nibble = static_cast<uint8_t>((value >> (4 * i)) & 0xF);
        out[i] = static_cast<uint8_t>(nibble < 10 ? '0' + nibble : 'A' + nibble - 10);
    }
}

uint32_t ParseHex(const uint8_t* in, size_t digits) {
    uint32_t value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const uint32_t digit =
            (in[i] >= '0' && in[i] <= '9') ? in[i] - '0' : static_cast<uint32_t>(in[i] - 55);
        value += digit << (4 * i);
    }
    return value;
}

size_t EncodeFrame(uint32_t number, const uint8_t* payload, size_t size, uint8_t* out) {
    if (size > kMaxPayload) size = kMaxPayload;
    size_t n = 0;
    out[n++] = kStart;
    FormatHex(number, kSequenceDigits, out + n);
    n += kSequenceDigits;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = payload[i];
        if (NeedsEscape(b)) {
            out[n++] = kEscape;
            out[n++] = EscapeLetter(b);
        } else {
            out[n++] = b;
        }
    }
    const uint16_t crc = Crc16(out, n);
    out[n++] = kEnd;
    FormatHex(crc, kCheckDigits, out + n);
    return n + kCheckDigits;
}

void FrameDecoder::Reset() {
    *this = FrameDecoder();
}

void FrameDecoder::Feed(uint8_t byte) {
    any_byte_ = true;
    if (byte == kStart) {
        state_ = State::Sequence;
        stored_size_ = 0;
        digits_ = 0;
        escape_ = false;
        crc_ = Crc16Step(0, byte);
        return;
    }
    switch (state_) {
        case State::Awaiting:
        case State::Complete:
            state_ = State::Discarding;
            break;
        case State::Sequence:
            stored_[stored_size_++] = byte;
            crc_ = Crc16Step(crc_, byte);
            if (++digits_ == kSequenceDigits) {
                digits_ = 0;
                state_ = State::Payload;
            }
            break;
        case State::Payload:
            if (byte == kEnd) {
                state_ = State::Check;
                break;
            }
            crc_ = Crc16Step(crc_, byte);
            if (byte == kEscape && !escape_) {
                escape_ = true;
                break;
            }
            // A payload longer than a block is not a frame of this protocol: drop it whole.
            if (stored_size_ >= stored_.size()) {
                state_ = State::Discarding;
                break;
            }
            stored_[stored_size_++] = escape_ ? Unescape(byte) : byte;
            escape_ = false;
            break;
        case State::Check:
            check_[digits_++] = byte;
            if (digits_ == kCheckDigits) state_ = State::Complete;
            break;
        case State::Discarding:
            break;
    }
}

FrameDecoder::Outcome FrameDecoder::Finish() const {
    if (state_ == State::Complete) {
        return ParseHex(check_.data(), kCheckDigits) == crc_ ? Ok : BadCheck;
    }
    return any_byte_ ? Garbled : Nothing;
}

}  // namespace tarvix::tf::codec
