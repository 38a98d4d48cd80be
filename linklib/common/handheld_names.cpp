#include "common/handheld_names.h"

#include <cctype>

namespace tarvix {
namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// One step of a path: no drive or stream part, and no "..", which also covers the forms a
// Windows file system trims to ".." (trailing dots and blanks, "...").
bool StepAcceptable(std::string_view step) {
    return step.find(':') == std::string_view::npos && step.find("..") == std::string_view::npos;
}

}  // namespace

bool IsPlainName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (IsSeparator(c)) return false;
    }
    return StepAcceptable(name);
}

bool IsFolderBelowBase(std::string_view folder) {
    if (!folder.empty() && IsSeparator(folder.front())) return false;
    size_t start = 0;
    while (start <= folder.size()) {
        size_t end = start;
        while (end < folder.size() && !IsSeparator(folder[end])) ++end;
        if (!StepAcceptable(folder.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace tarvix
