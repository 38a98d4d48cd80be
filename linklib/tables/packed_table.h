// The handheld's packed table format, shared by packing and unpacking.
//
// A packed table is a 16-byte header, one 16-byte descriptor per packed field, then the records, with
// nothing after the last one.  Numbers are little-endian.
//
//   header      0  3  dBase date bytes (year, month, day)
//               3  8  blanks
//              11  2  record count
//              13  2  packed record length (no deletion flag)
//              15  1  packed field count n
//   descriptor  0 10  field name, NUL-padded
//              10  1  'N' (digits two per byte) or 'C' (bytes as they are)
//              11  1  packed length: (length + 1) / 2 for 'N', length for 'C'
//              12  1  field length in characters
//              13  1  decimal count
//              14  2  offset of the field in the packed record
//
// An 'N' field of length L holds L four-bit codes, high half first; for odd L the first high half is
// the pad code 0xD.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvix::tables {

constexpr size_t kPackedHeaderSize = 16;
constexpr size_t kPackedDescriptorSize = 16;
constexpr size_t kPackedNameSize = 10;
constexpr size_t kMaxPackedFields = 128;

// Offsets in the packed header and descriptors.
constexpr size_t kPackedCountAt = 11;
constexpr size_t kPackedRecordLengthAt = 13;
constexpr size_t kPackedFieldCountAt = 15;
constexpr size_t kPdType = 10;
constexpr size_t kPdPackedLength = 11;
constexpr size_t kPdLength = 12;
constexpr size_t kPdDecimals = 13;
constexpr size_t kPdOffset = 14;

// dBase header offsets used by both directions.
constexpr size_t kDbVersionAt = 0;
constexpr size_t kDbCountAt = 4;
constexpr size_t kDbHeaderLengthAt = 8;
constexpr size_t kDbRecordLengthAt = 10;
constexpr size_t kDbDescriptorsAt = 32;
constexpr size_t kDbDescriptorSize = 32;
constexpr size_t kDdType = 11;
constexpr size_t kDdOffset = 12;
constexpr size_t kDdLength = 16;
constexpr size_t kDdDecimals = 17;
constexpr size_t kDdFlags = 18;
constexpr uint8_t kDbVersion3 = 0x03;
constexpr uint8_t kDbVersion30 = 0x30;
constexpr size_t kDb30Area = 263;

// Chunks of records go through one work buffer of this size at most.
constexpr size_t kWorkBufferSize = 61440;

constexpr uint8_t kPadCode = 0xD;

// Character to four-bit code: digits 0-9, '.' 0xA, '-' 0xB, '+' 0xC, everything else 0xD.
constexpr std::array<uint8_t, 256> kNibbleOf = [] {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = kPadCode;
    for (int d = 0; d < 10; ++d) t['0' + d] = static_cast<uint8_t>(d);
    t['.'] = 0xA;
    t['-'] = 0xB;
    t['+'] = 0xC;
    return t;
}();

// Four-bit code to character: 0xD a blank, 0xE and 0xF '*'.
constexpr std::array<char, 16> kCharOf = {'0', '1', '2', '3', '4', '5', '6', '7',
                                          '8', '9', '.', '-', '+', ' ', '*', '*'};

// Packed byte to its two characters (high half first).
constexpr std::array<std::array<char, 2>, 256> kCharsOf = [] {
    std::array<std::array<char, 2>, 256> t{};
    for (int b = 0; b < 256; ++b) t[b] = {kCharOf[b >> 4], kCharOf[b & 0xF]};
    return t;
}();

inline bool PacksAsNumber(char dbase_type) {
    return dbase_type == 'N' || dbase_type == 'F' || dbase_type == 'B';
}
inline size_t PackedLength(char packed_type, size_t length) {
    return packed_type == 'N' ? (length + 1) / 2 : length;
}

// Side-file and temporary names: the path with its last character replaced, in lower case when that
// character is a lower-case letter (bit 0x20 set), else in upper case.  ".\A.DBF" gives ".\A.DBC" and
// ".\A.DBI"; "x.dbf" gives "x.dbc" and "x.dbi".
std::string PackedName(const std::string& table_path);      // the packed temporary ("dbc")
std::string HeaderFileName(const std::string& table_path);  // the header side file ("dbi")
// The downloaded packed table moved aside while it is unpacked: last character '$' (".\downa.db$").
std::string PackedAsideName(const std::string& table_path);
// The header side file looked for beside a download: the aside name with 'i' last (".\downa.dbi").
std::string DownloadHeaderFileName(const std::string& table_path);

}  // namespace tarvix::tables
