// Reading the first worksheet of a meter workbook (.xls or .xlsx, chosen by the file's content).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace desk {

// One cell as the workbook holds it.
struct CellValue {
    enum class Kind { Empty, Text, Number, Boolean, Date };
    Kind kind = Kind::Empty;
    std::string text;   // Text (UTF-8)
    double number = 0;  // Number; Date as a serial day count (1900 date system, day 1 = 1900-01-01)
    bool boolean = false;

    static CellValue Text(std::string t) { return {Kind::Text, std::move(t), 0, false}; }
    static CellValue Number(double v) { return {Kind::Number, {}, v, false}; }
    static CellValue Boolean(bool b) { return {Kind::Boolean, {}, 0, b}; }
    static CellValue Date(double serial) { return {Kind::Date, {}, serial, false}; }
    bool operator==(const CellValue&) const = default;
};

// The first worksheet, reduced to the columns asked for.  Rows and columns count from 1; the used
// range ends at the last row and the last column that hold a value.
class Sheet {
  public:
    explicit Sheet(std::vector<int> columns = {}) : columns_(std::move(columns)) {}

    int rowCount() const { return rows_; }
    int columnCount() const { return cols_; }
    // The cell at (row, column) when column is one of the kept columns; Empty otherwise.
    const CellValue& cell(int row, int column) const;

    // Filled by the readers.
    void put(int row, int column, CellValue value);
    bool keeps(int column) const;

  private:
    std::vector<int> columns_;                  // kept columns; empty means all
    std::vector<std::vector<CellValue>> data_;  // [row - 1][index of kept column]
    int rows_ = 0;
    int cols_ = 0;
    int slot(int column) const;
    int width() const;
};

// Raised when the file is no workbook this program can read, or is damaged.
class WorkbookError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads the first worksheet of the workbook at path; keeps only the given columns (all when empty).
Sheet ReadFirstSheet(const std::string& path, const std::vector<int>& columns = {});

// The two formats, for tests and benchmarks that know what they hand over.
Sheet ReadXlsx(const std::string& path, const std::vector<int>& columns);
Sheet ReadXls(const std::string& path, const std::vector<int>& columns);

// The boolean and error cells of the first worksheet of a .xls file, by zero-based (row, column):
// booleans as Boolean, errors as their text ("#DIV/0!").  Empty when the file's structure is not
// understood, so the reader keeps what freexl gave.
std::map<std::pair<uint32_t, uint32_t>, CellValue> XlsBoolErrCells(const std::string& path);

// Serial day count of a calendar date and time (1900 date system as spreadsheets count it).
double DateSerial(int year, int month, int day, int hour = 0, int minute = 0, double second = 0);

}  // namespace desk
