// The server's reading thread out of descriptors, which says nothing about
// the monitor: it asks for room and reads again.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "InProcessMonitor.h"
#include "LatestReading.h"

namespace {

class LatestReadingTest : public InProcessMonitorTest {};

// Tests that a read that failed for want of descriptors is made again once
// room is made, and is not kept as the monitor's reading.
TEST_F(LatestReadingTest, ReadOutOfDescriptorsIsMadeAgainOnceRoomIsMade) {
    const std::atomic<int> interrupted(0);
    Options options;
    options.interval = 0.05;
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    const rlimit kept = limit;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 1024);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    std::vector<int> taken;
    for (int fd; (fd = dup(STDERR_FILENO)) >= 0;) taken.push_back(fd);

    std::atomic<bool> asked(false);
    CLatestReading latest(options, &interrupted);  // its first read fails
    std::uint64_t reads = 0;
    const Reading first = latest.Get(&reads);
    // Answered here, as the event loop would: a descriptor freed only when
    // asked, so that only a read made again can succeed.
    latest.OnOutOfDescriptors([&asked] { asked = true; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    Reading now = first;
    while (now.status != Reading::Status::Ok && std::chrono::steady_clock::now() < deadline) {
        if (asked.exchange(false)) {
            if (!taken.empty()) close(taken.back()), taken.pop_back();
            latest.RoomMade(true);
        }
        std::this_thread::yield();
        now = latest.Get(&reads);
    }
    for (int fd : taken) close(fd);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &kept));
    EXPECT_EQ(static_cast<std::uint32_t>(EMFILE), first.error);
    EXPECT_EQ(static_cast<int>(Reading::Status::Ok), static_cast<int>(now.status)) << now.message;
}

}  // namespace
