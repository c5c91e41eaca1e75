// The history --serve keeps: each minute's minimum, mean and maximum over a
// known pattern of reads, missing readings left out rather than counted as
// 0, and the query parsed strictly.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "History.h"

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
            if (n > 0) EXPECT_GE(t - samples[n - 1]["t"].get<std::int64_t>(), row.least_gap) << n;
            const std::int64_t read = (t - T0) / row.every_ms;  // a minute's: its first read's
            const float first = static_cast<float>(1 + read % 1000);
            EXPECT_EQ(first, samples[n].contains("temp_min") ? samples[n]["temp_min"][0].get<float>()
                                                             : samples[n]["temp"][0].get<float>()) << n;
        }
    }
}
