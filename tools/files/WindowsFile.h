// What the tools' Windows files share about files: Windows keeps paths in
// UTF-16, the tools keep text, paths included, in UTF-8; its errors come as
// codes with texts of the system's. Only Windows files include this.
#ifndef VANTORIX_FILES_WINDOWSFILE_H
#define VANTORIX_FILES_WINDOWSFILE_H

#include <string>

// UTF-8 as UTF-16; an invalid sequence becomes U+FFFD.
std::wstring Utf16(const std::string& utf8);

// Why the last Windows call failed, for a message: "WHAT: the system's
// text (error N)".
std::string SystemWhy(const std::string& what);

// The user this process runs as owns the open file `file` (a HANDLE opened
// with READ_CONTROL).
bool OwnedByUs(void* file);

#endif  // VANTORIX_FILES_WINDOWSFILE_H
