// The few things a Microsoft-ABI compiler expects from a C++ runtime, for the
// build that links none (clang targeting *-windows-msvc, VANTORIX_NO_RUNTIME).
// Everything else comes from kernel32 and ucrtbase directly.
#include <stdlib.h>

#include <cstddef>

// The proxy's deleting destructor frees through these. ucrtbase's free is
// the heap that a Visual C++ client's new allocates from, so a proxy made
// with new in the client and deleted through its virtual destructor goes
// back where it came from.
void operator delete(void* memory) noexcept {
    free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    free(memory);
}

// Marks the use of floating point; the runtime would define it.
extern "C" int _fltused = 0;
