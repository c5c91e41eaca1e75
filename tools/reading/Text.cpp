#include "Text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

void AppendUtf8(std::uint32_t c, std::string* out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendEscape(std::uint32_t c, std::string* out) {
    char escaped[8];
    std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned>(c));
    *out += escaped;
}

}  // namespace

std::string CpuName(const vantorix_shared_data& record) {
    std::string name;
    for (std::size_t i = 0; i < sizeof(record.cpu_name) && record.cpu_name[i] != '\0'; ++i) {
        AppendUtf8(static_cast<unsigned char>(record.cpu_name[i]), &name);
    }
    return name;
}

std::string Printable(const std::string& utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const unsigned char next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        if (c < 0x20 || c == 0x7F) {
            AppendEscape(c, &out);
        } else if (c == 0xC2 && next >= 0x80 && next < 0xA0) {  // C1: U+0080-U+009F
            AppendEscape(next, &out);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Utf8(const vantorix_utf16* text) {
    std::string out;
    for (; *text != 0; ++text) {
        std::uint32_t c = static_cast<std::uint16_t>(*text);
        const std::uint32_t next = static_cast<std::uint16_t>(text[1]);
        if (c >= 0xD800 && c < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++text;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        AppendUtf8(c, &out);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::string ShortestText(float value, FloatStyle style) {
    if (style == FloatStyle::JsonDump) return Json(value).dump();
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof(text), value).ptr);
}

std::string Number(const char* format, double value) {
    if (!std::isfinite(value)) return "invalid";
    char text[64];
    const int length = std::snprintf(text, sizeof(text), format, value);
    if (length < static_cast<int>(sizeof(text))) return text;
    std::string big(static_cast<std::size_t>(length) + 1, '\0');  // a huge float in %f
    std::snprintf(&big[0], big.size(), format, value);
    big.pop_back();
    return big;
}
