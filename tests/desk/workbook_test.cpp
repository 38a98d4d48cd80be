// The workbook readers: both formats, every cell kind, the used range and damaged files.
#include "workbook.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <map>

#include "helpers.h"

using desk::CellValue;
using desktest::Rows;

namespace desk {
void PrintTo(const CellValue& v, std::ostream* os) {
    *os << "{kind " << static_cast<int>(v.kind) << ", text \"" << v.text << "\", number " << v.number
        << ", boolean " << v.boolean << "}";
}
}  // namespace desk

namespace {

std::string Local(const QString& p) {
    return QFile::encodeName(p).toStdString();
}

class BothFormats : public ::testing::TestWithParam<const char*> {
  protected:
    QTemporaryDir dir;
    QString write(const Rows& rows) {
        const QString path = dir.filePath(QStringLiteral("book.") + GetParam());
        if (QString::fromLatin1(GetParam()) == QLatin1String("xlsx"))
            desktest::WriteXlsx(path, rows);
        else
            desktest::WriteXls(path, rows);
        return path;
    }
};

TEST_P(BothFormats, CellKindsAndUsedRange) {
    const QString path = write({
        {QStringLiteral("NID"), QStringLiteral("name"), {}, QStringLiteral("when")},
        {1, QStringLiteral("Ana \u00d1u\u00f1ez \u4e2d"), true, QDate(2024, 3, 5)},
        {2.5, QString(), false, {}},
        {},
        {{}, {}, {}, {}, {}, QStringLiteral("last")},
    });
    const desk::Sheet sheet = desk::ReadFirstSheet(Local(path));
    EXPECT_EQ(sheet.rowCount(), 5);
    EXPECT_EQ(sheet.columnCount(), 6);
    EXPECT_EQ(sheet.cell(1, 1), CellValue::Text("NID"));
    EXPECT_EQ(sheet.cell(2, 1), CellValue::Number(1));
    EXPECT_EQ(sheet.cell(2, 2), CellValue::Text("Ana \xc3\x91u\xc3\xb1"
                                                "ez \xe4\xb8\xad"));
    // Both formats give booleans as booleans (freexl alone would give a .xls boolean as 1 or 0).
    EXPECT_EQ(sheet.cell(2, 3), CellValue::Boolean(true));
    EXPECT_EQ(sheet.cell(3, 3), CellValue::Boolean(false));
    EXPECT_EQ(sheet.cell(2, 4), CellValue::Date(desk::DateSerial(2024, 3, 5)));
    EXPECT_EQ(sheet.cell(3, 1), CellValue::Number(2.5));
    EXPECT_EQ(sheet.cell(3, 2).kind, CellValue::Kind::Empty);
    EXPECT_EQ(sheet.cell(4, 1).kind, CellValue::Kind::Empty);
    EXPECT_EQ(sheet.cell(5, 6), CellValue::Text("last"));
    EXPECT_EQ(sheet.cell(99, 99).kind, CellValue::Kind::Empty);
}

TEST_P(BothFormats, KeepsOnlyTheColumnsAskedForButCountsAll) {
    const QString path = write({{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}});
    const desk::Sheet sheet = desk::ReadFirstSheet(Local(path), {1, 14});
    EXPECT_EQ(sheet.columnCount(), 15);
    EXPECT_EQ(sheet.cell(1, 1), CellValue::Number(1));
    EXPECT_EQ(sheet.cell(1, 14), CellValue::Number(14));
    EXPECT_EQ(sheet.cell(1, 7).kind, CellValue::Kind::Empty);
}

TEST_P(BothFormats, EmptySheetHasNoUsedRange) {
    const desk::Sheet sheet = desk::ReadFirstSheet(Local(write({})));
    EXPECT_EQ(sheet.rowCount(), 0);
    EXPECT_EQ(sheet.columnCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Workbooks, BothFormats, ::testing::Values("xlsx", "xls"));

// freexl gives .xls booleans and error cells as numbers; the cells' own records tell what they are.
TEST(XlsReader, BooleanAndErrorCellsAsTheXlsxReaderGivesThem) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("b.xls"));
    desktest::RunPython(QStringLiteral("make_xls.py"), {path},
                        R"({"rows": [["head"], [true, false, {"error": "#DIV/0!"}, 1, {"error": 42}]],
                            "sheets": ["second"]})");
    const desk::Sheet sheet = desk::ReadFirstSheet(Local(path));
    EXPECT_EQ(sheet.cell(2, 1), CellValue::Boolean(true));
    EXPECT_EQ(sheet.cell(2, 2), CellValue::Boolean(false));
    EXPECT_EQ(sheet.cell(2, 3), CellValue::Text("#DIV/0!"));
    EXPECT_EQ(sheet.cell(2, 4), CellValue::Number(1));
    EXPECT_EQ(sheet.cell(2, 5), CellValue::Text("#N/A"));
    EXPECT_EQ(sheet.columnCount(), 5);

    // A damaged file never makes the record scan read past what it holds.
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray good = f.readAll();
    const QString bad = dir.filePath(QStringLiteral("bad.xls"));
    auto write_bad = [&](const QByteArray& bytes) {
        QFile out(bad);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(bytes);
    };
    for (qsizetype cut : {qsizetype{0}, qsizetype{100}, qsizetype{512}, good.size() / 2, good.size() - 1}) {
        write_bad(good.left(cut));
        (void)desk::XlsBoolErrCells(Local(bad));
    }
    for (qsizetype at = 0; at < good.size(); at += 97) {
        QByteArray bytes = good;
        bytes[at] = static_cast<char>(bytes[at] ^ 0xFF);
        write_bad(bytes);
        (void)desk::XlsBoolErrCells(Local(bad));
    }
}

// A workbook stream shorter than the compound file's cut-off lies in the root's small-sector stream;
// this one is put together by hand: sector 0 the allocation table, 1 the directory, 2 the small-sector
// table, 3 the small sectors themselves.
TEST(XlsReader, BooleansOfASmallWorkbookStream) {
    std::vector<uint8_t> biff;
    auto u16 = [](std::vector<uint8_t>& to, unsigned v) {
        to.push_back(static_cast<uint8_t>(v));
        to.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto record = [&](unsigned id, const std::vector<uint8_t>& data) {
        u16(biff, id);
        u16(biff, static_cast<unsigned>(data.size()));
        biff.insert(biff.end(), data.begin(), data.end());
    };
    const std::vector<uint8_t> bof(16, 0);
    record(0x0809, bof);
    const size_t sheet_offset_at = biff.size() + 4;
    record(0x0085, {0, 0, 0, 0, 0, 0, 1, 0, 'S'});
    record(0x000A, {});
    const uint32_t sheet_at = static_cast<uint32_t>(biff.size());
    for (int i = 0; i < 4; ++i)
        biff[sheet_offset_at + static_cast<size_t>(i)] = static_cast<uint8_t>(sheet_at >> (8 * i));
    record(0x0809, bof);
    record(0x0205, {1, 0, 0, 0, 0, 0, 1, 0});     // row 2, column 1: true
    record(0x0205, {1, 0, 1, 0, 0, 0, 0x07, 1});  // row 2, column 2: #DIV/0!
    record(0x000A, {});
    const uint32_t pieces = static_cast<uint32_t>((biff.size() + 63) / 64);

    std::vector<uint8_t> file(512 * 5, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) file[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    const uint8_t magic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(magic), std::end(magic), file.begin());
    file[24] = 0x3E, file[26] = 3, file[28] = 0xFE, file[29] = 0xFF, file[30] = 9, file[32] = 6;
    put32(44, 1), put32(48, 1), put32(56, 4096), put32(60, 2), put32(64, 1), put32(68, 0xFFFFFFFE);
    for (int i = 0; i < 109; ++i) put32(76 + 4 * static_cast<size_t>(i), i == 0 ? 0 : 0xFFFFFFFF);
    const size_t fat = 512, dir = 1024, mini_fat = 1536, mini = 2048;
    for (size_t i = 0; i < 128; ++i) put32(fat + 4 * i, 0xFFFFFFFF);
    put32(fat, 0xFFFFFFFD), put32(fat + 4, 0xFFFFFFFE), put32(fat + 8, 0xFFFFFFFE),
        put32(fat + 12, 0xFFFFFFFE);
    for (size_t i = 0; i < 128; ++i)
        put32(mini_fat + 4 * i, i + 1 < pieces    ? static_cast<uint32_t>(i + 1)
                                : i + 1 == pieces ? 0xFFFFFFFE
                                                  : 0xFFFFFFFF);
    auto entry = [&](size_t at, const char* name, uint8_t type, uint32_t start, uint32_t size) {
        size_t n = 0;
        for (; name[n]; ++n) file[at + 2 * n] = static_cast<uint8_t>(name[n]);
        file[at + 64] = static_cast<uint8_t>(2 * (n + 1));
        file[at + 66] = type;
        put32(at + 68, 0xFFFFFFFF), put32(at + 72, 0xFFFFFFFF), put32(at + 76, 0xFFFFFFFF);
        put32(at + 116, start), put32(at + 120, size);
    };
    entry(dir, "Root Entry", 5, 3, pieces * 64);
    entry(dir + 128, "Workbook", 2, 0, static_cast<uint32_t>(biff.size()));
    std::copy(biff.begin(), biff.end(), file.begin() + static_cast<std::ptrdiff_t>(mini));

    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("small.xls"));
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<qint64>(file.size()));
    out.close();
    const auto cells = desk::XlsBoolErrCells(Local(path));
    ASSERT_EQ(cells.size(), 2u);
    EXPECT_EQ(cells.at({1, 0}), CellValue::Boolean(true));
    EXPECT_EQ(cells.at({1, 1}), CellValue::Text("#DIV/0!"));
}

// Inline strings, formula results and a sheet part that is not sheet1.xml, as other writers make them.
TEST(XlsxReader, InlineStringsFormulasAndRelocatedSheet) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("parts"));
    QDir().mkpath(folder + "/xl/_rels");
    QDir().mkpath(folder + "/xl/worksheets");
    QDir().mkpath(folder + "/_rels");
    auto put = [&](const QString& name, const char* text) {
        QFile f(folder + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    };
    put("[Content_Types].xml",
        R"(<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>)");
    put("xl/workbook.xml",
        R"(<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets><sheet name="B" sheetId="2" r:id="rId7"/><sheet name="A" sheetId="1" r:id="rId1"/></sheets></workbook>)");
    put("xl/_rels/workbook.xml.rels",
        R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Target="worksheets/sheet1.xml" Type="x"/><Relationship Id="rId7" Target="/xl/worksheets/other.xml" Type="x"/></Relationships>)");
    put("xl/worksheets/sheet1.xml",
        R"(<worksheet><sheetData><row r="1"><c r="A1"><v>99</v></c></row></sheetData></worksheet>)");
    put("xl/worksheets/other.xml",
        R"(<x:worksheet xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><x:sheetData>)"
        R"(<x:row r="2"><x:c r="B2" t="inlineStr"><x:is><x:r><x:t>ab</x:t></x:r><x:r><x:t>c</x:t></x:r></x:is></x:c>)"
        R"(<x:c r="C2" t="str"><x:f>A1&amp;"x"</x:f><x:v>7x</x:v></x:c><x:c r="D2"><x:f>1+1</x:f><x:v>2</x:v></x:c>)"
        R"(<x:c r="E2" t="e"><x:v>#N/A</x:v></x:c><x:c r="F2" s="0"/></x:row></x:sheetData></x:worksheet>)");
    const QString book = dir.filePath(QStringLiteral("made.xlsx"));
    ASSERT_EQ(
        QProcess::execute(QStringLiteral("/bin/sh"),
                          {QStringLiteral("-c"),
                           QStringLiteral("cd '%1' && /usr/bin/python3 -c \"import zipfile,os;"
                                          "z=zipfile.ZipFile('%2','w');"
                                          "[z.write(os.path.join(d,f),os.path.relpath(os.path.join(d,f),'.'))"
                                          " for d,_,fs in os.walk('.') for f in fs]\"")
                               .arg(folder, book)}),
        0);
    const desk::Sheet sheet = desk::ReadFirstSheet(Local(book));
    EXPECT_EQ(sheet.rowCount(), 2);
    EXPECT_EQ(sheet.columnCount(), 5);  // F2 has no value
    EXPECT_EQ(sheet.cell(1, 1).kind, CellValue::Kind::Empty);
    EXPECT_EQ(sheet.cell(2, 2), CellValue::Text("abc"));
    EXPECT_EQ(sheet.cell(2, 3), CellValue::Text("7x"));
    EXPECT_EQ(sheet.cell(2, 4), CellValue::Number(2));
    EXPECT_EQ(sheet.cell(2, 5), CellValue::Text("#N/A"));
}

TEST(WorkbookReader, RefusesWhatIsNoWorkbook) {
    QTemporaryDir dir;
    auto file = [&](const char* name, const QByteArray& bytes) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return Local(f.fileName());
    };
    EXPECT_THROW(desk::ReadFirstSheet(file("text.xlsx", "NID;name\n1;x\n")), desk::WorkbookError);
    EXPECT_THROW(desk::ReadFirstSheet(file("empty.xls", "")), desk::WorkbookError);
    EXPECT_THROW(desk::ReadFirstSheet(file("zip.xlsx", QByteArray("PK\x03\x04", 4) + QByteArray(60, 'x'))),
                 desk::WorkbookError);
    EXPECT_THROW(desk::ReadFirstSheet(file(
                     "cfb.xls", QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + QByteArray(504, '\0'))),
                 desk::WorkbookError);
    EXPECT_THROW(desk::ReadFirstSheet(Local(dir.filePath(QStringLiteral("missing.xlsx")))),
                 desk::WorkbookError);

    // A truncated real workbook.
    const QString good = dir.filePath(QStringLiteral("good.xlsx"));
    desktest::WriteXlsx(good, {{1, 2}, {3, 4}});
    QFile g(good);
    ASSERT_TRUE(g.open(QIODevice::ReadOnly));
    const QByteArray half = g.readAll().left(static_cast<int>(g.size() / 2));
    EXPECT_THROW(desk::ReadFirstSheet(file("half.xlsx", half)), desk::WorkbookError);
}

TEST(WorkbookReader, ChosenByContentNotByName) {
    QTemporaryDir dir;
    const QString xls_named_xlsx = dir.filePath(QStringLiteral("really-biff.xlsx"));
    desktest::WriteXls(xls_named_xlsx, {{QStringLiteral("a"), 7}});
    const QString xlsx_named_xls = dir.filePath(QStringLiteral("really-zip.xls"));
    desktest::WriteXlsx(xlsx_named_xls, {{QStringLiteral("b"), 8}});
    EXPECT_EQ(desk::ReadFirstSheet(Local(xls_named_xlsx)).cell(1, 2), CellValue::Number(7));
    EXPECT_EQ(desk::ReadFirstSheet(Local(xlsx_named_xls)).cell(1, 1), CellValue::Text("b"));
}

TEST(WorkbookReader, DateSerialCountsAsSpreadsheetsDo) {
    EXPECT_EQ(desk::DateSerial(1900, 3, 1), 61);
    EXPECT_EQ(desk::DateSerial(2024, 3, 5), 45356);
    EXPECT_DOUBLE_EQ(desk::DateSerial(2024, 3, 5, 12, 0, 0), 45356.5);
}

}  // namespace

namespace {

// Zips the given parts (name -> content) into a workbook file.
QString ZipParts(const QTemporaryDir& dir, const QString& name, const std::map<QString, QByteArray>& parts) {
    const QString folder = dir.filePath(name + QStringLiteral(".parts"));
    for (const auto& [part, content] : parts) {
        const QString path = folder + QLatin1Char('/') + part;
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    const QString book = dir.filePath(name);
    EXPECT_EQ(QProcess::execute(
                  QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral("-c"),
                   QStringLiteral("import zipfile,os,sys\n"
                                  "z=zipfile.ZipFile(sys.argv[2],'w')\n"
                                  "for d,_,fs in os.walk(sys.argv[1]):\n"
                                  "  for f in fs:\n"
                                  "    p=os.path.join(d,f); z.write(p,os.path.relpath(p,sys.argv[1]))\n"),
                   folder, book}),
              0);
    return book;
}

std::map<QString, QByteArray> MinimalParts(const QByteArray& workbook_pr, const QByteArray& sheet_data) {
    return {
        {"xl/workbook.xml",
         "<workbook xmlns:r=\"r\">" + workbook_pr +
             "<sheets><sheet name=\"A\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels",
         "<Relationships><Relationship Id=\"rId1\" Target=\"worksheets/sheet1.xml\"/></Relationships>"},
        {"xl/styles.xml",
         "<styleSheet><cellXfs count=\"2\"><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/></cellXfs></styleSheet>"},
        {"xl/worksheets/sheet1.xml", "<worksheet><sheetData>" + sheet_data + "</sheetData></worksheet>"},
    };
}

TEST(XlsxReader, Dates1904AndRowsOutOfRange) {
    QTemporaryDir dir;
    const QByteArray cells = "<row r=\"1\"><c r=\"A1\" s=\"1\"><v>0</v></c><c r=\"B1\"><v>0</v></c></row>";
    const desk::Sheet s1904 = desk::ReadFirstSheet(
        Local(ZipParts(dir, "d1904.xlsx", MinimalParts("<workbookPr date1904=\"1\"/>", cells))));
    EXPECT_EQ(s1904.cell(1, 1), CellValue::Date(desk::DateSerial(1904, 1, 1)));
    EXPECT_EQ(s1904.cell(1, 2), CellValue::Number(0));
    const desk::Sheet s1900 =
        desk::ReadFirstSheet(Local(ZipParts(dir, "d1900.xlsx", MinimalParts("", cells))));
    EXPECT_EQ(s1900.cell(1, 1), CellValue::Date(0));

    // Rows and columns past a sheet's limits are refused instead of being allocated.
    for (const char* bad :
         {"<row r=\"5000000\"><c><v>1</v></c></row>", "<row r=\"0\"><c><v>1</v></c></row>",
          "<row r=\"1\"><c r=\"A0\"><v>1</v></c></row>", "<row r=\"1\"><c r=\"ZZZZ1\"><v>1</v></c></row>"}) {
        static int n = 0;
        const QString name = QStringLiteral("bad%1.xlsx").arg(++n);
        EXPECT_THROW(desk::ReadFirstSheet(Local(ZipParts(dir, name, MinimalParts("", bad)))),
                     desk::WorkbookError)
            << bad;
    }
}

}  // namespace

namespace {

// The worksheet's XML as other writers spell it: references, CDATA, comments, processing instructions,
// a byte-order mark, single quotes, blanks inside tags and CR LF line ends all give the same cells.
TEST(XlsxReader, SpellingsOfTheSameCells) {
    QTemporaryDir dir;
    struct Case {
        const char* what;
        QByteArray sheet;  // the whole worksheet part
        CellValue a1;
    };
    const QByteArray row = "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>";
    const Case cases[] = {
        {"named and numeric references", row + "a&amp;b&lt;&gt;&quot;&apos;&#209;&#xF1;</t></is></c></row>",
         CellValue::Text("a&b<>\"'\xC3\x91\xC3\xB1")},
        {"CDATA and a comment inside the text",
         row + "x<![CDATA[<y>&amp;]]><!-- note -->z</t></is></c></row>", CellValue::Text("x<y>&amp;z")},
        {"CR LF and a lone CR become LF", row + "1\r\n2\r3</t></is></c></row>", CellValue::Text("1\n2\n3")},
        {"single quotes, blanks and a prefix",
         "<x:row r='1' ><x:c  r = 'A1'  t='inlineStr'><x:is><x:t >v</x:t ></x:is></x:c></x:row>",
         CellValue::Text("v")},
        {"a number in a value element with blanks around the markup",
         "<row r=\"1\">\n  <c r=\"A1\"><v>42</v></c>\n</row>", CellValue::Number(42)},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto parts = MinimalParts("", c.sheet);
        // Declaration and mark before the document, as some writers put them.
        parts["xl/worksheets/sheet1.xml"] =
            "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- made by hand -->" +
            parts["xl/worksheets/sheet1.xml"];
        const desk::Sheet sheet =
            desk::ReadFirstSheet(Local(ZipParts(dir, QStringLiteral("spelt%1.xlsx").arg(++n), parts)));
        EXPECT_EQ(sheet.cell(1, 1), c.a1);
    }
}

TEST(XlsxReader, MalformedPartsAreRefused) {
    QTemporaryDir dir;
    const char* sheets[] = {
        "<worksheet><sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></row></sheetData></worksheet>",  // unended c
        "<worksheet><sheetData></worksheet>",
        "<worksheet><sheetData/>",
        "<worksheet/><worksheet/>",
        "text<worksheet/>",
        "<!DOCTYPE w [<!ENTITY e \"x\">]><worksheet/>",
        "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" "
        "t=\"str\"><v>&e;</v></c></row></sheetData></worksheet>",
        "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" "
        "t=\"str\"><v>&#0;</v></c></row></sheetData></worksheet>",
        "<worksheet><sheetData><row r=1><c/></row></sheetData></worksheet>",
        "<worksheet><sheetData><row r=\"1\"",
        "<worksheet><!-- never ended",
        "",
    };
    int n = 0;
    for (const char* sheet : sheets) {
        auto parts = MinimalParts("", "");
        parts["xl/worksheets/sheet1.xml"] = sheet;
        EXPECT_THROW(
            desk::ReadFirstSheet(Local(ZipParts(dir, QStringLiteral("malformed%1.xlsx").arg(++n), parts))),
            desk::WorkbookError)
            << sheet;
    }
}

// A sheet larger than the reader's buffer, with tags and references cut at every possible place.
TEST(XlsxReader, LongSheetAcrossReads) {
    QTemporaryDir dir;
    QByteArray data;
    const int rows = 9000;
    for (int r = 1; r <= rows; ++r)
        data += QStringLiteral(
                    "<row r=\"%1\"><c r=\"A%1\" t=\"inlineStr\"><is><t>N&#xF1;%1&amp;</t></is></c>"
                    "<c r=\"B%1\"><v>%1</v></c></row>")
                    .arg(r)
                    .toUtf8();
    const desk::Sheet sheet = desk::ReadFirstSheet(Local(ZipParts(dir, "long.xlsx", MinimalParts("", data))));
    ASSERT_EQ(sheet.rowCount(), rows);
    for (int r : {1, 777, 4567, rows}) {
        EXPECT_EQ(sheet.cell(r, 1), CellValue::Text("N\xC3\xB1" + std::to_string(r) + "&"));
        EXPECT_EQ(sheet.cell(r, 2), CellValue::Number(r));
    }
}

}  // namespace
