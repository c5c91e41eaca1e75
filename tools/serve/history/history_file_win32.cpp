// Windows: no history file yet; the server keeps its history in memory only.
#include "HistoryFile.h"

std::string DefaultHistoryPath() {
    return "";
}

bool ReadHistoryFile(const std::string&, std::size_t, std::string*, std::string* why) {
    *why = "a history file is not available on Windows";
    return false;
}

bool WriteHistoryFile(const std::string&, const std::string&, std::string* why) {
    *why = "a history file is not available on Windows";
    return false;
}

void RemoveTemporaries(const std::string&) {}
