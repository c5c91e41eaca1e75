// vantorix-info's command line.
#ifndef VANTORIX_READER_COMMANDLINE_H
#define VANTORIX_READER_COMMANDLINE_H

#include "Options.h"

// Fills `options`. Returns -1 to go on, or the status to exit with at once
// (after --help or --version: 0; a bad command line, named on stderr: 3).
int ParseCommandLine(int argc, char** argv, Options* options);

#endif  // VANTORIX_READER_COMMANDLINE_H
