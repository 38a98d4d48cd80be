// Conversions between the two file records, made by the export layer after a successful query.
#pragma once

#include "tarvix.h"

namespace tarvix {

// Text-frame record to the 22-byte entry: the name cut to its first 12 characters.
void RecordToEntry(const HcFileRecord& record, HcFileEntry* entry);
// Byte-frame entry to the 41-byte record: the name zero-filled to 31 characters.
void EntryToRecord(const HcFileEntry& entry, HcFileRecord* record);

}  // namespace tarvix
