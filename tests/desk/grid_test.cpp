// The meter grid as a data grid: in-place editing written to db.mdb, refused and failed writes, the
// question before a row is deleted, the tab key, and the upload carrying what the grid shows.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTemporaryDir>

#include "helpers.h"
#include "meter_grid.h"

using desktest::Desk;
using desktest::Rows;

namespace {

// Columns of the grid's model, in the grid query's order.
enum Col { kNid = 0, kClient = 1, kAddress = 2, kMeter = 3, kRoter = 4, kLx = 5, kReset = 6 };

struct Grid : Desk {
    QTemporaryDir books;
    Grid() {
        Rows rows = {
            {"NID", "clientid", "address", "meterid", "ROTER", "lx", {}, {}, {}, {}, {}, {}, {}, "RESET"}};
        for (int nid = 1; nid <= 3; ++nid)
            rows.push_back({nid,
                            QStringLiteral("C%1").arg(nid),
                            QStringLiteral("Calle %1").arg(nid),
                            QString::number(nid),
                            QStringLiteral("R"),
                            QStringLiteral("T"),
                            {},
                            {},
                            {},
                            {},
                            {},
                            {},
                            {},
                            QStringLiteral("X")});
        const QString book = books.filePath(QStringLiteral("m.xlsx"));
        desktest::WriteXlsx(book, rows);
        import(book);
        EXPECT_EQ(ui.last(), QStringLiteral("Data has been imported\uFF01"));
        ui.messages.clear();
    }
    desk::MeterGridModel& model() { return *form->meterModel(); }
    QModelIndex at(int row, int column) { return model().index(row, column); }
    // Lets the queued error report of a refused edit arrive.
    void settle() { QCoreApplication::processEvents(); }
    void key(QWidget* to, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(to, &press);
    }
    // Opens the cell's editor and types the text into it (the editor stays open).
    QLineEdit* type(int row, int column, const QString& text) {
        // Editors closed earlier are gone first, so the one found is the one just opened.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        form->DBGrid2->setFocus();
        form->DBGrid2->setCurrentIndex(at(row, column));
        form->DBGrid2->edit(at(row, column));
        auto* editor = form->DBGrid2->findChild<QLineEdit*>();
        if (editor) editor->setText(text);
        return editor;
    }
};

TEST(Grid, OffersTheDataGridDefaults) {
    Grid d;
    desk::MeterGrid& g = *d.form->DBGrid2;
    EXPECT_TRUE(g.horizontalHeader()->isVisible());  // titles
    EXPECT_TRUE(g.verticalHeader()->isVisible());    // record indicator
    EXPECT_TRUE(g.showGrid());                       // column and row lines
    EXPECT_EQ(g.horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
    EXPECT_TRUE(g.tabKeyNavigation());
    EXPECT_TRUE(g.editTriggers() & QAbstractItemView::AnyKeyPressed);
    EXPECT_TRUE(d.model().flags(d.at(0, kNid)) & Qt::ItemIsEditable);
    // The indicator marks the current record only.
    g.setCurrentIndex(d.at(1, kClient));
    EXPECT_FALSE(d.model().headerData(1, Qt::Vertical).toString().isEmpty());
    EXPECT_TRUE(d.model().headerData(0, Qt::Vertical).toString().isEmpty());
}

TEST(Grid, AnEditIsWrittenToMeterInTheColumnsType) {
    Grid d;
    ASSERT_TRUE(d.model().setData(d.at(0, kClient), QStringLiteral("Nuevo")));
    ASSERT_TRUE(d.model().setData(d.at(1, kNid), QStringLiteral(" 42 ")));
    ASSERT_TRUE(d.model().setData(d.at(2, kReset), QString()));  // an emptied cell is null
    d.settle();
    EXPECT_TRUE(d.ui.messages.empty());
    const auto meter = d.data.meterRows();  // by NID: 1, 3, 42
    ASSERT_EQ(meter.size(), 3u);
    EXPECT_EQ(meter[0][1].toString(), QStringLiteral("Nuevo"));
    EXPECT_EQ(meter[2][0].typeId(), QMetaType::LongLong) << "NID stays a whole number";
    EXPECT_EQ(meter[2][0].toInt(), 42);
    EXPECT_EQ(meter[2][1].toString(), QStringLiteral("C2"));
    EXPECT_TRUE(meter[1][14].isNull());
    // The grid shows what was stored, in place (no new sorting while the operator works).
    EXPECT_EQ(d.model().data(d.at(1, kNid)).toString(), QStringLiteral("42"));
    EXPECT_EQ(d.model().data(d.at(0, kClient)).toString(), QStringLiteral("Nuevo"));
}

TEST(Grid, TypingInACellAndTabWritesItAndMovesToTheNextCell) {
    Grid d;
    QLineEdit* editor = d.type(0, kAddress, QStringLiteral("Av. Tab 9"));
    ASSERT_NE(editor, nullptr);
    d.key(editor, Qt::Key_Tab);
    EXPECT_EQ(d.form->DBGrid2->currentIndex().column(), kMeter);
    EXPECT_EQ(d.form->DBGrid2->currentIndex().row(), 0);
    EXPECT_EQ(d.data.meterRows()[0][2].toString(), QStringLiteral("Av. Tab 9"));
}

TEST(Grid, RefusedOrFailedWritesAreReportedAndLeaveTheRow) {
    Grid d;
    const auto before = d.data.meterRows();
    // A text into the whole-number NID.
    EXPECT_FALSE(d.model().setData(d.at(0, kNid), QStringLiteral("abc")));
    d.settle();
    ASSERT_EQ(d.ui.messages.size(), 1u);
    EXPECT_EQ(d.ui.lastKind(), "error");
    EXPECT_TRUE(d.ui.last().contains(QStringLiteral("NID"))) << d.ui.last().toStdString();
    EXPECT_EQ(d.model().data(d.at(0, kNid)).toString(), QStringLiteral("1"));
    // The database refusing the write.
    d.data.exec(QStringLiteral(
        "CREATE TRIGGER no_edit BEFORE UPDATE ON Meter BEGIN SELECT RAISE(ABORT, 'edit refused'); END"));
    EXPECT_FALSE(d.model().setData(d.at(0, kClient), QStringLiteral("Other")));
    d.settle();
    ASSERT_EQ(d.ui.messages.size(), 2u);
    EXPECT_TRUE(d.ui.last().contains(QStringLiteral("edit refused"))) << d.ui.last().toStdString();
    EXPECT_EQ(d.model().data(d.at(0, kClient)).toString(), QStringLiteral("C1"));
    EXPECT_EQ(d.data.meterRows(), before);
}

TEST(Grid, DeletingARowAsksFirst) {
    Grid d;
    desk::MeterGrid& g = *d.form->DBGrid2;
    g.setFocus();
    g.setCurrentIndex(d.at(1, kClient));
    d.ui.confirm_answers = {false};
    d.key(&g, Qt::Key_Delete);
    ASSERT_EQ(d.ui.messages.size(), 1u);
    EXPECT_EQ(d.ui.lastKind(), "confirm");
    EXPECT_EQ(d.ui.last(), QStringLiteral("Delete record?"));
    EXPECT_EQ(d.data.meterRows().size(), 3u);
    EXPECT_EQ(d.model().rowCount(), 3);

    d.ui.confirm_answers = {true};
    d.key(&g, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(d.ui.messages.size(), 2u);
    const auto meter = d.data.meterRows();
    ASSERT_EQ(meter.size(), 2u);
    EXPECT_EQ(meter[0][0].toInt(), 1);
    EXPECT_EQ(meter[1][0].toInt(), 3);
    EXPECT_EQ(d.model().rowCount(), 2);
    EXPECT_EQ(d.model().data(d.at(1, kNid)).toString(), QStringLiteral("3"));

    // A delete the database refuses is reported and keeps the row.
    d.data.exec(QStringLiteral(
        "CREATE TRIGGER no_delete BEFORE DELETE ON Meter BEGIN SELECT RAISE(ABORT, 'delete refused'); END"));
    d.ui.confirm_answers = {true};
    d.key(&g, Qt::Key_Delete);
    EXPECT_EQ(d.ui.lastKind(), "error");
    EXPECT_TRUE(d.ui.last().contains(QStringLiteral("delete refused"))) << d.ui.last().toStdString();
    EXPECT_EQ(d.data.meterRows().size(), 2u);
    EXPECT_EQ(d.model().rowCount(), 2);
}

TEST(Grid, TheUploadCarriesEditedValuesAnEditStillOpenIncluded) {
    Grid d;
    ASSERT_TRUE(d.model().setData(d.at(0, kMeter), QStringLiteral("EDITED")));
    // Typed but not yet ended when the popup command is chosen.
    ASSERT_NE(d.type(2, kLx, QStringLiteral("open edit")), nullptr);
    std::vector<std::map<std::string, std::string>> sent;
    d.hc.on_send = [&] { sent = desktest::ReadTable(d.data.file(QStringLiteral("A.DBF"))); };
    d.form->ddfs1Click();
    ASSERT_EQ(d.ui.last(), QStringLiteral("File upload success!"));
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].at("mid"), "EDITED");
    EXPECT_EQ(sent[2].at("lx"), "open edit");
    EXPECT_EQ(d.data.meterRows()[2][5].toString(), QStringLiteral("open edit"));

    // An open edit that NID cannot take ends the command with its report; nothing is sent.
    d.ui.messages.clear();
    ASSERT_NE(d.type(1, kNid, QStringLiteral("two")), nullptr);
    d.form->ddfs1Click();
    d.settle();
    EXPECT_EQ(d.hc.count("send"), 1);
    ASSERT_EQ(d.ui.messages.size(), 1u);
    EXPECT_EQ(d.ui.lastKind(), "error");
}

// An import that fails leaves Meter and the grid as they were, and the grid still edits.
TEST(Grid, AFailedImportKeepsTheGridOnMeter) {
    Grid d;
    Rows bad = {{"NID"}, {QStringLiteral("not a number")}};
    const QString book = d.books.filePath(QStringLiteral("bad.xlsx"));
    desktest::WriteXlsx(book, bad);
    d.import(book);
    ASSERT_EQ(d.ui.lastKind(), "error");
    EXPECT_TRUE(d.form->gridQueryOpen());
    ASSERT_EQ(d.model().rowCount(), 3);
    EXPECT_TRUE(d.model().setData(d.at(2, kClient), QStringLiteral("still editable")));
    EXPECT_EQ(d.data.meterRows()[2][1].toString(), QStringLiteral("still editable"));
}

// Closing the window writes an edit still open; one its field cannot take keeps the window open.
TEST(Grid, ClosingTheWindowWritesAnOpenEdit) {
    Grid d;
    ASSERT_NE(d.type(0, kRoter, QStringLiteral("Z9")), nullptr);
    d.form->Quit1Click();
    EXPECT_FALSE(d.form->isVisible());
    EXPECT_EQ(d.data.meterRows()[0][4].toString(), QStringLiteral("Z9"));

    d.form->show();
    ASSERT_NE(d.type(0, kNid, QStringLiteral("x")), nullptr);
    d.form->Quit1Click();
    d.settle();
    EXPECT_TRUE(d.form->isVisible());
    EXPECT_EQ(d.ui.lastKind(), "error");
    EXPECT_EQ(d.data.meterRows()[0][0].toInt(), 1);
}

}  // namespace
