// What the tests need from the operating system, one file per platform.
#ifndef VANTORIX_TESTS_TESTPLATFORM_H
#define VANTORIX_TESTS_TESTPLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "GetVantorixInfo.h"

namespace TestPlatform {

// The platform's codes for "does not exist" and "invalid parameter".
std::uint32_t NotFoundCode();
std::uint32_t InvalidParameterCode();
// The system's own text for a code, as the platform's call gives it.
std::u16string SystemText(std::uint32_t code);

// Open handles (Windows) or descriptors (Linux) of this process.
std::size_t OpenHandleCount();
// Mappings in the address space (Linux: lines of /proc/self/maps; Windows:
// mapped views found by walking the address space) and the memory the
// process uses (resident set; Windows: private commit).
std::size_t MappingCount();
std::size_t MemoryInUse();
// Cuts the monitor's region down to `size` bytes behind the monitor's back.
// False where the platform cannot (Windows: a mapping's size is fixed).
bool TruncateRegion(std::size_t size);

// Whether a named object of the monitor exists, checked without creating it.
bool NamedObjectExists(const char* name);

// Whether anyone holds the monitor's mutex now, this thread included:
// checked without waiting, from a fresh descriptor (Linux) or from another
// thread (Windows, where the owning thread's own wait would succeed). False
// when the mutex does not exist.
bool MutexHeldElsewhere();

// While it lives, a lock that a read forgets to release stays visible to
// MutexHeldElsewhere. Linux: each exclusive lock taken in this process is
// shared with a forked child that holds copies of all descriptors, so closing
// the read's descriptor no longer drops it; only an explicit release does.
// Windows: a handle of the test keeps the mutex alive past the read's close.
class CLockWatch {
public:
    CLockWatch();
    ~CLockWatch();
    CLockWatch(const CLockWatch&) = delete;
    CLockWatch& operator=(const CLockWatch&) = delete;

private:
    std::uintptr_t mutex_ = 0;
};

// Codes without a system text for which the library is served made-up texts
// of exactly 98, 99 and 100 characters (MADE_UP_CODE + 0, 1, 2): Linux by
// this program's own strerrordesc_np, Windows by patching the library DLL's
// import of FormatMessageW (which fails on a text that does not fit, as the
// system's does). False if they cannot be served.
const std::uint32_t MADE_UP_CODE = 0x7E00u;
bool ServeMadeUpTexts();
inline std::u16string MadeUpText(std::uint32_t code) {
    std::u16string text = u"Made-up text ";
    while (text.size() < 98 + (code - MADE_UP_CODE)) text.push_back(static_cast<char16_t>(u'a' + text.size() % 26));
    return text;
}

// The folder of the running test program; the tools are built beside it.
std::string ProgramDirectory();
// The path of a program built beside the tests, by its base name.
std::string ToolPath(const char* name);

// Sets the calling thread's last-error code, as a failing call would.
void SetLastErrorCode(std::uint32_t code);

// Loads the library file (a path; on Windows its file name is looked up beside
// the test program), calls `use` with its fnGetVantorixInfo, and unloads it.
// False if a step failed.
typedef bool (*FlatFunction)(vantorix_shared_data**);
bool WithLoadedLibrary(const std::string& library, void (*use)(FlatFunction));

// A value that differs when a fault handler was added since an earlier call:
// on Linux the SIGSEGV and SIGBUS handlers; on Windows it raises an exception
// and reports whether it was dispatched (a handler left behind in unloaded
// code crashes the process instead).
std::uintptr_t FaultHandlerState();

// Pages of memory with a protection the tests choose.
enum class Access { None, ReadOnly, ReadWrite };
void* AllocatePages(std::size_t count);  // read-write
void ProtectPages(void* pages, std::size_t count, Access access);
void FreePages(void* pages, std::size_t count);
std::size_t PageSize();

// A program started from the test, with its arguments.
class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();  // kills it if still running
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // With `output`, its stdout and stderr go to that file (else stdout is
    // thrown away and stderr is the test's).
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& output = std::string());
    // After a failed Start: the call that failed and the system's code.
    const std::string& StartFailure() const { return start_failure_; }
    // Exit code, or -1 if it did not exit within `timeout_ms`.
    int Wait(int timeout_ms);
    // Kills it at once (SIGKILL, TerminateProcess) and reaps it.
    void Kill();
    // Asks it to stop cleanly (SIGTERM; on Windows the same as Kill).
    void Stop();
    bool Running() const { return handle_ != 0; }

private:
    std::uintptr_t handle_ = 0;
    std::string start_failure_;
};

// Holds both named objects open, which keeps them alive on Windows (an
// object goes with its last handle). Holding(): both existed and are held.
class CObjectKeeper {
public:
    CObjectKeeper();
    ~CObjectKeeper();
    CObjectKeeper(const CObjectKeeper&) = delete;
    CObjectKeeper& operator=(const CObjectKeeper&) = delete;
    bool Holding() const;

private:
    std::uintptr_t mutex_ = 0;
    std::uintptr_t region_ = 0;
};

}  // namespace TestPlatform

#endif  // VANTORIX_TESTS_TESTPLATFORM_H
