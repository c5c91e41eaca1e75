// The server's reading thread out of descriptors, which says nothing about
// the monitor: it asks for room and reads again.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

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
