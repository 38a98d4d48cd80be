#include "platform/locale.h"

#include <string>

#include "platform/process.h"

namespace tarvix::platform {

std::string LocaleIdFromName(const std::string& name) {
    std::string base = name.substr(0, name.find_first_of(".@"));
    return base == "zh_CN" ? "00000804" : "00000409";
}

std::string UserLocaleId() {
    // TARVIX_LOCALE takes either a locale name or the identifier itself.
    if (HasEnvironment("TARVIX_LOCALE")) {
        std::string value = Environment("TARVIX_LOCALE");
        if (value.size() == 8 && value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
            return value;
        return LocaleIdFromName(value);
    }
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string value = Environment(variable);
        if (!value.empty()) return LocaleIdFromName(value);
    }
    return "00000409";
}

}  // namespace tarvix::platform
