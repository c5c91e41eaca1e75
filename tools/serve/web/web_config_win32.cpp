// --web-config where the build has no TLS and no bcrypt: Debian packages
// OpenSSL, libxcrypt and yaml-cpp for Linux only, so the Windows builds serve
// plain HTTP alone.
#include <cstdio>

#include "Serve.h"
#include "WebConfig.h"

int ServeWithWebConfig(const Options& options, std::atomic<int>* signal) {
    if (!options.web_config.empty()) {
        std::fputs("vantorix-info: --web-config (TLS and basic auth) is not in this build: it is in the Linux "
                   "build only\n",
                   stderr);
        return EXIT_USAGE;
    }
    return Serve(options, signal);
}
