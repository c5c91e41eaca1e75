// Windows: the UTF-16 command line, split as the C runtime splits it
// (CommandLineToArgvW), each argument converted to UTF-8.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "Arguments.h"

void Utf8Arguments(int* argc, char*** argv) {
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return;  // the ANSI arguments are better than none
    texts.clear();
    for (int i = 0; i < count; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
        if (size > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &text[0], size, nullptr, nullptr);
        text.pop_back();  // the terminating NUL, which the string keeps itself
        texts.push_back(text);
    }
    LocalFree(wide);
    pointers.clear();
    for (std::string& text : texts) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    *argc = count;
    *argv = pointers.data();
}
