// Profile files on Windows: the system's own reader, which also finds a bare file name in the
// Windows folder.
#include <windows.h>

#include <string>

#include "platform/profile.h"

// windows.h names the system's GetProfileString (of win.ini) with a macro; ours is a function.
#undef GetProfileString

namespace tarvix::platform {

size_t GetProfileString(const std::string& file, const char* section, const char* key, const char* fallback,
                        char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    // A null section or key would list names instead of reading a value: treat it as missing.
    if (section == nullptr || key == nullptr) {
        std::string text = fallback != nullptr ? fallback : "";
        size_t n = text.size() < size - 1 ? text.size() : size - 1;
        text.copy(buffer, n);
        buffer[n] = '\0';
        return n;
    }
    const DWORD room = size > 0xFFFFu ? 0xFFFFu : static_cast<DWORD>(size);
    return GetPrivateProfileStringA(section, key, fallback != nullptr ? fallback : "", buffer, room,
                                    file.c_str());
}

}  // namespace tarvix::platform
