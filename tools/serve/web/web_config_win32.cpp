// --web-config where the build has no TLS and no bcrypt: Debian packages
// OpenSSL, libxcrypt and yaml-cpp for Linux only, so the Windows builds serve
// plain HTTP alone.
#include "WebServing.h"

bool LoadWebServing(const std::string&, WebServing*, std::string* why) {
    *why = "TLS and basic auth are not in this build: they are in the Linux build only";
    return false;
}
