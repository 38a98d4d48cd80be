// Reading ini-style profile files with the rules the library relies on: section and key names are
// matched without regard to case, the first match wins, a present but empty key yields "", a missing
// file, section or key yields the default, the value is cut to the buffer size less one, and the
// file is read afresh at every call.
#pragma once

#include <cstddef>
#include <string>

namespace tarvix::platform {

// Copies the value (or the default) into buffer, NUL-terminated; returns the characters copied.
size_t GetProfileString(const std::string& file, const char* section, const char* key, const char* fallback,
                        char* buffer, size_t size);

}  // namespace tarvix::platform
