// The text-frame decoder on any bytes as the serial line delivers them, and the hexadecimal digits of
// its numbers.  A frame the decoder accepts must come back unchanged when encoded and decoded again;
// any bytes sent as a payload must come back as they were sent.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "textframe/frame_codec.h"

namespace {

using namespace tarvix::tf::codec;

// Encodes one block and decodes it with a fresh decoder: it must come back as it went.
void RoundTrip(uint32_t number, const uint8_t* payload, size_t size) {
    uint8_t frame[kMaxFrame];
    const size_t length = EncodeFrame(number, payload, size, frame);
    if (length > kMaxFrame) __builtin_trap();
    FrameDecoder decoder;
    for (size_t i = 0; i < length; ++i) decoder.Feed(frame[i]);
    if (decoder.state() != FrameDecoder::State::Complete || decoder.Finish() != FrameDecoder::Ok)
        __builtin_trap();
    const size_t sent = std::min(size, kMaxPayload);
    if (decoder.number() != number || decoder.payload_size() != sent) __builtin_trap();
    if (sent > 0 && std::memcmp(decoder.payload(), payload, sent) != 0) __builtin_trap();
}

void CheckHex(const uint8_t* data, size_t size) {
    if (size < kSequenceDigits) return;
    const uint32_t value = ParseHex(data, kSequenceDigits);
    uint8_t digits[kSequenceDigits];
    FormatHex(value, kSequenceDigits, digits);
    if (ParseHex(digits, kSequenceDigits) != value) __builtin_trap();
    for (uint8_t d : digits) {
        if (!((d >= '0' && d <= '9') || (d >= 'A' && d <= 'F'))) __builtin_trap();
    }
    // Proper digits are read back as they were written.
    const bool proper = std::all_of(data, data + kSequenceDigits, [](uint8_t c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    });
    if (proper && std::memcmp(digits, data, kSequenceDigits) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckHex(data, size);

    // The line's bytes, the outcome asked for at every point where the receiver would ask: once the
    // frame looks complete, and at the end when the line stays quiet.
    FrameDecoder decoder;
    for (size_t i = 0; i < size; ++i) {
        decoder.Feed(data[i]);
        if (!decoder.any_byte()) __builtin_trap();
        if (decoder.state() != FrameDecoder::State::Complete) continue;
        const FrameDecoder::Outcome outcome = decoder.Finish();
        if (outcome != FrameDecoder::Ok && outcome != FrameDecoder::BadCheck) __builtin_trap();
        if (outcome == FrameDecoder::Ok) {
            if (decoder.payload_size() > kMaxPayload) __builtin_trap();
            // A frame holds at least each payload byte once besides its marks and digits.
            if (decoder.payload_size() + 1 + kSequenceDigits + 1 + kCheckDigits > i + 1) __builtin_trap();
            RoundTrip(decoder.number(), decoder.payload(), decoder.payload_size());
        }
    }
    const FrameDecoder::Outcome last = decoder.Finish();
    if (size == 0 && last != FrameDecoder::Nothing) __builtin_trap();
    if (size > 0 && last == FrameDecoder::Nothing) __builtin_trap();
    if (decoder.state() != FrameDecoder::State::Complete && last != FrameDecoder::Nothing &&
        last != FrameDecoder::Garbled) {
        __builtin_trap();
    }

    // The input as a payload, numbered by its first bytes.
    uint32_t number = 0;
    if (size >= 4) std::memcpy(&number, data, 4);
    RoundTrip(number, data, size);
    RoundTrip(kLastBlock, data, size);
    return 0;
}
