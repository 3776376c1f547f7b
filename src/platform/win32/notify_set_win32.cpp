// The library's side of the notify channels on Windows: per child a message-mode pipe of a few
// instances, each waiting for one sender, all read through one completion port, so that one thread
// waits on any number of children without the 64-handle limit and wakes only for a message, a
// wake or its deadline.
//
// Who is believed: a mailslot cannot tell who wrote to it; a pipe tells the server its client's
// process id (GetNamedPipeClientProcessId, from the system, not from the sender). A message is
// then marked as from the child's tree when its sender runs in the job the library made for the
// child, asked while the sender waits for its message to be taken (so that it cannot have ended
// and left its pid to another). The watch takes a message only from the child or its tree. Only
// this account, the administrators and the system may open the pipe.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "notify_channel.h"
#include "win32/job_table.h"
#include "win32/notify_pipe.h"
#include "win32/own_file_win32.h"

namespace {

constexpr DWORD kInstances = 4;      // messages in flight per channel before a sender must wait
constexpr size_t kMaxQueued = 64;    // taken from the pipe, not yet received: then no more is taken
constexpr ULONG_PTR kPipeKey = 1, kWakeKey = 2;
constexpr ULONG kBatch = 64;         // completions taken per call
constexpr int kMaxDrainRounds = 8;   // a drain takes at most this many batches
constexpr DWORD kCloseWaitMs = 500;  // the set's end waits this long for cancelled reads

// One instance of a channel's pipe: waiting for a sender to connect, or reading its message.
struct Instance {
  OVERLAPPED overlapped{};  // first: a completion's OVERLAPPED* is its instance
  HANDLE pipe = INVALID_HANDLE_VALUE;
  uint64_t key = 0;
  bool reading = false;  // false: waiting for a connection
  bool pending = false;  // an operation runs; its completion will come to the port
  bool closed = false;   // its channel is gone: freed when that completion comes
  bool parked = false;   // not listening while its channel's queue is full
  char buffer[kNotifyMaxBytes + 1];
};

}  // namespace

struct ZOL_NotifySet::Impl {
  struct Channel {
    std::string guid;  // the child's, which names its job
    std::vector<Instance*> instances;
    std::deque<NotifyDatagram> queue;
  };
  std::mutex lock;
  HANDLE port = nullptr;
  HANDLE wakeEvent = nullptr;  // manual reset: set by Wake, reset when Wait takes the wake
  std::atomic<bool> wakePosted{false};  // a wake packet waits in the port
  std::unordered_map<uint64_t, Channel> channels;  // guarded by lock
  std::unordered_set<uint64_t> filled;             // keys with a queue; guarded by lock
  std::unordered_set<Instance*> closing;           // closed, completion to come; guarded by lock

  void PostWake() {
    if (!wakePosted.exchange(true)) PostQueuedCompletionStatus(port, 0, kWakeKey, nullptr);
  }

  // With lock: reads the connected sender's message; false when it is gone already.
  bool StartRead(Instance* in) {
    in->reading = true;
    memset(&in->overlapped, 0, sizeof in->overlapped);
    // Without skip-on-success: a read done at once still completes through the port.
    if (ReadFile(in->pipe, in->buffer, sizeof in->buffer, nullptr, &in->overlapped) || GetLastError() == ERROR_IO_PENDING ||
        GetLastError() == ERROR_MORE_DATA) {
      in->pending = true;
      return true;
    }
    return false;
  }

  // With lock: waits for the next sender. A sender that came and went meanwhile is let go.
  void Listen(Instance* in) {
    for (int round = 0; round < 4; ++round) {
      in->reading = false;
      memset(&in->overlapped, 0, sizeof in->overlapped);
      if (ConnectNamedPipe(in->pipe, &in->overlapped) || GetLastError() == ERROR_IO_PENDING) {
        in->pending = true;
        return;
      }
      if (GetLastError() == ERROR_PIPE_CONNECTED && StartRead(in)) return;
      DisconnectNamedPipe(in->pipe);
    }
    in->parked = true;  // tried again at the next Receive
  }

  // With lock: one completion of in.
  void Completed(Instance* in) {
    in->pending = false;
    if (in->closed) {
      closing.erase(in);
      delete in;
      return;
    }
    auto it = channels.find(in->key);
    if (it == channels.end()) return;  // cannot be: a channel's instances go with it
    DWORD bytes = 0;
    const bool ok = GetOverlappedResult(in->pipe, &in->overlapped, &bytes, FALSE) != FALSE;
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!in->reading) {
      if ((ok || error == ERROR_PIPE_CONNECTED) && StartRead(in)) return;
    } else if (ok || error == ERROR_MORE_DATA) {
      // Longer than the limit: cut, as a datagram would be.
      NotifyDatagram datagram;
      ULONG pid = 0;
      if (GetNamedPipeClientProcessId(in->pipe, &pid)) datagram.senderPid = pid;
      datagram.senderInTree = pid != 0 && kestravo::win32::IsInNamedTree(it->second.guid, pid);
      datagram.text.assign(in->buffer, std::min<size_t>(bytes, kNotifyMaxBytes));
      it->second.queue.push_back(std::move(datagram));
      filled.insert(in->key);
    }
    DisconnectNamedPipe(in->pipe);
    if (it->second.queue.size() >= kMaxQueued) {
      in->parked = true;
    } else {
      Listen(in);
    }
  }

  // With lock: the completions that came, without waiting. True when a wake was among them.
  bool DrainLocked() {
    bool woke = false;
    OVERLAPPED_ENTRY entries[kBatch];
    for (int round = 0; round < kMaxDrainRounds; ++round) {
      ULONG n = 0;
      if (!GetQueuedCompletionStatusEx(port, entries, kBatch, &n, 0, FALSE) || n == 0) break;
      woke = TakeLocked(entries, n) || woke;
      if (n < kBatch) break;
    }
    return woke;
  }

  // With lock: handles n completions; true when a wake was among them.
  bool TakeLocked(const OVERLAPPED_ENTRY* entries, ULONG n) {
    bool woke = false;
    for (ULONG i = 0; i < n; ++i) {
      if (entries[i].lpCompletionKey == kWakeKey) {
        woke = true;
        wakePosted = false;
      } else if (entries[i].lpOverlapped != nullptr) {
        Completed(reinterpret_cast<Instance*>(entries[i].lpOverlapped));
      }
    }
    return woke;
  }

  void CloseLocked(uint64_t key) {
    auto it = channels.find(key);
    if (it == channels.end()) return;
    for (Instance* in : it->second.instances) {
      CancelIoEx(in->pipe, nullptr);
      CloseHandle(in->pipe);
      if (in->pending) {
        in->closed = true;
        closing.insert(in);
      } else {
        delete in;
      }
    }
    filled.erase(key);
    channels.erase(it);
  }
};

ZOL_NotifySet::ZOL_NotifySet() {
  auto impl = std::make_unique<Impl>();
  impl->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  impl->wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (impl->port != nullptr && impl->wakeEvent != nullptr) {
    impl_ = std::move(impl);
  } else {
    if (impl->port != nullptr) CloseHandle(impl->port);
    if (impl->wakeEvent != nullptr) CloseHandle(impl->wakeEvent);
  }
}

ZOL_NotifySet::~ZOL_NotifySet() {
  if (!impl_) return;
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> guard(impl.lock);
  std::vector<uint64_t> keys;
  for (const auto& entry : impl.channels) keys.push_back(entry.first);
  for (uint64_t key : keys) impl.CloseLocked(key);
  // The system writes into a cancelled read's memory until its completion comes: wait for them,
  // and leave any that never came rather than free memory still in use.
  const ULONGLONG deadline = GetTickCount64() + kCloseWaitMs;
  while (!impl.closing.empty() && GetTickCount64() < deadline) {
    OVERLAPPED_ENTRY entries[kBatch];
    ULONG n = 0;
    if (!GetQueuedCompletionStatusEx(impl.port, entries, kBatch, &n, 50, FALSE)) continue;
    impl.TakeLocked(entries, n);
  }
  if (impl.closing.empty()) CloseHandle(impl.port);
  CloseHandle(impl.wakeEvent);
}

bool ZOL_NotifySet::Open(uint64_t key, const std::string& guid) {
  std::string name;
  if (!impl_) return SetLastError(ERROR_NOT_ENOUGH_MEMORY), false;
  if (!kestravo::win32::NotifyPipeName(guid.c_str(), &name)) return SetLastError(ERROR_INVALID_PARAMETER), false;
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.CloseLocked(key);
  Impl::Channel channel;
  channel.guid = guid;
  DWORD error = ERROR_SUCCESS;
  for (DWORD i = 0; i < kInstances && error == ERROR_SUCCESS; ++i) {
    // The first instance only: a pipe of that name made by anyone else is not taken over. Both
    // ways only so that a sender can wait for its message to be taken: nothing is written back.
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE pipe = CreateNamedPipeA(name.c_str(), openMode,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, kInstances, 0,
                                   2 * kNotifyMaxBytes, 0, kestravo::win32::OwnerOnly());
    if (pipe == INVALID_HANDLE_VALUE) {
      error = GetLastError();
      break;
    }
    Instance* in = new (std::nothrow) Instance;
    if (in == nullptr || CreateIoCompletionPort(pipe, impl.port, kPipeKey, 0) == nullptr) {
      error = in == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
      delete in;
      CloseHandle(pipe);
      break;
    }
    in->pipe = pipe;
    in->key = key;
    channel.instances.push_back(in);
  }
  if (error != ERROR_SUCCESS) {
    for (Instance* in : channel.instances) {
      CloseHandle(in->pipe);
      delete in;
    }
    SetLastError(error);
    return false;
  }
  std::vector<Instance*> instances = channel.instances;
  impl.channels[key] = std::move(channel);
  for (Instance* in : instances) impl.Listen(in);
  return true;
}

void ZOL_NotifySet::Close(uint64_t key) {
  if (!impl_) return;
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->CloseLocked(key);
}

void ZOL_NotifySet::Wake() {
  if (!impl_) return;
  SetEvent(impl_->wakeEvent);
  impl_->PostWake();
}

uint32_t ZOL_NotifySet::Wait(uint32_t ms, std::vector<uint64_t>* ready) {
  if (!impl_) return SetLastError(ERROR_NOT_ENOUGH_MEMORY), WAIT_FAILED;
  Impl& impl = *impl_;
  auto report = [&] {
    for (uint64_t key : impl.filled) ready->push_back(key);
  };
  {
    std::lock_guard<std::mutex> guard(impl.lock);
    const bool woke = impl.DrainLocked();
    if (woke) ResetEvent(impl.wakeEvent);
    if (woke || !impl.filled.empty()) {
      report();
      return 0;
    }
  }
  OVERLAPPED_ENTRY entries[kBatch];
  ULONG n = 0;
  if (!GetQueuedCompletionStatusEx(impl.port, entries, kBatch, &n, ms, FALSE)) {
    return GetLastError() == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
  }
  std::lock_guard<std::mutex> guard(impl.lock);
  if (impl.TakeLocked(entries, n)) ResetEvent(impl.wakeEvent);
  report();
  return 0;
}

void ZOL_NotifySet::WaitForWake(uint32_t ms) {
  // The event stays set: the next Wait takes the wake.
  if (impl_) WaitForSingleObject(impl_->wakeEvent, ms);
}

int ZOL_NotifySet::Receive(uint64_t key, int max, std::vector<NotifyDatagram>* out) {
  if (!impl_) return -1;
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> guard(impl.lock);
  // What came meanwhile, so that a caller other than the waiting thread sees the latest too; what
  // this takes from the waiting thread (a wake, others' messages) is handed back to it.
  const size_t before = impl.filled.size() - impl.filled.count(key);
  const bool woke = impl.DrainLocked();
  auto it = impl.channels.find(key);
  if (woke || impl.filled.size() - impl.filled.count(key) > before) impl.PostWake();
  if (it == impl.channels.end() || max <= 0) return 0;
  Impl::Channel& channel = it->second;
  int taken = 0;
  while (taken < std::min(max, kNotifyBatch) && !channel.queue.empty()) {
    out->push_back(std::move(channel.queue.front()));
    channel.queue.pop_front();
    ++taken;
  }
  if (channel.queue.empty()) impl.filled.erase(key);
  if (channel.queue.size() < kMaxQueued) {
    for (Instance* in : channel.instances) {
      if (in->parked && !in->pending) {
        in->parked = false;
        impl.Listen(in);
      }
    }
  }
  return taken;
}
