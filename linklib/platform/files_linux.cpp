#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/files.h"

namespace tarvix::platform {
namespace {

bool EqualNoCase(const char* a, const std::string& b) {
    size_t i = 0;
    for (; a[i] != '\0' && i < b.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return a[i] == '\0' && i == b.size();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::atomic<unsigned> g_temp_counter{0};

}  // namespace

std::optional<std::string> FindExisting(const std::string& path) {
    if (path.empty()) return std::nullopt;
    if (Exists(path)) return path;
    // Windows names ignore letter case: look for the one entry of the folder that matches.
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return std::nullopt;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return std::nullopt;
    std::optional<std::string> found;
    while (dirent* entry = readdir(dir)) {
        if (EqualNoCase(entry->d_name, name)) {
            found = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

bool FileExists(const std::string& path) {
    return FindExisting(path).has_value();
}

bool IsDirectory(const std::string& path) {
    std::optional<std::string> found = FindExisting(path);
    struct stat st {};
    return found && stat(found->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<uint64_t> FileSize(const std::string& path) {
    std::optional<std::string> found = FindExisting(path);
    struct stat st {};
    if (!found || stat(found->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

bool RemoveFile(const std::string& path) {
    std::optional<std::string> found = FindExisting(path);
    if (!found) return true;
    return unlink(found->c_str()) == 0;
}

std::string PartFileName(const std::string& target) {
    return target + ".part" + std::to_string(getpid()) + "-" + std::to_string(g_temp_counter.fetch_add(1));
}

bool RenameFile(const std::string& from, const std::string& to) {
    std::optional<std::string> found = FindExisting(from);
    if (!found) return false;
    return rename(found->c_str(), to.c_str()) == 0;
}

bool SyncFile(std::FILE* file) {
    return file != nullptr && fsync(fileno(file)) == 0;
}

bool TruncateFile(std::FILE* file, uint64_t size) {
    return file != nullptr && ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

bool File::Open(const std::string& path, const char* mode) {
    Close();
    std::string actual = path;
    // Existing files are found without regard to case; a new file keeps the name as given.
    if (mode[0] == 'r' || mode[0] == 'a') {
        if (std::optional<std::string> found = FindExisting(path)) actual = *found;
    } else if (std::optional<std::string> found = FindExisting(path)) {
        actual = *found;
    }
    f_ = std::fopen(actual.c_str(), mode);
    if (f_ == nullptr) return false;
    struct stat st {};
    if (fstat(fileno(f_), &st) != 0 || S_ISDIR(st.st_mode)) {
        Close();
        return false;
    }
    return true;
}

bool File::Seek(int64_t offset, int whence) {
    return f_ != nullptr && fseeko(f_, offset, whence) == 0;
}

int64_t File::Tell() {
    return f_ != nullptr ? ftello(f_) : -1;
}

std::optional<uint64_t> File::Size() {
    struct stat st {};
    if (f_ == nullptr || std::fflush(f_) != 0 || fstat(fileno(f_), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

bool File::Sync() {
    return Flush() && fsync(fileno(f_)) == 0;
}

ReplacementFile::ReplacementFile(std::string target) : target_(std::move(target)) {
    // The existing target may differ in letter case: replace that file, not a second one beside it.
    if (std::optional<std::string> found = FindExisting(target_)) target_ = *found;
    temp_ = PartFileName(target_);
}

bool ReplacementFile::Commit() {
    if (done_) return false;
    bool ok = file_.IsOpen() && file_.Sync();
    file_.Close();
    ok = ok && rename(temp_.c_str(), target_.c_str()) == 0;
    if (!ok) unlink(temp_.c_str());
    done_ = true;
    return ok;
}

void ReplacementFile::Abandon() {
    file_.Close();
    unlink(temp_.c_str());
    done_ = true;
}

}  // namespace tarvix::platform
