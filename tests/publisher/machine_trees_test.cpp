// What the publisher's live source makes of machines whose readings come
// from other sources than the captured Intel laptop: k10temp with cpufreq,
// and thermal zones on a machine without a processor hwmon driver.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LiveSource.h"

namespace {

struct Machine {
    const char* tree;
    int cores;
    const char* name;
    float temp;       // every core's
    int tj_max;       // every core's
    float clock_mhz;  // the highest CPU's
    std::vector<std::string> missing;
};

const Machine MACHINES[] = {
    // Tdie, not Tctl (offset) nor the acpitz zone; no TjMax from k10temp;
    // cpufreq's highest clock, not the first CPU's nor /proc/cpuinfo's.
    {"made-amd-k10temp-cpufreq", 8, "AMD Ryzen 5 1500X Quad-Core Processor", 51.25f, 0, 3700.0f,
     {"TjMax", "bus clock", "multiplier", "VID"}},
    // The cpu-thermal zone, not the hotter gpu one listed first; its
    // critical trip point, not the passive one, is TjMax.
    {"made-arm64-thermal-zone", 4, "", 47.236f, 90, 600.0f, {"CPU name", "bus clock", "multiplier", "VID"}},
};

TEST(MachineTreesTest, EachSourceLandsInTheRecord) {
    for (const Machine& machine : MACHINES) {
        SCOPED_TRACE(machine.tree);
        CLiveSource source(std::string(VANTORIX_TEST_DATA "/linux/") + machine.tree);
        ASSERT_TRUE(source.Available());
        vantorix_shared_data record;
        source.Sample(&record);
        EXPECT_EQ(machine.cores, record.core_total);
        EXPECT_EQ(1, record.cpu_total);
        EXPECT_STREQ(machine.name, record.cpu_name);
        EXPECT_EQ(machine.clock_mhz, record.cpu_clock);
        for (int core = 0; core < machine.cores; ++core) {
            EXPECT_EQ(machine.temp, record.temp[core]) << core;
            EXPECT_EQ(machine.tj_max, record.tj_max[core]) << core;
        }
        EXPECT_EQ(0.0f, record.temp[machine.cores]);
        EXPECT_EQ(machine.missing, source.Missing());
    }
}

}  // namespace
