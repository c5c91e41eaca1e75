// Tests of the stand-in monitor's live source: its parsers on captured trees
// of real machines, and a live run on this one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

#include <ctime>

#include <sys/stat.h>
#include <unistd.h>

#include "LiveSource.h"

namespace {

const std::string DATA = VANTORIX_TEST_DATA "/linux/";

TEST(ProcStatTest, ParsesEveryCpuLineButTheTotal) {
    const std::map<int, CpuTimes> cpus =
        ParseProcStat("cpu  10 0 10 80 0 0 0 0 0 0\n"
                      "cpu0 5 1 4 40 10 0 0 0 2 0\n"
                      "cpu1 0 0 0 50 0 0 0 0 0 0\n"
                      "intr 1 2 3\n");
    ASSERT_EQ(2u, cpus.size());
    EXPECT_EQ(60u, cpus.at(0).total);  // guest time is inside user already
    EXPECT_EQ(10u, cpus.at(0).busy);   // idle and iowait are not busy
    EXPECT_EQ(0u, cpus.at(1).busy);
}

TEST(ProcStatTest, LoadIsTheBusyShareOfTheInterval) {
    EXPECT_EQ(50, LoadPercent({100, 1000}, {150, 1100}));
    EXPECT_EQ(100, LoadPercent({0, 0}, {10, 10}));
    EXPECT_EQ(0, LoadPercent({10, 10}, {10, 10}));   // no time passed
    EXPECT_EQ(0, LoadPercent({10, 100}, {5, 50}));   // counters went back
}

TEST(CpuInfoTest, IntelLaptopWithHyperThreading) {
    CLiveSource source(DATA + "intel-2pkg-coretemp");
    vantorix_shared_data record;
    source.Sample(&record);
    EXPECT_EQ(8, record.core_total);
    EXPECT_EQ(1, record.cpu_total);
    EXPECT_STREQ("Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz", record.cpu_name);
    EXPECT_NEAR(800.083, record.cpu_clock, 0.001);  // the highest "cpu MHz"
    // Logical CPUs 0-3 and 4-7 are cores 0-3: "Core N" of the coretemp chip.
    const float expected[] = {54, 52, 53, 50, 54, 52, 53, 50};
    for (int cpu = 0; cpu < 8; ++cpu) {
        EXPECT_EQ(expected[cpu], record.temp[cpu]) << cpu;
        EXPECT_EQ(100, record.tj_max[cpu]) << cpu;
        EXPECT_GE(record.core_load[cpu], 0);
        EXPECT_LE(record.core_load[cpu], 100);
    }
    EXPECT_EQ(0, record.core_load[8]);
    EXPECT_EQ(0.0f, record.temp[8]);
    // Since boot, cpu0 was busy 44490+19+21045+1+3410 of 1160235 jiffies.
    EXPECT_EQ(6, record.core_load[0]);
    EXPECT_EQ(0.0f, record.fsb_clock);
    EXPECT_EQ(0, record.fahrenheit);
    const std::vector<std::string> missing = source.Missing();
    EXPECT_EQ(std::vector<std::string>({"bus clock", "multiplier", "VID"}), missing);
}

TEST(CpuInfoTest, VirtualMachineWithoutHwmon) {
    CLiveSource source(DATA + "vm-2cpu-no-hwmon");
    ASSERT_TRUE(source.Available());
    vantorix_shared_data record;
    source.Sample(&record);
    EXPECT_EQ(2, record.core_total);
    EXPECT_EQ(1, record.cpu_total);
    EXPECT_STREQ("AMD EPYC", record.cpu_name);
    EXPECT_EQ(0.0f, record.temp[0]);
    EXPECT_EQ(0, record.tj_max[0]);
    const std::vector<std::string> missing = source.Missing();
    EXPECT_EQ("temperatures", missing.at(0));
    EXPECT_EQ("TjMax", missing.at(1));
}

TEST(HwmonTest, IgnoresChipsThatAreNotTheProcessor) {
    const HwmonReadings readings = ReadHwmon(DATA + "intel-2pkg-coretemp/sys/class/hwmon");
    EXPECT_EQ(4u, readings.core_temp.size());  // Core 0-3 of package 0
    EXPECT_FALSE(readings.has_package_temp);
    EXPECT_EQ(0u, ReadHwmon(DATA + "vm-2cpu-no-hwmon/sys/class/hwmon").core_temp.size());
}

// A tree whose files someone else made: a file that blocks, never ends or
// holds no plausible number is refused and its reading left missing (0);
// nothing blocks or grows. In the captured ARM board: cpu-thermal reads
// 47.236, its critical trip point is 90 (given with a reading only), every
// CPU's clock 600 MHz.
enum class Plant { Text, Fifo, DevZero };
struct HostileFile {
    const char* what;
    std::vector<const char*> files;  // under the tree's /sys or /proc
    Plant plant;
    std::string text;
    float temp;
    int tj_max;
    float clock_mhz;
    int cores;
};

const std::vector<const char*> CRIT = {"sys/class/thermal/thermal_zone1/trip_point_1_temp"};
const std::vector<const char*> TEMP = {"sys/class/thermal/thermal_zone1/temp"};
const std::vector<const char*> CLOCKS = {"sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq",
                                         "sys/devices/system/cpu/cpu1/cpufreq/scaling_cur_freq",
                                         "sys/devices/system/cpu/cpu2/cpufreq/scaling_cur_freq",
                                         "sys/devices/system/cpu/cpu3/cpufreq/scaling_cur_freq"};

// A /proc/cpuinfo listing CPUs 0 to count - 1.
std::string CpuInfo(int count) {
    std::string text;
    for (int cpu = 0; cpu < count; ++cpu) text += "processor\t: " + std::to_string(cpu) + "\n";
    return text;
}

const HostileFile HOSTILE_FILES[] = {
    {"as captured", {}, Plant::Text, "", 47.236f, 90, 600, 4},
    {"FIFO as TjMax", CRIT, Plant::Fifo, "", 47.236f, 0, 600, 4},
    {"FIFO as temperature", TEMP, Plant::Fifo, "", 0, 0, 600, 4},
    {"FIFO as /proc/cpuinfo", {"proc/cpuinfo"}, Plant::Fifo, "", 47.236f, 90, 0, 0},
    {"/dev/zero as TjMax", CRIT, Plant::DevZero, "", 47.236f, 0, 600, 4},
    {"/dev/zero as /proc/cpuinfo", {"proc/cpuinfo"}, Plant::DevZero, "", 47.236f, 90, 0, 0},
    {"huge TjMax", CRIT, Plant::Text, "99999999999999999999\n", 47.236f, 0, 600, 4},
    {"huge temperature", TEMP, Plant::Text, "99999999999999999999\n", 0, 0, 600, 4},
    {"huge clock", CLOCKS, Plant::Text, "99999999999999999999\n", 47.236f, 90, 0, 4},
    {"temperature past 255 degrees", TEMP, Plant::Text, "300000\n", 0, 0, 600, 4},
    {"TjMax past 255 degrees", CRIT, Plant::Text, "300000\n", 47.236f, 0, 600, 4},
    {"trailing garbage in TjMax", CRIT, Plant::Text, "85000abc\n", 47.236f, 0, 600, 4},
    {"trailing garbage in temperature", TEMP, Plant::Text, "12abc\n", 0, 0, 600, 4},
    {"zero byte in temperature", TEMP, Plant::Text, std::string("45000\0" "7", 7), 0, 0, 600, 4},
    {"1e400 as temperature", TEMP, Plant::Text, "1e400\n", 0, 0, 600, 4},
    {"1e400 as clock", CLOCKS, Plant::Text, "1e400\n", 47.236f, 90, 0, 4},
    {"negative TjMax", CRIT, Plant::Text, "-5000\n", 47.236f, 0, 600, 4},
    {"negative clock", CLOCKS, Plant::Text, "-600000\n", 47.236f, 90, 0, 4},
    {"negative temperature, a real one", TEMP, Plant::Text, "-5000\n", -5, 90, 600, 4},
    {"a value longer than a page", TEMP, Plant::Text, std::string(8192, '1'), 0, 0, 600, 4},
    {"a value padded past the read limit", TEMP, Plant::Text, "45000" + std::string(5000, ' ') + "\n", 0, 0, 600, 4},
    {"a fractional TjMax, rounded", CRIT, Plant::Text, "89600\n", 47.236f, 90, 600, 4},
    {"a processor listed twice", {"proc/cpuinfo"}, Plant::Text, CpuInfo(4) + "processor\t: 3\n", 47.236f, 90, 600, 4},
    {"more CPUs than TjMax slots", {"proc/cpuinfo"}, Plant::Text, CpuInfo(130), 47.236f, 90, 600, 130},
};

TEST(LiveSourceTest, HostileFilesAreRefusedWithoutBlocking) {
    namespace fs = std::filesystem;
    for (const HostileFile& row : HOSTILE_FILES) {
        SCOPED_TRACE(row.what);
        const fs::path root = fs::temp_directory_path() /
                              ("vantorix-hostile-tree-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::copy(DATA + "made-arm64-thermal-zone", root, fs::copy_options::recursive);
        for (const char* file : row.files) {
            const fs::path path = root / file;
            fs::remove(path);
            if (row.plant == Plant::Fifo) {
                ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
            } else if (row.plant == Plant::DevZero) {
                fs::create_symlink("/dev/zero", path);
            } else {
                std::ofstream(path, std::ios::binary) << row.text;
            }
        }
        // On a thread of its own, so that a source that blocks fails the row
        // instead of hanging the suite (the blocked thread is left behind).
        auto sample = std::make_shared<std::packaged_task<vantorix_shared_data()>>([root] {
            CLiveSource source(root.string());
            vantorix_shared_data record;
            source.Sample(&record);
            source.Sample(&record);  // a republish reads every file again
            return record;
        });
        std::future<vantorix_shared_data> done = sample->get_future();
        std::thread([sample] { (*sample)(); }).detach();
        ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(20))) << "the source blocked";
        const vantorix_shared_data record = done.get();
        EXPECT_EQ(row.cores, record.core_total);
        EXPECT_EQ(row.clock_mhz, record.cpu_clock);
        for (int core = 0; core < row.cores; ++core) {
            EXPECT_EQ(row.temp, record.temp[core]) << core;
            if (core < 128) {  // its slots
                EXPECT_EQ(row.tj_max, record.tj_max[core]) << core;
            }
        }
        fs::remove_all(root);
    }
}

TEST(LiveSourceTest, MissingTreeIsNotAvailable) {
    EXPECT_FALSE(CLiveSource(DATA + "no-such-machine").Available());
}

// Waits until `done()`, checked every 10 ms; false after a minute.
template <typename Done>
bool WaitUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The clock ticks this machine's CPUs have counted, all states together.
unsigned long long MachineTicks() {
    unsigned long long total = 0;
    std::ifstream file("/proc/stat");
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const auto& cpu : ParseProcStat(text)) total += cpu.second.total;
    return total;
}

// The CPU time this process has used, in seconds.
double ProcessSeconds() {
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// Tests the live source on this machine: one core per online CPU, and loads
// that rise while every CPU is kept busy.
TEST(LiveSourceTest, ThisMachinesLoadFollowsABusyProcess) {
    CLiveSource source("");
    ASSERT_TRUE(source.Available());
    vantorix_shared_data record;
    source.Sample(&record);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_EQ(online, record.core_total);

    // An interval of at least 50 ticks a CPU to measure over.
    const unsigned long long ticks = MachineTicks();
    ASSERT_TRUE(WaitUntil([&] { return MachineTicks() >= ticks + 50 * static_cast<unsigned long long>(online); }));
    source.Sample(&record);
    int idle_total = 0;
    for (int i = 0; i < record.core_total; ++i) idle_total += record.core_load[i];

    std::atomic<bool> stop(false);
    std::vector<std::thread> spinners;
    for (long i = 0; i < online; ++i) {
        spinners.emplace_back([&stop] {
            volatile unsigned long sink = 0;
            while (!stop) sink = sink + 1;
        });
    }
    // Until the spinners have really run for 0.7 s a CPU, however busy the
    // machine is with other work.
    const double used = ProcessSeconds();
    const bool spun = WaitUntil([&] { return ProcessSeconds() >= used + 0.7 * static_cast<double>(online); });
    source.Sample(&record);
    stop = true;
    for (std::thread& spinner : spinners) spinner.join();
    ASSERT_TRUE(spun) << "the spinners did not get 0.7 s of CPU a CPU within a minute";

    int busy_total = 0;
    for (int i = 0; i < record.core_total; ++i) {
        EXPECT_GE(record.core_load[i], 0);
        EXPECT_LE(record.core_load[i], 100);
        busy_total += record.core_load[i];
    }
    EXPECT_GE(busy_total, 50 * record.core_total) << "every CPU was spinning";
    // The rise shows only where the machine had room before: something else
    // may already keep every CPU busy.
    if (idle_total <= 90 * record.core_total) {
        EXPECT_GT(busy_total, idle_total);
    }
}

}  // namespace
