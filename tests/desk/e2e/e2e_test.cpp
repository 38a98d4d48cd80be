// The operator's whole job through the real library against the simulated handheld, for a
// text-frame and a byte-frame handheld: connect, import, upload, readings filled in on the handheld,
// download into the list, export.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTableWidget>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <fstream>
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
    }
    void TearDown() override {
        form.reset();
        QDir::setCurrent(previous);
        setenv("TARVIX_COM1", "/nonexistent", 1);
        if (sim) sim->Stop();
    }

    desktest::DataFolder data;
    desktest::ScriptedUi ui;
    std::unique_ptr<hhsim::Simulator> sim;
    std::unique_ptr<desk::TForm1> form;
    QString previous;
};

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
    const QByteArray on_handheld = FileBytes(stored);
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
