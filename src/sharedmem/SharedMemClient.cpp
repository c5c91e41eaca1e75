#include "SharedMemClient.h"

#include "../names/ObjectNames.h"
#include "../platform/Platform.h"

namespace {

const char16_t MUTEX_NAME[] = u"" VANTORIX_MUTEX_NAME;
const char16_t MAPPING_NAME[] = u"" VANTORIX_MAPPING_NAME;

}  // namespace

VANTORIX_PROCESS_OBJECT CSharedMemClient g_SharedMemClient;

CSharedMemClient::~CSharedMemClient() {}

// Every path releases what it acquired, in reverse order, and the failed
// call's code is left as it is: the releases neither save nor restore it.
// The mutex is held only while the region is opened, viewed and copied.
bool CSharedMemClient::CopySharedMemory(vantorix_shared_data* dest) {
    bool result = false;

    const Platform::Namespace space = Platform::CallerNamespace();
    Platform::Handle mutex;
    if (!Platform::CreateOrOpenMutex(space, MUTEX_NAME, &mutex)) {
        return false;
    }
    Platform::WaitForMutex(mutex);

    Platform::Handle region;
    if (!Platform::OpenRegion(space, MAPPING_NAME, &region)) {
        Platform::ReleaseMutex(mutex);
        Platform::CloseMutex(mutex);
        return false;
    }

    Platform::View view;
    if (!Platform::MapView(region, &view)) {
        Platform::ReleaseMutex(mutex);
        Platform::CloseMutex(mutex);
        Platform::CloseRegion(region);
        return false;
    }

    if (Platform::GuardedCopy(dest, view, sizeof(vantorix_shared_data))) {
        result = true;
    } else {
        Platform::SetLastErrorCode(SHAREDMEM_COPY_ERROR);
    }

    Platform::UnmapView(view);
    Platform::CloseRegion(region);
    Platform::ReleaseMutex(mutex);
    Platform::CloseMutex(mutex);
    return result;
}

bool FetchSharedData(vantorix_shared_data* dest) {
    return g_SharedMemClient.CopySharedMemory(dest);
}
