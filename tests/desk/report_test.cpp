// "Export data to excel": the report workbook, read back with openpyxl.
#include "report.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>

#include "form1.h"
#include "helpers.h"

using desktest::Desk;

namespace {

QJsonObject ReadBack(const QString& path) {
    // openpyxl goes by the name: a report saved as .xls is looked at under an .xlsx name.
    QString readable = path;
    if (!path.endsWith(QLatin1String(".xlsx"))) {
        readable = path + QStringLiteral(".copy.xlsx");
        QFile::remove(readable);
        EXPECT_TRUE(QFile::copy(path, readable));
    }
    return QJsonDocument::fromJson(desktest::RunPython(QStringLiteral("read_report.py"), {readable}))
        .object();
}

// A window whose list shows the given rows (as a download leaves it).
void Fill(Desk& d, const std::vector<QStringList>& rows) {
    d.form->SetupReadingColumns();
    d.form->ListView2->setRowCount(static_cast<int>(rows.size()));
    for (size_t r = 0; r < rows.size(); ++r)
        for (int c = 0; c < rows[r].size(); ++c)
            d.form->ListView2->setItem(static_cast<int>(r), c, new QTableWidgetItem(rows[r][c]));
}

QStringList Item(int nid, const QString& mid) {
    QStringList row{QString::number(nid), QStringLiteral("0042"), QStringLiteral("Calle \u00d1and\u00fa 5"),
                    mid};
    while (row.size() < 19) row << QStringLiteral("v%1").arg(row.size());
    return row;
}

TEST(Report, LayoutReadBack) {
    Desk d;
    Fill(d, {Item(1, QStringLiteral("000000012345")), Item(2, QStringLiteral("000000000007"))});
    QTemporaryDir out;
    const QString chosen = out.filePath(QStringLiteral("report"));
    d.ui.save_answers.push_back(desk::SaveChoice{chosen, 2});
    const QDateTime before = QDateTime::currentDateTime();
    d.form->Exportdatatoexcel2->trigger();

    const QString file = chosen + QStringLiteral(".xlsx");
    ASSERT_EQ(d.ui.messages.size(), 1u);
    EXPECT_EQ(d.ui.last(),
              QStringLiteral("Data has been successfully exported to\uFF1A") + desk::UpperLatin(file));
    EXPECT_EQ(d.ui.messages.back().caption, QStringLiteral("Prompt"));
    EXPECT_EQ(d.ui.messages.back().icon, desk::BoxIcon::Information);
    EXPECT_EQ(d.ui.save_titles.back(), QStringLiteral("Save to"));
    EXPECT_EQ(d.ui.save_filters.back(), QStringLiteral("EXCEL (*.xls);;EXCEL2007 (*.xlsx)"));
    ASSERT_TRUE(QFile::exists(file));

    const QJsonObject r = ReadBack(file);
    EXPECT_EQ(r["merged"].toArray(), QJsonArray({"A1:S1"}));
    const QJsonObject title = r["title"].toObject();
    EXPECT_EQ(title["value"].toString(), QStringLiteral("Informe de Resultados"));
    EXPECT_TRUE(title["bold"].toBool());
    EXPECT_EQ(title["size"].toDouble(), 14.0);
    EXPECT_EQ(title["horizontal"].toString(), QStringLiteral("center"));
    EXPECT_EQ(title["vertical"].toString(), QStringLiteral("center"));
    const QJsonObject date = r["date"].toObject();
    EXPECT_EQ(date["size"].toDouble(), 14.0);
    const QString date_text = date["value"].toString();
    ASSERT_TRUE(QRegularExpression(QStringLiteral(R"(^Fecha de informe:\d\d-\d\d-\d{4} \d\d:\d\d:\d\d$)"))
                    .match(date_text)
                    .hasMatch())
        << date_text.toStdString();
    const QDateTime stamp = QDateTime::fromString(date_text.mid(17), QStringLiteral("dd-MM-yyyy hh:mm:ss"));
    EXPECT_GE(stamp.secsTo(QDateTime::currentDateTime()), 0);
    EXPECT_LE(before.secsTo(stamp), 1);
    for (const auto v : r["row3"].toArray()) EXPECT_TRUE(v.isNull());

    const QJsonArray captions = r["captions"].toArray();
    ASSERT_EQ(captions.size(), 19);
    for (int c = 0; c < 19; ++c)
        EXPECT_EQ(captions[c].toString(), QString::fromLatin1(desk::kReadingColumns[c].caption));
    EXPECT_EQ(r["caption_size"].toDouble(), 10.0);

    const QJsonArray rows = r["rows"].toArray();
    ASSERT_EQ(rows.size(), 2);
    const QStringList first = Item(1, QStringLiteral("000000012345"));
    for (int c = 0; c < 19; ++c) EXPECT_EQ(rows[0].toArray()[c].toString(), first[c]) << c;
    EXPECT_EQ(rows[1].toArray()[3].toString(), QStringLiteral("000000000007"));
    for (const auto row : r["formats"].toArray())
        for (const auto f : row.toArray()) EXPECT_EQ(f.toString(), QStringLiteral("@"));
    for (const auto row : r["types"].toArray())
        for (const auto t : row.toArray()) EXPECT_EQ(t.toString(), QStringLiteral("s"));
    // Widths follow the texts of each column: the address column is wider than the number column.
    const QJsonObject widths = r["widths"].toObject();
    EXPECT_GT(widths["C"].toDouble(), widths["A"].toDouble());
    EXPECT_GT(widths["P"].toDouble(), widths["B"].toDouble());  // "Demanda Maxima despues del Reset"
}

TEST(Report, EmptyListNamesAndCancel) {
    Desk d;
    Fill(d, {});
    QTemporaryDir out;
    d.ui.save_answers.push_back(desk::SaveChoice{out.filePath(QStringLiteral("empty")), 1});
    d.form->Exportdatatoexcel2Click();
    const QString file = out.filePath(QStringLiteral("empty.xls"));
    ASSERT_TRUE(QFile::exists(file)) << d.ui.last().toStdString();
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.read(4), QByteArray("PK\x03\x04", 4)) << "the content is a .xlsx workbook whatever the name";
    const QJsonObject r = ReadBack(file);
    EXPECT_EQ(r["max_row"].toInt(), 4);
    EXPECT_EQ(r["captions"].toArray().size(), 19);
    EXPECT_TRUE(r["rows"].toArray().isEmpty());

    const size_t before = d.ui.messages.size();
    EXPECT_FALSE(
        d.form->ExportListViewToExcel(d.form->ListView2, QStringLiteral("x")));  // no answer: cancelled
    EXPECT_EQ(d.ui.messages.size(), before);

    struct Case {
        const char* chosen;
        int filter;
        const char* completed;
    };
    const Case cases[] = {
        {"report", 1, "report.xls"},         {"report", 2, "report.xlsx"},
        {"report.xls", 2, "report.xls"},     {"report.xlsx", 1, "report.xlsx"},
        {"report.XLS", 1, "report.XLS.xls"}, {"a.b", 2, "a.b.xlsx"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(desk::CompleteReportName(QString::fromLatin1(c.chosen), c.filter),
                  QString::fromLatin1(c.completed));
    EXPECT_EQ(desk::UpperLatin(QStringLiteral("/tmp/r\u00e9port.xlsx")),
              QStringLiteral("/TMP/R\u00e9PORT.XLSX"));
    EXPECT_EQ(desk::ReportDateText(QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9))),
              QStringLiteral("05-03-2024 07:08:09"));
}

TEST(Report, SaveFailureKeepsAnEarlierFileAndSaysSo) {
    Desk d;
    Fill(d, {Item(1, QStringLiteral("1"))});
    QTemporaryDir out;
    const QString missing_folder = out.filePath(QStringLiteral("no/such/folder/r.xlsx"));
    d.ui.save_answers.push_back(desk::SaveChoice{missing_folder, 2});
    EXPECT_FALSE(d.form->ExportListViewToExcel(d.form->ListView2, QStringLiteral("t")));
    EXPECT_EQ(d.ui.last(), QStringLiteral("Export data failed\uFF1A") + desk::UpperLatin(missing_folder));
    EXPECT_EQ(d.ui.messages.back().caption, QStringLiteral("Prompt"));

    // Replacing a file: the new report takes its place whole, nothing is left beside it.
    const QString existing = out.filePath(QStringLiteral("r.xlsx"));
    QFile old(existing);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();
    d.ui.save_answers.push_back(desk::SaveChoice{existing, 2});
    EXPECT_TRUE(d.form->ExportListViewToExcel(d.form->ListView2, QStringLiteral("t")));
    EXPECT_EQ(ReadBack(existing)["rows"].toArray().size(), 1);
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no temporary left";
}

}  // namespace

namespace {

TEST(Report, ADataRowFailureSavesNothing) {
    Desk d;
    Fill(d, {Item(1, QStringLiteral("1"))});
    QTemporaryDir out;
    // A cell longer than a sheet cell holds.
    d.form->ListView2->setItem(0, 5, new QTableWidgetItem(QString(40000, QLatin1Char('x'))));
    d.ui.save_answers.push_back(desk::SaveChoice{out.filePath(QStringLiteral("b.xlsx")), 2});
    EXPECT_FALSE(d.form->ExportListViewToExcel(d.form->ListView2, QStringLiteral("t")));
    EXPECT_EQ(d.ui.last(), QStringLiteral("Network connection fails, the data was not able to export"));
    EXPECT_EQ(d.ui.messages.back().caption, QStringLiteral("Prompt"));
    EXPECT_FALSE(QFile::exists(out.filePath(QStringLiteral("b.xlsx"))));
    EXPECT_TRUE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).isEmpty()) << "nothing left behind";
}

}  // namespace
