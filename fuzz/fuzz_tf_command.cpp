// A text-frame command on the serial line, with everything the handheld sends taken from the input: the
// command primitive (or the upload command with its rounds) runs over an in-memory port on a clock that
// moves only when the library waits.  Whatever the handheld sends, the call ends within the time its
// waits and attempts allow, the PC writes nothing but its command packets, the abort frame and answer
// bytes, and a status comes out only when the handheld sent a whole reply naming the command.
//
// Input: one selector byte (bit 7: the upload command; else the command of the table at the low bits),
// then one chunk per write of the PC: a delay byte (the chunk's bytes arrive that many times 8 ms after
// the write; 255: the write itself fails and they arrive at once), a length byte and that many bytes.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/serial.h"
#include "textframe/commands.h"
#include "textframe/frame_codec.h"
#include "textframe/frame_transfer.h"
#include "textframe/link_status.h"
#include "textframe/serial_line.h"
#include "textframe/timing.h"

namespace {

using namespace tarvix;
using namespace tarvix::tf;
using Bytes = std::vector<uint8_t>;

struct Sent {
    uint8_t command;
    uint8_t sub;
    bool reply;  // answered by a status reply
};
// Every command answered by a status reply, and two that are not.
constexpr Sent kCommands[] = {
    {CmdUploadEnd, 0, true},           {CmdFile, SubUpload, true},   {CmdFile, SubDownload, true},
    {CmdFile, SubDelete, true},        {CmdFile, SubFileSize, true}, {CmdFile, SubRemoveDir, true},
    {CmdFile, SubMakeDir, true},       {CmdFile, SubRun, true},      {CmdLinkTest, 0, false},
    {CmdFile, SubDeviceNumber, false},
};
constexpr uint8_t kUploadFlags[4] = {0, 0, 0, 0};

platform::FakeClock g_clock;

// The handheld's end: chunk k answers the PC's write number k.
class ScriptedPort final : public platform::SerialPort {
  public:
    struct Chunk {
        uint32_t delay_ms = 0;
        bool write_fails = false;
        Bytes bytes;
    };
    explicit ScriptedPort(std::vector<Chunk> chunks) : chunks_(std::move(chunks)) {}

    bool Open(const std::string&, uint32_t) override { return open_ = true; }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    bool SetBaudRate(uint32_t) override { return true; }
    size_t QueuedBytes() override {
        Arrive();
        return arrived_.size();
    }
    bool TakeLineErrors() override { return false; }
    void Purge() override {
        Arrive();
        arrived_.clear();
    }
    size_t ReadAvailable(uint8_t* buffer, size_t size) override {
        Arrive();
        const size_t n = std::min(size, arrived_.size());
        std::copy_n(arrived_.begin(), n, buffer);
        read_.insert(read_.end(), arrived_.begin(), arrived_.begin() + static_cast<std::ptrdiff_t>(n));
        arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }
    bool WaitReadable(uint32_t timeout_ms, const std::atomic<bool>*) override {
        Arrive();
        if (!arrived_.empty()) return true;
        // Time passes up to the next arrival or the end of the wait, whichever comes first.
        uint64_t until = uint64_t{g_clock.TickMs()} + timeout_ms;
        for (const Pending& p : pending_) until = std::min(until, p.due);
        g_clock.SetTick(static_cast<uint32_t>(until));
        Arrive();
        return !arrived_.empty();
    }
    size_t Write(const uint8_t* data, size_t size, uint32_t) override {
        writes_.emplace_back(data, data + size);
        const size_t k = writes_.size() - 1;
        if (k >= chunks_.size()) return size;
        const Chunk& c = chunks_[k];
        pending_.push_back({uint64_t{g_clock.TickMs()} + c.delay_ms, c.bytes});
        return c.write_fails ? 0 : size;
    }

    const std::vector<Bytes>& writes() const { return writes_; }
    const Bytes& read() const { return read_; }

  private:
    struct Pending {
        uint64_t due;
        Bytes bytes;
    };
    void Arrive() {
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->due <= g_clock.TickMs()) {
                arrived_.insert(arrived_.end(), it->bytes.begin(), it->bytes.end());
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::vector<Chunk> chunks_;
    std::vector<Pending> pending_;
    std::deque<uint8_t> arrived_;
    std::vector<Bytes> writes_;
    Bytes read_;
    bool open_ = false;
};

Bytes FrameOf(uint32_t number, const uint8_t* payload, size_t size) {
    Bytes frame(codec::kMaxFrame);
    frame.resize(codec::EncodeFrame(number, payload, size, frame.data()));
    return frame;
}

Bytes PacketFrame(uint8_t command, uint8_t sub, uint16_t length, const uint8_t* data) {
    const auto packet = BuildCommandPacket(command, sub, length, data);
    return FrameOf(codec::kLastBlock, packet.data(), packet.size());
}

struct Decoded {
    size_t at;
    uint32_t number;
    Bytes payload;
};

// Every frame with a good check that a receiver could take from these bytes: one starts at each '#'.
std::vector<Decoded> FramesIn(const Bytes& line) {
    std::vector<Decoded> frames;
    for (size_t at = 0; at < line.size(); ++at) {
        if (line[at] != codec::kStart) continue;
        codec::FrameDecoder decoder;
        decoder.Reset();
        for (size_t i = at; i < line.size(); ++i) {
            if (i > at && line[i] == codec::kStart) break;  // a frame of its own
            decoder.Feed(line[i]);
            if (decoder.state() == codec::FrameDecoder::State::Complete) break;
        }
        if (decoder.Finish() == codec::FrameDecoder::Ok) {
            frames.push_back(
                {at, decoder.number(), Bytes(decoder.payload(), decoder.payload() + decoder.payload_size())});
        }
    }
    return frames;
}

// True when frames numbered 1, 2, ... and then the last one, in this order on the line, carry exactly
// `reply` between them (each block but the last one not empty; the last one may be empty).
bool CarriedWhole(const std::vector<Decoded>& frames, const Bytes& reply, size_t from = 0, size_t done = 0,
                  uint32_t number = 1) {
    for (const Decoded& f : frames) {
        if (f.at < from || done + f.payload.size() > reply.size()) continue;
        if (!std::equal(f.payload.begin(), f.payload.end(),
                        reply.begin() + static_cast<std::ptrdiff_t>(done)))
            continue;
        const size_t now = done + f.payload.size();
        if (f.number == codec::kLastBlock) {
            if (now == reply.size()) return true;
        } else if (f.number == number && !f.payload.empty() &&
                   CarriedWhole(frames, reply, f.at + 1, now, number + 1)) {
            return true;
        }
    }
    return false;
}

// The longest the call may take by the waits and attempts it has (virtual milliseconds).
uint64_t TimeBoundMs(bool upload) {
    const Timing& t = GetTiming();
    const uint64_t line_ms = (uint64_t{codec::kMaxFrame} * 10 * 1000 + 115199) / 115200;
    const uint64_t frame_wait = t.status_reply_timeout_ms + line_ms + 2ull * t.byte_timeout_ms;
    // A 3-byte reply comes in at most 4 frames (3 of one byte and an empty last one), each awaited
    // receive_attempts times.
    const uint64_t reply = 4ull * t.receive_attempts * frame_wait;
    const uint64_t command = uint64_t{t.default_attempts} * t.default_timeout_ms + reply;
    if (!upload) return command;
    // Three rounds: the abort frame, a link test, the packet once, the reply.
    const uint64_t link_test = uint64_t{t.default_attempts} * t.default_timeout_ms;
    return 3 * (t.default_timeout_ms + link_test + t.default_timeout_ms + reply);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::SetClock(&g_clock);
    AllocFrameBuffer();
    Status().port.store(1);
    Status().open.store(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool upload = (data[0] & 0x80) != 0;
    const Sent c =
        upload ? Sent{CmdFile, SubUpload, true} : kCommands[(data[0] & 0x7F) % std::size(kCommands)];
    std::vector<ScriptedPort::Chunk> chunks;
    for (size_t at = 1; at + 2 <= size;) {
        ScriptedPort::Chunk chunk;
        chunk.write_fails = data[at] == 0xFF;
        chunk.delay_ms = chunk.write_fails ? 0 : uint32_t{data[at]} * 8;
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        chunk.bytes.assign(data + at + 2, data + at + 2 + length);
        chunks.push_back(std::move(chunk));
        at += 2 + length;
    }
    auto owned = std::make_unique<ScriptedPort>(std::move(chunks));
    ScriptedPort* port = owned.get();
    Line().UsePort(std::move(owned));
    if (!Line().Open(1, 115200)) __builtin_trap();
    g_clock.SetTick(0);

    // The status lives alone on the heap, so that a write beside it is seen.
    auto status = std::make_unique<uint8_t>(0xA5);
    const bool ok = upload ? UploadCommand(c.sub, sizeof kUploadFlags, kUploadFlags, status.get())
                           : HcCommand(c.command, c.sub, status.get());
    const uint64_t spent = g_clock.TickMs();

    if (spent > TimeBoundMs(upload)) __builtin_trap();
    // The PC writes its packet (the upload command also the abort frame and its link test) and
    // answer bytes, nothing else, and each packet no more often than its attempts allow.
    const Bytes packet = upload ? PacketFrame(c.command, c.sub, sizeof kUploadFlags, kUploadFlags)
                                : PacketFrame(c.command, c.sub, 0, nullptr);
    const Bytes link_test = PacketFrame(CmdLinkTest, 0, 0, nullptr);
    const Bytes abort(codec::kAbortFrame.begin(), codec::kAbortFrame.end());
    size_t packets = 0;
    for (const Bytes& w : port->writes()) {
        if (w == packet) {
            ++packets;
        } else if (upload && (w == link_test || w == abort)) {
        } else if (!(w.size() == 1 && (w[0] == codec::kAck || w[0] == codec::kNak))) {
            __builtin_trap();
        }
    }
    if (packets > (upload ? 3u : GetTiming().default_attempts)) __builtin_trap();

    if (!ok || !c.reply) {
        // No status without a reply: the caller's byte reads 0.
        if (*status != 0) __builtin_trap();
    } else {
        if (!CarriedWhole(FramesIn(port->read()), Bytes{c.command, c.sub, *status})) __builtin_trap();
    }
    // A handheld that takes the packet at once and sends its whole reply gives its status.
    if (!upload) {
        constexpr uint8_t kGiven = 0x2A;
        Bytes first = {codec::kAck};
        const uint8_t reply[] = {c.command, c.sub, kGiven};
        const Bytes frame = FrameOf(codec::kLastBlock, reply, sizeof reply);
        first.insert(first.end(), frame.begin(), frame.end());
        if (size >= 3 + first.size() && data[1] == 0 && data[2] == first.size() &&
            std::equal(first.begin(), first.end(), data + 3)) {
            if (!ok || (c.reply && *status != kGiven)) __builtin_trap();
        }
    }
    Line().UsePort(nullptr);
    return 0;
}
