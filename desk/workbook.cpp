#include "workbook.h"

#include <freexl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace desk {

int Sheet::slot(int column) const {
    if (columns_.empty()) return column - 1;
    auto it = std::find(columns_.begin(), columns_.end(), column);
    return it == columns_.end() ? -1 : static_cast<int>(it - columns_.begin());
}

int Sheet::width() const {
    return columns_.empty() ? cols_ : static_cast<int>(columns_.size());
}

bool Sheet::keeps(int column) const {
    return slot(column) >= 0;
}

void Sheet::put(int row, int column, CellValue value) {
    if (row < 1 || column < 1 || value.kind == CellValue::Kind::Empty) return;
    rows_ = std::max(rows_, row);
    cols_ = std::max(cols_, column);
    int s = slot(column);
    if (s < 0) return;
    if (static_cast<int>(data_.size()) < row) data_.resize(static_cast<size_t>(row));
    auto& line = data_[static_cast<size_t>(row - 1)];
    if (static_cast<int>(line.size()) <= s) line.resize(static_cast<size_t>(s + 1));
    line[static_cast<size_t>(s)] = std::move(value);
}

const CellValue& Sheet::cell(int row, int column) const {
    static const CellValue empty;
    int s = slot(column);
    if (row < 1 || s < 0 || row > static_cast<int>(data_.size())) return empty;
    const auto& line = data_[static_cast<size_t>(row - 1)];
    if (s >= static_cast<int>(line.size())) return empty;
    return line[static_cast<size_t>(s)];
}

double DateSerial(int year, int month, int day, int hour, int minute, double second) {
    // Days from 1899-12-30, which is what the 1900 date system counts from March 1900 on.
    auto days_from_civil = [](int y, int m, int d) {
        y -= m <= 2;
        const int era = (y >= 0 ? y : y - 399) / 400;
        const int yoe = y - era * 400;
        const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + doe - 719468;
    };
    const double days = days_from_civil(year, month, day) - days_from_civil(1899, 12, 30);
    return days + (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

namespace {

// freexl hands dates and times over as text: "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" or "HH:MM:SS".
CellValue DateFromText(const char* text, bool has_date, bool has_time) {
    int y = 1899, mo = 12, d = 30, h = 0, mi = 0, s = 0;
    if (has_date && has_time) {
        if (std::sscanf(text, "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) < 3)
            return CellValue::Text(text);
    } else if (has_date) {
        if (std::sscanf(text, "%d-%d-%d", &y, &mo, &d) != 3) return CellValue::Text(text);
    } else if (std::sscanf(text, "%d:%d:%d", &h, &mi, &s) < 2) {
        return CellValue::Text(text);
    }
    return CellValue::Date(DateSerial(y, mo, d, h, mi, s));
}

struct XlsHandle {
    const void* h = nullptr;
    ~XlsHandle() {
        if (h) freexl_close(h);
    }
};

}  // namespace

Sheet ReadXls(const std::string& path, const std::vector<int>& columns) {
    XlsHandle xls;
    if (freexl_open(path.c_str(), &xls.h) != FREEXL_OK)
        throw WorkbookError("The file is not a workbook that can be read: " + path);
    unsigned int sheets = 0;
    if (freexl_get_info(xls.h, FREEXL_BIFF_SHEET_COUNT, &sheets) != FREEXL_OK || sheets == 0)
        throw WorkbookError("The workbook has no worksheet: " + path);
    if (freexl_select_active_worksheet(xls.h, 0) != FREEXL_OK)
        throw WorkbookError("The first worksheet cannot be read: " + path);
    unsigned int rows = 0;
    unsigned short cols = 0;
    if (freexl_worksheet_dimensions(xls.h, &rows, &cols) != FREEXL_OK)
        throw WorkbookError("The first worksheet cannot be read: " + path);

    const auto bool_err = XlsBoolErrCells(path);
    Sheet sheet(columns);
    for (unsigned int r = 0; r < rows; ++r) {
        for (unsigned short c = 0; c < cols; ++c) {
            FreeXL_CellValue v;
            if (freexl_get_cell_value(xls.h, r, c, &v) != FREEXL_OK) continue;
            CellValue value;
            switch (v.type) {
                case FREEXL_CELL_INT:
                    value = CellValue::Number(v.value.int_value);
                    break;
                case FREEXL_CELL_DOUBLE:
                    value = CellValue::Number(v.value.double_value);
                    break;
                case FREEXL_CELL_TEXT:
                case FREEXL_CELL_SST_TEXT:
                    // An empty text is no value: the cell counts as empty.
                    if (v.value.text_value && *v.value.text_value)
                        value = CellValue::Text(v.value.text_value);
                    break;
                case FREEXL_CELL_DATE:
                    value = DateFromText(v.value.text_value, true, false);
                    break;
                case FREEXL_CELL_DATETIME:
                    value = DateFromText(v.value.text_value, true, true);
                    break;
                case FREEXL_CELL_TIME:
                    value = DateFromText(v.value.text_value, false, true);
                    break;
                default:
                    break;
            }
            // freexl gives a boolean as 1 or 0; the cell's own kind is known from its record.
            if (auto it = bool_err.find({r, c}); it != bool_err.end()) value = it->second;
            sheet.put(static_cast<int>(r) + 1, c + 1, std::move(value));
        }
    }
    return sheet;
}

Sheet ReadFirstSheet(const std::string& path, const std::vector<int>& columns) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw WorkbookError("The workbook cannot be opened: " + path);
    unsigned char magic[8] = {};
    in.read(reinterpret_cast<char*>(magic), sizeof magic);
    if (in.gcount() >= 4 && std::memcmp(magic, "PK\x03\x04", 4) == 0) return ReadXlsx(path, columns);
    static const unsigned char kCompound[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (in.gcount() == 8 && std::memcmp(magic, kCompound, 8) == 0) return ReadXls(path, columns);
    throw WorkbookError("The file is not a workbook: " + path);
}

}  // namespace desk
