// The history file's format: what a restarted server shows at once. Native byte
// order (the magic read back in the other order does not match):
//
//   header   "VANTHIST", u32 version (1), u32 raw rows (<= 3600),
//            u32 minute rows (<= 1440), u32 0, i64 saved at (ms since 1970)
//   raw      per row, oldest first: i64 time, u32 cores (<= 256), f32 clock,
//            cores x f32 temperature, cores x f32 load
//   minutes  per row, oldest first: i64 start (a whole minute), u32 cores,
//            3 x f32 clock (min, mean, max), cores x 3 x f32 temperature,
//            cores x 3 x f32 load
//   end      u64 FNV-1a of every byte before it
//
// A file is taken only whole: every size, count and time is checked (none in
// the future) before any of it is used.
#ifndef VANTORIX_SERVE_HISTORY_HISTORYFORMAT_H
#define VANTORIX_SERVE_HISTORY_HISTORYFORMAT_H

#include <cstddef>
#include <cstdint>

constexpr char HISTORY_MAGIC[8] = {'V', 'A', 'N', 'T', 'H', 'I', 'S', 'T'};
constexpr std::uint32_t HISTORY_VERSION = 1;
constexpr std::size_t HISTORY_HEADER = 32;  // bytes before the first row

// The checksum that ends a file (FNV-1a, 64 bits), and the largest file:
// full rings of 256 cores.
std::uint64_t HistoryChecksum(const char* data, std::size_t size);
std::size_t HistoryFileLimit();

#endif  // VANTORIX_SERVE_HISTORY_HISTORYFORMAT_H
