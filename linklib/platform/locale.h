// The user's locale in the form of the Windows registry value "Locale".
#pragma once

#include <string>

namespace tarvix::platform {

// "00000804" when the user's locale is zh_CN (TARVIX_LOCALE overrides, then LC_ALL, LC_MESSAGES and
// LANG in that order, codeset and modifier stripped); otherwise "00000409".
std::string UserLocaleId();

// The rule itself, for a locale name such as "zh_CN.UTF-8".
std::string LocaleIdFromName(const std::string& name);

}  // namespace tarvix::platform
