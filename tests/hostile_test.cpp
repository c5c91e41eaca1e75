// Tests that objects another user plants under our names are refused with
// EACCES: never read, never waited on. Linux only; needs root to act as a
// throwaway second user, and skips otherwise.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "GetVantorixInfo.h"
#include "Pattern.h"
#include "Publisher.h"

namespace {

const char OTHER_USER[] = "vantorix-hostile";

// A child process that runs `plant` as the other user, reports, and then
// stays (holding whatever it locked) until the test ends.
class CNeighbour {
public:
    ~CNeighbour() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool Run(const std::function<bool()>& plant) {
        const passwd* user = getpwnam(OTHER_USER);
        int ready[2];
        if (user == nullptr || pipe(ready) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            const char ok = (setgid(user->pw_gid) == 0 && setuid(user->pw_uid) == 0 && plant()) ? 'y' : 'n';
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char answer = 'n';
        const bool got = read(ready[0], &answer, 1) == 1;
        close(ready[0]);
        return got && answer == 'y';
    }

private:
    pid_t pid_ = -1;
};

bool WriteRecord(const std::string& path, std::uint32_t generation) {
    vantorix_shared_data record;
    FillPattern(generation, &record);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    const bool ok = fd >= 0 && write(fd, &record, sizeof(record)) == static_cast<ssize_t>(sizeof(record));
    if (fd >= 0) close(fd);
    return ok;
}

class HostileNeighbourTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
        if (getpwnam(OTHER_USER) == nullptr) {
            const std::string command = std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") +
                                        OTHER_USER + " >/dev/null 2>&1";
            ASSERT_EQ(0, std::system(command.c_str())) << "cannot create the throwaway user";
        }
        RemoveNamedObjects();
        proxy_.reset(new VantorixProxy);
    }
    void TearDown() override {
        RemoveNamedObjects();
        unlink(target_.c_str());
    }

    // GetData must fail with EACCES, at once, leaving the proxy untouched.
    void ExpectRefused() {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(proxy_->GetData());
        EXPECT_EQ(static_cast<std::uint32_t>(EACCES), proxy_->GetDllError());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(0, proxy_->GetCoreCount()) << "the impostor's record was read";
    }

    std::unique_ptr<VantorixProxy> proxy_;
    std::string target_ = "/tmp/vantorix-hostile-target";
};

// The paths are ours (named after our uid), computed before the neighbour
// takes its own identity.
const std::string g_region = NamedObjectPath("VantorixMappingObject");
const std::string g_mutex = NamedObjectPath("VantorixMutexObject");

TEST_F(HostileNeighbourTest, RegionCreatedByAnotherUserIsNotRead) {
    CNeighbour neighbour;
    ASSERT_TRUE(neighbour.Run([] { return WriteRecord(g_region, 666); }));
    ExpectRefused();
}

TEST_F(HostileNeighbourTest, MutexHeldByAnotherUserBlocksNobody) {
    CNeighbour neighbour;
    ASSERT_TRUE(neighbour.Run([] {
        const int fd = open(g_mutex.c_str(), O_RDONLY | O_CREAT, 0644);
        return fd >= 0 && flock(fd, LOCK_EX) == 0;  // held until the neighbour dies
    }));
    ExpectRefused();
}

TEST_F(HostileNeighbourTest, SymbolicLinksAreNotFollowed) {
    // The link points at a valid record of our own: following it would read
    // whatever the other user chose.
    ASSERT_TRUE(WriteRecord(target_, 777));
    CNeighbour neighbour;
    ASSERT_TRUE(neighbour.Run([this] {
        return symlink(target_.c_str(), g_region.c_str()) == 0;
    }));
    ExpectRefused();
    RemoveNamedObjects();

    CNeighbour other;
    ASSERT_TRUE(other.Run([this] { return symlink(target_.c_str(), g_mutex.c_str()) == 0; }));
    ExpectRefused();
}

TEST_F(HostileNeighbourTest, PlantedFifoDoesNotBlock) {
    CNeighbour neighbour;
    ASSERT_TRUE(neighbour.Run([] { return mkfifo(g_region.c_str(), 0666) == 0; }));
    ExpectRefused();
}

// Tests that the user's own objects still work after the impostors are gone.
TEST_F(HostileNeighbourTest, OwnObjectsAreReadAsUsual) {
    vantorix_shared_data record;
    FillPattern(12, &record);
    CPublisher monitor;
    std::uint32_t error = 0;
    ASSERT_TRUE(monitor.Create(sizeof(record), &record, &error)) << error;
    EXPECT_TRUE(proxy_->GetData());
    EXPECT_EQ(record.core_total, proxy_->GetCoreCount());
    monitor.Remove();
}

}  // namespace
