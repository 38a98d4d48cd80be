// "Download from HHU": the table the handheld gave back, read into the 19-column list.
#include <gtest/gtest.h>

#include <QFile>
#include <QHeaderView>
#include <QProgressBar>
#include <QTableWidget>

#include "form1.h"
#include "helpers.h"
#include "linklib/tables/dbf.h"
#include "task_table.h"

using desktest::Desk;

namespace {

using Record = std::map<std::string, std::string>;

Record Reading(int nid) {
    const std::string n = std::to_string(nid);
    return {{"nid", n},
            {"cid", std::string("00") + n},
            {"addres", std::string("Calle ") + n},
            {"mid", std::string("0000000000") + n},
            {"roter", std::string("R") + n},
            {"lx", std::string("L") + n},
            {"reset", std::string("S") + n},
            {"PA", n + ".25"},
            {"A1", "1.5"},
            {"A2", "-2"},
            {"LE", "3"},
            {"RE", "4"},
            {"RV", "220.1"},
            {"RC", "5"},
            {"RD", "6"},
            {"RDS", "7"},
            {"CRQ", std::string("2024-03-0") + n},
            {"CTM", std::string("08:1") + n + ":00"},
            {"Reason", std::string("ok ") + n}};
}

// The handheld's table appears when the library is called, as GetHcFile writes it.
void HandBack(Desk& d, const std::vector<Record>& records, const QString& template_path = QString()) {
    d.hc.on_get = [&d, records, template_path] {
        desktest::WriteTaskTable(d.data.file(QStringLiteral("downa.dbf")), records, template_path);
    };
}

QStringList Row(const QTableWidget* list, int row) {
    QStringList out;
    for (int c = 0; c < list->columnCount(); ++c)
        out << (list->item(row, c) ? list->item(row, c)->text() : QString());
    return out;
}

TEST(Download, ListsTheReadingsSortedByNid) {
    Desk d;
    d.form->HandheldPort = 2;
    HandBack(d, {Reading(3), Reading(1), Reading(2)});
    std::vector<int> bar;
    QObject::connect(d.form->ProgressBar2, &QProgressBar::valueChanged, [&](int v) { bar.push_back(v); });
    d.form->DownloadfromHHU1->trigger();

    ASSERT_EQ(d.hc.count("get"), 1);
    const auto& call = d.hc.calls.back();
    EXPECT_EQ(call.port, 2);
    EXPECT_EQ(call.rate, 115200);
    EXPECT_EQ(call.a, "\\KELVANHB\\A.DBF");
    EXPECT_EQ(call.b, ".\\downa.dbf");
    EXPECT_EQ(call.x, 1);
    EXPECT_TRUE(d.ui.messages.empty()) << "a successful download shows no message";
    EXPECT_EQ(d.form->pageOnView(), 1);
    EXPECT_FALSE(d.form->ProgressBar2->isVisible());
    if (!bar.empty() && bar.front() == 0) bar.erase(bar.begin());  // reset on show
    EXPECT_EQ(bar, (std::vector<int>{10, 12, 13, 14, 100, 0}));

    const QTableWidget* list = d.form->ListView2;
    ASSERT_EQ(list->columnCount(), 19);
    for (int c = 0; c < 19; ++c) {
        EXPECT_EQ(list->horizontalHeaderItem(c)->text(),
                  QString::fromLatin1(desk::kReadingColumns[c].caption));
        EXPECT_EQ(list->columnWidth(c), desk::kReadingColumns[c].width) << c;
    }
    EXPECT_EQ(list->horizontalHeaderItem(6)->text(), QStringLiteral("Energia Activa "));
    EXPECT_EQ(list->horizontalHeaderItem(14)->text(), QStringLiteral("RESET"));
    EXPECT_TRUE(list->showGrid());
    EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);
    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(Row(list, 0), (QStringList{"1", "001", "Calle 1", "00000000001", "R1", "L1", "1.25", "1.50",
                                         "-2.00", "3.00", "4.00", "220.10", "5.00", "6.00", "S1", "7.00",
                                         "2024-03-01", "08:11:00", "ok 1"}));
    EXPECT_EQ(list->item(1, 0)->text(), QStringLiteral("2"));
    EXPECT_EQ(list->item(2, 0)->text(), QStringLiteral("3"));
}

TEST(Download, EmptyAndLargeTables) {
    Desk d;
    HandBack(d, {});
    std::vector<int> bar;
    QObject::connect(d.form->ProgressBar2, &QProgressBar::valueChanged, [&](int v) { bar.push_back(v); });
    d.form->DownloadfromHHU1Click();
    EXPECT_EQ(d.form->ListView2->columnCount(), 19);
    EXPECT_EQ(d.form->ListView2->rowCount(), 0);
    if (!bar.empty() && bar.front() == 0) bar.erase(bar.begin());  // reset on show
    EXPECT_EQ(bar, (std::vector<int>{10, 100, 0}));

    std::vector<Record> many;
    for (int i = 200; i >= 1; --i) many.push_back(Reading(i));
    HandBack(d, many);
    bar.clear();
    d.form->DownloadfromHHU1Click();
    ASSERT_EQ(d.form->ListView2->rowCount(), 200);
    EXPECT_EQ(d.form->ListView2->columnCount(), 19) << "no duplicate columns on a second run";
    EXPECT_EQ(d.form->ListView2->item(199, 0)->text(), QStringLiteral("200"));
    // 11 + k, at its maximum from the 89th record on.
    ASSERT_GE(bar.size(), 90u);
    EXPECT_EQ(bar[88], 99);
    EXPECT_EQ(bar[89], 100);
}

TEST(Download, LibraryFailureEmptiesTheList) {
    Desk d;
    HandBack(d, {Reading(1)});
    d.form->DownloadfromHHU1Click();
    ASSERT_EQ(d.form->ListView2->rowCount(), 1);

    for (bool throws : {false, true}) {
        d.hc.on_get = nullptr;
        d.hc.get_result = throws ? 0 : 1;
        d.hc.throw_on_get = throws;
        d.form->DownloadfromHHU1Click();
        EXPECT_EQ(d.ui.lastKind(), "information");
        EXPECT_EQ(d.ui.last(), QStringLiteral("Receive file failed!"));
        EXPECT_EQ(d.form->ListView2->columnCount(), 19);
        EXPECT_EQ(d.form->ListView2->rowCount(), 0);
        EXPECT_FALSE(d.form->ProgressBar2->isVisible());
        EXPECT_EQ(d.form->ProgressBar2->value(), 0);
    }
}

TEST(Download, TablesTheQueryCannotRead) {
    // A reading field missing from the table.
    {
        Desk d;
        tarvix::dbf::Writer w;
        const QString partial = d.data.file(QStringLiteral("partial.dbf"));
        ASSERT_TRUE(
            w.Create(QFile::encodeName(partial).toStdString(), {{"nid", 'N', 5, 0}, {"cid", 'C', 10, 0}}));
        ASSERT_TRUE(w.Close());
        HandBack(d, {{{"nid", "1"}}}, partial);
        d.form->DownloadfromHHU1Click();
        EXPECT_EQ(d.ui.lastKind(), "error");
        EXPECT_TRUE(d.ui.last().contains(QStringLiteral("ADDRES"))) << d.ui.last().toStdString();
        EXPECT_EQ(d.form->ListView2->rowCount(), 0);
        EXPECT_FALSE(d.form->ProgressBar2->isVisible());
    }
    // The library said yes but left no table, or a file that is no table.
    {
        Desk d;
        d.form->DownloadfromHHU1Click();
        EXPECT_EQ(d.ui.lastKind(), "error");
        QFile junk(d.data.file(QStringLiteral("downa.dbf")));
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
        junk.write("not a table at all, but long enough to hold a header of thirty-two bytes");
        junk.close();
        d.form->DownloadfromHHU1Click();
        EXPECT_EQ(d.ui.lastKind(), "error");
        EXPECT_EQ(d.ui.messages.size(), 2u);
    }
}

TEST(LocalSelect, StatementForms) {
    const desk::LocalSelect s = desk::ParseLocalSelect(QString::fromLatin1(desk::kReadingQueryStatement));
    EXPECT_EQ(s.fields.size(), 19);
    EXPECT_EQ(s.fields.front(), QStringLiteral("NID"));
    EXPECT_EQ(s.fields.back(), QStringLiteral("Reason"));
    EXPECT_EQ(s.table_file, QStringLiteral("downa.dbf"));
    EXPECT_EQ(s.order_by, QStringLiteral("nid"));
    EXPECT_THROW(desk::ParseLocalSelect(QStringLiteral("delete from downa.dbf")), desk::DeskError);
    EXPECT_THROW(desk::ParseLocalSelect(QStringLiteral("select a;b from t.dbf order by a")), desk::DeskError);
}

}  // namespace
