// kestravo-run on Windows: the program runs in a process group of its own, so that a console
// control event reaches it alone, and in a job object that ends it when this process ends. The
// stop event becomes Ctrl-Break; how long the program may take to end is the supervisor's grace,
// after which the supervisor ends this process's job and with it the program.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <algorithm>

#include "child/stop_event_relay.h"
#include "common/command_line.h"
#include "common/exit_text.h"
#include "common/signal_names.h"
#include "run_program.h"
#include "path_search.h"

namespace kestravo_run {

namespace {

// The numbers the names have on Linux (common/signal_names.h), so that a command line means the
// same on both.
constexpr int kTerm = 15, kKill = 9;

constexpr UINT kTerminatedExit = 1;

DWORD g_programGroup = 0;  // the program's process id, which names its group; set before the handler

// Ctrl-C and Ctrl-Break that reach this console are passed on to the program as Ctrl-Break (a
// new group takes no Ctrl-C); closing the console ends this process, and with it the program.
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  if (g_programGroup != 0) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, g_programGroup);
  return TRUE;
}

[[noreturn]] void End(UINT code) {
  fflush(stdout);
  fflush(stderr);
  ExitProcess(code);
}

OutputFile g_output;  // the program's output file, when there is one

[[noreturn]] void Fail(const char* what, const std::string& subject, DWORD error, UINT code) {
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                 sizeof text, nullptr);
  size_t n = strlen(text);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
  fprintf(stderr, "kestravo-run: %s%s: %s (error %lu)\n", what, subject.c_str(), text,
          static_cast<unsigned long>(error));
  g_output.Note(std::string(what) + subject + ": " + text + " (error " + std::to_string(error) + ")");
  End(code);
}

// Moves what the program writes into its pipe to the file, until no writer is left.
DWORD WINAPI PassOutput(void* pipe) {
  static char buffer[64 * 1024];
  DWORD n = 0;
  while (ReadFile(static_cast<HANDLE>(pipe), buffer, sizeof buffer, &n, nullptr) && n > 0) g_output.Write(buffer, n);
  return 0;
}

// The job ends the program with this process, whoever ends it. Null where the job cannot be made.
HANDLE MakeJob() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    job = nullptr;
  }
  return job;
}

// The adapter's own line: to standard error, and stamped into the output file.
void Say(const std::string& text) {
  fprintf(stderr, "kestravo-run: %s\n", text.c_str());
  g_output.Note(text);
}

void Terminate(HANDLE job, HANDLE process) {
  if (job == nullptr || !TerminateJobObject(job, kTerminatedExit)) TerminateProcess(process, kTerminatedExit);
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  // The library quotes our path in the command line, so the runtime's argv has it whole.
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

const char* OutputUsage() {
  return "--output FILE appends PROGRAM's standard output and error to FILE, and so do the\n"
         "adapter's own messages (cannot run, how PROGRAM ended), with a time stamp. FILE is\n"
         "never opened through a symbolic link; it takes the folder's permissions. Once it would\n"
         "pass SIZE (default 10M; K, M and G suffixes; 0: never) it becomes FILE.1, FILE.1\n"
         "becomes FILE.2 and so on, and N old files are kept (default 5; 0 keeps none). Exit\n"
         "code 125 when FILE cannot be used.\n";
}

const char* StopUsage() {
  return "The stop event is set again for PROGRAM,\n"
         "which gets Ctrl-Break (for any SIGNAL but KILL and 'none'; default TERM); KILL\n"
         "terminates it at once, 'none' sends no Ctrl-Break. PROGRAM takes as long as it needs:\n"
         "the supervisor's grace decides when it is killed. Ctrl-C and Ctrl-Break reach PROGRAM\n"
         "as Ctrl-Break. It ends as PROGRAM ends, with its exit code, and PROGRAM dies with it.\n";
}

int DefaultStopSignal() { return kTerm; }

void SetEnvironment(const char* name, const std::string& value) { SetEnvironmentVariableA(name, value.c_str()); }

void UnsetEnvironment(const char* name) { SetEnvironmentVariableA(name, nullptr); }

bool PrepareUser(const std::string&, const std::string&, std::string* error) {
  *error = "--user and --group are not supported on Windows";
  return false;
}

void RunProgram(const RunRequest& request) {
  // Opened first, while the supervisor that made it surely holds it too. With the right to set
  // it, so that a program that waits on it itself still gets the set that this process takes.
  HANDLE event = nullptr;
  if (!request.guid.empty()) event = kestravo::child::OpenStopEventToPassOn(request.guid.c_str());

  HANDLE outputRead = nullptr, outputWrite = nullptr;
  if (!request.output.path.empty()) {
    std::string why;
    if (!g_output.Open(request.output, &why)) {
      fprintf(stderr, "kestravo-run: cannot use the output file %s: %s\n", request.output.path.c_str(), why.c_str());
      End(125);
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    if (!CreatePipe(&outputRead, &outputWrite, &inherited, 1024 * 1024)) Fail("cannot start", "", GetLastError(), 126);
    SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
  }
  // A notify socket and an inherited descriptor are not Windows' ways: the program is heard itself.
  const NotifyOptions& notify = request.notify;
  if (notify.notify || notify.readyFd >= 0) {
    Say(notify.notify ? "--notify (a NOTIFY_SOCKET for programs of the notify protocol) is Linux-only: on Windows "
                        "PROGRAM says READY=1 and pings itself with KESTRAVO_ChildNotify and its KESTRAVO_GUID"
                      : "--ready-fd is Linux-only: a Windows program has no numbered descriptors to be given; "
                        "it says READY=1 itself with KESTRAVO_ChildNotify, or use --ready-after");
    End(125);
  }
  // The interval the program is to ping within, as on Linux; it pings with KESTRAVO_ChildNotify.
  SetEnvironmentVariableA("WATCHDOG_USEC", notify.watchdogMs != 0 ? std::to_string(notify.watchdogMs * 1000).c_str() : nullptr);
  SetEnvironmentVariableA("WATCHDOG_PID", nullptr);
  // The settings reach the supervisor before the program starts.
  NotifyBridge bridge(request.guid, Say);
  const std::string settings = SettingsText(notify);
  if (!settings.empty()) bridge.Send(settings);

  // No user to switch to here: the program inherits the directory.
  if (!request.directory.empty() && !SetCurrentDirectoryA(request.directory.c_str()))
    Fail("cannot change to the directory ", request.directory, GetLastError(), 125);

  std::string path = kestravo_tools::FindProgram(request.argv[0]);
  if (!kestravo_tools::IsExecutableFile(path)) Fail("cannot run ", request.argv[0], ERROR_FILE_NOT_FOUND, 127);
  std::string commandLine;
  for (const std::string& arg : request.argv) {
    commandLine += (commandLine.empty() ? "" : " ") + kestravo::QuoteArgument(arg);
  }
  HANDLE job = MakeJob();
  // The program shares this process's console and standard handles.
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (outputWrite != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outputWrite;
    startup.hStdError = outputWrite;
  }
  PROCESS_INFORMATION started = {};
  if (!CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                      CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr, &startup, &started)) {
    DWORD error = GetLastError();
    Fail("cannot run ", path, error, error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 127 : 126);
  }
  if (job != nullptr && !AssignProcessToJobObject(job, started.hProcess)) {
    CloseHandle(job);  // no nested jobs here: the program outlives a killed adapter
    job = nullptr;
  }
  DWORD startedAt = GetTickCount();
  HANDLE passer = nullptr;
  if (outputWrite != nullptr) {
    CloseHandle(outputWrite);  // the program holds the only writer now
    passer = CreateThread(nullptr, 0, PassOutput, outputRead, 0, nullptr);
  }
  g_programGroup = started.dwProcessId;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);

  // No clock of this process's own after the stop event: the supervisor ends the job (and so the
  // program) when its grace is over.
  HANDLE waits[] = {started.hProcess, event};
  bool stopping = false;
  for (;;) {
    DWORD count = event != nullptr && !stopping ? 2 : 1;
    // Ready after a time, and a READY=1 that the channel could not take yet, end the wait.
    DWORD timeout = INFINITE;
    if (!bridge.IsReady() && notify.readyAfterMs != 0) {
      const DWORD ran = GetTickCount() - startedAt;
      timeout = ran < notify.readyAfterMs ? static_cast<DWORD>(std::min<uint64_t>(notify.readyAfterMs - ran, 60000)) : 0;
    }
    if (bridge.Pending()) timeout = std::min<DWORD>(timeout, 100);
    DWORD result = WaitForMultipleObjects(count, waits, FALSE, timeout);
    if (result == WAIT_TIMEOUT) {
      if (!bridge.IsReady() && notify.readyAfterMs != 0 && GetTickCount() - startedAt >= notify.readyAfterMs) bridge.TakeReady();
      bridge.Flush();
      continue;
    }
    if (result == WAIT_OBJECT_0 + 1) {
      // Set again for the program (the wait that took it may have reset it), and no longer
      // waited on.
      kestravo::child::SetStopEventAgain(event);
      stopping = true;
      g_output.Note(request.stopSignal == kKill ? "stop event: terminating the program"
                    : request.stopSignal != 0 ? "stop event: sending Ctrl-Break to the program"
                                              : "stop event: passed on to the program");
      if (request.stopSignal == kKill) {
        Terminate(job, started.hProcess);
      } else if (request.stopSignal != 0) {
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, started.dwProcessId);
      }
      continue;
    }
    if (result != WAIT_OBJECT_0) Fail("cannot wait for ", path, GetLastError(), 126);
    DWORD code = kTerminatedExit;
    GetExitCodeProcess(started.hProcess, &code);
    if (job != nullptr) TerminateJobObject(job, kTerminatedExit);  // what the program left running
    // A process outside the job may still hold the pipe: what came until now, then no more.
    if (passer != nullptr && WaitForSingleObject(passer, 1000) == WAIT_TIMEOUT) CancelSynchronousIo(passer);
    g_output.Note(request.argv[0] + " " +
                  kestravo::ExitText(true, static_cast<int32_t>(code), 0, false, GetTickCount() - startedAt));
    End(code);
  }
}

}  // namespace kestravo_run
