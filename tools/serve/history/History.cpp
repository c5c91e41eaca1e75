#include "History.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "Numbers.h"
#include "Outputs.h"
#include "Text.h"

namespace {

const float MISSING = std::numeric_limits<float>::quiet_NaN();
const std::int64_t MINUTE_MS = 60000;

float Kept(float value) {
    return std::isfinite(value) ? value : MISSING;
}

// The shortest text that reads back as `value`; null when missing.
void Append(std::string* out, float value) {
    if (std::isnan(value)) {
        *out += "null";
        return;
    }
    *out += ShortestText(value, FloatStyle::ToChars);
}

void Append(std::string* out, std::int64_t value) {
    char text[24];
    *out += std::string_view(text, static_cast<std::size_t>(std::to_chars(text, text + sizeof(text), value).ptr - text));
}

// `"key":[f(0),...,f(count-1)]`
template <typename F>
void AppendArray(std::string* out, const char* key, int count, F value) {
    *out += ",\"";
    *out += key;
    *out += "\":[";
    for (int core = 0; core < count; ++core) {
        if (core) *out += ',';
        Append(out, value(core));
    }
    *out += ']';
}

void AppendField(std::string* out, const char* key, float value) {
    *out += ",\"";
    *out += key;
    *out += "\":";
    Append(out, value);
}

// Minimum, mean, maximum under the names "temp_min", "temp", "temp_max".
template <typename F>
void AppendTriple(std::string* out, const char* name, int count, F value) {
    const std::string key = name;
    AppendArray(out, (key + "_min").c_str(), count, [&](int core) { return value(core, 0); });
    AppendArray(out, key.c_str(), count, [&](int core) { return value(core, 1); });
    AppendArray(out, (key + "_max").c_str(), count, [&](int core) { return value(core, 2); });
}

// One minute's text: its start, cores and figures.
template <typename Clock, typename Temp, typename Load>
std::shared_ptr<const std::string> MinuteJson(std::int64_t start, int cores, Clock clock, Temp temp, Load load) {
    auto out = std::make_shared<std::string>();
    out->reserve(160 + static_cast<std::size_t>(cores) * 48);
    *out += ",{\"t\":";
    Append(out.get(), start);
    AppendField(out.get(), "cpu_clock_min", clock(0));
    AppendField(out.get(), "cpu_clock", clock(1));
    AppendField(out.get(), "cpu_clock_max", clock(2));
    AppendTriple(out.get(), "temp", cores, temp);
    AppendTriple(out.get(), "load", cores, load);
    *out += '}';
    return out;
}

// The columns of a minute's figures.
enum Column { MIN = 0, MEAN = 1, MAX = 2 };

// The minute's minimum, mean or maximum of `values`, by `column`.
float MinuteFigure(const CHistory::Accumulator& values, int column) {
    if (values.count == 0) return MISSING;
    if (column == MIN) return values.min;
    if (column == MAX) return values.max;
    return static_cast<float>(values.sum / static_cast<double>(values.count));
}

const auto ANSWER_END = std::make_shared<const std::string>("]}\n");

}  // namespace

void CHistory::Accumulator::Add(float value) {
    if (std::isnan(value)) return;
    min = count == 0 ? value : std::min(min, value);
    max = count == 0 ? value : std::max(max, value);
    sum += value;
    ++count;
}

CHistory::CHistory(double interval)
    : keep_every_(interval < 1 ? static_cast<int>(std::ceil(1 / interval - 1e-9)) : 1),
      // new T[] without (): reserved, not written, so not resident until used.
      raw_time_(new std::int64_t[RAW_SAMPLES]),
      raw_text_(new std::shared_ptr<const std::string>[RAW_SAMPLES]),
      raw_cores_(new std::int16_t[RAW_SAMPLES]),
      raw_clock_(new float[RAW_SAMPLES]),
      raw_temp_(new float[static_cast<std::size_t>(CORES) * RAW_SAMPLES]),
      raw_load_(new float[static_cast<std::size_t>(CORES) * RAW_SAMPLES]),
      minute_time_(new std::int64_t[MINUTES]),
      minute_text_(new std::shared_ptr<const std::string>[MINUTES]),
      minute_cores_(new std::int16_t[MINUTES]),
      minute_clock_(new float[3 * MINUTES]),
      minute_temp_(new float[static_cast<std::size_t>(CORES) * MINUTES * 3]),
      minute_load_(new float[static_cast<std::size_t>(CORES) * MINUTES * 3]),
      open_temp_(new Accumulator[CORES]),
      open_load_(new Accumulator[CORES]) {}

std::shared_ptr<const std::string> CHistory::RawText(int row, std::int64_t time_ms) const {
    const int cores = raw_cores_[row];
    auto out = std::make_shared<std::string>();
    out->reserve(64 + static_cast<std::size_t>(cores) * 16);
    *out += ",{\"t\":";
    Append(out.get(), time_ms);
    AppendField(out.get(), "cpu_clock", raw_clock_[row]);
    AppendArray(out.get(), "temp", cores, [&](int core) { return raw_temp_[core * RAW_SAMPLES + row]; });
    AppendArray(out.get(), "load", cores, [&](int core) { return raw_load_[core * RAW_SAMPLES + row]; });
    *out += '}';
    return out;
}

std::shared_ptr<const std::string> CHistory::MinuteText(int row, std::int64_t start) const {
    const auto at = [&](int core, int k) { return (static_cast<std::size_t>(core) * MINUTES + row) * 3 + k; };
    return MinuteJson(
        start, minute_cores_[row], [&](int k) { return minute_clock_[3 * row + k]; },
        [&](int core, int k) { return minute_temp_[at(core, k)]; },
        [&](int core, int k) { return minute_load_[at(core, k)]; });
}

std::shared_ptr<const std::string> CHistory::OpenMinuteText(std::int64_t start) const {
    return MinuteJson(
        start, open_cores_, [&](int k) { return MinuteFigure(open_clock_, k); },
        [&](int core, int k) { return MinuteFigure(open_temp_[core], k); },
        [&](int core, int k) { return MinuteFigure(open_load_[core], k); });
}

bool CHistory::Add(const Reading& reading, std::int64_t time_ms) {
    const vantorix_shared_data& r = reading.record;
    const bool ok = reading.status == Reading::Status::Ok;
    const int cores = ok ? ShownCores(r) : 0;
    const auto temp = [&](int core) { return TemperatureReported(r, core) ? Kept(r.temp[core]) : MISSING; };
    const auto load = [&](int core) { return Kept(static_cast<float>(r.core_load[core])); };
    const float clock = ok && Reported(r.cpu_clock) ? Kept(r.cpu_clock) : MISSING;

    // The figures and their texts first, in rows requests do not read yet.
    std::shared_ptr<const std::string> raw;
    if (reads_++ % keep_every_ == 0) {
        const int row = raw_next_;
        raw_cores_[row] = static_cast<std::int16_t>(cores);
        raw_clock_[row] = clock;
        for (int core = 0; core < cores; ++core) {
            raw_temp_[core * RAW_SAMPLES + row] = temp(core);
            raw_load_[core * RAW_SAMPLES + row] = load(core);
        }
        raw = RawText(row, time_ms);
    }

    const std::int64_t minute = time_ms - ((time_ms % MINUTE_MS) + MINUTE_MS) % MINUTE_MS;
    const bool closes = minute != open_minute_ && open_minute_ >= 0;
    std::shared_ptr<const std::string> closed;
    if (closes) closed = CloseMinute();
    const std::int64_t closed_start = open_minute_;
    if (minute != open_minute_) {
        open_cores_ = 0;
        open_clock_ = Accumulator();
    }
    for (int core = open_cores_; core < cores; ++core) open_temp_[core] = open_load_[core] = Accumulator();
    open_cores_ = std::max(open_cores_, cores);
    open_clock_.Add(clock);
    for (int core = 0; core < cores; ++core) {
        open_temp_[core].Add(temp(core));
        open_load_[core].Add(load(core));
    }

    // Then shown to requests at once, each text with its time; the texts
    // they replace are let go after the lock.
    std::shared_ptr<const std::string> open = OpenMinuteText(minute);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (raw) {
            raw_time_[raw_next_] = time_ms;
            raw_text_[raw_next_].swap(raw);
            raw_next_ = (raw_next_ + 1) % RAW_SAMPLES;
            raw_count_ = std::min(raw_count_ + 1, RAW_SAMPLES);
        }
        if (closed) {
            minute_time_[minute_next_] = closed_start;
            minute_text_[minute_next_].swap(closed);
            minute_next_ = (minute_next_ + 1) % MINUTES;
            minute_count_ = std::min(minute_count_ + 1, MINUTES);
        }
        open_minute_ = minute;
        open_text_.swap(open);
    }
    return closes;
}

// The figures of the minute in progress into the next row of the ring (not
// yet shown), and their text.
std::shared_ptr<const std::string> CHistory::CloseMinute() {
    const int row = minute_next_;
    minute_cores_[row] = static_cast<std::int16_t>(open_cores_);
    for (int k = 0; k < 3; ++k) {
        minute_clock_[3 * row + k] = MinuteFigure(open_clock_, k);
        for (int core = 0; core < open_cores_; ++core) {
            const std::size_t at = (static_cast<std::size_t>(core) * MINUTES + row) * 3 + k;
            minute_temp_[at] = MinuteFigure(open_temp_[core], k);
            minute_load_[at] = MinuteFigure(open_load_[core], k);
        }
    }
    return MinuteText(row, open_minute_);
}

HistoryAnswer CHistory::Answer(long seconds, std::int64_t since_ms, std::int64_t now_ms) const {
    const bool minutes = seconds > RAW_SAMPLES;
    HistoryAnswer answer;
    answer.body = "{\"seconds\":";
    Append(&answer.body, static_cast<std::int64_t>(seconds));
    answer.body += minutes ? ",\"aggregate\":\"minute\",\"samples\":[" : ",\"aggregate\":null,\"samples\":[";
    // Samples later than `since_ms` within the range; of the minutes, those
    // the range touches, the one in progress last.
    const std::int64_t from_ms = std::max(now_ms - seconds * 1000, since_ms + 1);
    TextPieces& pieces = answer.pieces;
    const auto take = [&](const std::shared_ptr<const std::string>& text) {
        pieces.push_back(TextPiece{text, 0, text->size()});
    };
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (minutes) {
            pieces.reserve(static_cast<std::size_t>(minute_count_) + 2);
            for (int n = 0; n < minute_count_; ++n) {
                const int row = (minute_next_ - minute_count_ + n + MINUTES) % MINUTES;
                if (minute_time_[row] + MINUTE_MS > from_ms) take(minute_text_[row]);
            }
            if (open_text_ && open_minute_ + MINUTE_MS > from_ms) take(open_text_);
        } else {
            pieces.reserve(static_cast<std::size_t>(raw_count_) + 1);
            for (int n = 0; n < raw_count_; ++n) {
                const int row = (raw_next_ - raw_count_ + n + RAW_SAMPLES) % RAW_SAMPLES;
                if (raw_time_[row] >= from_ms) take(raw_text_[row]);
            }
        }
    }
    // Each text begins with the comma that follows the one before.
    if (!pieces.empty()) pieces.front().offset = 1, pieces.front().size -= 1;
    pieces.push_back(TextPiece{ANSWER_END, 0, ANSWER_END->size()});
    return answer;
}

std::string Joined(const HistoryAnswer& answer) {
    std::string out = answer.body;
    for (const TextPiece& piece : answer.pieces) out.append(*piece.text, piece.offset, piece.size);
    return out;
}

namespace {

// A whole decimal number of at most 15 digits, nothing else.
bool WholeNumber(const std::string& text, std::int64_t* value) {
    long long number = 0;
    if (text.size() > 15 || !ParseWhole(text, 0, 999999999999999, Sign::Refused, &number)) return false;
    *value = number;
    return true;
}

HistoryAnswer BadRequest(const std::string& why) {
    HistoryAnswer answer;
    answer.status = 400;
    answer.body = "{\"error\":\"" + why + "\"}\n";
    return answer;
}

}  // namespace

HistoryAnswer AnswerHistory(const CHistory& history, const std::string& query, std::int64_t now_ms) {
    std::int64_t seconds = -1;
    std::int64_t since = -1;
    std::size_t at = 0;
    while (at <= query.size() && !query.empty()) {
        const std::size_t end = std::min(query.find('&', at), query.size());
        const std::string pair = query.substr(at, end - at);
        const std::size_t equals = pair.find('=');
        const std::string key = pair.substr(0, equals);
        std::int64_t* target = key == "seconds" ? &seconds : key == "since" ? &since : nullptr;
        if (!target) return BadRequest("unknown parameter: only seconds and since");
        if (*target != -1) return BadRequest(key + " given twice");
        if (equals == std::string::npos || !WholeNumber(pair.substr(equals + 1), target)) {
            return BadRequest(key + " must be a whole number");
        }
        at = end + 1;
    }
    if (seconds < 1 || seconds > CHistory::MAX_SECONDS) {
        return BadRequest("seconds must be given, from 1 to 86400");
    }
    return history.Answer(static_cast<long>(seconds), since, now_ms);
}
