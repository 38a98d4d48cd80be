// The text-frame answer to find first / find next on any 56 bytes (a shorter input is padded with
// zeros as the receive buffer is), and the date text of an entry on any 18 bytes.  The record's name
// must end within its field and be cleared after its end; the date and time must be those the text's
// digits give.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/records.h"
#include "textframe/file_info.h"

namespace {

using namespace tarvix;

// The decimal number of the characters [offset, offset + width) as strtol reads them.
int Number(const uint8_t* text, size_t offset, size_t width) {
    char field[8] = {};
    std::memcpy(field, text + offset, width);
    return static_cast<int>(std::strtol(field, nullptr, 10));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t reply[tf::kFileInfoReplySize] = {};
    std::memcpy(reply, data, size < sizeof reply ? size : sizeof reply);

    HcFileRecord record;
    std::memset(&record, 0x55, sizeof record);
    const bool entry = tf::ParseFileInfoReply(reply, &record);
    if (entry != (reply[0] != 0xFF)) __builtin_trap();
    if (!entry) {
        // The end marker leaves the caller's record alone.
        for (size_t i = 0; i < sizeof record; ++i) {
            if (reinterpret_cast<const uint8_t*>(&record)[i] != 0x55) __builtin_trap();
        }
    } else {
        const size_t n = strnlen(record.name, sizeof record.name);
        if (n >= sizeof record.name) __builtin_trap();
        if (std::memcmp(record.name, reply + 1, n) != 0) __builtin_trap();
        for (size_t i = n; i < sizeof record.name; ++i) {
            if (record.name[i] != '\0') __builtin_trap();
        }
        if (LoadField<uint32_t>(&record.size) != GetLe32(reply + 33) || record.kind != reply[37])
            __builtin_trap();
        uint16_t date = 0;
        uint16_t time = 0;
        tf::ParseDateTime(reinterpret_cast<const char*>(reply + 38), &date, &time);
        if (LoadField<uint16_t>(&record.date) != date || LoadField<uint16_t>(&record.time) != time)
            __builtin_trap();
        const std::string name = tf::NameFromPath(record.name);
        if (name.size() > n || name.find_first_of("/\\") != std::string::npos) __builtin_trap();
    }

    // The date text alone: the fields where the entry's text has them.
    const uint8_t* text = reply + 38;
    uint16_t date = 0;
    uint16_t time = 0;
    tf::ParseDateTime(reinterpret_cast<const char*>(text), &date, &time);
    const int year = Number(text, 0, 4), month = Number(text, 5, 2), day = Number(text, 8, 2);
    const int hour = Number(text, 10, 2), minute = Number(text, 13, 2), second = Number(text, 16, 2);
    // A proper date and time is kept as DOS words hold it.
    if (year >= 1980 && year <= 2107 && month >= 1 && month <= 12 && day >= 1 && day <= 31) {
        if ((date >> 9) + 1980 != year || ((date >> 5) & 15) != month || (date & 31) != day) __builtin_trap();
    }
    if (hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59) {
        if ((time >> 11) != hour || ((time >> 5) & 63) != minute || (time & 31) * 2 != second - second % 2) {
            __builtin_trap();
        }
    }
    // Without room for a time, only the date is asked for.
    uint16_t date_only = 0;
    tf::ParseDateTime(reinterpret_cast<const char*>(text), &date_only, nullptr);
    if (date_only != date) __builtin_trap();
    return 0;
}
