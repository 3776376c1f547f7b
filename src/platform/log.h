// The log library: LogInit and LogWrite, written over log4cxx (on Windows, a small stand-in).
//
// Both may be called from any thread at any time, LogWrite also before LogInit and while the
// process exits; they never throw. Results are 0 on success and non-zero otherwise; the library
// ignores them.
#pragma once

#define LOG_DEBUG 2
#define LOG_INFO 3
#define LOG_WARN 4
#define LOG_ERROR 5

// Configures logging from a log4cxx properties file, relative to the working directory, when the
// file exists. Otherwise, and until then, a default appends INFO and above of the library's
// logger "KESTRAVO" to kestravo.log beside the state file (created owner-only); when that file
// cannot be used, WARN and above go to standard error instead. The default touches no other
// logger, so a host that configures log4cxx itself keeps its own setup. Once configured from a file, later calls do nothing and
// return 0; a call that then finds the file replaces the default. flags is reserved, pass 0.
// Returns 0 when the file is in effect, non-zero when only the default is (or on failure).
int LogInit(const char* configFile, int flags);

// Writes one printf-style line through the log4cxx logger named module. Levels: 3 INFO, 4 WARN,
// 5 ERROR; 2 and below DEBUG, 6 and above FATAL. Lines of any length are written whole.
// Non-zero for a null module or format, a format error, or once the process has begun to exit
// (log4cxx may be gone by then, so late lines are dropped).
int LogWrite(int level, const char* module, const char* format, ...)
#ifdef _WIN32
    __attribute__((format(gnu_printf, 3, 4)));
#else
    __attribute__((format(printf, 3, 4)));
#endif
