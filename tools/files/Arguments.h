// The program's arguments in UTF-8, as the tools keep all text, paths
// included. Linux hands them over so. Windows hands main() them in the ANSI
// code page, where a character it lacks becomes a look-alike (Ω an O, so a
// path can name another, existing folder): there they are read again from
// the UTF-16 command line (arguments_win32.cpp).
#ifndef VANTORIX_FILES_ARGUMENTS_H
#define VANTORIX_FILES_ARGUMENTS_H

// Points `argv` (and `argc`) at the arguments in UTF-8, kept for the rest of
// the program's life. Called first in main, before any thread starts.
void Utf8Arguments(int* argc, char*** argv);

#endif  // VANTORIX_FILES_ARGUMENTS_H
