#include "textframe/frame_transfer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "textframe/frame_codec.h"
#include "textframe/serial_line.h"
#include "textframe/textframe.h"
#include "textframe/workers.h"

namespace tarvix::tf {
namespace {

using codec::kLastBlock;
using codec::kMaxPayload;

// Transfer results; the first outcome of a transfer is the one that stays.
enum TransferResult : int {
    Done = 0,
    CommFailure = 1,
    Stopped = 2,
    TooLong = 3,
    FileFailure = 4,
    PeerAbort = 5,
    Running = 7,
};

// Frame send outcomes.
enum SendOutcome : int {
    SentAck = 0,
    SentNoAnswer = 1,
    SentNak = 3,
    SentWriteFailed = 4,
    SentAbort = 8,
    SendFailed = 10
};
// Data frame receive outcomes.
enum ReceiveOutcome : int { Accepted = 0, Aborted = 2, ReceiveStopped = 8, ReceiveFailed = 9 };

// One frame's wait ends by itself however the handheld sends, in bytes and in time.  Bytes: a
// receiver takes at most 8 longest frames' worth (4208) while looking for one frame.  Time: from the
// first byte on, a frame gets what the longest frame the protocol allows (526 bytes: '#', 8 digits,
// 256 payload bytes all escaped, '$', 4 digits) takes on the line at its rate, 10 bits a byte, plus
// two byte time-outs for pauses inside it.  The byte time-out alone would let a handheld that sends
// one byte just inside it hold each of those bytes' waits in turn (84 minutes over a reply's three
// receives); this way a dribbling or babbling line fails the receive within seconds.
constexpr size_t kMaxBytesPerFrameWait = 8 * codec::kMaxFrame;
constexpr uint64_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr uint32_t kPausesPerFrame = 2;

uint32_t FrameTimeLimitMs() {
    const uint64_t rate = std::max<uint32_t>(Line().BaudRate(), 1);
    const uint64_t line_ms = (uint64_t{codec::kMaxFrame} * kBitsPerByte * 1000 + rate - 1) / rate;
    const uint64_t limit = line_ms + uint64_t{kPausesPerFrame} * GetTiming().byte_timeout_ms;
    return static_cast<uint32_t>(std::min<uint64_t>(limit, 0xFFFFFFF0u));
}

struct Buffers {
    uint8_t frame[codec::kMaxFrame];
    uint8_t block[kMaxPayload];
    codec::FrameDecoder decoder;
};

// Owned by the library's start and stop alone (a plain pointer: no static destructor frees it at exit).
Buffers* g_buffers = nullptr;
std::atomic<bool> g_stop{false};
std::atomic<uint32_t> g_update_count{0};

struct Transfer {
    const uint8_t* send_pos = nullptr;
    uint8_t* receive_pos = nullptr;
    platform::File* file = nullptr;
    uint32_t remaining = 0;
    uint32_t moved = 0;
    std::atomic<uint32_t> number{0};       // sending: the block being sent; receiving: the one expected
    std::atomic<uint32_t> block_count{0};  // for the percentage; 0 when unknown
    uint32_t block_length = 0;
    uint32_t accepted = 0;  // number of the frame last accepted
    uint32_t resends = 0;   // sends of frames beyond the first send of each
    bool last_unanswered = false;
    bool memory = true;
    bool sending = true;
    int result = Running;
    LinkTimeouts timeouts{1000, 3};
};

Transfer g_transfer;

void SetResult(int result) {
    if (g_transfer.result == Running) g_transfer.result = result;
}

int SendFrameOnce(size_t length) {
    Transfer& t = g_transfer;
    // Past the limit of the exchanges in hand nothing more goes out: the handheld's answer could no
    // longer be awaited.
    if (DeadlinePassed()) return SentNoAnswer;
    SerialLine& line = Line();
    line.Purge();
    const bool abort = !t.memory && g_stop.load();
    if (abort) {
        line.Write(codec::kAbortFrame.data(), codec::kAbortFrame.size());
    } else if (!line.Write(g_buffers->frame, length)) {
        return SentWriteFailed;
    }
    uint8_t answer = 0;
    // A background operation's command or small data frame gives up its answer wait at a stop; a
    // file frame's answer (and the abort frame's) is awaited, so the handheld learns of the stop.
    const bool stoppable = t.memory && OnWorkerThread();
    const int read = line.ReadByte(&answer, WaitWithinDeadline(t.timeouts.timeout_ms), stoppable);
    if (read == ReadStopped) return SentNoAnswer;
    if (read == ReadByteOk && answer != codec::kAck) return SentNak;
    if (abort) return SentAbort;
    return read == ReadByteOk ? SentAck : SentNoAnswer;
}

int SendFrame(size_t length) {
    const uint32_t attempts = std::max<uint32_t>(1, g_transfer.timeouts.attempts);
    for (uint32_t i = 0; i < attempts; ++i) {
        if (i > 0) ++g_transfer.resends;
        const int outcome = SendFrameOnce(length);
        if (outcome == SentAck || outcome == SentAbort) return outcome;
        // A stopped background operation repeats no unanswered frame.
        if (OnWorkerThread() && g_stop.load()) break;
        if (DeadlinePassed()) break;
    }
    return SendFailed;
}

// One frame: 0 complete with a matching check, 1 nothing came, 5 check mismatch, 7 incomplete or
// garbled, 8 stopped.
int ReceiveFrame() {
    codec::FrameDecoder& decoder = g_buffers->decoder;
    decoder.Reset();
    SerialLine& line = Line();
    platform::Clock& clock = platform::GetClock();
    const uint32_t byte_timeout = std::max<uint32_t>(GetTiming().byte_timeout_ms, 1);
    const uint32_t time_limit = FrameTimeLimitMs();
    uint32_t first_byte_at = 0;
    uint32_t timeout = g_transfer.timeouts.timeout_ms;
    for (size_t fed = 0; fed < kMaxBytesPerFrameWait; ++fed) {
        uint8_t byte = 0;
        if (timeout != kNoWait && DeadlinePassed()) return decoder.Finish();
        const int read = line.ReadByte(&byte, WaitWithinDeadline(timeout), true);
        if (read == ReadStopped) return 8;
        if (read != ReadByteOk) return decoder.Finish();
        if (fed == 0) first_byte_at = clock.TickMs();
        decoder.Feed(byte);
        // A frame counts as complete only when nothing further already waits behind its check.
        if (decoder.state() == codec::FrameDecoder::State::Complete) {
            timeout = kNoWait;
            continue;
        }
        const uint32_t spent = clock.TickMs() - first_byte_at;
        if (spent >= time_limit) return codec::FrameDecoder::Garbled;
        timeout = std::min(byte_timeout, time_limit - spent);
    }
    return codec::FrameDecoder::Garbled;
}

int ReceiveDataFrame() {
    Transfer& t = g_transfer;
    const codec::FrameDecoder& decoder = g_buffers->decoder;
    SerialLine& line = Line();
    const uint32_t attempts = std::max<uint32_t>(1, GetTiming().receive_attempts);
    for (uint32_t attempt = 0; attempt < attempts && !DeadlinePassed(); ++attempt) {
        const int outcome = ReceiveFrame();
        if (outcome == 8) return ReceiveStopped;
        if (outcome == codec::FrameDecoder::BadCheck) {
            line.SendByte(codec::kNak);
            continue;
        }
        if (outcome != codec::FrameDecoder::Ok) continue;
        const uint32_t number = decoder.number();
        const uint32_t expected = t.number.load();
        if (number == expected || number == kLastBlock) {
            line.SendByte(codec::kAck);
            t.accepted = number;
            return Accepted;
        }
        if (number == codec::kAbortBlock) return Aborted;
        if (number > expected) return ReceiveFailed;  // a block was skipped
        line.SendByte(codec::kAck);                   // a repeat of a block already taken
    }
    return ReceiveFailed;
}

void Begin(bool memory, bool sending, uint32_t length, const LinkTimeouts* timeouts) {
    Transfer& t = g_transfer;
    t.send_pos = nullptr;
    t.receive_pos = nullptr;
    t.file = nullptr;
    t.number.store(1);
    t.block_count.store(0);
    t.moved = 0;
    t.accepted = 0;
    t.memory = memory;
    t.sending = sending;
    t.remaining = length;
    t.result = Running;
    t.timeouts = timeouts != nullptr ? *timeouts : DefaultTimeouts();
    // A stop asked while nothing ran is forgotten by the caller's next transfer; a background
    // operation (or a listing, HeldStop) keeps its stop from its start to its end, so one that
    // arrived before this transfer (during a look-up or a command) ends it at once.
    if (!StopHeld()) g_stop.store(false);
}

void End() {
    Transfer& t = g_transfer;
    t.block_count.store(0);
    t.remaining = 0;
    t.send_pos = nullptr;
    t.receive_pos = nullptr;
    t.file = nullptr;
    if (!StopHeld()) g_stop.store(false);
}

bool NextBlock() {
    Transfer& t = g_transfer;
    if (t.number.load() == kLastBlock) return false;
    if (t.sending) {
        if (t.remaining <= kMaxPayload) {
            t.number.store(kLastBlock);
            t.block_length = t.remaining;
        } else {
            t.block_length = kMaxPayload;
        }
        if (!t.memory && t.block_length > 0 &&
            t.file->Read(g_buffers->block, t.block_length) != t.block_length) {
            SetResult(FileFailure);
            return false;
        }
        return true;
    }
    t.block_length = std::min<uint32_t>(t.remaining, kMaxPayload);
    return true;
}

bool SendBlock() {
    Transfer& t = g_transfer;
    const uint8_t* data = t.memory ? t.send_pos : g_buffers->block;
    const size_t length = codec::EncodeFrame(t.number.load(), data, t.block_length, g_buffers->frame);
    const int outcome = SendFrame(length);
    if (outcome == SentAck) return true;
    // The last frame went out and only its answer is missing: the handheld may hold the data whole.
    t.last_unanswered = outcome == SendFailed && t.number.load() == kLastBlock;
    SetResult(outcome == SentAbort ? Stopped : CommFailure);
    return false;
}

bool ReceiveBlock() {
    switch (ReceiveDataFrame()) {
        case Accepted:
            return true;
        case Aborted:
            SetResult(PeerAbort);
            return false;
        case ReceiveStopped:
            SetResult(Stopped);
            return false;
        default:
            SetResult(CommFailure);
            return false;
    }
}

void EndBlock() {
    Transfer& t = g_transfer;
    uint32_t delivered = t.block_length;
    if (t.sending) {
        if (t.number.load() == kLastBlock) {
            SetResult(Done);
        } else {
            t.number.fetch_add(1);
        }
        if (t.memory) t.send_pos += delivered;
    } else {
        const codec::FrameDecoder& decoder = g_buffers->decoder;
        const size_t payload = decoder.payload_size();
        delivered = static_cast<uint32_t>(std::min<size_t>(t.block_length, payload));
        if (payload > t.block_length) {
            // The frame was acknowledged already; keep what fits and end the transfer.
            SetResult(TooLong);
            t.number.store(kLastBlock);
        } else if (t.accepted == kLastBlock) {
            SetResult(Done);
            t.number.store(kLastBlock);
        } else if (payload == 0) {
            // An empty block that is not the last would let the handheld hold the transfer forever.
            SetResult(CommFailure);
            t.number.store(kLastBlock);
        } else {
            t.number.store(t.accepted + 1);
        }
        if (delivered > 0) {
            if (t.memory) {
                std::memcpy(t.receive_pos, decoder.payload(), delivered);
                t.receive_pos += delivered;
            } else if (t.file->Write(decoder.payload(), delivered) != delivered) {
                SetResult(FileFailure);
                t.number.store(kLastBlock);
                delivered = 0;
            }
        }
    }
    // Counts advance by what the frame actually delivered, so a short reply is never reported as full.
    t.remaining -= std::min(t.remaining, delivered);
    t.moved += delivered;
}

bool Run(uint32_t* moved) {
    Transfer& t = g_transfer;
    while (NextBlock() && (t.sending ? SendBlock() : ReceiveBlock())) {
        EndBlock();
        if (t.sending && t.memory) g_update_count.fetch_add(1);
    }
    if (moved != nullptr) *moved = t.moved;
    const bool ok = t.result == Done;
    End();
    return ok;
}

bool Ready(uint32_t* moved) {
    if (moved != nullptr) *moved = 0;
    // What a transfer leaves about its sends is about that transfer alone, also one that never began.
    g_transfer.resends = 0;
    g_transfer.last_unanswered = false;
    return g_buffers != nullptr && Line().IsOpen();
}

}  // namespace

bool ComSendMemory(const uint8_t* data, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts) {
    if (!Ready(moved) || (data == nullptr && size > 0)) return false;
    Begin(true, true, size, timeouts);
    g_transfer.send_pos = data;
    return Run(moved);
}

bool ComReceiveMemory(uint8_t* buffer, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts) {
    if (!Ready(moved) || (buffer == nullptr && size > 0)) return false;
    Begin(true, false, size, timeouts);
    g_transfer.receive_pos = buffer;
    return Run(moved);
}

bool ComSendStream(platform::File& file, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts) {
    if (!Ready(moved) || !file.IsOpen()) return false;
    const int64_t position = file.Tell();
    const std::optional<uint64_t> length = file.Size();
    if (position < 0 || !length.has_value()) return false;
    const uint64_t available = *length > static_cast<uint64_t>(position) ? *length - position : 0;
    if (available > 0xFFFFFFFFu) return false;  // the handheld counts in 32 bits
    Begin(false, true, 0, timeouts);
    Transfer& t = g_transfer;
    t.file = &file;
    if (size == 0) {
        t.remaining = static_cast<uint32_t>(available);
    } else {
        t.remaining = static_cast<uint32_t>(std::min<uint64_t>(available, size));
        t.block_count.store(static_cast<uint32_t>((uint64_t{t.remaining} + 255) / 256));
    }
    return Run(moved);
}

bool ComReceiveStream(platform::File& file, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts) {
    if (!Ready(moved) || !file.IsOpen()) return false;
    // The size the handheld announced is all a file receive takes: a handheld that sends more
    // (frames for as long as it likes, were the receive open-ended) fails it with the bytes up to
    // that size written.  An announced 0 takes only an empty last frame.
    Begin(false, false, size, timeouts);
    Transfer& t = g_transfer;
    t.file = &file;
    t.block_count.store(static_cast<uint32_t>((uint64_t{size} + 255) / 256));
    return Run(moved);
}

int32_t TransferPercent() {
    const uint32_t count = g_transfer.block_count.load();
    const uint32_t number = g_transfer.number.load();
    if (count == 0 || number == 0) return 0;
    if (number == kLastBlock) return static_cast<int32_t>((uint64_t{count} - 1) * 100 / count);
    // Short blocks may need more frames than announced: the percentage still stays below 100.
    return static_cast<int32_t>(std::min<uint64_t>((uint64_t{number} - 1) * 100 / count, 99));
}

std::atomic<bool>& StopFlag() {
    return g_stop;
}

void StopSerialTransfer() {
    g_stop.store(true);
}

uint32_t UpdateCount() {
    return g_update_count.load();
}

void ResetUpdateCount() {
    g_update_count.store(0);
}

uint32_t LastSendResends() {
    return g_transfer.resends;
}

bool LastFrameUnanswered() {
    return g_transfer.last_unanswered;
}

bool ComSendAbortFrame(const LinkTimeouts* timeouts) {
    if (g_buffers == nullptr || !Line().IsOpen() || DeadlinePassed()) return false;
    SerialLine& line = Line();
    line.Purge();
    if (!line.Write(codec::kAbortFrame.data(), codec::kAbortFrame.size())) return false;
    const LinkTimeouts t = timeouts != nullptr ? *timeouts : DefaultTimeouts();
    uint8_t answer = 0;
    return line.ReadByte(&answer, WaitWithinDeadline(t.timeout_ms), false) == ReadByteOk &&
           answer == codec::kAck;
}

void AddUpdateCount() {
    g_update_count.fetch_add(1);
}

bool AllocFrameBuffer() {
    Line().WatchStop(&g_stop);
    delete g_buffers;
    g_buffers = new (std::nothrow) Buffers();
    if (g_buffers == nullptr) {
        FreeFrameBuffer();
        return false;
    }
    return true;
}

void FreeFrameBuffer() {
    delete g_buffers;
    g_buffers = nullptr;
    Line().WatchStop(nullptr);
    Line().Close();
}

}  // namespace tarvix::tf
