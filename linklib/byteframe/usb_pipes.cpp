// The byte-frame family's USB pipe transport: commands and short data as 512-byte message packets on
// a pipe opened for each packet, file data as whole USB blocks on a pipe opened once per file.  Every
// read and write is announced to the driver on the device handle first.  No checks and no answer
// bytes: the driver delivers or fails.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "byteframe/line.h"
#include "byteframe/protocol.h"
#include "byteframe/transfer_status.h"
#include "byteframe/usb_packets.h"
#include "common/codes.h"
#include "common/lasting.h"
#include "common/records.h"
#include "platform/clock.h"
#include "platform/usb.h"

namespace tarvix::bf {
namespace {

namespace usb = platform::usb;

constexpr char kInterface[] = "{77F49320-16EF-11D2-AD51-006097B514DD}";
constexpr char kReadPipe[] = "PIPE02";
constexpr char kWritePipe[] = "PIPE03";
constexpr size_t kPathRoom = 256;  // the device path, "\" and the pipe name with its terminator
constexpr uint32_t kDescriptorControl = 0x220000;
constexpr uint32_t kPipeResetControl = 0x220008;
constexpr uint32_t kTransferControl = 0x80002010u;
constexpr size_t kDescriptorSize = 46;
constexpr uint32_t kPacketBuffer = 4096;
constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kMessagePacket = 512;
constexpr uint32_t kMessagePayload = kMessagePacket - kHeaderSize;  // 496
constexpr uint32_t kSplitCall = 64;  // 512-byte mode moves every transfer in calls of this size
constexpr uint8_t kReadDirection = 0x81, kWriteDirection = 0x80;
constexpr int kMaxEmptyPackets = 64;  // empty packets that say more follows, before the message is refused

// The packet header's fields.
constexpr size_t kFirst = 0, kCommand = 2, kSub = 3, kLength = 4, kZero = 6, kMore = 7;

class PipeTransport final : public UsbTransport {
  public:
    int32_t SendCommand(uint8_t command, uint8_t sub_command, const uint8_t* data, uint16_t length) override {
        out_[kCommand] = command;
        out_[kSub] = sub_command;
        return SendMessage(data, data != nullptr ? length : 0, 1);
    }

    int32_t SendData(const uint8_t* data, uint32_t length) override {
        return SendMessage(data, data != nullptr ? length : 0, 0);
    }

    int32_t ReceiveMessage(uint8_t* buffer, uint32_t room, int32_t* received) override {
        int32_t scratch = 0;
        if (received == nullptr) received = &scratch;
        *received = 0;
        // Packets that come slowly, each one just in time, cannot stretch one message: the room's
        // packets and one more, each within one deadline (and all within the caller's, when it set one).
        StartDeadline(Proto().WithinDeadline((static_cast<uint64_t>(room) / kMessagePayload + 2) *
                                             Proto().FrameDeadlineMs()));
        const DeadlineEnd end{deadline_set_};
        PacketCollector message(buffer, room);
        for (;;) {
            if (int32_t r = ReadPacket(); r != 0) return r;
            const PacketCollector::Verdict verdict = message.Take(in_, kMessagePacket);
            *received = static_cast<int32_t>(message.count());
            if (verdict != PacketCollector::Verdict::More) {
                return verdict == PacketCollector::Verdict::TooLong ? TooLong() : 0;
            }
        }
    }

    int32_t SendStream(platform::File& file, uint32_t length, bool mid) override {
        if (int32_t r = OpenPipes(kWritePipe); r != 0) return r;
        int32_t result = 0;
        uint32_t sent = 0;
        const bool big_blocks = block_size_ == kPacketBuffer;
        for (uint32_t ordinal = 1;; ++ordinal) {
            SetCurrentBlock(static_cast<int32_t>(ordinal));
            const uint32_t rest = length - sent;
            uint32_t take = payload_size_;
            // The first packet of a file that does not fit one packet leaves 16 bytes free.
            if (ordinal == 1 && big_blocks && rest > payload_size_) take = payload_size_ - kHeaderSize;
            const bool more = rest > take;
            if (!more) take = rest;
            uint8_t* payload = out_ + kHeaderSize;
            std::memset(payload, 0, kPacketBuffer - kHeaderSize);
            if (file.Read(payload, take) != take) {
                SetErrorCode(ErrReadFile);
                result = kLocalFile;
                break;
            }
            if (mid && ordinal == 1 && take > 0) payload[0] = 0xF4;
            // Command and sub-command stay those of the last command packet (the upload command).
            out_[kZero] = 0;
            PutLe16(out_ + kFirst, 0);
            out_[kMore] = more ? 1 : 0;
            PutLe16(out_ + kLength, static_cast<uint16_t>(take));
            result = Move(out_, block_size_, false);
            if (result != 0 || !more) break;
            sent += take;
        }
        ClosePipes();
        return result;
    }

    int32_t ReceiveStream(platform::File& file, bool mid, uint32_t limit) override {
        if (int32_t r = OpenPipes(kReadPipe); r != 0) return r;
        int32_t result = 0;
        auto collected = std::make_unique<uint8_t[]>(kPacketBuffer);
        uint64_t total = 0;
        for (uint32_t ordinal = 1;; ++ordinal) {
            SetCurrentBlock(static_cast<int32_t>(ordinal));
            uint32_t count = 0;
            uint8_t more = 0;
            // One ordinal's blocks: the room holds at most one block's payload, but empty blocks
            // that say more follows could come slowly for ever.
            StartDeadline(2ull * Proto().FrameDeadlineMs());
            result = ReceiveBlocks(collected.get(), payload_size_, &count, &more);
            if (result != 0) break;
            // Nothing past the announced size is written, and a block after which more follows
            // must leave room for it: an announced 0 takes only an empty last block.
            total += count;
            if (total > limit || (more != 0 && total >= limit)) {
                SetErrorCode(ErrBadLength);
                ResetPipe();
                result = kOverSize;
                break;
            }
            if (mid && ordinal == 1 && count > 0) collected[0] = 0xF5;
            if (file.Write(collected.get(), count) != count) {
                SetErrorCode(ErrWriteFile);
                result = kLocalFile;
                break;
            }
            if (more == 0) break;
        }
        ClosePipes();
        deadline_set_ = false;
        return result;
    }

    int32_t ReadChunks(uint8_t* buffer, uint32_t total, uint32_t chunk, uint32_t* read) override {
        uint32_t scratch = 0;
        if (read == nullptr) read = &scratch;
        *read = 0;
        if (chunk == 0 || chunk > 0xFFFF) return kUsbIoFailed;
        while (*read < total) {
            const uint32_t take = std::min(chunk, total - *read);
            if (int32_t r = OpenPipes(kReadPipe); r != 0) return r;
            int32_t r = Move(buffer + *read, take, true, true);
            ClosePipes();
            if (r != 0) return r;
            *read += take;
        }
        return 0;
    }

    uint32_t PayloadSize() const override { return payload_size_; }

  private:
    // The first present interface that opens; `path` gets its device path.
    static std::unique_ptr<usb::Handle> FindDevice(std::string* path) {
        for (const std::string& candidate : usb::FindInterfaces(kInterface)) {
            // The path must leave room for "\" and a pipe name in the path buffer.
            if (candidate.size() + 1 + sizeof kReadPipe > kPathRoom) continue;
            if (auto handle = usb::Open(candidate)) {
                *path = candidate;
                return handle;
            }
        }
        return nullptr;
    }

    // 0 both open; 1 the pipe does not open; 2 the device does not.
    int32_t OpenPipes(const char* pipe_name) {
        ClosePipes();
        std::string path;
        if (FindDevice(&path) == nullptr) return kUsbNoDevice;  // the presence test closes its handle
        pipe_ = usb::Open(path + "\\" + pipe_name);
        if (pipe_ == nullptr) return kUsbNoDevice;
        device_ = FindDevice(&path);
        if (device_ == nullptr) {
            pipe_.reset();
            return kUsbNoDeviceHandle;
        }
        uint8_t descriptor[kDescriptorSize] = {};
        uint32_t returned = 0;
        if (device_->Control(kDescriptorControl, nullptr, 0, descriptor, sizeof descriptor, &returned) &&
            returned >= 45) {
            block_size_ = descriptor[43] == 0x40 && descriptor[44] == 0x00 ? kPacketBuffer : kMessagePacket;
            payload_size_ = block_size_ - kHeaderSize;
        }
        return 0;
    }

    void ClosePipes() {
        pipe_.reset();
        device_.reset();
    }

    void ResetPipe() {
        uint32_t returned = 0;
        if (pipe_ != nullptr) pipe_->Control(kPipeResetControl, nullptr, 0, nullptr, 0, &returned);
    }

    // One announced read or write of `length` bytes on the open pipe (a raw read in one call whatever
    // the block size).
    int32_t Move(uint8_t* bytes, uint32_t length, bool reading, bool raw = false) {
        if (g_stop_flag.load()) {
            ResetPipe();
            return kUsbStopped;
        }
        // The request names the descriptor that follows it in the input (its offset stands where the
        // driver of the other platform takes its address).
        uint8_t request[16 + 6] = {};
        PutLe32(request + 4, 6);
        PutLe32(request + 8, 16);
        PutLe32(request + 12, 0x471);
        PutLe16(request + 16 + 3, static_cast<uint16_t>(length));
        request[16 + 5] = reading ? kReadDirection : kWriteDirection;
        uint32_t returned = 0;
        if (!device_->Control(kTransferControl, request, sizeof request, nullptr, 0, &returned)) {
            return kUsbRequestFailed;
        }
        const bool split = block_size_ == kMessagePacket && !raw;
        const uint32_t call = split ? kSplitCall : length;
        uint32_t done = 0;
        const uint32_t calls = split ? (length + kSplitCall - 1) / kSplitCall : 1;
        for (uint32_t i = 0; i < calls && done < length; ++i) {
            const uint32_t want = std::min(call, length - done);
            size_t moved = 0;
            uint32_t wait = Proto().ByteTimeout();
            if (reading && deadline_set_) {
                const uint64_t elapsed = platform::GetClock().TickMs() - deadline_start_;
                if (elapsed >= deadline_ms_) {
                    ResetPipe();
                    SetErrorCode(ErrTimeout);
                    return kUsbIoFailed;
                }
                wait = static_cast<uint32_t>(std::min<uint64_t>(wait, deadline_ms_ - elapsed));
            }
            const bool ok = reading ? pipe_->Read(bytes + done, want, &moved, wait, &g_stop_flag)
                                    : pipe_->Write(bytes + done, want, &moved);
            if (!ok) {
                ResetPipe();
                return g_stop_flag.load() ? kUsbStopped : kUsbIoFailed;
            }
            done += static_cast<uint32_t>(moved);
        }
        // A transfer cut short leaves stale bytes where its end should be.
        if (done != length) {
            ResetPipe();
            return kUsbIoFailed;
        }
        return 0;
    }

    int32_t WritePacket() {
        if (int32_t r = OpenPipes(kWritePipe); r != 0) return r;
        int32_t r = Move(out_, kMessagePacket, false);
        ClosePipes();
        return r;
    }

    int32_t ReadPacket() {
        if (int32_t r = OpenPipes(kReadPipe); r != 0) return r;
        std::memset(in_, 0, kHeaderSize);
        int32_t r = Move(in_, kMessagePacket, true);
        ClosePipes();
        return r;
    }

    int32_t SendMessage(const uint8_t* data, uint32_t length, uint16_t first) {
        uint32_t offset = 0;
        for (;;) {
            std::memset(out_ + kHeaderSize, 0, kPacketBuffer - kHeaderSize);
            out_[kZero] = 0;
            PutLe16(out_ + kFirst, first);
            const uint32_t rest = length - offset;
            if (first == 0) {
                out_[kCommand] = 0;
                out_[kSub] = 0;
                out_[kMore] = rest > kMessagePayload ? 1 : 0;
            } else {
                out_[kMore] = 0;
            }
            const uint32_t take = std::min(rest, kMessagePayload);
            PutLe16(out_ + kLength, static_cast<uint16_t>(take));
            if (take > 0) std::memcpy(out_ + kHeaderSize, data + offset, take);
            int32_t r = WritePacket();
            if (r != 0 || rest <= kMessagePayload) return r;
            offset += take;
            Proto().AddUpdateCount();
        }
    }

    // Stream blocks collected into `buffer` until the room is used up or a block says nothing follows.
    int32_t ReceiveBlocks(uint8_t* buffer, uint32_t room, uint32_t* count, uint8_t* more) {
        *count = 0;
        *more = 0;
        PacketCollector blocks(buffer, room);
        for (;;) {
            if (int32_t r = Move(in_, block_size_, true); r != 0) return r;
            const PacketCollector::Verdict verdict = blocks.Take(in_, block_size_);
            *count = blocks.count();
            *more = blocks.more();
            if (verdict != PacketCollector::Verdict::More) {
                return verdict == PacketCollector::Verdict::TooLong ? TooLong() : 0;
            }
        }
    }

    // A packet that cannot be taken, named like a frame that cannot: the callers' code for the
    // refusal.
    static int32_t TooLong() {
        SetErrorCode(ErrBadPacket);
        return kUsbTooLong;
    }

    struct DeadlineEnd {
        bool& set;
        ~DeadlineEnd() { set = false; }
    };
    // The deadline of the message or stream ordinal being read, from its first packet on.
    void StartDeadline(uint64_t ms) {
        deadline_start_ = platform::GetClock().TickMs();
        deadline_ms_ = ms;
        deadline_set_ = true;
    }

    std::unique_ptr<usb::Handle> pipe_;
    std::unique_ptr<usb::Handle> device_;
    bool deadline_set_ = false;
    uint32_t deadline_start_ = 0;
    uint64_t deadline_ms_ = 0;
    uint32_t block_size_ = kPacketBuffer;
    uint32_t payload_size_ = kPacketBuffer - kHeaderSize;
    uint8_t out_[kPacketBuffer] = {};
    uint8_t in_[kPacketBuffer] = {};
};

}  // namespace

PacketCollector::Verdict PacketCollector::Take(const uint8_t* packet, uint32_t packet_size) {
    const uint32_t length = GetLe16(packet + kLength);
    // A packet holds its size less the header of payload: a larger length field reads past what came.
    if (length > packet_size - kHeaderSize || length > room_size_ - count_) return Verdict::TooLong;
    if (length > 0) std::memcpy(room_ + count_, packet + kHeaderSize, length);
    count_ += length;
    more_ = packet[kMore];
    if (count_ == room_size_ || more_ == 0) return Verdict::Complete;
    if (length == 0 && ++empty_ > kMaxEmptyPackets) return Verdict::TooLong;
    return Verdict::More;
}

// Built on first use and not destroyed by the static destructors, like the rest of the family's state
// it outlives any caller.
UsbTransport& BuiltInUsb() {
    static Lasting<PipeTransport> transport;
    return *transport;
}

}  // namespace tarvix::bf
