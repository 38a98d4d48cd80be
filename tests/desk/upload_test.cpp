// "Upload all data to HHU": the task table written from the grid and handed to the library.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>

#include "helpers.h"
#include "linklib/tables/dbf.h"
#include "task_table.h"

using desktest::Desk;
using desktest::Rows;

namespace {

Rows Meters(int count, int first_nid = 1) {
    Rows rows = {
        {"NID", "clientid", "address", "meterid", "ROTER", "lx", "G", "H", "I", "J", "K", "L", "M", "RESET"}};
    for (int i = 0; i < count; ++i) {
        const int nid = first_nid + i;
        rows.push_back({nid,
                        QStringLiteral("0%1").arg(nid),
                        QStringLiteral("Av. Siempre Viva %1").arg(nid),
                        QString::number(nid * 7),
                        QStringLiteral("R%1").arg(nid % 3),
                        QStringLiteral("lx%1").arg(nid),
                        {},
                        {},
                        {},
                        {},
                        {},
                        {},
                        {},
                        QStringLiteral("reset%1").arg(nid)});
    }
    return rows;
}

struct Imported : Desk {
    QTemporaryDir books;
    explicit Imported(const Rows& rows, bool with_template = true) : Desk(true, with_template) {
        const QString book = books.filePath(QStringLiteral("m.xlsx"));
        desktest::WriteXlsx(book, rows);
        import(book);
        EXPECT_EQ(ui.last(), QStringLiteral("Data has been imported\uFF01"));
        ui.messages.clear();
    }
    QString table() const { return data.file(QStringLiteral("A.DBF")); }
};

TEST(Upload, ThreeRowsBecomeTheTaskTable) {
    Rows rows = Meters(3);
    std::swap(rows[1], rows[3]);  // the workbook's order is not the grid's
    Imported d(rows);
    d.form->HandheldPort = 3;
    std::vector<std::map<std::string, std::string>> sent;
    d.hc.on_send = [&] { sent = desktest::ReadTable(d.table()); };
    d.form->ddfs1->trigger();

    ASSERT_EQ(d.hc.count("send"), 1);
    const auto& call = d.hc.calls.back();
    EXPECT_EQ(call.port, 3);
    EXPECT_EQ(call.rate, 115200);
    EXPECT_EQ(call.a, "\\KELVANHB\\A.DBF");
    EXPECT_EQ(call.b, ".\\A.DBF");
    EXPECT_EQ(call.x, 1);
    EXPECT_EQ(call.y, 1);
    ASSERT_EQ(d.ui.messages.size(), 1u);
    EXPECT_EQ(d.ui.lastKind(), "information");
    EXPECT_EQ(d.ui.last(), QStringLiteral("File upload success!"));
    EXPECT_FALSE(d.form->ProgressBar3->isVisible());

    ASSERT_EQ(sent.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const auto& r = sent[static_cast<size_t>(i)];
        const int nid = i + 1;
        EXPECT_EQ(r.at("nid"), std::to_string(nid));
        EXPECT_EQ(r.at("cid"), std::string("0") + std::to_string(nid));
        EXPECT_EQ(r.at("addres"), std::string("Av. Siempre Viva ") + std::to_string(nid));
        EXPECT_EQ(r.at("mid"), QStringLiteral("%1").arg(nid * 7, 12, 10, QLatin1Char('0')).toStdString());
        EXPECT_EQ(r.at("roter"), std::string("R") + std::to_string(nid % 3));
        EXPECT_EQ(r.at("lx"), std::string("lx") + std::to_string(nid));  // lx from the grid's lx column
        EXPECT_EQ(r.at("reset"),
                  std::string("reset") + std::to_string(nid));  // reset from RESET, shown before lx
        EXPECT_EQ(r.at("PA"), "");                              // reading fields stay blank
        EXPECT_EQ(r.at("Reason"), "");
    }
    // The table keeps the template's structure and stays in the folder.
    tarvix::dbf::Reader a, b;
    ASSERT_TRUE(a.Open(QFile::encodeName(d.table()).toStdString()));
    ASSERT_TRUE(b.Open(QFile::encodeName(desktest::TemplatePath()).toStdString()));
    ASSERT_EQ(a.fields().size(), b.fields().size());
    for (size_t i = 0; i < a.fields().size(); ++i) {
        EXPECT_EQ(a.fields()[i].name, b.fields()[i].name);
        EXPECT_EQ(a.fields()[i].type, b.fields()[i].type);
        EXPECT_EQ(a.fields()[i].length, b.fields()[i].length);
    }
}

TEST(Upload, MoreThanOneFetchBatchAndNoPileUpAcrossRuns) {
    Imported d(Meters(300));
    d.form->ddfs1Click();
    EXPECT_EQ(desktest::ReadTable(d.table()).size(), 300u);
    d.form->ddfs1Click();
    const auto again = desktest::ReadTable(d.table());
    ASSERT_EQ(again.size(), 300u);
    EXPECT_EQ(again.back().at("nid"), "300");
}

TEST(Upload, EmptyGridSendsTheEmptyTemplateCopy) {
    Imported d(Meters(0));
    desktest::WriteTaskTable(d.table(), {{{"nid", "77"}}});
    d.form->ddfs1Click();
    EXPECT_EQ(d.hc.count("send"), 1);
    EXPECT_TRUE(desktest::ReadTable(d.table()).empty());
    EXPECT_EQ(d.ui.last(), QStringLiteral("File upload success!"));
}

TEST(Upload, LibraryFailures) {
    Imported d(Meters(2));
    d.hc.send_result = 1;
    bool bar_shown_during_call = false;
    d.hc.on_send = [&] { bar_shown_during_call = d.form->ProgressBar3->isVisible(); };
    bool bar_shown_at_message = true;
    d.ui.on_message = [&] { bar_shown_at_message = d.form->ProgressBar3->isVisible(); };
    d.form->ddfs1Click();
    EXPECT_TRUE(bar_shown_during_call);
    EXPECT_EQ(d.ui.lastKind(), "information");
    EXPECT_EQ(d.ui.last(), QStringLiteral("Send the file failed!"));
    EXPECT_TRUE(bar_shown_at_message);  // the bar is reset after the message
    EXPECT_FALSE(d.form->ProgressBar3->isVisible());
    EXPECT_EQ(desktest::ReadTable(d.table()).size(), 2u) << "a failed upload leaves A.DBF complete";

    d.hc.on_send = nullptr;
    d.hc.throw_on_send = true;
    d.form->ddfs1Click();
    EXPECT_EQ(d.ui.lastKind(), "plain");
    EXPECT_EQ(d.ui.last(), QStringLiteral("Send the file failed"));
    EXPECT_FALSE(d.form->ProgressBar3->isVisible());
}

TEST(Upload, TemplateAndCopyChecks) {
    {
        Imported d(Meters(1), /*with_template=*/false);
        d.form->ddfs1Click();
        EXPECT_EQ(d.ui.lastKind(), "plain");
        EXPECT_EQ(d.ui.last(), QStringLiteral("(B.dbf)File association missing!"));
        EXPECT_EQ(d.hc.count("send"), 0);
        EXPECT_FALSE(QFile::exists(d.table()));
    }
    {
        // The template in lower case is found as well.
        Imported d(Meters(1), false);
        ASSERT_TRUE(QFile::copy(desktest::TemplatePath(), d.data.file(QStringLiteral("b.dbf"))));
        d.form->ddfs1Click();
        EXPECT_EQ(d.ui.last(), QStringLiteral("File upload success!"));
    }
    {
        // A.DBF cannot be replaced (a folder holds its name).
        Imported d(Meters(1));
        ASSERT_TRUE(QDir(d.data.path()).mkpath(QStringLiteral("A.DBF/x")));
        d.form->ddfs1Click();
        EXPECT_EQ(d.ui.lastKind(), "plain");
        EXPECT_EQ(d.ui.last(), QStringLiteral("Send the file failed, please try again!"));
        EXPECT_EQ(d.hc.count("send"), 0);
        EXPECT_FALSE(d.form->ProgressBar3->isVisible());
    }
}

// Names in the data folder that an upload's own table under construction would leave.
QStringList PartFiles(const QString& folder) {
    QStringList parts;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        if (name.contains(QStringLiteral(".part"))) parts << name;
    return parts;
}

TEST(Upload, BeforeAnyImportTheClosedGridIsReported) {
    Desk d;
    d.form->ddfs1Click();
    EXPECT_EQ(d.ui.lastKind(), "error");
    EXPECT_EQ(d.ui.last(), QStringLiteral("Cannot perform this operation on a closed dataset"));
    EXPECT_EQ(d.hc.count("send"), 0);
    EXPECT_FALSE(d.form->ProgressBar3->isVisible());
    // The table was being built beside its place: nothing of it stays.
    EXPECT_FALSE(QFile::exists(d.data.file(QStringLiteral("A.DBF"))));
    EXPECT_TRUE(PartFiles(d.data.path()).isEmpty()) << PartFiles(d.data.path()).join(' ').toStdString();
}

TEST(Upload, ATemplateWithoutAFieldIsReportedAndTheEarlierTableKept) {
    Imported d(Meters(2));
    d.form->ddfs1Click();
    ASSERT_EQ(d.ui.last(), QStringLiteral("File upload success!"));
    const QByteArray earlier = desktest::FileBytes(d.table());
    ASSERT_EQ(desktest::ReadTable(d.table()).size(), 2u);
    // A template that lacks "reset".
    QFile::remove(d.data.file(QStringLiteral("B.DBF")));
    tarvix::dbf::Writer w;
    ASSERT_TRUE(w.Create(QFile::encodeName(d.data.file(QStringLiteral("B.DBF"))).toStdString(),
                         {{"nid", 'N', 10, 0},
                          {"cid", 'C', 20, 0},
                          {"addres", 'C', 40, 0},
                          {"mid", 'C', 12, 0},
                          {"roter", 'C', 10, 0},
                          {"lx", 'C', 10, 0}}));
    ASSERT_TRUE(w.Close());
    d.form->ddfs1Click();
    EXPECT_EQ(d.ui.lastKind(), "error");
    EXPECT_TRUE(d.ui.last().contains(QStringLiteral("reset"), Qt::CaseInsensitive))
        << d.ui.last().toStdString();
    EXPECT_EQ(d.hc.count("send"), 1);
    EXPECT_FALSE(d.form->ProgressBar3->isVisible());
    // The table under construction is dropped on the error path; the one sent before stays whole.
    EXPECT_EQ(desktest::FileBytes(d.table()), earlier);
    EXPECT_TRUE(PartFiles(d.data.path()).isEmpty()) << PartFiles(d.data.path()).join(' ').toStdString();
}

TEST(Upload, ShippedTemplateFitsTheHandheld) {
    tarvix::dbf::Reader t;
    ASSERT_TRUE(t.Open(QFile::encodeName(desktest::TemplatePath()).toStdString()));
    EXPECT_EQ(t.header().version, 0x03);
    EXPECT_EQ(t.record_count(), 0u);
    const char* needed[] = {"nid", "cid", "addres", "mid", "roter", "lx",  "reset", "PA",  "A1",    "A2",
                            "LE",  "RE",  "RV",     "RC",  "RD",    "RDS", "CRQ",   "CTM", "Reason"};
    for (const char* name : needed) EXPECT_GE(t.FieldIndex(name), 0) << name;
    for (const auto& f : t.fields()) {
        EXPECT_TRUE(f.type == 'C' || f.type == 'N') << f.name;
        EXPECT_EQ(f.flags, 0) << f.name;
        EXPECT_LE(f.name.size(), 10u) << f.name;
    }
    EXPECT_EQ(t.fields()[static_cast<size_t>(t.FieldIndex("nid"))].type, 'N');
    EXPECT_EQ(t.fields()[static_cast<size_t>(t.FieldIndex("mid"))].length, 12);
}

}  // namespace

namespace {

TEST(TaskTable, LongTextsAreCutAtCharacterBoundaries) {
    QTemporaryDir dir;
    const QString table = dir.filePath(QStringLiteral("A.DBF"));
    ASSERT_TRUE(QFile::copy(desktest::TemplatePath(), table));
    desk::TaskRecord r;
    r.nid = 1;
    // The field holds 80 bytes; in Windows-1252 the first "Ñ" takes the last of them.
    r.addres = QString(79, QLatin1Char('a')) + QStringLiteral("\u00d1\u00d1");
    r.mid = QStringLiteral("000000000123");
    desk::AppendTaskRecords(table, {r}, QStringLiteral("es_AR"));
    const auto back = desktest::ReadTable(table);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].at("addres"), std::string(79, 'a') + "\xD1");
    EXPECT_EQ(back[0].at("mid"), "000000000123");
}

}  // namespace
