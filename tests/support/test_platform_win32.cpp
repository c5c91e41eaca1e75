#include "TestPlatform.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <thread>

#include "ObjectNames.h"

namespace TestPlatform {

std::uint32_t NotFoundCode() { return ERROR_FILE_NOT_FOUND; }
std::uint32_t InvalidParameterCode() { return ERROR_INVALID_PARAMETER; }

std::u16string SystemText(std::uint32_t code) {
    wchar_t text[4096];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        NULL, code, 0, text, 4096, NULL);
    return std::u16string(text, text + length);
}

std::size_t OpenHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) {
        return count;
    }
    // Wine answers 0: count the handle values that name an object instead.
    DWORD flags = 0;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// Calls `visit` for every region of the address space.
template <typename Visit>
void WalkAddressSpace(Visit visit) {
    MEMORY_BASIC_INFORMATION info;
    for (const char* address = nullptr; VirtualQuery(address, &info, sizeof(info)) == sizeof(info);
         address = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
        visit(info);
    }
}

std::size_t MappingCount() {
    std::size_t count = 0;
    WalkAddressSpace([&count](const MEMORY_BASIC_INFORMATION& info) {
        if (info.State != MEM_FREE && info.Type == MEM_MAPPED && info.BaseAddress == info.AllocationBase) ++count;
    });
    return count;
}

std::size_t MemoryInUse() {
    // Committed private memory (Wine reports no process memory counters).
    std::size_t committed = 0;
    WalkAddressSpace([&committed](const MEMORY_BASIC_INFORMATION& info) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) committed += info.RegionSize;
    });
    return committed;
}

bool TruncateRegion(std::size_t) { return false; }

bool NamedObjectExists(const char* name) {
    const std::wstring wide(name, name + strlen(name));
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, wide.c_str());
    if (mutex != NULL) {
        CloseHandle(mutex);
        return true;
    }
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str());
    if (mapping != NULL) {
        CloseHandle(mapping);
        return true;
    }
    return false;
}

bool MutexHeldElsewhere() {
    // A mutex belongs to a thread, and its owner's own wait succeeds: ask
    // from a thread that cannot own it.
    bool held = false;
    std::thread([&held] {
        HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"" VANTORIX_MUTEX_NAME);
        if (mutex == NULL) return;
        const DWORD wait = WaitForSingleObject(mutex, 0);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(mutex);
        CloseHandle(mutex);
        held = wait == WAIT_TIMEOUT;
    }).join();
    return held;
}

CLockWatch::CLockWatch() {
    mutex_ = reinterpret_cast<std::uintptr_t>(CreateMutexW(NULL, FALSE, L"" VANTORIX_MUTEX_NAME));
}

CLockWatch::~CLockWatch() {
    if (mutex_ != 0) CloseHandle(reinterpret_cast<HANDLE>(mutex_));
}

namespace {

typedef DWORD(WINAPI* FormatMessageFunction)(DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list*);
FormatMessageFunction g_format_message = NULL;

DWORD WINAPI MadeUpFormatMessage(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPWSTR buffer,
                                 DWORD size, va_list* args) {
    if (code - MADE_UP_CODE >= 3 || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        return g_format_message(flags, source, code, language, buffer, size, args);
    }
    const std::u16string text = MadeUpText(code);
    // A text that does not fit fails, leaving what fitted behind unterminated.
    const DWORD length = static_cast<DWORD>(text.size());
    for (DWORD i = 0; i < length && i < size; ++i) buffer[i] = static_cast<wchar_t>(text[i]);
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    buffer[length] = 0;
    return length;
}

}  // namespace

bool ServeMadeUpTexts() {
    unsigned char* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(L"GetVantorixInfo.dll"));
    if (base == NULL) return false;
    const IMAGE_NT_HEADERS* headers =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.VirtualAddress != 0 && dll->Name != 0; ++dll) {
        const IMAGE_THUNK_DATA* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (dll->OriginalFirstThunk != 0 ? dll->OriginalFirstThunk : dll->FirstThunk));
        IMAGE_THUNK_DATA* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                strcmp(reinterpret_cast<const char*>(
                           reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name),
                       "FormatMessageW") != 0) {
                continue;
            }
            const ULONG_PTR ours = reinterpret_cast<ULONG_PTR>(&MadeUpFormatMessage);
            if (slot->u1.Function == ours) return true;  // already served
            DWORD old = 0;
            if (!VirtualProtect(&slot->u1.Function, sizeof(ULONG_PTR), PAGE_READWRITE, &old)) return false;
            g_format_message = reinterpret_cast<FormatMessageFunction>(slot->u1.Function);
            slot->u1.Function = ours;
            VirtualProtect(&slot->u1.Function, sizeof(ULONG_PTR), old, &old);
            return true;
        }
    }
    return false;
}

std::string ProgramDirectory() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string result(path, length);
    return result.substr(0, result.find_last_of("\\/"));
}

std::string ToolPath(const char* name) { return ProgramDirectory() + "\\" + name + ".exe"; }

void SetLastErrorCode(std::uint32_t code) { SetLastError(code); }

bool WithLoadedLibrary(const std::string& library, void (*use)(FlatFunction)) {
    const std::string file = library.substr(library.find_last_of("\\/") + 1);
    HMODULE module = LoadLibraryA((ProgramDirectory() + "\\" + file).c_str());
    if (module == NULL) return false;
    FARPROC symbol = GetProcAddress(module, "fnGetVantorixInfo");
    if (symbol != NULL) use(reinterpret_cast<FlatFunction>(reinterpret_cast<void*>(symbol)));
    return FreeLibrary(module) != 0 && symbol != NULL;
}

namespace {
const DWORD TEST_EXCEPTION = 0xE0000001u;
bool g_test_exception_seen = false;

LONG CALLBACK TestExceptionHandler(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != TEST_EXCEPTION) return EXCEPTION_CONTINUE_SEARCH;
    g_test_exception_seen = true;
    return EXCEPTION_CONTINUE_EXECUTION;
}
}  // namespace

std::uintptr_t FaultHandlerState() {
    // Registered last, so every handler registered before it runs first: a
    // handler left behind in unloaded code would crash the process here.
    g_test_exception_seen = false;
    PVOID handler = AddVectoredExceptionHandler(0, TestExceptionHandler);
    RaiseException(TEST_EXCEPTION, 0, 0, NULL);
    RemoveVectoredExceptionHandler(handler);
    return g_test_exception_seen ? 1 : 0;
}

std::size_t PageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

void* AllocatePages(std::size_t count) {
    return VirtualAlloc(NULL, count * PageSize(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void ProtectPages(void* pages, std::size_t count, Access access) {
    const DWORD protection = access == Access::None       ? PAGE_NOACCESS
                             : access == Access::ReadOnly ? PAGE_READONLY
                                                          : PAGE_READWRITE;
    DWORD old = 0;
    VirtualProtect(pages, count * PageSize(), protection, &old);
}

void FreePages(void* pages, std::size_t) { VirtualFree(pages, 0, MEM_RELEASE); }

CChildProcess::~CChildProcess() { Kill(); }

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::string& output) {
    std::string command = "\"" + program + "\"";
    for (const std::string& arg : args) command += " \"" + arg + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    HANDLE out = INVALID_HANDLE_VALUE;
    if (!output.empty()) {
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), NULL, TRUE};
        out = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (out == INVALID_HANDLE_VALUE) {
            start_failure_ = "CreateFileA " + output + ": error " + std::to_string(GetLastError());
            return false;
        }
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = out;
    }
    PROCESS_INFORMATION info = {};
    const BOOL started = CreateProcessA(program.c_str(), &command[0], NULL, NULL, out != INVALID_HANDLE_VALUE,
                                        CREATE_SUSPENDED, NULL, NULL, &startup, &info);
    const DWORD error = GetLastError();
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (!started) {
        start_failure_ = "CreateProcessA: error " + std::to_string(error);
        return false;
    }
    // Children die with the test program, even when it crashes: one left
    // running would keep the test runner waiting on its output.
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectW(NULL, NULL);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        return created;
    }();
    AssignProcessToJobObject(job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    handle_ = reinterpret_cast<std::uintptr_t>(info.hProcess);
    return true;
}

int CChildProcess::Wait(int timeout_ms) {
    if (handle_ == 0) return -1;
    HANDLE process = reinterpret_cast<HANDLE>(handle_);
    if (WaitForSingleObject(process, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    handle_ = 0;
    return static_cast<int>(code);
}

void CChildProcess::Kill() {
    if (handle_ == 0) return;
    HANDLE process = reinterpret_cast<HANDLE>(handle_);
    TerminateProcess(process, 137);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    handle_ = 0;
}

void CChildProcess::Stop() { Kill(); }

CObjectKeeper::CObjectKeeper() {
    mutex_ = reinterpret_cast<std::uintptr_t>(OpenMutexW(SYNCHRONIZE, FALSE, L"" VANTORIX_MUTEX_NAME));
    region_ = reinterpret_cast<std::uintptr_t>(
        OpenFileMappingW(FILE_MAP_READ, FALSE, L"" VANTORIX_MAPPING_NAME));
}

CObjectKeeper::~CObjectKeeper() {
    if (mutex_ != 0) CloseHandle(reinterpret_cast<HANDLE>(mutex_));
    if (region_ != 0) CloseHandle(reinterpret_cast<HANDLE>(region_));
}

bool CObjectKeeper::Holding() const { return mutex_ != 0 && region_ != 0; }

}  // namespace TestPlatform
