// The desk's window with a district of meters, driven through its own commands on a handheld that
// answers at once, so every second counted is the desk's:  desk_window_bench [ROWS]
// Prints for the import, the upload (building A.DBF from the grid), the download (reading downa.dbf
// into the list) and the report the time of the command and the longest stretch in which the window
// handled no events (its repaints and timers), which is what the operator feels as a frozen window.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "desk_bench_data.h"
#include "form1.h"
#include "meter_grid.h"
#include "task_table.h"

namespace {

class ScriptUi final : public desk::DeskUi {
  public:
    QString book, report;
    QStringList said;
    void information(const QString& t) override { said << t; }
    void plain(const QString& t) override { said << t; }
    void box(const QString& t, const QString&, desk::BoxIcon) override { said << t; }
    void errorReport(const QString& t) override { said << QStringLiteral("error: ") + t; }
    bool confirm(const QString&) override { return false; }
    bool askYesNo(const QString&) override { return false; }
    std::optional<QString> openFile(const QString&, const QString&) override { return book; }
    std::optional<desk::SaveChoice> saveFile(const QString&, const QString&) override {
        return desk::SaveChoice{report, 2};
    }
};

// Takes the task table and gives it back as the downloaded table at once.
class InstantHandheld final : public desk::HandheldLink {
  public:
    explicit InstantHandheld(QString data) : data_(std::move(data)) {}
    int32_t thrdGetHcNum(int32_t, int32_t, char* number) override {
        std::snprintf(number, 16, "BENCH");
        return 0;
    }
    int32_t SendFileToHc(int32_t, int32_t, const char*, const char*, int32_t, int32_t) override { return 0; }
    int32_t GetHcFile(int32_t, int32_t, const char*, const char*, int32_t) override {
        const QString target = QDir(data_).filePath(QStringLiteral("downa.dbf"));
        QFile::remove(target);
        return QFile::copy(QDir(data_).filePath(QStringLiteral("A.DBF")), target) ? 0 : 1;
    }
    int32_t thrdQueryPercent() override { return -1; }
    int32_t thrdStop(int32_t) override { return 0; }  // its calls end at once

  private:
    QString data_;
};

// The longest time between two turns of the window's event handling while a command runs.
class Watch {
  public:
    Watch() {
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
        timer_.start();
    }
    template <typename Command>
    void run(const char* name, Command command) {
        QCoreApplication::processEvents();
        longest_ = 0;
        clock_.start();
        since_.start();
        command();
        tick();
        const double seconds = clock_.nsecsElapsed() / 1e9;
        std::printf("  %-34s %8.3f s   window without events at most %6.0f ms\n", name, seconds,
                    longest_ * 1e3);
    }

  private:
    void tick() {
        longest_ = std::max(longest_, since_.nsecsElapsed() / 1e9);
        since_.restart();
    }
    QTimer timer_;
    QElapsedTimer clock_, since_;
    double longest_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir dir;
    ScriptUi ui;
    ui.book = dir.filePath(QStringLiteral("meters.xlsx"));
    ui.report = dir.filePath(QStringLiteral("report.xlsx"));
    if (!deskbench::WriteBook(ui.book, rows) || !deskbench::MakeDatabase(dir.path())) return 1;
    desk::WriteTaskTemplate(dir.filePath(QStringLiteral("B.DBF")));

    InstantHandheld hc(dir.path());
    desk::TForm1 form(hc, ui, dir.path(), dir.path());
    form.setOperatorLanguage(QStringLiteral("es_AR"));
    form.show();
    QCoreApplication::processEvents();

    std::printf("desk window with %d meters (handheld answering at once)\n", rows);
    Watch watch;
    watch.run("import (read, store, show in grid)", [&] { form.Meterdatamaintenance1Click(); });
    watch.run("upload (build A.DBF from the grid)", [&] { form.ddfs1Click(); });
    watch.run("download (read downa.dbf, list)", [&] { form.DownloadfromHHU1Click(); });
    watch.run("report (export the list)", [&] { form.Exportdatatoexcel2Click(); });

    const QStringList expected = {QStringLiteral("Data has been imported\uFF01"),
                                  QStringLiteral("File upload success!")};
    if (ui.said.size() < 3 || ui.said.mid(0, 2) != expected || form.ListView2->rowCount() != rows ||
        !ui.said[2].startsWith(QStringLiteral("Data has been successfully exported"))) {
        std::fprintf(stderr, "desk_window_bench: the commands did not complete: %s (list %d rows)\n",
                     ui.said.join(QStringLiteral(" | ")).toUtf8().constData(), form.ListView2->rowCount());
        return 1;
    }
    // The text came back as it went: a name beyond ASCII through the table's code page.
    const QString seventh = form.ListView2->item(6, 2)->text();
    if (!seventh.startsWith(QString::fromUtf8("Pasaje Ñandú 7,"))) {
        std::fprintf(stderr, "desk_window_bench: row 7 lists \"%s\"\n", seventh.toUtf8().constData());
        return 1;
    }
    return 0;
}
