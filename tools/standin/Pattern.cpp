#include "Pattern.h"

#include <cmath>
#include <cstdio>
#include <cstring>

void FillPattern(std::uint32_t generation, vantorix_shared_data* record) {
    std::memset(record, 0, sizeof(*record));
    // core_load[0] carries the generation itself, so a reader can recover it.
    for (std::uint32_t i = 0; i < 256; ++i) {
        record->core_load[i] = static_cast<std::int32_t>(generation + i * 0x01000193u);
        record->temp[i] = static_cast<float>(generation % 100000u) + static_cast<float>(i) * 0.25f;
    }
    for (std::uint32_t i = 0; i < 128; ++i) {
        record->tj_max[i] = static_cast<std::int32_t>(generation ^ (i << 20));
    }
    record->core_total = static_cast<std::int32_t>(1 + generation % 256u);
    record->cpu_total = static_cast<std::int32_t>(1 + generation % 4u);
    record->vid_value = 1.0f + static_cast<float>(generation % 1000u) / 1024.0f;
    record->cpu_clock = 1000.0f + static_cast<float>(generation % 4000u);
    record->fsb_clock = 100.0f + static_cast<float>(generation % 64u);
    record->clock_multiplier = static_cast<float>(8 + generation % 40u);
    std::snprintf(record->cpu_name, sizeof(record->cpu_name), "Stand-in CPU, generation %lu",
                  static_cast<unsigned long>(generation));
    record->fahrenheit = static_cast<std::uint8_t>(generation & 1u);
    record->distance_to_tj_max = static_cast<std::uint8_t>((generation >> 1) & 1u);
    record->reserved[0] = static_cast<std::uint8_t>(generation);
    record->reserved[1] = static_cast<std::uint8_t>(generation >> 8);
}

bool MatchesPattern(const vantorix_shared_data& record, std::uint32_t* generation) {
    const std::uint32_t candidate = static_cast<std::uint32_t>(record.core_load[0]);
    vantorix_shared_data expected;
    FillPattern(candidate, &expected);
    if (std::memcmp(&expected, &record, sizeof(record)) != 0) {
        return false;
    }
    *generation = candidate;
    return true;
}

void FillSynthetic(std::uint32_t step, vantorix_shared_data* record, int cores) {
    std::memset(record, 0, sizeof(*record));
    record->core_total = cores;
    record->cpu_total = 1;
    for (int i = 0; i < cores; ++i) {
        const double phase = 0.35 * step + 1.7 * i;
        const double load = 50.0 + 45.0 * std::sin(phase);
        record->core_load[i] = static_cast<std::int32_t>(load + 0.5);
        record->temp[i] = static_cast<float>(std::round((40.0 + 0.35 * load) * 10.0) / 10.0);
        if (i < 128) record->tj_max[i] = 100;  // the record holds 128
    }
    record->vid_value = 1.2125f;
    record->fsb_clock = 100.0f;
    record->clock_multiplier = 36.0f;
    record->cpu_clock = record->fsb_clock * record->clock_multiplier;
    std::snprintf(record->cpu_name, sizeof(record->cpu_name), "Stand-in CPU (synthetic readings)");
}
