// The reader: copies the monitor's record out of the named shared region
// under the named mutex. Internal to the library.
#ifndef GETVANTORIXINFO_SHAREDMEMCLIENT_H
#define GETVANTORIXINFO_SHAREDMEMCLIENT_H

#include "GetVantorixInfo.h"

class CSharedMemClient {
public:
    virtual ~CSharedMemClient();

    // Copies one whole record into `dest` (at least 2688 writable bytes).
    // False on failure, with the reason in the calling thread's last-error
    // code; SHAREDMEM_COPY_ERROR when the copy itself faulted.
    bool CopySharedMemory(vantorix_shared_data* dest);
};

// The process's one reader. It has no state, so every thread shares it.
extern CSharedMemClient g_SharedMemClient;

// The single internal entry to the reader for the proxy and the flat function.
bool FetchSharedData(vantorix_shared_data* dest);

#endif  // GETVANTORIXINFO_SHAREDMEMCLIENT_H
