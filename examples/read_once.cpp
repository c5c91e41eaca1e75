// Reads the monitor's record once, both ways, and prints the readings.
#include <cstdio>
#include <cstring>

#include "GetVantorixInfo.h"

static void PrintFailure(VantorixProxy& proxy, const char* what) {
    const unsigned long code = proxy.GetDllError();  // before anything replaces it
    const vantorix_utf16* text = proxy.GetErrorMessage();
    std::printf("%s failed: error %lu: ", what, code);
    for (; *text != 0; ++text) {
        std::putchar(*text < 0x80 ? static_cast<char>(*text) : '?');
    }
    std::putchar('\n');
}

int main() {
    // 1. Through a proxy: refresh with GetData, then read the accessors.
    VantorixProxy proxy;
    if (!proxy.GetData()) {
        PrintFailure(proxy, "GetData");
        return 1;
    }
    char name[101] = {0};
    std::memcpy(name, proxy.GetCPUName(), 100);  // the field need not end in a zero
    std::printf("CPU: %s\n", name);
    std::printf("processors: %d, cores: %d\n", proxy.GetCPUCount(), proxy.GetCoreCount());
    const char* unit = proxy.IsFahrenheit() ? "F" : "C";
    for (int core = 0; core < proxy.GetCoreCount() && core < 256; ++core) {
        std::printf("core %d: %.1f %s%s, load %d%%\n", core, proxy.GetTemp(core), unit,
                    proxy.IsDistanceToTjMax() ? " below TjMax" : "", proxy.GetCoreLoad(core));
    }
    std::printf("TjMax[0]: %d, VID: %.4f V\n", proxy.GetTjMax(0), proxy.GetVID());
    std::printf("clock: %.1f MHz, bus: %.1f MHz, multiplier: %.1f\n", proxy.GetCPUSpeed(),
                proxy.GetFSBSpeed(), proxy.GetMultiplier());

    // 2. Into a block of your own with the flat function.
    static vantorix_shared_data block;
    vantorix_shared_data* data = &block;
    if (!fnGetVantorixInfo(data)) {
        PrintFailure(proxy, "fnGetVantorixInfo");
        return 1;
    }
    std::printf("flat copy: %d cores, first core at %.1f %s\n", block.core_total, block.temp[0], unit);
    return 0;
}
