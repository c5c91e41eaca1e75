#include "LiveSource.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "Lower.h"
#include "Numbers.h"
#include "SourceFile.h"

namespace {

namespace fs = std::filesystem;

std::string ReadProc(const std::string& path) {
    return ReadSourceFile(path, PROC_FILE_LIMIT);
}

std::string ReadSysfs(const std::string& path) {
    return ReadSourceFile(path, SYSFS_FILE_LIMIT);
}

std::string Trim(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// The range a value must lie in to be published; outside it, a file says
// nothing and the reading is left missing.
struct Range {
    long long low;
    long long high;
};
// Millidegrees Celsius: what the 8-bit registers of hwmon chips can hold.
const Range TEMPERATURE = {-128000, 255000};
// A critical temperature: 1 to 255 degrees.
const Range TJ_MAX = {1000, 255000};
// cpufreq's kHz: up to 100 GHz.
const Range CLOCK_KHZ = {1, 100000000};
// CPU, package and core numbers.
const Range ID = {0, 1 << 20};
// /proc/cpuinfo's "cpu MHz".
const double MAX_MHZ = 100000;

// A whole decimal number in `range` and nothing else around it but white
// space: "12abc", "1e400", "" and numbers past the range are refused.
bool ParseWhole(const std::string& text, Range range, long long* value) {
    return ::ParseWhole(SkipSpace(Trim(text)), range.low, range.high, Sign::Allowed, value);
}

// A sysfs value in thousandths (millidegrees, or kHz read as MHz), or false
// when absent, not a number or out of `range`.
bool ReadMilli(const std::string& path, Range range, float* value) {
    long long milli = 0;
    if (!ParseWhole(ReadSysfs(path), range, &milli)) return false;
    *value = static_cast<float>(milli) / 1000.0f;
    return true;
}

// A CPU, package or core number, or -1 when `text` is not one.
int ParseId(const std::string& text) {
    long long id = -1;
    return ParseWhole(text, ID, &id) ? static_cast<int>(id) : -1;
}

// A decimal clock in MHz, 0 to MAX_MHZ, or 0 when `text` is not one.
double ParseMHz(const std::string& text) {
    double mhz = 0;
    return ParseReal(SkipSpace(Trim(text)), 0, MAX_MHZ, &mhz) ? mhz : 0;
}

// The number after `prefix` in `label` ("Core 3" -> 3), or -1.
int NumberAfter(const std::string& label, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    if (label.compare(0, length, prefix) != 0) return -1;
    return ParseId(label.substr(length));
}

// The entries of `directory` in name order (sysfs lists them unordered).
std::vector<fs::path> SortedEntries(const std::string& directory) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
        entries.push_back(entry.path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// tempN_label contents by N, for one hwmon chip.
std::map<int, std::string> TemperatureLabels(const fs::path& chip) {
    std::map<int, std::string> labels;
    for (const fs::path& file : SortedEntries(chip.string())) {
        int index = 0;
        char suffix[16] = {};
        if (std::sscanf(file.filename().string().c_str(), "temp%d_%15s", &index, suffix) == 2 &&
            std::strcmp(suffix, "label") == 0) {
            labels[index] = Trim(ReadSysfs(file.string()));
        }
    }
    return labels;
}

std::string TempFile(const fs::path& chip, int index, const char* what) {
    return (chip / ("temp" + std::to_string(index) + "_" + what)).string();
}

// How well a thermal zone's type describes the processor: 0 best, -1 not at all.
int ZoneRank(const std::string& type) {
    const std::string lower = Lower(type);
    if (lower == "x86_pkg_temp") return 0;
    if (lower.find("cpu") != std::string::npos) return 1;
    if (lower.find("soc") != std::string::npos) return 2;
    if (lower == "acpitz") return 3;
    return -1;
}

}  // namespace

std::map<int, CpuTimes> ParseProcStat(const std::string& text) {
    std::map<int, CpuTimes> cpus;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 3, "cpu") != 0 || line.size() < 4 || line[3] < '0' || line[3] > '9') {
            continue;
        }
        std::istringstream fields(line.substr(3));
        int cpu = 0;
        fields >> cpu;
        // user nice system idle iowait irq softirq steal; guest time is
        // already counted in user and nice.
        std::uint64_t value[8] = {};
        for (std::uint64_t& v : value) fields >> v;
        CpuTimes times;
        for (std::uint64_t v : value) times.total += v;
        times.busy = times.total - value[3] - value[4];
        cpus[cpu] = times;
    }
    return cpus;
}

int LoadPercent(const CpuTimes& before, const CpuTimes& after) {
    if (after.total <= before.total || after.busy < before.busy) return 0;
    const double share = static_cast<double>(after.busy - before.busy) /
                         static_cast<double>(after.total - before.total);
    return std::min(100, std::max(0, static_cast<int>(share * 100.0 + 0.5)));
}

CpuInfo ParseCpuInfo(const std::string& text) {
    CpuInfo info;
    std::set<int> packages;
    std::istringstream lines(text);
    std::string line;
    int cpu = -1;
    while (std::getline(lines, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = Trim(line.substr(0, colon));
        const std::string value = Trim(line.substr(colon + 1));
        if (key == "processor") {
            cpu = ParseId(value);
            if (cpu < 0 || info.topology.count(cpu) != 0) {
                cpu = -1;  // its lines are ignored
                continue;
            }
            info.processors.push_back(cpu);
            info.topology[cpu] = std::make_pair(0, cpu);
        } else if (key == "model name" && info.model_name.empty()) {
            info.model_name = value;
        } else if (key == "physical id" && cpu >= 0 && ParseId(value) >= 0) {
            info.topology[cpu].first = ParseId(value);
            packages.insert(info.topology[cpu].first);
        } else if (key == "core id" && cpu >= 0 && ParseId(value) >= 0) {
            info.topology[cpu].second = ParseId(value);
        } else if (key == "cpu MHz") {
            info.mhz = std::max(info.mhz, ParseMHz(value));
        }
    }
    info.packages = !packages.empty() ? static_cast<int>(packages.size())
                                      : info.processors.empty() ? 0 : 1;
    return info;
}

std::vector<TemperatureSensor> FindHwmonSensors(const std::string& hwmon_directory) {
    std::vector<TemperatureSensor> sensors;
    for (const fs::path& chip : SortedEntries(hwmon_directory)) {
        const std::string name = Trim(ReadSysfs((chip / "name").string()));
        if (name != "coretemp" && name != "k10temp" && name != "zenpower") continue;
        const std::map<int, std::string> labels = TemperatureLabels(chip);
        if (name == "coretemp") {
            int package = 0;
            for (const auto& label : labels) {
                const int id = std::max(NumberAfter(label.second, "Package id "),
                                        NumberAfter(label.second, "Physical id "));
                if (id >= 0) package = id;
            }
            for (const auto& label : labels) {
                TemperatureSensor sensor;
                sensor.core = NumberAfter(label.second, "Core ");
                if (sensor.core < 0) continue;
                sensor.package = package;
                sensor.input = TempFile(chip, label.first, "input");
                ReadMilli(TempFile(chip, label.first, "crit"), TJ_MAX, &sensor.tj_max);
                sensors.push_back(sensor);
            }
        } else {
            // AMD: Tdie where given (Tctl may carry an offset), else Tctl,
            // else the first reading; no TjMax.
            int best = labels.empty() ? 1 : labels.begin()->first;
            for (const auto& label : labels) {
                if (label.second == "Tdie" || (label.second == "Tctl" && labels.at(best) != "Tdie")) {
                    best = label.first;
                }
            }
            TemperatureSensor sensor;
            sensor.input = TempFile(chip, best, "input");
            sensors.push_back(sensor);
        }
    }
    return sensors;
}

std::vector<TemperatureSensor> FindThermalZoneSensors(const std::string& thermal_directory) {
    std::vector<TemperatureSensor> sensors;
    int best_rank = -1;
    for (const fs::path& zone : SortedEntries(thermal_directory)) {
        if (zone.filename().string().compare(0, 12, "thermal_zone") != 0) continue;
        const int rank = ZoneRank(Trim(ReadSysfs((zone / "type").string())));
        if (rank < 0 || (best_rank >= 0 && rank > best_rank)) continue;
        if (rank != best_rank) sensors.clear();
        best_rank = rank;
        TemperatureSensor sensor;
        sensor.input = (zone / "temp").string();
        for (int trip = 0;; ++trip) {
            const std::string prefix = (zone / ("trip_point_" + std::to_string(trip) + "_")).string();
            const std::string type = Trim(ReadSysfs(prefix + "type"));
            if (type.empty()) break;
            if (type == "critical") ReadMilli(prefix + "temp", TJ_MAX, &sensor.tj_max);
        }
        sensors.push_back(sensor);
    }
    return sensors;
}

HwmonReadings ReadSensors(const std::vector<TemperatureSensor>& sensors) {
    HwmonReadings readings;
    for (const TemperatureSensor& sensor : sensors) {
        float value = 0;
        if (!ReadMilli(sensor.input, TEMPERATURE, &value)) continue;
        if (sensor.core >= 0) {
            const std::pair<int, int> place(sensor.package, sensor.core);
            readings.core_temp[place] = value;
            if (sensor.tj_max > 0) readings.core_tj_max[place] = sensor.tj_max;
            continue;
        }
        // Several whole-processor sensors: the hottest, and the lowest limit.
        readings.package_temp = readings.has_package_temp ? std::max(readings.package_temp, value) : value;
        readings.has_package_temp = true;
        if (sensor.tj_max > 0 && (readings.package_tj_max == 0 || sensor.tj_max < readings.package_tj_max)) {
            readings.package_tj_max = sensor.tj_max;
        }
    }
    return readings;
}

HwmonReadings ReadHwmon(const std::string& hwmon_directory) {
    return ReadSensors(FindHwmonSensors(hwmon_directory));
}

CLiveSource::CLiveSource(const std::string& root)
    : root_(root), info_(ParseCpuInfo(ReadProc(root + "/proc/cpuinfo"))) {
    sensors_ = FindHwmonSensors(root_ + "/sys/class/hwmon");
    if (sensors_.empty()) sensors_ = FindThermalZoneSensors(root_ + "/sys/class/thermal");
    for (int cpu : info_.processors) {
        const std::string file = root_ + "/sys/devices/system/cpu/cpu" + std::to_string(cpu) +
                                 "/cpufreq/scaling_cur_freq";
        float mhz = 0;
        if (ReadMilli(file, CLOCK_KHZ, &mhz)) clock_files_.push_back(file);
    }
}

bool CLiveSource::Available() const {
    return !ParseProcStat(ReadProc(root_ + "/proc/stat")).empty();
}

std::vector<std::string> CLiveSource::Missing() const {
    std::vector<std::string> missing;
    const HwmonReadings temperatures = ReadSensors(sensors_);
    if (temperatures.core_temp.empty() && !temperatures.has_package_temp) missing.push_back("temperatures");
    if (temperatures.core_tj_max.empty() && temperatures.package_tj_max == 0) missing.push_back("TjMax");
    if (info_.model_name.empty()) missing.push_back("CPU name");
    if (ClockMHz() == 0) missing.push_back("CPU clock");
    // Linux exposes no bus clock or VID; without the bus clock there is no
    // multiplier either.
    missing.push_back("bus clock");
    missing.push_back("multiplier");
    missing.push_back("VID");
    return missing;
}

float CLiveSource::ClockMHz() const {
    float highest = 0;
    for (const std::string& file : clock_files_) {
        float mhz = 0;
        if (ReadMilli(file, CLOCK_KHZ, &mhz)) highest = std::max(highest, mhz);  // the file holds kHz
    }
    if (clock_files_.empty()) {
        // Without cpufreq, /proc/cpuinfo's figure is the one there is.
        highest = static_cast<float>(ParseCpuInfo(ReadProc(root_ + "/proc/cpuinfo")).mhz);
    }
    return highest;
}

void CLiveSource::Sample(vantorix_shared_data* record) {
    const std::map<int, CpuTimes> times = ParseProcStat(ReadProc(root_ + "/proc/stat"));
    const HwmonReadings temperatures = ReadSensors(sensors_);

    std::memset(record, 0, sizeof(*record));
    const std::size_t cores = std::min<std::size_t>(info_.processors.size(), 256);
    record->core_total = static_cast<std::int32_t>(cores);
    record->cpu_total = info_.packages;
    for (std::size_t i = 0; i < cores; ++i) {
        const int cpu = info_.processors[i];
        const auto now = times.find(cpu);
        const auto before = previous_.find(cpu);
        if (now != times.end()) {
            // The first sample has no interval: its load is the average since boot.
            record->core_load[i] = LoadPercent(before != previous_.end() ? before->second : CpuTimes(),
                                               now->second);
        }
        const std::pair<int, int> place = info_.topology.at(cpu);
        const auto temp = temperatures.core_temp.find(place);
        if (temp != temperatures.core_temp.end()) {
            record->temp[i] = temp->second;
        } else if (temperatures.has_package_temp) {
            record->temp[i] = temperatures.package_temp;
        }
        const auto tj_max = temperatures.core_tj_max.find(place);
        const float limit = tj_max != temperatures.core_tj_max.end() ? tj_max->second : temperatures.package_tj_max;
        if (i < 128) record->tj_max[i] = static_cast<std::int32_t>(limit + 0.5f);
    }
    record->cpu_clock = ClockMHz();
    std::strncpy(record->cpu_name, info_.model_name.c_str(), sizeof(record->cpu_name) - 1);
    previous_ = times;
}
