// The tool's outputs, each a pure function of one reading. The record comes
// from another program, so every byte of it is untrusted: whatever it holds,
// JSON stays JSON, metrics stay in the text format, and nothing that reaches
// a terminal carries a control character of the record's.
#ifndef VANTORIX_READING_OUTPUTS_H
#define VANTORIX_READING_OUTPUTS_H

#include <string>

#include "Reading.h"

// The number of cores to show: the record's count, clamped to its arrays.
int ShownCores(const vantorix_shared_data& record);
int ShownTjMax(const vantorix_shared_data& record);

// Readings the monitor did not report. The record has no validity flags, so
// a temperature, TjMax, processor clock, bus clock, multiplier or VID of
// exactly 0 means "not reported", except a temperature in distance-to-TjMax
// mode, which is 0 at TjMax. Loads and counts are real at 0. Not reported is
// "n/a" in the table and the live view, null in JSON, and no sample at all in
// the metrics.
inline bool Reported(double value) {
    return value != 0;
}
inline bool TemperatureReported(const vantorix_shared_data& record, int core) {
    return record.distance_to_tj_max != 0 || Reported(record.temp[core]);
}

// The readings as a table (status Ok), lines ended by `eol`; `bars` adds a
// load bar and a temperature bar to each core, as the live view shows them.
std::string RenderTable(const Reading& reading, bool bars, const char* eol);

// One frame of the live view: the table with bars, or what went wrong,
// drawn over the previous frame with escape sequences, or as plain text.
std::string RenderLiveFrame(const Reading& reading, double interval, bool escapes);

// One JSON object on one line.
std::string RenderJson(const Reading& reading);

// Prometheus' text exposition format.
std::string RenderPrometheus(const Reading& reading);

#endif  // VANTORIX_READING_OUTPUTS_H
