#include "MachineId.h"

#include <windows.h>

std::string MachineId() {
    HKEY key = nullptr;
    // The 64-bit view: a 32-bit program would otherwise read its redirected copy.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS) {
        return "";
    }
    wchar_t guid[64] = {};
    DWORD type = 0, size = sizeof(guid) - sizeof(wchar_t);  // room for the zero it may lack
    const LONG status =
        RegQueryValueExW(key, L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(guid), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return "";
    std::string id;
    for (const wchar_t* c = guid; *c; ++c) {
        if (*c < 128) id += static_cast<char>(*c);
    }
    return id;
}
