// PC files: the parts of File and ReplacementFile that the C library alone does, the same on every
// system; the rest lives in files_linux.cpp and files_win32.cpp.
#include "platform/files.h"

#include <cstdio>

namespace tarvix::platform {

std::string PcPath(const char* windows_path) {
    if (windows_path == nullptr) return "";
    std::string path(windows_path);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        f_ = other.f_;
        other.f_ = nullptr;
    }
    return *this;
}

void File::Close() {
    if (f_ != nullptr) {
        std::fclose(f_);
        f_ = nullptr;
    }
}

size_t File::Read(void* buffer, size_t size) {
    return f_ != nullptr ? std::fread(buffer, 1, size, f_) : 0;
}

size_t File::Write(const void* data, size_t size) {
    return f_ != nullptr ? std::fwrite(data, 1, size, f_) : 0;
}

bool File::Flush() {
    return f_ != nullptr && std::fflush(f_) == 0;
}

ReplacementFile::~ReplacementFile() {
    if (!done_) Abandon();
}

bool ReplacementFile::Open() {
    return file_.Open(temp_, "wb+");
}

}  // namespace tarvix::platform
