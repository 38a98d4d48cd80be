// The user's locale on Windows: the registry value "Locale" of the user's international settings.
#include <windows.h>

#include <string>

#include "platform/locale.h"

namespace tarvix::platform {

std::string UserLocaleId() {
    HKEY key = nullptr;
    // The key as the settings name it, trailing separator included; some registries want it without.
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\International\\", 0, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS &&
        RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\International", 0, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS) {
        return "00000409";
    }
    char value[64] = {};
    DWORD size = sizeof value - 1;  // room for a terminator the stored text may lack
    DWORD type = 0;
    LONG r = RegQueryValueExA(key, "Locale", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return "00000409";
    value[size < sizeof value ? size : sizeof value - 1] = '\0';
    return value;
}

}  // namespace tarvix::platform
