#include "MachineId.h"

#include <windows.h>

std::string MachineId() {
    wchar_t guid[64] = {};
    DWORD size = sizeof(guid);
    // The 64-bit view: a 32-bit program would otherwise read its redirected copy.
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid",
                     RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, guid, &size) != ERROR_SUCCESS) {
        return "";
    }
    std::string id;
    for (const wchar_t* c = guid; *c; ++c) {
        if (*c < 128) id += static_cast<char>(*c);
    }
    return id;
}
