// A deterministic record per generation number, in which every byte depends
// on the generation: a copy that overlaps an update mixes two generations and
// no longer matches any single one.
#ifndef VANTORIX_STANDIN_PATTERN_H
#define VANTORIX_STANDIN_PATTERN_H

#include <cstdint>

#include "GetVantorixInfo.h"

void FillPattern(std::uint32_t generation, vantorix_shared_data* record);

// True when `record` is exactly the pattern of one generation, which is
// stored in `*generation`.
bool MatchesPattern(const vantorix_shared_data& record, std::uint32_t* generation);

// Plausible readings for demonstrations: a processor of `cores` cores (1 to
// 256) whose loads and temperatures drift with `step`.
void FillSynthetic(std::uint32_t step, vantorix_shared_data* record, int cores = 4);

#endif  // VANTORIX_STANDIN_PATTERN_H
