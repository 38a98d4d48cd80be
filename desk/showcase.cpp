// desk_showcase: the desk's window on a simulated handheld of its own, driven through import, connect,
// upload and download without an operator, for screenshots and for trying the window out.
//
//   desk_showcase --data DIR --workbook BOOK [--screenshot PNG] [--delay MS] [--page 0|1] [--handheld
//   library]
//                 [--report XLSX]
//
// With --report the downloaded readings are also exported to that workbook.
// DIR must hold db.mdb and B.DBF.  The stand-in handheld keeps the uploaded table in DIR/handheld/,
// fills its reading fields, and hands it back on the download.  With "--handheld library" the window
// talks to a real (or simulated) handheld through libtarvix instead; DIR must then be the current
// folder, where the library puts and takes the task tables.  With --screenshot the whole screen
// is saved after the delay and the program ends; without it the window stays open.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "desk_ui.h"
#include "form1.h"
#include "handheld.h"
#include "linklib/tables/dbf.h"

namespace {

// Messages go to the terminal: nobody is there to close a dialog.
class ConsoleUi final : public desk::DeskUi {
  public:
    std::optional<QString> next_open;
    std::optional<desk::SaveChoice> next_save;
    void information(const QString& t) override { say("information", t); }
    void plain(const QString& t) override { say("message", t); }
    void box(const QString& t, const QString& caption, desk::BoxIcon) override { say(caption, t); }
    void errorReport(const QString& t) override { say("error", t); }
    // Nobody is there to say yes: nothing is deleted.
    bool confirm(const QString& t) override {
        say("question", t);
        return false;
    }
    // Nobody is there to close the window during a transfer.
    bool askYesNo(const QString& t) override {
        say("question", t);
        return false;
    }
    std::optional<QString> openFile(const QString&, const QString&) override {
        return std::exchange(next_open, {});
    }
    std::optional<desk::SaveChoice> saveFile(const QString&, const QString&) override {
        return std::exchange(next_save, {});
    }

    // Every message of the run, in order.
    QStringList said;

  private:
    void say(const QString& kind, const QString& text) {
        said << text;
        std::fprintf(stderr, "desk_showcase: %s: %s\n", kind.toUtf8().constData(), text.toUtf8().constData());
    }
};

class StandInHandheld final : public desk::HandheldLink {
  public:
    explicit StandInHandheld(QString data) : data_(std::move(data)) {
        QDir(data_).mkpath(QStringLiteral("handheld"));
    }
    int32_t thrdGetHcNum(int32_t, int32_t, char* number) override {
        std::strcpy(number, "SHOW123456789");
        return 0;
    }
    int32_t SendFileToHc(int32_t, int32_t, const char*, const char* pc, int32_t, int32_t) override {
        return Fill(QDir(data_).filePath(Pc(pc)), Stored()) ? 0 : 1;
    }
    int32_t GetHcFile(int32_t, int32_t, const char*, const char* pc, int32_t) override {
        const QString target = QDir(data_).filePath(Pc(pc));
        QFile::remove(target);
        return QFile::copy(Stored(), target) ? 0 : 1;
    }
    int32_t thrdQueryPercent() override { return -1; }  // the stand-in's copies take no time
    int32_t thrdStop(int32_t) override { return 0; }

  private:
    static QString Pc(const char* path) { return QString::fromLatin1(path).replace('\\', '/'); }
    QString Stored() const { return QDir(data_).filePath(QStringLiteral("handheld/A.DBF")); }

    // The meter reader's round: every reading field gets a value.
    static bool Fill(const QString& from, const QString& to) {
        namespace dbf = tarvix::dbf;
        dbf::Reader in;
        dbf::Writer out;
        const std::string src = QFile::encodeName(from).toStdString(),
                          dst = QFile::encodeName(to).toStdString();
        if (!in.Open(src) || !out.CreateFrom(src, dst)) return false;
        int k = 0;
        while (in.Next()) {
            out.BeginRecord();
            for (size_t i = 0; i < in.fields().size(); ++i) (void)out.Set(i, in.Text(i));
            const double base = 1000 + 250.0 * k;
            const std::pair<const char*, std::string> readings[] = {
                {"PA", std::to_string(base)},
                {"A1", std::to_string(base * 0.98)},
                {"A2", "12.5"},
                {"LE", std::to_string(300 + 40 * k)},
                {"RE", std::to_string(310 + 40 * k)},
                {"RV", "220.4"},
                {"RC", "5.1"},
                {"RD", "2.3"},
                {"RDS", "0.4"},
                {"CRQ", "2026-12-10"},
                {"CTM", QStringLiteral("09:%1").arg(k % 60, 2, 10, QLatin1Char('0')).toStdString()},
                {"Reason", "OK"}};
            for (const auto& [name, value] : readings) (void)out.Set(name, value);
            if (!out.Post()) return false;
            ++k;
        }
        return in.status().ok() && out.Close().ok();
    }

    QString data_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString data, workbook, screenshot, report;
    int delay = 1500, page = 1;
    bool library = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString key = QString::fromLocal8Bit(argv[i]), value = QString::fromLocal8Bit(argv[i + 1]);
        if (key == QLatin1String("--data"))
            data = value;
        else if (key == QLatin1String("--workbook"))
            workbook = value;
        else if (key == QLatin1String("--screenshot"))
            screenshot = value;
        else if (key == QLatin1String("--delay"))
            delay = value.toInt();
        else if (key == QLatin1String("--page"))
            page = value.toInt();
        else if (key == QLatin1String("--report"))
            report = value;
        else if (key == QLatin1String("--handheld"))
            library = value == QLatin1String("library");
    }
    if (data.isEmpty() || workbook.isEmpty()) {
        std::fprintf(
            stderr,
            "usage: desk_showcase --data DIR --workbook BOOK [--screenshot PNG] [--delay MS] [--page 0|1] "
            "[--handheld library] [--report XLSX]\n");
        return 2;
    }
    data = QDir(data).absolutePath();
    ConsoleUi ui;
    StandInHandheld stand_in(data);
    if (library && QDir(data) != QDir::current()) {
        std::fprintf(stderr, "desk_showcase: with --handheld library, run in the data folder\n");
        return 2;
    }
    desk::HandheldLink& hc = library ? desk::TarvixLink() : static_cast<desk::HandheldLink&>(stand_in);
    desk::TForm1 form(hc, ui, data, data);
    form.show();
    QTimer::singleShot(100, [&] {
        ui.next_open = QDir(workbook).absolutePath();
        form.Meterdatamaintenance1Click();
        form.ddfs1Click();
        form.ConnecttoHHU1Click();
        if (page == 1) form.DownloadfromHHU1Click();
        if (page == 1 && !report.isEmpty()) {
            ui.next_save = desk::SaveChoice{QDir(report).absolutePath(), 1};
            form.Exportdatatoexcel2Click();
        }
        if (screenshot.isEmpty()) return;
        // The run's messages stay on view in one box, so the shot shows how they render (the full-width
        // punctuation of the desk's messages needs a font that has it).
        auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Messages of this run"),
                                    ui.said.join(QLatin1Char('\n')), QMessageBox::Ok, &form);
        box->setWindowModality(Qt::NonModal);
        box->show();
        box->move(form.geometry().right() - box->width() - 40, form.geometry().bottom() - box->height() - 40);
        QTimer::singleShot(delay, [&] {
            QScreen* screen = QGuiApplication::primaryScreen();
            const bool saved = screen && screen->grabWindow(0).save(screenshot, "PNG");
            std::fprintf(stderr, "desk_showcase: %s %s\n", saved ? "saved" : "could not save",
                         screenshot.toUtf8().constData());
            QCoreApplication::exit(saved ? 0 : 1);
        });
    });
    return app.exec();
}
