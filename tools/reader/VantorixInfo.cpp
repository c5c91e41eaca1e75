// vantorix-info: shows the readings the Vantorix monitor publishes, as a
// table, as JSON, or as a live view. Uses only the library's public header.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <string>
#include <thread>

#include "GetVantorixInfo.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

const char USAGE[] =
    "usage: vantorix-info [--json | --jsonl | --prometheus | --watch [SECONDS]] [options]\n"
    "Reads the processor readings that the Vantorix monitor publishes.\n"
    "  (no option)        print the readings once as a table\n"
    "  --json             print one JSON object per read (see the README for its fields)\n"
    "  --jsonl            log: one JSON object per line with a \"timestamp\", every\n"
    "                     interval until Ctrl-C (or --count reads)\n"
    "  --prometheus       print the last of --count reads in Prometheus' text format,\n"
    "                     for node_exporter's textfile collector\n"
    "  --watch [SECONDS]  refresh a live view every SECONDS (default 1) until Ctrl-C;\n"
    "                     keeps trying while the monitor is not running\n"
    "  --count N          stop after N reads (default 1; --jsonl and --watch: no limit)\n"
    "  --interval S       seconds between reads (default 1)\n"
    "  --stale-after S    call the record stale when successive reads return the very\n"
    "                     same record for S seconds or more (default 10): the monitor\n"
    "                     froze or died leaving its region\n"
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

// Notes how long successive reads have returned the very same record.
class CStaleness {
public:
    explicit CStaleness(double threshold) : threshold_(threshold) {}
    void Update(const VantorixProxy& proxy) {
        const Clock::time_point now = Clock::now();
        if (!have_ || std::memcmp(&last_, proxy.GetDataStruct(), sizeof(last_)) != 0) {
            std::memcpy(&last_, proxy.GetDataStruct(), sizeof(last_));
            have_ = true;
            changed_at_ = now;
        }
        unchanged_ = std::chrono::duration<double>(now - changed_at_).count();
    }
    double UnchangedSeconds() const { return unchanged_; }
    bool Stale() const { return have_ && unchanged_ >= threshold_; }

private:
    typedef std::chrono::steady_clock Clock;
    const double threshold_;
    bool have_ = false;
    vantorix_shared_data last_ = {};
    Clock::time_point changed_at_;
    double unchanged_ = 0;
};

std::string StaleNotice(const CStaleness& staleness) {
    if (!staleness.Stale()) return "";
    char text[160];
    std::snprintf(text, sizeof(text),
                  "STALE: the record has not changed for %.0f s (the monitor may have frozen or died)",
                  staleness.UnchangedSeconds());
    return text;
}

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm utc = {};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];  // room for any int the compiler can imagine
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
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
void PrintTable(const VantorixProxy& proxy, const CStaleness& staleness, bool bars, const char* eol) {
    const int cores = Clamp(proxy.GetCoreCount(), 256);
    if (staleness.Stale()) std::printf("%s%s", StaleNotice(staleness).c_str(), eol);
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

// `timestamp` leads each line of the --jsonl log; empty for --json.
void PrintJson(const VantorixProxy& proxy, const CStaleness& staleness, const std::string& timestamp) {
    const int cores = Clamp(proxy.GetCoreCount(), 256);
    const int tj_max_entries = Clamp(proxy.GetCoreCount(), 128);
    std::string out = timestamp.empty() ? "{" : "{\"timestamp\":\"" + timestamp + "\",";
    out += "\"ok\":true";
    out += ",\"stale\":" + std::string(staleness.Stale() ? "true" : "false");
    out += ",\"unchanged_seconds\":" + JsonFloat(static_cast<float>(staleness.UnchangedSeconds()));
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

void PrintJsonFailure(const Failure& failure, const std::string& timestamp) {
    const std::string lead = timestamp.empty() ? "{" : "{\"timestamp\":\"" + timestamp + "\",";
    std::printf("%s\"ok\":false,\"error\":%lu,\"message\":%s,\"monitor_running\":%s}\n", lead.c_str(),
                static_cast<unsigned long>(failure.code), JsonString(failure.message).c_str(),
                failure.code == NOT_FOUND ? "false" : "true");
}

// A label value in Prometheus' text format.
std::string PromLabel(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

void PromGauge(std::string* out, const char* name, const char* help) {
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

std::string PromValue(double value) {
    char text[40];
    std::snprintf(text, sizeof(text), "%.9g", value);
    return text;
}

// One gauge per reading; every sample carries the processor's name as `cpu`,
// per-core ones also `core`. Units are in the names.
void PrintPrometheus(const VantorixProxy* proxy, const CStaleness& staleness) {
    std::string out;
    PromGauge(&out, "vantorix_up", "Whether the last read of the Vantorix monitor's record succeeded.");
    out += std::string("vantorix_up ") + (proxy != nullptr ? "1" : "0") + "\n";
    PromGauge(&out, "vantorix_stale", "Whether successive reads returned the same record for longer than the threshold.");
    out += std::string("vantorix_stale ") + (staleness.Stale() ? "1" : "0") + "\n";
    PromGauge(&out, "vantorix_record_unchanged_seconds", "Seconds for which successive reads returned the same record.");
    out += "vantorix_record_unchanged_seconds " + PromValue(staleness.UnchangedSeconds()) + "\n";
    if (proxy != nullptr) {
        const std::string cpu = "cpu=\"" + PromLabel(CpuName(*proxy)) + "\"";
        const int cores = Clamp(proxy->GetCoreCount(), 256);
        const char* unit = proxy->IsFahrenheit() ? "fahrenheit" : "celsius";
        const std::string temp_name = std::string(proxy->IsDistanceToTjMax() ? "vantorix_core_temperature_below_tjmax_"
                                                                            : "vantorix_core_temperature_") + unit;
        const std::string tj_max_name = std::string("vantorix_core_tjmax_") + unit;
        const auto scalar = [&](const char* name, const char* help, double value) {
            PromGauge(&out, name, help);
            out += std::string(name) + "{" + cpu + "} " + PromValue(value) + "\n";
        };
        scalar("vantorix_processors", "Number of processors.", proxy->GetCPUCount());
        scalar("vantorix_cores", "Number of cores.", proxy->GetCoreCount());
        scalar("vantorix_cpu_clock_megahertz", "Processor clock speed.", proxy->GetCPUSpeed());
        scalar("vantorix_bus_clock_megahertz", "FSB (bus) clock speed.", proxy->GetFSBSpeed());
        scalar("vantorix_clock_multiplier_ratio", "Clock multiplier.", proxy->GetMultiplier());
        scalar("vantorix_vid_volts", "VID.", proxy->GetVID());
        const auto per_core = [&](const std::string& name, const char* help, int limit, double (*value)(const VantorixProxy&, int)) {
            PromGauge(&out, name.c_str(), help);
            for (int core = 0; core < limit; ++core) {
                out += name + "{" + cpu + ",core=\"" + std::to_string(core) + "\"} " + PromValue(value(*proxy, core)) + "\n";
            }
        };
        per_core("vantorix_core_load_percent", "Load of each core.", cores,
                 [](const VantorixProxy& p, int core) { return static_cast<double>(p.GetCoreLoad(core)); });
        per_core(temp_name, "Temperature of each core, in the unit its name says.", cores,
                 [](const VantorixProxy& p, int core) { return static_cast<double>(p.GetTemp(core)); });
        per_core(tj_max_name, "TjMax of each core.", std::min(cores, 128),
                 [](const VantorixProxy& p, int core) { return static_cast<double>(p.GetTjMax(core)); });
    }
    std::fputs(out.c_str(), stdout);
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

int Watch(double interval, long count, double stale_after) {
    EnableTerminalEscapes();
    const char* eol = "\x1b[K\n";  // clear the rest of the line, then next line
    std::printf("\x1b[?1049h\x1b[?25l");  // alternate screen, hide the cursor
    VantorixProxy proxy;
    CStaleness staleness(stale_after);
    for (long reads = 0; !g_interrupted && (count < 0 || reads < count); ++reads) {
        std::printf("\x1b[H");
        Failure failure;
        if (Read(proxy, &failure)) {
            staleness.Update(proxy);
            PrintTable(proxy, staleness, true, eol);
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
    enum class Mode { Table, Json, Jsonl, Prometheus, Watch } mode = Mode::Table;
    int modes = 0;
    double interval = 1.0, stale_after = 10.0;
    long count = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--json" || arg == "--jsonl" || arg == "--prometheus") {
            mode = arg == "--json" ? Mode::Json : arg == "--jsonl" ? Mode::Jsonl : Mode::Prometheus;
            ++modes;
        } else if (arg == "--watch") {
            mode = Mode::Watch;
            ++modes;
            if (has_value && argv[i + 1][0] != '-') interval = std::atof(argv[++i]);
        } else if (arg == "--interval" && has_value) {
            interval = std::atof(argv[++i]);
        } else if (arg == "--stale-after" && has_value) {
            stale_after = std::atof(argv[++i]);
        } else if (arg == "--count" && has_value) {
            count = std::atol(argv[++i]);
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return EXIT_OK;
        } else {
            std::fputs(USAGE, stderr);
            return EXIT_USAGE;
        }
    }
    if (modes > 1 || interval <= 0 || stale_after < 0) {
        std::fputs(modes > 1 ? "vantorix-info: choose one of --json, --jsonl, --prometheus and --watch\n" : USAGE,
                   stderr);
        return EXIT_USAGE;
    }
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    if (mode == Mode::Watch) {
        return Watch(interval, count, stale_after);
    }
    const long reads = count >= 0 ? count : mode == Mode::Jsonl ? -1 : 1;
    VantorixProxy proxy;
    CStaleness staleness(stale_after);
    int status = EXIT_OK;
    bool last_ok = false;
    for (long i = 0; (reads < 0 || i < reads) && !g_interrupted; ++i) {
        if (i > 0) Sleep(interval);
        if (g_interrupted) break;
        Failure failure;
        last_ok = Read(proxy, &failure);
        const std::string timestamp = mode == Mode::Jsonl ? Timestamp() : "";
        if (!last_ok) {
            if (mode == Mode::Json || mode == Mode::Jsonl) PrintJsonFailure(failure, timestamp);
            status = ReportFailure(failure);
        } else {
            status = EXIT_OK;
            staleness.Update(proxy);
            if (mode == Mode::Json || mode == Mode::Jsonl) {
                PrintJson(proxy, staleness, timestamp);
            } else if (mode == Mode::Table) {
                PrintTable(proxy, staleness, false, "\n");
            }
        }
        std::fflush(stdout);
    }
    if (mode == Mode::Prometheus) {
        PrintPrometheus(last_ok ? &proxy : nullptr, staleness);
    }
    return status;
}
