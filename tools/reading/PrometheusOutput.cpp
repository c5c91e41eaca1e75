// Prometheus' text exposition format: one gauge per reading, in the base units
// Prometheus names (hertz, celsius, volts, ratios); every sample carries the
// processor's name as `cpu`, per-core ones also `core`. A reading the monitor
// did not report (Outputs.h) has no sample, and a gauge with no samples is
// left out whole, as exporters leave out sensors that do not exist. NaN and
// infinities are written as the format spells them.
#include <cmath>
#include <limits>

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

// A stored float as JSON prints it.
std::string Value(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    return ShortestText(value, FloatStyle::JsonDump);
}

// A reading converted to a base unit, computed in double from the stored
// value, is printed as the float nearest to the result: the precision the
// monitor gave, so 59.9 MHz is 5.99e+07 Hz, not 59900001.52587891.
std::string Converted(double value) {
    if (std::fabs(value) > std::numeric_limits<float>::max() && !std::isnan(value)) return value > 0 ? "+Inf" : "-Inf";
    return Value(static_cast<float>(value));
}

double Celsius(double fahrenheit) {
    return (fahrenheit - 32) * 5 / 9;
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
    Gauge(&out, "vantorix_responding", "Whether the monitor answered within the timeout (0: it holds its mutex).");
    out += std::string("vantorix_responding ") + (reading.status == Reading::Status::NotResponding ? "0" : "1") + "\n";
    if (reading.liveness != Liveness::Unknown) {
        Gauge(&out, "vantorix_monitor_alive", "Whether a running monitor holds the record's region.");
        out += std::string("vantorix_monitor_alive ") + (reading.liveness == Liveness::Alive ? "1" : "0") + "\n";
    }
    Gauge(&out, "vantorix_record_unchanged",
          "Whether successive reads returned the same record for at least --unchanged-after seconds.");
    out += std::string("vantorix_record_unchanged ") + (reading.unchanged ? "1" : "0") + "\n";
    Gauge(&out, "vantorix_record_unchanged_seconds", "Seconds for which successive reads returned the same record.");
    out += "vantorix_record_unchanged_seconds " + Converted(reading.unchanged_seconds) + "\n";
    if (!up) return out;

    const vantorix_shared_data& r = reading.record;
    const std::string cpu = "cpu=\"" + Label(CpuName(r)) + "\"";
    // An empty sample is a reading that was not reported.
    const auto scalar = [&](const char* name, const char* help, const std::string& sample) {
        if (sample.empty()) return;
        Gauge(&out, name, help);
        out += std::string(name) + "{" + cpu + "} " + sample + "\n";
    };
    const auto as_is = [](float value) { return Reported(value) ? Value(value) : ""; };
    const auto hertz = [](float megahertz) { return Reported(megahertz) ? Converted(megahertz * 1e6) : ""; };
    scalar("vantorix_processors", "Number of processors.", std::to_string(r.cpu_total));
    scalar("vantorix_cores", "Number of cores.", std::to_string(r.core_total));
    scalar("vantorix_cpu_clock_hertz", "Processor clock speed.", hertz(r.cpu_clock));
    scalar("vantorix_bus_clock_hertz", "FSB (bus) clock speed.", hertz(r.fsb_clock));
    scalar("vantorix_clock_multiplier_ratio", "Clock multiplier.", as_is(r.clock_multiplier));
    scalar("vantorix_vid_volts", "Core voltage the processor requests (VID).", as_is(r.vid_value));
    // Per core, `sample` gives an empty text for a reading that was not reported.
    const auto per_core = [&](const char* name, const char* help, int cores, auto sample) {
        std::string samples;
        for (int core = 0; core < cores; ++core) {
            const std::string value = sample(core);
            if (value.empty()) continue;
            samples += std::string(name) + "{" + cpu + ",core=\"" + std::to_string(core) + "\"} " + value + "\n";
        }
        if (samples.empty()) return;
        Gauge(&out, name, help);
        out += samples;
    };
    const int cores = ShownCores(r);
    const bool fahrenheit = r.fahrenheit != 0;
    per_core("vantorix_core_load_ratio", "Load of each core, from 0 to 1.", cores,
             [&](int core) { return Converted(r.core_load[core] / 100.0); });
    const bool distance = r.distance_to_tj_max != 0;
    per_core(distance ? "vantorix_core_temperature_below_tjmax_celsius" : "vantorix_core_temperature_celsius",
             distance ? "How far each core's temperature is below its TjMax." : "Temperature of each core.", cores,
             [&](int core) {
                 if (!TemperatureReported(r, core)) return std::string();
                 if (!fahrenheit) return Value(r.temp[core]);
                 // A distance is a difference of temperatures: the scales' offset drops out.
                 return Converted(distance ? r.temp[core] * 5.0 / 9 : Celsius(r.temp[core]));
             });
    per_core("vantorix_core_tjmax_celsius", "Temperature at which each core throttles (TjMax).", ShownTjMax(r),
             [&](int core) {
                 if (!Reported(r.tj_max[core])) return std::string();
                 return fahrenheit ? Converted(Celsius(r.tj_max[core])) : std::to_string(r.tj_max[core]);
             });
    return out;
}
