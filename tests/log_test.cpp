// The log library over log4cxx: level mapping, formatting, the default, the properties file, and
// writers on several threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>


#include "log_capture.h"
#include "platform/log.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Built before log4cxx's own statics, so destroyed after them: what the library's static objects
// are. Its destructor logs when asked to.
struct LateWriter {
  bool armed = false;
  ~LateWriter() {
    if (armed) LogWrite(LOG_ERROR, "KESTRAVO", "from a static destructor");
  }
} g_lateWriter;

TEST(Log, WriteFromStaticDestructorAtExitIsHarmless) {
  EXPECT_EXIT(
      {
        alarm(10);  // a late write that hangs fails the test instead of stalling it
        LogInit(nullptr, 0);
        LogWrite(LOG_WARN, "KESTRAVO", "before exit");
        g_lateWriter.armed = true;
        exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Log, DefaultBeforeInitSendsWarningsToStandardError) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(LogWrite(LOG_INFO, "KESTRAVO", "[%s(%d)] - quiet", "Fn", 1), 0);
  EXPECT_EQ(LogWrite(LOG_WARN, "KESTRAVO", "[%s(%d)] [0x%08x] - loud", "Fn", 2, 0x1900025u), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("WARN"), std::string::npos) << err;
  EXPECT_NE(err.find("[Fn(2)] [0x01900025] - loud"), std::string::npos) << err;
  EXPECT_EQ(err.find("quiet"), std::string::npos) << "INFO passed the default's WARN threshold";

  EXPECT_NE(LogInit("no-such-file.properties", 0), 0);
  EXPECT_NE(LogWrite(LOG_WARN, nullptr, "x"), 0);
  EXPECT_NE(LogWrite(LOG_WARN, "KESTRAVO", nullptr), 0);
}

TEST(Log, LevelsMapAndTextIsFormattedWhole) {
  LogInit(nullptr, 0);
  LogCapture capture;
  std::string longField(5000, 'x');
  LogWrite(LOG_WARN, "KESTRAVO", "[%s(%d)] [0x%08x] - [pid=%d]warned", "CProcessMgr::Init", 7,
           0x01900613u, 42);
  LogWrite(LOG_INFO, "KESTRAVO", "info %s", "here");
  LogWrite(LOG_ERROR, "KESTRAVO", "[long=%s]end", longField.c_str());
  LogWrite(1, "KESTRAVO", "low");
  LogWrite(9, "KESTRAVO", "high");

  std::vector<LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].level, "WARN");
  EXPECT_EQ(lines[0].text, "[CProcessMgr::Init(7)] [0x01900613] - [pid=42]warned");
  EXPECT_EQ(lines[1].level, "INFO");
  EXPECT_EQ(lines[1].text, "info here");
  EXPECT_EQ(lines[2].level, "ERROR");
  EXPECT_EQ(lines[2].text, "[long=" + longField + "]end");
  EXPECT_EQ(lines[3].level, "DEBUG");
  EXPECT_EQ(lines[4].level, "FATAL");
}

TEST(Log, InitFromPropertiesFileInTheWorkingDirectoryReplacesTheDefault) {
  TempDir dir;
  std::filesystem::path outside = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir.Path().c_str()), 0);
  LogWrite(LOG_WARN, "KESTRAVO", "before the file");  // the default is in place
  std::ofstream("log4cxx.properties")
      << "log4j.rootLogger=INFO, F\n"  // the library's logger is not named: it inherits
         "log4j.appender.F=org.apache.log4j.FileAppender\n"
         "log4j.appender.F.File=" << dir.File("out.log") << "\n"
         "log4j.appender.F.layout=org.apache.log4j.PatternLayout\n"
         "log4j.appender.F.layout.ConversionPattern=%p %c %m%n\n";

  EXPECT_EQ(LogInit("log4cxx.properties", 0), 0);
  testing::internal::CaptureStderr();
  LogWrite(LOG_INFO, "KESTRAVO", "hello %d", 7);
  LogWrite(LOG_ERROR, "KESTRAVO", "[hpid=%d]failed", 3);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(LogInit("log4cxx.properties", 0), 0);
  EXPECT_EQ(chdir(outside.c_str()), 0);

  EXPECT_EQ(ReadFile(dir.File("out.log")), "INFO KESTRAVO hello 7\nERROR KESTRAVO [hpid=3]failed\n");
  EXPECT_EQ(err.find("failed"), std::string::npos) << "the default still writes: " << err;
}

TEST(Log, ConcurrentWritersLoseNoLine) {
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  LogCapture capture;
  testing::internal::CaptureStderr();  // the default writes these too
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) LogWrite(LOG_WARN, "KESTRAVO", "%d/%d", t, i);
    });
  }
  // Configuration racing the first lines.
  threads.emplace_back([] { LogInit("no-such-file.properties", 0); });
  for (auto& thread : threads) thread.join();
  testing::internal::GetCapturedStderr();

  std::set<std::string> distinct;
  std::vector<LogLine> lines = capture.Lines();
  for (const LogLine& line : lines) distinct.insert(line.text);
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace kestravo::test
