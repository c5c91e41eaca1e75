// The outputs for people: the table and the live view's frame.
#include <cmath>
#include <cstdio>

#include "Outputs.h"
#include "Text.h"

namespace {

int Clamp(std::int32_t value, int limit) {
    return value < 0 ? 0 : value > limit ? limit : static_cast<int>(value);
}

std::string Bar(double value, double full, int width) {
    const double share = value / full;
    const int filled = !(share > 0) ? 0 : share >= 1 ? width : static_cast<int>(share * width + 0.5);
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '.') + "]";
}

std::string Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// A reading with its unit, or "n/a" when the monitor did not report it.
std::string Shown(const char* format, double value, const char* unit) {
    return Reported(value) ? Number(format, value) + unit : "n/a";
}

}  // namespace

int ShownCores(const vantorix_shared_data& record) {
    return Clamp(record.core_total, 256);
}

int ShownTjMax(const vantorix_shared_data& record) {
    return Clamp(record.core_total, 128);
}

std::string RenderTable(const Reading& reading, bool bars, const char* eol) {
    const vantorix_shared_data& r = reading.record;
    const std::string unit = r.fahrenheit ? "F" : "C";
    const bool distance = r.distance_to_tj_max != 0;
    std::string out;
    const auto line = [&](const std::string& text) { out += text + eol; };
    if (reading.liveness == Liveness::Stopped) line(std::string(STOPPED_TEXT) + ": " + START_MONITOR);
    if (reading.unchanged) {
        line("unchanged for " + Number("%.0f", reading.unchanged_seconds) + " s: the same record at every read");
    }
    line("CPU:        " + Printable(CpuName(r)));
    line("Processors: " + std::to_string(r.cpu_total) + "   Cores: " + std::to_string(r.core_total));
    line("Clock:      " + Shown("%.1f", r.cpu_clock, " MHz") + "   Bus: " + Shown("%.1f", r.fsb_clock, " MHz") +
         "   Multiplier: " + Shown("%.2f", r.clock_multiplier, "") + "   VID: " + Shown("%.4f", r.vid_value, " V"));
    line("Temperatures in degrees " + unit + (distance ? ", as distance below TjMax" : ""));
    line("");
    line(std::string("Core       Temp    Load   TjMax") + (bars ? "  Load        Temperature" : ""));
    const int cores = ShownCores(r);
    for (int core = 0; core < cores; ++core) {
        const double temp = r.temp[core];
        const bool has_temp = TemperatureReported(r, core);
        const int tj_max = core < 128 ? r.tj_max[core] : 0;
        char row[96];
        std::snprintf(row, sizeof(row), "%4d  %s %s  %5d%%  %6s", core,
                      Padded(has_temp ? Number("%.1f", temp) : "n/a", 7).c_str(), has_temp ? unit.c_str() : " ",
                      static_cast<int>(r.core_load[core]),
                      core >= 128 ? "" : Reported(tj_max) ? std::to_string(tj_max).c_str() : "n/a");
        std::string text = row;
        if (bars) {
            // Against TjMax where the monitor gives one, else 100 degrees.
            const double scale = tj_max > 0 ? tj_max : 100.0;
            text += "  " + Bar(r.core_load[core], 100, 10);
            if (has_temp) text += "  " + Bar(distance ? scale - temp : temp, scale, 10);
        }
        line(text);
    }
    return out;
}

std::string RenderLiveFrame(const Reading& reading, double interval, bool escapes) {
    const char* eol = escapes ? "\x1b[K\n" : "\n";  // clear the rest of the line, then the next
    std::string out = escapes ? "\x1b[H" : "";
    switch (reading.status) {
    case Reading::Status::Ok:
        out += RenderTable(reading, true, eol);
        break;
    case Reading::Status::NotRunning:
        out += std::string("monitor not running: ") + START_MONITOR + "; waiting..." + eol;
        break;
    case Reading::Status::NotResponding:
        out += std::string(NOT_RESPONDING_TEXT) + ": waiting..." + eol;
        break;
    case Reading::Status::Failed:
        out += "reading failed: " + Printable(reading.message) + " (error " + std::to_string(reading.error) + ")" + eol;
        break;
    }
    return out + eol + "(refreshing every " + Number("%g", interval) + " s; Ctrl-C to quit)" + eol +
           (escapes ? "\x1b[J" : "");
}
