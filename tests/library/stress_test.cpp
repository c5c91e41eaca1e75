// The fault and load suite: many reads against the stand-in monitor running as
// a separate process while it republishes flat out, dies, restarts, or
// publishes a broken region. Sizes come from the environment so that slower
// platforms can run fewer rounds (see tests/CMakeLists.txt):
//   VANTORIX_STRESS_READS   reads in the torn-read hunt, all configurations (1000000)
//   VANTORIX_STRESS_ROUNDS  monitor kills and restarts (100)
//   VANTORIX_LEAK_REQUESTS  requests of each kind in the leak check (100000)
// Figures are printed as lines starting with "[ figure ]".
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "GetVantorixInfo.h"
#include "MonitorProcessTest.h"
#include "Pattern.h"
#include "Publisher.h"
#include "StandinMonitor.h"
#include "TestPlatform.h"

namespace {

typedef std::chrono::steady_clock Clock;

long Setting(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && std::atol(value) > 0 ? std::atol(value) : fallback;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

class StressTest : public MonitorProcessTest {};

// Readers on their own threads that call GetData until stopped, checking
// every result, and noting the longest call so that a hang shows.
class CReaderThreads {
public:
    // `allow_not_found`: a false result with the "does not exist" code is
    // acceptable (the monitor comes and goes); `check_pattern`: every true
    // result must be one whole generation of the pattern.
    CReaderThreads(int count, bool allow_not_found, bool check_pattern)
        : allow_not_found_(allow_not_found), check_pattern_(check_pattern) {
        for (int i = 0; i < count; ++i) threads_.emplace_back([this] { Run(); });
    }
    ~CReaderThreads() { Stop(); }

    // Stops the readers; false if one is still in a call 10 s later (it is
    // then abandoned, so that the test fails instead of hanging).
    bool Stop() {
        stop_ = true;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        while (stopped_ < threads_.size() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const bool all = stopped_ == threads_.size();
        for (std::thread& thread : threads_) {
            if (thread.joinable()) all ? thread.join() : thread.detach();
        }
        return all;
    }
    long succeeded() const { return succeeded_; }
    long not_found() const { return not_found_; }
    long bad() const { return bad_; }
    double longest_call() const { return longest_ms_ / 1000.0; }
    // Seconds since the oldest call in progress started (0 when none hangs).
    double oldest_running_call() const {
        double oldest = 0;
        for (const auto& started : started_ms_) {
            const long value = started.load();
            if (value != 0) oldest = std::max(oldest, (NowMs() - value) / 1000.0);
        }
        return oldest;
    }

private:
    static long NowMs() {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     Clock::now().time_since_epoch())
                                     .count());
    }
    void Run() {
        const std::size_t slot = slots_++;
        VantorixProxy proxy;
        while (!stop_) {
            const long started = NowMs();
            started_ms_[slot] = started;
            const bool ok = proxy.GetData();
            const std::uint32_t code = proxy.GetDllError();
            started_ms_[slot] = 0;
            const long took = NowMs() - started;
            if (took > longest_ms_) longest_ms_ = took;
            std::uint32_t generation = 0;
            if (ok && (!check_pattern_ || MatchesPattern(*proxy.GetDataStruct(), &generation))) {
                ++succeeded_;
            } else if (!ok && allow_not_found_ && code == TestPlatform::NotFoundCode()) {
                ++not_found_;
            } else {
                ++bad_;
            }
        }
        ++stopped_;
    }

    const bool allow_not_found_;
    const bool check_pattern_;
    std::atomic<bool> stop_{false};
    std::atomic<long> succeeded_{0}, not_found_{0}, bad_{0}, longest_ms_{0};
    std::atomic<std::size_t> slots_{0}, stopped_{0};
    std::atomic<long> started_ms_[16] = {};
    std::vector<std::thread> threads_;
};

// Tests that no read overlaps an update, with 1, 2 and 8 reader threads here
// and a second reader process, while the monitor republishes flat out.
TEST_F(StressTest, TornReadHunt) {
    const long total = Setting("VANTORIX_STRESS_READS", 1000000);
    ASSERT_TRUE(monitor_.Start({"--rate", "0"}));
    const int configurations[] = {1, 2, 8};
    for (int threads : configurations) {
        // A third of the reads per configuration: a quarter of them in the
        // second process, the rest spread over this process's threads.
        const long here = total / 3 * 3 / 4 / threads;
        const long there = total / 3 / 4;
        TestPlatform::CChildProcess other;
        ASSERT_TRUE(other.Start(TestPlatform::ToolPath("vantorix-read-stress"), {std::to_string(there)}));
        std::atomic<long> bad(0);
        std::atomic<std::uint32_t> newest(0), oldest(0xFFFFFFFFu);
        const Clock::time_point start = Clock::now();
        std::vector<std::thread> readers;
        for (int t = 0; t < threads; ++t) {
            readers.emplace_back([&, t] {
                VantorixProxy proxy;
                std::unique_ptr<vantorix_shared_data> block(new vantorix_shared_data);
                vantorix_shared_data* data = block.get();
                for (long i = 0; i < here; ++i) {
                    const bool flat = ((i + t) % 2) == 1;
                    const bool ok = flat ? fnGetVantorixInfo(data) : proxy.GetData();
                    std::uint32_t generation = 0;
                    if (!ok || !MatchesPattern(flat ? *data : *proxy.GetDataStruct(), &generation)) {
                        ++bad;
                        continue;
                    }
                    if (generation > newest) newest = generation;
                    if (generation < oldest) oldest = generation;
                }
            });
        }
        for (std::thread& reader : readers) reader.join();
        const double seconds = Seconds(start);
        EXPECT_EQ(0, other.Wait(600000)) << "the second reader process saw a failure or a torn record";
        EXPECT_EQ(0, bad.load()) << threads << " threads";
        EXPECT_GT(newest.load(), oldest.load()) << "the monitor did not republish during the reads";
        std::printf("[ figure ] torn-read hunt, %d thread(s) + 1 process: %ld reads here in %.2f s, "
                    "%.0f reads/s in this process, %u generations seen, 0 torn\n",
                    threads, here * threads, seconds, here * threads / seconds,
                    newest.load() - oldest.load());
    }
}

// Tests that killing the monitor at random points, often while it holds the
// mutex, never leaves readers hung or crashed, and that reads succeed again
// as soon as a new monitor publishes.
TEST_F(StressTest, MonitorKilledAtRandomPoints) {
    const long rounds = Setting("VANTORIX_STRESS_ROUNDS", 100);
    std::mt19937 random(20261208);
    CReaderThreads readers(2, true, false);
    long holding = 0;
    for (long round = 0; round < rounds; ++round) {
        const bool hold = round % 3 == 0;
        ASSERT_TRUE(hold ? monitor_.Start({"--generation", "7", "--hold"}, CStandinMonitor::Ready::Holding)
                         : monitor_.Start({"--rate", "0"}))
            << "round " << round;
        if (hold) ++holding;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
        monitor_.Kill();
        ASSERT_LT(readers.oldest_running_call(), 10.0) << "a reader hangs after round " << round;
    }
    // A new monitor publishes: reads get its record at once. (On Linux the
    // killed monitor's region may still be there, so Start alone does not
    // prove that the new one has published.)
    ASSERT_TRUE(monitor_.Start({"--generation", "99"}));
    VantorixProxy proxy;
    std::uint32_t generation = 0;
    const Clock::time_point restarted = Clock::now();
    while (Seconds(restarted) < 10 &&
           !(proxy.GetData() && MatchesPattern(*proxy.GetDataStruct(), &generation) && generation == 99)) {
    }
    EXPECT_EQ(99u, generation);
    ASSERT_TRUE(readers.Stop()) << "a reader's GetData blocked";
    EXPECT_LT(readers.longest_call(), 10.0);
    EXPECT_GT(readers.succeeded(), 0);
    std::printf("[ figure ] %ld monitor kills (%ld while holding the mutex): %ld reads, "
                "longest call %.3f s, no hang\n",
                rounds, holding, readers.succeeded() + readers.not_found() + readers.bad(),
                readers.longest_call());
}

// Tests that while the monitor stops and starts again and again, every read
// returns either a whole record or "does not exist", never a partial record.
TEST_F(StressTest, MonitorRestartsWhileReadersRead) {
    const long rounds = Setting("VANTORIX_STRESS_ROUNDS", 100);
    CReaderThreads readers(3, true, true);
    for (long round = 0; round < rounds; ++round) {
        ASSERT_TRUE(monitor_.Start({"--rate", "0", "--generation", std::to_string(round * 1000000)}))
            << "round " << round;
        // The stop comes once a reader has read this monitor's records.
        const long read = readers.succeeded();
        const Clock::time_point started = Clock::now();
        while (readers.succeeded() == read && Seconds(started) < 60) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GT(readers.succeeded(), read) << "no reader read the monitor of round " << round;
        monitor_.Stop();
    }
    ASSERT_TRUE(readers.Stop()) << "a reader's GetData blocked";
    EXPECT_EQ(0, readers.bad()) << "a read returned a partial record or an unexpected code";
    EXPECT_GT(readers.succeeded(), 0);
    EXPECT_GT(readers.not_found(), 0);
    EXPECT_LT(readers.longest_call(), 10.0);
    std::printf("[ figure ] %ld monitor restarts: %ld whole records, %ld \"does not exist\", 0 bad\n",
                rounds, readers.succeeded(), readers.not_found());
}

struct Usage {
    std::size_t handles, mappings, memory;
};

Usage Measure() {
    return {TestPlatform::OpenHandleCount(), TestPlatform::MappingCount(), TestPlatform::MemoryInUse()};
}

void ExpectNoGrowth(const char* kind, long requests, const Usage& before, const Usage& after) {
    EXPECT_EQ(before.handles, after.handles) << kind;
    EXPECT_EQ(before.mappings, after.mappings) << kind;
    // Resident memory moves in pages: allow 128 KiB of noise, which a leak of
    // a small allocation per request would pass many times over.
    EXPECT_LT(static_cast<long>(after.memory) - static_cast<long>(before.memory), 128 * 1024) << kind;
    std::printf("[ figure ] %ld %s: handles %zu -> %zu, mappings %zu -> %zu, memory %zu -> %zu KiB\n",
                requests, kind, before.handles, after.handles, before.mappings, after.mappings,
                before.memory / 1024, after.memory / 1024);
}

// Tests that failing and successful requests leave handles, mappings and
// memory where they started.
TEST_F(StressTest, RequestsLeakNothing) {
    const long requests = Setting("VANTORIX_LEAK_REQUESTS", 100000);
    VantorixProxy proxy;

    for (int i = 0; i < 100; ++i) proxy.GetData();  // settle lazy allocations
    Usage before = Measure();
    for (long i = 0; i < requests; ++i) {
        if (proxy.GetData()) FAIL() << "read without a monitor";
    }
    ExpectNoGrowth("requests without a monitor", requests, before, Measure());

    ASSERT_TRUE(monitor_.Start({"--generation", "5"}));
    void* page = TestPlatform::AllocatePages(1);
    TestPlatform::ProtectPages(page, 1, TestPlatform::Access::ReadOnly);
    vantorix_shared_data* read_only = static_cast<vantorix_shared_data*>(page);
    for (int i = 0; i < 100; ++i) fnGetVantorixInfo(read_only);
    before = Measure();
    for (long i = 0; i < requests; ++i) {
        if (fnGetVantorixInfo(read_only) || proxy.GetDllError() != SHAREDMEM_COPY_ERROR) {
            FAIL() << "a faulted copy was not reported";
        }
    }
    ExpectNoGrowth("faulted copies", requests, before, Measure());
    TestPlatform::FreePages(page, 1);

    for (int i = 0; i < 100; ++i) proxy.GetData();
    before = Measure();
    for (long i = 0; i < requests; ++i) {
        if (!proxy.GetData()) FAIL() << "a read failed";
    }
    ExpectNoGrowth("successful reads", requests, before, Measure());
}

// Tests a region shorter than a record. On Linux the copy reads what the
// region holds and reports the shortfall; a Windows view always spans whole
// pages, so the bytes past the region read as zeros.
TEST_F(StressTest, RegionShorterThanARecord) {
    ASSERT_TRUE(monitor_.Start({"--generation", "3", "--size", "100"}, CStandinMonitor::Ready::RegionExists));
    VantorixProxy proxy;
    const bool ok = proxy.GetData();
    const std::uint32_t code = proxy.GetDllError();
    if (TestPlatform::TruncateRegion(100)) {  // Linux
        EXPECT_FALSE(ok);
        EXPECT_EQ(SHAREDMEM_COPY_ERROR, code);
    } else {
        ASSERT_TRUE(ok);
        vantorix_shared_data expected;
        FillPattern(3, &expected);
        EXPECT_EQ(0, std::memcmp(&expected, proxy.GetDataStruct(), 100));
        EXPECT_EQ(0, proxy.GetCoreCount());  // past the region: zeros
    }
}

// Tests a region cut short behind the monitor's back after it was published
// (Linux only: a Windows mapping cannot shrink).
TEST_F(StressTest, RegionTruncatedAfterPublishing) {
    ASSERT_TRUE(monitor_.Start({"--generation", "4"}));
    VantorixProxy proxy;
    ASSERT_TRUE(proxy.GetData());
    if (!TestPlatform::TruncateRegion(1000)) {
        GTEST_SKIP() << "a mapping's size cannot change on this platform";
    }
    EXPECT_FALSE(proxy.GetData());
    EXPECT_EQ(SHAREDMEM_COPY_ERROR, proxy.GetDllError());
    ASSERT_TRUE(TestPlatform::TruncateRegion(0));
    EXPECT_FALSE(proxy.GetData());
    EXPECT_EQ(SHAREDMEM_COPY_ERROR, proxy.GetDllError());
}

}  // namespace
