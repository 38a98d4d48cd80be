#include "helpers.h"

#include <gtest/gtest.h>
#include <xlsxwriter.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "linklib/tables/dbf.h"
#include "task_table.h"

namespace desktest {

int32_t FakeHandheld::thrdGetHcNum(int32_t port, int32_t rate, char* out) {
    calls.push_back({"number", port, rate, {}, {}, 0, 0});
    if (on_number) on_number();
    if (throw_on_number) throw std::runtime_error("the link library failed");
    int32_t result = 1;
    if (!number_results.empty()) {
        result = number_results.front();
        number_results.pop_front();
    }
    if (result == 0) {
        std::memset(out, 0, 16);
        std::memcpy(out, number.data(), std::min<size_t>(number.size(), 15));
    }
    return result;
}

int32_t FakeHandheld::SendFileToHc(int32_t port, int32_t rate, const char* hc, const char* pc,
                                   int32_t reserved, int32_t overwrite) {
    calls.push_back({"send", port, rate, hc, pc, reserved, overwrite});
    if (on_send) on_send();
    if (throw_on_send) throw std::runtime_error("the link library failed");
    return send_result;
}

int32_t FakeHandheld::GetHcFile(int32_t port, int32_t rate, const char* hc, const char* pc,
                                int32_t overwrite) {
    calls.push_back({"get", port, rate, hc, pc, overwrite, 0});
    if (on_get) on_get();
    if (throw_on_get) throw std::runtime_error("the link library failed");
    return get_result;
}

int32_t FakeHandheld::thrdStop(int32_t how) {
    stop_how = how;
    ++stops;
    return 0;
}

int FakeHandheld::count(const std::string& what) const {
    int n = 0;
    for (const Call& c : calls) n += c.what == what;
    return n;
}

void ScriptedUi::information(const QString& text) {
    messages.push_back({"information", text, QStringLiteral("Information"), desk::BoxIcon::Information});
    if (on_message) on_message();
}
void ScriptedUi::plain(const QString& text) {
    messages.push_back(
        {"plain", text, desk::ApplicationTitle(QStringLiteral("KELVANORMProgram")), desk::BoxIcon::None});
    if (on_message) on_message();
}
void ScriptedUi::box(const QString& text, const QString& caption, desk::BoxIcon icon) {
    messages.push_back({"box", text, caption, icon});
    if (on_message) on_message();
}
void ScriptedUi::errorReport(const QString& text) {
    messages.push_back({"error", text, {}, desk::BoxIcon::Error});
    if (on_message) on_message();
}
bool ScriptedUi::confirm(const QString& text) {
    messages.push_back({"confirm", text, QStringLiteral("Confirm"), desk::BoxIcon::None});
    if (on_message) on_message();
    if (confirm_answers.empty()) return false;
    const bool answer = confirm_answers.front();
    confirm_answers.pop_front();
    return answer;
}
bool ScriptedUi::askYesNo(const QString& text) {
    messages.push_back(
        {"ask", text, desk::ApplicationTitle(QStringLiteral("KELVANORMProgram")), desk::BoxIcon::None});
    if (on_message) on_message();
    if (ask_answers.empty()) return false;
    const bool answer = ask_answers.front();
    ask_answers.pop_front();
    return answer;
}

std::optional<QString> ScriptedUi::openFile(const QString& filter, const QString& initial_dir) {
    open_filters << filter;
    open_dirs << initial_dir;
    if (open_answers.empty()) return std::nullopt;
    auto a = open_answers.front();
    open_answers.pop_front();
    return a;
}
std::optional<desk::SaveChoice> ScriptedUi::saveFile(const QString& title, const QString& filter) {
    save_titles << title;
    save_filters << filter;
    if (save_answers.empty()) return std::nullopt;
    auto a = save_answers.front();
    save_answers.pop_front();
    return a;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
               std::chrono::milliseconds pause) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(pause);
    }
    return true;
}

QString ReadUntil(QProcess& process, QProcess::ProcessChannel channel, const QString& marker, int limit_ms) {
    QString out;
    QElapsedTimer waited;
    waited.start();
    while (!out.contains(marker) && waited.elapsed() < limit_ms && process.state() == QProcess::Running) {
        process.waitForReadyRead(500);
        out += QString::fromLocal8Bit(channel == QProcess::StandardError ? process.readAllStandardError()
                                                                         : process.readAllStandardOutput());
    }
    return out;
}

bool XServer::start(const QString& program, QSize screen) {
    // The server names its display on standard output once it takes clients.
    server_.start(program, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                            QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                            QStringLiteral("%1x%2x24").arg(screen.width()).arg(screen.height())});
    if (!server_.waitForStarted(10000)) return false;
    const QString said = ReadUntil(server_, QProcess::StandardOutput, QStringLiteral("\n"), 10000);
    bool number = false;
    said.trimmed().toInt(&number);
    if (!said.contains(QLatin1Char('\n')) || !number) return false;
    display_ = QStringLiteral(":") + said.trimmed();
    return true;
}

XServer::~XServer() {
    if (server_.state() == QProcess::NotRunning) return;
    server_.terminate();
    if (!server_.waitForFinished(5000)) {
        server_.kill();
        server_.waitForFinished();
    }
}

QString TemplatePath() {
    return QStringLiteral(DESK_TEMPLATE_PATH);
}

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

namespace {

QString SourceFile(const QString& relative) {
    return QDir(QStringLiteral(TARVIX_SOURCE_DIR)).filePath(relative);
}

std::atomic<int> g_connections{0};

// Runs fn with a connection to the folder's db.mdb of its own.
template <typename F>
auto WithDb(const QString& path, F&& fn) {
    const QString name = QStringLiteral("test%1").arg(g_connections.fetch_add(1));
    struct Remove {
        QString name;
        ~Remove() { QSqlDatabase::removeDatabase(name); }
    } remove{name};
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    if (!db.open()) throw std::runtime_error("cannot open " + path.toStdString());
    auto result = fn(db);
    db.close();
    return result;
}

}  // namespace

DataFolder::DataFolder(bool with_db, bool with_template) {
    if (!dir_.isValid()) throw std::runtime_error("no temporary folder");
    if (with_db) {
        QFile schema(SourceFile(QStringLiteral("scripts/meter_schema.sql")));
        if (!schema.open(QIODevice::ReadOnly)) throw std::runtime_error("no schema");
        const QString sql = QString::fromUtf8(schema.readAll());
        WithDb(file(QStringLiteral("db.mdb")), [&](QSqlDatabase& db) {
            QSqlQuery q(db);
            if (!q.exec(sql)) throw std::runtime_error(q.lastError().text().toStdString());
            return 0;
        });
    }
    if (with_template && !QFile::copy(TemplatePath(), file(QStringLiteral("B.DBF"))))
        throw std::runtime_error("cannot copy the template");
}

QString DataFolder::file(const QString& name) const {
    return QDir(dir_.path()).filePath(name);
}

void DataFolder::exec(const QString& sql) const {
    WithDb(file(QStringLiteral("db.mdb")), [&](QSqlDatabase& db) {
        QSqlQuery q(db);
        if (!q.exec(sql)) throw std::runtime_error(q.lastError().text().toStdString());
        return 0;
    });
}

std::vector<QVariantList> DataFolder::meterRows() const {
    return WithDb(file(QStringLiteral("db.mdb")), [](QSqlDatabase& db) {
        std::vector<QVariantList> rows;
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT * FROM Meter ORDER BY NID, rowid")))
            throw std::runtime_error(q.lastError().text().toStdString());
        while (q.next()) {
            QVariantList row;
            for (int i = 0; i < q.record().count(); ++i) row << q.value(i);
            rows.push_back(row);
        }
        return rows;
    });
}

Desk::Desk(bool with_db, bool with_template) : data(with_db, with_template) {
    form = std::make_unique<desk::TForm1>(hc, ui, data.path(), data.path());
    // The tables' code page must not follow the locale of the machine the tests run on.
    form->setOperatorLanguage(QStringLiteral("es_AR"));
    form->show();
}

Desk::~Desk() {
    form.reset();
}

void Desk::import(const QString& workbook) {
    ui.open_answers.push_back(workbook);
    form->Meterdatamaintenance1Click();
}

void WriteXlsx(const QString& path, const Rows& rows) {
    const QByteArray name = QFile::encodeName(path);
    lxw_workbook* wb = workbook_new(name.constData());
    ASSERT_NE(wb, nullptr);
    lxw_worksheet* ws = workbook_add_worksheet(wb, "Meters");
    lxw_format* date = workbook_add_format(wb);
    format_set_num_format(date, "yyyy-mm-dd");
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c < rows[r].size(); ++c) {
            const QVariant& v = rows[r][c];
            const auto row = static_cast<lxw_row_t>(r);
            const auto col = static_cast<lxw_col_t>(c);
            if (v.isNull()) continue;
            switch (v.typeId()) {
                case QMetaType::Bool:
                    worksheet_write_boolean(ws, row, col, v.toBool(), nullptr);
                    break;
                case QMetaType::Int:
                case QMetaType::LongLong:
                case QMetaType::Double:
                    worksheet_write_number(ws, row, col, v.toDouble(), nullptr);
                    break;
                case QMetaType::QDate: {
                    const QDate d = v.toDate();
                    lxw_datetime dt = {d.year(), d.month(), d.day(), 0, 0, 0};
                    worksheet_write_datetime(ws, row, col, &dt, date);
                    break;
                }
                default:
                    worksheet_write_string(ws, row, col, v.toString().toUtf8().constData(), nullptr);
                    break;
            }
        }
    }
    ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
}

QByteArray RunPython(const QString& script, const QStringList& args, const QByteArray& input) {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            QStringList{SourceFile(QStringLiteral("tests/desk/") + script)} + args);
    if (!p.waitForStarted(10000)) throw std::runtime_error("/usr/bin/python3 does not start");
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(120000)) throw std::runtime_error("python did not finish");
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error(("python " + script + " failed: ").toStdString() +
                                 p.readAllStandardError().toStdString());
    return p.readAllStandardOutput();
}

void WriteXls(const QString& path, const Rows& rows) {
    QJsonArray json_rows;
    for (const auto& row : rows) {
        QJsonArray cells;
        for (const QVariant& v : row) {
            if (v.isNull())
                cells.append(QJsonValue::Null);
            else if (v.typeId() == QMetaType::Bool)
                cells.append(v.toBool());
            else if (v.typeId() == QMetaType::Int || v.typeId() == QMetaType::LongLong ||
                     v.typeId() == QMetaType::Double)
                cells.append(v.toDouble());
            else if (v.typeId() == QMetaType::QDate)
                cells.append(QJsonObject{{QStringLiteral("date"), v.toDate().toString(Qt::ISODate)}});
            else
                cells.append(v.toString());
        }
        json_rows.append(cells);
    }
    RunPython(QStringLiteral("make_xls.py"), {path},
              QJsonDocument(QJsonObject{{QStringLiteral("rows"), json_rows}}).toJson(QJsonDocument::Compact));
}

std::vector<std::map<std::string, std::string>> ReadTable(const QString& path) {
    tarvix::dbf::Reader reader;
    auto s = reader.Open(QFile::encodeName(path).toStdString());
    if (!s) throw std::runtime_error(s.message);
    std::vector<std::map<std::string, std::string>> out;
    while (reader.Next()) {
        std::map<std::string, std::string> record;
        for (size_t i = 0; i < reader.fields().size(); ++i) record[reader.fields()[i].name] = reader.Text(i);
        out.push_back(record);
    }
    if (!reader.status()) throw std::runtime_error(reader.status().message);
    return out;
}

void WriteTaskTable(const QString& path, const std::vector<std::map<std::string, std::string>>& records,
                    const QString& template_path) {
    tarvix::dbf::Writer writer;
    auto s = writer.CreateFrom(
        QFile::encodeName(template_path.isEmpty() ? TemplatePath() : template_path).toStdString(),
        QFile::encodeName(path).toStdString());
    if (!s) throw std::runtime_error(s.message);
    for (const auto& record : records) {
        writer.BeginRecord();
        for (const auto& [field, text] : record) {
            s = writer.Set(field, text);
            if (!s) throw std::runtime_error(s.message);
        }
        s = writer.Post();
        if (!s) throw std::runtime_error(s.message);
    }
    s = writer.Close();
    if (!s) throw std::runtime_error(s.message);
}

}  // namespace desktest
