#include "api/convert.h"

#include <cstring>

namespace tarvix {

void RecordToEntry(const HcFileRecord& record, HcFileEntry* entry) {
    HcFileEntry out;
    std::memset(&out, 0, sizeof out);
    std::memcpy(out.name, record.name, strnlen(record.name, 12));
    std::memcpy(&out.size, &record.size, sizeof out.size);
    std::memcpy(&out.date, &record.date, sizeof out.date);
    std::memcpy(&out.time, &record.time, sizeof out.time);
    out.kind = record.kind;
    std::memcpy(entry, &out, sizeof out);
}

void EntryToRecord(const HcFileEntry& entry, HcFileRecord* record) {
    HcFileRecord out;
    std::memset(&out, 0, sizeof out);
    // The entry's name field may lack its terminator when it came from a handheld: take at most 12.
    std::memcpy(out.name, entry.name, strnlen(entry.name, 12));
    std::memcpy(&out.size, &entry.size, sizeof out.size);
    std::memcpy(&out.date, &entry.date, sizeof out.date);
    std::memcpy(&out.time, &entry.time, sizeof out.time);
    out.kind = entry.kind;
    std::memcpy(record, &out, sizeof out);
}

}  // namespace tarvix
