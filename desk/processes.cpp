#include "processes.h"

#include <QCoreApplication>

#include "platform/process.h"

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

bool ProcessGone(long long pid, const QDateTime& last_written) {
    if (pid <= 0 || pid > 0x7FFFFFFF) return false;
    if (pid == QCoreApplication::applicationPid()) return false;
    if (!tarvix::platform::ProcessRuns(pid)) return true;
    // A process of that id runs (perhaps another user's).  It wrote the file only if it had started by
    // then; the slack covers a clock set back by a little since.
    const std::optional<int64_t> start = tarvix::platform::ProcessStartMs(pid);
    constexpr qint64 kSlackMs = 2000;
    return start.has_value() && last_written.isValid() &&
           *start > last_written.toMSecsSinceEpoch() + kSlackMs;
}

bool OwnedByThisUser(unsigned owner_id) {
    const std::optional<uint32_t> user = tarvix::platform::CurrentUserId();
    return user.has_value() && owner_id == *user;
}

}  // namespace desk
