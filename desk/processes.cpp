#include "processes.h"

#include <signal.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <cerrno>

namespace desk {

std::string UpperAscii(std::string text) {
    for (char& ch : text)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    return text;
}

bool ImageNameMatches(const std::string& image_name, const std::string& wanted) {
    const std::string target = UpperAscii(wanted);
    auto sep = image_name.find_last_of("\\/");
    std::string file_part = sep == std::string::npos ? image_name : image_name.substr(sep + 1);
    if (UpperAscii(file_part) == target) return true;
    return UpperAscii(image_name) == target;
}

void TerminateProcessesByName(const std::string& /*image_name*/) {}

namespace {

// The system's start time of a process, from its /proc entry; invalid when it cannot be read.
QDateTime ProcessStart(long long pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return {};
    const QByteArray line = stat.readAll();
    // The command name in parentheses may hold blanks: the fields are counted after its end.
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0) return {};
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    constexpr qsizetype kStartTime = 22 - 3;  // field 22, counted from field 3 (the state)
    if (fields.size() <= kStartTime) return {};
    bool ok = false;
    const qulonglong ticks = fields[kStartTime].toULongLong(&ok);
    const long hz = sysconf(_SC_CLK_TCK);
    if (!ok || hz <= 0) return {};
    QFile system(QStringLiteral("/proc/stat"));
    if (!system.open(QIODevice::ReadOnly)) return {};
    // A /proc file tells no size: it is read whole, not line by line up to its "end".
    for (const QByteArray& l : system.readAll().split('\n')) {
        if (!l.startsWith("btime ")) continue;
        const long long boot = l.mid(6).trimmed().toLongLong(&ok);
        if (!ok) return {};
        // The boot time is given in whole seconds, down: the start comes out early, never late.
        return QDateTime::fromMSecsSinceEpoch(boot * 1000 + static_cast<long long>(ticks * 1000 / hz));
    }
    return {};
}

}  // namespace

bool ProcessGone(long long pid, const QDateTime& last_written) {
    if (pid <= 0 || pid > 0x7FFFFFFF) return false;
    if (pid == static_cast<long long>(getpid())) return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
    // A process of that id runs (perhaps another user's).  It wrote the file only if it had started by
    // then; the slack covers a clock set back by a little since.
    const QDateTime start = ProcessStart(pid);
    constexpr qint64 kSlackMs = 2000;
    return start.isValid() && last_written.isValid() &&
           start.toMSecsSinceEpoch() > last_written.toMSecsSinceEpoch() + kSlackMs;
}

bool OwnedByThisUser(unsigned owner_id) {
    return owner_id == static_cast<unsigned>(getuid());
}

}  // namespace desk
