/* A Windows program that takes the monitor's named mutex and keeps it until
 * it is killed, as a reader stopped in a debugger would: for the bridge's
 * test. Prints "held" once it holds it. */
#include <stdio.h>
#include <windows.h>

#include "ObjectNames.h"

int main(void) {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"" VANTORIX_MUTEX_NAME);
    DWORD wait = mutex == NULL ? WAIT_FAILED : WaitForSingleObject(mutex, 10000);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        fprintf(stderr, "hold-mutex: cannot take the monitor's mutex (error %lu)\n", GetLastError());
        return 1;
    }
    puts("held");
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
