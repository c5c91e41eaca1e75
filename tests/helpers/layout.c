/* Prints the record's layout as the C compiler sees the public header:
 * "field offset size" per line, then "total size". */
#include <stddef.h>
#include <stdio.h>

#include "GetVantorixInfo.h"

#define FIELD(name) \
    printf("%s %u %u\n", #name, (unsigned)offsetof(vantorix_shared_data, name), \
           (unsigned)sizeof(((vantorix_shared_data*)0)->name))

int main(void) {
    FIELD(core_load);
    FIELD(tj_max);
    FIELD(core_total);
    FIELD(cpu_total);
    FIELD(temp);
    FIELD(vid_value);
    FIELD(cpu_clock);
    FIELD(fsb_clock);
    FIELD(clock_multiplier);
    FIELD(cpu_name);
    FIELD(fahrenheit);
    FIELD(distance_to_tj_max);
    FIELD(reserved);
    printf("total %u %u\n", 0u, (unsigned)sizeof(vantorix_shared_data));
    return 0;
}
