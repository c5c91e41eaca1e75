// Tests that objects under our names that are not ours, or not regular files,
// are refused with EACCES: never read, never waited on; and that objects
// which grant only reading are read. Linux only. The tests that involve a
// second user need root to act as a throwaway one, and skip otherwise.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "GetVantorixInfo.h"
#include "ObjectNames.h"
#include "Pattern.h"
#include "Publisher.h"
#include "StandinMonitor.h"

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

// A socket file at `path`, which open() refuses with ENXIO.
bool BindSocket(const std::string& path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (fd >= 0) close(fd);
    return bound;
}

const char TARGET[] = "/tmp/vantorix-hostile-target";
// On the objects' file system, so that it can be linked under their names.
const std::string SHM_TARGET = "/dev/shm/vantorix-hostile-target." + std::to_string(getpid());

// GetData must fail with EACCES within two seconds, reading nothing.
void ExpectRefused(const char* what) {
    auto proxy = std::make_shared<VantorixProxy>();
    bool result = true;
    std::uint32_t code = 0;
    ASSERT_TRUE(GetDataWithin(proxy, 2000, &result, &code)) << "GetData blocked on " << what;
    EXPECT_FALSE(result) << what;
    EXPECT_EQ(static_cast<std::uint32_t>(EACCES), code) << what;
    EXPECT_EQ(0, proxy->GetCoreCount()) << what << ": its record was read";
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
    }
    void TearDown() override {
        RemoveNamedObjects();
        unlink(TARGET);
    }
};

// The paths are ours (named after our uid), computed before the neighbour
// takes its own identity.
const std::string g_region = NamedObjectPath(VANTORIX_MAPPING_NAME);
const std::string g_mutex = NamedObjectPath(VANTORIX_MUTEX_NAME);

// Tests objects that another user planted under our names.
TEST_F(HostileNeighbourTest, ObjectsOfAnotherUserAreRefused) {
    ASSERT_TRUE(WriteRecord(TARGET, 777));  // a valid record of our own
    const struct {
        const char* what;
        std::function<bool()> plant;
    } cases[] = {
        {"a region of another user", [] { return WriteRecord(g_region, 666); }},
        {"a mutex another user holds", [] {
             const int fd = open(g_mutex.c_str(), O_RDONLY | O_CREAT, 0644);
             return fd >= 0 && flock(fd, LOCK_EX) == 0;  // held until the neighbour dies
         }},
        // Following the link would read whatever the other user chose.
        {"another user's link as the region", [] { return symlink(TARGET, g_region.c_str()) == 0; }},
        {"another user's link as the mutex", [] { return symlink(TARGET, g_mutex.c_str()) == 0; }},
        {"another user's FIFO as the region", [] { return mkfifo(g_region.c_str(), 0666) == 0; }},
        // A file of ours that they can write, linked under our region's name:
        // owned by us, but its record is theirs.
        {"another user's link to a file of ours", [] { return link(SHM_TARGET.c_str(), g_region.c_str()) == 0; }},
    };
    ASSERT_TRUE(WriteRecord(SHM_TARGET, 779) && chmod(SHM_TARGET.c_str(), 0666) == 0);
    for (const auto& c : cases) {
        RemoveNamedObjects();
        CNeighbour neighbour;
        ASSERT_TRUE(neighbour.Run(c.plant)) << c.what;
        ExpectRefused(c.what);
    }
    unlink(SHM_TARGET.c_str());
}

// Tests that the stand-in monitor neither uses, nor waits on, nor removes
// objects another user planted under our names.
TEST_F(HostileNeighbourTest, MonitorRefusesObjectsOfAnotherUser) {
    const struct {
        const char* what;
        std::function<bool()> plant;
        const std::string& path;
    } cases[] = {
        {"a region of another user", [] { return WriteRecord(g_region, 666); }, g_region},
        {"a mutex another user holds", [] {
             const int fd = open(g_mutex.c_str(), O_RDONLY | O_CREAT, 0644);
             return fd >= 0 && flock(fd, LOCK_EX) == 0;
         }, g_mutex},
    };
    for (const auto& c : cases) {
        RemoveNamedObjects();
        CNeighbour neighbour;
        ASSERT_TRUE(neighbour.Run(c.plant)) << c.what;
        EXPECT_EQ(1, RunTool("vantorix-standin", {"--seconds", "5"}, 10000)) << c.what;
        EXPECT_EQ(0, access(c.path.c_str(), F_OK)) << c.what << " was removed";
    }
}

// Tests that objects of our own which grant only reading, even to their
// owner, are read: a read asks for no more access than it needs. (Root
// would be granted any access, so the neighbour reads them as itself.)
TEST_F(HostileNeighbourTest, OwnObjectsGrantingOnlyReadingAreRead) {
    CNeighbour neighbour;
    ASSERT_TRUE(neighbour.Run([] {
        const std::string region = NamedObjectPath(VANTORIX_MAPPING_NAME);  // the neighbour's own
        const std::string mutex = NamedObjectPath(VANTORIX_MUTEX_NAME);
        vantorix_shared_data record;
        FillPattern(12, &record);
        CPublisher monitor;
        std::uint32_t error = 0;
        if (!monitor.Create(sizeof(record), &record, &error) || chmod(region.c_str(), 0400) != 0 ||
            chmod(mutex.c_str(), 0400) != 0) {
            return false;
        }
        VantorixProxy proxy;
        const bool read = proxy.GetData() && proxy.GetCoreCount() == record.core_total;
        unlink(region.c_str());
        unlink(mutex.c_str());
        return read;
    })) << "objects of mode 0400 were not read by their owner";
}

// Tests objects of our own that are not regular files.
TEST(OwnObjectsTest, ObjectsThatAreNotRegularFilesAreRefused) {
    const std::string region = NamedObjectPath(VANTORIX_MAPPING_NAME);
    const std::string mutex = NamedObjectPath(VANTORIX_MUTEX_NAME);
    ASSERT_TRUE(WriteRecord(TARGET, 778) || errno == EEXIST);
    const struct {
        const char* what;
        std::function<bool()> plant;
    } cases[] = {
        {"a FIFO as the region", [&] { return mkfifo(region.c_str(), 0600) == 0; }},
        {"a FIFO as the mutex", [&] { return mkfifo(mutex.c_str(), 0600) == 0; }},
        {"a directory as the region", [&] { return mkdir(region.c_str(), 0700) == 0; }},
        {"a directory as the mutex", [&] { return mkdir(mutex.c_str(), 0700) == 0; }},
        {"a link as the region", [&] { return symlink(TARGET, region.c_str()) == 0; }},
        {"a socket as the mutex", [&] { return BindSocket(mutex); }},
    };
    for (const auto& c : cases) {
        RemoveNamedObjects();
        ASSERT_TRUE(c.plant()) << c.what;
        ExpectRefused(c.what);
        rmdir(region.c_str());
        rmdir(mutex.c_str());
    }
    RemoveNamedObjects();
    unlink(TARGET);
}

// Tests objects of our own that someone else could use against us: a mutex
// others can open (and so hold), a region others can write or reach
// through a second name. Each would otherwise be read as usual.
TEST(OwnObjectsTest, ObjectsOthersCouldUseAreRefused) {
    const std::string region = NamedObjectPath(VANTORIX_MAPPING_NAME);
    const std::string mutex = NamedObjectPath(VANTORIX_MUTEX_NAME);
    const std::string second = "/dev/shm/vantorix-second-name." + std::to_string(getpid());
    const auto objects = [&](mode_t mutex_mode, mode_t region_mode) {
        const int fd = open(mutex.c_str(), O_RDONLY | O_CREAT | O_EXCL, 0600);
        return fd >= 0 && fchmod(fd, mutex_mode) == 0 && close(fd) == 0 && WriteRecord(region, 780) &&
               chmod(region.c_str(), region_mode) == 0;
    };
    const struct {
        const char* what;
        std::function<bool()> plant;
    } cases[] = {
        {"a mutex others can read", [&] { return objects(0604, 0600); }},
        {"a mutex the group can write", [&] { return objects(0620, 0600); }},
        {"a region others can write", [&] { return objects(0600, 0602); }},
        {"a region the group can write", [&] { return objects(0600, 0620); }},
        {"a region with a second name", [&] { return objects(0600, 0600) && link(region.c_str(), second.c_str()) == 0; }},
    };
    for (const auto& c : cases) {
        RemoveNamedObjects();
        ASSERT_TRUE(c.plant()) << c.what;
        ExpectRefused(c.what);
        unlink(second.c_str());
    }
    RemoveNamedObjects();
    ASSERT_TRUE(objects(0600, 0644));  // readable by others is fine: only writing matters
    VantorixProxy proxy;
    EXPECT_TRUE(proxy.GetData());
    RemoveNamedObjects();
}

// Tests that the mutex file a read creates is private and usable whatever the
// umask: one read under umask 0777 must not leave a file later reads refuse.
TEST(OwnObjectsTest, MutexMadeByAReadIsPrivateWhateverTheUmask) {
    RemoveNamedObjects();
    for (const mode_t mask : {0777, 0}) {
        const mode_t previous = umask(mask);
        VantorixProxy proxy;
        EXPECT_FALSE(proxy.GetData());
        umask(previous);
        EXPECT_EQ(static_cast<std::uint32_t>(ENOENT), proxy.GetDllError()) << "umask " << mask;
        struct stat info;
        ASSERT_EQ(0, stat(NamedObjectPath(VANTORIX_MUTEX_NAME).c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 0777) << "umask " << mask;
        RemoveNamedObjects();
    }
}

}  // namespace
