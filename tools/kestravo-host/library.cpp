#include "library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

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
  std::string log = ExecutableDir() + "/kestravo.log";
  std::string value;
  const char* tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestravo-host.XXXXXX";
  int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (here < 0 || !PropertyValue(log, &value) || mkdtemp(&dir[0]) == nullptr) {
    if (here >= 0) close(here);
    *where = "standard error (warnings and errors only)";
    return library.Init();
  }
  std::string config = dir + "/log4cxx.properties";
  bool written = static_cast<bool>(std::ofstream(config) << kLogConfiguration << value << "\n");
  bool entered = written && chdir(dir.c_str()) == 0;
  int32_t result = library.Init();
  bool back = !entered || fchdir(here) == 0;
  close(here);
  unlink(config.c_str());
  rmdir(dir.c_str());
  *where = entered ? log : "standard error (warnings and errors only)";
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
