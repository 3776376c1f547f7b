#include "host_os.h"

#include <io.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>

namespace kestravo_host {

namespace {

// Set by the console's control handler; the main thread's Wake waits on it. Made before any
// thread exists and never closed.
HANDLE g_stopRequested = nullptr;
std::atomic<DWORD> g_stopRequest{0};
std::atomic<const char*> g_stopWhy{nullptr};  // RequestStop's, which wins over a console's
std::atomic<bool> g_asService{false};  // set by UseServiceMode before the host runs

// A service's directory: SYSTEM and Administrators only, inherited by what is made in it.
constexpr char kServiceDirAccess[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Whether the directory belongs to SYSTEM, Administrators or this account: a directory that
// another user made under %ProgramData% is theirs to plant files in.
bool OwnedByServiceAccounts(const std::string& dir, std::string* error) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD code = GetNamedSecurityInfoA(dir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                     nullptr, &descriptor);
  if (code != ERROR_SUCCESS) {
    *error = "its owner cannot be read: error " + std::to_string(code);
    return false;
  }
  bool own = IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
  HANDLE token = nullptr;
  char buffer[512];
  DWORD size = 0;
  if (!own && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    own = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
          EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
  }
  LocalFree(descriptor);
  if (!own) *error = "it belongs to another account than SYSTEM, Administrators or this one";
  return own;
}

BOOL WINAPI OnConsoleControl(DWORD type) {
  // A service hears a user's logoff too, and of the shutdown from its manager.
  if (g_asService) return TRUE;
  DWORD none = 0;
  g_stopRequest.compare_exchange_strong(none, type + 1);
  SetEvent(g_stopRequested);
  // Returning from a close, logoff or shutdown ends the process at once: stay here until the
  // main thread has stopped the children and ends the process (the system allows some seconds).
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

std::string WhyCannotRunAs(const std::string&, const std::string&) { return "not supported on Windows"; }

std::string ExecutableDir() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) return ".";
  std::string path(self, n);
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string InDirectory(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

std::string BesideExecutable(const std::string& name) { return InDirectory(ExecutableDir(), name); }

const char* AdapterFileName() { return "kestravo-run.exe"; }

bool IsAdapter(const std::string& exePath) {
  size_t slash = exePath.find_last_of("\\/:");
  std::string name = exePath.substr(slash == std::string::npos ? 0 : slash + 1);
  return _stricmp(name.c_str(), "kestravo-run.exe") == 0 || _stricmp(name.c_str(), "kestravo-run") == 0;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string WhyConfigNotTrusted(const std::string& path, bool* exists) {
  *exists = FileExists(path);
  return "";
}

bool DirectoryWritable(const std::string& dir) { return _access(dir.c_str(), 2) == 0; }

// _putenv_s, not SetEnvironmentVariableA: the C runtime's copy is what getenv reads.
void SetEnv(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

bool StderrIsJournal() { return false; }

bool StdoutIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void LocalTime(time_t seconds, struct tm* local) { localtime_s(local, &seconds); }

void* OpenSharedLibrary(const std::string& path, std::string* error) {
  HMODULE library = LoadLibraryA(path.c_str());
  if (library == nullptr) *error = "error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(library);
}

void* SharedLibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string SharedLibraryFile(void* library, void*) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(static_cast<HMODULE>(library), path, sizeof path);
  return n == 0 || n >= sizeof path ? "" : std::string(path, n);
}

bool RunInPrivateDir(const std::function<void(const std::string& dir)>& body, const char* file,
                     bool* back) {
  char temp[MAX_PATH];
  char here[MAX_PATH];
  DWORD n = GetTempPathA(sizeof temp, temp);
  DWORD m = GetCurrentDirectoryA(sizeof here, here);
  if (n == 0 || n >= sizeof temp || m == 0 || m >= sizeof here) return false;
  std::string dir;
  for (unsigned attempt = 0;; ++attempt) {
    if (attempt == 100) return false;
    dir = std::string(temp) + "kestravo-host." + std::to_string(GetCurrentProcessId()) + "." +
          std::to_string(GetTickCount() + attempt);
    if (CreateDirectoryA(dir.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  bool entered = SetCurrentDirectoryA(dir.c_str()) != 0;
  if (entered) body(dir);
  *back = !entered || SetCurrentDirectoryA(here) != 0;
  DeleteFileA((dir + "\\" + file).c_str());
  RemoveDirectoryA(dir.c_str());
  return entered;
}

const char* StopRequestsText() { return "Ctrl-C, Ctrl-Break"; }

const char* AdapterStopText() { return "Ctrl-Break"; }

std::string AdapterStopText(const std::string& stopSignal) {
  if (stopSignal == "none") return "its stop event";
  return stopSignal == "KILL" || stopSignal == "9" ? "termination" : AdapterStopText();
}

bool PrepareOwnFile(const std::string& path, std::string* error, const std::string& /*user: refused on Windows*/) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "error " + std::to_string(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(file, &info) &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
  CloseHandle(file);
  if (!ok) *error = "a symbolic link or not a regular file";
  return ok;
}

bool WritePrivateFile(const std::string& path, const std::string& text, std::string* error) {
  // In the user's own state directory: inherits its access list.
  const std::string temp = path + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size();
  DWORD code = GetLastError();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (ok && !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    ok = false;
    code = GetLastError();
  }
  if (!ok) {
    *error = "error " + std::to_string(code);
    DeleteFileA(temp.c_str());
  }
  return ok;
}

std::string SystemStateDir() { return ""; }

int64_t AdaptedProgramPid(uint32_t) { return -1; }

std::string TakeServiceNotifySocket() { return ""; }

bool NotifyServiceManager(const std::string&, const std::string&, std::string* error) {
  *error = "no service manager to notify on Windows";
  return false;
}

bool SendSignal(int64_t, int, std::string* error) {
  *error = "signals are not sent on Windows";
  return false;
}

bool ReadOwnFile(const std::string& path, uint64_t from, size_t max, std::string* text, uint64_t* size,
                 std::string* error, const std::string& /*user: refused on Windows*/, std::string* id) {
  text->clear();
  *size = 0;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "error " + std::to_string(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(file, &info) && GetFileType(file) == FILE_TYPE_DISK &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) && info.nNumberOfLinks == 1;
  if (!ok) *error = "a symbolic link, not a regular file, or a file with more than one link";
  if (ok) *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (ok && id != nullptr)
    *id = std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string((static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(from);
  if (ok && !SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
    ok = false;
    *error = "error " + std::to_string(GetLastError());
  }
  char buffer[16384];
  while (ok && text->size() < max) {
    DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof buffer, max - text->size())), got = 0;
    if (!ReadFile(file, buffer, want, &got, nullptr)) {
      ok = false;
      *error = "error " + std::to_string(GetLastError());
    }
    if (got == 0) break;
    text->append(buffer, got);
  }
  CloseHandle(file);
  return ok;
}

std::string DefaultStateDir() {
  const char* local = getenv(g_asService ? "ProgramData" : "LOCALAPPDATA");
  return local != nullptr && *local != '\0' ? std::string(local) + "\\kestravo" : std::string();
}

const char* DefaultStateDirText() { return "%LOCALAPPDATA%\\kestravo (%ProgramData%\\kestravo for a service)"; }

void UseServiceMode() { g_asService = true; }

bool UseStateDir(const std::string& dir, bool create, std::string* error) {
  // The folders under LOCALAPPDATA are the user's own already; a service's gets its own list.
  PSECURITY_DESCRIPTOR access = nullptr;
  if (create && g_asService &&
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(kServiceDirAccess, SDDL_REVISION_1, &access, nullptr)) {
    *error = "no access list: error " + std::to_string(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES security = {sizeof security, access, FALSE};
  bool made = !create || CreateDirectoryA(dir.c_str(), access != nullptr ? &security : nullptr) ||
              GetLastError() == ERROR_ALREADY_EXISTS;
  DWORD code = GetLastError();
  if (access != nullptr) LocalFree(access);
  if (!made) {
    *error = "cannot be made: error " + std::to_string(code);
    return false;
  }
  if (create && g_asService && !OwnedByServiceAccounts(dir, error)) return false;
  DWORD attributes = GetFileAttributesA(dir.c_str());
  *error = attributes == INVALID_FILE_ATTRIBUTES ? "error " + std::to_string(GetLastError())
           : !(attributes & FILE_ATTRIBUTE_DIRECTORY) ? "not a directory"
           : !DirectoryWritable(dir) ? "cannot be written"
                                     : "";
  return error->empty();
}

void CatchStopRequests() {
  if (g_stopRequested != nullptr) return;
  g_stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void RequestStop(const char* why) {
  g_stopWhy = why;
  SetEvent(g_stopRequested);
}

Wake::Wake() : woken_(reinterpret_cast<intptr_t>(CreateEventA(nullptr, FALSE, FALSE, nullptr))), stopped_(0) {}

Wake::~Wake() {
  if (woken_ != 0) CloseHandle(reinterpret_cast<HANDLE>(woken_));
}

void Wake::Set() {
  if (woken_ != 0) SetEvent(reinterpret_cast<HANDLE>(woken_));
}

std::string Wake::Wait(int ms) {
  HANDLE handles[2] = {g_stopRequested, reinterpret_cast<HANDLE>(woken_)};
  DWORD count = g_stopRequested != nullptr ? 2 : 1;
  HANDLE* first = g_stopRequested != nullptr ? handles : handles + 1;
  DWORD result = WaitForMultipleObjects(count, first, FALSE, static_cast<DWORD>(ms));
  if (result == WAIT_FAILED) Sleep(static_cast<DWORD>(ms));  // no event to wait on: still no busy loop
  if (result != WAIT_OBJECT_0 || count != 2) return "";
  // Told once: the stops under way are not woken again and again by the same request.
  ResetEvent(g_stopRequested);
  if (const char* why = g_stopWhy.load()) return why;
  switch (g_stopRequest.load() - 1) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "the console closing";
    default: return "logoff or shutdown";
  }
}

}  // namespace kestravo_host
