#include "byteframe/codec.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/handheld_names.h"
#include "common/records.h"

namespace tarvix::bf {

namespace {

// atoi's reading: leading blanks, a sign, digits up to the first other character.
int ReadDecimal(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    int value = 0;
    while (*text >= '0' && *text <= '9' && value < 100000) value = value * 10 + (*text++ - '0');
    return negative ? -value : value;
}

}  // namespace

std::vector<uint8_t> EncodeFrame(const uint8_t* payload, size_t size, uint16_t block, Check check) {
    if (size > kMaxPayload) size = kMaxPayload;
    std::vector<uint8_t> frame;
    frame.reserve(kMaxFrame);
    uint8_t header[4];
    PutLe16(header, static_cast<uint16_t>(size));
    PutLe16(header + 2, block);
    frame.push_back(kFrameStart);
    frame.insert(frame.end(), header, header + 4);
    uint16_t crc = Crc16(header, 4);
    uint8_t sum = static_cast<uint8_t>(header[0] + header[1] + header[2] + header[3]);
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = payload[i];
        if (NeedsEscape(b)) {
            frame.push_back('@');
            frame.push_back(EscapeLetter(b));
        } else {
            frame.push_back(b);
        }
        crc = Crc16Step(crc, b);
        sum = static_cast<uint8_t>(sum + b);
    }
    frame.push_back(kFrameEnd);
    if (check == Check::Crc) {
        frame.push_back(static_cast<uint8_t>(crc));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
    } else {
        frame.push_back(sum);
    }
    return frame;
}

void FrameParser::Restart() {
    state_ = State::Header;
    header_count_ = 0;
    count_ = 0;
    crc_ = 0;
    sum_ = 0;
}

void FrameParser::Take(uint8_t byte) {
    // Bytes past the room are checked but not kept: whether the frame is damaged or merely too big
    // for this room is known only at its check.
    if (count_ < room_size_) room_[count_] = byte;
    ++count_;
    crc_ = Crc16Step(crc_, byte);
    sum_ = static_cast<uint8_t>(sum_ + byte);
}

FrameParser::Outcome FrameParser::Verdict(bool check_good) const {
    // A byte the line added or dropped shows in the check or the length: such a frame is asked for
    // again.  Only a whole, good frame that is bigger than the room is refused.
    if (!check_good || count_ != length_) return Outcome::BadCheck;
    return count_ > room_size_ ? Outcome::TooLong : Outcome::Good;
}

FrameParser::Outcome FrameParser::Feed(uint8_t byte) {
    switch (state_) {
        case State::Hunting:
            if (byte == kFrameStart) Restart();
            return Outcome::Pending;
        case State::Header:
            header_[header_count_++] = byte;
            crc_ = Crc16Step(crc_, byte);
            sum_ = static_cast<uint8_t>(sum_ + byte);
            if (header_count_ == 4) {
                length_ = GetLe16(header_);
                block_ = GetLe16(header_ + 2);
                state_ = State::Payload;
            }
            return Outcome::Pending;
        case State::Payload:
            if (byte == kFrameEnd) {
                state_ = State::Check1;
                return Outcome::Pending;
            }
            if (byte == kFrameStart) {
                Restart();
                return Outcome::Pending;
            }
            if (count_ >= kMaxPayload) {
                state_ = State::Done;
                // No frame carries more than 256 bytes: past that the end marker was lost on the line,
                // and the frame is asked for again like any damaged one.
                return Outcome::BadCheck;
            }
            if (byte == kEscape) {
                state_ = State::Escaped;
                return Outcome::Pending;
            }
            Take(byte);
            return Outcome::Pending;
        case State::Escaped:
            Take(Unescape(byte));
            state_ = State::Payload;
            return Outcome::Pending;
        case State::Check1:
            check1_ = byte;
            if (check_ == Check::Crc) {
                state_ = State::Check2;
                return Outcome::Pending;
            }
            state_ = State::Done;
            return Verdict(check1_ == sum_);
        case State::Check2: {
            state_ = State::Done;
            uint16_t crc = Crc16Step(Crc16Step(crc_, byte), check1_);
            return Verdict(crc == 0);
        }
        case State::Done:
            return Outcome::Pending;
    }
    return Outcome::Pending;
}

uint32_t Swap32(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

FindReply ClassifyFindReply(const uint8_t* reply, size_t received) {
    if (received >= 2 && reply[0] == 0xFF && reply[1] == 0xFF) return FindReply::End;
    if (received >= kFindReplySize) return FindReply::Entry;
    return FindReply::Malformed;
}

void ParseDateTime(const char* text13, uint16_t* date, uint16_t* time) {
    char d[9];
    char t[6];
    std::memcpy(d, text13, 8);
    d[8] = 0;
    std::memcpy(t, text13 + 8, 5);
    t[5] = 0;
    d[2] = 0;
    d[5] = 0;
    t[2] = 0;
    int yy = ReadDecimal(d);
    int month = ReadDecimal(d + 3);
    int day = ReadDecimal(d + 6);
    int hour = ReadDecimal(t);
    int minute = ReadDecimal(t + 3);
    int year = yy <= 80 ? 2000 + yy : 1900 + yy;
    *date = static_cast<uint16_t>((year - 1980) * 512 + month * 32 + day);
    *time = static_cast<uint16_t>(hour * 2048 + minute * 32);
}

void FillEntry(const uint8_t* reply, HcFileEntry* entry) {
    uint8_t kind = reply[kFindKindOffset];
    HcFileEntry out;
    std::memcpy(&out, entry, sizeof out);  // date and time of some kinds keep what the record held
    out.kind = kind == 7 ? 2 : kind;
    char path[kFindPathSize + 1];
    std::memcpy(path, reply + kFindPathOffset, kFindPathSize);
    path[kFindPathSize] = 0;
    const char* name = std::strchr(path, '\\');
    name = name != nullptr ? name + 1 : path;
    CopyTextField(out.name, sizeof out.name, name);
    StoreField<int32_t>(&out.size, static_cast<int32_t>(GetBe32(reply + kFindSizeOffset)));
    if (kind != 2 && kind != 4 && kind != 7) {
        uint16_t date = 0;
        uint16_t time = 0;
        ParseDateTime(reinterpret_cast<const char*>(reply + kFindDateOffset), &date, &time);
        StoreField<uint16_t>(&out.date, date);
        StoreField<uint16_t>(&out.time, time);
    }
    std::memcpy(entry, &out, sizeof out);
}

std::string MakeShortName(const std::string& name) {
    size_t slash = name.rfind('\\');
    std::string folder = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    std::string part = slash == std::string::npos ? name : name.substr(slash + 1);
    size_t dot = part.rfind('.');
    std::string base = dot == std::string::npos ? part : part.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : part.substr(dot + 1);
    if (base.size() > 8) base = base.substr(0, 6) + "~1";
    if (ext.size() > 3) ext.resize(3);
    return folder + base + (dot == std::string::npos ? "" : "." + ext);
}

int VersionNumber(const uint8_t* text, size_t size) {
    char buffer[16]{};
    if (size > 9) size = 9;
    std::memcpy(buffer, text, size);
    if (size < 8) return 0;
    return ReadDecimal(buffer + 7);
}

std::string NamePart(const std::string& path) {
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderPart(const std::string& path) {
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string Extension(const std::string& name) {
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? "" : name.substr(dot + 1);
}

bool ExtensionIs(const std::string& name, const char* ext) {
    return SameNameIgnoringCase(Extension(name), ext);
}

std::string ReplaceLastChar(const std::string& name, char lower, bool follow_case) {
    if (name.empty()) return name;
    std::string out = name;
    char& last = out.back();
    bool upper = follow_case && (static_cast<unsigned char>(last) & 0x20) == 0;
    last = upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(lower))) : lower;
    return out;
}

}  // namespace tarvix::bf
