// Text from the record and from the system, made safe for each output.
//
// The processor name is 100 bytes as the monitor wrote them, up to the first
// zero: 8-bit characters, each byte the Unicode character of the same number
// (ISO-8859-1), shown as UTF-8 in every output. Anything that reaches a
// terminal or a metrics label also has its control characters (C0, DEL, C1)
// written as \xHH, so a record can neither move the cursor nor forge lines.
#ifndef VANTORIX_READING_TEXT_H
#define VANTORIX_READING_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "GetVantorixInfo.h"

// JSON as the tool writes it: keys in the order they are added, and floats
// kept single-precision, so that its serializer prints each float as the
// shortest text that reads back as exactly that float.
typedef nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool, std::int64_t, std::uint64_t, float>
    Json;

// The name as UTF-8, exactly (JSON escapes what it must itself).
std::string CpuName(const vantorix_shared_data& record);

// UTF-8 text with every control character written as \xHH.
std::string Printable(const std::string& utf8);

// The library's UTF-16 message as UTF-8, without a closing line break; an
// unpaired surrogate becomes U+FFFD.
std::string Utf8(const vantorix_utf16* text);

// How ShortestText writes a float. JsonDump: as the tool's JSON and metrics
// print it, a whole number with ".0", an exponent from a million up (100.0,
// 1.234567e+06, 0.0001). ToChars: as the history's JSON prints it, the
// shorter of std::to_chars' two forms (100, 1234567, 1e-04).
enum class FloatStyle { JsonDump, ToChars };

// A finite float as the shortest text that reads back as exactly it (59.9 for
// the float nearest 59.9), written in `style`.
std::string ShortestText(float value, FloatStyle style);

// A reading for people: printf-formatted, or "invalid" for NaN and infinity.
std::string Number(const char* format, double value);

#endif  // VANTORIX_READING_TEXT_H
