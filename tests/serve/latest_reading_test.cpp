// The server's reading thread: out of descriptors, which says nothing about
// the monitor, it asks for room and reads again; each reading it keeps goes
// to each listener once, in order.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "InProcessMonitor.h"
#include "LatestReading.h"
#include "TakenDescriptors.h"

namespace {

class LatestReadingTest : public InProcessMonitorTest {};

// Tests that a read that failed for want of descriptors is made again once
// room is made, and is not kept as the monitor's reading.
TEST_F(LatestReadingTest, ReadOutOfDescriptorsIsMadeAgainOnceRoomIsMade) {
    const std::atomic<int> interrupted(0);
    Options options;
    options.interval = 0.05;
    CTakenDescriptors taken;
    ASSERT_TRUE(taken.Limited());

    std::atomic<bool> asked(false);
    CLatestReading latest(options, &interrupted);  // its first read fails
    const Reading first = latest.Get().reading;
    // Answered here, as the event loop would: a descriptor freed only when
    // asked, so that only a read made again can succeed.
    latest.OnOutOfDescriptors([&asked] { asked = true; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    Reading now = first;
    while (now.status != Reading::Status::Ok && std::chrono::steady_clock::now() < deadline) {
        if (asked.exchange(false)) {
            taken.GiveOne();
            latest.RoomMade(true);
        }
        std::this_thread::yield();
        now = latest.Get().reading;
    }
    ASSERT_TRUE(taken.GiveBack());
    EXPECT_EQ(static_cast<std::uint32_t>(EMFILE), first.error);
    EXPECT_EQ(static_cast<int>(Reading::Status::Ok), static_cast<int>(now.status)) << now.message;
}

}  // namespace

namespace {

// Records the numbers of the readings it is handed.
class CNumbers : public CReadListener {
public:
    void OnRead(const LatestRead& read) override {
        std::lock_guard<std::mutex> guard(lock_);
        numbers_.push_back(read.number);
    }
    std::vector<std::uint64_t> Taken() const {
        std::lock_guard<std::mutex> guard(lock_);
        return numbers_;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::uint64_t> numbers_;
};

}  // namespace

// Tests that a listener is handed the latest reading at once, then each
// newer one in order, none twice, and nothing once forgotten.
TEST(LatestReadingListeners, EachReadingOnceInOrderUntilForgotten) {
    const std::atomic<int> interrupted(0);
    Options options;
    options.interval = 0.01;
    options.history_file_given = true;  // and none: nothing is kept
    CLatestReading latest(options, &interrupted);
    CNumbers numbers;
    latest.Listen(&numbers);
    ASSERT_EQ(1u, numbers.Taken().size());
    EXPECT_LE(numbers.Taken()[0], latest.Get().number);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (numbers.Taken().size() < 5 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    latest.Forget(&numbers);
    const std::vector<std::uint64_t> taken = numbers.Taken();
    ASSERT_GE(taken.size(), 5u);
    for (std::size_t i = 1; i < taken.size(); ++i) EXPECT_EQ(taken[i - 1] + 1, taken[i]) << i;
    const std::uint64_t forgotten_at = latest.Get().number;
    while (latest.Get().number < forgotten_at + 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(taken, numbers.Taken());
}
