#include <windows.h>

#include <aclapi.h>

#include "WindowsFile.h"

std::wstring Utf16(const std::string& utf8) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], size);
    return wide;
}

std::string SystemWhy(const std::string& what) {
    const DWORD error = GetLastError();
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length ? std::string(text, length) : "";
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.')) {
        message.pop_back();
    }
    return what + ": " + (message.empty() ? "error" : message) + " (error " + std::to_string(error) + ")";
}

bool OwnedByUs(void* file) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool ours = false;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        union {
            TOKEN_USER user;
            unsigned char room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        } buffer;
        DWORD size = 0;
        ours = GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size) &&
               EqualSid(owner, buffer.user.User.Sid);
        CloseHandle(token);
    }
    LocalFree(descriptor);
    return ours;
}
