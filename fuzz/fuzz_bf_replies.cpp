// The byte-frame answers to find first / find next and to the version question on any bytes: the
// input is what was received (at most the 114 bytes of a find reply are taken, the rest of the reply
// buffer stays zero as the receiver leaves it).  An entry's name must end within its field and come
// from the reply's path; the date and time must be those of the reply's digits, and stay untouched
// for the kinds that carry none.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "byteframe/codec.h"
#include "common/records.h"

namespace {

using namespace tarvix;
using namespace tarvix::bf;

int Digits(const uint8_t* text, size_t n) {
    int value = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

void CheckDateTime(const uint8_t* text13) {
    uint16_t date = 0x5555;
    uint16_t time = 0x5555;
    ParseDateTime(reinterpret_cast<const char*>(text13), &date, &time);
    // Proper digits in "YY?MM?DDhh?mm" (any separators) are kept as DOS words hold it, years up to 80 in this
    // century.
    const int yy = Digits(text13, 2), month = Digits(text13 + 3, 2), day = Digits(text13 + 6, 2);
    const int hour = Digits(text13 + 8, 2), minute = Digits(text13 + 11, 2);
    if (yy >= 0 && month >= 1 && month <= 12 && day >= 1 && day <= 31) {
        const int year = yy <= 80 ? 2000 + yy : 1900 + yy;
        if ((date >> 9) + 1980 != year || ((date >> 5) & 15) != month || (date & 31) != day) __builtin_trap();
    }
    if (hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59) {
        if ((time >> 11) != hour || ((time >> 5) & 63) != minute || (time & 31) != 0) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t reply[kFindReplySize] = {};
    const size_t received = std::min(size, kFindReplySize);
    std::memcpy(reply, data, received);

    const FindReply kind = ClassifyFindReply(reply, received);
    const bool end = received >= 2 && reply[0] == 0xFF && reply[1] == 0xFF;
    if ((kind == FindReply::End) != end) __builtin_trap();
    if (!end && (kind == FindReply::Entry) != (received == kFindReplySize)) __builtin_trap();

    if (kind == FindReply::Entry) {
        HcFileEntry entry;
        std::memset(&entry, 0x55, sizeof entry);
        FillEntry(reply, &entry);
        const size_t n = strnlen(entry.name, sizeof entry.name);
        if (n >= sizeof entry.name) __builtin_trap();
        for (size_t i = n; i < sizeof entry.name; ++i) {
            if (entry.name[i] != '\0') __builtin_trap();
        }
        const uint8_t* path = reply + kFindPathOffset;
        const uint8_t* path_end = path + strnlen(reinterpret_cast<const char*>(path), kFindPathSize);
        // The name is the path after its first '\', or the whole path.
        const uint8_t* slash = std::find(path, path_end, '\\');
        const uint8_t* name = slash != path_end ? slash + 1 : path;
        if (n != std::min<size_t>(path_end - name, sizeof entry.name - 1) ||
            std::memcmp(entry.name, name, n) != 0)
            __builtin_trap();
        const uint8_t k = reply[kFindKindOffset];
        if (entry.kind != (k == 7 ? 2 : k)) __builtin_trap();
        if (static_cast<uint32_t>(LoadField<int32_t>(&entry.size)) != GetBe32(reply + kFindSizeOffset))
            __builtin_trap();
        uint16_t date = 0x5555;
        uint16_t time = 0x5555;
        if (k != 2 && k != 4 && k != 7) {
            ParseDateTime(reinterpret_cast<const char*>(reply + kFindDateOffset), &date, &time);
        }
        if (LoadField<uint16_t>(&entry.date) != date || LoadField<uint16_t>(&entry.time) != time)
            __builtin_trap();
    }
    CheckDateTime(reply + kFindDateOffset);
    if (size >= 13) CheckDateTime(data);

    // The version text: its number stands at the 8th and 9th character.
    const int number = VersionNumber(data, size);
    if (size < 8 && number != 0) __builtin_trap();
    if (number < -9 || number > 99) __builtin_trap();
    if (size >= 9 && Digits(data + 7, 2) >= 0 && number != Digits(data + 7, 2)) __builtin_trap();
    return 0;
}
