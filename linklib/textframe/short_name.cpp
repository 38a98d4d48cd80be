#include "textframe/short_name.h"

namespace tarvix::tf {

std::string MakeShortName(const std::string& name) {
    const size_t slash = name.rfind('\\');
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    const size_t dot = base.rfind('.');
    const bool has_extension = dot != std::string::npos;
    const std::string stem = has_extension ? base.substr(0, dot) : base;
    const std::string extension = has_extension ? base.substr(dot + 1) : "";
    if (stem.size() >= 9) {
        const std::string short_stem = stem.substr(0, 6) + "~1";
        return folder + (has_extension ? short_stem + "." + extension.substr(0, 3) : short_stem);
    }
    if (has_extension && extension.size() > 3) return folder + stem + "." + extension.substr(0, 3);
    return name;
}

}  // namespace tarvix::tf
