// LogInit and LogWrite on Windows, without log4cxx (why: docs/logging.md). Lines keep the layout
// of the Linux build ("date LEVEL [thread] logger - message"). Every line goes to the debugger
// through OutputDebugStringA. Without a properties file, as the Linux default does, the library's
// lines from INFO up go to kestravo.log beside the state file, and its warnings and errors to
// standard error only when that file cannot be written. A properties file is read for the little
// that matters here: the level of the logger KESTRAVO (or the root logger) and the File of an
// appender, which then receives the lines at that level and above.
#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <string>

#include "common/state_dir_rule.h"
#include "os.h"
#include "win32/own_file_win32.h"

namespace {

std::mutex g_mutex;
std::string* g_file = nullptr;        // guarded by g_mutex; the appender's file, null for none
std::atomic<int> g_fileLevel{LOG_INFO};
std::atomic<bool> g_fromFile{false};
std::string* g_defaultFile = nullptr;  // guarded by g_mutex; the default's, once named

// kestravo.log in the state file's directory: the environment's, else the executable's. Empty
// when there is none.
std::string DefaultLogFile() {
  const char* variable = nullptr;
  std::string dir = kestravo::StateDirFromEnvironment(&variable);
  if (variable == nullptr) {
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (n == 0 || n >= sizeof exe) return "";
    dir.assign(exe, n);
    size_t slash = dir.find_last_of("\\/");
    if (slash == std::string::npos) return "";
    dir.erase(slash);
  }
  return dir.empty() ? dir : dir + "\\kestravo.log";
}

const char* LevelName(int level) {
  if (level <= 2) return "DEBUG";
  switch (level) {
    case LOG_INFO: return "INFO";
    case LOG_WARN: return "WARN";
    case LOG_ERROR: return "ERROR";
    default: return "FATAL";
  }
}

int ParseLevel(const std::string& value) {
  std::string name = value.substr(0, value.find(','));
  name.erase(0, name.find_first_not_of(" \t"));
  name.erase(name.find_last_not_of(" \t\r") + 1);
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (name == "DEBUG" || name == "TRACE" || name == "ALL") return 2;
  if (name == "INFO") return LOG_INFO;
  if (name == "WARN") return LOG_WARN;
  if (name == "ERROR") return LOG_ERROR;
  if (name == "FATAL") return 6;
  if (name == "OFF") return 7;
  return LOG_INFO;
}

// The whole of a file of this account's own, read through the handle that was checked; false for
// any other (a link, a second name, another account's), which the host would otherwise follow.
bool ReadOwnFile(const char* path, std::string* text) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  int code = 0;
  bool ok = kestravo::win32::NotOwnFileBecause(file, &code).empty();
  char buffer[4096];
  DWORD read = 0;
  while (ok && text->size() < (1u << 20) && ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
    text->append(buffer, read);
  CloseHandle(file);
  return ok;
}

bool ReadProperties(const char* path, std::string* file, int* level) {
  std::string text;
  if (!ReadOwnFile(path, &text)) return false;
  std::istringstream in(text);
  bool levelSet = false;
  for (std::string line; std::getline(in, line);) {
    size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    key.erase(key.find_last_not_of(" \t") + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r") + 1);
    if (key == "log4j.logger.KESTRAVO") {
      *level = ParseLevel(value);
      levelSet = true;
    } else if (key == "log4j.rootLogger" && !levelSet) {
      *level = ParseLevel(value);
    } else if (key.size() > 5 && key.compare(key.size() - 5, 5, ".File") == 0 && file->empty()) {
      *file = value;
    }
  }
  return !file->empty();
}

}  // namespace

int LogInit(const char* configFile, int /*flags*/) {
  try {
    if (g_fromFile.load()) return 0;
    std::string file;
    int level = LOG_INFO;
    if (configFile == nullptr || !ReadProperties(configFile, &file, &level)) return 1;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_file == nullptr) g_file = new std::string(file);
    g_fileLevel.store(level);
    g_fromFile.store(true);
    return 0;
  } catch (...) {
    return -1;
  }
}

int LogWrite(int level, const char* module, const char* format, ...) {
  if (module == nullptr || format == nullptr) return -1;
  char message[2048];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (length < 0) return -1;
  std::string text;
  try {
    if (static_cast<size_t>(length) >= sizeof message) {
      text.resize(static_cast<size_t>(length));
      va_start(args, format);
      vsnprintf(&text[0], text.size() + 1, format, args);
      va_end(args);
    } else {
      text.assign(message, static_cast<size_t>(length));
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    char head[96];
    snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u,%03u %-5s [0x%08lx] %s - ", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, LevelName(level),
             static_cast<unsigned long>(GetCurrentThreadId()), module);
    std::string line = head + text + "\n";
    OutputDebugStringA(line.c_str());
    std::lock_guard<std::mutex> lock(g_mutex);
    bool toFile = g_fromFile.load() && g_file != nullptr && level >= g_fileLevel.load();
    if (toFile) {
      // Appended only to a file of this account's own: never through a link or into a second
      // name of another file.
      HANDLE out = CreateFileA(g_file->c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               kestravo::win32::OwnerOnly(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                               nullptr);
      int code = 0;
      if (out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        if (kestravo::win32::NotOwnFileBecause(out, &code).empty())
          WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(out);
      }
    }
    // Without a properties file, the default's file; standard error when that cannot be written.
    if (!g_fromFile.load() && level >= LOG_INFO && strcmp(module, "KESTRAVO") == 0) {
      if (g_defaultFile == nullptr) g_defaultFile = new std::string(DefaultLogFile());
      FILE* out = g_defaultFile->empty() ? nullptr : fopen(g_defaultFile->c_str(), "ab");
      if (out != nullptr) {
        toFile = fwrite(line.data(), 1, line.size(), out) == line.size();
        toFile = fclose(out) == 0 && toFile;
      }
    }
    if (!toFile && level >= LOG_WARN && strcmp(module, "KESTRAVO") == 0) {
      fwrite(line.data(), 1, line.size(), stderr);
      fflush(stderr);
    }
    return 0;
  } catch (...) {
    return -1;
  }
}
