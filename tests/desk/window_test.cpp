// The main window: menus, pages, captions and the connection command.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>

#include "helpers.h"
#include "processes.h"

using desktest::Desk;

namespace {

QStringList Captions(const QList<QAction*>& actions) {
    QStringList out;
    for (QAction* a : actions) out << a->text();
    return out;
}

TEST(Window, StartsEmptyWithItsMenusAndNoPage) {
    Desk d(/*with_db=*/false, /*with_template=*/false);
    desk::TForm1& f = *d.form;
    EXPECT_EQ(f.windowTitle(), QString());
    EXPECT_EQ(f.size(), QSize(1178, 635));
    EXPECT_EQ(Captions(f.menuBar()->actions()), (QStringList{"File", "Data"}));
    EXPECT_EQ(Captions(f.t2->actions()), (QStringList{"Connect to HHU", "Exit"}));
    EXPECT_EQ(Captions(f.Data1->actions()), (QStringList{"Import data from excel", "Download from HHU"}));
    EXPECT_EQ(Captions(f.PopupMenu1->actions()), (QStringList{"Upload all data to HHU"}));
    EXPECT_EQ(Captions(f.PopupMenu2->actions()), (QStringList{"Export data to excel"}));
    EXPECT_EQ(f.PageControl1->tabText(0), QStringLiteral("Import meter data from excel and upload to HHU"));
    EXPECT_EQ(f.PageControl1->tabText(1), QStringLiteral("Download from HHU and export data to excel"));
    EXPECT_EQ(f.pageOnView(), -1);
    EXPECT_FALSE(f.PageControl1->isTabVisible(0));
    EXPECT_FALSE(f.PageControl1->isTabVisible(1));
    EXPECT_FALSE(f.ProgressBar2->isVisible());
    EXPECT_FALSE(f.ProgressBar3->isVisible());
    EXPECT_EQ(f.ListView2->columnCount(), 0);
    EXPECT_EQ(f.ProgressBar3->geometry(), QRect(172, 168, 793, 17));
    EXPECT_EQ(f.ProgressBar2->geometry().topLeft(), QPoint(240, 180));
    EXPECT_EQ(f.ProgressBar2->minimum(), 0);
    EXPECT_EQ(f.ProgressBar2->maximum(), 100);
    EXPECT_EQ(f.HandheldPort, 0);
    // Nothing is opened at start: no database, no table file appears.
    EXPECT_FALSE(QFile::exists(d.data.file("db.mdb")));
    EXPECT_TRUE(d.ui.messages.empty());
}

TEST(Window, DataCommandsSwitchPagesAndExitCloses) {
    Desk d;
    desk::TForm1& f = *d.form;
    d.ui.open_answers.push_back(std::nullopt);
    f.Meterdatamaintenance1->trigger();
    EXPECT_EQ(f.pageOnView(), 0);
    EXPECT_TRUE(f.PageControl1->isTabVisible(0));
    EXPECT_FALSE(f.PageControl1->isTabVisible(1));
    d.hc.get_result = 1;
    f.DownloadfromHHU1->trigger();
    EXPECT_EQ(f.pageOnView(), 1);
    EXPECT_FALSE(f.PageControl1->isTabVisible(0));
    EXPECT_TRUE(f.PageControl1->isTabVisible(1));
    d.ui.open_answers.push_back(std::nullopt);
    f.Meterdatamaintenance1->trigger();
    EXPECT_EQ(f.pageOnView(), 0);
    EXPECT_TRUE(f.isVisible());
    f.Quit1->trigger();
    EXPECT_FALSE(f.isVisible());
}

struct ConnectCase {
    const char* name;
    std::vector<int32_t> results;
    std::string number;
    bool ok;
    int port;  // HandheldPort afterwards
    int calls;
    QString caption;
};

TEST(Connect, AttemptsCaptionsAndMessages) {
    const ConnectCase cases[] = {
        {"first attempt", {0}, "12345678", true, 1, 1, "12345678"},
        {"third attempt", {1, 2, 0}, "A1", true, 3, 3, "A1"},
        {"long number cut to 9", {0}, "123456789012", true, 1, 1, "123456789"},
        {"fifteen characters", {0}, "ABCDEFGHIJKLMNO", true, 1, 1, "ABCDEFGHI"},
        {"empty number", {0}, "", true, 1, 1, ""},
        {"no handheld", {1, 1, 1, 1}, "x", false, 0, 4, "Not connect!"},
        {"busy four times", {3, 3, 3, 3}, "x", false, 0, 4, "Not connect!"},
    };
    for (const ConnectCase& c : cases) {
        SCOPED_TRACE(c.name);
        Desk d(false, false);
        d.hc.number = c.number;
        d.hc.number_results.assign(c.results.begin(), c.results.end());
        QStringList captions_during_calls, captions_at_message;
        d.hc.on_number = [&] { captions_during_calls << d.form->windowTitle(); };
        d.ui.on_message = [&] { captions_at_message << d.form->windowTitle(); };
        d.form->ConnecttoHHU1->trigger();
        EXPECT_EQ(d.hc.count("number"), c.calls);
        for (int i = 0; i < c.calls; ++i) {
            EXPECT_EQ(d.hc.calls[static_cast<size_t>(i)].port, i + 1);
            EXPECT_EQ(d.hc.calls[static_cast<size_t>(i)].rate, 115200);
            EXPECT_EQ(captions_during_calls[i], QStringLiteral("Connecting........."));
        }
        EXPECT_EQ(d.form->HandheldPort, c.port);
        EXPECT_EQ(d.form->windowTitle(), c.caption);
        ASSERT_EQ(d.ui.messages.size(), 1u);
        EXPECT_EQ(d.ui.lastKind(), "information");
        EXPECT_EQ(d.ui.last(), c.ok ? QStringLiteral("The connection is successful")
                                    : QStringLiteral("Connect fail\uFF01"));
        // A failed connect shows "Not connect!" only after the message was closed.
        if (!c.ok) {
            EXPECT_EQ(captions_at_message.front(), QStringLiteral("Connecting........."));
        }
    }
}

TEST(Connect, FailureAfterSuccessKeepsThePortAndAnErrorEndsTheProbe) {
    Desk d(false, false);
    d.hc.number_results = {1, 0};
    d.form->ConnecttoHHU1Click();
    ASSERT_EQ(d.form->HandheldPort, 2);
    d.hc.number_results = {1, 1, 1, 1};
    d.form->ConnecttoHHU1Click();
    EXPECT_EQ(d.form->HandheldPort, 2);
    EXPECT_EQ(d.form->windowTitle(), QStringLiteral("Not connect!"));

    d.hc.calls.clear();
    d.hc.throw_on_number = true;
    d.form->ConnecttoHHU1Click();
    EXPECT_EQ(d.hc.count("number"), 1);
    EXPECT_EQ(d.ui.last(), QStringLiteral("Connect fail\uFF01"));
    EXPECT_EQ(d.form->windowTitle(), QStringLiteral("Not connect!"));
    EXPECT_EQ(d.form->HandheldPort, 2);
}

TEST(Window, ApplicationTitleAndProcessNames) {
    EXPECT_EQ(desk::ApplicationTitle(QStringLiteral("KELVANORMProgram.exe")),
              QStringLiteral("Kelvanormprogram"));
    EXPECT_EQ(desk::ApplicationTitle(QStringLiteral("KELVANORMProgram")), QStringLiteral("Kelvanormprogram"));
    struct Case {
        const char* image;
        const char* wanted;
        bool match;
    };
    const Case cases[] = {
        {"EXCEL.EXE", "excel.exe", true},
        {"C:\\Program Files\\Office\\Excel.exe", "excel.exe", true},
        {"/usr/bin/excel.exe", "EXCEL.EXE", true},
        {"excel.exe.bak", "excel.exe", false},
        {"notexcel.exe", "excel.exe", false},
        {"C:\\x\\excel.exe", "C:\\X\\EXCEL.EXE", true},
        {"\xc3\xa9xcel.exe", "\xc3\x89XCEL.EXE", false},  // only a to z change case
    };
    for (const Case& c : cases) EXPECT_EQ(desk::ImageNameMatches(c.image, c.wanted), c.match) << c.image;
}

}  // namespace
