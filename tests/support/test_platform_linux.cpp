#include "TestPlatform.h"

#include "ObjectNames.h"
#include "Publisher.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <string>
#include <thread>

namespace {

std::atomic<bool> g_share_locks{false};
std::atomic<int> g_sharer_count{0};
pid_t g_sharers[64];

int RealFlock(int fd, int operation) { return static_cast<int>(syscall(SYS_flock, fd, operation)); }
std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

}  // namespace

// The library's flock and strerrordesc_np resolve to these definitions of
// the test program (the shared library's calls bind to the executable's
// symbols first; the static library's are linked to them directly).
extern "C" int flock(int fd, int operation) noexcept {
    const int result = RealFlock(fd, operation);
    if (result == 0 && (operation & LOCK_EX) != 0 && g_share_locks) {
        const int slot = g_sharer_count++;
        const pid_t child = slot < 64 ? fork() : -1;
        if (child == 0) {
            for (;;) pause();  // holds copies of every descriptor until killed
        }
        if (slot < 64) g_sharers[slot] = child;
    }
    return result;
}

extern "C" const char* strerrordesc_np(int code) noexcept {
    static const std::string made_up[3] = {Narrow(TestPlatform::MadeUpText(TestPlatform::MADE_UP_CODE)),
                                           Narrow(TestPlatform::MadeUpText(TestPlatform::MADE_UP_CODE + 1)),
                                           Narrow(TestPlatform::MadeUpText(TestPlatform::MADE_UP_CODE + 2))};
    const std::uint32_t index = static_cast<std::uint32_t>(code) - TestPlatform::MADE_UP_CODE;
    if (index < 3) return made_up[index].c_str();
    typedef const char* (*Real)(int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "strerrordesc_np"));
    return real != nullptr ? real(code) : nullptr;
}

namespace TestPlatform {

std::uint32_t NotFoundCode() { return ENOENT; }
std::uint32_t InvalidParameterCode() { return EINVAL; }

std::u16string SystemText(std::uint32_t code) {
    const char* text = strerrordesc_np(static_cast<int>(code));
    return text == nullptr ? std::u16string() : std::u16string(text, text + strlen(text));
}

std::size_t OpenHandleCount() {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    if (dir != nullptr) closedir(dir);
    return count;
}

std::size_t MappingCount() {
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    std::size_t count = 0;
    for (int c; maps != nullptr && (c = std::fgetc(maps)) != EOF;) {
        if (c == '\n') ++count;
    }
    if (maps != nullptr) std::fclose(maps);
    return count;
}

std::size_t MemoryInUse() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long size = 0, resident = 0;
    if (statm != nullptr) {
        if (std::fscanf(statm, "%lu %lu", &size, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return resident * PageSize();
}

bool TruncateRegion(std::size_t size) {
    const std::string path = NamedObjectPath(VANTORIX_MAPPING_NAME);
    return truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

bool NamedObjectExists(const char* name) {
    const std::string path = NamedObjectPath(name);
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool MutexHeldElsewhere() {
    const std::string path = NamedObjectPath(VANTORIX_MUTEX_NAME);
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = RealFlock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // also drops the lock if we took it
    return held;
}

std::string ProgramDirectory() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return ".";
    std::string result(path, static_cast<std::size_t>(length));
    return result.substr(0, result.rfind('/'));
}

std::string ToolPath(const char* name) { return ProgramDirectory() + "/" + name; }

void SetLastErrorCode(std::uint32_t code) { errno = static_cast<int>(code); }

bool WithLoadedLibrary(const std::string& library, void (*use)(FlatFunction)) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return false;
    void* symbol = dlsym(handle, "fnGetVantorixInfo");
    if (symbol != nullptr) use(reinterpret_cast<FlatFunction>(symbol));
    return dlclose(handle) == 0 && symbol != nullptr;
}

std::uintptr_t FaultHandlerState() {
    struct sigaction segv, bus;
    sigaction(SIGSEGV, nullptr, &segv);
    sigaction(SIGBUS, nullptr, &bus);
    return reinterpret_cast<std::uintptr_t>(segv.sa_handler) * 31u +
           reinterpret_cast<std::uintptr_t>(bus.sa_handler);
}

std::size_t PageSize() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

void* AllocatePages(std::size_t count) {
    void* pages = mmap(nullptr, count * PageSize(), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void ProtectPages(void* pages, std::size_t count, Access access) {
    const int protection = access == Access::None       ? PROT_NONE
                           : access == Access::ReadOnly ? PROT_READ
                                                        : PROT_READ | PROT_WRITE;
    mprotect(pages, count * PageSize(), protection);
}

void FreePages(void* pages, std::size_t count) { munmap(pages, count * PageSize()); }

CChildProcess::~CChildProcess() { Kill(); }

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::string& output) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int out = output.empty() ? open("/dev/null", O_WRONLY | O_CLOEXEC)
                                   : open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        start_failure_ = "open " + output + ": " + strerror(errno);
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        start_failure_ = std::string("fork: ") + strerror(errno);
        close(out);
        return false;
    }
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        if (!output.empty()) dup2(out, STDERR_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out);
    handle_ = static_cast<std::uintptr_t>(pid);
    return true;
}

int CChildProcess::Wait(int timeout_ms) {
    if (handle_ == 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(static_cast<pid_t>(handle_), &status, WNOHANG);
        if (done == static_cast<pid_t>(handle_)) {
            handle_ = 0;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void CChildProcess::Kill() {
    if (handle_ == 0) return;
    kill(static_cast<pid_t>(handle_), SIGKILL);
    waitpid(static_cast<pid_t>(handle_), nullptr, 0);
    handle_ = 0;
}

void CChildProcess::Stop() {
    if (handle_ == 0) return;
    kill(static_cast<pid_t>(handle_), SIGTERM);
    if (Wait(10000) < 0) Kill();
}

CLockWatch::CLockWatch() {
    g_sharer_count = 0;
    g_share_locks = true;
}

CLockWatch::~CLockWatch() {
    g_share_locks = false;
    for (int i = 0; i < g_sharer_count && i < 64; ++i) {
        if (g_sharers[i] <= 0) continue;
        kill(g_sharers[i], SIGKILL);
        waitpid(g_sharers[i], nullptr, 0);
    }
    g_sharer_count = 0;
}

bool ServeMadeUpTexts() { return true; }  // strerrordesc_np above

// Descriptors are stored plus one, so that 0 means "not open".
CObjectKeeper::CObjectKeeper() {
    mutex_ = static_cast<std::uintptr_t>(open(NamedObjectPath(VANTORIX_MUTEX_NAME).c_str(), O_RDONLY | O_CLOEXEC) + 1);
    region_ = static_cast<std::uintptr_t>(open(NamedObjectPath(VANTORIX_MAPPING_NAME).c_str(), O_RDONLY | O_CLOEXEC) + 1);
}

CObjectKeeper::~CObjectKeeper() {
    if (mutex_ != 0) close(static_cast<int>(mutex_) - 1);
    if (region_ != 0) close(static_cast<int>(region_) - 1);
}

bool CObjectKeeper::Holding() const { return mutex_ != 0 && region_ != 0; }

}  // namespace TestPlatform
