#include <cstring>

#include "GetVantorixInfo.h"
#include "../platform/Platform.h"
#include "../sharedmem/SharedMemClient.h"

namespace {

const std::size_t CORE_SLOTS = 256;
const std::size_t TJ_MAX_SLOTS = 128;
const std::size_t ERROR_MESSAGE_CAPACITY = 100;
// One less than the field holds, terminating zero included.
const std::size_t SYSTEM_MESSAGE_CAPACITY = ERROR_MESSAGE_CAPACITY - 1;
const std::uint32_t APPLICATION_ERROR_BIT = 0x20000000u;

const char16_t COPY_ERROR_TEXT[] = u"Unknown error occured while copying shared memory.";

// Out-of-range indices (negative ones included) read nothing.
bool InRange(int index, std::size_t slots) {
    return index >= 0 && static_cast<std::size_t>(index) < slots;
}

}  // namespace

VantorixProxy::VantorixProxy() {
    std::memset(&snapshot, 0, sizeof(snapshot));
    error_message[0] = 0;
}

VantorixProxy::~VantorixProxy() {}

bool VantorixProxy::GetData() {
    return FetchSharedData(&snapshot);
}

const vantorix_shared_data* VantorixProxy::GetDataStruct() const {
    return &snapshot;
}

int32_t VantorixProxy::GetCoreLoad(int core) const {
    return InRange(core, CORE_SLOTS) ? snapshot.core_load[core] : 0;
}

int32_t VantorixProxy::GetTjMax(int index) const {
    return InRange(index, TJ_MAX_SLOTS) ? snapshot.tj_max[index] : 0;
}

int32_t VantorixProxy::GetCoreCount() const {
    return snapshot.core_total;
}

int32_t VantorixProxy::GetCPUCount() const {
    return snapshot.cpu_total;
}

float VantorixProxy::GetTemp(int core) const {
    return InRange(core, CORE_SLOTS) ? snapshot.temp[core] : 0.0f;
}

float VantorixProxy::GetVID() const {
    return snapshot.vid_value;
}

float VantorixProxy::GetCPUSpeed() const {
    return snapshot.cpu_clock;
}

float VantorixProxy::GetFSBSpeed() const {
    return snapshot.fsb_clock;
}

float VantorixProxy::GetMultiplier() const {
    return snapshot.clock_multiplier;
}

const char* VantorixProxy::GetCPUName() const {
    return snapshot.cpu_name;
}

bool VantorixProxy::IsFahrenheit() const {
    return snapshot.fahrenheit != 0;
}

bool VantorixProxy::IsDistanceToTjMax() const {
    return snapshot.distance_to_tj_max != 0;
}

uint32_t VantorixProxy::GetDllError() const {
    return Platform::GetLastErrorCode();
}

vantorix_utf16* VantorixProxy::GetErrorMessage() {
    const std::uint32_t code = Platform::GetLastErrorCode();
    if (code & APPLICATION_ERROR_BIT) {
        static_assert(sizeof(COPY_ERROR_TEXT) / sizeof(COPY_ERROR_TEXT[0]) <= ERROR_MESSAGE_CAPACITY,
                      "the fixed text fits the field");
        for (std::size_t i = 0; i < sizeof(COPY_ERROR_TEXT) / sizeof(COPY_ERROR_TEXT[0]); ++i) {
            error_message[i] = static_cast<vantorix_utf16>(COPY_ERROR_TEXT[i]);
        }
    } else {
        // Writes an empty string itself when there is no text that fits.
        Platform::GetSystemMessage(code, error_message, SYSTEM_MESSAGE_CAPACITY);
    }
    return error_message;
}
