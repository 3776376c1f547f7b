#include "library.h"

#include "host_os.h"
#include "common/state_dir_rule.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
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

// Under systemd: the journal stamps each line itself.
constexpr char kJournalConfiguration[] =
    "log4j.logger.KESTRAVO=INFO, journal\n"
    "log4j.additivity.KESTRAVO=false\n"
    "log4j.appender.journal=org.apache.log4j.ConsoleAppender\n"
    "log4j.appender.journal.Target=System.err\n"
    "log4j.appender.journal.layout=org.apache.log4j.PatternLayout\n"
    "log4j.appender.journal.layout.ConversionPattern=%-5p [%t] %c - %m%n\n";

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

bool InitWithLog(const Library& library, int32_t* result, std::string* where) {
  // One the library would refuse (another user's, in a directory that user owns) is passed over
  // for the host's own, and the host says so.
  bool exists = false;
  const std::string untrusted = WhyConfigNotTrusted("log4cxx.properties", &exists);
  if (exists && untrusted.empty()) {
    *where = "as ./log4cxx.properties says";
    *result = library.Init();
    return true;
  }
  // The library reads log4cxx.properties from the working directory at its first Init, and
  // nothing else. So the host writes its own into a private directory and stands there for that
  // call only: no child is started during it, and every child starts where the user started us.
  const bool journal = StderrIsJournal();
  const std::string dir = StateDir();
  std::string log = InDirectory(dir, "kestravo.log");
  std::string value, why;
  // log4cxx opens the file by its name and would follow a link or wait on a FIFO: it gets one
  // the host made or checked, in a directory no one else can write.
  if (!journal && !PrepareOwnFile(log, &why)) {
    *where = "cannot use the log file " + log + ": " + why;
    return false;
  }
  bool initialised = false, back = true;
  // A directory that cannot be written is reported by the library itself, on standard error then.
  if ((journal || DirectoryWritable(dir)) && (journal || PropertyValue(log, &value))) {
    RunInPrivateDir([&](const std::string&) {
      std::ofstream config("log4cxx.properties");
      if (!(journal ? config << kJournalConfiguration : config << kLogConfiguration << value << "\n")) return;
      config.close();
      *result = library.Init();
      initialised = true;
    }, "log4cxx.properties", &back);
  }
  if (!initialised) *result = library.Init();
  *where = !initialised ? "standard error (warnings and errors only)" : journal ? "the journal (standard error)" : log;
  if (!back) *where += "; the working directory could not be restored";
  if (!untrusted.empty()) *where += " (./log4cxx.properties is not used: " + untrusted + ")";
  return true;
}

std::string StateDir() {
  const char* variable = nullptr;
  std::string dir = kestravo::StateDirFromEnvironment(&variable);
  if (variable == nullptr) return "";
  std::error_code ignored;
  std::string absolute = std::filesystem::absolute(dir, ignored).string();
  if (!absolute.empty()) dir = absolute;
  if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
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
            Resolve(handle, "KESTRAVO_DestroyProcess", &library->DestroyProcess, error) &&
            Resolve(handle, "KESTRAVO_GetOSPid", &library->GetOSPid, error) &&
            Resolve(handle, "KESTRAVO_Attach", &library->Attach, error);
  library->path = SharedLibraryFile(handle, reinterpret_cast<void*>(library->Init));
  if (library->path.empty()) library->path = beside;
  return ok;
}

}  // namespace kestravo_host
