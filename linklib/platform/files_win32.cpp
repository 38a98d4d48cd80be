// PC files on Windows.  The file system already ignores letter case, so a look-up is the path itself.
// Paths keep their Windows form; only '\' becomes '/', which every Windows file function takes as the
// same separator and which the families' own path handling expects after PcPath.
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/files.h"

namespace tarvix::platform {
namespace {

std::atomic<unsigned> g_temp_counter{0};

bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
    return !path.empty() && GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, data) != 0;
}

}  // namespace

std::optional<std::string> FindExisting(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!Attributes(path, &data)) return std::nullopt;
    return path;
}

bool FileExists(const std::string& path) {
    return FindExisting(path).has_value();
}

bool IsDirectory(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return Attributes(path, &data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<uint64_t> FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!Attributes(path, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::nullopt;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool RemoveFile(const std::string& path) {
    if (DeleteFileA(path.c_str())) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::string PartFileName(const std::string& target) {
    return target + ".part" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(g_temp_counter.fetch_add(1));
}

bool RenameFile(const std::string& from, const std::string& to) {
    // As on Linux, an existing target is replaced.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool SyncFile(std::FILE* file) {
    return file != nullptr && _commit(_fileno(file)) == 0;
}

bool TruncateFile(std::FILE* file, uint64_t size) {
    return file != nullptr && _chsize_s(_fileno(file), static_cast<__int64>(size)) == 0;
}

bool File::Open(const std::string& path, const char* mode) {
    Close();
    if (IsDirectory(path)) return false;
    f_ = std::fopen(path.c_str(), mode);
    return f_ != nullptr;
}

bool File::Seek(int64_t offset, int whence) {
    return f_ != nullptr && _fseeki64(f_, offset, whence) == 0;
}

int64_t File::Tell() {
    return f_ != nullptr ? _ftelli64(f_) : -1;
}

std::optional<uint64_t> File::Size() {
    if (f_ == nullptr || std::fflush(f_) != 0) return std::nullopt;
    const int64_t size = _filelengthi64(_fileno(f_));
    if (size < 0) return std::nullopt;
    return static_cast<uint64_t>(size);
}

bool File::Sync() {
    return Flush() && _commit(_fileno(f_)) == 0;
}

ReplacementFile::ReplacementFile(std::string target) : target_(std::move(target)) {
    temp_ = PartFileName(target_);
}

bool ReplacementFile::Commit() {
    if (done_) return false;
    bool ok = file_.IsOpen() && file_.Sync();
    file_.Close();
    // The rename replaces the target in one step; the temporary lies in the target's folder, so it
    // is never a copy.
    ok = ok &&
         MoveFileExA(temp_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) DeleteFileA(temp_.c_str());
    done_ = true;
    return ok;
}

void ReplacementFile::Abandon() {
    file_.Close();
    DeleteFileA(temp_.c_str());
    done_ = true;
}

}  // namespace tarvix::platform
