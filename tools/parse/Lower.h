// ASCII letters made lower case, for names compared without regard to case
// (a Host header, a hwmon chip's name); other bytes stay as they are.
#ifndef VANTORIX_PARSE_LOWER_H
#define VANTORIX_PARSE_LOWER_H

#include <cctype>
#include <string>

inline std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

#endif  // VANTORIX_PARSE_LOWER_H
