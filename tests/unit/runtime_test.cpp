// The runtime: the recursive mutex and its guard, threads, and the log library over log4cxx.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "platform/log.h"
#include "platform/os.h"
#include "platform/zol_mutex.h"
#include "platform/zol_runtime.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

TEST(Mutex, OwnerLocksAgainAndAGuardReleasesOnce) {
  ZOL_Mutex mutex;
  ASSERT_EQ(mutex.Lock(), 0);
  ASSERT_EQ(mutex.Lock(), 0) << "the owner could not lock again";
  {
    ZOL_Guard guard(&mutex);
    guard.Release();
    guard.Release();
  }  // and its destructor does nothing
  EXPECT_EQ(mutex.Unlock(), 0);
  EXPECT_EQ(mutex.Unlock(), 0) << "the guard unlocked more than once";
#ifndef __SANITIZE_THREAD__  // ThreadSanitizer reports the unlock of an unlocked mutex, which is the point here
  EXPECT_NE(mutex.Unlock(), 0) << "a hold was left behind";
#endif
}

uint32_t RecordMask(void* mask) { return pthread_sigmask(SIG_SETMASK, nullptr, static_cast<sigset_t*>(mask)); }

TEST(Runtime, ThreadsLeaveAsynchronousSignalsToTheHostAndFaultsToCrashHandlers) {
  sigset_t mask{};
  void* thread = ZOL_Thread_Create(RecordMask, &mask, 1, 0, 0, nullptr);  // stack raised to the minimum
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(ZOL_Thread_Wait(thread), 0);
  EXPECT_EQ(sigismember(&mask, SIGTERM), 1);
  EXPECT_EQ(sigismember(&mask, SIGSEGV), 0);
}

// A path cut to the buffer is terminated and reported, so that callers know to grow it.
TEST(Runtime, ModulePathCutToTheBufferSaysSo) {
  char path[5];
  EXPECT_EQ(GetModuleFileNameA(nullptr, path, sizeof path), sizeof path);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(path[4], '\0');
}

// Until a properties file is found in the working directory, a default appends everything from
// INFO up to an owner-only kestravo.log beside the state file, and nothing to standard error;
// the file then replaces it. Levels map, and long lines are written whole. A file that another
// user could have chosen (theirs, writable by others, a link, a FIFO) is not used, and the
// default says why; log4cxx does not take it up by itself at the first line either.
TEST(Log, DefaultThenPropertiesFileInTheWorkingDirectory) {
  TempDir dir, state;
  setenv("KESTRAVO_STATE_DIR", state.Path().c_str(), 1);
  std::filesystem::path outside = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir.Path().c_str()), 0);
  const std::string planted = "log4j.rootLogger=ALL, F\nlog4j.appender.F=org.apache.log4j.FileAppender\nlog4j.appender.F.File=" +
                              dir.File("planted.log") + "\nlog4j.appender.F.layout=org.apache.log4j.PatternLayout\n";
  std::ofstream("log4cxx.properties") << planted;
  chmod("log4cxx.properties", 0666);
  testing::internal::CaptureStderr();
  const std::string log = state.File("kestravo.log");
  EXPECT_EQ(LogWrite(LOG_INFO, "KESTRAVO", "quiet"), 0);
  EXPECT_FALSE(std::filesystem::exists(log)) << "an INFO line before LogInit made the file";
  EXPECT_EQ(LogWrite(LOG_WARN, "KESTRAVO", "[%s(%d)] - loud", "Fn", 2), 0);
  std::string err = testing::internal::GetCapturedStderr();
  // How often the default's file holds the text.
  auto inLog = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = FileText(log).find(text); at != std::string::npos; at = FileText(log).find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(err, "");
  EXPECT_EQ(inLog(" WARN  [") + inLog("KESTRAVO - [Fn(2)] - loud\n") + inLog("quiet"), 2u) << FileText(log);
  struct stat logFile = {};
  EXPECT_EQ(stat(log.c_str(), &logFile) == 0 ? logFile.st_mode & 0777 : 0, 0600u);
  EXPECT_NE(LogInit("log4cxx.properties", 0), 0);
  EXPECT_EQ(LogWrite(LOG_INFO, "KESTRAVO", "at INFO once initialised"), 0);
  EXPECT_EQ(inLog(" INFO  [") + inLog("KESTRAVO - at INFO once initialised\n"), 2u) << FileText(log);
  EXPECT_FALSE(std::filesystem::exists(dir.File("planted.log")));

  const std::pair<std::function<void()>, std::string> untrusted[] = {
      {[&] { std::ofstream("log4cxx.properties") << planted; chmod("log4cxx.properties", 0666); }, "other users may write it"},
      {[&] { std::ofstream("log4cxx.properties") << planted; chmod("log4cxx.properties", 0620); }, "other users may write it"},
      {[&] { std::ofstream("log4cxx.properties") << planted; (void)!chown("log4cxx.properties", 65534, 65534); },
       "owned by uid 65534, neither root nor the host's user"},
      {[&] { std::ofstream("real.properties") << planted; std::filesystem::create_symlink("real.properties", "log4cxx.properties"); },
       "it is a symbolic link"},
      {[&] { mkfifo("log4cxx.properties", 0600); }, "not a regular file"}};
  std::map<std::string, size_t> seen = {{"other users may write it", 1}};  // the file above
  size_t plantedRuns = 0;
  for (const auto& [plant, why] : untrusted) {
    if (why.find("65534") != std::string::npos && geteuid() != 0) continue;  // only root can give a file away
    ++seen[why];
    std::filesystem::remove("log4cxx.properties");
    plant();
    EXPECT_NE(LogInit("log4cxx.properties", 0), 0) << why;
    LogWrite(LOG_ERROR, "KESTRAVO", "after planted file %zu", ++plantedRuns);
    EXPECT_EQ(inLog("log configuration log4cxx.properties not used: " + why + "\n"), seen[why]) << FileText(log);
    EXPECT_EQ(inLog("after planted file " + std::to_string(plantedRuns) + "\n"), 1u) << FileText(log);
    EXPECT_FALSE(std::filesystem::exists(dir.File("planted.log"))) << why;
  }
  std::filesystem::remove("log4cxx.properties");
  std::ofstream("log4cxx.properties")
      << "log4j.rootLogger=ALL, F\n"  // the library's logger is not named: it inherits
         "log4j.appender.F=org.apache.log4j.FileAppender\n"
         "log4j.appender.F.File=" << dir.File("out.log") << "\n"
         "log4j.appender.F.layout=org.apache.log4j.PatternLayout\n"
         "log4j.appender.F.layout.ConversionPattern=%p %c %m%n\n";
  EXPECT_EQ(LogInit("log4cxx.properties", 0), 0);
  testing::internal::CaptureStderr();
  std::string longField(5000, 'x'), expected;
  const std::pair<int, const char*> levels[] = {{2, "DEBUG"}, {LOG_INFO, "INFO"}, {LOG_WARN, "WARN"}, {LOG_ERROR, "ERROR"}, {6, "FATAL"}};
  for (auto [level, name] : levels) {
    LogWrite(level, "KESTRAVO", "[%s=%s]", name, longField.c_str());
    expected += std::string(name) + " KESTRAVO [" + name + "=" + longField + "]\n";
  }
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(LogInit("log4cxx.properties", 0), 0);
  EXPECT_EQ(chdir(outside.c_str()), 0);
  unsetenv("KESTRAVO_STATE_DIR");
  EXPECT_EQ(FileText(dir.File("out.log")), expected);
  EXPECT_EQ(err, "") << "the default still writes";
}

}  // namespace
}  // namespace kestravo::test
