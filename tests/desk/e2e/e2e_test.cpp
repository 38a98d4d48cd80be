// The operator's whole job through the real library against the simulated handheld, for a
// text-frame and a byte-frame handheld: connect, import, upload, readings filled in on the handheld,
// download into the list, export.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "form1.h"
#include "handheld.h"
#include "helpers.h"
#include "sim/hhsim.h"

namespace {

struct FamilyCase {
    const char* name;
    hhsim::Family family;
    const char* number;
};

class DeskOnHandheld : public ::testing::TestWithParam<FamilyCase> {
  protected:
    void SetUp() override {
        hhsim::Config config;
        config.family = GetParam().family;
        config.number = GetParam().number;
        config.fill_readings = "A.DBF";
        config.initial_folders = {"\\KELVANHB"};
        sim = std::make_unique<hhsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(sim->Start(&error)) << error;
        setenv("TARVIX_COM1", sim->SlavePath().c_str(), 1);
        // The library resolves ".\A.DBF" and ".\downa.dbf" in the current folder: the data folder.
        previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(data.path()));
        form = std::make_unique<desk::TForm1>(desk::TarvixLink(), ui, data.path(), data.path());
        form->show();
        // Each test's handheld sits on a pseudo-terminal of its own: the library's first call after the
        // switch finds the earlier test's line gone and fails; the next searches afresh.
        ASSERT_EQ(AskNumber(), 0) << "the handheld does not answer";
    }
    void TearDown() override {
        form.reset();
        QDir::setCurrent(previous);
        setenv("TARVIX_COM1", "/nonexistent", 1);
        if (sim) sim->Stop();
    }

    // The library's own call for the handheld's number, made a second time when the first fails;
    // returns the last result.
    static int32_t AskNumber() {
        char number[16];
        int32_t found = 1;
        for (int attempt = 0; attempt < 2 && found != 0; ++attempt)
            found = desk::TarvixLink().thrdGetHcNum(1, 115200, number);
        return found;
    }

    desktest::DataFolder data;
    desktest::ScriptedUi ui;
    std::unique_ptr<hhsim::Simulator> sim;
    std::unique_ptr<desk::TForm1> form;
    QString previous;
};

TEST_P(DeskOnHandheld, ConnectImportUploadDownloadExport) {
    // Connect: the number in the caption.
    form->ConnecttoHHU1Click();
    ASSERT_EQ(ui.last(), QStringLiteral("The connection is successful"));
    EXPECT_EQ(form->windowTitle(), QString::fromLatin1(GetParam().number).left(9));
    EXPECT_EQ(form->HandheldPort, 1);

    // Import five meters (workbook order is not NID order).
    QTemporaryDir books;
    const QString book = books.filePath(QStringLiteral("meters.xlsx"));
    desktest::Rows rows = {
        {"NID", "cliente", "direccion", "medidor", "ruta", "tipo", "", "", "", "", "", "", "", "reset"}};
    for (int nid : {4, 2, 5, 1, 3})
        rows.push_back({nid,
                        QStringLiteral("C%1").arg(nid),
                        QStringLiteral("Calle %1").arg(nid),
                        QString::number(nid * 111),
                        QStringLiteral("R%1").arg(nid),
                        QStringLiteral("T%1").arg(nid),
                        {},
                        {},
                        {},
                        {},
                        {},
                        {},
                        {},
                        QStringLiteral("S%1").arg(nid)});
    desktest::WriteXlsx(book, rows);
    ui.open_answers.push_back(book);
    form->Meterdatamaintenance1Click();
    ASSERT_EQ(ui.last(), QStringLiteral("Data has been imported\uFF01"));

    // Upload: the grid becomes A.DBF and reaches the handheld (packed for a byte-frame handheld).
    form->ddfs1Click();
    ASSERT_EQ(ui.last(), QStringLiteral("File upload success!")) << ui.last().toStdString();
    const auto sent = desktest::ReadTable(data.file(QStringLiteral("A.DBF")));
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0].at("nid"), "1");
    EXPECT_EQ(sent[4].at("mid"), "000000000555");
    // The meter reader's round on the handheld (the simulator fills the readings once the table is in).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool filled = false;
    while (!filled && std::chrono::steady_clock::now() < until) {
        for (const std::string& e : sim->Events()) filled = filled || e.rfind("filled:", 0) == 0;
        if (!filled) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(filled) << "the handheld filled in no readings";
    const QString stored =
        QDir(QString::fromStdString(sim->StorePath().string())).filePath(QStringLiteral("KELVANHB/A.DBF"));
    const QByteArray on_handheld = desktest::FileBytes(stored);
    ASSERT_FALSE(on_handheld.isEmpty()) << stored.toStdString();
    if (GetParam().family == hhsim::Family::ByteFrame) {
        EXPECT_EQ(on_handheld.mid(3, 8), QByteArray(8, ' ')) << "a packed table's header";
        EXPECT_EQ(static_cast<unsigned char>(on_handheld[15]), 19u) << "nineteen packed fields";
    } else {
        EXPECT_EQ(static_cast<unsigned char>(on_handheld[0]), 0x03u) << "the dBase table unchanged in form";
    }

    // Download: the readings the handheld filled in, sorted by nid.
    form->DownloadfromHHU1Click();
    ASSERT_EQ(form->ListView2->rowCount(), 5) << ui.last().toStdString();
    for (int r = 0; r < 5; ++r) {
        EXPECT_EQ(form->ListView2->item(r, 0)->text(), QString::number(r + 1));
        EXPECT_EQ(form->ListView2->item(r, 3)->text(),
                  QStringLiteral("%1").arg((r + 1) * 111, 12, 10, QLatin1Char('0')));
        EXPECT_EQ(form->ListView2->item(r, 14)->text(), QStringLiteral("S%1").arg(r + 1));
        EXPECT_FALSE(form->ListView2->item(r, 6)->text().isEmpty()) << "PA filled in on the handheld";
        EXPECT_FALSE(form->ListView2->item(r, 16)->text().isEmpty()) << "CRQ filled in on the handheld";
    }

    // Export.
    const QString report = data.file(QStringLiteral("informe.xlsx"));
    ui.save_answers.push_back(desk::SaveChoice{data.file(QStringLiteral("informe")), 2});
    form->Exportdatatoexcel2Click();
    ASSERT_TRUE(ui.last().startsWith(QStringLiteral("Data has been successfully exported to\uFF1A")));
    const QJsonObject r =
        QJsonDocument::fromJson(desktest::RunPython(QStringLiteral("read_report.py"), {report})).object();
    const QJsonArray data_rows = r["rows"].toArray();
    ASSERT_EQ(data_rows.size(), 5);
    EXPECT_EQ(data_rows[0].toArray()[3].toString(), QStringLiteral("000000000111"));
}

// Imports the meters (nid 1..count, an address from address(nid)) and uploads them to the handheld.
void ImportAndUpload(desk::TForm1& form, desktest::ScriptedUi& ui, int count,
                     const std::function<QString(int)>& address) {
    QTemporaryDir books;
    const QString book = books.filePath(QStringLiteral("meters.xlsx"));
    desktest::Rows rows = {{"NID", "cliente", "direccion", "medidor", "ruta", "tipo"}};
    for (int nid = 1; nid <= count; ++nid)
        rows.push_back({nid, QStringLiteral("C%1").arg(nid), address(nid), QString::number(nid * 111),
                        QStringLiteral("R%1").arg(nid), QStringLiteral("T%1").arg(nid)});
    desktest::WriteXlsx(book, rows);
    ui.open_answers.push_back(book);
    form.Meterdatamaintenance1Click();
    ASSERT_EQ(ui.last(), QStringLiteral("Data has been imported\uFF01"));
    form.ddfs1Click();
    ASSERT_TRUE(ui.last().startsWith(QStringLiteral("File upload success!"))) << ui.last().toStdString();
}

// While the handheld holds the download mid-way the window shows page 1 with its 19 columns and the
// bar part-way; the list fills once the transfer goes on.
TEST_P(DeskOnHandheld, WindowWhileTheDownloadRuns) {
    ImportAndUpload(*form, ui, 40, [](int nid) { return QStringLiteral("Calle larga numero %1").arg(nid); });
    if (HasFatalFailure()) return;
    ASSERT_EQ(form->pageOnView(), 0);

    hhsim::FaultPlan plan;
    plan.faults.push_back(hhsim::MakeFault(hhsim::Fault::Kind::Pause, -1, -1, 12));
    sim->SetPlan(plan);

    // Looked at from the window thread while the command waits for the transfer.
    struct Seen {
        bool paused = false, inspected = false;
        int page = -2, columns = 0, bar = -1, looks = 0;
        bool bar_visible = false;
        QString caption6;
        std::vector<int> bar_values;
    } seen;
    QTimer look;
    look.setInterval(5);
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (form->ProgressBar2->isVisible()) seen.bar_values.push_back(form->ProgressBar2->value());
        if (seen.inspected) return;
        if (!seen.paused) {
            for (const std::string& e : sim->Events()) seen.paused = seen.paused || e == "paused:pause";
            return;
        }
        // The bar takes the library's percent a few times a second: look once it has moved, or give
        // up after a bounded number of looks.
        if (form->ProgressBar2->value() == 0 && ++seen.looks < 2000) return;
        seen.inspected = true;
        seen.page = form->pageOnView();
        seen.columns = form->ListView2->columnCount();
        seen.caption6 = form->ListView2->horizontalHeaderItem(6)
                            ? form->ListView2->horizontalHeaderItem(6)->text()
                            : QString();
        seen.bar_visible = form->ProgressBar2->isVisible();
        seen.bar = form->ProgressBar2->value();
        sim->Release();
    });
    look.start();
    form->DownloadfromHHU1Click();
    look.stop();
    sim->Release();

    ASSERT_TRUE(seen.paused) << "the handheld never held the transfer";
    ASSERT_TRUE(seen.inspected);
    EXPECT_EQ(seen.page, 1);
    EXPECT_EQ(seen.columns, 19);
    EXPECT_EQ(seen.caption6, QStringLiteral("Energia Activa "));
    EXPECT_TRUE(seen.bar_visible);
    EXPECT_GT(seen.bar, 0) << "the bar follows the transfer";
    EXPECT_LT(seen.bar, 100);
    // After the transfer: the list, the bar hidden again.
    ASSERT_EQ(form->ListView2->rowCount(), 40) << ui.last().toStdString();
    EXPECT_FALSE(form->ProgressBar2->isVisible());
    ASSERT_FALSE(seen.bar_values.empty());
    EXPECT_EQ(seen.bar_values.front(), 0) << "the bar was on view from the transfer's start";
}

// A Chinese name goes to the handheld and comes back: uploaded by a zh_CN operator and listed under
// C.UTF-8 and zh_CN; an operator whose code page lacks it is asked before anything is sent.
TEST_P(DeskOnHandheld, ChineseNamesUnderEitherLanguage) {
    const QString street = QString::fromUtf8("张三街道一号");
    form->setOperatorLanguage(QStringLiteral("zh_CN"));
    ImportAndUpload(*form, ui, 3,
                    [&](int nid) { return nid == 2 ? street : QStringLiteral("Calle %1").arg(nid); });
    if (HasFatalFailure()) return;
    EXPECT_EQ(ui.last(), QStringLiteral("File upload success!"));
    for (const char* language : {"C", "zh_CN.UTF-8"}) {
        SCOPED_TRACE(language);
        form->setOperatorLanguage(QString::fromLatin1(language));
        form->DownloadfromHHU1Click();
        ASSERT_EQ(form->ListView2->rowCount(), 3) << ui.last().toStdString();
        EXPECT_EQ(form->ListView2->item(1, 2)->text(), street);
        EXPECT_EQ(form->ListView2->item(2, 2)->text(), QStringLiteral("Calle 3"));
    }

    // Under C.UTF-8 (Windows-1252) the name cannot go as it stands: the operator is asked first.
    form->setOperatorLanguage(QStringLiteral("C"));
    auto stored = [this] {
        size_t n = 0;
        for (const std::string& e : sim->Events()) n += e.rfind("stored:", 0) == 0;
        return n;
    };
    const size_t stored_before = stored();
    ui.confirm_answers.push_back(false);
    form->ddfs1Click();
    EXPECT_EQ(ui.lastKind(), "confirm");
    EXPECT_TRUE(ui.last().contains(QStringLiteral("Meters: 000000000222"))) << ui.last().toStdString();
    EXPECT_EQ(stored(), stored_before) << "nothing sent after Cancel";
    ui.confirm_answers.push_back(true);
    form->ddfs1Click();
    EXPECT_TRUE(
        ui.last().startsWith(QStringLiteral("File upload success!\n1 of the meters went with changed")))
        << ui.last().toStdString();
    form->setOperatorLanguage(QStringLiteral("zh_CN"));
    form->DownloadfromHHU1Click();
    ASSERT_EQ(form->ListView2->rowCount(), 3);
    EXPECT_EQ(form->ListView2->item(1, 2)->text(), QStringLiteral("??????")) << "as the operator was told";
}

// Closing the window while the handheld's download is held mid-way: Yes stops the transfer at once in
// either family, the window closes without a message, the downa.dbf of the download before stays byte
// for byte, and nothing of the stop is left for the library's next call.
TEST_P(DeskOnHandheld, ClosingDuringTheDownloadStopsIt) {
    ImportAndUpload(*form, ui, 40, [](int nid) { return QStringLiteral("Calle larga numero %1").arg(nid); });
    if (HasFatalFailure()) return;
    form->DownloadfromHHU1Click();
    ASSERT_EQ(form->ListView2->rowCount(), 40) << ui.last().toStdString();
    const QByteArray earlier = desktest::FileBytes(data.file(QStringLiteral("downa.dbf")));
    ASSERT_FALSE(earlier.isEmpty());

    hhsim::FaultPlan plan;
    plan.faults.push_back(hhsim::MakeFault(hhsim::Fault::Kind::Pause, -1, -1, 12));
    sim->SetPlan(plan);
    const size_t messages = ui.messages.size();
    ui.ask_answers = {true};
    bool closed = false;
    QElapsedTimer since_close;
    QTimer look;
    look.setInterval(5);
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (closed) return;
        bool paused = false;
        for (const std::string& e : sim->Events()) paused = paused || e == "paused:pause";
        if (!paused) return;
        closed = true;
        since_close.start();
        form->close();
    });
    look.start();
    form->DownloadfromHHU1Click();
    const qint64 ended_after = since_close.elapsed();
    look.stop();
    sim->Release();
    QCoreApplication::processEvents();

    ASSERT_TRUE(closed) << "the handheld never held the download";
    // The byte-frame stop request lasts half a second, which the desk waits out before it goes on.
    EXPECT_LT(ended_after, 3000);
    EXPECT_FALSE(form->isVisible());
    ASSERT_EQ(ui.messages.size(), messages + 1) << ui.last().toStdString();
    EXPECT_EQ(ui.lastKind(), "ask");
    EXPECT_EQ(form->ListView2->rowCount(), 0);
    EXPECT_EQ(desktest::FileBytes(data.file(QStringLiteral("downa.dbf"))), earlier);
    // The handheld, released, may still be sending the frame it held when the next call comes: that
    // call may fail once; one whose stop was left standing fails every time.
    EXPECT_EQ(AskNumber(), 0) << "the next call is stopped as well";
}

// Closing the window while the connect searches and nothing answers (the handheld holds its answers):
// Yes ends the search with the attempt in hand, where four attempts would take seconds each; the window
// closes without a message, and nothing of the stop is left for the library's next call.
TEST_P(DeskOnHandheld, ClosingDuringTheConnectEndsTheSearch) {
    hhsim::FaultPlan plan;
    plan.faults.push_back(hhsim::MakeFault(hhsim::Fault::Kind::Pause, -1, -1, 1));
    sim->SetPlan(plan);
    ui.ask_answers = {true};
    bool closed = false;
    QString caption;
    QElapsedTimer since_close;
    QTimer look;
    look.setInterval(100);  // well inside the first attempt's search
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (closed) return;
        closed = true;
        caption = form->windowTitle();
        since_close.start();
        form->close();
    });
    look.start();
    form->ConnecttoHHU1Click();
    const qint64 ended_after = since_close.elapsed();
    look.stop();
    sim->SetPlan({});
    sim->Release();
    QCoreApplication::processEvents();

    ASSERT_TRUE(closed) << "the search ended before the window was closed";
    // The byte-frame stop request lasts half a second, which the desk waits out before it goes on.
    EXPECT_LT(ended_after, 3000);
    EXPECT_EQ(caption, QStringLiteral("Connecting........."));
    EXPECT_FALSE(form->isVisible());
    ASSERT_EQ(ui.messages.size(), 1u) << ui.last().toStdString();
    EXPECT_EQ(ui.lastKind(), "ask");
    EXPECT_EQ(form->HandheldPort, 0);
    EXPECT_EQ(AskNumber(), 0) << "the next call is stopped as well";
}

INSTANTIATE_TEST_SUITE_P(TextFrame, DeskOnHandheld,
                         ::testing::Values(FamilyCase{"TextFrame", hhsim::Family::TextFrame,
                                                      "KV20260001234"}),
                         [](const auto& info) { return std::string(info.param.name); });
#ifdef DESK_E2E_BYTEFRAME
INSTANTIATE_TEST_SUITE_P(ByteFrame, DeskOnHandheld,
                         ::testing::Values(FamilyCase{"ByteFrame", hhsim::Family::ByteFrame, "KV2026012"}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

}  // namespace
