// The history --serve keeps: each minute's minimum, mean and maximum over a
// known pattern of reads, missing readings left out rather than counted as
// 0, and the query parsed strictly.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <vector>

#include "history/History.h"
#include "history/HistoryFile.h"
#include "history/HistoryFormat.h"

namespace {

const std::int64_t T0 = 1796733120000;  // a whole minute

// Three minutes of reads a second apart. Core 0: 40 + i % 60 (min 40, mean
// 69.5, max 99). Core 1: not reported (0) in the second minute, and NaN in
// its first ten reads of the first. Load: i % 4 * 10. The third minute has
// twenty failed reads, which add nothing, and then a distance-mode record,
// where 0 is a reading. The fourth minute ends with a failed read, which
// takes nothing from it; a read of the fifth closes it.
Reading Read(int i) {
    Reading reading;
    reading.status = Reading::Status::Ok;
    vantorix_shared_data& r = reading.record;
    r.core_total = 2;
    r.cpu_clock = i < 60 ? 3000.0f + static_cast<float>(i) : 0.0f;
    r.temp[0] = 40.0f + static_cast<float>(i % 60);
    r.temp[1] = i < 10 ? NAN : i >= 60 && i < 120 ? 0.0f : 50.0f;
    r.core_load[0] = r.core_load[1] = i % 4 * 10;
    if ((i >= 120 && i < 140) || i == 239) reading.status = Reading::Status::NotRunning;
    if (i >= 170) r.distance_to_tj_max = 1, r.temp[1] = 0.0f;
    return reading;
}

}  // namespace

TEST(History, MinuteFiguresOfAKnownPattern) {
    CHistory history(1.0);
    for (int i = 0; i < 241; ++i) history.Add(Read(i), T0 + i * 1000);
    const auto json = nlohmann::json::parse(history.RenderJson(86400, -1, T0 + 241000));
    ASSERT_EQ("minute", json["aggregate"]);
    const auto& minutes = json["samples"];
    ASSERT_EQ(5u, minutes.size());
    const nlohmann::json null;
    struct Row {
        int minute;
        const char* key;
        int core;  // -1: a scalar
        nlohmann::json min, mean, max;
    } rows[] = {
        {0, "temp", 0, 40, 69.5, 99},
        {1, "temp", 0, 40, 69.5, 99},
        {2, "temp", 0, 60, 79.5, 99},  // the failed reads (i % 60 < 20) left out
        {0, "temp", 1, 50, 50, 50},    // NaN left out
        {1, "temp", 1, null, null, null},
        {2, "temp", 1, 0, 37.5, 50},  // 30 reads of 50, then 10 of 0 that are readings
        {0, "load", 1, 0, 15, 30},
        {2, "load", 0, 0, 15, 30},
        {0, "cpu_clock", -1, 3000, 3029.5, 3059},
        {1, "cpu_clock", -1, null, null, null},
        {3, "temp", 0, 40, 69, 98},  // its last read failed
    };
    for (const Row& row : rows) {
        const auto& minute = minutes[row.minute];
        EXPECT_EQ(T0 + row.minute * 60000, minute["t"].get<std::int64_t>());
        const std::string key = row.key;
        const auto figure = [&](const std::string& name) {
            return row.core < 0 ? minute.at(name) : minute.at(name).at(row.core);
        };
        EXPECT_EQ(row.min, figure(key + "_min")) << row.minute << " " << key << " " << row.core;
        EXPECT_EQ(row.mean, figure(key)) << row.minute << " " << key << " " << row.core;
        EXPECT_EQ(row.max, figure(key + "_max")) << row.minute << " " << key << " " << row.core;
    }
    // The reads themselves for the last hour: missing is null, not 0.
    const auto raw = nlohmann::json::parse(history.RenderJson(3600, T0 + 60000, T0 + 241000))["samples"];
    ASSERT_EQ(180u, raw.size());
    EXPECT_EQ(T0 + 61000, raw[0]["t"].get<std::int64_t>());
    EXPECT_EQ(nlohmann::json::parse("[41.0,null]"), raw[0]["temp"]);
    EXPECT_EQ(nlohmann::json::parse("[]"), raw[60]["temp"]);  // a failed read
}

TEST(History, QueriesAreParsedStrictly) {
    CHistory history(1.0);
    const struct {
        const char* query;
        int status;
    } cases[] = {
        {"seconds=300", 200},  {"seconds=86400&since=1796733120000", 200}, {"since=5&seconds=1", 200},
        {"", 400},             {"seconds=0", 400},      {"seconds=86401", 400},     {"seconds=-1", 400},
        {"seconds=+5", 400},   {"seconds=5x", 400},     {"seconds= 5", 400},        {"seconds=5&seconds=5", 400},
        {"seconds=5&", 400},   {"seconds=5&x=1", 400},  {"seconds", 400},           {"since=1", 400},
        {"seconds=5&since=", 400}, {"seconds=1e3", 400}, {"seconds=99999999999999999999", 400},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.status, AnswerHistory(history, c.query, T0).status) << c.query;
    }
}

// The history file: what a restarted server takes back is what was kept, a
// response still being sent keeps its texts while the rings move on, and a
// file that is not one of ours, whole and safe, is never trusted.
namespace {

const std::int64_t NOW = T0 + 180000;

std::string Saved180() {
    CHistory history(1.0);
    for (int i = 0; i < 180; ++i) history.Add(Read(i), T0 + i * 1000);
    return history.FileBytes();
}

// The bytes with their checksum made right again, so that a later check is
// the one that refuses them.
std::string Resealed(std::string bytes) {
    const std::uint64_t sum = HistoryChecksum(bytes.data(), bytes.size() - 8);
    std::memcpy(&bytes[bytes.size() - 8], &sum, 8);
    return bytes;
}

template <typename T>
std::string With(std::string bytes, std::size_t at, T value) {
    std::memcpy(&bytes[at], &value, sizeof value);
    return Resealed(bytes);
}

struct Scratch {
    std::string dir;
    Scratch() {
        char name[] = "/tmp/history-test-XXXXXX";
        dir = mkdtemp(name);
    }
    ~Scratch() { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
        return dir + "/" + name;
    }
};

std::size_t Samples(const CHistory& history, long seconds) {
    return nlohmann::json::parse(history.RenderJson(seconds, -1, NOW))["samples"].size();
}

}  // namespace

TEST(HistoryFile, ARestartedServerShowsWhatWasKept) {
    CHistory history(1.0);
    for (int i = 0; i < 180; ++i) history.Add(Read(i), T0 + i * 1000);
    const HistoryAnswer held = history.Answer(3600, -1, NOW);
    const std::string hour = Joined(held), day = history.RenderJson(86400, -1, NOW);
    Scratch scratch;
    std::string why;
    ASSERT_TRUE(WriteHistoryFile(scratch.dir + "/state/history", history.FileBytes(), &why)) << why;
    CHistory restarted(1.0);
    ASSERT_TRUE(RestoreHistory(&restarted, scratch.dir + "/state/history", NOW, &why)) << why;
    EXPECT_EQ(hour, restarted.RenderJson(3600, -1, NOW));
    // Only closed minutes are kept: the one in progress is not.
    const auto minutes = nlohmann::json::parse(day)["samples"];
    EXPECT_EQ(nlohmann::json(minutes.begin(), minutes.end() - 1),
              nlohmann::json::parse(restarted.RenderJson(86400, -1, NOW))["samples"]);
    // A full ring of newer reads later, the answer still holds its texts.
    for (int i = 0; i < CHistory::RAW_SAMPLES; ++i) history.Add(Read(i), NOW + i * 1000);
    EXPECT_EQ(hour, Joined(held));
}

TEST(HistoryFile, FilesThatAreNotWholeSafeAndOursAreIgnored) {
    const std::string good = Saved180();
    const std::size_t first_row = 32;  // its time (i64), then its core count (u32)
    Scratch scratch;
    const struct {
        const char* name;
        std::function<std::string()> make;  // the file's path
    } cases[] = {
        {"truncated", [&] { return scratch.Write("a", good.substr(0, good.size() - 100)); }},
        {"truncated, resealed", [&] { return scratch.Write("b", Resealed(good.substr(0, good.size() - 100))); }},
        {"foreign magic", [&] { return scratch.Write("c", "PNG" + good.substr(3)); }},
        {"version 2", [&] { return scratch.Write("d", With(good, 8, std::uint32_t{2})); }},
        {"3601 reads", [&] { return scratch.Write("e", With(good, 12, std::uint32_t{3601})); }},
        {"257 cores", [&] { return scratch.Write("f", With(good, first_row + 8, std::uint32_t{257})); }},
        {"saved in the future", [&] { return scratch.Write("g", With(good, 24, NOW + 1)); }},
        {"a read after it was saved", [&] { return scratch.Write("h", With(good, first_row, T0 + 3600000)); }},
        {"a negative time", [&] { return scratch.Write("i", With(good, first_row, std::int64_t{-1})); }},
        {"bad checksum", [&] { return scratch.Write("j", good.substr(0, 100) + "x" + good.substr(101)); }},
        {"trailing bytes",
         [&] { return scratch.Write("k", Resealed(good.substr(0, good.size() - 8) + "12345678" + "sum-....")); }},
        {"empty", [&] { return scratch.Write("l", ""); }},
        {"a symbolic link",
         [&] {
             const std::string path = scratch.dir + "/link";
             EXPECT_EQ(0, symlink(scratch.Write("m", good).c_str(), path.c_str()));
             return path;
         }},
        {"a FIFO",
         [&] {
             const std::string path = scratch.dir + "/fifo";
             EXPECT_EQ(0, mkfifo(path.c_str(), 0600));
             return path;
         }},
        {"a directory",
         [&] {
             const std::string path = scratch.dir + "/dir";
             EXPECT_EQ(0, mkdir(path.c_str(), 0700));
             return path;
         }},
        {"another user's file",
         [&] {
             if (geteuid() != 0) return std::string();
             const std::string path = scratch.Write("n", good);
             EXPECT_EQ(0, chown(path.c_str(), 65534, 65534));
             return path;
         }},
        {"oversize",
         [&] {
             const std::string path = scratch.Write("o", good);
             EXPECT_EQ(0, truncate(path.c_str(), static_cast<off_t>(HistoryFileLimit() + 1)));
             return path;
         }},
    };
    CHistory control(1.0);
    std::string control_why;
    EXPECT_TRUE(RestoreHistory(&control, scratch.Write("good", good), NOW, &control_why)) << control_why;
    ASSERT_EQ(180u, Samples(control, 3600));
    for (const auto& c : cases) {
        const std::string path = c.make();
        if (path.empty()) continue;  // needs root
        std::string bytes, why;
        if (ReadHistoryFile(path, HistoryFileLimit(), &bytes, &why)) CHistory(1.0).Restore(bytes, NOW, &why);
        EXPECT_NE("", why) << c.name;
        CHistory history(1.0);
        EXPECT_FALSE(RestoreHistory(&history, path, NOW, &why)) << c.name;
        EXPECT_EQ(0u, Samples(history, 3600)) << c.name;
        EXPECT_EQ(0u, Samples(history, 86400)) << c.name;
    }
}

// What saves killed midway left beside the file goes at the next start, and
// only that: no file of another naming, no symbolic link (nor what it points
// to), no FIFO, directory or other user's file, none a save still writes.
TEST(HistoryFile, EarlierSavesTemporariesGoAtStart) {
    Scratch scratch;
    const std::string target = scratch.Write("target", "x");
    int held = -1;
    const auto file = [](const std::string& path) { return static_cast<bool>(std::ofstream(path) << "t"); };
    const struct {
        const char* name;
        std::function<bool(const std::string& path)> plant;  // false: not here (needs root)
        bool goes;
    } rows[] = {
        {"history.Ab3xY9", file, true},
        {"history.Ab3xY0", [&](const std::string& p) {
             held = open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
             return held >= 0 && flock(held, LOCK_EX) == 0;  // a save in progress
         }, false},
        {"history.Ab3x", file, false},
        {"history.Ab3xY9z", file, false},
        {"history.Ab3-Y9", file, false},
        {"other.Ab3xY9", file, false},
        {"history.Link01", [&](const std::string& p) { return symlink(target.c_str(), p.c_str()) == 0; }, false},
        {"history.Fifo01", [&](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; }, false},
        {"history.Dir001", [&](const std::string& p) { return mkdir(p.c_str(), 0700) == 0; }, false},
        {"history.Other1", [&](const std::string& p) {
             return geteuid() == 0 && file(p) && chown(p.c_str(), 65534, 65534) == 0;
         }, false},
    };
    std::vector<bool> planted;
    for (const auto& row : rows) planted.push_back(row.plant(scratch.dir + "/" + row.name));
    { CHistoryFile started(scratch.dir + "/history"); }
    for (std::size_t n = 0; n < planted.size(); ++n) {
        struct stat status {};
        const bool there = lstat((scratch.dir + "/" + rows[n].name).c_str(), &status) == 0;
        if (planted[n]) {
            EXPECT_EQ(!rows[n].goes, there) << rows[n].name;
        }
    }
    struct stat status {};
    EXPECT_EQ(0, stat(target.c_str(), &status));
    if (held >= 0) close(held);
}

// Each ring covers its span and no more, whatever the pace of the reads, and
// a since= on a minute's boundary leaves that minute out. A row: the
// --interval, ms between reads, how many, the query's seconds and since (ms
// after the first read; -1: none); the first sample's time expected (ms
// before the last read), and the least gap between samples.
TEST(History, RingsCoverTheirSpan) {
    const struct {
        const char* what;
        double interval;
        std::int64_t every_ms;
        int reads;
        long seconds;
        std::int64_t since;
        std::int64_t first_before_last;
        std::int64_t least_gap;
    } rows[] = {
        // Every second read kept: the first within the hour is read 858.
        {"reads every 0.7 s, thinned to cover the hour", 0.7, 700, 6000, 3600, -1, (5999 - 858) * 700, 1400},
        // 1,499 minutes closed, the last 1,440 kept, and the open one.
        {"minutes past 24 hours", 1.0, 60000, 1500, 86400, -1, 1440 * 60000, 60000},
        {"since= a minute's last ms: from the next minute", 1.0, 1000, 600, 86400, 60000 - 1, 539000, 60000},
        {"since= a minute's first ms: that minute still", 1.0, 1000, 600, 86400, 60000, 539000, 60000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        CHistory history(row.interval);
        Reading reading;
        reading.status = Reading::Status::Ok;
        reading.record.core_total = 1;
        const std::int64_t last = T0 + (row.reads - 1) * row.every_ms;
        for (int i = 0; i < row.reads; ++i) {
            reading.record.temp[0] = static_cast<float>(1 + i % 1000);  // names its read (0: not reported)
            history.Add(reading, T0 + i * row.every_ms);
        }
        const auto samples = nlohmann::json::parse(
            history.RenderJson(row.seconds, row.since < 0 ? -1 : T0 + row.since, last))["samples"];
        ASSERT_FALSE(samples.empty());
        EXPECT_EQ(last - row.first_before_last, samples[0]["t"].get<std::int64_t>());
        for (std::size_t n = 0; n < samples.size(); ++n) {
            const std::int64_t t = samples[n]["t"].get<std::int64_t>();
            if (n > 0) {
                EXPECT_GE(t - samples[n - 1]["t"].get<std::int64_t>(), row.least_gap) << n;
            }
            const std::int64_t read = (t - T0) / row.every_ms;  // a minute's: its first read's
            const float first = static_cast<float>(1 + read % 1000);
            EXPECT_EQ(first, samples[n].contains("temp_min") ? samples[n]["temp_min"][0].get<float>()
                                                             : samples[n]["temp"][0].get<float>()) << n;
        }
    }
}
