// kestravo-stop-latency [RUNS] [CHILD]: how long a child takes to exit once its stop event is set.
// Starts CHILD (default: stop_child beside this program) RUNS times (default 100) with a stop
// event of its own, waits until it blocks on the event, sets the event and times the exit.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "launcher/child_identity.h"
#include "platform/os.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Beside(const char* name) {
  char self[4096] = {};
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path(self, n);
  return path.substr(0, path.rfind('/') + 1) + name;
}

// True once the process sleeps in a futex wait, i.e. on its stop event.
bool BlockedOnFutex(DWORD pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/wchan");
  std::string wchan;
  in >> wchan;
  return wchan.find("futex") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 100;
  std::string child = argc > 2 ? argv[2] : Beside("stop_child");
  if (runs <= 0) {
    fprintf(stderr, "usage: kestravo-stop-latency [RUNS] [CHILD]\n");
    return 2;
  }
  std::vector<double> latencies;
  for (int i = 0; i < runs; ++i) {
    ManagedProcess identity;
    identity.hpid = static_cast<uint32_t>(i % 1024);
    identity.guid = CreateGuidString();
    HANDLE stop = CreateEventA(nullptr, FALSE, FALSE, identity.guid.c_str());
    std::string line = child + " " + BuildChildCmdLine(identity, "");
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!stop || !CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &si, &pi)) {
      fprintf(stderr, "kestravo-stop-latency: cannot start %s (error %u)\n", child.c_str(),
              GetLastError());
      return 1;
    }
    CloseHandle(pi.hThread);
    auto ready = Clock::now() + std::chrono::seconds(5);
    while (!BlockedOnFutex(pi.dwProcessId) && Clock::now() < ready) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    auto start = Clock::now();
    SetEvent(stop);
    DWORD waited = WaitForSingleObject(pi.hProcess, 5000);
    auto end = Clock::now();
    if (waited != WAIT_OBJECT_0) {
      fprintf(stderr, "kestravo-stop-latency: child %u did not exit\n", pi.dwProcessId);
      TerminateProcess(pi.hProcess, 0);
    } else {
      latencies.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    CloseHandle(pi.hProcess);
    CloseHandle(stop);
  }
  if (latencies.empty()) return 1;
  std::sort(latencies.begin(), latencies.end());
  size_t n = latencies.size();
  printf("stop event to child exit over %zu runs: median %.3f ms, p90 %.3f ms, max %.3f ms\n", n,
         latencies[n / 2], latencies[n * 9 / 10], latencies[n - 1]);
  return latencies.size() == static_cast<size_t>(runs) ? 0 : 1;
}
