#include "log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include <log4cxx/consoleappender.h>
#include <log4cxx/fileappender.h>
#include <log4cxx/helpers/bytearrayinputstream.h>
#include <log4cxx/helpers/properties.h>
#include <log4cxx/level.h>
#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/propertyconfigurator.h>

#include "common/state_dir_rule.h"

// Messages are handed to log4cxx as they are, byte for byte, with no character set conversion.
static_assert(LOG4CXX_LOGCHAR_IS_UTF8, "log4cxx must keep its strings as std::string");

namespace {

using log4cxx::LevelPtr;
using log4cxx::Logger;
using log4cxx::LoggerPtr;

constexpr char kLibraryLogger[] = "KESTRAVO";
constexpr char kDefaultAppender[] = "KestravoDefault";
constexpr char kDefaultLogName[] = "kestravo.log";
constexpr char kDefaultPattern[] = "%d{ISO8601} %-5p [%t] %c - %m%n";

// kPending: a line came before any LogInit. The default's level is set, but its file is made
// only for a line that passes it: a process that merely loads the library, and logs at INFO
// from a static destructor at exit, leaves no kestravo.log beside its executable.
enum State { kUnconfigured, kPending, kDefault, kFromFile };

// Guards every change of configuration. Constant-initialized and trivially destructible, like the
// atomics below, so calls from other static constructors and destructors find them intact.
std::mutex g_configMutex;
std::atomic<int> g_state{kUnconfigured};  // written under g_configMutex
std::atomic<bool> g_closed{false};        // set at exit: from then on nothing touches log4cxx
std::atomic<unsigned> g_armedSteps{0};    // the ExitStep values already armed

enum ExitStep : unsigned { kStepDefault = 1, kStepFile = 2, kStepFirstLine = 4 };

void CloseLog() { g_closed.store(true); }

// log4cxx keeps its state in function-local statics, which are destroyed at exit (or when the
// library is unloaded) in the reverse order of construction, interleaved with atexit handlers.
// The library's own static objects may still log from their destructors after that. A handler
// registered now runs before every static that exists now is destroyed, so registering one after
// each step that may build new log4cxx statics (a configuration, the first line) turns LogWrite
// into a no-op before any of them is gone. Once per step, so repeated calls add no handlers.
void ArmExitGuard(ExitStep step) {
  if ((g_armedSteps.load() & step) != 0) return;
  if ((g_armedSteps.fetch_or(step) & step) == 0) atexit(CloseLog);
}

// The configuration names files that the host then writes as its user, so it is taken only from
// a regular file of root or that user that no one else may change. Read through one descriptor
// that follows no link and waits on no FIFO, and used as read. False with *why (empty when there
// is no file at all) otherwise.
bool ReadTrustedConfig(const char* path, std::string* text, std::string* why) {
  constexpr off_t kMaxBytes = 1 << 20;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ELOOP) *why = "it is a symbolic link";
    else if (errno != ENOENT) *why = strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) *why = strerror(errno);
  else if (!S_ISREG(st.st_mode)) *why = "not a regular file";
  else if (st.st_uid != 0 && st.st_uid != geteuid()) *why = "owned by uid " + std::to_string(st.st_uid) + ", neither root nor the host's user";
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) *why = "other users may write it";
  else if (st.st_size > kMaxBytes) *why = "larger than 1 MiB";
  char buffer[4096];
  while (why->empty()) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *why = strerror(errno);
    if (n <= 0) break;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > static_cast<size_t>(kMaxBytes)) *why = "larger than 1 MiB";
  }
  close(fd);
  return why->empty();
}

// Under g_configMutex, before the first logger is asked for: left alone, log4cxx configures
// itself at that moment from a log4cxx.properties (or .xml) in the working directory, whoever
// wrote it. Only LogInit chooses the file, after checking it.
void KeepLog4cxxFromConfiguringItself() {
  auto repository = log4cxx::LogManager::getLoggerRepository();
  if (!repository->isConfigured()) repository->setConfigured(true);
}

// The directory of the state file, as the library chooses it: the environment's, else the
// executable's. Empty when there is none.
std::string StateDirectory() {
  const char* variable = nullptr;
  std::string dir = kestravo::StateDirFromEnvironment(&variable);
  if (variable != nullptr) return dir;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof exe) return "";
  dir.assign(exe, static_cast<size_t>(n));
  size_t slash = dir.rfind('/');
  return slash == std::string::npos ? "" : slash == 0 ? "/" : dir.substr(0, slash);
}

// Opens the default log for appending, creating it owner-only: never through a link, never
// waiting on a FIFO, and only a regular file of this user with one link that no one else may
// write. The descriptor, or -1 with *why.
int OpenDefaultLog(const std::string& path, std::string* why) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    *why = errno == ELOOP ? "it is a symbolic link" : strerror(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) *why = strerror(errno);
  else if (!S_ISREG(st.st_mode)) *why = "not a regular file";
  else if (st.st_uid != geteuid()) *why = "it belongs to another user";
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) *why = "other users may write it";
  else if (st.st_nlink != 1) *why = "it has more than one link";
  if (why->empty()) return fd;
  close(fd);
  return -1;
}

// Under g_configMutex. The default: everything from INFO up to kestravo.log beside the state
// file; warnings and errors to standard error when that file cannot be used, the first line
// saying why.
void InstallDefault() {
  KeepLog4cxxFromConfiguringItself();
  LoggerPtr logger = Logger::getLogger(kLibraryLogger);
  auto layout = std::make_shared<log4cxx::PatternLayout>(kDefaultPattern);
  const std::string dir = StateDirectory();
  const std::string path = dir.empty() ? std::string() : dir + (dir.back() == '/' ? "" : "/") + kDefaultLogName;
  std::string why = path.empty() ? "the executable's directory cannot be read" : "";
  const int fd = path.empty() ? -1 : OpenDefaultLog(path, &why);
  log4cxx::AppenderPtr appender;
  if (fd >= 0) {
    // log4cxx opens the file by its name: it gets the one just checked, through the descriptor.
    try {
      appender = std::make_shared<log4cxx::FileAppender>(layout, "/proc/self/fd/" + std::to_string(fd), true);
    } catch (...) {
      why = "log4cxx cannot open it";
    }
    close(fd);
  }
  if (appender == nullptr) appender = std::make_shared<log4cxx::ConsoleAppender>(layout, log4cxx::ConsoleAppender::getSystemErr());
  appender->setName(kDefaultAppender);
  logger->removeAppender(kDefaultAppender);
  logger->addAppender(appender);
  logger->setLevel(why.empty() ? log4cxx::Level::getInfo() : log4cxx::Level::getWarn());
  logger->setAdditivity(false);
  if (!why.empty()) {
    logger->forcedLogLS(log4cxx::Level::getWarn(), "the log file " + path + " cannot be used (" + why +
                        "): warnings and errors go to standard error", log4cxx::spi::LocationInfo::getLocationUnavailable());
  }
  g_state.store(kDefault);
  ArmExitGuard(kStepDefault);
}

// Under g_configMutex. Puts the library's logger back as log4cxx makes it, so that the file
// alone decides where its lines go.
void RemoveDefault() {
  LoggerPtr logger = Logger::getLogger(kLibraryLogger);
  logger->removeAppender(kDefaultAppender);
  logger->setLevel(nullptr);
  logger->setAdditivity(true);
}

// Under g_configMutex. A text that cannot be used leaves the default in place.
bool ConfigureFromText(const std::string& text) {
  KeepLog4cxxFromConfiguringItself();
  log4cxx::helpers::Properties properties;
  properties.load(std::make_shared<log4cxx::helpers::ByteArrayInputStream>(log4cxx::helpers::ByteList(text.begin(), text.end())));
  if (g_state.load() == kDefault || g_state.load() == kPending) RemoveDefault();
  auto status = log4cxx::PropertyConfigurator::configure(properties);
  if (status != log4cxx::spi::ConfigurationStatus::Configured) {
    InstallDefault();
    return false;
  }
  g_state.store(kFromFile);
  ArmExitGuard(kStepFile);
  return true;
}

// Before the first line: the default's level without its file yet.
void EnsureConfigured() {
  if (g_state.load() != kUnconfigured) return;
  std::lock_guard<std::mutex> lock(g_configMutex);
  if (g_state.load() != kUnconfigured) return;
  KeepLog4cxxFromConfiguringItself();
  LoggerPtr logger = Logger::getLogger(kLibraryLogger);
  logger->setLevel(log4cxx::Level::getWarn());
  logger->setAdditivity(false);
  g_state.store(kPending);
  ArmExitGuard(kStepDefault);
}

// A line passed the pending default's level: now the file.
void CompletePending() {
  std::lock_guard<std::mutex> lock(g_configMutex);
  if (g_state.load() == kPending) InstallDefault();
}

LevelPtr MapLevel(int level) {
  if (level <= 2) return log4cxx::Level::getDebug();
  switch (level) {
    case LOG_INFO: return log4cxx::Level::getInfo();
    case LOG_WARN: return log4cxx::Level::getWarn();
    case LOG_ERROR: return log4cxx::Level::getError();
    default: return log4cxx::Level::getFatal();
  }
}

// Formats into out; a line longer than the local buffer is formatted a second time into out.
bool FormatLine(std::string* out, const char* format, va_list args) {
  char local[512];
  va_list again;
  va_copy(again, args);
  bool ok = false;
  int length = vsnprintf(local, sizeof local, format, args);
  if (length >= 0 && static_cast<size_t>(length) < sizeof local) {
    try {
      out->assign(local, static_cast<size_t>(length));
      ok = true;
    } catch (...) {
    }
  } else if (length >= 0) {
    try {
      out->resize(static_cast<size_t>(length));
      ok = vsnprintf(&(*out)[0], out->size() + 1, format, again) == length;
    } catch (...) {
    }
  }
  va_end(again);
  return ok;
}

}  // namespace

int LogInit(const char* configFile, int /*flags*/) {
  try {
    if (g_closed.load()) return -1;
    std::string text, why;
    {
      std::lock_guard<std::mutex> lock(g_configMutex);
      if (g_state.load() == kFromFile) return 0;
      if (configFile != nullptr && ReadTrustedConfig(configFile, &text, &why) && ConfigureFromText(text)) return 0;
      if (g_state.load() == kUnconfigured || g_state.load() == kPending) InstallDefault();
    }
    if (!why.empty()) LogWrite(LOG_WARN, kLibraryLogger, "log configuration %s not used: %s", configFile, why.c_str());
    return 1;
  } catch (...) {
    return -1;
  }
}

int LogWrite(int level, const char* module, const char* format, ...) {
  if (module == nullptr || format == nullptr || g_closed.load()) return -1;
  try {
    EnsureConfigured();
    LoggerPtr logger = Logger::getLogger(module);
    LevelPtr mapped = MapLevel(level);
    if (!logger->isEnabledFor(mapped)) return 0;
    if (g_state.load() == kPending) CompletePending();

    std::string line;
    va_list args;
    va_start(args, format);
    bool formatted = FormatLine(&line, format, args);
    va_end(args);
    if (!formatted) return -1;

    logger->forcedLogLS(mapped, line, log4cxx::spi::LocationInfo::getLocationUnavailable());
    ArmExitGuard(kStepFirstLine);
    return 0;
  } catch (...) {
    return -1;
  }
}
