#include "exit_watch.h"

#include <windows.h>

#include <atomic>
#include <vector>

namespace kestravo_host {

namespace {
// WaitForMultipleObjects takes 64 handles: a group's wake event and 63 processes.
constexpr size_t kGroupSize = MAXIMUM_WAIT_OBJECTS - 1;
}

struct ExitWatch::Waiter {
  // Up to kGroupSize processes and the thread that waits for them. Only that thread removes
  // handles from a group; Watch only appends and then sets the wake event.
  struct Group {
    HANDLE wake = nullptr;          // auto-reset: the list grew, or the watch ends
    std::vector<HANDLE> processes;  // guarded by the watch's mutex_
    std::vector<uint32_t> pids;     // guarded by the watch's mutex_, beside processes
    std::thread thread;
  };
  void Run(ExitWatch* watch, Group* group);

  std::vector<std::unique_ptr<Group>> groups;  // guarded by the watch's mutex_; never shrinks
  std::atomic<bool> stop{false};
};

ExitWatch::ExitWatch() : waiter_(new Waiter) {}

ExitWatch::~ExitWatch() {
  waiter_->stop = true;
  for (auto& group : waiter_->groups) {
    SetEvent(group->wake);
    group->thread.join();
    for (HANDLE process : group->processes) CloseHandle(process);
    CloseHandle(group->wake);
  }
}

bool ExitWatch::Watch(uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  bool running = process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& entry = entries_[pid];
  if (entry.watched || !running) {
    if (process != nullptr) CloseHandle(process);
    if (!entry.watched) Ended(pid, false);
    return entry.watched;
  }
  Waiter::Group* group = nullptr;
  for (auto& g : waiter_->groups) {
    if (g->processes.size() < kGroupSize) group = g.get();
  }
  if (group == nullptr) {
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (wake == nullptr) {
      CloseHandle(process);
      return true;  // running, but its end will not be seen
    }
    waiter_->groups.emplace_back(new Waiter::Group);
    group = waiter_->groups.back().get();
    group->wake = wake;
    // The thread's first look at the list waits for this lock.
    group->thread = std::thread([this, group] { waiter_->Run(this, group); });
  }
  entry = Entry{};
  entry.watched = true;
  group->processes.push_back(process);
  group->pids.push_back(pid);
  SetEvent(group->wake);
  return true;
}

void ExitWatch::Waiter::Run(ExitWatch* watch, Group* group) {
  std::vector<HANDLE> handles;
  while (!stop) {
    {
      std::lock_guard<std::mutex> lock(watch->mutex_);
      handles.assign(1, group->wake);
      handles.insert(handles.end(), group->processes.begin(), group->processes.end());
    }
    DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
    size_t index = result - WAIT_OBJECT_0;
    if (result == WAIT_FAILED || index >= handles.size()) {
      Sleep(100);  // not expected with handles of our own; not a busy loop if it happens
      continue;
    }
    if (index == 0) continue;
    // Processes only ever join the end of the list, so the index still names the same one.
    std::lock_guard<std::mutex> lock(watch->mutex_);
    CloseHandle(group->processes[index - 1]);
    group->processes.erase(group->processes.begin() + static_cast<std::ptrdiff_t>(index - 1));
    watch->Ended(group->pids[index - 1], true);
    group->pids.erase(group->pids.begin() + static_cast<std::ptrdiff_t>(index - 1));
  }
}

}  // namespace kestravo_host
