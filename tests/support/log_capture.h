// Captures what the library logs, for tests that check log lines. The first capture of a process
// sends the library's logger, at every level, to a file of its own as "LEVEL message" lines; each
// capture reads what was written after it began.
#pragma once

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/log.h"
#include "test_support.h"

namespace kestravo::test {

class LogCapture {
 public:
  LogCapture() : start_(FileText(File()).size()) {}

  // How many lines contain every one of the fragments; with level, only lines at that level.
  int Count(const std::vector<std::string>& fragments, const std::string& level = "") const {
    int n = 0;
    std::istringstream lines(FileText(File()).substr(start_));
    for (std::string line; std::getline(lines, line);) {
      n += line.rfind(level, 0) == 0 &&
           std::all_of(fragments.begin(), fragments.end(), [&](const std::string& f) { return line.find(f) != std::string::npos; });
    }
    return n;
  }

 private:
  static const std::string& File() {
    static TempDir dir;
    static const std::string file = [] {
      std::ofstream(dir.File("log4cxx.properties"))
          << "log4j.logger.KESTRAVO=ALL, F\nlog4j.additivity.KESTRAVO=false\n"
             "log4j.appender.F=org.apache.log4j.FileAppender\nlog4j.appender.F.File=" << dir.File("kestravo.log")
          << "\nlog4j.appender.F.layout=org.apache.log4j.PatternLayout\n"
             "log4j.appender.F.layout.ConversionPattern=%p %m%n\n";
      LogInit(dir.File("log4cxx.properties").c_str(), 0);
      return dir.File("kestravo.log");
    }();
    return file;
  }

  size_t start_;
};

}  // namespace kestravo::test
