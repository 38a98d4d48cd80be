// Packing a dBase table for a byte-frame handheld: the table becomes a packed table in the "dbc"
// temporary beside it and, when it has a date field or a flagged field, its own header is kept in the
// "dbi" side file so that it can come back whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tables/packed_table.h"

namespace tarvix::tables {

// Why packing ended with result 1.
enum class PackFailure : int32_t {
    None = 0,
    CannotOpen = 1,      // the table cannot be opened; nothing is written (the upload stores ErrFileNotFound)
    BadHeader = 2,       // header unusable: field count not 1-128, header shorter than its fields need,
                         // record length not 1 + the field lengths, a field of length 0, nothing left to pack
    TooManyRecords = 3,  // more than 65534 records; the dbc holds the header and descriptors only
    NoRoom = 4,          // one record does not fit the work buffer; the dbc holds the header only
    ReadFailed = 5,      // a seek or read failed part-way; the dbc holds the records packed before it
    ShortTable = 6,      // the file holds fewer records than its header counts; the whole ones are packed
    WriteFailed = 7,     // the dbc or dbi file could not be written
};

const char* PackFailureName(PackFailure failure);

// The error code an upload stores when its table cannot be packed: ErrFileNotFound for a table that
// cannot be opened, ErrReadFile and ErrWriteFile for failed file access, ErrBadFile for a table that
// cannot be packed whole; ErrNone for None.
uint32_t PackErrorCode(PackFailure failure);

// What a dBase header asks of packing, compiled once: the packed header and the steps that turn one
// dBase record into its packed form.
struct PackPlan {
    struct Step {
        uint16_t from = 0;   // offset in the dBase record
        uint16_t to = 0;     // offset in the packed record
        uint8_t length = 0;  // field length in characters
        bool number = false;
    };
    uint8_t version = 0;
    uint16_t header_length = 0;   // offset of the first dBase record
    uint16_t record_length = 0;   // dBase record length, deletion flag included
    uint32_t record_count = 0;    // as the dBase header counts
    size_t field_count = 0;       // fields of the dBase table
    bool side_file = false;       // the header is to be kept in the dbi file
    size_t side_file_length = 0;  // bytes of the header that go into it
    uint8_t drop_width = 0;       // width of the last field when it is left out
    uint16_t packed_record_length = 0;
    std::vector<uint8_t> packed_header;  // 16 bytes and one 16-byte descriptor per packed field
    std::vector<Step> steps;
};

// Reads the start of a dBase table (the first bytes of the file, up to 4150 of them) into a plan.
// PackFailure::None, or BadHeader with `detail` telling what is wrong.
PackFailure PlanPacking(std::span<const uint8_t> header, PackPlan& plan, std::string& detail);

// Packs `count` dBase records laid end to end into `out` (count × packed record length bytes).
void PackRecords(const PackPlan& plan, const uint8_t* records, size_t count, uint8_t* out);

// Packs one table; the upload creates one for each table it sends.
class TablePacker {
  public:
    // Packs the dBase table at `path` into PackedName(path), writing HeaderFileName(path) when the
    // table needs its header kept (a flagged or 'D' field in a version 3 or 0x30 table) and removing a
    // stale one when it needs none.  Returns 0 when every record was packed, else 1 (failure() tells
    // why).  Shows nothing and stores no error code.
    int32_t bfPackTable(const std::string& path);

    PackFailure failure() const { return failure_; }
    const std::string& detail() const { return detail_; }  // a sentence for logs and tests
    const std::string& dbc_name() const { return dbc_name_; }
    const std::string& dbi_name() const { return dbi_name_; }
    bool wrote_dbi() const { return wrote_dbi_; }
    uint8_t drop_width() const { return drop_width_; }  // width of the field left out, 0 for none
    uint32_t records_packed() const { return records_packed_; }

    // Largest work buffer to use (tests; at most kWorkBufferSize).
    void set_work_buffer_limit(size_t bytes) { work_limit_ = bytes; }

  private:
    int32_t Fail(PackFailure failure, std::string detail);

    PackFailure failure_ = PackFailure::None;
    std::string detail_;
    std::string source_name_;
    std::string dbc_name_;
    std::string dbi_name_;
    bool wrote_dbi_ = false;
    uint8_t drop_width_ = 0;
    uint32_t records_packed_ = 0;
    size_t work_limit_ = kWorkBufferSize;
};

}  // namespace tarvix::tables
