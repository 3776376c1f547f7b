#include "library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace kestravo_host {

namespace {

template <typename Function>
bool Resolve(void* handle, const char* name, Function* function, std::string* error) {
  *function = reinterpret_cast<Function>(dlsym(handle, name));
  if (*function == nullptr) *error = std::string("libkestravo lacks ") + name;
  return *function != nullptr;
}

// What the host hands log4cxx: everything from INFO up, to one file.
constexpr char kLogConfiguration[] =
    "log4j.logger.KESTRAVO=INFO, file\n"
    "log4j.additivity.KESTRAVO=false\n"
    "log4j.appender.file=org.apache.log4j.FileAppender\n"
    "log4j.appender.file.Append=true\n"
    "log4j.appender.file.layout=org.apache.log4j.PatternLayout\n"
    "log4j.appender.file.layout.ConversionPattern=%d{ISO8601} %-5p [%t] %c - %m%n\n"
    "log4j.appender.file.File=";

// Under systemd: the journal stamps each line itself.
constexpr char kJournalConfiguration[] =
    "log4j.logger.KESTRAVO=INFO, journal\n"
    "log4j.additivity.KESTRAVO=false\n"
    "log4j.appender.journal=org.apache.log4j.ConsoleAppender\n"
    "log4j.appender.journal.Target=System.err\n"
    "log4j.appender.journal.layout=org.apache.log4j.PatternLayout\n"
    "log4j.appender.journal.layout.ConversionPattern=%-5p [%t] %c - %m%n\n";

// Whether standard error is the journal's stream: systemd names it in JOURNAL_STREAM.
bool StderrIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  struct stat status;
  return stream != nullptr && sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(STDERR_FILENO, &status) == 0 &&
         status.st_dev == device && status.st_ino == inode;
}

// A path as a value of a properties file. False for one that log4cxx would read otherwise.
bool PropertyValue(const std::string& path, std::string* value) {
  if (path.find("${") != std::string::npos || path.find_first_of("\r\n") != std::string::npos) return false;
  for (char c : path) {
    if (c == '\\') *value += '\\';
    *value += c;
  }
  return true;
}

}  // namespace

int32_t InitWithLog(const Library& library, std::string* where) {
  if (access("log4cxx.properties", F_OK) == 0) {
    *where = "as ./log4cxx.properties says";
    return library.Init();
  }
  // The library reads log4cxx.properties from the working directory at its first Init, and
  // nothing else. So the host writes its own into a private directory and stands there for that
  // call only: no child is started during it, and every child starts where the user started us.
  const bool journal = StderrIsJournal();
  std::string dir = StateDir();
  std::string log = dir + "/kestravo.log";
  std::string value;
  const char* defaultLog = "standard error (warnings and errors only)";
  if (!journal && access(dir.c_str(), W_OK | X_OK) != 0) {
    // The library reports the unusable directory itself, on standard error then.
    *where = defaultLog;
    return library.Init();
  }
  const char* tmp = getenv("TMPDIR");
  std::string temp = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestravo-host.XXXXXX";
  int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (here < 0 || (!journal && !PropertyValue(log, &value)) || mkdtemp(&temp[0]) == nullptr) {
    if (here >= 0) close(here);
    *where = defaultLog;
    return library.Init();
  }
  std::string config = temp + "/log4cxx.properties";
  bool written = journal ? static_cast<bool>(std::ofstream(config) << kJournalConfiguration)
                         : static_cast<bool>(std::ofstream(config) << kLogConfiguration << value << "\n");
  bool entered = written && chdir(temp.c_str()) == 0;
  int32_t result = library.Init();
  bool back = !entered || fchdir(here) == 0;
  close(here);
  unlink(config.c_str());
  rmdir(temp.c_str());
  *where = !entered ? defaultLog : journal ? "the journal (standard error)" : log.c_str();
  if (!back) *where += "; the working directory could not be restored";
  return result;
}

std::string ExecutableDir() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  std::string path(self, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string StateDir() {
  const char* own = getenv("KESTRAVO_STATE_DIR");
  const char* systemd = getenv("STATE_DIRECTORY");
  std::string dir;
  if (own != nullptr && *own != '\0') {
    dir = own;
  } else if (systemd != nullptr && *systemd != '\0' && *systemd != ':') {
    dir = systemd;
    dir.erase(std::min(dir.find(':'), dir.size()));
  } else {
    return ExecutableDir();
  }
  if (dir[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) dir = std::string(cwd) + (cwd[1] ? "/" : "") + dir;
  }
  if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool LoadLibrary(Library* library, std::string* error) {
  // A run path would not do for the installed tree: dlopen honours only the caller's, and a
  // sanitizer runtime that wraps dlopen becomes the caller.
  std::string beside = ExecutableDir() + "/" KESTRAVO_LIBRARY_NAME;
  std::string installed = ExecutableDir() + "/" KESTRAVO_BIN_TO_LIB "/" KESTRAVO_LIBRARY_NAME;
  void* handle = nullptr;
  for (const std::string& path : {beside, installed}) {
    if (handle == nullptr && access(path.c_str(), F_OK) == 0) handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (handle == nullptr) handle = dlopen(KESTRAVO_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = std::string("cannot load " KESTRAVO_LIBRARY_NAME ": ") + (why ? why : "not found");
    return false;
  }
  bool ok = Resolve(handle, "KESTRAVO_Init", &library->Init, error) &&
            Resolve(handle, "KESTRAVO_Uninit", &library->Uninit, error) &&
            Resolve(handle, "KESTRAVO_SetMsgCallBack", &library->SetMsgCallBack, error) &&
            Resolve(handle, "KESTRAVO_CreateProcess", &library->CreateProcess, error) &&
            Resolve(handle, "KESTRAVO_GetOSPid", &library->GetOSPid, error) &&
            Resolve(handle, "KESTRAVO_Attach", &library->Attach, error);
  Dl_info info;
  library->path = dladdr(reinterpret_cast<void*>(library->Init), &info) != 0 && info.dli_fname
                      ? info.dli_fname
                      : beside;
  return ok;
}

}  // namespace kestravo_host
