// This machine's own readings on Linux, from /proc and sysfs, laid out as the
// monitor's record: what vantorix-publisher (and vantorix-standin --live)
// publishes.
#ifndef VANTORIX_PUBLISHER_LIVESOURCE_H
#define VANTORIX_PUBLISHER_LIVESOURCE_H

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
    double mhz = 0;                                 // the highest "cpu MHz" line
    std::vector<int> processors;                    // logical CPU numbers, in order
    std::map<int, std::pair<int, int>> topology;    // CPU -> (physical id, core id)
};
CpuInfo ParseCpuInfo(const std::string& text);

// One temperature sensor of the processor, found once at start.
struct TemperatureSensor {
    std::string input;       // the file that holds its reading, in millidegrees Celsius
    int package = -1;        // the core it measures, as (physical id, core id);
    int core = -1;           // -1: the whole processor, every core
    float tj_max = 0;        // its critical temperature, used as TjMax; 0: none
};

// The sensors of the hwmon chips that describe the processor: coretemp, one
// per core ("Core N", package from "Package id N"/"Physical id N", TjMax from
// tempN_crit); k10temp and zenpower, one for all cores (Tdie, else Tctl,
// else the first reading). Other chips are ignored.
std::vector<TemperatureSensor> FindHwmonSensors(const std::string& hwmon_directory);

// For machines without such a chip: the thermal zones that describe the
// processor, best kind first (x86_pkg_temp; a type naming the CPU, such as
// cpu-thermal or TCPU; one naming the SoC; acpitz), all of the best kind
// found. Each covers every core; its "critical" trip point is TjMax.
std::vector<TemperatureSensor> FindThermalZoneSensors(const std::string& thermal_directory);

// Core temperatures and TjMax in degrees Celsius, read from sensors.
struct HwmonReadings {
    std::map<std::pair<int, int>, float> core_temp;    // (package, core) -> temperature
    std::map<std::pair<int, int>, float> core_tj_max;  // (package, core) -> TjMax
    bool has_package_temp = false;                     // one reading for every core:
    float package_temp = 0;                            // the highest whole-processor sensor
    float package_tj_max = 0;                          // 0: none
};
HwmonReadings ReadSensors(const std::vector<TemperatureSensor>& sensors);
HwmonReadings ReadHwmon(const std::string& hwmon_directory);

class CLiveSource {
public:
    // `root` is prepended to /proc and /sys paths (empty for the machine).
    // Finds the processors, the temperature sensors and the clock files once.
    explicit CLiveSource(const std::string& root);

    // False when there is no /proc/stat under the root.
    bool Available() const;
    // Readings this machine does not have, published as 0.
    std::vector<std::string> Missing() const;

    // Fills `record`; loads are over the time since the previous call.
    void Sample(vantorix_shared_data* record);

    // The published cpu_clock: the highest current clock of the processor's
    // CPUs, in MHz, from cpufreq's scaling_cur_freq, or from /proc/cpuinfo
    // where there is no cpufreq; 0 when neither says.
    float ClockMHz() const;

private:
    std::string root_;
    CpuInfo info_;
    std::vector<TemperatureSensor> sensors_;
    std::vector<std::string> clock_files_;  // cpufreq, one per CPU that has it
    std::map<int, CpuTimes> previous_;
};

#endif  // VANTORIX_PUBLISHER_LIVESOURCE_H
