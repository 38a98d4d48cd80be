// Text fields of the task table in the table's 8-bit code page: written into A.DBF by the upload and
// read back from downa.dbf by the download, so the list shows the operator's own text.
#include "code_page.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTableWidget>
#include <QTemporaryDir>

#include "form1.h"
#include "helpers.h"
#include "meter_db.h"

using desktest::Desk;

namespace {

struct RoundTrip {
    const char* what;
    const char* language;    // the operator's
    uint8_t driver;          // the template's language-driver byte
    QString name, address;   // as the workbook holds them (cid is 20 bytes wide, addres 80)
    std::string name_bytes;  // what A.DBF holds
    QString listed_name;     // what the list shows after the download
};

// The template of the data folder, its language-driver byte set.
void MarkTemplate(const QString& path, uint8_t driver) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.seek(desk::kLanguageDriverOffset));
    ASSERT_TRUE(f.putChar(static_cast<char>(driver)));
}

TEST(CodePage, NamesThroughTaskTableAndBack) {
    const QString bei = QString::fromUtf8("北京路");  // GBK B1 B1  BE A9  C2 B7
    const QString ten_wide = QString::fromUtf8("北京路北京路北京路北京");
    const RoundTrip cases[] = {
        {"Windows-1252 for a Western operator", "es_AR", 0, QString::fromUtf8("Ñandú"),
         QString::fromUtf8("Peña 5"),
         "\xD1"
         "and\xFA",
         QString::fromUtf8("Ñandú")},
        {"GBK for a zh_CN operator", "zh_CN.UTF-8", 0, bei, bei, "\xB1\xB1\xBE\xA9\xC2\xB7", bei},
        {"the template's byte before the language", "es_AR", 0x7A, bei, bei, "\xB1\xB1\xBE\xA9\xC2\xB7", bei},
        {"a character the code page lacks is ?", "zh_CN", 0x03, QString::fromUtf8("Ñ北"),
         QString::fromUtf8("x"), "\xD1?", QString::fromUtf8("Ñ?")},
        {"cut after whole double-byte characters", "zh_CN", 0, QStringLiteral("a") + ten_wide, bei,
         "a\xB1\xB1\xBE\xA9\xC2\xB7\xB1\xB1\xBE\xA9\xC2\xB7\xB1\xB1\xBE\xA9\xC2\xB7",
         QStringLiteral("a") + ten_wide.left(9)},
        {"cut of a single-byte text", "es_AR", 0, QString::fromUtf8("ÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑ"),
         QString::fromUtf8("Peña 5"), std::string(20, '\xD1'), QString::fromUtf8("ÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑ")},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.what);
        Desk d;
        MarkTemplate(d.data.file(QStringLiteral("B.DBF")), c.driver);
        d.form->setOperatorLanguage(QString::fromLatin1(c.language));
        QTemporaryDir books;
        const QString book = books.filePath(QStringLiteral("m.xlsx"));
        desktest::WriteXlsx(book, {{"NID", "clientid", "address", "meterid", "ROTER", "lx"},
                                   {1, c.name, c.address, "7", "R1", "T1"}});
        d.import(book);
        ASSERT_EQ(d.ui.last(), QStringLiteral("Data has been imported\uFF01"));

        std::vector<std::map<std::string, std::string>> sent;
        d.hc.on_send = [&] { sent = desktest::ReadTable(d.data.file(QStringLiteral("A.DBF"))); };
        d.form->ddfs1->trigger();
        ASSERT_EQ(d.ui.last(), QStringLiteral("File upload success!"));
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].at("cid"), c.name_bytes);

        // The handheld gives the table back as it got it.
        d.hc.on_get = [&d] {
            QFile::remove(d.data.file(QStringLiteral("downa.dbf")));
            ASSERT_TRUE(
                QFile::copy(d.data.file(QStringLiteral("A.DBF")), d.data.file(QStringLiteral("downa.dbf"))));
        };
        d.form->DownloadfromHHU1Click();
        ASSERT_EQ(d.form->ListView2->rowCount(), 1);
        EXPECT_EQ(d.form->ListView2->item(0, 1)->text(), c.listed_name);
        EXPECT_EQ(d.form->ListView2->item(0, 2)->text(), c.address);
    }
}

TEST(CodePage, ChoiceOfCodePage) {
    struct Case {
        uint8_t driver;
        const char* language;
        const char* code_page;
    };
    const Case cases[] = {
        {0x00, "zh_CN", "GBK"},          {0x00, "zh_CN.UTF-8", "GBK"}, {0x00, "zh_TW", "BIG5"},
        {0x00, "es_AR.UTF-8", "CP1252"}, {0x00, "ru_RU", "CP1251"},    {0x00, "pl_PL", "CP1250"},
        {0x00, "C", "CP1252"},           {0x00, "", "CP1252"},         {0x03, "zh_CN", "CP1252"},
        {0x7A, "es_ES", "GBK"},          {0x57, "ru_RU", "CP1252"},    {0xC9, "en_US", "CP1251"},
        {0xFF, "zh_CN", "GBK"},  // a byte naming no code page leaves the choice to the language
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.language) + " driver " + std::to_string(c.driver));
        const std::string chosen = desk::TableCodePage(c.driver, QString::fromLatin1(c.language));
        EXPECT_EQ(chosen, c.code_page);
        EXPECT_NO_THROW(desk::CodePage{chosen}) << "the system converts every code page the desk chooses";
    }
}

TEST(CodePage, BytesNotValidInTheCodePage) {
    const desk::CodePage gbk("GBK");
    // A lead byte without its second byte (a table cut by another program) and an undefined byte.
    EXPECT_EQ(gbk.Decode("ab\xB1"), QString::fromUtf8("ab\uFFFD"));
    EXPECT_EQ(gbk.Decode("\xFF"
                         "\xB1\xB1"),
              QString::fromUtf8("\uFFFD北"));
    EXPECT_EQ(gbk.Encode(QString::fromUtf8("北京"), 3), "\xB1\xB1");
    EXPECT_EQ(gbk.Encode(QString::fromUtf8("😀x"), 10), "?x") << "a character outside the plane is one ?";
    EXPECT_THROW(desk::CodePage{"NO-SUCH-CODE-PAGE"}, desk::DeskError);
}

}  // namespace
