// Feeds arbitrary records through every output of vantorix-info and checks
// that each stays what it promises: JSON parses, the metrics are UTF-8 lines
// of the text format, and the outputs for a terminal carry no control byte
// but their own line ends and the live view's escape sequences.
//
// Input: a 2688-byte record (zeros where the input is shorter), then one byte
// of status and staleness, then the rest as the system message's UTF-16 units.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Outputs.h"
#include "Text.h"

namespace {

void Fail(const char* what, const std::string& output) {
    std::fprintf(stderr, "%s:\n%s\n", what, output.c_str());
    std::abort();
}

bool ValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// Only "\n" and, where allowed, the live view's ESC [ H, ESC [ K, ESC [ J.
void CheckTerminalText(const std::string& text, bool escapes) {
    if (!ValidUtf8(text)) Fail("not UTF-8", text);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == 0x1B && escapes && text.compare(i, 2, "\x1b[") == 0 && i + 2 < text.size() &&
            std::strchr("HKJ", text[i + 2]) != nullptr) {
            i += 2;
        } else if ((c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && next >= 0x80 && next < 0xA0)) {
            Fail("control character in terminal output", text);
        }
    }
}

bool MetricName(const std::string& line, std::size_t* at) {
    const std::size_t start = *at;
    while (*at < line.size() && (std::isalnum(static_cast<unsigned char>(line[*at])) || line[*at] == '_' ||
                                 line[*at] == ':')) {
        ++*at;
    }
    return *at > start && !std::isdigit(static_cast<unsigned char>(line[start]));
}

// One sample line: name{label="value",...} number
bool SampleLine(const std::string& line) {
    std::size_t at = 0;
    if (!MetricName(line, &at)) return false;
    if (at < line.size() && line[at] == '{') {
        do {
            ++at;
            if (!MetricName(line, &at) || line.compare(at, 2, "=\"") != 0) return false;
            for (at += 2; at < line.size() && line[at] != '"'; ++at) {
                if (line[at] == '\\' && (++at >= line.size() || std::strchr("\\\"n", line[at]) == nullptr)) return false;
            }
            if (++at > line.size()) return false;
        } while (at < line.size() && line[at] == ',');
        if (at >= line.size() || line[at++] != '}') return false;
    }
    if (at >= line.size() || line[at++] != ' ') return false;
    const std::string value = line.substr(at);
    if (value == "NaN" || value == "+Inf" || value == "-Inf") return true;
    // Plain decimal numbers only: C's "nan", "-nan" or "inf" are not the format's.
    char* end = nullptr;
    std::strtod(value.c_str(), &end);
    return !value.empty() && *end == '\0' && value.find_first_not_of("0123456789+-.e") == std::string::npos;
}

void CheckPrometheus(const std::string& text) {
    if (!ValidUtf8(text) || text.empty() || text.back() != '\n') Fail("metrics not UTF-8 lines", text);
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
        const std::string line = text.substr(begin, end - begin);
        const bool comment = line.compare(0, 7, "# HELP ") == 0 || line.compare(0, 7, "# TYPE ") == 0;
        if (!comment && !SampleLine(line)) Fail(("bad metrics line: " + line).c_str(), text);
        for (unsigned char c : line) {
            if (c < 0x20 || c == 0x7F) Fail("control character in metrics", text);
        }
    }
}

void CheckJson(const std::string& text) {
    if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1) Fail("JSON not one line", text);
    if (!nlohmann::json::accept(text)) Fail("JSON does not parse", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reading reading;
    std::memcpy(&reading.record, data, std::min(size, sizeof(reading.record)));
    const std::uint8_t flags = size > sizeof(reading.record) ? data[sizeof(reading.record)] : 0;
    reading.status = static_cast<Reading::Status>(flags % 4);
    reading.unchanged = (flags & 4) != 0;
    reading.liveness = static_cast<Liveness>((flags >> 5) % 3);
    reading.unchanged_seconds = (flags & 8) ? 1e300 : flags;
    reading.error = flags * 0x01010101u;
    std::vector<vantorix_utf16> message;
    for (std::size_t i = sizeof(reading.record) + 1; i + 1 < size; i += 2) {
        message.push_back(static_cast<vantorix_utf16>(data[i] | (data[i + 1] << 8)));
    }
    message.push_back(0);
    reading.message = Utf8(message.data());
    if (flags & 16) reading.timestamp = "2026-12-08T01:23:45.678Z";

    CheckJson(RenderJson(reading));
    CheckPrometheus(RenderPrometheus(reading));
    CheckTerminalText(RenderLiveFrame(reading, 0.5, true), true);
    CheckTerminalText(RenderLiveFrame(reading, 0.5, false), false);
    if (reading.status == Reading::Status::Ok) CheckTerminalText(RenderTable(reading, false, "\n"), false);
    return 0;
}
