// JSON output: the record's own field names; floats as the shortest text that
// reads back as the stored single-precision value; a reading the monitor did
// not report (Outputs.h), and NaN and infinities, which JSON cannot express,
// as null.
#include <nlohmann/json.hpp>

#include "Outputs.h"
#include "Text.h"

namespace {

template <typename T>
Json IfReported(T value) {
    return Reported(value) ? Json(value) : Json();
}

// true, false, or null where the platform cannot tell.
Json Alive(const Reading& reading) {
    return reading.liveness == Liveness::Unknown ? Json() : Json(reading.liveness == Liveness::Alive);
}

}  // namespace

std::string RenderJson(const Reading& reading) {
    Json out = Json::object();
    if (!reading.timestamp.empty()) out["timestamp"] = reading.timestamp;
    if (reading.status != Reading::Status::Ok) {
        out["ok"] = false;
        out["error"] = reading.status == Reading::Status::NotResponding ? Json() : Json(reading.error);
        out["message"] = reading.message;
        out["monitor_running"] = reading.status != Reading::Status::NotRunning;
        out["responding"] = reading.status != Reading::Status::NotResponding;
        out["monitor_alive"] = Alive(reading);
        return out.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    }
    const vantorix_shared_data& r = reading.record;
    out["ok"] = true;
    out["monitor_alive"] = Alive(reading);
    out["unchanged"] = reading.unchanged;
    out["unchanged_seconds"] = static_cast<float>(reading.unchanged_seconds);
    out["cpu_name"] = CpuName(r);
    out["cpu_total"] = r.cpu_total;
    out["core_total"] = r.core_total;
    out["fahrenheit"] = r.fahrenheit != 0;
    out["distance_to_tj_max"] = r.distance_to_tj_max != 0;
    out["vid_value"] = IfReported(r.vid_value);
    out["cpu_clock"] = IfReported(r.cpu_clock);
    out["fsb_clock"] = IfReported(r.fsb_clock);
    out["clock_multiplier"] = IfReported(r.clock_multiplier);
    const int cores = ShownCores(r);
    out["core_load"] = std::vector<std::int32_t>(r.core_load, r.core_load + cores);
    Json& temp = out["temp"] = Json::array();
    for (int core = 0; core < cores; ++core) {
        temp.push_back(TemperatureReported(r, core) ? Json(r.temp[core]) : Json());
    }
    Json& tj_max = out["tj_max"] = Json::array();
    for (int core = 0; core < ShownTjMax(r); ++core) tj_max.push_back(IfReported(r.tj_max[core]));
    return out.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}
