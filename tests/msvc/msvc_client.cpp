// A client built for the Microsoft C++ ABI against the public header and the
// import library, with no C++ runtime: it checks reading, errors, faults and
// an abandoned mutex with the proxy on the stack and from new/delete. It is
// its own monitor (the named objects are made here) and starts itself again
// as the process that abandons the mutex. Exit status: the failures counted.
#include <windows.h>

#include "GetVantorixInfo.h"
#include "ObjectNames.h"

extern "C" void* __cdecl malloc(size_t);
extern "C" void __cdecl free(void*);
extern "C" int __cdecl memcmp(const void*, const void*, size_t);
extern "C" int _fltused = 0;

// The client's own new and delete use ucrtbase's heap, as a Visual C++
// program's do; the library's deleting destructor frees into the same heap.
void* operator new(size_t size) { return malloc(size); }
void operator delete(void* memory) noexcept { free(memory); }
void operator delete(void* memory, size_t) noexcept { free(memory); }

namespace {

int g_failures = 0;

void Print(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(lstrlenA(text)), &written, NULL);
}

#define CHECK(condition)                                      \
    do {                                                      \
        if (!(condition)) {                                   \
            Print("FAILED: " #condition "\n");                \
            ++g_failures;                                     \
        }                                                     \
    } while (0)

const wchar_t MUTEX[] = L"" VANTORIX_MUTEX_NAME;
const wchar_t MAPPING[] = L"" VANTORIX_MAPPING_NAME;

void FillRecord(vantorix_shared_data* record) {
    for (int i = 0; i < 256; ++i) record->core_load[i] = i;
    record->tj_max[127] = 105;
    record->core_total = 6;
    record->cpu_total = 1;
    record->temp[255] = 88.5f;
    record->vid_value = 1.25f;
    record->cpu_clock = 3600.0f;
    const char name[] = "Microsoft ABI client CPU";
    for (unsigned i = 0; i < sizeof(name); ++i) record->cpu_name[i] = name[i];
    record->fahrenheit = 0x80;
}

DWORD WINAPI ReadOnce(void* proxy) {
    return static_cast<VantorixProxy*>(proxy)->GetData() ? 1 : 0;
}

// GetData on a thread of its own, so that a hang is a failure, not a stop.
bool ReadWithin(VantorixProxy* proxy, DWORD milliseconds, bool* result) {
    HANDLE thread = CreateThread(NULL, 0, ReadOnce, proxy, 0, NULL);
    if (WaitForSingleObject(thread, milliseconds) != WAIT_OBJECT_0) return false;
    DWORD exit_code = 0;
    *result = GetExitCodeThread(thread, &exit_code) && exit_code == 1;
    CloseHandle(thread);
    return true;
}

void CheckNoMonitor() {
    VantorixProxy proxy;
    CHECK(proxy.GetCoreCount() == 0);
    CHECK(proxy.GetCPUName()[0] == '\0');
    CHECK(!proxy.IsFahrenheit());
    CHECK(!proxy.GetData());
    CHECK(proxy.GetDllError() == ERROR_FILE_NOT_FOUND);
    wchar_t expected[100];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                        ERROR_FILE_NOT_FOUND, 0, expected, 99, NULL);
    CHECK(length > 0);
    CHECK(lstrcmpW(proxy.GetErrorMessage(), expected) == 0);
}

void CheckReads(const vantorix_shared_data* published) {
    VantorixProxy proxy;
    CHECK(proxy.GetData());
    CHECK(memcmp(proxy.GetDataStruct(), published, sizeof(*published)) == 0);
    CHECK(proxy.GetCoreLoad(200) == 200);
    CHECK(proxy.GetCoreLoad(256) == 0);
    CHECK(proxy.GetTjMax(127) == 105);
    CHECK(proxy.GetTemp(255) == 88.5f);
    CHECK(proxy.GetCoreCount() == 6);
    CHECK(proxy.GetVID() == 1.25f);
    CHECK(proxy.IsFahrenheit());
    CHECK(!proxy.IsDistanceToTjMax());

    VantorixProxy* heap = new VantorixProxy;
    CHECK(heap->GetCoreCount() == 0);
    CHECK(heap->GetData());
    CHECK(heap->GetCPUSpeed() == 3600.0f);
    delete heap;  // the library's deleting destructor, ucrtbase's free

    static vantorix_shared_data block;
    vantorix_shared_data* data = &block;
    CHECK(fnGetVantorixInfo(data));
    CHECK(data == &block);
    CHECK(memcmp(&block, published, sizeof(block)) == 0);
    vantorix_shared_data* null_data = NULL;
    CHECK(!fnGetVantorixInfo(null_data));
    CHECK(proxy.GetDllError() == ERROR_INVALID_PARAMETER);
}

void CheckFault() {
    void* page = VirtualAlloc(NULL, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old = 0;
    VirtualProtect(page, 4096, PAGE_READONLY, &old);
    vantorix_shared_data* read_only = static_cast<vantorix_shared_data*>(page);
    VantorixProxy proxy;
    CHECK(!fnGetVantorixInfo(read_only));
    CHECK(proxy.GetDllError() == SHAREDMEM_COPY_ERROR);
    CHECK(lstrcmpW(proxy.GetErrorMessage(), L"Unknown error occured while copying shared memory.") == 0);
    CHECK(proxy.GetDllError() == SHAREDMEM_COPY_ERROR);
    bool result = false;
    CHECK(ReadWithin(&proxy, 10000, &result) && result);  // the mutex was released
    VirtualFree(page, 0, MEM_RELEASE);
}

void CheckAbandoned() {
    // This program again, as a process that takes the mutex and exits
    // without releasing it.
    static wchar_t self[MAX_PATH];  // static: no stack probe (__chkstk) on x86
    GetModuleFileNameW(NULL, self, MAX_PATH);
    static wchar_t command[MAX_PATH + 32];
    command[0] = L'"';
    int at = 1;
    for (int i = 0; self[i] != 0; ++i) command[at++] = self[i];
    const wchar_t tail[] = L"\" abandon";
    for (int i = 0; tail[i] != 0; ++i) command[at++] = tail[i];
    command[at] = 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    CHECK(CreateProcessW(self, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process));
    WaitForSingleObject(process.hProcess, 20000);
    DWORD exit_code = 1;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CHECK(exit_code == 0);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    VantorixProxy proxy;
    bool result = false;
    CHECK(ReadWithin(&proxy, 10000, &result));  // no hang on the abandoned mutex
    CHECK(result);
    CHECK(proxy.GetCoreCount() == 6);
}

void CheckVersionResource() {
    static wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    int slash = 0;
    for (int i = 0; path[i] != 0; ++i) {
        if (path[i] == L'\\' || path[i] == L'/') slash = i + 1;
    }
    const wchar_t dll[] = L"GetVantorixInfo.dll";
    for (int i = 0; i < 20; ++i) path[slash + i] = dll[i];
    DWORD ignored = 0;
    static char info[8192];
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    CHECK(size > 0 && size <= sizeof(info));
    CHECK(GetFileVersionInfoW(path, 0, sizeof(info), info));
    wchar_t* product = NULL;
    UINT length = 0;
    CHECK(VerQueryValueW(info, L"\\StringFileInfo\\040904b0\\ProductName", reinterpret_cast<void**>(&product),
                         &length));
    CHECK(product != NULL && lstrcmpW(product, L"GetVantorixInfo") == 0);
}

bool IsAbandonRun() {
    const wchar_t* line = GetCommandLineW();
    int length = 0;
    while (line[length] != 0) ++length;
    const wchar_t word[] = L"abandon";
    return length >= 7 && lstrcmpW(line + length - 7, word) == 0;
}

}  // namespace

extern "C" void __cdecl mainCRTStartup() {
    if (IsAbandonRun()) {
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, MUTEX);
        const DWORD wait = mutex != NULL ? WaitForSingleObject(mutex, 10000) : WAIT_FAILED;
        ExitProcess(wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED ? 0 : 1);  // no release
    }

    CheckNoMonitor();
    CheckVersionResource();

    HANDLE mutex = CreateMutexW(NULL, FALSE, MUTEX);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                        sizeof(vantorix_shared_data), MAPPING);
    vantorix_shared_data* view = static_cast<vantorix_shared_data*>(
        MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(vantorix_shared_data)));
    CHECK(mutex != NULL && mapping != NULL && view != NULL);
    if (view != NULL) {
        WaitForSingleObject(mutex, INFINITE);
        FillRecord(view);
        ReleaseMutex(mutex);
        CheckReads(view);
        CheckFault();
        CheckAbandoned();
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    CloseHandle(mutex);

    Print(g_failures == 0 ? "msvc-client: all checks passed\n" : "msvc-client: checks failed\n");
    ExitProcess(static_cast<UINT>(g_failures));
}
