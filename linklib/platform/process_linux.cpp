#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/process.h"

namespace tarvix::platform {

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

}  // namespace tarvix::platform
