// The live view's terminal, per platform (terminal_linux.cpp,
// terminal_win32.cpp, picked by the build).
#ifndef VANTORIX_READER_TERMINAL_H
#define VANTORIX_READER_TERMINAL_H

// Readies standard output for the live view. True when it takes the escape
// sequences that redraw in place; false when frames must be drawn plainly.
bool PrepareTerminal();

// Clears the screen without escape sequences, where standard output is a
// screen that can be cleared so; otherwise the next frame follows the last.
void ClearPlainly();

#endif  // VANTORIX_READER_TERMINAL_H
