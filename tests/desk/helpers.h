// Test helpers of the desk: a scripted handheld, scripted dialogs, a data folder with db.mdb and the
// template, and workbooks written the way other programs write them.
#pragma once

#include <QJsonDocument>
#include <QProcess>
#include <QSize>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "desk_ui.h"
#include "form1.h"
#include "handheld.h"

// Readable failure output for Qt texts.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace desktest {

// A handheld whose answers the test gives.
class FakeHandheld : public desk::HandheldLink {
  public:
    struct Call {
        std::string what;
        int32_t port, rate;
        std::string a, b;
        int32_t x, y;
    };
    std::vector<Call> calls;
    std::deque<int32_t> number_results;  // one per thrdGetHcNum; 1 when run out
    std::string number = "12345678";
    bool throw_on_number = false;
    std::function<void()> on_number;  // runs when thrdGetHcNum is called
    int32_t send_result = 0;
    bool throw_on_send = false;
    std::function<void()> on_send;  // runs when SendFileToHc is called (e.g. to keep A.DBF)
    int32_t get_result = 0;
    bool throw_on_get = false;
    std::function<void()> on_get;  // runs when GetHcFile is called (e.g. to write downa.dbf)
    // The calls run on a thread of their own while the window waits: on_send and on_get run there.
    std::atomic<int32_t> percent{-1};  // what thrdQueryPercent answers

    int32_t thrdGetHcNum(int32_t port, int32_t rate, char* out) override;
    int32_t SendFileToHc(int32_t port, int32_t rate, const char* hc, const char* pc, int32_t reserved,
                         int32_t overwrite) override;
    int32_t GetHcFile(int32_t port, int32_t rate, const char* hc, const char* pc, int32_t overwrite) override;
    int32_t thrdQueryPercent() override { return percent.load(); }
    // A stop asks the call in hand to end: the script's calls look at stopped() (asked from a thread
    // of the window's own, so counted atomically).
    std::atomic<int> stops{0};
    std::atomic<int32_t> stop_how{-1};
    int32_t thrdStop(int32_t how) override;
    bool stopped() const { return stops.load() > 0; }
    int count(const std::string& what) const;
};

// Dialogs answered from a script; every message is recorded.
class ScriptedUi : public desk::DeskUi {
  public:
    struct Message {
        std::string kind;  // "information", "plain", "box", "error", "confirm", "ask"
        QString text, caption;
        desk::BoxIcon icon = desk::BoxIcon::None;
    };
    std::vector<Message> messages;
    std::deque<std::optional<QString>> open_answers;
    std::deque<std::optional<desk::SaveChoice>> save_answers;
    std::deque<bool> confirm_answers;  // false when run out
    std::deque<bool> ask_answers;      // Yes/No questions; No when run out
    QStringList open_filters, open_dirs, save_titles, save_filters;
    std::function<void()> on_message;  // e.g. to look at the window while a message shows

    void information(const QString& text) override;
    void plain(const QString& text) override;
    void box(const QString& text, const QString& caption, desk::BoxIcon icon) override;
    void errorReport(const QString& text) override;
    bool confirm(const QString& text) override;
    bool askYesNo(const QString& text) override;
    std::optional<QString> openFile(const QString& filter, const QString& initial_dir) override;
    std::optional<desk::SaveChoice> saveFile(const QString& title, const QString& filter) override;

    QString last() const { return messages.empty() ? QString() : messages.back().text; }
    std::string lastKind() const { return messages.empty() ? std::string() : messages.back().kind; }
};

// A data folder with an empty db.mdb and the template B.DBF.
class DataFolder {
  public:
    DataFolder(bool with_db = true, bool with_template = true);
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const;
    // Rows of Meter (all columns, in order of NID then rowid).
    std::vector<QVariantList> meterRows() const;
    void exec(const QString& sql) const;

  private:
    QTemporaryDir dir_;
};

// A window on a fake handheld and scripted dialogs, with its data folder.
struct Desk {
    explicit Desk(bool with_db = true, bool with_template = true);
    ~Desk();
    DataFolder data;
    FakeHandheld hc;
    ScriptedUi ui;
    std::unique_ptr<desk::TForm1> form;
    // Imports the workbook at path through the menu command.
    void import(const QString& workbook);
};

// A workbook cell for the writers: null, text, number or boolean.
using Cell = QVariant;
using Rows = std::vector<std::vector<Cell>>;

// .xlsx written with libxlsxwriter (shared strings); dates given as QDate/QDateTime get a date format.
void WriteXlsx(const QString& path, const Rows& rows);
// .xls (BIFF8) written by python's xlwt.
void WriteXls(const QString& path, const Rows& rows);

// Runs /usr/bin/python3 with a script of this folder; returns its standard output.
QByteArray RunPython(const QString& script, const QStringList& args, const QByteArray& input = {});

// Records of a dBase table as field -> text maps (through the project's dBase module).
std::vector<std::map<std::string, std::string>> ReadTable(const QString& path);
// Writes a task table with the given records (field -> text) using the template's structure.
void WriteTaskTable(const QString& path, const std::vector<std::map<std::string, std::string>>& records,
                    const QString& template_path = QString());

QString TemplatePath();

// The bytes of the file at path; empty when it cannot be read (or is missing).
QByteArray FileBytes(const QString& path);

// Waits, bounded (limit), for a condition that another thread or process makes true, asking it again
// after each pause; false when it never did.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(20),
               std::chrono::milliseconds pause = std::chrono::milliseconds(1));

// What process writes on channel from now until that holds marker, the process has ended or limit_ms
// have passed (read at least every half second).
QString ReadUntil(QProcess& process, QProcess::ProcessChannel channel, const QString& marker, int limit_ms);

// An X server of the test's own (Xvfb), with one screen, on a display it chooses itself (free whatever
// else runs); ended when the object goes.
class XServer {
  public:
    XServer() = default;
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // Starts program with a screen of the given size; false when it does not start or names no display
    // within 10 s.
    bool start(const QString& program, QSize screen);
    // ":<number>", once started.
    const QString& display() const { return display_; }

  private:
    QProcess server_;
    QString display_;
};

}  // namespace desktest
