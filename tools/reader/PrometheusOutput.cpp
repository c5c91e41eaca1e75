// Prometheus' text exposition format: one gauge per reading, units in the
// names; every sample carries the processor's name as `cpu`, per-core ones
// also `core`. A reading the monitor did not report (Outputs.h) has no sample,
// and a gauge with no samples is left out whole, as exporters leave out
// sensors that do not exist. NaN and infinities are written as the format
// spells them.
#include <cmath>
#include <cstdio>

#include "Outputs.h"
#include "Text.h"

namespace {

// A label value: UTF-8, control characters as \xHH, then the format's escapes.
std::string Label(const std::string& text) {
    std::string out;
    for (char c : Printable(text)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string Value(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[40];
    std::snprintf(text, sizeof(text), "%.9g", value);
    return text;
}

void Gauge(std::string* out, const std::string& name, const char* help) {
    *out += "# HELP " + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

}  // namespace

std::string RenderPrometheus(const Reading& reading) {
    const bool up = reading.status == Reading::Status::Ok;
    std::string out;
    Gauge(&out, "vantorix_up", "Whether the last read of the Vantorix monitor's record succeeded.");
    out += std::string("vantorix_up ") + (up ? "1" : "0") + "\n";
    if (reading.liveness != Liveness::Unknown) {
        Gauge(&out, "vantorix_monitor_alive", "Whether a running monitor holds the record's region.");
        out += std::string("vantorix_monitor_alive ") + (reading.liveness == Liveness::Alive ? "1" : "0") + "\n";
    }
    Gauge(&out, "vantorix_record_unchanged",
          "Whether successive reads returned the same record for at least --unchanged-after seconds.");
    out += std::string("vantorix_record_unchanged ") + (reading.unchanged ? "1" : "0") + "\n";
    Gauge(&out, "vantorix_record_unchanged_seconds", "Seconds for which successive reads returned the same record.");
    out += "vantorix_record_unchanged_seconds " + Value(reading.unchanged_seconds) + "\n";
    if (!up) return out;

    const vantorix_shared_data& r = reading.record;
    const std::string cpu = "cpu=\"" + Label(CpuName(r)) + "\"";
    const std::string unit = r.fahrenheit ? "fahrenheit" : "celsius";
    const auto scalar = [&](const char* name, const char* help, double value, bool reported) {
        if (!reported) return;
        Gauge(&out, name, help);
        out += std::string(name) + "{" + cpu + "} " + Value(value) + "\n";
    };
    scalar("vantorix_processors", "Number of processors.", r.cpu_total, true);
    scalar("vantorix_cores", "Number of cores.", r.core_total, true);
    scalar("vantorix_cpu_clock_megahertz", "Processor clock speed.", r.cpu_clock, Reported(r.cpu_clock));
    scalar("vantorix_bus_clock_megahertz", "FSB (bus) clock speed.", r.fsb_clock, Reported(r.fsb_clock));
    scalar("vantorix_clock_multiplier_ratio", "Clock multiplier.", r.clock_multiplier, Reported(r.clock_multiplier));
    scalar("vantorix_vid_volts", "VID.", r.vid_value, Reported(r.vid_value));
    // Per core, `value` gives false for a reading that was not reported.
    const auto per_core = [&](const std::string& name, const char* help, int cores, auto value) {
        std::string samples;
        double sample = 0;
        for (int core = 0; core < cores; ++core) {
            if (!value(core, &sample)) continue;
            samples += name + "{" + cpu + ",core=\"" + std::to_string(core) + "\"} " + Value(sample) + "\n";
        }
        if (samples.empty()) return;
        Gauge(&out, name, help);
        out += samples;
    };
    const int cores = ShownCores(r);
    per_core("vantorix_core_load_percent", "Load of each core.", cores, [&](int core, double* sample) {
        *sample = r.core_load[core];
        return true;
    });
    per_core(std::string(r.distance_to_tj_max ? "vantorix_core_temperature_below_tjmax_" : "vantorix_core_temperature_") +
                 unit,
             "Temperature of each core, in the unit its name says.", cores, [&](int core, double* sample) {
                 *sample = r.temp[core];
                 return TemperatureReported(r, core);
             });
    per_core("vantorix_core_tjmax_" + unit, "TjMax of each core.", ShownTjMax(r), [&](int core, double* sample) {
        *sample = r.tj_max[core];
        return Reported(*sample);
    });
    return out;
}
