// The window while one of its commands works for long (a transfer with the handheld, the connect's
// search, an import, a task table, the reading list, a report): the operator's input starts nothing,
// then or afterwards; the window shows that it is busy; closing it during a transfer asks whether to
// stop the transfer, and during a local step closes it once the step has ended; a quit of the
// application ends the transfer, also when the library waits on one of its boxes.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QTableView>
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

// Meters of the workbooks and readings of the downloads below.
constexpr int kRows = 40;

std::map<std::string, std::string> Reading(int nid) {
    return {{"nid", std::to_string(nid)}, {"cid", "C"}, {"PA", "1.5"}};
}

std::vector<std::map<std::string, std::string>> Readings(int n) {
    std::vector<std::map<std::string, std::string>> out;
    for (int nid = 1; nid <= n; ++nid) out.push_back(Reading(nid));
    return out;
}

// A workbook of n meters in the data folder; refused: the last meter's NID is a text, which Meter
// refuses.
QString WriteMeters(const Desk& d, int n, bool refused = false) {
    desktest::Rows rows = {{QStringLiteral("NID"), QStringLiteral("Cliente"), QStringLiteral("Direccion"),
                            QStringLiteral("Medidor"), QStringLiteral("Ruta"), QStringLiteral("Tipo")}};
    for (int nid = 1; nid <= n; ++nid) {
        std::vector<desktest::Cell> row = {
            refused && nid == n ? desktest::Cell(QStringLiteral("x")) : desktest::Cell(nid),
            QStringLiteral("C%1").arg(nid),
            QStringLiteral("Calle %1").arg(nid),
            QString::number(nid),
            QStringLiteral("7"),
            QStringLiteral("T")};
        row.resize(13);
        row.push_back(QStringLiteral("R"));
        rows.push_back(std::move(row));
    }
    const QString path = d.data.file(QStringLiteral("meters.xlsx"));
    desktest::WriteXlsx(path, rows);
    return path;
}

// The handheld's call held until the test lets it go on or the desk stops it, as the library's call
// does: a stopped call fails.
struct Held {
    std::atomic<bool> started{false}, release{false};
};

// The download gives n readings; held, it waits first.
void InstallDownload(Desk& d, Held& held, int n) {
    d.hc.on_get = [&held, &d, n] {
        held.started = true;
        desktest::WaitUntil([&] { return held.release.load() || d.hc.stopped(); });
        d.hc.get_result = d.hc.stopped() ? 1 : 0;
        if (!d.hc.stopped()) desktest::WriteTaskTable(d.data.file(QStringLiteral("downa.dbf")), Readings(n));
    };
}

// The connect's first attempt waits; the later ones answer at once.
void InstallConnect(Desk& d, Held& held) {
    d.hc.on_number = [&held, &d] {
        if (held.started.exchange(true)) return;
        desktest::WaitUntil([&] { return held.release.load() || d.hc.stopped(); });
    };
}

// What the commands have started: every one of them asks the handheld or shows its dialog once.
int Starts(const Desk& d) {
    return d.hc.count("get") + d.hc.count("send") + d.hc.count("number") +
           static_cast<int>(d.ui.open_filters.size() + d.ui.save_titles.size());
}

std::vector<QAction*> Commands(desk::TForm1& f) {
    return {f.t2->menuAction(),      f.Data1->menuAction(), f.ConnecttoHHU1, f.Quit1,
            f.Meterdatamaintenance1, f.DownloadfromHHU1,    f.ddfs1,         f.Exportdatatoexcel2};
}

int Enabled(desk::TForm1& f) {
    int enabled = 0;
    for (QAction* a : Commands(f)) enabled += a->isEnabled();
    return enabled;
}

// Runs step on the window thread every interval_ms (0: at every pass of the event loop, so at every
// pump of a command's local step) until it returns true.
class Steps {
  public:
    explicit Steps(std::function<bool()> step, int interval_ms = 2) : step_(std::move(step)) {
        timer_.setInterval(interval_ms);
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

void PostContextMenu(QAbstractScrollArea* view) {
    const QPoint at(20, 20);
    QCoreApplication::postEvent(view->viewport(), new QContextMenuEvent(QContextMenuEvent::Mouse, at,
                                                                        view->viewport()->mapToGlobal(at)));
}

// Data > item: the menu's title clicked, then the item once the menu is on view.
void OpenData(desk::TForm1& f) {
    PostClick(f.menuBar(), f.menuBar()->actionGeometry(f.Data1->menuAction()).center());
}
void ChooseData(desk::TForm1& f, QAction* item) {
    if (f.Data1->isVisible()) PostClick(f.Data1, f.Data1->actionGeometry(item).center());
}

// The operator's ways of starting a command, each in two moves (a menu that the first opens is used by
// the second).
struct Input {
    const char* name;
    std::function<void(desk::TForm1&)> open;
    std::function<void(desk::TForm1&)> choose;
};

const Input kInputs[] = {
    {"Data > Download from HHU with the mouse", OpenData,
     [](desk::TForm1& f) { ChooseData(f, f.DownloadfromHHU1); }},
    {"Data > Import data from excel with the mouse", OpenData,
     [](desk::TForm1& f) { ChooseData(f, f.Meterdatamaintenance1); }},
    {"the download's shortcut typed",
     [](desk::TForm1& f) {
         QWidget* to = f.focusWidget() != nullptr ? f.focusWidget() : &f;
         QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyPress, Qt::Key_D, Qt::ControlModifier));
         QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyRelease, Qt::Key_D, Qt::ControlModifier));
     },
     [](desk::TForm1&) {}},
    {"the popup of the page on view (the list's export, the grid's upload)",
     [](desk::TForm1& f) {
         PostContextMenu(f.pageOnView() == 1 ? static_cast<QAbstractScrollArea*>(f.ListView2) : f.DBGrid2);
     },
     [](desk::TForm1& f) {
         if (f.PopupMenu2->isVisible())
             PostClick(f.PopupMenu2, f.PopupMenu2->actionGeometry(f.Exportdatatoexcel2).center());
         if (f.PopupMenu1->isVisible())
             PostClick(f.PopupMenu1, f.PopupMenu1->actionGeometry(f.ddfs1).center());
     }},
};

// A command kept at work while the test acts on the window.  A transfer is held by the handheld until
// the test lets it go (or the desk stops it); a local step pumps the window at its first and at its
// last position at least, which is when the test acts.
struct Work {
    const char* name;
    // What the command needs first (a meter list, a reading list, its dialog's answer) and the hold.
    std::function<void(Desk&, Held&)> prepare;
    std::function<void(desk::TForm1&)> start;
    // Whether the command's long part runs now (asked on the window thread).
    std::function<bool(Desk&, const Held&)> working;
    bool local;
    // A local step's files once the window, closed during the step, has gone.
    std::function<void(Desk&)> closed;
};

const Work kWorks[] = {
    {"a download",
     [](Desk& d, Held& h) { InstallDownload(d, h, 2); },
     [](desk::TForm1& f) { f.DownloadfromHHU1->trigger(); },
     [](Desk&, const Held& h) { return h.started.load(); },
     false,
     {}},
    {"a connect",
     [](Desk& d, Held& h) {
         d.import(WriteMeters(d, kRows));
         d.hc.number_results = {0};
         InstallConnect(d, h);
     },
     [](desk::TForm1& f) { f.ConnecttoHHU1->trigger(); },
     [](Desk&, const Held& h) { return h.started.load(); },
     false,
     {}},
    {"an import", [](Desk& d, Held&) { d.ui.open_answers.push_back(WriteMeters(d, kRows)); },
     [](desk::TForm1& f) { f.Meterdatamaintenance1->trigger(); },
     [](Desk& d, const Held&) { return d.form->ProgressBar3->isVisible(); }, true,
     [](Desk& d) {
         EXPECT_EQ(d.data.meterRows().size(), static_cast<size_t>(kRows));
         EXPECT_EQ(d.ui.last(), QStringLiteral("Data has been imported\uFF01"));
     }},
    {"the task table's build", [](Desk& d, Held&) { d.import(WriteMeters(d, kRows)); },
     [](desk::TForm1& f) { f.ddfs1->trigger(); },
     // The bar runs through the rows twice while the table is built, over 0 to 100 during the send.
     [](Desk& d, const Held&) {
         return d.form->ProgressBar3->isVisible() && d.form->ProgressBar3->maximum() == 2 * kRows;
     },
     true,
     [](Desk& d) {
         EXPECT_EQ(desktest::ReadTable(d.data.file(QStringLiteral("A.DBF"))).size(),
                   static_cast<size_t>(kRows));
         EXPECT_EQ(d.hc.count("send"), 0) << "a transfer started after the close";
         EXPECT_FALSE(QFile::exists(d.data.file(QStringLiteral(".A.DBF.part"))));
     }},
    {"the reading list's fill",
     [](Desk& d, Held& h) {
         h.release = true;
         InstallDownload(d, h, kRows);
     },
     [](desk::TForm1& f) { f.DownloadfromHHU1->trigger(); },
     [](Desk& d, const Held&) {
         return d.form->ProgressBar2->isVisible() && d.form->ProgressBar2->value() >= 10;
     },
     true, [](Desk& d) { EXPECT_EQ(d.form->ListView2->rowCount(), kRows); }},
    {"a report",
     [](Desk& d, Held& h) {
         h.release = true;
         InstallDownload(d, h, kRows);
         d.form->DownloadfromHHU1->trigger();
         d.ui.save_answers.push_back(desk::SaveChoice{d.data.file(QStringLiteral("report.xlsx")), 2});
     },
     [](desk::TForm1& f) { f.Exportdatatoexcel2->trigger(); },
     [](Desk& d, const Held&) { return d.form->ProgressBar2->isVisible() && !d.ui.save_titles.isEmpty(); },
     true,
     [](Desk& d) {
         EXPECT_TRUE(QFile::exists(d.data.file(QStringLiteral("report.xlsx"))));
         EXPECT_TRUE(d.ui.last().startsWith(QStringLiteral("Data has been successfully exported to")))
             << d.ui.last().toStdString();
     }},
};

TEST(BusyWindow, InputWhileACommandWorksStartsNothingThenOrAfterwards) {
    for (const Work& work : kWorks) {
        for (const Input& input : kInputs) {
            SCOPED_TRACE(std::string(work.name) + ", " + input.name);
            Desk d;
            desk::TForm1& f = *d.form;
            f.DownloadfromHHU1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
            Held held;
            work.prepare(d, held);
            Settle();
            const int before = Starts(d);
            int step = 0;
            bool menu_opened = false, busy = false;
            int enabled = -1;
            Steps during(
                [&] {
                    if (!work.working(d, held)) return false;
                    menu_opened = menu_opened || f.Data1->isVisible() || f.PopupMenu1->isVisible() ||
                                  f.PopupMenu2->isVisible();
                    if (step == 0) {
                        busy = f.cursor().shape() == Qt::BusyCursor;
                        enabled = Enabled(f);
                        input.open(f);
                    }
                    if (step == 1) input.choose(f);
                    if (++step < (work.local ? 2 : 4)) return false;
                    held.release = true;
                    return true;
                },
                work.local ? 0 : 2);
            work.start(f);
            Settle();  // whatever was left waiting would start now
            ASSERT_TRUE(during.done());
            EXPECT_FALSE(menu_opened);
            EXPECT_EQ(Starts(d), before + 1) << "input while the command worked started a command";
            EXPECT_TRUE(busy) << "a busy cursor over the window";
            EXPECT_EQ(enabled, 0) << "every command disabled";
            EXPECT_EQ(f.cursor().shape(), Qt::ArrowCursor) << "the window's own cursor again";
            EXPECT_EQ(Enabled(f), static_cast<int>(Commands(f).size()));

            // The same input once the command has ended reaches the window: it is the input that was
            // dropped, not input that never could have worked.
            input.open(f);
            Settle();
            input.choose(f);
            Settle();
            EXPECT_GT(Starts(d), before + 1) << "the same input after the command";
            QApplication::closeAllWindows();
            Settle();
        }
    }
}

// A local step cannot be stopped half-way without leaving its files half-done: the window stays until
// the step has ended, then closes, its files complete.
TEST(BusyWindow, ClosingDuringALocalStepClosesTheWindowOnceTheStepHasEnded) {
    for (const Work& work : kWorks) {
        if (!work.local) continue;
        SCOPED_TRACE(work.name);
        Desk d;
        desk::TForm1& f = *d.form;
        Held held;
        work.prepare(d, held);
        Settle();
        const size_t messages = d.ui.messages.size();
        bool refused = false;
        Steps closer(
            [&] {
                if (!work.working(d, held)) return false;
                refused = !f.close();
                return true;
            },
            0);
        work.start(f);
        ASSERT_TRUE(closer.done());
        EXPECT_TRUE(refused) << "the window went in the middle of the step";
        EXPECT_TRUE(f.isVisible()) << "the window goes once the command has returned";
        Settle();
        EXPECT_FALSE(f.isVisible()) << "the window stayed after the step";
        for (size_t i = messages; i < d.ui.messages.size(); ++i)
            EXPECT_NE(d.ui.messages[i].kind, "ask") << "a local step is not stopped: nothing to ask";
        work.closed(d);
    }
}

// Whatever way a local step ends, the window is busy until the command's end and then given back.
TEST(BusyWindow, ALocalStepShowsItIsBusyUntilTheCommandEndsHoweverItEnds) {
    struct Ending {
        const char* name;
        std::function<void(Desk&)> run;
        std::string kind;  // of the command's last message
    };
    const Ending endings[] = {
        {"an import done", [](Desk& d) { d.import(WriteMeters(d, 3)); }, "plain"},
        {"an import the database refuses", [](Desk& d) { d.import(WriteMeters(d, 3, true)); }, "error"},
        {"an upload without its template",
         [](Desk& d) {
             d.import(WriteMeters(d, 3));
             ASSERT_TRUE(QFile::remove(d.data.file(QStringLiteral("B.DBF"))));
             d.ui.messages.clear();
             d.form->ddfs1->trigger();
         },
         "plain"},
    };
    for (const Ending& e : endings) {
        SCOPED_TRACE(e.name);
        Desk d;
        desk::TForm1& f = *d.form;
        std::vector<std::pair<bool, int>> at_messages;  // busy cursor, commands enabled
        d.ui.on_message = [&] { at_messages.emplace_back(f.cursor().shape() == Qt::BusyCursor, Enabled(f)); };
        e.run(d);
        Settle();
        ASSERT_FALSE(at_messages.empty());
        EXPECT_EQ(d.ui.lastKind(), e.kind) << d.ui.last().toStdString();
        EXPECT_TRUE(at_messages.back().first) << "a busy cursor until the command's end";
        EXPECT_EQ(at_messages.back().second, 0);
        EXPECT_EQ(f.cursor().shape(), Qt::ArrowCursor);
        EXPECT_EQ(Enabled(f), static_cast<int>(Commands(f).size()));
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
            enabled = Enabled(f);
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
        for (QAction* a : Commands(f)) EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
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

// The transfers that a close can stop, with what each leaves after No and after Yes.
struct Stoppable {
    const char* name;
    std::function<void(Desk&, Held&)> prepare;
    std::function<void(desk::TForm1&)> start;
    const char* caption;  // the window's caption while the transfer runs
    std::function<void(Desk&, bool stopped)> after;
};

const Stoppable kStoppables[] = {
    {"a download", [](Desk& d, Held& h) { InstallDownload(d, h, 2); },
     [](desk::TForm1& f) { f.DownloadfromHHU1->trigger(); }, "",
     [](Desk& d, bool stopped) {
         EXPECT_EQ(d.hc.count("get"), 1);
         EXPECT_EQ(d.form->ListView2->rowCount(), stopped ? 0 : 2) << "the download ended as it would have";
         EXPECT_FALSE(d.form->ProgressBar2->isVisible());
         EXPECT_EQ(d.ui.messages.size(), 1u) << "a download done says nothing";
     }},
    // No handheld answers: after No the four attempts are made; a stop ends the search with the
    // attempt in hand.
    {"a connect",
     [](Desk& d, Held& h) {
         d.hc.number_results = {1, 1, 1, 1};
         InstallConnect(d, h);
     },
     [](desk::TForm1& f) { f.ConnecttoHHU1->trigger(); }, "Connecting.........",
     [](Desk& d, bool stopped) {
         EXPECT_EQ(d.hc.count("number"), stopped ? 1 : 4) << "attempts after the stop";
         if (stopped) {
             EXPECT_EQ(d.ui.messages.size(), 1u);
         } else {
             ASSERT_EQ(d.ui.messages.size(), 2u);
             EXPECT_EQ(d.ui.last(), QStringLiteral("Connect fail\uFF01"));
             EXPECT_EQ(d.form->windowTitle(), QStringLiteral("Not connect!"));
         }
         EXPECT_EQ(d.form->HandheldPort, 0);
     }},
};

TEST(Transfer, ClosingAsksWhetherToStopTheTransfer) {
    for (const Stoppable& t : kStoppables) {
        for (const CloseCase& c :
             {CloseCase{"No: the transfer goes on", false}, CloseCase{"Yes: it stops", true}}) {
            SCOPED_TRACE(std::string(t.name) + ", " + c.name);
            Desk d;
            desk::TForm1& f = *d.form;
            Held held;
            t.prepare(d, held);
            d.ui.ask_answers = {c.stop};
            QElapsedTimer since_close;
            bool still_running = false;
            QString caption;
            Steps during([&] {
                if (!held.started) return false;
                caption = f.windowTitle();
                since_close.start();
                EXPECT_FALSE(f.close()) << "the window stays while the transfer runs";
                // After No the transfer is still there, and nothing asked it to stop.
                still_running = desk::Transfer::current() != nullptr && !desk::Transfer::current()->stopped();
                if (!c.stop) held.release = true;
                return true;
            });
            t.start(f);
            const qint64 ended_after = since_close.elapsed();
            Settle();

            ASSERT_TRUE(during.done());
            ASSERT_FALSE(d.ui.messages.empty());
            EXPECT_EQ(d.ui.messages.front().kind, "ask");
            EXPECT_EQ(d.ui.messages.front().text, QString::fromLatin1(kStopQuestion));
            EXPECT_EQ(caption, QString::fromLatin1(t.caption));
            if (c.stop) {
                EXPECT_TRUE(d.hc.stopped());
                EXPECT_EQ(d.hc.stop_how.load(), 1) << "the stop request the library takes back itself";
                EXPECT_LT(ended_after, 5000) << "the stop ends the call at once";
                EXPECT_FALSE(f.isVisible()) << "the window closes once the call has ended";
            } else {
                EXPECT_TRUE(still_running);
                EXPECT_EQ(d.hc.stops.load(), 0);
                EXPECT_TRUE(f.isVisible());
            }
            t.after(d, c.stop);
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
