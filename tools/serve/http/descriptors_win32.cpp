#include <winsock2.h>

#include "Descriptors.h"

// Windows' sockets are not counted against a small table: the cap alone.
std::size_t ConnectionCap() {
    return 1024;
}

bool OutOfDescriptors(std::uint32_t error) {
    return error == ERROR_TOO_MANY_OPEN_FILES;
}
