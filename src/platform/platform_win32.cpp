// Windows primitives: the monitor's named kernel objects in the caller's
// logon-session namespace, and a copy guarded against access violations and
// in-page errors.
#include "Platform.h"

#include <windows.h>

#include <string.h>

namespace Platform {
namespace {

LPCWSTR WideName(const char16_t* name) {
    return reinterpret_cast<LPCWSTR>(name);  // wchar_t is UTF-16 on Windows
}

HANDLE AsHandle(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

#if defined(_MSC_VER) || defined(VANTORIX_SEH_GUARD)

// One guard per toolchain. Compilers for the Microsoft ABI (MSVC, and clang
// targeting *-windows-msvc, which the build marks with VANTORIX_SEH_GUARD)
// have structured exception handling: they guard the runtime's bounded copy
// directly. Kept out of line, so that the fault is raised in a frame that
// the handler covers.
__declspec(noinline) bool CopyUnderGuard(void* dest, const void* source, std::size_t size) {
    __try {
        memcpy_s(dest, size, source, size);
        return true;
    } __except (GetExceptionCode() == EXCEPTION_ACCESS_VIOLATION ||
                        GetExceptionCode() == EXCEPTION_IN_PAGE_ERROR
                    ? EXCEPTION_EXECUTE_HANDLER
                    : EXCEPTION_CONTINUE_SEARCH) {
        return false;
    }
}

#elif defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

// GCC has no __try. The copy is a small routine of our own whose faulting
// instructions and registers are known; while it runs, a vectored exception
// handler turns a fault inside it into a jump to its landing point, which
// returns 0. The handler is stateless, so it is safe whichever thread faults,
// and it is registered for the copy alone: it never outlives a request, so
// it can never be left behind when the library unloads.
extern "C" const unsigned char GuardedCopyLanding[] __asm__("vtx_guarded_copy_landing");

#if defined(__x86_64__)
// rcx = dest, rdx = source, r8 = size. Touches only volatile registers and
// never the stack, so as a leaf routine it needs no unwind data.
extern "C" __attribute__((naked, noinline)) int VtxGuardedCopy(void*, const void*, std::size_t) {
    __asm__(
        "    movq %r8, %rax\n"
        "    shrq $4, %rax\n"
        "    jz 2f\n"
        "1:  movdqu (%rdx), %xmm0\n"
        "    movdqu %xmm0, (%rcx)\n"
        "    addq $16, %rdx\n"
        "    addq $16, %rcx\n"
        "    decq %rax\n"
        "    jnz 1b\n"
        "2:  andq $15, %r8\n"
        "    jz 4f\n"
        "3:  movzbl (%rdx), %r9d\n"
        "    movb %r9b, (%rcx)\n"
        "    incq %rdx\n"
        "    incq %rcx\n"
        "    decq %r8\n"
        "    jnz 3b\n"
        "4:  movl $1, %eax\n"
        "    ret\n"
        "vtx_guarded_copy_landing:\n"
        "    xorl %eax, %eax\n"
        "    ret\n");
}
#else
// cdecl: dest, source, size on the stack. rep movsb keeps its cursors in
// edi/esi and the remaining count in ecx.
extern "C" __attribute__((naked, noinline)) int VtxGuardedCopy(void*, const void*, std::size_t) {
    __asm__(
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    movl 12(%esp), %edi\n"
        "    movl 16(%esp), %esi\n"
        "    movl 20(%esp), %ecx\n"
        "    cld\n"
        "    rep movsb\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    movl $1, %eax\n"
        "    ret\n"
        "vtx_guarded_copy_landing:\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    xorl %eax, %eax\n"
        "    ret\n");
}
#endif

// Accepts only an access violation or in-page error raised by the copy
// routine itself at an address inside the bytes it is moving.
LONG CALLBACK CopyFaultHandler(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if ((record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION &&
         record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR) ||
        record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    CONTEXT* context = info->ContextRecord;
#if defined(__x86_64__)
    const ULONG_PTR ip = context->Rip;
    const ULONG_PTR source = context->Rdx;
    const ULONG_PTR dest = context->Rcx;
    const ULONG_PTR span = 16;
#else
    const ULONG_PTR ip = context->Eip;
    const ULONG_PTR source = context->Esi;
    const ULONG_PTR dest = context->Edi;
    const ULONG_PTR span = context->Ecx;
#endif
    const ULONG_PTR begin = reinterpret_cast<ULONG_PTR>(&VtxGuardedCopy);
    const ULONG_PTR landing = reinterpret_cast<ULONG_PTR>(GuardedCopyLanding);
    const ULONG_PTR address = record->ExceptionInformation[1];
    if (ip < begin || ip >= landing ||
        (address - source >= span && address - dest >= span)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
#if defined(__x86_64__)
    context->Rip = landing;
#else
    context->Eip = landing;
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool CopyUnderGuard(void* dest, const void* source, std::size_t size) {
    PVOID handler = AddVectoredExceptionHandler(1, CopyFaultHandler);
    if (handler == NULL) {
        return false;  // an unguarded copy could crash the caller
    }
    const bool copied = VtxGuardedCopy(dest, source, size) != 0;
    RemoveVectoredExceptionHandler(handler);
    return copied;
}

#else
#error "no fault guard for this compiler and processor"
#endif

}  // namespace

Namespace CallerNamespace() {
    return 0;  // the kernel resolves names in the caller's logon session
}

bool CreateOrOpenMutex(Namespace, const char16_t* name, Handle* mutex) {
    HANDLE handle = CreateMutexW(NULL, FALSE, WideName(name));
    if (handle == NULL && GetLastError() == ERROR_ACCESS_DENIED) {
        // A monitor running elevated may grant others less than full access;
        // a request needs only to wait on the mutex and release it.
        handle = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, WideName(name));
    }
    if (handle == NULL) {
        return false;
    }
    *mutex = reinterpret_cast<Handle>(handle);
    return true;
}

void WaitForMutex(Handle mutex) {
    // WAIT_ABANDONED also means this thread owns the mutex now.
    WaitForSingleObject(AsHandle(mutex), INFINITE);
}

void ReleaseMutex(Handle mutex) {
    ::ReleaseMutex(AsHandle(mutex));
}

void CloseMutex(Handle mutex) {
    CloseHandle(AsHandle(mutex));
}

bool OpenRegion(Namespace, const char16_t* name, Handle* region) {
    // Not inheritable: a child process started meanwhile by another thread
    // must not keep the monitor's region alive.
    HANDLE handle = OpenFileMappingW(FILE_MAP_READ, FALSE, WideName(name));
    if (handle == NULL) {
        return false;
    }
    *region = reinterpret_cast<Handle>(handle);
    return true;
}

void CloseRegion(Handle region) {
    CloseHandle(AsHandle(region));
}

bool MapView(Handle region, View* view) {
    void* address = MapViewOfFile(AsHandle(region), FILE_MAP_READ, 0, 0, 0);
    if (address == NULL) {
        return false;
    }
    *view = reinterpret_cast<View>(address);
    return true;
}

void UnmapView(View view) {
    UnmapViewOfFile(reinterpret_cast<const void*>(view));
}

bool GuardedCopy(void* dest, View view, std::size_t size) {
    return CopyUnderGuard(dest, reinterpret_cast<const void*>(view), size);
}

std::uint32_t GetLastErrorCode() {
    return GetLastError();
}

void SetLastErrorCode(std::uint32_t code) {
    SetLastError(code);
}

std::uint32_t InvalidParameterCode() {
    return ERROR_INVALID_PARAMETER;
}

bool GetSystemMessage(std::uint32_t code, vantorix_utf16* text, std::size_t capacity) {
    text[0] = 0;
    // Inserts are ignored: no values are passed, so none may be read.
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        NULL, code, 0, text, static_cast<DWORD>(capacity), NULL);
    if (length == 0) {
        text[0] = 0;  // a failed call may have left part of a text behind
        return false;
    }
    return true;
}

}  // namespace Platform
