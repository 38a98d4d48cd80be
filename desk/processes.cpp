#include "processes.h"

namespace desk {

std::string UpperAscii(std::string text) {
    for (char& ch : text)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    return text;
}

bool ImageNameMatches(const std::string& image_name, const std::string& wanted) {
    const std::string target = UpperAscii(wanted);
    auto sep = image_name.find_last_of("\\/");
    std::string file_part = sep == std::string::npos ? image_name : image_name.substr(sep + 1);
    if (UpperAscii(file_part) == target) return true;
    return UpperAscii(image_name) == target;
}

void TerminateProcessesByName(const std::string& /*image_name*/) {}

}  // namespace desk
