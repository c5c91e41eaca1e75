#include "LiveSource.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Trim(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// A sysfs value in thousandths (millidegrees), or false when absent.
bool ReadMilli(const std::string& path, float* value) {
    const std::string text = Trim(ReadFile(path));
    if (text.empty()) return false;
    char* end = nullptr;
    const long milli = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str()) return false;
    *value = static_cast<float>(milli) / 1000.0f;
    return true;
}

// The number after `prefix` in `label` ("Core 3" -> 3), or -1.
int NumberAfter(const std::string& label, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    if (label.compare(0, length, prefix) != 0) return -1;
    return std::atoi(label.c_str() + length);
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
            cpu = std::atoi(value.c_str());
            info.processors.push_back(cpu);
            info.topology[cpu] = std::make_pair(0, cpu);
        } else if (key == "model name" && info.model_name.empty()) {
            info.model_name = value;
        } else if (key == "physical id" && cpu >= 0) {
            info.topology[cpu].first = std::atoi(value.c_str());
            packages.insert(info.topology[cpu].first);
        } else if (key == "core id" && cpu >= 0) {
            info.topology[cpu].second = std::atoi(value.c_str());
        } else if (key == "cpu MHz" && info.mhz == 0) {
            info.mhz = std::atof(value.c_str());
        }
    }
    info.packages = !packages.empty() ? static_cast<int>(packages.size())
                                      : info.processors.empty() ? 0 : 1;
    return info;
}

HwmonReadings ReadHwmon(const std::string& hwmon_directory) {
    namespace fs = std::filesystem;
    HwmonReadings readings;
    std::error_code error;
    std::vector<fs::path> chips;
    for (const fs::directory_entry& entry : fs::directory_iterator(hwmon_directory, error)) {
        chips.push_back(entry.path());
    }
    std::sort(chips.begin(), chips.end());
    for (const fs::path& chip : chips) {
        const std::string name = Trim(ReadFile((chip / "name").string()));
        if (name != "coretemp" && name != "k10temp" && name != "zenpower") continue;
        // tempN_label / tempN_input pairs, N from 1 up.
        std::map<int, std::string> labels;
        for (const fs::directory_entry& file : fs::directory_iterator(chip, error)) {
            const std::string base = file.path().filename().string();
            int index = 0;
            char suffix[16] = {};
            if (std::sscanf(base.c_str(), "temp%d_%15s", &index, suffix) == 2 &&
                std::strcmp(suffix, "label") == 0) {
                labels[index] = Trim(ReadFile(file.path().string()));
            }
        }
        const auto input = [&](int index) { return (chip / ("temp" + std::to_string(index) + "_input")).string(); };
        const auto crit = [&](int index) { return (chip / ("temp" + std::to_string(index) + "_crit")).string(); };
        if (name == "coretemp") {
            int package = 0;
            for (const auto& label : labels) {
                const int id = std::max(NumberAfter(label.second, "Package id "),
                                        NumberAfter(label.second, "Physical id "));
                if (id >= 0) package = id;
            }
            for (const auto& label : labels) {
                const int core = NumberAfter(label.second, "Core ");
                float value = 0;
                if (core < 0 || !ReadMilli(input(label.first), &value)) continue;
                readings.core_temp[std::make_pair(package, core)] = value;
                if (ReadMilli(crit(label.first), &value)) {
                    readings.core_tj_max[std::make_pair(package, core)] = value;
                }
            }
        } else {
            // AMD: Tdie where given, else Tctl, else the first reading.
            int best = labels.empty() ? 1 : labels.begin()->first;
            for (const auto& label : labels) {
                if (label.second == "Tdie" || (label.second == "Tctl" && labels[best] != "Tdie")) {
                    best = label.first;
                }
            }
            float value = 0;
            if (ReadMilli(input(best), &value)) {
                readings.has_package_temp = true;
                readings.package_temp = value;
            }
        }
    }
    return readings;
}

CLiveSource::CLiveSource(const std::string& root) : root_(root) {}

bool CLiveSource::Available() const {
    return !ParseProcStat(ReadFile(root_ + "/proc/stat")).empty();
}

std::vector<std::string> CLiveSource::Missing() const {
    std::vector<std::string> missing;
    const HwmonReadings hwmon = ReadHwmon(root_ + "/sys/class/hwmon");
    if (hwmon.core_temp.empty() && !hwmon.has_package_temp) missing.push_back("temperatures");
    if (hwmon.core_tj_max.empty()) missing.push_back("TjMax");
    const CpuInfo info = ParseCpuInfo(ReadFile(root_ + "/proc/cpuinfo"));
    if (info.model_name.empty()) missing.push_back("CPU name");
    float mhz = 0;
    if (info.mhz == 0 && !ReadMilli(root_ + "/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", &mhz)) {
        missing.push_back("CPU clock");
    }
    // Linux exposes no bus clock or VID; without the bus clock there is no
    // multiplier either.
    missing.push_back("bus clock");
    missing.push_back("multiplier");
    missing.push_back("VID");
    return missing;
}

void CLiveSource::Sample(vantorix_shared_data* record) {
    const std::map<int, CpuTimes> times = ParseProcStat(ReadFile(root_ + "/proc/stat"));
    const CpuInfo info = ParseCpuInfo(ReadFile(root_ + "/proc/cpuinfo"));
    const HwmonReadings hwmon = ReadHwmon(root_ + "/sys/class/hwmon");

    std::memset(record, 0, sizeof(*record));
    const std::size_t cores = std::min<std::size_t>(info.processors.size(), 256);
    record->core_total = static_cast<std::int32_t>(cores);
    record->cpu_total = info.packages;
    for (std::size_t i = 0; i < cores; ++i) {
        const int cpu = info.processors[i];
        const auto now = times.find(cpu);
        const auto before = previous_.find(cpu);
        if (now != times.end()) {
            // The first sample has no interval: its load is the average since boot.
            record->core_load[i] = LoadPercent(before != previous_.end() ? before->second : CpuTimes(),
                                               now->second);
        }
        const std::pair<int, int> place = info.topology.at(cpu);
        const auto temp = hwmon.core_temp.find(place);
        if (temp != hwmon.core_temp.end()) {
            record->temp[i] = temp->second;
        } else if (hwmon.has_package_temp) {
            record->temp[i] = hwmon.package_temp;
        }
        const auto tj_max = hwmon.core_tj_max.find(place);
        if (i < 128 && tj_max != hwmon.core_tj_max.end()) {
            record->tj_max[i] = static_cast<std::int32_t>(tj_max->second + 0.5f);
        }
    }
    float mhz = 0;
    if (ReadMilli(root_ + "/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", &mhz)) {
        record->cpu_clock = mhz;  // the file holds kHz
    } else {
        record->cpu_clock = static_cast<float>(info.mhz);
    }
    std::strncpy(record->cpu_name, info.model_name.c_str(), sizeof(record->cpu_name) - 1);
    previous_ = times;
}
