#include "platform/profile.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "platform/files.h"

namespace tarvix::platform {
namespace {

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

bool SameName(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y)) return false;
    }
    return true;
}

// The value of the first matching key in the first matching section, read afresh from the file.
std::optional<std::string> Lookup(const std::string& file, const char* section, const char* key) {
    std::optional<std::string> found_path = FindExisting(file);
    if (!found_path) return std::nullopt;
    std::ifstream in(*found_path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string line;
    bool in_section = false;
    bool seen_section = false;
    while (std::getline(in, line)) {
        std::string text = Trim(line);
        if (!text.empty() && text.front() == '[') {
            size_t close = text.find(']');
            std::string name =
                Trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            if (in_section) return std::nullopt;  // the first matching section ended without the key
            in_section = !seen_section && SameName(name, section);
            if (in_section) seen_section = true;
            continue;
        }
        if (!in_section || text.empty() || text[0] == ';') continue;
        size_t equals = text.find('=');
        if (equals == std::string::npos) continue;
        if (SameName(Trim(text.substr(0, equals)), key)) {
            std::string value = Trim(text.substr(equals + 1));
            // A value in matching quotes loses them, as the Windows reader does.
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace

size_t GetProfileString(const std::string& file, const char* section, const char* key, const char* fallback,
                        char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    std::optional<std::string> value;
    if (section != nullptr && key != nullptr) value = Lookup(file, section, key);
    std::string text = value ? *value : (fallback != nullptr ? fallback : "");
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return n;
}

}  // namespace tarvix::platform
