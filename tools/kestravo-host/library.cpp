#include "library.h"

#include "host_os.h"

#include <fstream>

namespace kestravo_host {

namespace {

template <typename Function>
bool Resolve(void* handle, const char* name, Function* function, std::string* error) {
  *function = reinterpret_cast<Function>(SharedLibrarySymbol(handle, name));
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
  if (FileExists("log4cxx.properties")) {
    *where = "as ./log4cxx.properties says";
    return library.Init();
  }
  // The library reads log4cxx.properties from the working directory at its first Init, and
  // nothing else. So the host writes its own into a private directory and stands there for that
  // call only: no child is started during it, and every child starts where the user started us.
  std::string log = BesideExecutable("kestravo.log");
  std::string value;
  int32_t result = 0;
  bool initialised = false, back = true;
  if (PropertyValue(log, &value)) {
    RunInPrivateDir([&](const std::string&) {
      if (!(std::ofstream("log4cxx.properties") << kLogConfiguration << value << "\n")) return;
      result = library.Init();
      initialised = true;
    }, "log4cxx.properties", &back);
  }
  if (!initialised) result = library.Init();
  *where = initialised ? log : "standard error (warnings and errors only)";
  if (!back) *where += "; the working directory could not be restored";
  return result;
}

bool LoadLibrary(Library* library, std::string* error) {
  // A run path would not do for the installed tree: dlopen honours only the caller's, and a
  // sanitizer runtime that wraps dlopen becomes the caller.
  std::string beside = BesideExecutable(KESTRAVO_LIBRARY_NAME);
  std::string installed = BesideExecutable(KESTRAVO_BIN_TO_LIB "/" KESTRAVO_LIBRARY_NAME);
  void* handle = nullptr;
  for (const std::string& path : {beside, installed}) {
    if (handle == nullptr && FileExists(path)) handle = OpenSharedLibrary(path, error);
  }
  if (handle == nullptr) handle = OpenSharedLibrary(KESTRAVO_LIBRARY_NAME, error);
  if (handle == nullptr) {
    *error = "cannot load " KESTRAVO_LIBRARY_NAME ": " + *error;
    return false;
  }
  bool ok = Resolve(handle, "KESTRAVO_Init", &library->Init, error) &&
            Resolve(handle, "KESTRAVO_Uninit", &library->Uninit, error) &&
            Resolve(handle, "KESTRAVO_SetMsgCallBack", &library->SetMsgCallBack, error) &&
            Resolve(handle, "KESTRAVO_CreateProcess", &library->CreateProcess, error) &&
            Resolve(handle, "KESTRAVO_GetOSPid", &library->GetOSPid, error) &&
            Resolve(handle, "KESTRAVO_Attach", &library->Attach, error);
  library->path = SharedLibraryFile(handle, reinterpret_cast<void*>(library->Init));
  if (library->path.empty()) library->path = beside;
  return ok;
}

}  // namespace kestravo_host
