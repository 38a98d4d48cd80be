// "Import data from excel": workbooks the tests write, db.mdb checked afterwards.
#include <gtest/gtest.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QProgressBar>
#include <QSqlRecord>
#include <QTableView>
#include <QTemporaryDir>

#include "helpers.h"
#include "meter_db.h"

using desk::CellValue;
using desk::FieldType;
using desktest::Desk;
using desktest::Rows;

namespace {

const QString kImported = QStringLiteral("Data has been imported\uFF01");

Rows Heading() {
    return {{QStringLiteral("NID"), QStringLiteral("Cliente"), QStringLiteral("Direccion"),
             QStringLiteral("Medidor"), QStringLiteral("Ruta"), QStringLiteral("Tipo"), QStringLiteral("G"),
             QStringLiteral("H"), QStringLiteral("I"), QStringLiteral("J"), QStringLiteral("K"),
             QStringLiteral("L"), QStringLiteral("M"), QStringLiteral("Reset")}};
}

std::vector<QVariant> MeterRow(int nid, const QVariant& meterid,
                               const QVariant& reset = QStringLiteral("R")) {
    return {nid,
            QStringLiteral("C%1").arg(nid),
            QStringLiteral("Calle %1").arg(nid),
            meterid,
            QStringLiteral("7"),
            QStringLiteral("T"),
            QStringLiteral("junk"),
            QStringLiteral("junk"),
            1,
            2,
            3,
            4,
            QStringLiteral("junk"),
            reset};
}

class ImportBoth : public ::testing::TestWithParam<const char*> {
  protected:
    QTemporaryDir books;
    QString write(const Rows& rows, const QString& base = QStringLiteral("meters")) {
        const QString path = books.filePath(base + QLatin1Char('.') + GetParam());
        if (QString::fromLatin1(GetParam()) == QLatin1String("xlsx"))
            desktest::WriteXlsx(path, rows);
        else
            desktest::WriteXls(path, rows);
        return path;
    }
};

TEST_P(ImportBoth, ThreeRowsFillMeterAndTheGrid) {
    Desk d;
    Rows rows = Heading();
    rows.push_back(MeterRow(3, QStringLiteral("123")));
    rows.push_back(MeterRow(1, 12345.0));
    rows.push_back(MeterRow(2, QStringLiteral("ABCDEFGHIJKL")));
    const QString book = write(rows);
    d.import(book);

    ASSERT_EQ(d.ui.last(), kImported);
    EXPECT_EQ(d.ui.lastKind(), "plain");
    EXPECT_EQ(d.ui.messages.back().caption, QStringLiteral("Kelvanormprogram"));
    EXPECT_EQ(d.form->windowTitle(), QDir::toNativeSeparators(book));
    EXPECT_EQ(d.form->pageOnView(), 0);
    EXPECT_FALSE(d.form->ProgressBar3->isVisible());

    const auto meter = d.data.meterRows();
    ASSERT_EQ(meter.size(), 3u);
    EXPECT_EQ(meter[0][0].toInt(), 1);
    EXPECT_EQ(meter[0][1].toString(), QStringLiteral("C1"));
    EXPECT_EQ(meter[0][2].toString(), QStringLiteral("Calle 1"));
    EXPECT_EQ(meter[0][3].toString(), QStringLiteral("000000012345"));  // a whole number as "12345", padded
    EXPECT_EQ(meter[0][4].toString(), QStringLiteral("7"));
    EXPECT_EQ(meter[0][5].toString(), QStringLiteral("T"));
    for (int p = 6; p <= 13; ++p)
        EXPECT_EQ(meter[0][p].toDouble(), 0.0) << "position " << p << " takes its default";
    EXPECT_EQ(meter[0][14].toString(), QStringLiteral("R"));
    EXPECT_EQ(meter[1][3].toString(), QStringLiteral("ABCDEFGHIJKL"));
    EXPECT_EQ(meter[2][3].toString(), QStringLiteral("000000000123"));

    // The grid: sorted by NID, its columns in their order with their titles and widths.
    desk::MeterGridModel* model = d.form->meterModel();
    ASSERT_EQ(model->rowCount(), 3);
    EXPECT_EQ(model->record(0).value(QStringLiteral("NID")).toInt(), 1);
    EXPECT_EQ(model->record(2).value(QStringLiteral("NID")).toInt(), 3);
    QHeaderView* header = d.form->DBGrid2->horizontalHeader();
    const char* titles[] = {"Order number", "Nro de Cliente", "Direccion", "Serie de Medidor",
                            "Ruta",         "RESET",          "Tipos de"};
    const int widths[] = {75, 100, 200, 100, 50, 100, header->defaultSectionSize()};
    for (int visual = 0; visual < 7; ++visual) {
        const int logical = header->logicalIndex(visual);
        EXPECT_EQ(model->headerData(logical, Qt::Horizontal).toString(), QString::fromLatin1(titles[visual]));
        EXPECT_EQ(d.form->DBGrid2->columnWidth(logical), widths[visual]) << titles[visual];
    }
}

TEST_P(ImportBoth, HeadingOnlyEmptiesMeter) {
    Desk d;
    d.data.exec(QStringLiteral("INSERT INTO Meter (NID, meterid) VALUES (9, 'x')"));
    d.import(write(Heading()));
    EXPECT_EQ(d.ui.last(), kImported);
    EXPECT_TRUE(d.data.meterRows().empty());
    EXPECT_EQ(d.form->meterModel()->rowCount(), 0);
    EXPECT_TRUE(d.form->gridQueryOpen());
}

TEST_P(ImportBoth, EmptySheetLeavesMeterAlone) {
    Desk d;
    d.data.exec(QStringLiteral("INSERT INTO Meter (NID, meterid) VALUES (9, 'x')"));
    d.import(write({}));
    EXPECT_EQ(d.ui.last(), QStringLiteral("The excel file has no data! Please confirm"));
    EXPECT_EQ(d.ui.lastKind(), "plain");
    EXPECT_EQ(d.data.meterRows().size(), 1u);
}

TEST_P(ImportBoth, MeterIdPadding) {
    Desk d;
    Rows rows = Heading();
    const std::pair<QVariant, QVariant> cases[] = {
        {QStringLiteral("123"), QStringLiteral("000000000123")},
        {QStringLiteral("123456789012"), QStringLiteral("123456789012")},
        {QStringLiteral("12345678901234"), QStringLiteral("345678901234")},
        {QVariant(), QVariant()},
        {42.0, QStringLiteral("000000000042")},
        {QStringLiteral("A-7"), QStringLiteral("000000000A-7")},
    };
    int nid = 1;
    for (const auto& c : cases) rows.push_back(MeterRow(nid++, c.first));
    d.import(write(rows));
    ASSERT_EQ(d.ui.last(), kImported);
    const auto meter = d.data.meterRows();
    ASSERT_EQ(meter.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(meter[i][3].isNull(), cases[i].second.isNull()) << i;
        EXPECT_EQ(meter[i][3].toString(), cases[i].second.toString()) << i;
    }
}

// A boolean cell reaches Meter the same way from either format: "True"/"False" in a text field, -1/0 in
// a whole-number field.
TEST_P(ImportBoth, BooleanCellsAgreeAcrossFormats) {
    Desk d;
    Rows rows = Heading();
    rows.push_back(MeterRow(1, true, false));
    rows.push_back(MeterRow(2, false, true));
    rows.back()[0] = true;  // NID
    d.import(write(rows));
    ASSERT_EQ(d.ui.last(), kImported);
    const auto meter = d.data.meterRows();
    ASSERT_EQ(meter.size(), 2u);
    EXPECT_EQ(meter[0][0].toInt(), -1);  // the row whose NID was true sorts first
    EXPECT_EQ(meter[0][3].toString(), QStringLiteral("0000000False"));  // padded like any serial
    EXPECT_EQ(meter[0][14].toString(), QStringLiteral("True"));
    EXPECT_EQ(meter[1][0].toInt(), 1);
    EXPECT_EQ(meter[1][3].toString(), QStringLiteral("00000000True"));
    EXPECT_EQ(meter[1][14].toString(), QStringLiteral("False"));
}

TEST_P(ImportBoth, ACellItsFieldCannotTakeLeavesMeterUnchanged) {
    Desk d;
    d.data.exec(QStringLiteral("INSERT INTO Meter (NID, meterid) VALUES (9, 'kept')"));
    Rows rows = Heading();
    rows.push_back(MeterRow(1, QStringLiteral("1")));
    rows.push_back(MeterRow(2, QStringLiteral("2")));
    rows.back()[0] = QStringLiteral("two");  // NID is a whole number
    d.import(write(rows));
    ASSERT_EQ(d.ui.lastKind(), "error");
    EXPECT_TRUE(d.ui.last().contains(QStringLiteral("Row 3"))) << d.ui.last().toStdString();
    EXPECT_TRUE(d.ui.last().contains(QStringLiteral("NID"))) << d.ui.last().toStdString();
    const auto meter = d.data.meterRows();
    ASSERT_EQ(meter.size(), 1u);
    EXPECT_EQ(meter[0][3].toString(), QStringLiteral("kept"));
    EXPECT_FALSE(d.form->ProgressBar3->isVisible());
    for (const auto& m : d.ui.messages) EXPECT_NE(m.text, kImported);
}

INSTANTIATE_TEST_SUITE_P(Workbooks, ImportBoth, ::testing::Values("xlsx", "xls"));

TEST(Import, AHundredThousandRows) {
    Desk d;
    QTemporaryDir books;
    Rows rows = Heading();
    rows.reserve(100001);
    for (int i = 1; i <= 100000; ++i) rows.push_back(MeterRow(i, QString::number(i)));
    const QString book = books.filePath(QStringLiteral("big.xlsx"));
    desktest::WriteXlsx(book, rows);
    d.import(book);
    ASSERT_EQ(d.ui.last(), kImported);
    EXPECT_EQ(d.data.meterRows().size(), 100000u);
    // The grid holds every row, not the first batch only.
    EXPECT_EQ(d.form->meterModel()->rowCount(), 100000);
    EXPECT_EQ(d.form->meterModel()->record(99999).value(QStringLiteral("meterid")).toString(),
              QStringLiteral("000000100000"));
}

TEST(Import, CancelAndEmptyNameChangeNothing) {
    Desk d;
    d.form->setWindowTitle(QStringLiteral("before"));
    d.ui.open_answers.push_back(std::nullopt);
    d.form->Meterdatamaintenance1Click();
    ASSERT_EQ(d.ui.messages.size(), 1u);
    EXPECT_EQ(d.ui.messages[0].text, QStringLiteral("You canceled the operation !"));
    EXPECT_EQ(d.ui.messages[0].caption, QStringLiteral("ERROR!"));
    EXPECT_EQ(d.ui.messages[0].icon, desk::BoxIcon::Error);
    EXPECT_EQ(d.form->pageOnView(), 0);
    EXPECT_EQ(d.form->windowTitle(), QStringLiteral("before"));

    d.ui.open_answers.push_back(d.data.path() + QStringLiteral("/"));
    d.form->Meterdatamaintenance1Click();
    EXPECT_EQ(d.ui.last(), QStringLiteral("You canceled the operation !"));
    EXPECT_EQ(d.form->windowTitle(), QStringLiteral("before"));

    // The dialog offers both kinds of workbook and starts in the program's folder each time.
    EXPECT_EQ(d.ui.open_filters.front(), QStringLiteral("EXCEL (*.xls);;EXCEL2007 (*.xlsx)"));
    EXPECT_EQ(d.ui.open_dirs.front(), d.data.path());
    EXPECT_EQ(d.ui.open_dirs.back(), d.data.path());
}

TEST(Import, FilesThatAreNoWorkbook) {
    Desk d;
    QTemporaryDir books;
    const QString text = books.filePath(QStringLiteral("meters.xlsx"));
    QFile f(text);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("NID,clientid\n1,2\n");
    f.close();
    for (const QString& path : {text, books.filePath(QStringLiteral("missing.xls"))}) {
        d.import(path);
        EXPECT_EQ(d.ui.last(), QStringLiteral("You Excel did not install!"));
        EXPECT_EQ(d.ui.messages.back().caption, QStringLiteral("ERROR!"));
        EXPECT_EQ(d.ui.messages.back().icon, desk::BoxIcon::Error);
        EXPECT_EQ(d.form->windowTitle(), QDir::toNativeSeparators(path));  // the caption already shows it
    }
}

TEST(Import, MissingOrUnfitDatabase) {
    QTemporaryDir books;
    const QString book = books.filePath(QStringLiteral("m.xlsx"));
    Rows rows = Heading();
    rows.push_back(MeterRow(1, QStringLiteral("1")));
    desktest::WriteXlsx(book, rows);
    {
        Desk d(/*with_db=*/false);
        d.import(book);
        ASSERT_EQ(d.ui.lastKind(), "error");
        EXPECT_TRUE(d.ui.last().startsWith(QStringLiteral("Could not find file")))
            << d.ui.last().toStdString();
        EXPECT_FALSE(QFile::exists(d.data.file(QStringLiteral("db.mdb")))) << "opening never creates db.mdb";
        EXPECT_FALSE(d.form->ProgressBar3->isVisible());
    }
    {
        Desk d;
        d.data.exec(QStringLiteral("DROP TABLE Meter"));
        d.data.exec(
            QStringLiteral("CREATE TABLE Meter (NID INTEGER, clientid TEXT, address TEXT, meterid TEXT)"));
        d.import(book);
        ASSERT_EQ(d.ui.lastKind(), "error");
        EXPECT_TRUE(d.ui.last().contains(QStringLiteral("at least 15"))) << d.ui.last().toStdString();
    }
    {
        Desk d;
        QFile::remove(d.data.file(QStringLiteral("db.mdb")));
        QFile junk(d.data.file(QStringLiteral("db.mdb")));
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        d.import(book);
        EXPECT_EQ(d.ui.lastKind(), "error");
    }
}

// The data folder is the one the program started in, whatever folder the workbook came from.
TEST(Import, DataFolderStaysWhereTheProgramStarted) {
    Desk d;
    QTemporaryDir elsewhere;
    QDir().mkpath(elsewhere.filePath(QStringLiteral("sub")));
    const QString book = elsewhere.filePath(QStringLiteral("sub/m.xls"));
    Rows rows = Heading();
    rows.push_back(MeterRow(5, QStringLiteral("5")));
    desktest::WriteXls(book, rows);
    const QString cwd = QDir::currentPath();
    d.import(book);
    ASSERT_EQ(d.ui.last(), kImported);
    EXPECT_EQ(QDir::currentPath(), cwd);
    EXPECT_EQ(d.data.meterRows().size(), 1u);
    EXPECT_FALSE(QFile::exists(elsewhere.filePath(QStringLiteral("sub/db.mdb"))));
}

TEST(CellConversion, AsTheDataLayerConverts) {
    struct Case {
        CellValue cell;
        FieldType type;
        QVariant want;  // invalid: refused
        bool refused;
    };
    const Case cases[] = {
        {CellValue::Number(12345), FieldType::Text, QStringLiteral("12345"), false},
        {CellValue::Number(1.5), FieldType::Text, QStringLiteral("1.5"), false},
        {CellValue::Number(0.1 + 0.2), FieldType::Text, QStringLiteral("0.3"), false},
        {CellValue::Number(-0.0), FieldType::Text, QStringLiteral("0"), false},
        {CellValue::Number(123456789012.0), FieldType::Text, QStringLiteral("123456789012"), false},
        {CellValue::Boolean(true), FieldType::Text, QStringLiteral("True"), false},
        {CellValue::Boolean(true), FieldType::Integer, -1, false},
        {CellValue::Date(desk::DateSerial(2024, 3, 5)), FieldType::Text, QStringLiteral("2024-03-05"), false},
        {CellValue::Date(desk::DateSerial(2024, 3, 5, 8, 30, 0)), FieldType::Text,
         QStringLiteral("2024-03-05 08:30:00"), false},
        {CellValue::Text(" 42 "), FieldType::Integer, 42, false},
        {CellValue::Text("2.5"), FieldType::Integer, 2, false},  // half to even
        {CellValue::Number(3.5), FieldType::Integer, 4, false},
        {CellValue::Text("2.5"), FieldType::Real, 2.5, false},
        {CellValue::Text("abc"), FieldType::Integer, {}, true},
        {CellValue::Text(""), FieldType::Real, {}, true},
        {CellValue::Number(1e12), FieldType::Integer, {}, true},
        {CellValue::Text("x"), FieldType::Text, QStringLiteral("x"), false},
    };
    for (const Case& c : cases) {
        QVariant out;
        QString why;
        const bool ok = desk::ConvertCell(c.cell, c.type, out, why);
        EXPECT_EQ(!ok, c.refused) << c.cell.text << " " << c.cell.number;
        if (ok) {
            EXPECT_EQ(out.toString(), c.want.toString()) << c.cell.text << " " << c.cell.number;
        } else {
            EXPECT_FALSE(why.isEmpty());
        }
    }
    QVariant out;
    QString why;
    EXPECT_TRUE(desk::ConvertCell(CellValue{}, FieldType::Integer, out, why));
    EXPECT_TRUE(out.isNull());
}

}  // namespace

namespace {

// A failed padding statement or grid query is reported, never followed by the success message.
TEST(Import, PaddingAndGridFailuresAreReported) {
    QTemporaryDir books;
    const QString book = books.filePath(QStringLiteral("m.xlsx"));
    Rows rows = Heading();
    rows.push_back(MeterRow(1, QStringLiteral("1")));
    desktest::WriteXlsx(book, rows);
    {
        Desk d;
        d.data.exec(QStringLiteral("INSERT INTO Meter (NID, meterid) VALUES (9, 'kept')"));
        d.data.exec(
            QStringLiteral("CREATE TRIGGER no_padding BEFORE UPDATE ON Meter BEGIN SELECT RAISE(ABORT, "
                           "'padding refused'); END"));
        d.import(book);
        ASSERT_EQ(d.ui.lastKind(), "error");
        EXPECT_TRUE(d.ui.last().contains(QStringLiteral("padding refused"))) << d.ui.last().toStdString();
        const auto meter = d.data.meterRows();
        ASSERT_EQ(meter.size(), 1u) << "the whole import is undone";
        EXPECT_EQ(meter[0][3].toString(), QStringLiteral("kept"));
    }
    {
        // Position 14 is not named RESET: the rows go in, the grid's query cannot run.
        Desk d;
        d.data.exec(QStringLiteral("ALTER TABLE Meter RENAME COLUMN RESET TO other"));
        d.import(book);
        ASSERT_EQ(d.ui.lastKind(), "error");
        EXPECT_TRUE(d.ui.last().contains(QStringLiteral("RESET"))) << d.ui.last().toStdString();
        for (const auto& m : d.ui.messages) EXPECT_NE(m.text, kImported);
        EXPECT_FALSE(d.form->gridQueryOpen());
    }
}

}  // namespace
