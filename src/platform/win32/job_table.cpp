#include "win32/job_table.h"

#include <map>
#include <mutex>
#include <new>

namespace kestravo::win32 {
namespace {

std::mutex g_mutex;
std::map<HANDLE, HANDLE>* g_jobs = nullptr;  // guarded by g_mutex; never freed, used until exit
std::map<std::string, HANDLE>* g_jobsByTree = nullptr;  // the same jobs by tree name; guarded by g_mutex

}  // namespace

bool RememberJob(HANDLE process, HANDLE job, const char* treeName) {
  std::lock_guard<std::mutex> lock(g_mutex);
  try {
    if (g_jobs == nullptr) g_jobs = new std::map<HANDLE, HANDLE>();
    if (g_jobsByTree == nullptr) g_jobsByTree = new std::map<std::string, HANDLE>();
    auto [at, added] = g_jobs->emplace(process, job);
    try {
      if (treeName != nullptr) (*g_jobsByTree)[treeName] = job;
    } catch (const std::bad_alloc&) {
      if (added) g_jobs->erase(at);
      return false;
    }
    if (!added) {
      for (auto named = g_jobsByTree->begin(); named != g_jobsByTree->end();) {
        named = named->second == at->second ? g_jobsByTree->erase(named) : std::next(named);
      }
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

bool IsInNamedTree(const std::string& treeName, DWORD pid) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_jobsByTree == nullptr) return false;
  auto at = g_jobsByTree->find(treeName);
  if (at == g_jobsByTree->end()) return false;
  // Wine's IsProcessInJob wants the full query right; the limited one is refused there.
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  BOOL inside = FALSE;
  const bool asked = IsProcessInJob(process, at->second, &inside) != FALSE;
  CloseHandle(process);
  return asked && inside != FALSE;
}

void ForgetJob(HANDLE process) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_jobs == nullptr) return;
  auto at = g_jobs->find(process);
  if (at == g_jobs->end()) return;
  for (auto named = g_jobsByTree->begin(); named != g_jobsByTree->end(); ++named) {
    if (named->second == at->second) {
      g_jobsByTree->erase(named);
      break;
    }
  }
  CloseHandle(at->second);
  g_jobs->erase(at);
}

}  // namespace kestravo::win32
