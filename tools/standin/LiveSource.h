// The stand-in monitor's live source on Linux: the machine's own readings
// from /proc and sysfs, laid out as the monitor's record.
#ifndef VANTORIX_STANDIN_LIVESOURCE_H
#define VANTORIX_STANDIN_LIVESOURCE_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "GetVantorixInfo.h"

// Busy and total jiffies of one CPU, from a "cpuN" line of /proc/stat.
struct CpuTimes {
    std::uint64_t busy = 0;
    std::uint64_t total = 0;
};
// Per-CPU times by CPU number ("cpu" totals are skipped).
std::map<int, CpuTimes> ParseProcStat(const std::string& text);
// Load in percent, 0-100, between two samples.
int LoadPercent(const CpuTimes& before, const CpuTimes& after);

struct CpuInfo {
    std::string model_name;
    int packages = 0;                               // distinct physical ids
    double mhz = 0;                                 // first "cpu MHz" line
    std::vector<int> processors;                    // logical CPU numbers, in order
    std::map<int, std::pair<int, int>> topology;    // CPU -> (physical id, core id)
};
CpuInfo ParseCpuInfo(const std::string& text);

// Core temperatures and TjMax in degrees Celsius from the hwmon chips that
// describe the processor: coretemp per core ("Core N", package from
// "Package id N"/"Physical id N"), k10temp and zenpower one reading for all.
struct HwmonReadings {
    std::map<std::pair<int, int>, float> core_temp;    // (package, core) -> temperature
    std::map<std::pair<int, int>, float> core_tj_max;  // (package, core) -> TjMax
    bool has_package_temp = false;                     // k10temp-style single reading
    float package_temp = 0;
};
HwmonReadings ReadHwmon(const std::string& hwmon_directory);

class CLiveSource {
public:
    // `root` is prepended to /proc and /sys paths (empty for the machine).
    explicit CLiveSource(const std::string& root);

    // False when there is no /proc/stat under the root.
    bool Available() const;
    // Readings this machine does not have, published as 0.
    std::vector<std::string> Missing() const;

    // Fills `record`; loads are over the time since the previous call.
    void Sample(vantorix_shared_data* record);

private:
    std::string root_;
    std::map<int, CpuTimes> previous_;
};

#endif  // VANTORIX_STANDIN_LIVESOURCE_H
