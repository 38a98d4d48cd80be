// The byte-frame protocol: stop-and-wait frames with retries, data transfers cut into 256-byte
// blocks, file streams, command blocks, the time-outs and attempts of the family.
#pragma once

#include <atomic>
#include <cstdint>

#include "byteframe/codec.h"
#include "byteframe/line.h"
#include "platform/files.h"

namespace tarvix::bf {

// Inner results of the transfers.
enum Transfer : int32_t {
    kDone = 0,
    kBadCheck = 2,
    kNoAnswer = 3,
    kTooLong = 4,
    kStopped = 5,    // the stop flag, or the handheld abandoned the transfer (block 0)
    kLostBlock = 6,  // a block came with a number above the expected one (ErrPacketLost)
    kLocalFile = 7,  // the PC file could not be read or written
    kOverSize = 8,   // the handheld sent more file data than it announced (ErrBadLength)
    kOverdue = 9,    // one frame's deadline passed while bytes still came (ReceiveFrame only: its
                     // retries end at once with kNoAnswer)
    // A stream's last frame went out but no good answer came back: the handheld may hold the whole
    // file already (it answers every copy sent after it has gone back to its commands as a stray frame).
    kLastUnanswered = 10,
};

// One frame's wait ends after at most this many bytes: the longest frame (520) and as many bytes of
// noise, a late answer or a broken frame before its '#'.  A line that keeps sending without ever
// completing a frame (zeros, '#' and a header again and again) is refused past that.
constexpr uint32_t kMaxFrameWaitBytes = static_cast<uint32_t>(2 * kMaxFrame);  // 1040
// Those bytes take this long on the slowest line the family uses (9600 baud, 10 bits a byte).
constexpr uint32_t kMaxFrameLineMs = (kMaxFrameWaitBytes * 10 * 1000 + 9599) / 9600;  // 1084

// Waits that tests shorten; the protocol's own values otherwise.
struct Tuning {
    std::atomic<uint32_t> retry_pause_ms{100};
    std::atomic<uint32_t> find_pause_ms{30};
    std::atomic<uint32_t> poll_pause_ms{100};
    // Longest a deletion waits for the handheld's completion byte.
    std::atomic<uint32_t> delete_poll_limit_ms{60000};
    // When not negative, replaces the computed deletion wait time.
    std::atomic<int32_t> fixed_delete_wait_ms{-1};
    // When not 0, caps every answer and byte wait (tests of dead lines and noise).
    std::atomic<uint32_t> wait_cap_ms{0};
    // When not 0, replaces the link probe's short waits (slow test builds).
    std::atomic<uint32_t> probe_wait_ms{0};
    // Longest a disk format waits for the handheld's completion byte.
    std::atomic<uint32_t> format_limit_ms{600000};
    // Pause between the rescue-range command and its answer.
    std::atomic<uint32_t> rescue_pause_ms{30};
    // When not 0, replaces the deadline of one frame's wait and of one USB message or block
    // (tests of a line that dribbles).
    std::atomic<uint32_t> frame_limit_ms{0};
    // Entries one listing takes at most, as in the other family (smaller in tests).
    std::atomic<uint32_t> max_listed_entries{100000};
    // Longest the check after an upload's data takes (the handheld's verdict, the look-up of the file
    // and the text that tells a failure on the handheld), whatever the handheld sends or leaves
    // unsent; the verdict has the first half of it at most.
    std::atomic<uint32_t> upload_check_limit_ms{18000};
};
Tuning& Tune();

class Protocol {
  public:
    Line& line() { return line_; }

    // Time-outs and attempts.
    int32_t HcSetExitTime(uint32_t answer_ms, uint32_t byte_ms);
    uint32_t AckTimeout() const { return ack_timeout_.load(); }
    uint32_t ByteTimeout() const { return byte_timeout_.load(); }
    void SetAttempts(uint32_t attempts) { attempts_.store(attempts); }
    uint32_t Attempts() const { return attempts_.load(); }
    void SetCrcMode(uint8_t mode) { crc_mode_ = mode; }
    uint8_t CrcMode() const { return crc_mode_; }
    int32_t UpdateCount(uint8_t reset);
    void AddUpdateCount() { update_count_.fetch_add(1); }  // the USB packets after which more followed

    // One frame each way, and with their retries.
    int32_t SendFrame(const uint8_t* payload, uint16_t size, uint16_t block);
    int32_t ReceiveFrame(uint8_t* buffer, uint32_t room, uint32_t* length, uint16_t* block);
    int32_t SendFrameRetry(const uint8_t* payload, uint16_t size, uint16_t block);
    int32_t ReceiveFrameRetry(uint8_t* buffer, uint32_t room, uint32_t* length, uint16_t* block);

    int32_t SendData(const uint8_t* data, uint32_t length);
    int32_t ReceiveData(uint8_t* buffer, uint32_t room, int32_t* received);
    // The streams of an upload and a download.  The caller owns the file.
    int32_t SendStream(platform::File& file, uint32_t length, bool mid);
    // `limit`: the size the handheld announced; more data than that ends the download (kOverSize).
    int32_t ReceiveStream(platform::File& file, bool mid, uint32_t limit);
    // The longest one frame's wait may take (serial), or one USB message or block: the wait for its
    // first byte, its bytes at the slowest rate and one more byte time-out of pauses inside it.
    uint32_t FrameDeadlineMs() const;

    // A deadline over several exchanges (the check after an upload's data): while one is set, every
    // wait, pause and retry ends by then with kNoAnswer and ErrTimeout, whatever the handheld sends.
    void SetDeadline(uint32_t start_tick, uint32_t ms);
    void ClearDeadline() { deadline_set_.store(false); }
    bool DeadlinePassed() const { return WithinDeadline(1) == 0; }
    // `ms` cut to the time left before the deadline (0 once it has passed); unchanged without one.
    uint64_t WithinDeadline(uint64_t ms) const;

    // The command block; its argument keeps what the last command left there.
    CommandBlock& Block() { return block_; }
    void SetArgumentText(const char* text);  // first 20 bytes, NUL-terminated when shorter
    int32_t SendCommandBlock(uint8_t command, uint8_t sub_command, uint8_t value);
    // A command block that the handheld follows with data from the PC (a name, a folder, a file, a run
    // request, a message).  Once the handheld has taken such a command, a copy of the block sent again
    // looks like a 23-byte last data block and becomes that data, so the block is not sent again
    // blindly: after an attempt without a good answer, an empty last frame ends whatever data the
    // handheld may be waiting for (in the other case it is a frame nobody waits for) and the command
    // goes again from there.  Results as SendData.
    int32_t SendDataCommand(uint8_t command, uint8_t sub_command, uint8_t value);

  private:
    Check CurrentCheck() const { return crc_mode_ == kCrcModeByte ? Check::Crc : Check::Sum; }
    uint32_t Capped(uint32_t ms) const;
    bool StopRequested() const;
    // Ends a retry loop once the deadline has passed (true, ErrTimeout stored).
    bool OutOfTime() const;
    void Pause(uint32_t ms) const;

    Line line_;
    std::atomic<uint32_t> ack_timeout_{1000};
    std::atomic<uint32_t> byte_timeout_{3000};
    std::atomic<uint32_t> attempts_{5};
    std::atomic<int32_t> update_count_{0};
    uint8_t crc_mode_ = 0;
    CommandBlock block_{};
    std::atomic<bool> deadline_set_{false};
    std::atomic<uint32_t> deadline_start_{0};
    std::atomic<uint32_t> deadline_ms_{0};
};

// The family's one protocol state.
Protocol& Proto();

// Clears the protocol's deadline on every way out of the scope that holds it.
class DeadlineScope {
  public:
    explicit DeadlineScope(Protocol& protocol) : protocol_(protocol) {}
    ~DeadlineScope() { protocol_.ClearDeadline(); }
    DeadlineScope(const DeadlineScope&) = delete;
    DeadlineScope& operator=(const DeadlineScope&) = delete;

  private:
    Protocol& protocol_;
};

}  // namespace tarvix::bf
