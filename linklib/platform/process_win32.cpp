// The process on Windows: its command line as the system keeps it, the folder of its program module.
#include <windows.h>

// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/process.h"

namespace tarvix::platform {
namespace {

std::atomic<bool> g_loader_context{false};

}  // namespace

bool ProcessRuns(int64_t pid) {
    if (pid <= 0 || pid > 0xFFFFFFFF) return true;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
    DWORD code = 0;
    const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
    CloseHandle(process);
    return !ended;
}

std::optional<int64_t> ProcessStartMs(int64_t pid) {
    if (pid <= 0 || pid > 0xFFFFFFFF) return std::nullopt;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return std::nullopt;
    FILETIME created{}, exited{}, kernel{}, user{};
    const bool ok = GetProcessTimes(process, &created, &exited, &kernel, &user) != 0;
    CloseHandle(process);
    if (!ok) return std::nullopt;
    // 100-ns units since 1601.
    const uint64_t units = (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
    constexpr uint64_t kUnitsTo1970 = 116444736000000000ull;
    if (units < kUnitsTo1970) return std::nullopt;
    return static_cast<int64_t>((units - kUnitsTo1970) / 10000);
}

std::optional<uint32_t> CurrentUserId() {
    return std::nullopt;  // file owners are security identifiers here, no numbers
}

int ThreadCount() {
    // A snapshot of the system's threads, counted for this process (kernel32 only: safe in the
    // loader's notification).
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return count;
}

std::string CommandLine() {
    const char* line = GetCommandLineA();
    return line != nullptr ? line : "";
}

std::string ProgramFolder() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return "";
        if (n < buffer.size()) {
            std::string path(buffer.data(), n);
            size_t slash = path.find_last_of("\\/");
            return slash == std::string::npos ? "" : path.substr(0, slash);
        }
        if (buffer.size() >= 32768) return "";
        buffer.resize(buffer.size() * 2);
    }
}

std::string Environment(const char* name) {
    DWORD n = GetEnvironmentVariableA(name, nullptr, 0);
    if (n == 0) return "";
    std::string value(n, '\0');
    n = GetEnvironmentVariableA(name, value.data(), n);
    value.resize(n);
    return value;
}

bool HasEnvironment(const char* name) {
    // A variable set to the empty text also yields 0: only the error tells it from a missing one.
    SetLastError(ERROR_SUCCESS);
    return GetEnvironmentVariableA(name, nullptr, 0) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

void SetLoaderContext(bool inside) {
    g_loader_context.store(inside);
}

bool InLoaderContext() {
    return g_loader_context.load();
}

}  // namespace tarvix::platform
