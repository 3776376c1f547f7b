// What the benchmark programs share: a monotonic clock, sample files and their statistics.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in seconds: the children stamp their announcements with the same clock.
double Now();
void SleepSeconds(double seconds);

// Appends values, one per line, to <dir>/<name>.samples; the report reads them back.
void WriteSamples(const std::string& dir, const std::string& name, const std::vector<double>& values);
// Empty when the file is missing.
std::vector<double> ReadSamples(const std::string& dir, const std::string& name);
// A free-form text for the report (labels, counts), in <dir>/<name>.note.
void WriteNote(const std::string& dir, const std::string& name, const std::string& text);
std::string ReadNote(const std::string& dir, const std::string& name);

struct Summary {
  size_t count = 0;
  double median = 0, p99 = 0, min = 0, max = 0, p25 = 0, p75 = 0;
};
// Nearest-rank percentiles of the sorted samples.
Summary Summarise(std::vector<double> values);

// Prints a progress line to stderr, so that the table on stdout stays clean.
void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace bench
