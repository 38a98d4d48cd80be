#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "platform/process.h"

namespace tarvix::platform {

bool ProcessRuns(int64_t pid) {
    if (pid <= 0 || pid > 0x7FFFFFFF) return true;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

std::optional<int64_t> ProcessStartMs(int64_t pid) {
    if (pid <= 0 || pid > 0x7FFFFFFF) return std::nullopt;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    // The command name in parentheses may hold blanks: the fields are counted after its end.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    // Field 22, the start time in clock ticks since boot; fields 3 (the state) to 21 come before it.
    constexpr int kFieldsBefore = 22 - 3;
    for (int i = 0; i < kFieldsBefore && fields >> field;) ++i;
    unsigned long long ticks = 0;
    if (!(fields >> ticks)) return std::nullopt;
    const long hz = sysconf(_SC_CLK_TCK);
    if (hz <= 0) return std::nullopt;
    // /proc/stat tells no size: it is read to its end, not by a length it gives.
    std::ifstream system("/proc/stat");
    for (std::string l; std::getline(system, l);) {
        if (l.rfind("btime ", 0) != 0) continue;
        long long boot = 0;
        if (!(std::istringstream(l.substr(6)) >> boot)) return std::nullopt;
        // The boot time is given in whole seconds, down: the start comes out early, never late.
        return boot * 1000 + static_cast<int64_t>(ticks * 1000 / static_cast<unsigned long long>(hz));
    }
    return std::nullopt;
}

std::optional<uint32_t> CurrentUserId() {
    return static_cast<uint32_t>(getuid());
}

int ThreadCount() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return 0;
    int count = 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(tasks);
    return count;
}

std::string CommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string line;
    size_t start = 0;
    bool first = true;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        std::string arg = raw.substr(start, end - start);
        if (first) {
            line += '"' + arg + '"';
            first = false;
        } else {
            line += ' ' + arg;
        }
        start = end + 1;
    }
    return line;
}

std::string ProgramFolder() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "";
    std::string path(buffer, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool HasEnvironment(const char* name) {
    return std::getenv(name) != nullptr;
}

namespace {
std::atomic<bool> g_loader_context{false};
}  // namespace

void SetLoaderContext(bool inside) {
    g_loader_context.store(inside);
}

bool InLoaderContext() {
    return g_loader_context.load();
}

}  // namespace tarvix::platform
