// The library entry routine. Loading never fails on the library's account,
// and no notification does any work: nothing is created or opened until a
// client reads.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
