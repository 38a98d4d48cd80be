#include "temporaries.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <atomic>
#include <cstdio>
#include <vector>

#include "linklib/tables/dbf.h"
#include "processes.h"
#include "task_table.h"

namespace desk {

namespace {

// The files the library replaces in the data folder for the desk: the downloaded table and its side
// file, the packed copy and side file of an uploaded table.  Its part files are the target's name (in
// the case the folder already holds it) with ".part<pid>-<n>"; ".previous" after that marks an earlier
// file that an earlier release of the library held aside.
const QRegularExpression& LibraryPart() {
    static const QRegularExpression form(QStringLiteral(
        R"(^((?i:downa\.dbf|downa\.dbi|a\.dbc|a\.dbi))\.part([0-9]{1,10})-[0-9]{1,10}(\.previous)?$)"));
    return form;
}

// The report's own part file: the report's name (which always ends in ".xls" or ".xlsx") hidden.
const QRegularExpression& ReportPart() {
    static const QRegularExpression form(QStringLiteral(R"(^\.(.+\.xlsx?)\.part([0-9]{1,10})-[0-9]{1,10}$)"));
    return form;
}

std::atomic<unsigned> g_report_parts{0};

// The version bytes of dBase tables (dBase II to 7, FoxBase, FoxPro, Visual FoxPro, with and without
// memo files).  A packed table starts with the year of its date, which is none of them.
bool IsTableVersion(uint8_t version) {
    switch (version) {
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x07:
        case 0x30:
        case 0x31:
        case 0x32:
        case 0x43:
        case 0x63:
        case 0x7B:
        case 0x83:
        case 0x87:
        case 0x8B:
        case 0x8E:
        case 0xCB:
        case 0xE5:
        case 0xF5:
        case 0xFB:
            return true;
        default:
            return false;
    }
}

// The entries a name in the folder may belong to: of any kind, hidden and system ones included.
const QDir::Filters kAnyEntry = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

bool IsTableName(const QString& name) {
    return name.endsWith(QLatin1String(".dbf"), Qt::CaseInsensitive);
}

// Puts the earlier file held aside at `previous` back under `target`.  True when the aside file is
// gone (put back, or dropped for a complete table in its place).
bool SettleHeldAside(const QDir& dir, const QString& previous, const QString& target_name) {
    const QString target = FindFileNoCase(dir.path(), target_name, kAnyEntry);
    if (target.isEmpty()) return QFile::rename(previous, dir.filePath(target_name));
    const QFileInfo info(target);
    // Something the desk never writes holds the name: both stay as they are.
    if (info.isSymLink() || !info.isFile()) return false;
    if (IsCompleteTable(target)) return QFile::remove(previous);
    if (IsTableName(target_name)) {
        // A download not yet unpacked, or one unpacking refused: kept where a failed unpacking keeps it,
        // under the library's aside name for a packed download (the last character '$': downa.db$).
        const QString aside_name = target_name.left(target_name.size() - 1) + QLatin1Char('$');
        if (FindFileNoCase(dir.path(), aside_name, kAnyEntry).isEmpty())
            QFile::rename(target, dir.filePath(aside_name));
    }
    // Replaces whatever still holds the name in one step.
    return std::rename(QFile::encodeName(previous).constData(), QFile::encodeName(target).constData()) == 0;
}

}  // namespace

std::optional<long long> TemporaryFileOwner(const QString& file_name) {
    QRegularExpressionMatch m = LibraryPart().match(file_name);
    if (!m.hasMatch()) m = ReportPart().match(file_name);
    if (!m.hasMatch()) return std::nullopt;
    bool ok = false;
    const long long pid = m.captured(2).toLongLong(&ok);
    if (!ok || pid <= 0) return std::nullopt;
    return pid;
}

QString ReportTemporaryName(const QString& target_file_name) {
    return QStringLiteral(".%1.part%2-%3")
        .arg(target_file_name)
        .arg(QCoreApplication::applicationPid())
        .arg(g_report_parts.fetch_add(1));
}

bool IsCompleteTable(const QString& path) {
    namespace dbf = tarvix::dbf;
    // The reader opens a table only when its header's lengths and field descriptors agree.
    dbf::Reader table;
    if (!table.Open(QFile::encodeName(path).toStdString())) return false;
    const dbf::Header& header = table.header();
    if (!IsTableVersion(header.version)) return false;
    const quint64 needed =
        quint64{header.header_length} + quint64{header.record_count} * header.record_length;
    return static_cast<quint64>(QFileInfo(path).size()) >= needed;
}

int RemoveStaleTemporaries(const QString& folder) {
    const QDir dir(folder);
    int removed = 0;
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    // Part files go before the earlier files are settled, so a name is judged with no leftovers of its
    // own beside it.
    std::vector<std::pair<QString, QString>> held;  // (aside file, the name it was held aside from)
    for (const QString& name : names) {
        const std::optional<long long> pid = TemporaryFileOwner(name);
        if (!pid) continue;
        const QString path = dir.filePath(name);
        const QFileInfo info(path);
        if (info.isSymLink() || !info.isFile() || !OwnedByThisUser(info.ownerId())) continue;
        if (!ProcessGone(*pid, info.lastModified())) continue;
        const QRegularExpressionMatch m = LibraryPart().match(name);
        if (m.hasMatch() && !m.captured(3).isEmpty()) {
            held.emplace_back(path, m.captured(1));
            continue;
        }
        if (QFile::remove(path)) ++removed;
    }
    for (const auto& [previous, target_name] : held)
        if (SettleHeldAside(dir, previous, target_name)) ++removed;
    return removed;
}

}  // namespace desk
