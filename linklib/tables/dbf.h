// dBase III tables: header, field descriptors and records, read and written.
//
// A table file is a 32-byte table header, one 32-byte descriptor per field, the terminator 0x0D (version
// 0x30 tables follow it with a 263-byte area), then the fixed-length records, each a deletion-flag byte
// (' ' live, '*' deleted) and the fields in descriptor order, and finally the end marker 0x1A.  All
// numbers are little-endian.
//
// Reading streams the records through a buffer of a few dozen kilobytes; a table is never held whole.
// Writing builds one record at a time from text values, formatted the way dBase stores them.
//
// No function here throws: every operation reports through a Status (an error code and a message that
// names the file and what was wrong).  This module depends on nothing but the standard library, so that
// the desk can link it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix::dbf {

enum class Error : int32_t {
    None = 0,
    OpenFailed = 1,       // the file could not be opened or created
    ReadFailed = 2,       // a read failed or came up short
    WriteFailed = 3,      // a write, flush or rename failed
    SeekFailed = 4,       // positioning in the file failed
    BadHeader = 5,        // the table header or a field descriptor is malformed
    Truncated = 6,        // the file ends before the records its header counts
    NoSuchField = 7,      // no field of that name or number
    BadValue = 8,         // a text that the field cannot take (not a number, not a date ...)
    ValueTooLong = 9,     // a numeric value wider than its field
    TooManyRecords = 10,  // the record count would pass 2^32 - 1
    NotOpen = 11,         // the object holds no open table, or no record is being built
    BadStructure = 12,    // a field list given to Create is unusable
};

// Short English name of an error code ("bad header" ...).
const char* ErrorName(Error error);

struct Status {
    Error error = Error::None;
    std::string message;  // empty when ok; else names the file and the fault

    bool ok() const { return error == Error::None; }
    explicit operator bool() const { return ok(); }
};

constexpr uint8_t kVersionDbase3 = 0x03;
constexpr uint8_t kVersionFoxPro = 0x30;  // its header carries a 263-byte area after the terminator
constexpr uint8_t kHeaderTerminator = 0x0D;
constexpr uint8_t kEndMarker = 0x1A;
constexpr size_t kTableHeaderSize = 32;
constexpr size_t kDescriptorSize = 32;
constexpr size_t kFoxProAreaSize = 263;

struct Field {
    std::string name;      // as stored: up to 11 characters, no NUL
    char type = 'C';       // 'C', 'N', 'F', 'D', 'L', 'M' or any other type letter
    uint8_t length = 0;    // bytes in the record
    uint8_t decimals = 0;  // decimal count of 'N' and 'F' fields
    uint8_t flags = 0;     // descriptor byte 18
    uint32_t offset = 0;   // position in the record; the deletion flag is byte 0, so the first field is 1
};

struct Header {
    uint8_t version = kVersionDbase3;
    uint8_t year = 0, month = 1, day = 1;  // last update; year counted from 1900
    uint32_t record_count = 0;
    uint16_t header_length = 0;  // offset of the first record
    uint16_t record_length = 0;  // including the deletion flag
    std::vector<Field> fields;
    std::vector<uint8_t> raw;  // the header bytes as stored, header_length of them

    // Index of the field named `name` without regard to ASCII case; -1 when there is none.
    int FieldIndex(std::string_view name) const;
};

// Parses a table header from its stored bytes.  `bytes` must hold at least the 32-byte table header; the
// descriptors are read until the terminator 0x0D or the header length.  Refused (BadHeader): a header
// length shorter than 33 bytes or longer than `bytes`, no field, a field of length 0, a record length
// other than 1 plus the sum of the field lengths.
Status ParseHeader(std::span<const uint8_t> bytes, Header& out);

// Header length stored in the first 32 bytes of a table (0 when fewer bytes are given).
uint16_t StoredHeaderLength(std::span<const uint8_t> bytes);

// The text form of a stored field value: trailing blanks and NULs dropped; for 'N' and 'F' fields
// leading blanks dropped as well.
std::string FieldText(const Field& field, std::string_view raw);

// Reads a table record by record.
class Reader {
  public:
    Reader() = default;
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens the table at `path` and reads its header.
    Status Open(const std::string& path);
    // Same for a stream already open for reading at its start; the reader takes it over and closes it.
    Status Attach(std::FILE* file, std::string name = "table");
    void Close();
    bool is_open() const { return file_ != nullptr; }

    const Header& header() const { return header_; }
    const std::vector<Field>& fields() const { return header_.fields; }
    int FieldIndex(std::string_view name) const { return header_.FieldIndex(name); }
    uint32_t record_count() const { return header_.record_count; }

    // Moves to the next record.  False at the end of the table or on a failure; status() tells which
    // (a file that ends before the counted records is a Truncated failure after the last whole record).
    bool Next();
    const Status& status() const { return status_; }

    // The current record (valid after Next() returned true).
    uint32_t record_number() const { return index_; }  // 0-based
    bool deleted() const;
    std::span<const uint8_t> record() const;
    std::string_view Raw(size_t field) const;  // the stored bytes; empty for a bad index
    std::string Text(size_t field) const;      // FieldText of the field; empty for a bad index
    // Text of the field named `name` (any case); Error::NoSuchField when there is none.
    Status Text(std::string_view name, std::string& out) const;

  private:
    bool Fail(Error error, std::string message);

    std::FILE* file_ = nullptr;
    std::string name_;
    Header header_;
    Status status_;
    std::vector<uint8_t> chunk_;  // whole records read ahead
    size_t chunk_records_ = 0;    // records held in chunk_
    size_t chunk_pos_ = 0;        // next record in chunk_
    uint32_t read_ = 0;           // records taken from the file so far
    uint32_t index_ = 0;
    const uint8_t* current_ = nullptr;
};

// Field of a table to create.
struct FieldSpec {
    std::string name;  // 1 to 10 letters, digits or '_'
    char type = 'C';   // 'C' (1-254), 'N' and 'F' (1-20), 'D' (8), 'L' (1)
    uint8_t length = 0;
    uint8_t decimals = 0;
};

// Writes a table: a new one, a copy of another's structure, or records appended to an existing one.
//
// Values are given as text and stored as dBase does: 'C' and other text fields left-aligned and padded
// with blanks (a longer text is cut to the field); 'N' and 'F' fields hold a number ("-12", "3.5",
// "+7", "1e3" is refused) right-aligned, with exactly the field's decimal count (rounded half away from
// zero), an empty text leaves the field blank, a number too wide for the field is refused; 'D' fields
// take "YYYYMMDD" or an empty text; 'L' fields take one of "TtFfYyNn?" or an empty text; FoxPro's
// binary fields ('0', 'I', 'Y', 'T') take no text.  A field not set in a record stays blank (binary
// fields, and 'B' fields of version 0x30 tables, zero).
//
// A new table is written beside its target and renamed into place by Close(), so a failure never
// leaves a half-written table under the target name.
class Writer {
  public:
    Writer() = default;
    ~Writer();  // abandons what was not closed
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // A new version-3 table with the given fields and no records (each descriptor holds the field's
    // offset in the record in bytes 12-13; the other reserved bytes are zero).
    Status Create(const std::string& path, const std::vector<FieldSpec>& fields);
    // A new table with the header and descriptors of the table at `template_path` (its version, reserved
    // bytes and any area after the descriptors kept as they are) and no records.
    Status CreateFrom(const std::string& template_path, const std::string& path);
    // Opens an existing table to append records after its counted records.
    Status OpenForAppend(const std::string& path);

    const Header& header() const { return header_; }
    int FieldIndex(std::string_view name) const { return header_.FieldIndex(name); }
    uint32_t record_count() const { return header_.record_count; }

    // Date stored by Close() (default: today's local date).
    void SetUpdateDate(int year, int month, int day);

    // Starts a new record: live, every field blank.
    void BeginRecord();
    // Sets a field of the record being built, by name (any case) or by number.
    Status Set(std::string_view field_name, std::string_view text);
    Status Set(size_t field, std::string_view text);
    // Sets the deletion flag of the record being built.
    void SetDeleted(bool deleted);
    // Appends the record being built.
    Status Post();
    // BeginRecord, Set for each (name, text) pair, Post.  A failed Set appends nothing.
    Status Append(std::span<const std::pair<std::string_view, std::string_view>> values);

    // Writes the record count, the update date and the end marker, closes the file and (for a new table)
    // renames it into place.
    Status Close();
    // Drops everything written since Create/CreateFrom/OpenForAppend; the target keeps its earlier state.
    void Abandon();

  private:
    Status Begin(const std::string& path, Header header, bool append);
    Status FailWrite(std::string what);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string temp_;  // empty when appending in place
    Header header_;
    uint64_t start_size_ = 0;  // size of an appended table before we wrote
    std::vector<uint8_t> record_;
    bool building_ = false;
    bool date_set_ = false;
    uint8_t date_[3] = {0, 1, 1};
};

// Formats `text` for a field the way Writer stores it; `out` receives exactly field.length bytes.
Status FormatValue(const Field& field, std::string_view text, std::string& out);

}  // namespace tarvix::dbf
