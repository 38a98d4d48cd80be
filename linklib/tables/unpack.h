// Unpacking a packed table fetched from a byte-frame handheld back into a dBase table under the same
// name.  The input comes from the handheld and is checked before any of it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tables/packed_table.h"

namespace tarvix::tables {

enum UnpackResult : int16_t {
    UnpackOk = 0,
    UnpackFileError = 1,   // the files could not be handled: no download, a "db$" file left from an
                           // earlier run, a rename, open, create or write failed (no box)
    UnpackBadFormat = 8,   // the packed table is malformed or a record does not fit the work buffer (box)
    UnpackShortRead = 90,  // a read of packed records yielded fewer records than expected (box)
};

// What a packed header asks of unpacking, compiled once: the dBase header to write and the steps that
// expand one packed record.
struct UnpackPlan {
    struct Step {
        uint16_t from = 0;   // offset in the packed record
        uint16_t to = 0;     // offset in the dBase record
        uint8_t length = 0;  // field length in characters
        bool number = false;
    };
    size_t field_count = 0;  // packed fields n
    uint16_t packed_record_length = 0;
    uint16_t stored_count = 0;   // as the packed header counts
    uint32_t record_count = 0;   // whole records the file holds
    uint16_t record_length = 0;  // dBase record length, deletion flag included
    uint8_t drop_width = 0;      // NUL bytes that end every record (a field packing left out)
    bool used_header_file = false;
    std::vector<uint8_t> header;  // the dBase header, as many bytes as it states
    std::vector<Step> steps;
};

// Checks the start of a packed table (its first 16 × 129 bytes or all of a shorter file) and the file's
// size and compiles the plan with a rebuilt version-3 header.  UnpackOk, or UnpackBadFormat with
// `detail` telling what is wrong: fewer than 1 or more than 128 fields, a file shorter than its header,
// a packed record length of 0 or one that disagrees with the descriptors, a descriptor whose packed
// length or offset is wrong, a field of length 0.
UnpackResult PlanUnpacking(std::span<const uint8_t> packed_head, uint64_t file_size, UnpackPlan& plan,
                           std::string& detail);

// Takes the table's own header from a header side file when it describes this packed table: version
// 3 or 0x30, the packed fields' names and lengths in order followed by at most one more field (left
// out by packing), and a record length of 1 + the lengths of its fields.  False (plan unchanged, `why`
// says what did not match) otherwise.
bool ApplyHeaderFile(std::span<const uint8_t> dbi, UnpackPlan& plan, std::string& why);

// Expands `count` packed records laid end to end into `out` (count × dBase record length bytes).
void UnpackRecords(const UnpackPlan& plan, const uint8_t* packed, size_t count, uint8_t* out);

// Unpacks one downloaded table; the download creates one for each table it fetches.
class TableUnpacker {
  public:
    // Turns the packed table at `path` into a dBase table under the same name.  The download is moved
    // to PackedAsideName(path) while it is read, and DownloadHeaderFileName(path) supplies the table's
    // own header when it matches.  On success neither file remains.  On a failure the download is left
    // under `path` as it came (and a header side file is kept); a malformed table is reported in a
    // message box once the download is back.  Returns an UnpackResult.
    int16_t bfUnpackTable(const std::string& path);

    // Unpacks the packed table at `packed_path` into `output` (open, empty), taking the table's own
    // header from `header_path` (empty: none) when it matches.  Renames, removes and shows nothing:
    // after a failure `output` holds what was written before it, and the caller settles the files and
    // then shows the box the failure calls for (ShowFailureBox).  Returns an UnpackResult.
    int16_t UnpackFile(const std::string& packed_path, const std::string& header_path,
                       platform::File& output);
    // Whether the last result is a failure the user is told of in a message box (a malformed table),
    // and that box: ".DBF file format error".
    bool FailureCallsForBox() const { return result_ == UnpackBadFormat || result_ == UnpackShortRead; }
    void ShowFailureBox() const;

    int16_t result() const { return result_; }
    const std::string& detail() const { return detail_; }  // a sentence for logs and tests
    bool used_header_file() const { return used_header_file_; }
    uint8_t drop_width() const { return drop_width_; }
    uint32_t records() const { return records_; }

    // Largest work buffer to use (tests; at most kWorkBufferSize).
    void set_work_buffer_limit(size_t bytes) { work_limit_ = bytes; }

  private:
    void Reset(const std::string& path);
    int16_t Fail(int16_t result, std::string detail);
    // UnpackFile without the reset: the details name the path of the last Reset.
    int16_t Unpack(const std::string& packed_path, const std::string& header_path, platform::File& output);

    int16_t result_ = UnpackOk;
    std::string detail_;
    std::string path_;
    bool used_header_file_ = false;
    uint8_t drop_width_ = 0;
    uint32_t records_ = 0;
    size_t work_limit_ = kWorkBufferSize;
};

}  // namespace tarvix::tables
