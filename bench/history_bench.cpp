// What /api/history costs the serving thread, and what keeping it costs the
// reading thread, with full rings (an hour of reads, 24 hours of minutes) of
// 4 and of 256 cores. Run: build/bench/bin/vantorix_history_bench (the
// `bench` preset); with --write-history FILE CORES it writes such a history
// as a file for vantorix-info --serve --history-file (bench/history_cost.py).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "history/History.h"
#include "history/HistoryFile.h"
#include "history/HistoryFormat.h"

namespace {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Plausible readings: temperatures with one decimal, whole loads.
Reading Read(int cores, long i) {
    Reading reading;
    reading.status = Reading::Status::Ok;
    vantorix_shared_data& r = reading.record;
    r.core_total = static_cast<std::uint32_t>(cores);
    r.cpu_clock = 3000.0f + static_cast<float>(i % 700);
    for (int core = 0; core < cores; ++core) {
        r.temp[core] = 35.0f + static_cast<float>((i * 7 + core * 13) % 600) / 10.0f;
        r.core_load[core] = static_cast<std::uint32_t>((i * 3 + core) % 101);
    }
    return reading;
}

// Full rings ending at `now`: a read a minute for the 23 hours before the
// last, then one a second.
std::unique_ptr<CHistory> Full(int cores, std::int64_t now) {
    auto history = std::make_unique<CHistory>(1.0);
    const std::int64_t hour_ago = now - 3600 * 1000;
    for (long minute = 23 * 60; minute > 0; --minute) history->Add(Read(cores, minute), hour_ago - minute * 60000);
    for (long second = 0; second < 3600; ++second) history->Add(Read(cores, second), hour_ago + second * 1000);
    return history;
}

struct Filled {
    std::int64_t now = NowMs();
    std::unique_ptr<CHistory> history[2];
    CHistory& Of(int cores) {
        auto& slot = history[cores > 4];
        if (!slot) slot = Full(cores, now);
        return *slot;
    }
};

Filled& Histories() {
    static Filled filled;
    return filled;
}

// One request's answer as the serving thread makes it: the pieces it sends.
void BM_Answer(benchmark::State& state, const char* query) {
    const int cores = static_cast<int>(state.range(0));
    Filled& filled = Histories();
    CHistory& history = filled.Of(cores);
    std::string text = query;
    if (text.find("since=") != std::string::npos) text += std::to_string(filled.now - 5000);
    std::size_t bytes = 0;
    for (auto _ : state) {
        HistoryAnswer answer = AnswerHistory(history, text, filled.now);
        benchmark::DoNotOptimize(answer.pieces.data());
        bytes = answer.body.size();
        for (const TextPiece& piece : answer.pieces) bytes += piece.size;
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK_CAPTURE(BM_Answer, seconds_300, "seconds=300")->Arg(4)->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Answer, seconds_3600, "seconds=3600")->Arg(4)->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Answer, seconds_86400, "seconds=86400")->Arg(4)->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Answer, seconds_3600_since, "seconds=3600&since=")->Arg(4)->Arg(256)->Unit(benchmark::kMicrosecond);

// For comparison: the same answer copied into one string, as a response of
// its own would hold it.
void BM_Joined(benchmark::State& state) {
    Filled& filled = Histories();
    CHistory& history = filled.Of(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(history.RenderJson(state.range(1), -1, filled.now).data());
}
BENCHMARK(BM_Joined)->Args({4, 3600})->Args({256, 3600})->Args({256, 86400})->Unit(benchmark::kMillisecond);

// The reading thread: one read added (its text and the open minute's).
void BM_Add(benchmark::State& state) {
    const int cores = static_cast<int>(state.range(0));
    CHistory history(1.0);
    const Reading reading = Read(cores, 1);
    std::int64_t t = NowMs();
    for (auto _ : state) history.Add(reading, t += 1000);
}
BENCHMARK(BM_Add)->Arg(4)->Arg(256)->Unit(benchmark::kMicrosecond);

// The reading thread once a minute: the file's bytes; and the start.
void BM_Saved(benchmark::State& state) {
    CHistory& history = Histories().Of(static_cast<int>(state.range(0)));
    std::size_t size = 0;
    for (auto _ : state) size = history.FileBytes().size();
    state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_Saved)->Arg(4)->Arg(256)->Unit(benchmark::kMillisecond);

void BM_Restore(benchmark::State& state) {
    Filled& filled = Histories();
    const std::string bytes = filled.Of(static_cast<int>(state.range(0))).FileBytes();
    for (auto _ : state) {
        CHistory history(1.0);
        std::string why;
        if (!history.Restore(bytes, filled.now, &why)) state.SkipWithError(why.c_str());
    }
}
BENCHMARK(BM_Restore)->Arg(4)->Arg(256)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--write-history") == 0) {
        const std::int64_t now = NowMs() - 1000;
        std::string why;
        if (WriteHistoryFile(argv[2], Full(std::atoi(argv[3]), now)->FileBytes(), &why)) return 0;
        std::fprintf(stderr, "cannot write %s: %s\n", argv[2], why.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
