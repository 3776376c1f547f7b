#include "bench_stats.h"

#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace bench {

double Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

void SleepSeconds(double seconds) {
  if (seconds <= 0) return;
  timespec rest{static_cast<time_t>(seconds), static_cast<long>(fmod(seconds, 1.0) * 1e9)};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

void WriteSamples(const std::string& dir, const std::string& name, const std::vector<double>& values) {
  std::ofstream out(dir + "/" + name + ".samples", std::ios::app);
  out.precision(9);
  for (double value : values) out << value << '\n';
}

std::vector<double> ReadSamples(const std::string& dir, const std::string& name) {
  std::vector<double> values;
  std::ifstream in(dir + "/" + name + ".samples");
  double value;
  while (in >> value) values.push_back(value);
  return values;
}

void WriteNote(const std::string& dir, const std::string& name, const std::string& text) {
  std::ofstream(dir + "/" + name + ".note") << text;
}

std::string ReadNote(const std::string& dir, const std::string& name) {
  std::ifstream in(dir + "/" + name + ".note");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Summary Summarise(std::vector<double> values) {
  Summary s;
  s.count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  auto rank = [&](double q) {
    size_t index = static_cast<size_t>(ceil(q * static_cast<double>(values.size())));
    return values[index == 0 ? 0 : std::min(index, values.size()) - 1];
  };
  size_t n = values.size();
  s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  s.p25 = rank(0.25);
  s.p75 = rank(0.75);
  s.p99 = rank(0.99);
  s.min = values.front();
  s.max = values.back();
  return s;
}

void Progress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("bench: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
}

}  // namespace bench
