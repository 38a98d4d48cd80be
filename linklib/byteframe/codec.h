// The byte-frame wire format without any I/O: frames, escapes, the two checks, the command block,
// the handheld's find reply and the numbers and names that travel with commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/commands.h"
#include "common/crc16.h"
#include "common/frame_marks.h"
#include "tarvix.h"

namespace tarvix::bf {

constexpr uint8_t kFrameStart = '#';
constexpr uint8_t kFrameEnd = '$';
constexpr uint8_t kEscape = '@';
constexpr size_t kMaxPayload = 256;
constexpr size_t kMaxFrame = 1 + 4 + 2 * kMaxPayload + 1 + 2;  // 520
constexpr uint16_t kLastBlock = 0xFFFF;
constexpr uint16_t kAbandonBlock = 0;
// 65534 numbered blocks and the last one: the most one serial transfer can carry.
constexpr uint32_t kMaxSerialTransfer = 65535u * kMaxPayload;  // 16,776,960
constexpr uint8_t kCrcModeByte = 'Z';

// Answer bytes of the receiving side.
constexpr uint8_t kAnswerOk = 0;
constexpr uint8_t kAnswerBadCheck = 2;
constexpr uint8_t kAnswerTimeout = 3;
constexpr uint8_t kAnswerTooLong = 4;

enum class Check : uint8_t { Sum, Crc };

using tarvix::Crc16;
using tarvix::Crc16Step;
using tarvix::Unescape;

// One whole frame as it goes on the line.  `payload` holds at most 256 bytes.
std::vector<uint8_t> EncodeFrame(const uint8_t* payload, size_t size, uint16_t block, Check check);

// Receives one frame byte by byte.  Bytes before the '#' are skipped; the payload is unescaped into
// the caller's room.  The frame is read on to its check whatever the room: a damaged frame (bad
// check, a count other than the header's length, more than any frame carries) is BadCheck, and only
// a good frame bigger than the room is TooLong.  A second '#' inside a frame restarts the header (a
// well-formed payload escapes it), dropping what was taken.
class FrameParser {
  public:
    enum class State { Hunting, Header, Payload, Escaped, Check1, Check2, Done };
    enum class Outcome { Pending, Good, BadCheck, TooLong };

    FrameParser(uint8_t* room, size_t room_size, Check check)
        : room_(room), room_size_(room_size), check_(check) {}

    Outcome Feed(uint8_t byte);
    bool Started() const { return state_ != State::Hunting; }
    bool HeaderComplete() const { return header_count_ == 4; }
    uint16_t Block() const { return block_; }
    uint16_t DeclaredLength() const { return length_; }
    size_t Count() const { return count_; }

  private:
    void Take(uint8_t byte);
    void Restart();
    Outcome Verdict(bool check_good) const;

    uint8_t* room_;
    size_t room_size_;
    Check check_;
    State state_ = State::Hunting;
    uint8_t header_[4]{};
    int header_count_ = 0;
    uint16_t length_ = 0;
    uint16_t block_ = 0;
    size_t count_ = 0;
    uint16_t crc_ = 0;
    uint8_t sum_ = 0;
    uint8_t check1_ = 0;
};

// The 23-byte command block: command, sub-command, value and a 20-byte argument.
struct CommandBlock {
    uint8_t command = 0;
    uint8_t sub_command = 0;
    uint8_t value = 0;
    uint8_t argument[20]{};
};
static_assert(sizeof(CommandBlock) == 23);

uint32_t Swap32(uint32_t value);

// Command numbers: one numbering for both families.
using namespace tarvix::commands;

// The handheld's answer to find first and find next.
constexpr size_t kFindReplySize = 114;
constexpr size_t kFindDateOffset = 80;
constexpr size_t kFindSizeOffset = 96;
constexpr size_t kFindPathOffset = 100;
constexpr size_t kFindPathSize = 13;
constexpr size_t kFindKindOffset = 113;

enum class FindReply { Entry, End, Malformed };
// Classifies a received reply: a whole 114-byte reply, or at least the FF FF end marker.
FindReply ClassifyFindReply(const uint8_t* reply, size_t received);
// Fills the entry from a whole reply: kind, name, size, and date and time unless the kind is 2, 4 or 7.
void FillEntry(const uint8_t* reply, HcFileEntry* entry);
// Date text YY?MM?DD and time text hh?mm (13 characters) into DOS words.
void ParseDateTime(const char* text13, uint16_t* date, uint16_t* time);

// 8.3 form of the name part; the folder part is kept.
std::string MakeShortName(const std::string& name);
// The firmware number read from the version text's 8th character on (0 when none).
int VersionNumber(const uint8_t* text, size_t size);

// Name and extension helpers of the file operations.
std::string NamePart(const std::string& path);               // after the last '\'
std::string FolderPart(const std::string& path);             // up to and including the last '\'
std::string Extension(const std::string& name);              // after the last '.', "" when none
bool ExtensionIs(const std::string& name, const char* ext);  // without regard to case
// The name with its last character replaced by `lower`; with `follow_case` by its upper-case form
// when the replaced character had bit 0x20 clear.
std::string ReplaceLastChar(const std::string& name, char lower, bool follow_case);

}  // namespace tarvix::bf
