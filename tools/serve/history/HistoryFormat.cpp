// The history as the bytes of its file, and back (HistoryFormat.h).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "History.h"
#include "HistoryFile.h"
#include "HistoryFormat.h"

namespace {

const std::int64_t MINUTE_MS = 60000;

template <typename T>
void Put(std::string* out, T value) {
    out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads values in order, and says whether all were there.
class CCursor {
public:
    CCursor(const char* at, const char* end) : at_(at), end_(end) {}
    template <typename T>
    bool Take(T* value) {
        if (static_cast<std::size_t>(end_ - at_) < sizeof(T)) return false;
        std::memcpy(value, at_, sizeof(T));
        at_ += sizeof(T);
        return true;
    }
    bool Take(float* value) {
        if (!Take<float>(value)) return false;
        if (!std::isfinite(*value)) *value = std::numeric_limits<float>::quiet_NaN();
        return true;
    }
    bool AtEnd() const { return at_ == end_; }

private:
    const char* at_;
    const char* end_;
};

}  // namespace

std::uint64_t HistoryChecksum(const char* data, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    }
    return hash;
}

std::size_t HistoryFileLimit() {
    return HISTORY_HEADER + CHistory::RAW_SAMPLES * (16 + CHistory::CORES * 8) +
           CHistory::MINUTES * (24 + CHistory::CORES * 24) + 8;
}

std::string CHistory::FileBytes() const {
    std::size_t size = HISTORY_HEADER + 8;
    for (int row = 0; row < raw_count_; ++row) size += 16 + static_cast<std::size_t>(raw_cores_[row]) * 8;
    for (int row = 0; row < minute_count_; ++row) size += 24 + static_cast<std::size_t>(minute_cores_[row]) * 24;
    std::string out;
    out.reserve(size);
    out.append(HISTORY_MAGIC, sizeof HISTORY_MAGIC);
    Put(&out, HISTORY_VERSION);
    Put(&out, static_cast<std::uint32_t>(raw_count_));
    Put(&out, static_cast<std::uint32_t>(minute_count_));
    Put(&out, std::uint32_t{0});
    // Saved as of its latest row.
    std::int64_t saved = 0;
    for (int row = 0; row < raw_count_; ++row) saved = std::max(saved, raw_time_[row]);
    for (int row = 0; row < minute_count_; ++row) saved = std::max(saved, minute_time_[row]);
    Put(&out, saved);
    for (int n = 0; n < raw_count_; ++n) {
        const int row = (raw_next_ - raw_count_ + n + RAW_SAMPLES) % RAW_SAMPLES;
        Put(&out, raw_time_[row]);
        Put(&out, static_cast<std::uint32_t>(raw_cores_[row]));
        Put(&out, raw_clock_[row]);
        for (int core = 0; core < raw_cores_[row]; ++core) Put(&out, raw_temp_[core * RAW_SAMPLES + row]);
        for (int core = 0; core < raw_cores_[row]; ++core) Put(&out, raw_load_[core * RAW_SAMPLES + row]);
    }
    for (int n = 0; n < minute_count_; ++n) {
        const int row = (minute_next_ - minute_count_ + n + MINUTES) % MINUTES;
        const std::size_t at = static_cast<std::size_t>(row) * 3;
        Put(&out, minute_time_[row]);
        Put(&out, static_cast<std::uint32_t>(minute_cores_[row]));
        for (int k = 0; k < 3; ++k) Put(&out, minute_clock_[at + k]);
        const std::size_t stride = static_cast<std::size_t>(MINUTES) * 3;
        for (int core = 0; core < minute_cores_[row]; ++core) {
            for (int k = 0; k < 3; ++k) Put(&out, minute_temp_[core * stride + at + k]);
        }
        for (int core = 0; core < minute_cores_[row]; ++core) {
            for (int k = 0; k < 3; ++k) Put(&out, minute_load_[core * stride + at + k]);
        }
    }
    Put(&out, HistoryChecksum(out.data(), out.size()));
    return out;
}

bool CHistory::Restore(const std::string& bytes, std::int64_t now_ms, std::string* why) {
    const auto fail = [&](const char* text) {
        *why = text;
        return false;
    };
    if (bytes.size() < HISTORY_HEADER + 8 || bytes.size() > HistoryFileLimit()) return fail("not the size of a history file");
    if (std::memcmp(bytes.data(), HISTORY_MAGIC, sizeof HISTORY_MAGIC) != 0) return fail("not a history file");
    CCursor header(bytes.data() + sizeof HISTORY_MAGIC, bytes.data() + HISTORY_HEADER);
    std::uint32_t version = 0, raws = 0, minutes = 0, zero = 0;
    std::int64_t saved = 0;
    header.Take(&version);
    header.Take(&raws);
    header.Take(&minutes);
    header.Take(&zero);
    header.Take(&saved);
    if (version != HISTORY_VERSION) return fail("a version of the history file this server does not read");
    std::uint64_t checksum = 0;
    std::memcpy(&checksum, bytes.data() + bytes.size() - 8, 8);
    if (checksum != HistoryChecksum(bytes.data(), bytes.size() - 8)) return fail("its checksum does not match");
    if (raws > RAW_SAMPLES || minutes > MINUTES || zero != 0) return fail("more rows than a history holds");
    if (saved < 0 || saved > now_ms) return fail("saved in the future");

    // Rows into the rings, which no one reads before the counts are set.
    CCursor rows(bytes.data() + HISTORY_HEADER, bytes.data() + bytes.size() - 8);
    const auto row_ok = [&](std::int64_t time, std::uint32_t cores) {
        return time >= 0 && time <= saved && cores <= static_cast<std::uint32_t>(CORES);
    };
    for (std::uint32_t row = 0; row < raws; ++row) {
        std::int64_t time = 0;
        std::uint32_t cores = 0;
        if (!rows.Take(&time) || !rows.Take(&cores)) return fail("truncated");
        if (!row_ok(time, cores)) return fail("a read with more than 256 cores, or at a time out of range");
        raw_time_[row] = time;
        raw_cores_[row] = static_cast<std::int16_t>(cores);
        bool whole = rows.Take(&raw_clock_[row]);
        for (std::uint32_t core = 0; core < cores; ++core) {
            whole = whole && rows.Take(&raw_temp_[core * RAW_SAMPLES + row]);
        }
        for (std::uint32_t core = 0; core < cores; ++core) {
            whole = whole && rows.Take(&raw_load_[core * RAW_SAMPLES + row]);
        }
        if (!whole) return fail("truncated");
    }
    const std::size_t stride = static_cast<std::size_t>(MINUTES) * 3;
    for (std::uint32_t row = 0; row < minutes; ++row) {
        std::int64_t start = 0;
        std::uint32_t cores = 0;
        if (!rows.Take(&start) || !rows.Take(&cores)) return fail("truncated");
        if (!row_ok(start, cores) || start % MINUTE_MS != 0) {
            return fail("a minute with more than 256 cores, or at a time out of range");
        }
        minute_time_[row] = start;
        minute_cores_[row] = static_cast<std::int16_t>(cores);
        const std::size_t at = static_cast<std::size_t>(row) * 3;
        bool whole = true;
        for (int k = 0; k < 3; ++k) whole = whole && rows.Take(&minute_clock_[at + k]);
        for (std::uint32_t core = 0; core < cores * 3; ++core) {
            whole = whole && rows.Take(&minute_temp_[core / 3 * stride + at + core % 3]);
        }
        for (std::uint32_t core = 0; core < cores * 3; ++core) {
            whole = whole && rows.Take(&minute_load_[core / 3 * stride + at + core % 3]);
        }
        if (!whole) return fail("truncated");
    }
    if (!rows.AtEnd()) return fail("longer than its rows");

    std::lock_guard<std::mutex> guard(lock_);
    for (std::uint32_t row = 0; row < raws; ++row) raw_text_[row] = RawText(static_cast<int>(row), raw_time_[row]);
    for (std::uint32_t row = 0; row < minutes; ++row) {
        minute_text_[row] = MinuteText(static_cast<int>(row), minute_time_[row]);
    }
    raw_count_ = static_cast<int>(raws);
    raw_next_ = raw_count_ % RAW_SAMPLES;
    minute_count_ = static_cast<int>(minutes);
    minute_next_ = minute_count_ % MINUTES;
    return true;
}

bool RestoreHistory(CHistory* history, const std::string& path, std::int64_t now_ms, std::string* why) {
    std::string bytes;
    return ReadHistoryFile(path, HistoryFileLimit(), &bytes, why) && history->Restore(bytes, now_ms, why);
}
