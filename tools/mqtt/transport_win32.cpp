#include "Transport.h"

// Debian has no OpenSSL for the Windows builds, and the Windows TLS stream
// is not there yet: mqtts:// is refused when the tool starts.
TransportMaker TlsTransports(const std::string&, const std::string&, std::string* why) {
    *why = "mqtts:// is not available in the Windows build yet (it has no TLS); use mqtt:// on a trusted network";
    return TransportMaker();
}
