#include "report.h"

#include <xlsxwriter.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>

#include "temporaries.h"

namespace desk {

QString CompleteReportName(const QString& chosen, int filter_index) {
    if (chosen.endsWith(QLatin1String(".xls"), Qt::CaseSensitive) ||
        chosen.endsWith(QLatin1String(".xlsx"), Qt::CaseSensitive))
        return chosen;
    return chosen + (filter_index == 1 ? QStringLiteral(".xls") : QStringLiteral(".xlsx"));
}

QString ReportDateText(const QDateTime& when) {
    return when.toString(QStringLiteral("dd-MM-yyyy hh:mm:ss"));
}

QString UpperLatin(QString text) {
    for (QChar& ch : text)
        if (ch >= QLatin1Char('a') && ch <= QLatin1Char('z')) ch = QChar(ch.unicode() - 'a' + 'A');
    return text;
}

namespace {

// Wide (East Asian) characters take two columns of the default font.
int TextColumns(const QString& text) {
    int w = 0;
    for (const QChar ch : text) w += ch.unicode() >= 0x1100 ? 2 : 1;
    return w;
}

double WidthOfWidest(int widest) {
    return std::min(255.0, widest == 0 ? 8.43 : widest * 1.1 + 2.0);
}

}  // namespace

double FittedWidth(const QStringList& texts) {
    int widest = 0;
    for (const QString& t : texts) widest = std::max(widest, TextColumns(t));
    return WidthOfWidest(widest);
}

namespace {

struct Book {
    lxw_workbook* wb = nullptr;
    ~Book() {
        if (wb) {
            // Closing writes the file; an abandoned report goes to a name that is removed afterwards.
            workbook_close(wb);
        }
    }
};

}  // namespace

ReportOutcome WriteReport(const QString& path, const QString& title, const ListContent& list,
                          const QDateTime& when, const std::function<void(int)>& progress) {
    const QFileInfo target(path);
    // The part file's name carries this process, so that a later run can remove it should this one end
    // before the report is in place.
    const QString temp = target.absoluteDir().absoluteFilePath(ReportTemporaryName(target.fileName()));
    const QByteArray temp_name = QFile::encodeName(temp);
    QFile::remove(temp);

    Book book;
    lxw_workbook_options options = {};
    options.constant_memory = LXW_TRUE;
    book.wb = workbook_new_opt(temp_name.constData(), &options);
    lxw_worksheet* ws = book.wb ? workbook_add_worksheet(book.wb, nullptr) : nullptr;
    if (!ws) return ReportOutcome::WorkbookUnavailable;

    auto abandon = [&](ReportOutcome outcome) {
        workbook_close(book.wb);
        book.wb = nullptr;
        QFile::remove(temp);
        return outcome;
    };

    lxw_format* caption_format = workbook_add_format(book.wb);
    format_set_font_size(caption_format, 10);
    lxw_format* text_format = workbook_add_format(book.wb);
    format_set_num_format(text_format, "@");
    format_set_font_size(text_format, 10);
    lxw_format* title_format = workbook_add_format(book.wb);
    format_set_font_size(title_format, 14);
    format_set_bold(title_format);
    format_set_align(title_format, LXW_ALIGN_CENTER);
    format_set_align(title_format, LXW_ALIGN_VERTICAL_CENTER);
    lxw_format* date_format = workbook_add_format(book.wb);
    format_set_font_size(date_format, 14);

    const int n = static_cast<int>(list.captions.size());

    // Widths follow the captions and the data only, never the title or the date: one pass over the
    // items, the first half of the progress.
    const int m = static_cast<int>(list.rows.size());
    std::vector<int> widest(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) widest[static_cast<size_t>(i)] = TextColumns(list.captions[i]);
    for (int j = 0; j < m; ++j) {
        if (progress) progress(j + 1);
        const QStringList& row = list.rows[static_cast<size_t>(j)];
        for (int i = 0; i < n && i < row.size(); ++i)
            widest[static_cast<size_t>(i)] = std::max(widest[static_cast<size_t>(i)], TextColumns(row[i]));
    }
    for (int i = 0; i < n; ++i) {
        if (worksheet_set_column(ws, static_cast<lxw_col_t>(i), static_cast<lxw_col_t>(i),
                                 WidthOfWidest(widest[static_cast<size_t>(i)]), nullptr) != LXW_NO_ERROR)
            return abandon(ReportOutcome::LayoutOrSaveFailed);
    }
    // Rows are streamed in order (the workbook is written in constant memory): title, date, captions,
    // then every item as text.
    const QByteArray title_text = title.toUtf8();
    lxw_error e = n > 1 ? worksheet_merge_range(ws, 0, 0, 0, static_cast<lxw_col_t>(n - 1),
                                                title_text.constData(), title_format)
                        : worksheet_write_string(ws, 0, 0, title_text.constData(), title_format);
    if (e != LXW_NO_ERROR) return abandon(ReportOutcome::LayoutOrSaveFailed);
    const QByteArray date_text = (QStringLiteral("Fecha de informe:") + ReportDateText(when)).toUtf8();
    if (worksheet_write_string(ws, 1, 0, date_text.constData(), date_format) != LXW_NO_ERROR)
        return abandon(ReportOutcome::LayoutOrSaveFailed);
    for (int i = 0; i < n; ++i) {
        const QByteArray text = list.captions[i].toUtf8();
        if (worksheet_write_string(ws, 3, static_cast<lxw_col_t>(i), text.constData(), caption_format) !=
            LXW_NO_ERROR)
            return abandon(ReportOutcome::DataRowFailed);
    }
    for (size_t j = 0; j < list.rows.size(); ++j) {
        if (progress) progress(m + static_cast<int>(j + 1));
        const QStringList& row = list.rows[j];
        for (int i = 0; i < n; ++i) {
            const QByteArray text = (i < row.size() ? row[i] : QString()).toUtf8();
            if (worksheet_write_string(ws, static_cast<lxw_row_t>(j + 4), static_cast<lxw_col_t>(i),
                                       text.constData(), text_format) != LXW_NO_ERROR)
                return abandon(ReportOutcome::DataRowFailed);
        }
    }

    // Save: complete file first, then into place.
    lxw_error closed = workbook_close(book.wb);
    book.wb = nullptr;
    if (closed != LXW_NO_ERROR) {
        QFile::remove(temp);
        return ReportOutcome::LayoutOrSaveFailed;
    }
    if (::rename(temp_name.constData(), QFile::encodeName(target.absoluteFilePath()).constData()) != 0) {
        QFile::remove(temp);
        return ReportOutcome::LayoutOrSaveFailed;
    }
    return ReportOutcome::Saved;
}

}  // namespace desk
