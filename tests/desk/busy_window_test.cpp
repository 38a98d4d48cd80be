// The window while a transfer with the handheld runs: the operator's input starts nothing, then or
// afterwards; the window shows that it is busy; closing it asks whether to stop the transfer; a quit
// of the application ends the transfer, also when the library waits on one of its boxes.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QTableWidget>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "helpers.h"
#include "tarvix.h"
#include "transfer_runner.h"

extern "C" int32_t tarvix_host_prompt(const char* text, const char* caption, uint32_t style);

using desktest::Desk;

namespace {

constexpr const char* kStopQuestion =
    "A transfer with the handheld is running. Stop it and close the window?";

std::map<std::string, std::string> Reading(int nid) {
    return {{"nid", std::to_string(nid)}, {"cid", "C"}, {"PA", "1.5"}};
}

// The handheld's download holds until the test lets it go on or the desk stops it, as the library's
// call does: a stopped call fails.
struct HeldDownload {
    std::atomic<bool> started{false}, release{false};
    void install(Desk& d) {
        d.hc.on_get = [this, &d] {
            started = true;
            desktest::WaitUntil([&] { return release.load() || d.hc.stopped(); });
            d.hc.get_result = d.hc.stopped() ? 1 : 0;
            if (!d.hc.stopped())
                desktest::WriteTaskTable(d.data.file(QStringLiteral("downa.dbf")), {Reading(1), Reading(2)});
        };
    }
};

// Runs step on the window thread every few milliseconds until it returns true.
class Steps {
  public:
    explicit Steps(std::function<bool()> step) : step_(std::move(step)) {
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (!done_ && step_()) done_ = true;
        });
        timer_.start();
    }
    bool done() const { return done_; }

  private:
    std::function<bool()> step_;
    QTimer timer_;
    bool done_ = false;
};

void Settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

void PostClick(QWidget* w, QPoint at, Qt::MouseButton button = Qt::LeftButton) {
    const QPointF local(at), global(w->mapToGlobal(at));
    QCoreApplication::postEvent(
        w, new QMouseEvent(QEvent::MouseButtonPress, local, global, button, button, Qt::NoModifier));
    QCoreApplication::postEvent(
        w, new QMouseEvent(QEvent::MouseButtonRelease, local, global, button, Qt::NoButton, Qt::NoModifier));
}

// The operator's ways of starting a command, each in two moves (a menu that the first opens is used by
// the second).  Each says whether the command it aims at has been started.
struct Input {
    const char* name;
    std::function<void(desk::TForm1&)> open;
    std::function<void(desk::TForm1&)> choose;
    std::function<bool(const Desk&, int downloads_before)> started;
};

const Input kInputs[] = {
    {"Data > Download from HHU with the mouse",
     [](desk::TForm1& f) {
         PostClick(f.menuBar(), f.menuBar()->actionGeometry(f.Data1->menuAction()).center());
     },
     [](desk::TForm1& f) {
         if (f.Data1->isVisible()) PostClick(f.Data1, f.Data1->actionGeometry(f.DownloadfromHHU1).center());
     },
     [](const Desk& d, int before) { return d.hc.count("get") > before; }},
    {"the download's shortcut typed",
     [](desk::TForm1& f) {
         QCoreApplication::postEvent(f.ListView2,
                                     new QKeyEvent(QEvent::KeyPress, Qt::Key_D, Qt::ControlModifier));
         QCoreApplication::postEvent(f.ListView2,
                                     new QKeyEvent(QEvent::KeyRelease, Qt::Key_D, Qt::ControlModifier));
     },
     [](desk::TForm1&) {}, [](const Desk& d, int before) { return d.hc.count("get") > before; }},
    {"the list's popup > Export data to excel",
     [](desk::TForm1& f) {
         const QPoint at(20, 20);
         QCoreApplication::postEvent(
             f.ListView2->viewport(),
             new QContextMenuEvent(QContextMenuEvent::Mouse, at, f.ListView2->viewport()->mapToGlobal(at)));
     },
     [](desk::TForm1& f) {
         if (f.PopupMenu2->isVisible())
             PostClick(f.PopupMenu2, f.PopupMenu2->actionGeometry(f.Exportdatatoexcel2).center());
     },
     [](const Desk& d, int) { return !d.ui.save_titles.isEmpty(); }},
};

TEST(Transfer, InputDuringTheTransferStartsNothingThenOrAfterwards) {
    for (const Input& input : kInputs) {
        SCOPED_TRACE(input.name);
        Desk d;
        desk::TForm1& f = *d.form;
        f.DownloadfromHHU1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
        HeldDownload held;
        held.install(d);
        int step = 0;
        bool menu_opened = false;
        Steps during([&] {
            if (!held.started) return false;
            menu_opened = menu_opened || f.Data1->isVisible() || f.PopupMenu2->isVisible();
            if (step == 0) input.open(f);
            if (step == 1) input.choose(f);
            if (++step < 4) return false;
            held.release = true;
            return true;
        });
        f.DownloadfromHHU1->trigger();
        Settle();  // whatever was left waiting would start now
        ASSERT_TRUE(during.done());
        EXPECT_FALSE(menu_opened);
        EXPECT_FALSE(input.started(d, 1)) << "input during the transfer started a command";
        EXPECT_EQ(d.hc.count("get"), 1);
        ASSERT_EQ(f.ListView2->rowCount(), 2) << "the transfer itself went on";

        // The same input once the transfer has ended reaches the window: it is the input that was
        // dropped, not input that never could have worked.
        d.ui.save_answers.push_back(std::nullopt);
        input.open(f);
        Settle();
        input.choose(f);
        Settle();
        EXPECT_TRUE(input.started(d, 1)) << "the same input after the transfer";
        QApplication::closeAllWindows();
        Settle();
    }
}

TEST(Transfer, TheWindowShowsItIsBusyUntilTheCommandEndsHoweverItEnds) {
    struct Ending {
        const char* name;
        int32_t result;
        bool throws;
        bool close;  // closed with Yes during the transfer
    };
    const Ending endings[] = {
        {"success", 0, false, false},
        {"failure", 1, false, false},
        {"the call raised an error", 0, true, false},
        {"stopped for closing", 1, false, true},
    };
    for (const Ending& e : endings) {
        SCOPED_TRACE(e.name);
        Desk d;
        desk::TForm1& f = *d.form;
        const std::vector<QAction*> commands = {
            f.t2->menuAction(),      f.Data1->menuAction(), f.ConnecttoHHU1, f.Quit1,
            f.Meterdatamaintenance1, f.DownloadfromHHU1,    f.ddfs1,         f.Exportdatatoexcel2};
        std::atomic<bool> started{false}, release{false};
        d.hc.throw_on_get = e.throws;
        d.hc.get_result = e.result;
        d.hc.on_get = [&] {
            started = true;
            desktest::WaitUntil([&] { return release.load() || d.hc.stopped(); });
        };
        d.ui.ask_answers = {true};
        bool busy = false, closed = false;
        int enabled = -1;
        Steps during([&] {
            if (!started) return false;
            busy = f.cursor().shape() == Qt::BusyCursor;
            enabled = 0;
            for (QAction* a : commands) enabled += a->isEnabled();
            if (e.close) {
                closed = !f.close();
            } else {
                release = true;
            }
            return true;
        });
        f.DownloadfromHHU1->trigger();
        Settle();
        ASSERT_TRUE(during.done());
        EXPECT_TRUE(busy) << "a busy cursor over the window";
        EXPECT_EQ(enabled, 0) << "every command disabled";
        EXPECT_EQ(f.cursor().shape(), Qt::ArrowCursor) << "the window's own cursor again";
        for (QAction* a : commands) EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
        EXPECT_EQ(f.isVisible(), !e.close);
        if (e.close) {
            EXPECT_TRUE(closed) << "the first close is refused while the transfer runs";
        }
    }
}

struct CloseCase {
    const char* name;
    bool stop;
};

TEST(Transfer, ClosingAsksWhetherToStopTheTransfer) {
    for (const CloseCase& c :
         {CloseCase{"No: the transfer goes on", false}, CloseCase{"Yes: it stops", true}}) {
        SCOPED_TRACE(c.name);
        Desk d;
        desk::TForm1& f = *d.form;
        HeldDownload held;
        held.install(d);
        d.ui.ask_answers = {c.stop};
        QElapsedTimer since_close;
        bool still_running = false;
        Steps during([&] {
            if (!held.started) return false;
            since_close.start();
            EXPECT_FALSE(f.close()) << "the window stays while the transfer runs";
            // After No the transfer is still there, and nothing asked it to stop.
            still_running = desk::Transfer::current() != nullptr && !desk::Transfer::current()->stopped();
            if (!c.stop) held.release = true;
            return true;
        });
        f.DownloadfromHHU1->trigger();
        const qint64 ended_after = since_close.elapsed();
        Settle();

        ASSERT_TRUE(during.done());
        ASSERT_FALSE(d.ui.messages.empty());
        EXPECT_EQ(d.ui.messages.front().kind, "ask");
        EXPECT_EQ(d.ui.messages.front().text, QString::fromLatin1(kStopQuestion));
        EXPECT_EQ(d.hc.count("get"), 1);
        if (c.stop) {
            EXPECT_TRUE(d.hc.stopped());
            EXPECT_EQ(d.hc.stop_how.load(), 1) << "the stop request the library takes back itself";
            EXPECT_LT(ended_after, 5000) << "the stop ends the call at once";
            EXPECT_FALSE(f.isVisible()) << "the window closes once the call has ended";
            EXPECT_EQ(d.ui.messages.size(), 1u) << "no message after the operator chose to close";
            EXPECT_EQ(f.ListView2->rowCount(), 0);
            EXPECT_FALSE(f.ProgressBar2->isVisible());
        } else {
            EXPECT_TRUE(still_running);
            EXPECT_EQ(d.hc.stops.load(), 0);
            EXPECT_TRUE(f.isVisible());
            EXPECT_EQ(d.ui.messages.size(), 1u);
            EXPECT_EQ(f.ListView2->rowCount(), 2) << "the download ended as it would have";
        }
    }
}

// The box of the library's that is on view, if any.
QMessageBox* LibraryBox(const QString& text) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible() && box->text() == text) return box;
    }
    return nullptr;
}

TEST(Transfer, ALibraryBoxOnViewWhenTheWindowIsClosed) {
    const QString text = QStringLiteral("Folder with the same name exists");
    for (const CloseCase& c : {CloseCase{"No: the box stays for the operator", false},
                               CloseCase{"Yes: the box is answered", true}}) {
        SCOPED_TRACE(c.name);
        Desk d;
        desk::TForm1& f = *d.form;
        std::atomic<int32_t> answer{-1};
        std::atomic<bool> release{false};
        d.hc.get_result = 1;
        d.hc.on_get = [&] {
            answer = tarvix_host_prompt("Folder with the same name exists", "Attention",
                                        TARVIX_MB_OK | TARVIX_MB_ICONERROR);
            desktest::WaitUntil([&] { return release.load() || d.hc.stopped(); });
        };
        d.ui.ask_answers = {c.stop};
        bool box_after_question = false;
        Steps during([&] {
            if (!LibraryBox(text)) return false;
            f.close();
            QMessageBox* box = LibraryBox(text);
            box_after_question = box != nullptr;
            if (box) {
                box->button(QMessageBox::Ok)->click();  // the operator answers it
                release = true;
            }
            return true;
        });
        f.DownloadfromHHU1->trigger();
        Settle();
        ASSERT_TRUE(during.done());
        EXPECT_EQ(answer.load(), TARVIX_ID_OK);
        EXPECT_EQ(d.ui.messages.front().kind, "ask");
        if (c.stop) {
            EXPECT_FALSE(box_after_question) << "the box holding the call goes with the stop";
            EXPECT_TRUE(d.hc.stopped());
            EXPECT_FALSE(f.isVisible());
            EXPECT_EQ(d.ui.messages.size(), 1u);
        } else {
            EXPECT_TRUE(box_after_question);
            EXPECT_FALSE(d.hc.stopped());
            EXPECT_TRUE(f.isVisible());
            EXPECT_EQ(d.ui.last(), QStringLiteral("Receive file failed!"));
        }
        EXPECT_EQ(LibraryBox(text), nullptr);
    }
}

// Ends the test program when the test does not end within its time: a desk that waits for a call that
// waits for the desk would otherwise hang the whole run.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!ended_.wait_for(lock, limit, [this] { return disarmed_; })) {
                  std::fprintf(stderr, "the desk hangs: the test did not end in %lld s\n",
                               static_cast<long long>(limit.count()));
                  std::_Exit(1);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            disarmed_ = true;
        }
        ended_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool disarmed_ = false;
    std::thread thread_;
};

TEST(Transfer, AQuitDuringTheTransferWithALibraryBoxPendingEndsIt) {
    Watchdog watchdog(std::chrono::seconds(30));
    Desk d;
    desk::TForm1& f = *d.form;
    const QString text = QStringLiteral("downa.dbf exists. Overwrite?");
    std::atomic<int32_t> answer{-1};
    d.hc.get_result = 1;
    d.hc.on_get = [&] {
        answer = tarvix_host_prompt("downa.dbf exists. Overwrite?", "Attention",
                                    TARVIX_MB_YESNO | TARVIX_MB_ICONQUESTION);
        // A library that was not told to stop would go on; this one waits for the stop.
        desktest::WaitUntil([&] { return d.hc.stopped(); });
    };
    QElapsedTimer since_quit;
    Steps during([&] {
        if (!LibraryBox(text)) return false;
        since_quit.start();
        QCoreApplication::quit();  // as the session's end does
        return true;
    });
    // As in the program: the command runs from the application's event loop, which the quit ends.
    QTimer::singleShot(0, &f, [&f] { f.DownloadfromHHU1->trigger(); });
    QCoreApplication::exec();
    const qint64 ended_after = since_quit.elapsed();

    ASSERT_TRUE(during.done());
    EXPECT_EQ(answer.load(), TARVIX_ID_NO) << "the box nobody answers changes nothing";
    EXPECT_TRUE(d.hc.stopped());
    EXPECT_LT(ended_after, 5000);
    EXPECT_TRUE(d.ui.messages.empty()) << "no message while the application quits";
    EXPECT_EQ(LibraryBox(text), nullptr);
}

}  // namespace
