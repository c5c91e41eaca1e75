/* Reads once through the flat function, from C, and prints what it got. */
#include <stdio.h>

#include "GetVantorixInfo.h"

int main(void) {
    static vantorix_shared_data block;
    vantorix_shared_data* data = &block;
    if (!fnGetVantorixInfo(&data)) {
        printf("consumer-c: read failed\n");
        return 1;
    }
    printf("consumer-c: core_load[0]=%d cores=%d\n", (int)block.core_load[0], (int)block.core_total);
    return 0;
}
