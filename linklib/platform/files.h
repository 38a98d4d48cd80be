// PC files: paths in Windows form, look-ups without regard to letter case, and replacing a file only
// when its new content is complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace tarvix::platform {

// Turns a PC path as callers write it (".\A.DBF", "C:\data\x.txt" keeps its drive text) into a
// Linux path: every '\' becomes '/'.
std::string PcPath(const char* windows_path);

// Finds an existing file: the exact path when it exists, else the one entry of its folder whose name
// equals the last component without regard to ASCII case.  nullopt when there is none.
std::optional<std::string> FindExisting(const std::string& path);

bool FileExists(const std::string& path);   // exact or case-insensitive match
bool IsDirectory(const std::string& path);  // exact or case-insensitive match
std::optional<uint64_t> FileSize(const std::string& path);
bool RemoveFile(const std::string& path);                         // case-insensitive look-up; true when gone
bool RenameFile(const std::string& from, const std::string& to);  // `from` looked up without case

// The name under which a new content of `target` is written until it is complete: the target's path
// followed by ".part<process id>-<n>", a new n for every call.  Every file the library writes beside
// its target is named so, which lets a clean-up tell an unfinished write of a process that no longer
// runs from everything else.
std::string PartFileName(const std::string& target);

// For streams opened by fopen elsewhere: write the flushed content through to the disk, and cut or
// extend the file to `size` bytes.  False on failure.
bool SyncFile(std::FILE* file);
bool TruncateFile(std::FILE* file, uint64_t size);

// A file opened through the platform; closes itself.
class File {
  public:
    File() = default;
    ~File() { Close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept : f_(other.f_) { other.f_ = nullptr; }
    File& operator=(File&& other) noexcept;

    // Modes as for fopen ("rb", "wb", "rb+", "wb+", "ab").  Reading modes look the name up without
    // regard to case.
    bool Open(const std::string& path, const char* mode);
    void Close();
    bool IsOpen() const { return f_ != nullptr; }
    size_t Read(void* buffer, size_t size);
    size_t Write(const void* data, size_t size);
    bool Seek(int64_t offset, int whence = SEEK_SET);
    int64_t Tell();
    std::optional<uint64_t> Size();
    bool Flush();
    bool Sync();  // flush and fsync

  private:
    std::FILE* f_ = nullptr;
};

// Writes a file beside its target and renames it into place only when complete.  Destroying an
// uncommitted ReplacementFile removes the temporary and leaves the target untouched.
class ReplacementFile {
  public:
    explicit ReplacementFile(std::string target);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    bool Open();  // creates the temporary ("wb+")
    File& file() { return file_; }
    const std::string& temp_path() const { return temp_; }
    const std::string& target() const { return target_; }
    // Flushes, syncs, closes and renames over the target; false (and the temporary removed) on failure.
    bool Commit();
    void Abandon();

  private:
    std::string target_;
    std::string temp_;
    File file_;
    bool done_ = false;
};

}  // namespace tarvix::platform
