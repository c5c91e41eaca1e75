// The platform layer: the few operating-system primitives the reader needs.
// One implementation file per platform (platform_win32.cpp, platform_linux.cpp);
// the build compiles exactly one of them.
//
// Shared conventions:
// - Functions that can fail return true on success. On failure they return
//   false, hold nothing, and leave the platform's own code as the calling
//   thread's last-error code (GetLastError on Windows, errno on Linux).
// - Waits and releases report nothing; a release that succeeds leaves the
//   last-error code as it was, so the code of an earlier failed call survives
//   the releases that follow it.
// - Object names are the monitor's UTF-16 names; each platform maps them into
//   the caller's own namespace (logon session on Windows, user on Linux).
// - Output parameters are never null.
#ifndef GETVANTORIXINFO_PLATFORM_H
#define GETVANTORIXINFO_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "GetVantorixInfo.h"

// The process-wide reader object. Builds without a C++ runtime (clang for the
// Microsoft ABI, VANTORIX_NO_RUNTIME) have no atexit to run its destructor
// at unload; since that destructor does nothing, it is not registered there.
#if defined(VANTORIX_NO_RUNTIME) && defined(__clang__)
#define VANTORIX_PROCESS_OBJECT [[clang::no_destroy]]
#else
#define VANTORIX_PROCESS_OBJECT
#endif

namespace Platform {

// A kernel handle (Windows) or a file descriptor (Linux).
typedef std::uintptr_t Handle;
// What MapView returns and GuardedCopy reads from: the view's address on
// Windows; on Linux the region's descriptor, read by the kernel.
typedef std::uintptr_t View;

// Where the monitor's names resolve for the calling process: on Linux its
// effective uid (names carry it, and objects must belong to it); unused on
// Windows, whose kernel resolves names in the caller's logon session. Asked
// once per request and passed to both opens.
typedef std::uint32_t Namespace;
Namespace CallerNamespace();

// Creates the named mutex, or opens it if it exists. Not owned on return.
bool CreateOrOpenMutex(Namespace space, const char16_t* name, Handle* mutex);
// Waits without a time limit until this thread owns the mutex. A mutex whose
// owner died counts as acquired; the outcome is not reported.
void WaitForMutex(Handle mutex);
void ReleaseMutex(Handle mutex);
void CloseMutex(Handle mutex);

// Opens the existing named region for reading. Fails with the platform's
// "does not exist" code when nobody created it.
bool OpenRegion(Namespace space, const char16_t* name, Handle* region);
void CloseRegion(Handle region);

// Maps a read-only view of the whole region.
bool MapView(Handle region, View* view);
void UnmapView(View view);

// Copies `size` bytes from the start of the view into `dest`. Returns false,
// without crashing, when reading the view or writing `dest` faults or the
// region holds fewer than `size` bytes; `dest` is then partly written.
// Sets no last-error code.
bool GuardedCopy(void* dest, View view, std::size_t size);

std::uint32_t GetLastErrorCode();
void SetLastErrorCode(std::uint32_t code);
// The platform's code for an invalid argument.
std::uint32_t InvalidParameterCode();

// Writes the system's text for `code` into `text` (capacity `capacity`
// units, terminating zero included) and returns true. Returns false and
// writes an empty string when the system has no text or it does not fit.
bool GetSystemMessage(std::uint32_t code, vantorix_utf16* text, std::size_t capacity);

}  // namespace Platform

#endif  // GETVANTORIXINFO_PLATFORM_H
