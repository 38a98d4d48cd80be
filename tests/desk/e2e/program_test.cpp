// The program itself under Xvfb, driven with xdotool as the operator drives it, on the simulated
// handheld through the real library: clicks on Data > "Download from HHU" during a download start no
// second one, then or afterwards; the window's close (what a window manager sends for the close button
// or Alt+F4) asks whether to stop the transfer, also while a box of the library's is up; No lets the
// transfer go on, Yes ends it and the program.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "form1.h"
#include "helpers.h"
#include "sim/hhsim.h"

namespace {

// Runs a tool to its end (bounded) and gives its standard output; an empty result when it failed.
QString RunTool(const QString& program, const QStringList& args, const QProcessEnvironment& env) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) return {};
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

// How long the test waits for the program or the handheld (a bound, not a pace), and how often it
// looks meanwhile: a look may run xdotool.
constexpr std::chrono::milliseconds kWait(10000), kLook(20);

// Where the operator clicks, relative to the window's top-left corner: the title "Data" in the menu
// bar and "Download from HHU" in the menu it opens.  Taken from a window of the desk's own, laid out
// with the same style and fonts.
struct Spots {
    QPoint data, download;
};

Spots MenuSpots() {
    desktest::FakeHandheld hc;
    desktest::ScriptedUi ui;
    QTemporaryDir dir;
    desk::TForm1 form(hc, ui, dir.path(), dir.path());
    form.show();
    QCoreApplication::processEvents();
    Spots spots;
    const QRect title = form.menuBar()->actionGeometry(form.Data1->menuAction());
    spots.data = form.menuBar()->mapTo(&form, title.center());
    // The menu opens right below its title.
    form.Data1->ensurePolished();
    form.Data1->adjustSize();
    spots.download = form.menuBar()->mapTo(&form, title.bottomLeft() + QPoint(0, 1)) +
                     form.Data1->actionGeometry(form.DownloadfromHHU1).center();
    return spots;
}

// Holds the handheld's download while the test acts, without letting the library's wait for the next
// frame run out: from the frame `at` on the handheld lets one frame go every 200 ms.
class Trickle {
  public:
    Trickle(hhsim::Simulator& sim, int at) : sim_(sim) {
        sim_.ClearRecords();
        sim_.SetPlan(PauseAt(at));
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!end_) {
                if (sim_.Counter("paused:pause") > released_ &&
                    !ended_.wait_for(lock, std::chrono::milliseconds(200), [this] { return end_; })) {
                    sim_.SetPlan(PauseAt(1));
                    sim_.Release();
                    ++released_;
                } else {
                    ended_.wait_for(lock, std::chrono::milliseconds(5), [this] { return end_; });
                }
            }
        });
    }
    // The rest of the transfer goes at once.
    ~Trickle() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            end_ = true;
        }
        ended_.notify_all();
        thread_.join();
        sim_.SetPlan({});
        // Only a pause that holds the handheld now: a release with none would let a later one pass.
        if (sim_.Counter("paused:pause") > released_) sim_.Release();
    }

  private:
    static hhsim::FaultPlan PauseAt(int at) {
        hhsim::FaultPlan plan;
        plan.faults.push_back(hhsim::MakeFault(hhsim::Fault::Kind::Pause, -1, -1, at));
        return plan;
    }
    hhsim::Simulator& sim_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool end_ = false;
    int released_ = 0;
    std::thread thread_;
};

// Whether python3 has its X library, which close_window.py needs.
bool PythonHasXlib() {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral("import Xlib")});
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

class ProgramUnderX : public ::testing::Test {
  protected:
    void SetUp() override {
        xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        if (xvfb.isEmpty() || xdotool.isEmpty() || !PythonHasXlib())
            GTEST_SKIP() << "Xvfb, xdotool and python3-xlib are needed (apt-get install xvfb xdotool "
                            "python3-xlib)";
        ASSERT_TRUE(x.start(xvfb, QSize(1280, 720))) << "Xvfb does not start";
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), x.display());

        // The handheld holds a task table of 40 meters with their readings.
        hhsim::Config config;
        config.family = hhsim::Family::TextFrame;
        config.number = "KV2026000123";
        config.store = QFile::encodeName(store.path()).toStdString();
        config.initial_folders = {"\\KELVANHB"};
        std::vector<std::map<std::string, std::string>> meters;
        for (int nid = 1; nid <= 40; ++nid)
            meters.push_back({{"nid", std::to_string(nid)},
                              {"addres", "Calle larga numero " + std::to_string(nid)},
                              {"PA", "1.5"}});
        QDir(store.path()).mkpath(QStringLiteral("KELVANHB"));
        desktest::WriteTaskTable(QDir(store.path()).filePath(QStringLiteral("KELVANHB/A.DBF")), meters);
        sim = std::make_unique<hhsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(sim->Start(&error)) << error;

        spots = MenuSpots();
    }
    void TearDown() override {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
        if (sim) sim->Stop();
    }

    QString Xdo(const QStringList& args) { return RunTool(xdotool, args, env); }
    // The program's windows on view: its main window first, then a menu or box it shows.
    QStringList Windows() {
        return Xdo({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                    QString::number(program.processId())})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QString Named(const QString& name) {
        return Xdo({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                    QStringLiteral("^%1$").arg(name)})
            .section(QLatin1Char('\n'), 0, 0);
    }
    void Click(QPoint at) {
        const QPoint screen = origin + at;
        Xdo({QStringLiteral("mousemove"), QString::number(screen.x()), QString::number(screen.y()),
             QStringLiteral("click"), QStringLiteral("1")});
    }
    // Data > "Download from HHU": the menu's item is clicked once the menu is on view, or after a
    // moment when it never comes (the window is busy).
    void ChooseDownload() {
        const qsizetype before = Windows().size();
        Click(spots.data);
        desktest::WaitUntil([&] { return Windows().size() > before; }, std::chrono::milliseconds(500), kLook);
        Click(spots.download);
    }
    // What a window manager sends for the window's close button or Alt+F4.
    void CloseWindow() {
        QProcess close;
        close.setProcessEnvironment(env);
        close.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral(TARVIX_SOURCE_DIR "/tests/desk/e2e/close_window.py"), main_window});
        ASSERT_TRUE(close.waitForFinished(10000));
        ASSERT_EQ(close.exitCode(), 0) << close.readAllStandardError().toStdString();
    }
    void Keys(const QString& window, const QString& keys) {
        Xdo({QStringLiteral("windowfocus"), window});
        Xdo({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), keys});
    }
    int Downloads() const { return sim->Counter("command:80/3"); }
    bool Seen(const std::string& event) const {
        for (const std::string& e : sim->Events())
            if (e == event) return true;
        return false;
    }

    QString xvfb, xdotool;
    desktest::XServer x;
    QProcessEnvironment env;
    QTemporaryDir store;
    desktest::DataFolder data;  // db.mdb and B.DBF, as the operator's data folder holds them
    std::unique_ptr<hhsim::Simulator> sim;
    Spots spots;
    QProcess program;
    QString main_window;
    QPoint origin;
};

TEST_F(ProgramUnderX, ClicksDuringADownloadAndClosingTheWindow) {
    QProcessEnvironment run = env;
    run.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    run.insert(QStringLiteral("TARVIX_COM1"), QString::fromStdString(sim->SlavePath()));
    for (const char* port : {"TARVIX_COM2", "TARVIX_COM3", "TARVIX_COM4"})
        run.insert(QString::fromLatin1(port), QStringLiteral("/nonexistent"));
    run.insert(QStringLiteral("TARVIX_SHM_NAME"),
               QStringLiteral("tarvix-desk-xvfb-%1").arg(QCoreApplication::applicationPid()));
    run.insert(QStringLiteral("TARVIX_LOCALE"), QStringLiteral("00000409"));
    run.insert(QStringLiteral("LSAN_OPTIONS"),
               QStringLiteral("suppressions=" TARVIX_SOURCE_DIR "/tests/desk/e2e/program_leaks.supp"));
    program.setProcessEnvironment(run);
    program.setWorkingDirectory(data.path());
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(DESK_PROGRAM), {});
    ASSERT_TRUE(program.waitForStarted(10000));
    ASSERT_TRUE(desktest::WaitUntil([&] { return !Windows().isEmpty(); }, kWait, kLook))
        << "the window does not come";
    main_window = Windows().front();
    const QString geometry =
        Xdo({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), main_window});
    for (const QString& line : geometry.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("X="))) origin.setX(line.mid(2).toInt());
        if (line.startsWith(QLatin1String("Y="))) origin.setY(line.mid(2).toInt());
    }
    const QString downa = QDir(data.path()).filePath(QStringLiteral("downa.dbf"));

    // The operator starts a download; the handheld lets it go on slowly from mid-way.
    auto slow = std::make_unique<Trickle>(*sim, 12);
    ChooseDownload();
    ASSERT_TRUE(sim->WaitEvent("paused:pause", std::chrono::seconds(10))) << "the clicks started no download";
    ASSERT_EQ(Downloads(), 1);

    // During it: Data > "Download from HHU" again, twice.
    ChooseDownload();
    ChooseDownload();

    // The window's close asks; No lets the download go on.
    CloseWindow();
    QString question;
    ASSERT_TRUE(desktest::WaitUntil(
        [&] { return !(question = Named(QStringLiteral("Kelvanormprogram"))).isEmpty(); }, kWait, kLook))
        << "closing the window asked nothing";
    Keys(question, QStringLiteral("Escape"));
    ASSERT_TRUE(desktest::WaitUntil([&] { return Named(QStringLiteral("Kelvanormprogram")).isEmpty(); },
                                    kWait, kLook));
    EXPECT_FALSE(Seen("sent:\\KELVANHB\\A.DBF")) << "the download had ended before the test was done";
    slow.reset();
    ASSERT_TRUE(sim->WaitEvent("sent:\\KELVANHB\\A.DBF", std::chrono::seconds(10))) << "the download stopped";
    EXPECT_EQ(program.state(), QProcess::Running);

    // Nothing of the clicks during the download starts later: every call begins with a link test,
    // and none comes.
    const int commands = static_cast<int>(sim->CommandCount());
    desktest::WaitUntil([&] { return static_cast<int>(sim->CommandCount()) > commands; },
                        std::chrono::milliseconds(1000), kLook);
    EXPECT_EQ(static_cast<int>(sim->CommandCount()), commands)
        << "a click during the download ran afterwards";
    EXPECT_EQ(Downloads(), 1);
    ASSERT_TRUE(desktest::WaitUntil([&] { return QFile::exists(downa); }, kWait, kLook));

    // A download onto a folder of that name: the library's box holds the call when the window is
    // closed.  The close asks all the same, and Yes ends the call and the program.
    ASSERT_TRUE(QFile::remove(downa));
    ASSERT_TRUE(QDir(data.path()).mkdir(QStringLiteral("downa.dbf")));
    ChooseDownload();
    ASSERT_TRUE(
        desktest::WaitUntil([&] { return !Named(QStringLiteral("Attention")).isEmpty(); }, kWait, kLook))
        << "the library showed no box";
    CloseWindow();
    ASSERT_TRUE(desktest::WaitUntil(
        [&] { return !(question = Named(QStringLiteral("Kelvanormprogram"))).isEmpty(); }, kWait, kLook))
        << "a close under the library's box asked nothing";
    Keys(question, QStringLiteral("alt+y"));
    ASSERT_TRUE(program.waitForFinished(10000)) << "the program did not end";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(Downloads(), 1) << "the folder is found before the handheld is asked for the file";
}

}  // namespace
