// Where vantorix-info's output goes: the standard streams as they are
// (console_output.cpp), or, in vantorix-infow.exe, which has no console, a
// log file (windowless_win32.cpp). Picked by the build, one per program.
#ifndef VANTORIX_READER_OUTPUT_H
#define VANTORIX_READER_OUTPUT_H

// Called first in main. Returns -1 to go on, or the status to exit with at
// once (vantorix-infow --stop).
int StartOutput(int argc, char** argv);

// Called last, with the status the program exits with.
void EndOutput(int status);

#endif  // VANTORIX_READER_OUTPUT_H
