// The task table: the template B.DBF, the table A.DBF the upload writes, and the query that reads the
// table downa.dbf the handheld gave back.
#pragma once

#include <QDir>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "code_page.h"
#include "meter_db.h"

namespace tarvix::dbf {
struct FieldSpec;
}

namespace desk {

// The template's structure: the seven fields the upload writes and the reading fields the download
// selects, character and numeric fields only, each narrow enough for the handheld's packed tables.
const std::vector<tarvix::dbf::FieldSpec>& TaskTableFields();

// Writes an empty template table at path.  Raises DeskError.
void WriteTaskTemplate(const QString& path);

// One meter as the upload writes it; field names are matched without regard to case.
struct TaskRecord {
    long long nid = 0;
    QString cid, addres, mid, roter, lx, reset;
};

// Records the code page of the table at path in its language-driver byte when the byte names none:
// the ANSI code page of operator_language, so that a reader in another language decodes the texts as
// they were written.  A byte already set is kept.  Returns the table's code page.  Raises DeskError.
std::string RecordCodePage(const QString& path, const QString& operator_language = OperatorLanguage());

// The records whose texts would not arrive as they stand in the table at path: a character its code
// page lacks (written as "?") or a text longer than its field (cut).
struct TextChanges {
    int records = 0;     // records with at least one changed text
    int replaced = 0;    // texts with a character the code page lacks
    int cut = 0;         // texts longer than their field
    QStringList meters;  // `mid` of the first few such records, as the grid holds it
    std::string code_page;
};
inline constexpr int kChangedMetersNamed = 5;
TextChanges FindTextChanges(const QString& path, const std::vector<TaskRecord>& records,
                            const QString& operator_language = OperatorLanguage());

// Appends the records to the existing table at path (the fresh copy of the template) and closes it,
// on every path.  Text fields are written in the table's code page (its language-driver byte, else the
// ANSI code page of operator_language, see code_page.h).  progress(k) is called before the k-th record
// (from 1).  On an error nothing of this call stays in the table and DeskError is raised.
void AppendTaskRecords(const QString& path, const std::vector<TaskRecord>& records,
                       const QString& operator_language = OperatorLanguage(),
                       const std::function<void(int)>& progress = {});

// A local-SQL select of the form "select F1,F2,... from FILE order by FIELD" over a table of the data
// folder.  Raises DeskError for a statement of any other form.
struct LocalSelect {
    QStringList fields;
    QString table_file;
    QString order_by;
};
LocalSelect ParseLocalSelect(const QString& statement);

// Runs the select over the table file found in data_dir (its name matched without regard to case):
// one row per record with the text of each selected field, in ascending order of the order field
// (numerically for numeric fields), records of equal keys in file order.  Raises DeskError when the
// table is missing or unreadable or a named field does not exist.
// Text fields are read in the code page the table's language-driver byte names; a table that names
// none (a handheld that rebuilds the table it gives back drops the byte) is read in the code page of the
// task table A.DBF of the same folder, the table it was made from, and else in the operator's.
std::vector<QStringList> RunLocalSelect(const QString& data_dir, const QString& statement,
                                        const QString& operator_language = OperatorLanguage());

// The download's statement, exactly.
inline constexpr const char* kReadingQueryStatement =
    "select NID,CID,ADDRES,MID,ROTER,lx,PA,A1,A2,LE,RE,RV,RC,RD,RESET,RDS,CRQ,CTM,Reason from downa.dbf "
    "order by nid ";

// Finds an entry of the folder by name without regard to case, among those that kinds lists (by
// default its files, hidden and system ones included); empty when there is none.  The name as given
// goes first.
QString FindFileNoCase(const QString& dir, const QString& name,
                       QDir::Filters kinds = QDir::Files | QDir::Hidden | QDir::System);

}  // namespace desk
