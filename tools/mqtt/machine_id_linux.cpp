#include "MachineId.h"

#include "BoundedFile.h"

std::string MachineId() {
    FileRules rules;
    rules.limit = 128;
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::string bytes, why;
        if (!ReadBoundedFile(path, path, rules, &bytes, &why)) continue;
        const std::size_t end = bytes.find_first_of("\r\n");
        bytes = bytes.substr(0, end);
        if (!bytes.empty()) return bytes;
    }
    return "";
}
