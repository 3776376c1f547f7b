#include "win32/job_table.h"

#include <map>
#include <mutex>
#include <new>

namespace kestravo::win32 {
namespace {

std::mutex g_mutex;
std::map<HANDLE, HANDLE>* g_jobs = nullptr;  // guarded by g_mutex; never freed, used until exit

}  // namespace

bool RememberJob(HANDLE process, HANDLE job) {
  std::lock_guard<std::mutex> lock(g_mutex);
  try {
    if (g_jobs == nullptr) g_jobs = new std::map<HANDLE, HANDLE>();
    auto [at, added] = g_jobs->emplace(process, job);
    if (!added) {
      CloseHandle(at->second);
      at->second = job;
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool TerminateJobOf(HANDLE process) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_jobs == nullptr) return false;
  auto at = g_jobs->find(process);
  return at != g_jobs->end() && TerminateJobObject(at->second, 0) != FALSE;
}

long ActiveProcessesInJob(HANDLE process) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_jobs == nullptr) return -1;
  auto at = g_jobs->find(process);
  if (at == g_jobs->end()) return -1;
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
  if (!QueryInformationJobObject(at->second, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr)) {
    return -1;
  }
  return static_cast<long>(info.ActiveProcesses);
}

void ForgetJob(HANDLE process) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_jobs == nullptr) return;
  auto at = g_jobs->find(process);
  if (at == g_jobs->end()) return;
  CloseHandle(at->second);
  g_jobs->erase(at);
}

}  // namespace kestravo::win32
