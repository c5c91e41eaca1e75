// Windows consoles take escape sequences only when asked to, and some
// (older consoles; Wine's in a terminal) refuse, or accept the request and
// still print the sequences as text. Then the view clears the console
// through its own calls and draws plain text. Output that is not a console
// gets plain frames one after another.
#include "Terminal.h"

#include <windows.h>

namespace {

bool SamePlace(COORD a, COORD b) {
    return a.X == b.X && a.Y == b.Y;
}

}  // namespace

bool PrepareTerminal() {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    CONSOLE_SCREEN_BUFFER_INFO before, after;
    if (!GetConsoleMode(console, &mode) || !SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
        !GetConsoleScreenBufferInfo(console, &before)) {
        return false;
    }
    // A sequence that moves nothing where it is understood: the cursor tells.
    DWORD written = 0;
    WriteConsoleA(console, "\x1b[0m", 4, &written, nullptr);
    if (GetConsoleScreenBufferInfo(console, &after) && SamePlace(before.dwCursorPosition, after.dwCursorPosition)) {
        return true;
    }
    // Printed as text: wiped, and the console left as it was.
    FillConsoleOutputCharacterA(console, ' ', 4, before.dwCursorPosition, &written);
    SetConsoleCursorPosition(console, before.dwCursorPosition);
    SetConsoleMode(console, mode);
    return false;
}

void ClearPlainly() {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info)) return;
    // The visible window only: the frame is drawn at its top.
    const COORD origin = {0, info.srWindow.Top};
    const DWORD cells =
        static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.srWindow.Bottom - info.srWindow.Top + 1);
    DWORD written = 0;
    FillConsoleOutputCharacterA(console, ' ', cells, origin, &written);
    FillConsoleOutputAttribute(console, info.wAttributes, cells, origin, &written);
    SetConsoleCursorPosition(console, origin);
}
