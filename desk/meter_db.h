// The meter database db.mdb (SQLite) and the import that refills its table Meter.
#pragma once

#include <QSqlDatabase>
#include <QSqlRecord>
#include <QString>
#include <QVariant>
#include <functional>
#include <stdexcept>
#include <vector>

#include "workbook.h"

namespace desk {

// An error the operator sees in the error report; its text is the whole message.
class DeskError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    explicit DeskError(const QString& text) : std::runtime_error(text.toStdString()) {}
    QString text() const { return QString::fromStdString(what()); }
};

// How a Meter column takes a value, from its declared type.
enum class FieldType { Integer, Real, Text };

// Converts a workbook cell for a field the way the old data layer did: an empty cell is null, a whole
// number becomes "12345" in a text field, a text that is no number is refused by a numeric field.
// Returns false (and sets why) when the field cannot take the value.
bool ConvertCell(const CellValue& cell, FieldType type, QVariant& out, QString& why);

// Converts a text the operator typed into a grid cell for a field: an empty text is null, a numeric
// field takes a number only.  Returns false (and sets why) when the field cannot take it.
bool ConvertEdit(const QString& text, FieldType type, QVariant& out, QString& why);

// The declared types of the named Meter columns, in the record's order (Text for a name not found).
std::vector<FieldType> MeterFieldTypes(QSqlDatabase& db, const QSqlRecord& fields);

// Text form of a number as the data layer writes it: up to 15 significant digits, no trailing ".0".
QString NumberText(double value);

// The statements run on db.mdb.  The padding keeps the old Jet statement's meaning,
//   UPDATE Meter SET Meter.meterid = Right("000000000000"+[meterid],12);
// a shorter value padded on the left with "0" to 12 characters, a longer one keeping its last 12,
// an empty text becoming twelve zeros and null staying null.
inline constexpr const char* kPadMeterIdsStatement =
    "UPDATE Meter SET meterid = substr('000000000000' || meterid, -12, 12);";
inline constexpr const char* kGridQueryStatement =
    "select NID,clientid,address,meterid,ROTER,lx,RESET from meter order by NID";

// Workbook columns read and the Meter positions they fill: A to F -> 0 to 5, N -> 14.
inline const std::vector<int> kImportColumns = {1, 2, 3, 4, 5, 6, 14};
inline constexpr int kImportPositions[] = {0, 1, 2, 3, 4, 5, 14};
inline constexpr int kMeterMinColumns = 15;

// Opens db.mdb of the data folder; never creates it.  Raises DeskError when it is missing or cannot
// be opened.  The connection gets the given name.
QSqlDatabase OpenMeterDatabase(const QString& data_dir, const QString& connection_name);

// Replaces the rows of Meter with the data rows (2 to R) of the sheet and pads the meter serials, in
// one transaction: every row is converted before anything is written, and on any error Meter keeps
// what it held.  progress(k) is called after each converted row, and with the row count again after
// each block of rows written.  Raises DeskError.
void ImportMeters(QSqlDatabase& db, const Sheet& sheet, const std::function<void(int)>& progress = {});

}  // namespace desk
