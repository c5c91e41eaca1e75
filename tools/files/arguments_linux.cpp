// Linux: the arguments are the bytes they were given; UTF-8 is the locale's.
#include "Arguments.h"

void Utf8Arguments(int*, char***) {}
