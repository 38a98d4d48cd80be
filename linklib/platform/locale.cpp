#include "platform/locale.h"

#include <string>

namespace tarvix::platform {

std::string LocaleIdFromName(const std::string& name) {
    std::string base = name.substr(0, name.find_first_of(".@"));
    return base == "zh_CN" ? "00000804" : "00000409";
}

}  // namespace tarvix::platform
