// vantorix-info: shows the readings the Vantorix monitor publishes, as a
// table, as JSON, or as a live view. Uses only the library's public header.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "GetVantorixInfo.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

const char USAGE[] =
    "usage: vantorix-info [--json | --watch [SECONDS]]\n"
    "Reads the processor readings that the Vantorix monitor publishes.\n"
    "  (no option)        print the readings once as a table\n"
    "  --json             print one JSON object per read (see the README for its fields)\n"
    "  --watch [SECONDS]  refresh a live view every SECONDS (default 1) until Ctrl-C;\n"
    "                     keeps trying while the monitor is not running\n"
    "  --count N          with --json or --watch: stop after N reads\n"
    "  --help             show this text\n"
    "Exit status:\n"
    "  0  the readings were read (or --watch was stopped with Ctrl-C)\n"
    "  1  the Vantorix monitor is not running\n"
    "  2  the read failed for another reason (the message says which)\n"
    "  3  bad command line\n";

enum ExitCode { EXIT_OK = 0, EXIT_NOT_RUNNING = 1, EXIT_READ_FAILED = 2, EXIT_USAGE = 3 };

// ERROR_FILE_NOT_FOUND on Windows and ENOENT on Linux are both 2: the
// monitor's region does not exist.
const std::uint32_t NOT_FOUND = 2;

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    g_interrupted = 1;
}

// The record's counts come from another program: never trust them as bounds.
int Clamp(std::int32_t value, int limit) {
    return value < 0 ? 0 : value > limit ? limit : static_cast<int>(value);
}

std::string CpuName(const VantorixProxy& proxy) {
    const char* name = proxy.GetCPUName();
    std::size_t length = 0;
    while (length < 100 && name[length] != '\0') ++length;
    return std::string(name, length);
}

std::string Utf8(const vantorix_utf16* text) {
    std::string out;
    for (; *text != 0; ++text) {
        std::uint32_t c = static_cast<std::uint16_t>(*text);
        if (c >= 0xD800 && c < 0xDC00 && text[1] >= 0xDC00 && text[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(*++text) - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

struct Failure {
    std::uint32_t code;
    std::string message;
};

// Reads once; on failure takes the code first, then its text.
bool Read(VantorixProxy& proxy, Failure* failure) {
    if (proxy.GetData()) {
        return true;
    }
    failure->code = proxy.GetDllError();
    failure->message = Utf8(proxy.GetErrorMessage());
    return false;
}

int ReportFailure(const Failure& failure) {
    if (failure.code == NOT_FOUND) {
        std::fprintf(stderr, "vantorix-info: the Vantorix monitor is not running (%s, error %lu)\n",
                     failure.message.c_str(), static_cast<unsigned long>(failure.code));
        return EXIT_NOT_RUNNING;
    }
    std::fprintf(stderr, "vantorix-info: reading failed: %s (error %lu, 0x%08lX)\n",
                 failure.message.c_str(), static_cast<unsigned long>(failure.code),
                 static_cast<unsigned long>(failure.code));
    return EXIT_READ_FAILED;
}

const char* Unit(const VantorixProxy& proxy) {
    return proxy.IsFahrenheit() ? "F" : "C";
}

std::string Bar(double value, double full, int width) {
    const double share = full > 0 ? value / full : 0;
    const int filled = share <= 0 ? 0 : share >= 1 ? width : static_cast<int>(share * width + 0.5);
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '.') + "]";
}

// The table, also the body of the live view. `eol` ends each line (the live
// view clears the rest of each line as it redraws).
void PrintTable(const VantorixProxy& proxy, bool bars, const char* eol) {
    const int cores = Clamp(proxy.GetCoreCount(), 256);
    std::printf("CPU:        %s%s", CpuName(proxy).c_str(), eol);
    std::printf("Processors: %d   Cores: %d%s", proxy.GetCPUCount(), proxy.GetCoreCount(), eol);
    std::printf("Clock:      %.1f MHz   Bus: %.1f MHz   Multiplier: %.2f   VID: %.4f V%s",
                proxy.GetCPUSpeed(), proxy.GetFSBSpeed(), proxy.GetMultiplier(), proxy.GetVID(), eol);
    const bool distance = proxy.IsDistanceToTjMax();
    std::printf("Temperatures in degrees %s%s%s", Unit(proxy),
                distance ? ", as distance below TjMax" : "", eol);
    std::printf("%s", eol);
    std::printf("%4s  %9s  %6s  %6s%s", "Core", "Temp", "Load", "TjMax",
                bars ? "  Load        Temperature" : "");
    std::printf("%s", eol);
    for (int core = 0; core < cores; ++core) {
        const float temp = proxy.GetTemp(core);
        const int load = proxy.GetCoreLoad(core);
        const int tj_max = proxy.GetTjMax(core);
        std::printf("%4d  %7.1f %s  %5d%%  %6d", core, temp, Unit(proxy), load, tj_max);
        if (bars) {
            // Against TjMax where the monitor gives one, else 100 degrees.
            const double scale = tj_max > 0 ? tj_max : 100.0;
            const double heat = distance ? scale - temp : temp;
            std::printf("  %s  %s", Bar(load, 100, 10).c_str(), Bar(heat, scale, 10).c_str());
        }
        std::printf("%s", eol);
    }
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);  // bytes as Latin-1
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Floats with 9 significant digits read back as exactly the stored value.
std::string JsonFloat(float value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.9g", static_cast<double>(value));
    return text;
}

void PrintJson(const VantorixProxy& proxy) {
    const int cores = Clamp(proxy.GetCoreCount(), 256);
    const int tj_max_entries = Clamp(proxy.GetCoreCount(), 128);
    std::string out = "{\"ok\":true";
    out += ",\"cpu_name\":" + JsonString(CpuName(proxy));
    out += ",\"cpu_total\":" + std::to_string(proxy.GetCPUCount());
    out += ",\"core_total\":" + std::to_string(proxy.GetCoreCount());
    out += ",\"fahrenheit\":" + std::string(proxy.IsFahrenheit() ? "true" : "false");
    out += ",\"distance_to_tj_max\":" + std::string(proxy.IsDistanceToTjMax() ? "true" : "false");
    out += ",\"vid_value\":" + JsonFloat(proxy.GetVID());
    out += ",\"cpu_clock\":" + JsonFloat(proxy.GetCPUSpeed());
    out += ",\"fsb_clock\":" + JsonFloat(proxy.GetFSBSpeed());
    out += ",\"clock_multiplier\":" + JsonFloat(proxy.GetMultiplier());
    out += ",\"core_load\":[";
    for (int i = 0; i < cores; ++i) out += (i ? "," : "") + std::to_string(proxy.GetCoreLoad(i));
    out += "],\"temp\":[";
    for (int i = 0; i < cores; ++i) out += (i ? "," : "") + JsonFloat(proxy.GetTemp(i));
    out += "],\"tj_max\":[";
    for (int i = 0; i < tj_max_entries; ++i) out += (i ? "," : "") + std::to_string(proxy.GetTjMax(i));
    out += "]}\n";
    std::fputs(out.c_str(), stdout);
}

void PrintJsonFailure(const Failure& failure) {
    std::printf("{\"ok\":false,\"error\":%lu,\"message\":%s,\"monitor_running\":%s}\n",
                static_cast<unsigned long>(failure.code), JsonString(failure.message).c_str(),
                failure.code == NOT_FOUND ? "false" : "true");
}

void Sleep(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!g_interrupted && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Windows consoles understand the escape sequences only when asked to.
void EnableTerminalEscapes() {
#if defined(_WIN32)
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode)) {
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
#endif
}

int Watch(double interval, long count) {
    EnableTerminalEscapes();
    const char* eol = "\x1b[K\n";  // clear the rest of the line, then next line
    std::printf("\x1b[?1049h\x1b[?25l");  // alternate screen, hide the cursor
    VantorixProxy proxy;
    for (long reads = 0; !g_interrupted && (count < 0 || reads < count); ++reads) {
        std::printf("\x1b[H");
        Failure failure;
        if (Read(proxy, &failure)) {
            PrintTable(proxy, true, eol);
        } else if (failure.code == NOT_FOUND) {
            std::printf("monitor not running: waiting for the Vantorix monitor...%s", eol);
        } else {
            std::printf("reading failed: %s (error %lu)%s", failure.message.c_str(),
                        static_cast<unsigned long>(failure.code), eol);
        }
        std::printf("%s(refreshing every %g s; Ctrl-C to quit)%s\x1b[J", eol, interval, eol);
        std::fflush(stdout);
        Sleep(interval);
    }
    std::printf("\x1b[?1049l\x1b[?25h");  // give the terminal back as it was
    std::fflush(stdout);
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false, watch = false;
    double interval = 1.0;
    long count = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--watch") {
            watch = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                interval = std::atof(argv[++i]);
                if (interval <= 0) {
                    std::fputs(USAGE, stderr);
                    return EXIT_USAGE;
                }
            }
        } else if (arg == "--count" && i + 1 < argc) {
            count = std::atol(argv[++i]);
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return EXIT_OK;
        } else {
            std::fputs(USAGE, stderr);
            return EXIT_USAGE;
        }
    }
    if (json && watch) {
        std::fputs("vantorix-info: choose --json or --watch, not both\n", stderr);
        return EXIT_USAGE;
    }
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    if (watch) {
        return Watch(interval, count);
    }
    VantorixProxy proxy;
    const long reads = count < 0 ? 1 : count;
    int status = EXIT_OK;
    for (long i = 0; i < reads && !g_interrupted; ++i) {
        if (i > 0) Sleep(interval);
        Failure failure;
        if (!Read(proxy, &failure)) {
            if (json) PrintJsonFailure(failure);
            status = ReportFailure(failure);
            continue;
        }
        status = EXIT_OK;
        if (json) {
            PrintJson(proxy);
            std::fflush(stdout);
        } else {
            PrintTable(proxy, false, "\n");
        }
    }
    return status;
}
