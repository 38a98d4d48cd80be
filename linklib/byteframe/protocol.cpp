#include "byteframe/protocol.h"

#include <algorithm>
#include <cstring>

#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "common/lasting.h"
#include "platform/clock.h"

namespace tarvix::bf {

namespace {

Tuning g_tuning;

// Consecutive copies of an already taken block tolerated before the sender is taken for stuck.
constexpr int kMaxRepeats = 64;

}  // namespace

Tuning& Tune() {
    return g_tuning;
}
Protocol& Proto() {
    static Lasting<Protocol> protocol;
    return *protocol;
}

uint32_t Protocol::Capped(uint32_t ms) const {
    uint32_t cap = g_tuning.wait_cap_ms.load();
    return static_cast<uint32_t>(WithinDeadline((cap != 0 && ms > cap) ? cap : ms));
}

void Protocol::SetDeadline(uint32_t start_tick, uint32_t ms) {
    deadline_start_.store(start_tick);
    deadline_ms_.store(ms);
    deadline_set_.store(true);
}

uint64_t Protocol::WithinDeadline(uint64_t ms) const {
    if (!deadline_set_.load()) return ms;
    const uint32_t elapsed = platform::GetClock().TickMs() - deadline_start_.load();
    const uint32_t limit = deadline_ms_.load();
    return elapsed >= limit ? 0 : std::min<uint64_t>(ms, limit - elapsed);
}

bool Protocol::OutOfTime() const {
    if (!DeadlinePassed()) return false;
    SetErrorCode(ErrTimeout);
    return true;
}

void Protocol::Pause(uint32_t ms) const {
    const auto cut = static_cast<uint32_t>(WithinDeadline(ms));
    if (cut != 0) platform::GetClock().SleepMs(cut);
}

bool Protocol::StopRequested() const {
    return g_stop_flag.load();
}

int32_t Protocol::HcSetExitTime(uint32_t answer_ms, uint32_t byte_ms) {
    ack_timeout_.store(answer_ms < 50 ? 1000 : answer_ms);
    byte_timeout_.store(byte_ms < 50 ? 3000 : byte_ms);
    return 0;
}

int32_t Protocol::UpdateCount(uint8_t reset) {
    if (reset == 1) update_count_.store(0);
    return update_count_.load();
}

int32_t Protocol::SendFrame(const uint8_t* payload, uint16_t size, uint16_t block) {
    std::vector<uint8_t> frame = EncodeFrame(payload, size, block, CurrentCheck());
    // Whatever came in before this frame (a late answer, the repeat of an old frame) is not its answer.
    line_.DropInput();
    if (line_.WriteBytes(frame.data(), frame.size()) == 0) return kNoAnswer;
    uint8_t answer = 0xFF;
    if (!line_.WaitByte(&answer, Capped(ack_timeout_.load()), &g_stop_flag)) return kNoAnswer;
    return answer == kAnswerOk ? kDone : kNoAnswer;
}

uint32_t Protocol::FrameDeadlineMs() const {
    uint32_t fixed = g_tuning.frame_limit_ms.load();
    if (fixed != 0) return static_cast<uint32_t>(WithinDeadline(fixed));
    // The '#' may come one byte time-out late and the frame may pause once more inside; the rest of
    // its bytes flow at line speed.  At the default 3000 ms: 7084 ms.
    uint64_t ms = WithinDeadline(2ull * Capped(byte_timeout_.load()) + kMaxFrameLineMs);
    return ms > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(ms);
}

int32_t Protocol::ReceiveFrame(uint8_t* buffer, uint32_t room, uint32_t* length, uint16_t* block) {
    FrameParser parser(buffer, room, CurrentCheck());
    const uint32_t wait = Capped(byte_timeout_.load());
    platform::Clock& clock = platform::GetClock();
    const uint32_t start = clock.TickMs();
    const uint32_t deadline = FrameDeadlineMs();
    uint32_t taken = 0;
    for (;;) {
        const uint32_t elapsed = clock.TickMs() - start;
        if (taken >= kMaxFrameWaitBytes) {
            // A handheld that keeps sending without ever completing a frame (zeros, or '#' and a
            // header again and again) would hold the call for as long as it likes; asking again
            // would only start the same again, so the retries end here.
            if (parser.Started()) line_.SendByte(kAnswerTooLong);
            SetErrorCode(ErrBadPacket);
            return kTooLong;
        }
        if (elapsed >= deadline) {
            // Bytes that come just under the byte time-out each, for ever: refused like babble.
            if (parser.Started()) line_.SendByte(kAnswerTimeout);
            SetErrorCode(ErrTimeout);
            return kOverdue;
        }
        uint8_t byte = 0;
        const uint32_t left = deadline - elapsed;
        if (!line_.WaitByte(&byte, std::min(wait, left), &g_stop_flag)) {
            // Cut short by the deadline rather than by the byte time-out: refused above.
            if (!g_stop_flag.load() && left < wait && clock.TickMs() - start >= deadline) continue;
            if (parser.Started()) line_.SendByte(kAnswerTimeout);
            return kNoAnswer;
        }
        ++taken;
        FrameParser::Outcome outcome = parser.Feed(byte);
        if (parser.HeaderComplete()) *block = parser.Block();
        switch (outcome) {
            case FrameParser::Outcome::Pending:
                continue;
            case FrameParser::Outcome::Good:
                *length = static_cast<uint32_t>(parser.Count());
                line_.SendByte(kAnswerOk);
                return kDone;
            case FrameParser::Outcome::BadCheck:
                SetErrorCode(ErrCrc);
                line_.SendByte(kAnswerBadCheck);
                return kBadCheck;
            case FrameParser::Outcome::TooLong:
                SetErrorCode(ErrBadPacket);
                line_.SendByte(kAnswerTooLong);
                return kTooLong;
        }
    }
}

int32_t Protocol::SendFrameRetry(const uint8_t* payload, uint16_t size, uint16_t block) {
    uint32_t attempts = attempts_.load();
    if (attempts == 0) attempts = 1;
    for (uint32_t attempt = 1;; ++attempt) {
        int32_t result = SendFrame(payload, size, block);
        if (StopRequested()) {
            SetErrorCode(ErrUserStop);
            return kStopped;
        }
        if (result == kDone) return kDone;
        if (attempt >= attempts || OutOfTime()) return kNoAnswer;
        line_.Purge();
        Pause(g_tuning.retry_pause_ms.load());
    }
}

int32_t Protocol::ReceiveFrameRetry(uint8_t* buffer, uint32_t room, uint32_t* length, uint16_t* block) {
    uint32_t attempts = attempts_.load();
    if (attempts == 0) attempts = 1;
    for (uint32_t attempt = 1; attempt <= attempts; ++attempt) {
        int32_t result = ReceiveFrame(buffer, room, length, block);
        if (StopRequested()) {
            SetErrorCode(ErrUserStop);
            return kStopped;
        }
        if (result == kTooLong) return kTooLong;
        if (result == kDone) return kDone;
        if (result == kOverdue || OutOfTime()) return kNoAnswer;
        // A bad check or a time-out: the answer byte has already asked for the frame again.
    }
    return kNoAnswer;
}

int32_t Protocol::SendData(const uint8_t* data, uint32_t length) {
    crc_mode_ = 0;
    if (line_.UsbMode()) return Usb().SendData(data, length);
    if (length > kMaxSerialTransfer) {
        // Block numbers would run into the last-block and abandon numbers.
        SetErrorCode(ErrBadLength);
        return kNoAnswer;
    }
    g_start_tick.store(platform::GetClock().TickMs());
    uint32_t offset = 0;
    for (uint32_t ordinal = 1;; ++ordinal) {
        SetCurrentBlock(static_cast<int32_t>(ordinal));
        uint32_t rest = length - offset;
        if (rest <= kMaxPayload) {
            int32_t result = SendFrameRetry(data + offset, static_cast<uint16_t>(rest), kLastBlock);
            update_count_.fetch_add(1);
            return result;
        }
        int32_t result = SendFrameRetry(data + offset, kMaxPayload, static_cast<uint16_t>(ordinal));
        update_count_.fetch_add(1);
        if (result != kDone) return result;
        offset += kMaxPayload;
    }
}

int32_t Protocol::ReceiveData(uint8_t* buffer, uint32_t room, int32_t* received) {
    crc_mode_ = 0;
    if (line_.UsbMode()) return Usb().ReceiveMessage(buffer, room, received);
    *received = 0;
    g_start_tick.store(platform::GetClock().TickMs());
    uint32_t expected = 1;
    uint32_t total = 0;
    int repeats = 0;
    // The whole reply: the frames its room holds and one more, each within its own deadline.  A
    // handheld that sends frames slowly, or repeats them, cannot stretch one reply beyond that.
    platform::Clock& clock = platform::GetClock();
    const uint32_t start = clock.TickMs();
    const uint64_t reply_limit = (static_cast<uint64_t>(room) / kMaxPayload + 2) * FrameDeadlineMs();
    for (;;) {
        if (clock.TickMs() - start >= reply_limit || DeadlinePassed()) {
            SetErrorCode(ErrTimeout);
            *received = static_cast<int32_t>(total);
            return kNoAnswer;
        }
        SetCurrentBlock(static_cast<int32_t>(expected));
        uint32_t length = 0;
        uint16_t block = 0;
        int32_t result = ReceiveFrameRetry(buffer + total, room - total, &length, &block);
        if (result != kDone) {
            *received = static_cast<int32_t>(total);
            return result;
        }
        if (block == kAbandonBlock) {
            *received = static_cast<int32_t>(total);
            return kStopped;
        }
        if (block == kLastBlock) {
            total += length;
            *received = static_cast<int32_t>(total);
            return kDone;
        }
        if (block == expected) {
            total += length;
            ++expected;
            repeats = 0;
            continue;
        }
        if (block > expected || ++repeats > kMaxRepeats) {
            // A block went missing: what was taken has a hole in it.
            SetErrorCode(ErrPacketLost);
            *received = static_cast<int32_t>(total);
            return kLostBlock;
        }
        // An earlier block sent again after its answer was lost: acknowledged and dropped.
    }
}

int32_t Protocol::SendStream(platform::File& file, uint32_t length, bool mid) {
    if (line_.UsbMode()) {
        crc_mode_ = 0;
        return Usb().SendStream(file, length, mid);
    }
    if (length > kMaxSerialTransfer) {
        SetErrorCode(ErrBadLength);
        crc_mode_ = 0;
        return kNoAnswer;
    }
    HcSetExitTime(2000, 3000);
    int32_t result = kDone;
    uint8_t chunk[kMaxPayload];
    uint32_t offset = 0;
    for (uint32_t ordinal = 1;; ++ordinal) {
        SetCurrentBlock(static_cast<int32_t>(ordinal));
        uint32_t rest = length - offset;
        bool last = rest <= kMaxPayload;
        uint16_t size = static_cast<uint16_t>(last ? rest : kMaxPayload);
        if (file.Read(chunk, size) != size) {
            SetErrorCode(ErrReadFile);
            result = kLocalFile;
            break;
        }
        if (mid && ordinal == 1 && size > 0) chunk[0] = 0xF4;
        result = SendFrameRetry(chunk, size, last ? kLastBlock : static_cast<uint16_t>(ordinal));
        // Only the handheld knows whether the last frame arrived; the caller asks it.
        if (last && result == kNoAnswer) result = kLastUnanswered;
        if (result != kDone || last) break;
        offset += size;
    }
    HcSetExitTime(500, 3000);
    crc_mode_ = 0;
    return result;
}

int32_t Protocol::ReceiveStream(platform::File& file, bool mid, uint32_t limit) {
    if (line_.UsbMode()) {
        crc_mode_ = 0;
        return Usb().ReceiveStream(file, mid, limit);
    }
    int32_t result = kDone;
    uint8_t chunk[kMaxPayload];
    uint32_t expected = 1;
    uint32_t total = 0;
    int repeats = 0;
    for (;;) {
        SetCurrentBlock(static_cast<int32_t>(expected));
        uint32_t length = 0;
        uint16_t block = 0;
        result = ReceiveFrameRetry(chunk, kMaxPayload, &length, &block);
        if (result != kDone) break;
        if (mid && expected == 1 && length > 0) chunk[0] = 0xF5;
        if (block == kAbandonBlock) {
            result = kStopped;
            break;
        }
        if (block == kLastBlock || block == expected) {
            // The handheld announced the size: nothing past it is taken, and a numbered block (more
            // follows, at least one byte) must leave room for the rest.  So an announced 0 takes
            // only an empty last block.
            const uint64_t after = static_cast<uint64_t>(total) + length;
            if (after > limit || (block != kLastBlock && after >= limit)) {
                SetErrorCode(ErrBadLength);
                result = kOverSize;
                break;
            }
            if (file.Write(chunk, length) != length) {
                SetErrorCode(ErrWriteFile);
                result = kLocalFile;
                break;
            }
            total += length;
            if (block == kLastBlock) break;
            ++expected;
            repeats = 0;
            continue;
        }
        if (block > expected || ++repeats > kMaxRepeats) {
            SetErrorCode(ErrPacketLost);
            result = kLostBlock;
            break;
        }
    }
    crc_mode_ = 0;
    return result;
}

void Protocol::SetArgumentText(const char* text) {
    size_t n = text != nullptr ? strnlen(text, sizeof block_.argument) : 0;
    if (n > 0) std::memcpy(block_.argument, text, n);
    if (n < sizeof block_.argument) block_.argument[n] = 0;
}

int32_t Protocol::SendCommandBlock(uint8_t command, uint8_t sub_command, uint8_t value) {
    if (line_.UsbMode()) return Usb().SendCommand(command, sub_command, nullptr, 0);
    block_.command = command;
    block_.sub_command = sub_command;
    block_.value = value;
    return SendData(reinterpret_cast<const uint8_t*>(&block_), sizeof block_);
}

int32_t Protocol::SendDataCommand(uint8_t command, uint8_t sub_command, uint8_t value) {
    if (line_.UsbMode()) return Usb().SendCommand(command, sub_command, nullptr, 0);
    block_.command = command;
    block_.sub_command = sub_command;
    block_.value = value;
    crc_mode_ = 0;
    g_start_tick.store(platform::GetClock().TickMs());
    SetCurrentBlock(1);
    uint32_t attempts = attempts_.load();
    if (attempts == 0) attempts = 1;
    const uint8_t settle = 0;
    for (uint32_t attempt = 1;; ++attempt) {
        int32_t result = SendFrame(reinterpret_cast<const uint8_t*>(&block_), sizeof block_, kLastBlock);
        update_count_.fetch_add(1);
        if (StopRequested()) {
            SetErrorCode(ErrUserStop);
            return kStopped;
        }
        if (result == kDone) return kDone;
        if (attempt >= attempts || OutOfTime()) return kNoAnswer;
        line_.Purge();
        Pause(g_tuning.retry_pause_ms.load());
        // Taken as the awaited data or answered as a stray frame: either way the handheld is back at
        // its commands.  Its outcome is not looked at: a handheld still waiting after every copy failed
        // has given its data up by its own count of attempts.
        int32_t settled = SendFrameRetry(&settle, 0, kLastBlock);
        update_count_.fetch_add(1);
        if (settled == kStopped) return kStopped;
        if (OutOfTime()) return kNoAnswer;
        line_.Purge();
        Pause(g_tuning.retry_pause_ms.load());
    }
}

}  // namespace tarvix::bf
