// Reads once through a proxy and prints what it got.
#include <cstdio>

#include "GetVantorixInfo.h"

int main() {
    VantorixProxy proxy;
    if (!proxy.GetData()) {
        std::printf("consumer: read failed, error %lu\n", static_cast<unsigned long>(proxy.GetDllError()));
        return 1;
    }
    std::printf("consumer: core_load[0]=%d cores=%d\n", proxy.GetCoreLoad(0), proxy.GetCoreCount());
    return 0;
}
