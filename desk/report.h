// The reading report workbook (.xlsx content whatever name the operator chose).
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace desk {

// What a list shows: its column captions and, per item, the caption followed by its sub-items.
struct ListContent {
    QStringList captions;
    std::vector<QStringList> rows;
};

// Completes a chosen name: unless it ends in ".xls" or ".xlsx" (letter case counts), ".xls" is
// appended under the first filter entry and ".xlsx" under any other.
QString CompleteReportName(const QString& chosen, int filter_index);

// "DD-MM-YYYY hh:mm:ss".
QString ReportDateText(const QDateTime& when);

// Upper-cases the letters a to z only (the messages show the file name this way).
QString UpperLatin(QString text);

enum class ReportOutcome { Saved, WorkbookUnavailable, DataRowFailed, LayoutOrSaveFailed };

// Writes the report: title merged over the list's columns in row 1 (bold, size 14, centred), the
// date row, the captions in row 4 and every item as text from row 5; columns fitted to their texts.
// The file is written beside its target and renamed into place only when complete.  progress(k) counts
// 2m steps for m items: the k-th item measured for the column widths (k from 1 to m), then the
// (k - m)-th item written.
ReportOutcome WriteReport(const QString& path, const QString& title, const ListContent& list,
                          const QDateTime& when, const std::function<void(int)>& progress = {});

// Column width (in characters) that fits the given texts.
double FittedWidth(const QStringList& texts);

}  // namespace desk
