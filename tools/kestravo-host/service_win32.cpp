#include "service_win32.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "command_list.h"
#include "common/stop_grace.h"
#include "host_os.h"
#include "supervisor.h"
#include "path_search.h"

namespace kestravo_host {
namespace {

// Set before the dispatcher starts ServiceMain, read there.
HostRun g_host = nullptr;
std::vector<char*> g_args;  // argv[0], the host's options, a null
DWORD g_stopHintMs = 0;     // what the host's stop takes at most
int g_exitCode = 0;         // the host's, once ServiceMain is done

std::mutex g_statusMutex;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;  // guarded by g_statusMutex
SERVICE_STATUS g_status = {};                    // guarded by g_statusMutex

// The host's own bound on its stop, and a margin; with no command known, one default grace.
DWORD StopTimeMs(const std::vector<Command>& commands) {
  const uint64_t ms = commands.empty() ? kestravo::kDefaultStopGraceMs + 2000 : StopTimeOf(commands).ms;
  return static_cast<DWORD>(std::min<uint64_t>(ms + 1000, UINT32_MAX / 2));
}

// Reports state; a stopped service reports nothing more, and only a running one starts stopping.
void Report(DWORD state, DWORD waitHintMs = 0, int exitCode = 0) {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  if (g_statusHandle == nullptr || g_status.dwCurrentState == SERVICE_STOPPED) return;
  if (state == SERVICE_STOP_PENDING && g_status.dwCurrentState != SERVICE_RUNNING &&
      g_status.dwCurrentState != SERVICE_STOP_PENDING) {
    return;
  }
  bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCheckPoint = pending && g_status.dwCurrentState == state ? g_status.dwCheckPoint + 1 : 0;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN : 0;
  g_status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  g_status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
  g_status.dwWaitHint = pending ? waitHintMs : 0;
  SetServiceStatus(g_statusHandle, &g_status);
}

// On the dispatcher's thread: the stop goes to the host's main thread as a Ctrl-C would.
DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      Report(SERVICE_STOP_PENDING, g_stopHintMs);
      RequestStop(control == SERVICE_CONTROL_STOP ? "the service's stop" : "the system's shutdown");
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  {
    std::lock_guard<std::mutex> lock(g_statusMutex);
    g_statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, OnControl, nullptr);
    if (g_statusHandle == nullptr) return;
  }
  Report(SERVICE_START_PENDING, 5000);
  UseServiceMode();
  CatchStopRequests();
  Report(SERVICE_RUNNING);
  g_exitCode = g_host(static_cast<int>(g_args.size()) - 1, g_args.data());
  Report(SERVICE_STOPPED, 0, g_exitCode);
}

// A path as one argument of a command line: backslashes before the closing quote doubled.
std::string Quote(const std::string& path) {
  size_t end = path.find_last_not_of('\\') + 1;
  return "\"" + path + std::string(path.size() - end, '\\') + "\"";
}

int UsageError(const std::string& what) {
  fprintf(stderr, "kestravo-host: %s\nusage: kestravo-host --install-service [--state-dir DIR] --file PROGRAMS\n"
                  "       kestravo-host --uninstall-service\n", what.c_str());
  return 2;
}

int Refused(const std::string& what, DWORD error) {
  fprintf(stderr, "kestravo-host: %s: error %lu%s\n", what.c_str(), static_cast<unsigned long>(error),
          error == ERROR_ACCESS_DENIED ? " (run it as an administrator)" : "");
  return 1;
}

Parse ParseWords(std::vector<std::string> words, Options* options, std::string* error) {
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(&word[0]);
  args.push_back(nullptr);
  return ParseOptions(static_cast<int>(words.size()), args.data(), options, error);
}

int Install(int argc, char** argv) {
  std::string stateDir, file, error;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg != "--state-dir" && arg != "--file") || i + 1 == argc) {
      return UsageError("--install-service takes --state-dir DIR and --file PROGRAMS, not '" + arg + "'");
    }
    (arg == "--file" ? file : stateDir) = argv[++i];
  }
  if (file.empty()) return UsageError("--install-service needs --file PROGRAMS");
  // Checked now: a service that cannot start shows only an exit code.
  file = kestravo_tools::AbsolutePath(file);
  Options options;
  if (ParseWords({argv[0], "--file", file}, &options, &error) != Parse::kRun) {
    fprintf(stderr, "kestravo-host: %s\n", error.c_str());
    return 2;
  }
  if (!stateDir.empty()) {
    stateDir = kestravo_tools::AbsolutePath(stateDir);
    if (!UseStateDir(stateDir, false, &error)) {
      fprintf(stderr, "kestravo-host: cannot use the state directory %s: %s\n", stateDir.c_str(), error.c_str());
      return 2;
    }
  }
  char self[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  if (length == 0 || length >= sizeof self) return Refused("cannot find this program's path", GetLastError());
  std::string line = Quote(std::string(self, length)) + " --service" +
                     (stateDir.empty() ? "" : " --state-dir " + Quote(stateDir)) + " --file " + Quote(file);

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) return Refused("cannot open the service control manager", GetLastError());
  SC_HANDLE service = CreateServiceA(manager, kServiceName, "Kestravo host", SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, line.c_str(),
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
  DWORD created = GetLastError();
  CloseServiceHandle(manager);
  if (service == nullptr) {
    return Refused(created == ERROR_SERVICE_EXISTS ? std::string("the service ") + kServiceName +
                                                          " is installed already (--uninstall-service first)"
                                                    : "cannot install the service",
                   created);
  }
  char text[] = "Supervises the programs of its programs file through libkestravo.";
  SERVICE_DESCRIPTIONA description = {text};
  ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
  // At shutdown the manager waits for a service only as long as its preshutdown time: at least
  // what stopping the programs takes.
  SERVICE_PRESHUTDOWN_INFO preshutdown = {StopTimeMs(options.commands)};
  SERVICE_PRESHUTDOWN_INFO current = {0};
  DWORD size = 0;
  bool longEnough = QueryServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<BYTE*>(&current),
                                         sizeof current, &size) &&
                    current.dwPreshutdownTimeout >= preshutdown.dwPreshutdownTimeout;
  if (!longEnough) longEnough = ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown) != FALSE;
  CloseServiceHandle(service);
  printf("kestravo-host: service %s installed, started at boot (sc start %s starts it now): %s\n", kServiceName,
         kServiceName, line.c_str());
  if (!longEnough) {
    printf("  its preshutdown time could not be made %lu ms: at shutdown the system may end programs before their grace is over\n",
           static_cast<unsigned long>(preshutdown.dwPreshutdownTimeout));
  }
  return 0;
}

int Uninstall(int argc) {
  if (argc != 2) return UsageError("--uninstall-service takes nothing more");
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Refused("cannot open the service control manager", GetLastError());
  SC_HANDLE service = OpenServiceA(manager, kServiceName, DELETE | SERVICE_QUERY_STATUS);
  DWORD opened = GetLastError();
  CloseServiceHandle(manager);
  if (service == nullptr) {
    return Refused(opened == ERROR_SERVICE_DOES_NOT_EXIST ? std::string("no service ") + kServiceName + " is installed"
                                                          : "cannot open the service",
                   opened);
  }
  SERVICE_STATUS status = {};
  bool running = QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
  bool deleted = DeleteService(service) != FALSE;
  DWORD error = GetLastError();
  CloseServiceHandle(service);
  if (!deleted) return Refused("cannot remove the service", error);
  printf("kestravo-host: service %s removed%s\n", kServiceName,
         running ? "; it runs until it is stopped (sc stop kestravo), and goes then" : "");
  return 0;
}

int Serve(int argc, char** argv, HostRun host) {
  g_host = host;
  g_args.push_back(argv[0]);
  for (int i = 2; i < argc; ++i) g_args.push_back(argv[i]);
  Options options;
  std::string error;
  g_stopHintMs = ParseWords(std::vector<std::string>(g_args.begin(), g_args.end()), &options, &error) == Parse::kRun
                     ? StopTimeMs(options.commands)
                     : StopTimeMs({});
  g_args.push_back(nullptr);
  char name[sizeof kServiceName];
  memcpy(name, kServiceName, sizeof name);
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    DWORD code = GetLastError();
    if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      return UsageError("--service is for the service control manager; run the host without it");
    }
    return Refused("cannot run as a service", code);
  }
  return g_exitCode;
}

}  // namespace

bool RunServiceCommand(int argc, char** argv, HostRun host, int* code) {
  if (argc < 2) return false;
  std::string verb = argv[1];
  if (verb == "--install-service") {
    *code = Install(argc, argv);
  } else if (verb == "--uninstall-service") {
    *code = Uninstall(argc);
  } else if (verb == "--service") {
    *code = Serve(argc, argv, host);
  } else {
    return false;
  }
  return true;
}

}  // namespace kestravo_host
