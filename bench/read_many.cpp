// Reads N times through the flat function and exits: the workload for
// counting system calls per read (scripts/bench.sh runs it under strace).
#include <cstdlib>

#include "GetVantorixInfo.h"

int main(int argc, char** argv) {
    const long reads = argc > 1 ? std::atol(argv[1]) : 0;
    static vantorix_shared_data block;
    vantorix_shared_data* data = &block;
    long failed = 0;
    for (long i = 0; i < reads; ++i) {
        if (!fnGetVantorixInfo(data)) ++failed;
    }
    return failed == 0 ? 0 : 1;
}
