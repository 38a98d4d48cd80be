#include "common/mif.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tarvix {
namespace {

std::string Capitals(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

// A token matches only when it was read whole.
bool Matches(const IniToken& token, const std::string& capitals) {
    return !token.overlong && Capitals({token.text, token.length}) == capitals;
}

bool IsSeparator(int c) {
    return c == ' ' || c == '=' || c == '\r' || c == '\n';
}

void Give(const char* text, char* out, size_t max_length) {
    const size_t n = text == nullptr ? 0 : strnlen(text, max_length);
    if (n != 0) std::memcpy(out, text, n);
    out[n] = '\0';
}

}  // namespace

void SkipIniLine(IniReader& in) {
    for (int c = in.Get(); c != -1 && c != '\r' && c != '\n'; c = in.Get()) {
    }
}

size_t ReadIniToken(IniToken& token, char stop1, char stop2, IniReader& in) {
    token.length = 0;
    token.overlong = false;
    token.text[0] = '\0';
    const int s1 = static_cast<unsigned char>(stop1), s2 = static_cast<unsigned char>(stop2);
    int c;
    for (;;) {
        c = in.Get();
        if (c == -1) {
            token.end = IniTokenEnd::EndOfFile;
            return 0;
        }
        if (c == s1 || c == s2) {
            token.end = IniTokenEnd::Stop;
            return 0;
        }
        if (c == ';') {
            SkipIniLine(in);
            continue;
        }
        if (!IsSeparator(c)) break;
    }
    for (;;) {
        if (token.length < kIniTokenMax) {
            token.text[token.length++] = static_cast<char>(c);
        } else {
            token.overlong = true;
        }
        c = in.Get();
        if (c == -1) {
            token.end = IniTokenEnd::EndOfFile;
            break;
        }
        if (c == ';') {
            SkipIniLine(in);
            token.end = IniTokenEnd::LineEnd;
            break;
        }
        if (c == s1 || c == s2) {
            token.end = IniTokenEnd::Stop;
            break;
        }
        if (c == '\r' || c == '\n') {
            token.end = IniTokenEnd::LineEnd;
            break;
        }
        if (c == ' ' || c == '=') {
            token.end = IniTokenEnd::Separator;
            break;
        }
    }
    token.text[token.length] = '\0';
    return token.length;
}

int32_t ReadIniValue(const char* section, const char* key, const char* default_value, char* out,
                     size_t max_length, const char* path) {
    if (out == nullptr) return 0;
    const std::string wanted_key = Capitals(key == nullptr ? "" : key);
    std::string wanted_section = "[";
    wanted_section.append(Capitals(section == nullptr ? "" : section)).push_back(']');

    platform::File file;
    if (path == nullptr || !file.Open(path, "rb")) {
        Give(default_value, out, max_length);
        return 0;
    }
    IniReader in(file);
    IniToken token;
    // The section: every token is compared, up to the end of the file (or a NUL byte).
    for (;;) {
        if (ReadIniToken(token, '\0', '\0', in) == 0) {
            Give(default_value, out, max_length);
            return 0;
        }
        if (Matches(token, wanted_section)) break;
    }
    // The key: every token of the section, values included; the next section ends the search.
    for (;;) {
        if (ReadIniToken(token, '[', '\0', in) == 0 || token.text[0] == '[') {
            Give(default_value, out, max_length);
            return 0;
        }
        if (Matches(token, wanted_key)) break;
    }
    // The value stands on the key's line: a key ended by the line end (or a comment, or the end of the
    // file) has the empty value, so that the next line's first token is never taken for it.
    if (token.end != IniTokenEnd::Separator) {
        out[0] = '\0';
        return 0;
    }
    const size_t n = std::min(ReadIniToken(token, '\r', '\n', in), max_length);
    std::memcpy(out, token.text, n);
    out[n] = '\0';
    return static_cast<int32_t>(n);
}

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& default_value,
                         size_t max_length, const std::string& path) {
    std::vector<char> out(max_length + 1);
    ReadIniValue(section.c_str(), key.c_str(), default_value.c_str(), out.data(), max_length, path.c_str());
    return out.data();
}

}  // namespace tarvix
