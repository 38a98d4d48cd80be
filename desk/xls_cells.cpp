// Boolean and error cells of a .xls workbook.  freexl hands both over as plain numbers (a boolean as 1
// or 0), so a boolean would reach Meter as "1" where the same cell of an .xlsx gives "True".  This
// reads the first worksheet's BOOLERR records itself from the compound file, so both readers agree.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

#include "workbook.h"

namespace desk {

namespace {

constexpr uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr uint32_t kFreeSector = 0xFFFFFFFFu;

uint16_t U16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// A compound file held in memory; every read is checked against its size, every chain against
// running in circles.  Any inconsistency makes the reader give up (ok() false).
class Compound {
  public:
    explicit Compound(std::vector<uint8_t> bytes) : b_(std::move(bytes)) { ok_ = load(); }
    bool ok() const { return ok_; }
    // The named stream of the root storage (matched without regard to case of a to z).
    bool stream(const char* name, std::vector<uint8_t>& out) const;

  private:
    bool load();
    bool sectorAt(uint32_t sector, size_t& offset) const {
        const uint64_t at = (static_cast<uint64_t>(sector) + 1) << shift_;
        if (sector >= 0xFFFFFFFAu || at + sector_size_ > b_.size()) return false;
        offset = static_cast<size_t>(at);
        return true;
    }
    bool chain(const std::vector<uint32_t>& table, uint32_t start, std::vector<uint32_t>& out) const {
        out.clear();
        for (uint32_t s = start; s != kEndOfChain;) {
            if (s >= table.size() || out.size() > table.size()) return false;
            out.push_back(s);
            s = table[s];
        }
        return true;
    }
    bool readChain(uint32_t start, std::vector<uint8_t>& out) const {
        std::vector<uint32_t> sectors;
        if (!chain(fat_, start, sectors)) return false;
        out.clear();
        for (uint32_t s : sectors) {
            size_t at = 0;
            if (!sectorAt(s, at)) return false;
            out.insert(out.end(), b_.begin() + static_cast<std::ptrdiff_t>(at),
                       b_.begin() + static_cast<std::ptrdiff_t>(at + sector_size_));
        }
        return true;
    }

    std::vector<uint8_t> b_;
    unsigned shift_ = 9;
    size_t sector_size_ = 512;
    std::vector<uint32_t> fat_;
    std::vector<uint8_t> directory_;
    uint32_t mini_cutoff_ = 4096;
    uint32_t first_mini_fat_ = kEndOfChain;
    bool ok_ = false;
};

bool Compound::load() {
    static const uint8_t kMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (b_.size() < 512 || std::memcmp(b_.data(), kMagic, 8) != 0) return false;
    shift_ = U16(b_, 30);
    if (shift_ != 9 && shift_ != 12) return false;
    sector_size_ = size_t{1} << shift_;
    const uint32_t fat_sectors = U32(b_, 44);
    const uint32_t first_dir = U32(b_, 48);
    mini_cutoff_ = U32(b_, 56);
    first_mini_fat_ = U32(b_, 60);
    uint32_t difat_next = U32(b_, 68);
    const uint32_t difat_sectors = U32(b_, 72);
    if (fat_sectors > b_.size() / sector_size_ + 1) return false;

    // Where the allocation table lies: 109 entries in the header, the rest in a chain of its own.
    std::vector<uint32_t> fat_list;
    for (uint32_t i = 0; i < 109 && fat_list.size() < fat_sectors; ++i)
        fat_list.push_back(U32(b_, 76 + 4 * i));
    const size_t per_difat = sector_size_ / 4 - 1;
    for (uint32_t n = 0; n < difat_sectors && fat_list.size() < fat_sectors; ++n) {
        size_t at = 0;
        if (!sectorAt(difat_next, at)) return false;
        for (size_t i = 0; i < per_difat && fat_list.size() < fat_sectors; ++i)
            fat_list.push_back(U32(b_, at + 4 * i));
        difat_next = U32(b_, at + 4 * per_difat);
    }
    if (fat_list.size() != fat_sectors) return false;
    for (uint32_t s : fat_list) {
        size_t at = 0;
        if (!sectorAt(s, at)) return false;
        for (size_t i = 0; i < sector_size_ / 4; ++i) fat_.push_back(U32(b_, at + 4 * i));
    }
    return readChain(first_dir, directory_) && directory_.size() >= 128;
}

bool Compound::stream(const char* name, std::vector<uint8_t>& out) const {
    const size_t wanted = std::strlen(name);
    for (size_t e = 0; e + 128 <= directory_.size(); e += 128) {
        const std::vector<uint8_t> entry(directory_.begin() + static_cast<std::ptrdiff_t>(e),
                                         directory_.begin() + static_cast<std::ptrdiff_t>(e + 128));
        if (entry[66] != 2) continue;  // not a stream
        const uint16_t name_bytes = U16(entry, 64);
        if (name_bytes != (wanted + 1) * 2) continue;
        bool same = true;
        for (size_t i = 0; i < wanted && same; ++i) {
            const uint16_t c = U16(entry, 2 * i);
            auto lower = [](unsigned v) { return v >= 'A' && v <= 'Z' ? v + 32 : v; };
            same = lower(c) == lower(static_cast<unsigned char>(name[i]));
        }
        if (!same) continue;
        const uint32_t start = U32(entry, 116);
        const uint32_t size = U32(entry, 120);
        if (size < mini_cutoff_) {
            // Small streams live in 64-byte pieces of the root's stream.
            std::vector<uint8_t> root_stream, mini_fat_bytes;
            if (directory_[66] != 5 || !readChain(U32(directory_, 116), root_stream)) return false;
            if (first_mini_fat_ != kEndOfChain && first_mini_fat_ != kFreeSector &&
                !readChain(first_mini_fat_, mini_fat_bytes))
                return false;
            std::vector<uint32_t> mini_fat;
            for (size_t i = 0; i + 4 <= mini_fat_bytes.size(); i += 4)
                mini_fat.push_back(U32(mini_fat_bytes, i));
            std::vector<uint32_t> pieces;
            if (!chain(mini_fat, start, pieces)) return false;
            out.clear();
            for (uint32_t p : pieces) {
                const size_t at = static_cast<size_t>(p) * 64;
                if (at + 64 > root_stream.size()) return false;
                out.insert(out.end(), root_stream.begin() + static_cast<std::ptrdiff_t>(at),
                           root_stream.begin() + static_cast<std::ptrdiff_t>(at + 64));
            }
        } else if (!readChain(start, out)) {
            return false;
        }
        if (out.size() < size) return false;
        out.resize(size);
        return true;
    }
    return false;
}

const char* ErrorText(uint8_t code) {
    switch (code) {
        case 0x00:
            return "#NULL!";
        case 0x07:
            return "#DIV/0!";
        case 0x0F:
            return "#VALUE!";
        case 0x17:
            return "#REF!";
        case 0x1D:
            return "#NAME?";
        case 0x24:
            return "#NUM!";
        case 0x2A:
            return "#N/A";
        default:
            return "#N/A";
    }
}

}  // namespace

std::map<std::pair<uint32_t, uint32_t>, CellValue> XlsBoolErrCells(const std::string& path) {
    std::map<std::pair<uint32_t, uint32_t>, CellValue> cells;
    std::ifstream in(path, std::ios::binary);
    if (!in) return cells;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Compound file(std::move(bytes));
    std::vector<uint8_t> book;
    if (!file.ok() || (!file.stream("Workbook", book) && !file.stream("Book", book))) return cells;

    // The globals name the sheets and where each begins; the first one is the sheet the import reads.
    constexpr uint16_t kEof = 0x000A, kBoundSheet = 0x0085, kBoolErr = 0x0205;
    size_t at = 0;
    int64_t first_sheet = -1;
    while (at + 4 <= book.size()) {
        const uint16_t id = U16(book, at), length = U16(book, at + 2);
        if (at + 4 + length > book.size()) return cells;
        if (id == kBoundSheet && length >= 4 && first_sheet < 0) first_sheet = U32(book, at + 4);
        at += 4 + length;
        if (id == kEof) break;
    }
    if (first_sheet < 0) return cells;
    // The sheet runs from its BOF to the matching EOF; a chart inside it brings a BOF and EOF of its own.
    constexpr uint16_t kBof = 0x0809;
    at = static_cast<size_t>(first_sheet);
    int depth = 0;
    while (at + 4 <= book.size()) {
        const uint16_t id = U16(book, at), length = U16(book, at + 2);
        if (at + 4 + length > book.size()) break;
        if (id == kBof) ++depth;
        if (id == kEof && --depth > 0) {
            at += 4 + length;
            continue;
        }
        if (id == kBoolErr && length >= 8) {
            const uint32_t row = U16(book, at + 4), column = U16(book, at + 6);
            const uint8_t value = book[at + 10], is_error = book[at + 11];
            cells[{row, column}] =
                is_error ? CellValue::Text(ErrorText(value)) : CellValue::Boolean(value != 0);
        }
        at += 4 + length;
        if (id == kEof) break;
    }
    return cells;
}

}  // namespace desk
