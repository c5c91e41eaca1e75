#include "GetVantorixInfo.h"
#include "../platform/Platform.h"
#include "../sharedmem/SharedMemClient.h"

extern "C" bool fnGetVantorixInfo(vantorix_shared_data*& data) {
    // C callers pass a pointer to their pointer, which may itself be null. A
    // reference cannot be compared with null in C++ without the compiler
    // assuming the answer, hence the volatile copy of its address.
    vantorix_shared_data* const* volatile slot = &data;
    if (slot == nullptr || *slot == nullptr) {
        Platform::SetLastErrorCode(Platform::InvalidParameterCode());
        return false;  // refused before anything is acquired
    }
    return FetchSharedData(*slot);
}
