// A second reader process for the tests: reads N times, alternating the proxy
// and the flat function, while the stand-in monitor republishes its pattern
// (or, given a second number, until the generation has changed that many
// times, N reads at most). Exits 0 when every read succeeded and matched one
// whole generation, and says how many times the generation changed between reads.
#include <cstdio>
#include <cstdlib>

#include "GetVantorixInfo.h"
#include "Pattern.h"

int main(int argc, char** argv) {
    long reads = argc > 1 ? std::atol(argv[1]) : 1000;
    const long enough = argc > 2 ? std::atol(argv[2]) : 0;
    VantorixProxy proxy;
    static vantorix_shared_data block;
    vantorix_shared_data* data = &block;
    long failed = 0, torn = 0, changes = 0;
    std::uint32_t last = 0;
    for (long i = 0; i < reads; ++i) {
        if (enough > 0 && changes >= enough) {
            reads = i;
            break;
        }
        const bool flat = (i % 2) == 1;
        if (!(flat ? fnGetVantorixInfo(data) : proxy.GetData())) {
            ++failed;
            continue;
        }
        std::uint32_t generation = 0;
        if (!MatchesPattern(flat ? block : *proxy.GetDataStruct(), &generation)) {
            ++torn;
        } else if (generation != last) {
            ++changes;
            last = generation;
        }
    }
    std::printf("read-stress: %ld reads, %ld changes of generation\n", reads, changes);
    if (failed != 0 || torn != 0) {
        std::fprintf(stderr, "read-stress: %ld failed, %ld torn of %ld reads\n", failed, torn, reads);
        return 1;
    }
    return 0;
}
