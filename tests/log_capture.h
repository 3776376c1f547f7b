// Captures what the library logs, in memory, for tests that check log lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kestravo::test {

struct LogLine {
  std::string level;  // "INFO", "WARN", "ERROR", ...
  std::string text;
};

class LogCapture {
 public:
  // Attaches to the library's logger "KESTRAVO" at every level until the object goes. Puts the
  // library's default logging in place first (LogInit without a file).
  LogCapture();
  ~LogCapture();

  std::vector<LogLine> Lines() const;
  // How many lines contain every one of the fragments.
  int Count(const std::vector<std::string>& fragments) const;
  bool Has(const std::vector<std::string>& fragments) const { return Count(fragments) > 0; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestravo::test
