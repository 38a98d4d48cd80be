#include "temporaries.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <atomic>

#include "processes.h"

namespace desk {

namespace {

// The files the library replaces in the data folder for the desk: the downloaded table and its side
// file, the packed copy and side file of an uploaded table.  Its part files are the target's name (in
// the case the folder already holds it) with ".part<pid>-<n>".
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

int RemoveStaleTemporaries(const QString& folder) {
    const QDir dir(folder);
    int removed = 0;
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    for (const QString& name : names) {
        const std::optional<long long> pid = TemporaryFileOwner(name);
        if (!pid) continue;
        const QString path = dir.filePath(name);
        const QFileInfo info(path);
        if (info.isSymLink() || !info.isFile() || !OwnedByThisUser(info.ownerId())) continue;
        if (!ProcessGone(*pid, info.lastModified())) continue;
        const QRegularExpressionMatch held = LibraryPart().match(name);
        if (held.hasMatch() && !held.captured(3).isEmpty()) {
            // The table a download held aside: it is the operator's earlier table.
            const QString target = dir.filePath(held.captured(1));
            if (!QFileInfo::exists(target) && QFile::rename(path, target)) {
                ++removed;
                continue;
            }
        }
        if (QFile::remove(path)) ++removed;
    }
    return removed;
}

}  // namespace desk
