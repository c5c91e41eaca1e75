/* A client written in C: reads the record once through fnGetVantorixInfo and
 * checks it against the stand-in monitor's pattern generation given as the
 * first argument. Exits 0 on a match. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "GetVantorixInfo.h"

int main(int argc, char** argv) {
    static vantorix_shared_data block;
    vantorix_shared_data* data = &block;
    vantorix_shared_data* const before = data;
    const long generation = argc > 1 ? atol(argv[1]) : 1;
    char expected_name[100];

    if (!fnGetVantorixInfo(&data)) {
        fprintf(stderr, "c-client: fnGetVantorixInfo failed\n");
        return 1;
    }
    snprintf(expected_name, sizeof(expected_name), "Stand-in CPU, generation %ld", generation);
    if (data != before || block.core_load[0] != generation ||
        block.core_total != 1 + generation % 256 || strcmp(block.cpu_name, expected_name) != 0) {
        fprintf(stderr, "c-client: unexpected record (core_load[0] = %ld)\n", (long)block.core_load[0]);
        return 1;
    }
    if (fnGetVantorixInfo(NULL) || data != before) {
        fprintf(stderr, "c-client: a null argument did not fail cleanly\n");
        return 1;
    }
    printf("c-client: %d cores, %s\n", (int)block.core_total, block.cpu_name);
    return 0;
}
