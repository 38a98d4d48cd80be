// The handheld's file store: handheld paths ("\KELVANHB\A.DBF", relative to the current folder when they
// do not start with '\') mapped onto a folder on disk.  Names compare without regard to case, as on the
// handheld's own file system.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <fstream>
#include <system_error>

#include "sim/core.h"

namespace fs = std::filesystem;

namespace hhsim {

namespace {

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Splits a handheld path into its components, dropping a drive prefix, '.' and resolving '..'.
bool Components(const std::string& absolute, std::vector<std::string>& parts) {
    std::string p = absolute;
    if (p.size() >= 2 && p[1] == ':') p = p.substr(2);
    std::string part;
    auto flush = [&]() -> bool {
        if (part.empty() || part == ".") {
        } else if (part == "..") {
            if (parts.empty()) return false;
            parts.pop_back();
        } else {
            parts.push_back(part);
        }
        part.clear();
        return true;
    };
    for (char c : p) {
        if (c == '\\' || c == '/') {
            if (!flush()) return false;
        } else if (c == '\0') {
            break;
        } else {
            part.push_back(c);
        }
    }
    return flush();
}

std::string Join(const std::vector<std::string>& parts) {
    std::string s;
    for (const auto& p : parts) s += "\\" + p;
    return s.empty() ? "\\" : s;
}

}  // namespace

bool WildMatch(const std::string& pattern, const std::string& name) {
    // '*' any run, '?' one character; "*.*" also matches names without a dot, as on the handheld.
    if (pattern == "*.*" || pattern == "*") return true;
    std::string p = Upper(pattern), n = Upper(name);
    std::size_t pi = 0, ni = 0, star = std::string::npos, mark = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == '?' || p[pi] == n[ni])) {
            ++pi;
            ++ni;
        } else if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = ni;
        } else if (star != std::string::npos) {
            pi = star + 1;
            ni = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

std::string TimeText18(fs::file_time_type time) {
    auto sys = std::chrono::file_clock::to_sys(time);
    std::time_t t = std::chrono::system_clock::to_time_t(sys);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return std::string(text, 18);
}

std::string Store::Absolute(const std::string& path) const {
    std::string full = path;
    bool rooted = !full.empty() && (full[0] == '\\' || full[0] == '/');
    if (full.size() >= 2 && full[1] == ':') rooted = true;
    if (!rooted) full = current + "\\" + full;
    std::vector<std::string> parts;
    if (!Components(full, parts)) return {};
    return Join(parts);
}

bool Store::Resolve(const std::string& path, fs::path& out) const {
    std::string full = path;
    bool rooted = !full.empty() && (full[0] == '\\' || full[0] == '/');
    if (full.size() >= 2 && full[1] == ':') rooted = true;
    if (!rooted) full = current + "\\" + full;
    std::vector<std::string> parts;
    if (!Components(full, parts)) return false;
    fs::path at = root_;
    for (const auto& part : parts) {
        fs::path next = at / part;
        std::error_code ec;
        if (!fs::exists(next, ec) && fs::is_directory(at, ec)) {
            for (const auto& e : fs::directory_iterator(at, ec)) {
                if (Upper(e.path().filename().string()) == Upper(part)) {
                    next = e.path();
                    break;
                }
            }
        }
        at = next;
    }
    out = at;
    return true;
}

bool Store::IsFile(const std::string& path) const {
    fs::path p;
    std::error_code ec;
    return Resolve(path, p) && fs::is_regular_file(p, ec);
}

bool Store::IsFolder(const std::string& path) const {
    fs::path p;
    std::error_code ec;
    return Resolve(path, p) && fs::is_directory(p, ec);
}

bool Store::Read(const std::string& path, Bytes& out) const {
    fs::path p;
    std::error_code ec;
    if (!Resolve(path, p) || !fs::is_regular_file(p, ec)) return false;
    std::ifstream in(p, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool Store::Write(const std::string& path, const Bytes& data, fs::path* stored) {
    fs::path p;
    std::error_code ec;
    if (!Resolve(path, p) || fs::is_directory(p, ec) || !fs::is_directory(p.parent_path(), ec)) return false;
    // Written beside and renamed into place, so a demo's store never holds half a file.
    fs::path temp = p;
    temp += ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out) return false;
    }
    fs::rename(temp, p, ec);
    if (ec) {
        fs::remove(temp, ec);
        return false;
    }
    if (stored) *stored = p;
    return true;
}

bool Store::Delete(const std::string& path) {
    fs::path p;
    std::error_code ec;
    if (!Resolve(path, p) || !fs::is_regular_file(p, ec)) return false;
    return fs::remove(p, ec);
}

bool Store::MakeDir(const std::string& path) {
    fs::path p;
    std::error_code ec;
    if (!Resolve(path, p) || fs::exists(p, ec) || !fs::is_directory(p.parent_path(), ec)) return false;
    return fs::create_directory(p, ec);
}

bool Store::RemoveDir(const std::string& path) {
    fs::path p;
    std::error_code ec;
    if (!Resolve(path, p) || p == root_ || !fs::is_directory(p, ec) || !fs::is_empty(p, ec)) return false;
    std::string abs = Absolute(path);
    if (Upper(current).rfind(Upper(abs), 0) == 0) return false;  // the current folder or one above it
    return fs::remove(p, ec);
}

bool Store::ChangeDir(const std::string& path) {
    if (!IsFolder(path)) return false;
    current = Absolute(path);
    return true;
}

std::vector<Store::Entry> Store::Find(const std::string& pattern) const {
    std::vector<Entry> result;
    std::string folder = pattern, base = pattern;
    std::size_t cut = pattern.find_last_of("\\/");
    if (cut == std::string::npos) {
        folder = ".";
    } else {
        folder = pattern.substr(0, cut + 1);
        base = pattern.substr(cut + 1);
        if (folder.empty()) folder = "\\";
    }
    if (base.empty()) base = "*.*";
    fs::path dir;
    std::error_code ec;
    if (!Resolve(folder, dir) || !fs::is_directory(dir, ec)) return result;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (name.size() > 5 && name.substr(name.size() - 5) == ".part") continue;
        if (!WildMatch(base, name)) continue;
        Entry entry;
        entry.name = name;
        entry.folder = e.is_directory(ec);
        entry.size = entry.folder ? 0 : e.file_size(ec);
        entry.time = e.last_write_time(ec);
        result.push_back(entry);
    }
    std::sort(result.begin(), result.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return result;
}

}  // namespace hhsim
