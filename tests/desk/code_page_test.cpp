// Text fields of the task table in the table's 8-bit code page: written into A.DBF by the upload and
// read back from downa.dbf by the download, so the list shows the operator's own text.
#include "code_page.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProgressBar>
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
    uint8_t recorded;        // A.DBF's language-driver byte
    bool changed;            // a text does not arrive as it stands: the operator is asked first
};

// The template of the data folder, its language-driver byte set.
void MarkTemplate(const QString& path, uint8_t driver) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.seek(desk::kLanguageDriverOffset));
    ASSERT_TRUE(f.putChar(static_cast<char>(driver)));
}

uint8_t StoredDriver(const QString& path) {
    QFile f(path);
    char byte = 0;
    if (!f.open(QIODevice::ReadOnly) || !f.seek(desk::kLanguageDriverOffset) || !f.getChar(&byte))
        return 0xEE;
    return static_cast<uint8_t>(byte);
}

TEST(CodePage, NamesThroughTaskTableAndBack) {
    const QString bei = QString::fromUtf8("北京路");  // GBK B1 B1  BE A9  C2 B7
    const QString ten_wide = QString::fromUtf8("北京路北京路北京路北京");
    const RoundTrip cases[] = {
        {"Windows-1252 for a Western operator", "es_AR", 0, QString::fromUtf8("Ñandú"),
         QString::fromUtf8("Peña 5"),
         "\xD1"
         "and\xFA",
         QString::fromUtf8("Ñandú"), 0x03, false},
        {"GBK for a zh_CN operator", "zh_CN.UTF-8", 0, bei, bei, "\xB1\xB1\xBE\xA9\xC2\xB7", bei, 0x7A,
         false},
        {"the template's byte before the language", "es_AR", 0x7A, bei, bei, "\xB1\xB1\xBE\xA9\xC2\xB7", bei,
         0x7A, false},
        {"a character the code page lacks is ?", "zh_CN", 0x03, QString::fromUtf8("Ñ北"),
         QString::fromUtf8("x"), "\xD1?", QString::fromUtf8("Ñ?"), 0x03, true},
        {"cut after whole double-byte characters", "zh_CN", 0, QStringLiteral("a") + ten_wide, bei,
         "a\xB1\xB1\xBE\xA9\xC2\xB7\xB1\xB1\xBE\xA9\xC2\xB7\xB1\xB1\xBE\xA9\xC2\xB7",
         QStringLiteral("a") + ten_wide.left(9), 0x7A, true},
        {"cut of a single-byte text", "es_AR", 0, QString::fromUtf8("ÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑ"),
         QString::fromUtf8("Peña 5"), std::string(20, '\xD1'), QString::fromUtf8("ÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑÑ"),
         0x03, true},
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
        if (c.changed) d.ui.confirm_answers.push_back(true);
        const size_t before = d.ui.messages.size();
        d.form->ddfs1->trigger();
        ASSERT_EQ(d.ui.messages.size(), before + (c.changed ? 2 : 1));
        if (c.changed) {
            EXPECT_EQ(d.ui.messages[before].kind, "confirm");
            EXPECT_TRUE(d.ui.messages[before].text.contains(QStringLiteral("Meters: 000000000007")))
                << d.ui.messages[before].text.toStdString();
            EXPECT_TRUE(
                d.ui.last().startsWith(QStringLiteral("File upload success!\n1 of the meters went with "
                                                      "changed texts")))
                << d.ui.last().toStdString();
        } else {
            EXPECT_EQ(d.ui.last(), QStringLiteral("File upload success!"));
        }
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].at("cid"), c.name_bytes);
        EXPECT_EQ(StoredDriver(d.data.file(QStringLiteral("A.DBF"))), c.recorded);

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

// A table written under one language is read under another by the code page it records; a table
// given back without the mark (a handheld that rebuilds it) is read as the task table it came from.
TEST(CodePage, TableReadUnderAnotherLanguage) {
    const QString name = QString::fromUtf8("张三"), street = QString::fromUtf8("张三街道一号");
    for (const bool mark_dropped : {false, true}) {
        SCOPED_TRACE(mark_dropped ? "downa.dbf without the mark" : "downa.dbf as sent");
        Desk d;
        d.form->setOperatorLanguage(QStringLiteral("zh_CN"));
        QTemporaryDir books;
        const QString book = books.filePath(QStringLiteral("m.xlsx"));
        desktest::WriteXlsx(book, {{"NID", "clientid", "address", "meterid", "ROTER", "lx"},
                                   {1, name, street, "7", "R1", "T1"}});
        d.import(book);
        d.form->ddfs1->trigger();
        ASSERT_EQ(d.ui.last(), QStringLiteral("File upload success!"));
        ASSERT_EQ(StoredDriver(d.data.file(QStringLiteral("A.DBF"))), 0x7A);

        d.hc.on_get = [&d, mark_dropped] {
            const QString down = d.data.file(QStringLiteral("downa.dbf"));
            QFile::remove(down);
            ASSERT_TRUE(QFile::copy(d.data.file(QStringLiteral("A.DBF")), down));
            if (mark_dropped) MarkTemplate(down, 0);
        };
        for (const char* language : {"C", "es_AR.UTF-8", "zh_CN"}) {
            SCOPED_TRACE(language);
            d.form->setOperatorLanguage(QString::fromLatin1(language));
            d.form->DownloadfromHHU1Click();
            ASSERT_EQ(d.form->ListView2->rowCount(), 1);
            EXPECT_EQ(d.form->ListView2->item(0, 1)->text(), name);
            EXPECT_EQ(d.form->ListView2->item(0, 2)->text(), street);
        }
    }
}

// Under a language whose code page lacks the characters the operator hears of it before anything is
// sent: how many meters and which, and may send the table as it would arrive or send nothing.
TEST(CodePage, UploadAsksBeforeTextsArriveChanged) {
    for (const bool send : {false, true}) {
        SCOPED_TRACE(send ? "sent as it would arrive" : "cancelled");
        Desk d;
        d.form->setOperatorLanguage(QStringLiteral("C"));
        QTemporaryDir books;
        const QString book = books.filePath(QStringLiteral("m.xlsx"));
        desktest::Rows rows = {{"NID", "clientid", "address", "meterid", "ROTER", "lx"}};
        for (int k = 1; k <= 8; ++k)
            rows.push_back({k, QStringLiteral("C%1").arg(k),
                            k == 4 ? QStringLiteral("Calle 4") : QString::fromUtf8("张三街道一号"),
                            QString::number(100 + k), "R1", "T1"});
        desktest::WriteXlsx(book, rows);
        d.import(book);
        d.ui.confirm_answers.push_back(send);
        std::vector<std::map<std::string, std::string>> sent;
        d.hc.on_send = [&] { sent = desktest::ReadTable(d.data.file(QStringLiteral("A.DBF"))); };
        const size_t before = d.ui.messages.size();
        d.form->ddfs1->trigger();

        ASSERT_GT(d.ui.messages.size(), before);
        const auto& question = d.ui.messages[before];
        EXPECT_EQ(question.kind, "confirm");
        EXPECT_TRUE(question.text.startsWith(QStringLiteral("7 of the meters have a name, address")))
            << question.text.toStdString();
        EXPECT_TRUE(question.text.contains(QStringLiteral("code page CP1252")));
        EXPECT_TRUE(question.text.contains(QStringLiteral(
            "Meters: 000000000101, 000000000102, 000000000103, 000000000105, 000000000106, ...")))
            << question.text.toStdString();
        EXPECT_FALSE(d.form->ProgressBar3->isVisible());
        if (!send) {
            EXPECT_EQ(d.hc.count("send"), 0) << "nothing is sent after Cancel";
            EXPECT_EQ(d.ui.messages.size(), before + 1);
            continue;
        }
        ASSERT_EQ(d.hc.count("send"), 1);
        ASSERT_EQ(sent.size(), 8u);
        EXPECT_EQ(sent[0].at("addres"), "??????");
        EXPECT_EQ(sent[3].at("addres"), "Calle 4");
        EXPECT_EQ(StoredDriver(d.data.file(QStringLiteral("A.DBF"))), 0x03);
        EXPECT_EQ(d.ui.lastKind(), "information");
        EXPECT_EQ(d.ui.last(), QStringLiteral("File upload success!\n7 of the meters went with changed texts "
                                              "(\"?\" for a character the code page CP1252 lacks, or a text "
                                              "cut to its field)."));
    }
}

// A table sent under zh_CN, then an upload under a Western language whose question is cancelled: the
// sent table stays byte for byte, so a byte-frame handheld's table (which records no code page) still
// reads as Chinese; choosing to send replaces it with the new one.
TEST(CodePage, CancelledUploadLeavesTheSentTableAsItWas) {
    const QString name = QString::fromUtf8("张三"), street = QString::fromUtf8("张三街道一号");
    Desk d;
    d.form->setOperatorLanguage(QStringLiteral("zh_CN.UTF-8"));
    QTemporaryDir books;
    const QString book = books.filePath(QStringLiteral("m.xlsx"));
    desktest::WriteXlsx(book, {{"NID", "clientid", "address", "meterid", "ROTER", "lx"},
                               {1, name, street, "7", "R1", "T1"},
                               {2, "C2", "Calle 2", "8", "R1", "T1"}});
    d.import(book);
    d.form->ddfs1->trigger();
    ASSERT_EQ(d.ui.last(), QStringLiteral("File upload success!"));
    const QString table = d.data.file(QStringLiteral("A.DBF"));
    ASSERT_EQ(StoredDriver(table), 0x7A);
    QFile sent_file(table);
    ASSERT_TRUE(sent_file.open(QIODevice::ReadOnly));
    const QByteArray sent = sent_file.readAll();
    sent_file.close();

    d.form->setOperatorLanguage(QStringLiteral("C.UTF-8"));
    d.ui.confirm_answers.push_back(false);
    const size_t before = d.ui.messages.size();
    d.form->ddfs1->trigger();
    ASSERT_EQ(d.ui.messages.size(), before + 1);
    EXPECT_EQ(d.ui.lastKind(), "confirm");
    EXPECT_TRUE(d.ui.last().contains(QStringLiteral("code page CP1252"))) << d.ui.last().toStdString();
    EXPECT_EQ(d.hc.count("send"), 1);
    ASSERT_TRUE(sent_file.open(QIODevice::ReadOnly));
    EXPECT_EQ(sent_file.readAll(), sent) << "Cancel changes no byte of the table sent before";
    sent_file.close();
    for (const QString& file : QDir(d.data.path()).entryList(QDir::Files | QDir::Hidden))
        EXPECT_FALSE(file.contains(QStringLiteral(".part"))) << file.toStdString();

    // The handheld gives the table back rebuilt, without the mark: read by the table it came from.
    d.hc.on_get = [&d] {
        const QString down = d.data.file(QStringLiteral("downa.dbf"));
        QFile::remove(down);
        ASSERT_TRUE(QFile::copy(d.data.file(QStringLiteral("A.DBF")), down));
        MarkTemplate(down, 0);
    };
    d.form->DownloadfromHHU1Click();
    ASSERT_EQ(d.form->ListView2->rowCount(), 2);
    EXPECT_EQ(d.form->ListView2->item(0, 1)->text(), name);
    EXPECT_EQ(d.form->ListView2->item(0, 2)->text(), street);

    // Sent as it would arrive: the new table, in the code page it records, replaces the earlier one.
    std::vector<std::map<std::string, std::string>> received;
    uint8_t received_driver = 0;
    d.hc.on_send = [&] {
        received = desktest::ReadTable(table);
        received_driver = StoredDriver(table);
    };
    d.ui.confirm_answers.push_back(true);
    d.form->ddfs1->trigger();
    ASSERT_EQ(d.hc.count("send"), 2);
    EXPECT_TRUE(d.ui.last().startsWith(QStringLiteral("File upload success!\n1 of the meters")))
        << d.ui.last().toStdString();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received_driver, 0x03);
    EXPECT_EQ(received[0].at("cid"), "??");
    EXPECT_EQ(received[1].at("addres"), "Calle 2");
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
    // The mark written for each code page the desk chooses by language is the one read back.
    for (const char* language : {"C", "zh_CN", "zh_TW", "ja_JP", "ko_KR", "th_TH", "ru_RU", "pl_PL", "el_GR",
                                 "tr_TR", "he_IL", "ar_EG", "lt_LT"}) {
        SCOPED_TRACE(language);
        const std::string code_page = desk::AnsiCodePageOfLocale(QString::fromLatin1(language));
        const uint8_t mark = desk::LanguageDriverOfCodePage(code_page);
        EXPECT_NE(mark, 0);
        EXPECT_EQ(desk::CodePageOfLanguageDriver(mark), code_page);
    }
    EXPECT_EQ(desk::LanguageDriverOfCodePage("GBK"), 0x7A);
    EXPECT_EQ(desk::LanguageDriverOfCodePage("CP1252"), 0x03);
    EXPECT_EQ(desk::LanguageDriverOfCodePage("CP1258"), 0) << "no reader knows a mark for it";
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
