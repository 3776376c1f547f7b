#include "test_support.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "launcher/child_identity.h"
#include "platform/os.h"

namespace kestravo::test {

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

#ifdef _WIN32
TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::error_code error;
  auto path = std::filesystem::temp_directory_path(error) /
              ("kestravo-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
  path_ = !error && std::filesystem::create_directory(path, error) ? path.string() : "";
}
#else
TempDir::TempDir() {
  char pattern[] = "/tmp/kestravo-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  path_ = made ? made : "";
}
#endif

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string HelperChild() { return KESTRAVO_HELPER_CHILD; }

std::string CreateGuidString() {
  std::string guid;
  ::CreateGuidString(&guid);
  return guid;
}

std::string HelperCommandLine(const std::string& mode, const std::string& report,
                              const std::string& extra) {
  std::string line = HelperChild() + " " + mode + " " + report;
  if (!extra.empty()) line += " " + extra;
  return line;
}

// stdio, since a /proc file of a process that ends mid-read fails the read.
std::string FileText(const std::string& path) {
  std::string text;
  char buffer[4096];
  FILE* in = fopen(path.c_str(), "rb");
  for (size_t n; in && (n = fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
  if (in) fclose(in);
  return text;
}

Report ReadReport(const std::string& path) {
  Report report;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return report;
}

Report WaitForReport(const std::string& path, std::chrono::milliseconds limit) {
  WaitFor([&] { return std::filesystem::exists(path); }, limit);
  return ReadReport(path);
}

}  // namespace kestravo::test
