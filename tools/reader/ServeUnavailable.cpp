// --serve where the build has no HTTP server: Debian packages cpp-httplib as
// a library for Linux only, so the Windows builds go without.
#include <cstdio>

#include "Serve.h"

int Serve(const Options&, const std::atomic<int>*) {
    std::fputs("vantorix-info: this build has no HTTP server: --serve is in the Linux build only\n", stderr);
    return EXIT_USAGE;
}
