#include "guard/notify_watch.h"

#include <algorithm>

#include "common/error_codes.h"
#include "platform/log_line.h"
#include "platform/worker_quit.h"
#include "platform/zol_runtime.h"

namespace {

// Messages taken from one channel per pass: the others are served before it is read again.
constexpr int kMessagesPerPass = kNotifyBatch;
// Messages kept from before the process is known (its first words race the start's report).
constexpr size_t kMaxEarlyMessages = 16;
constexpr uint32_t kChannelWaitRetryMs = 100;
constexpr uint32_t kPassOnWaitMs = 1000;


uint32_t WatchEntry(void* param) {
  if (param != nullptr) static_cast<CNotifyWatch*>(param)->insideWorkRoutine();
  return 0;
}

std::chrono::microseconds Usec(uint64_t usec) {
  // Cut to a year: no overflow of the clock, and no wait longer than that anyway.
  return std::chrono::microseconds(std::min<uint64_t>(usec, 365ull * 24 * 3600 * 1000000));
}

uint32_t MsUntilOrInfinite(std::chrono::steady_clock::time_point when, std::chrono::steady_clock::time_point now) {
  if (when == std::chrono::steady_clock::time_point::max()) return INFINITE;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
  return static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, 0x7FFFFFFF));
}

}  // namespace

CNotifyWatch::CNotifyWatch() {}

CNotifyWatch::~CNotifyWatch() {
  try {
    Stop();
  } catch (...) {
  }
}

bool CNotifyWatch::Start(INotifyWatchSink* sink) {
  static const char* const kFunction = "CNotifyWatch::Start";
  if (running_) return true;
  if (sink == nullptr) {
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_INVALID_PARAM, "INotifyWatchSink is NULL");
    return false;
  }
  if (thread_ != nullptr) {
    ZOL_Thread_Wait(thread_);
    thread_ = nullptr;
  }
  if (passed_ == nullptr) {
    ZOL_Guard guard(&mutex_);
    passed_ = ZOL_CreateEvent(0);
    if (passed_ != nullptr) ZOL_SetEvent(passed_);
  }
  sink_ = sink;
  quitRequested_ = false;
  thread_ = ZOL_Thread_Create(WatchEntry, this, 0, 0, 0, nullptr);
  if (thread_ == nullptr) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_THREAD_CREATE, "[sysError=%d]create notify thread failed.",
                      ZOL_GetSystemLastError());
    sink_ = nullptr;
    return false;
  }
  running_ = true;
  return true;
}

bool CNotifyWatch::Stop() {
  quitRequested_ = true;
  set_.Wake();
  if (thread_ != nullptr && GetWorkerQuitFlag() != &quitRequested_) {
    ZOL_Thread_Wait(thread_);
    thread_ = nullptr;
  }
  running_ = false;
  std::vector<uint32_t> hpids;
  {
    ZOL_Guard guard(&mutex_);
    for (const auto& entry : channels_) hpids.push_back(entry.first);
    channels_.clear();
    deadlines_.clear();
    pending_.clear();
  }
  for (uint32_t hpid : hpids) set_.Close(hpid);
  if (GetWorkerQuitFlag() != &quitRequested_) sink_ = nullptr;
  return true;
}

bool CNotifyWatch::OpenChannel(uint32_t hpid, const std::string& guid) {
  static const char* const kFunction = "CNotifyWatch::OpenChannel";
  CloseChannel(hpid);
  if (!set_.Open(hpid, guid)) {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,guid=%s,error=%d]no notify channel, the child runs without one",
                      static_cast<int>(hpid), guid.c_str(), static_cast<int>(ZOL_GetLastError()));
    return false;
  }
  ZOL_Guard guard(&mutex_);
  Channel& ch = channels_[hpid];
  UnscheduleLocked(hpid, ch);
  ch = Channel{};
  pending_.erase(hpid);
  return true;
}

void CNotifyWatch::CloseChannel(uint32_t hpid) {
  {
    ZOL_Guard guard(&mutex_);
    auto it = channels_.find(hpid);
    if (it != channels_.end()) {
      UnscheduleLocked(hpid, it->second);
      channels_.erase(it);
    }
    pending_.erase(hpid);
  }
  set_.Close(hpid);
}

void CNotifyWatch::ProcessStarted(uint32_t hpid, uint32_t pid, const ChildSettings& settings, bool adopted) {
  bool wake = false;
  {
    ZOL_Guard guard(&mutex_);
    auto it = channels_.find(hpid);
    if (it == channels_.end()) return;
    Channel& ch = it->second;
    std::vector<Message> early;
    early.swap(ch.early);
    UnscheduleLocked(hpid, ch);
    ch = Channel{};
    ch.pid = pid;
    ch.settings = settings;
    ch.startedAt = ch.clockFrom = Clock::now();
    ch.announceReady = adopted && settings.ready;
    // Its first words may have come before this report: the next pass takes them.
    for (Message& message : early) {
      if (message.sender == pid || message.inTree) ch.early.push_back(std::move(message));
    }
    if (ch.announceReady || !ch.early.empty()) pending_.insert(hpid);
    ScheduleLocked(hpid, ch);
    // The thread sleeps until the nearest deadline it saw or a message: a child that brings no
    // earlier deadline and no words to take leaves it asleep, as a burst of starts should.
    wake = pending_.count(hpid) != 0 ||
           (ch.due != Clock::time_point::max() && !deadlines_.empty() && deadlines_.begin()->second == hpid);
  }
  if (wake) set_.Wake();
}

void CNotifyWatch::ProcessEnded(uint32_t hpid, uint32_t pid) {
  ZOL_Guard guard(&mutex_);
  auto it = channels_.find(hpid);
  if (it != channels_.end() && it->second.pid == pid) {
    UnscheduleLocked(hpid, it->second);
    it->second = Channel{};
    pending_.erase(hpid);
  }
}

void CNotifyWatch::ReceiveLocked(uint32_t hpid, int count, std::vector<Event>* events) {
  static const char* const kFunction = "CNotifyWatch::Receive";
  std::vector<NotifyDatagram> received;
  while (count > 0) {
    auto it = channels_.find(hpid);
    const int asked = std::min(count, kNotifyBatch);
    received.clear();
    if (it == channels_.end() || set_.Receive(hpid, asked, &received) <= 0) return;
    Channel& ch = it->second;
    for (NotifyDatagram& datagram : received) {
      if (ch.pid == 0) {
        if (ch.early.size() < kMaxEarlyMessages) {
          ch.early.push_back(Message{std::move(datagram.text), datagram.senderPid, datagram.senderInTree});
        }
      } else if (datagram.senderPid != ch.pid && !datagram.senderInTree) {
        if (!ch.refusedLogged) {
          ch.refusedLogged = true;
          KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d,sender=%d]message from another process dropped",
                            static_cast<int>(hpid), static_cast<int>(ch.pid), static_cast<int>(datagram.senderPid));
        }
      } else {
        TakeLocked(hpid, ch, datagram.text, Clock::now(), events);
      }
    }
    // Fewer than asked: the channel is empty, and no second call is needed to learn it.
    if (static_cast<int>(received.size()) < asked) return;
    count -= asked;
  }
}

bool CNotifyWatch::TakeFinalSettings(uint32_t hpid, uint32_t pid, ChildSettings* settings, bool* becameReady,
                                     std::string* lastStatus) {
  // What the thread took of it just before is passed on first. Bounded: a host callback on the
  // thread that waits for this exit holds it up no longer than that.
  HANDLE passed = nullptr;
  {
    ZOL_Guard guard(&mutex_);
    if (passing_.count(hpid) != 0) passed = passed_;
  }
  if (passed != nullptr) ZOL_WaitForSingleObject(passed, kPassOnWaitMs);
  ZOL_Guard guard(&mutex_);
  auto it = channels_.find(hpid);
  if (it == channels_.end() || it->second.pid != pid) return false;
  std::vector<Event> last;
  // Early ones first, in the order they came; a queue of a flooding child is not read to its end.
  std::vector<Message> early;
  early.swap(it->second.early);
  for (const Message& message : early) TakeLocked(hpid, it->second, message.text, Clock::now(), &last);
  ReceiveLocked(hpid, kMaxEarlyMessages * 4, &last);
  *settings = it->second.settings;
  *becameReady = false;
  lastStatus->clear();
  // Its clocks are of no use now: only what it said is passed on.
  for (Event& event : last) {
    if (event.kind == Event::kReady) *becameReady = true;
    if (event.kind == Event::kStatus) lastStatus->swap(event.status);
  }
  return true;
}

void CNotifyWatch::TakeLocked(uint32_t hpid, Channel& ch, const std::string& text, Clock::time_point now,
                              std::vector<Event>* events) {
  static const char* const kFunction = "CNotifyWatch::Take";
  const ChildSettings before = ch.settings;
  NotifyRequest request;
  std::string ignored;
  ApplyNotifyText(text, &ch.settings, &request, &ignored);
  if (!ignored.empty() && !ch.ignoredLogged) {
    ch.ignoredLogged = true;
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]ignored in the child's message: %s", static_cast<int>(hpid),
                      static_cast<int>(ch.pid), ignored.c_str());
  }
  bool becameReady = false;
  if (request.ready && !ch.settings.ready) {
    ch.settings.ready = becameReady = true;
    ch.clockFrom = now;
  }
  // Pings before READY=1 neither start nor feed the clock.
  if (ch.settings.ready && (request.ping || request.watchdogSet)) ch.clockFrom = now;
  if (request.stopping) {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d]the child says it is stopping", static_cast<int>(hpid),
                      static_cast<int>(ch.pid));
  }
  if (request.hasStatus) events->push_back(Event{Event::kStatus, hpid, ch.pid, {}, request.status});
  if (ch.settings != before) events->push_back(Event{becameReady ? Event::kReady : Event::kSettings, hpid, ch.pid, ch.settings, {}});
  if (request.trigger && !ch.stopAsked) {
    OverdueLocked(hpid, ch, KESTRAVO_CAUSE_WATCHDOG, ch.settings.watchdogUsec / 1000, now, events);
  }
  ScheduleLocked(hpid, ch);
}

void CNotifyWatch::OverdueLocked(uint32_t hpid, Channel& ch, uint32_t cause, uint64_t causeValue, Clock::time_point now,
                                 std::vector<Event>* events) {
  ch.stopAsked = true;
  ch.killAt = now + std::chrono::milliseconds(ch.settings.stopGraceMs);
  Event event{Event::kOverdue, hpid, ch.pid, {}, {}};
  event.cause = cause;
  event.causeValue = causeValue;
  events->push_back(event);
}

void CNotifyWatch::ScheduleLocked(uint32_t hpid, Channel& ch) {
  Clock::time_point due = Clock::time_point::max();
  if (ch.pid == 0) {
  } else if (ch.stopAsked) {
    if (!ch.killSent) due = ch.killAt;
  } else if (!ch.settings.ready && ch.settings.readyTimeoutUsec > 0) {
    due = ch.startedAt + Usec(ch.settings.readyTimeoutUsec);
  } else if (ch.settings.ready && ch.settings.watchdogUsec > 0) {
    due = ch.clockFrom + Usec(ch.settings.watchdogUsec);
  }
  if (due == ch.due) return;
  if (ch.due != Clock::time_point::max() && due != Clock::time_point::max()) {
    // A ping moves the entry: its node is reused, nothing is allocated.
    auto node = deadlines_.extract({ch.due, hpid});
    node.value().first = due;
    deadlines_.insert(std::move(node));
  } else if (due != Clock::time_point::max()) {
    deadlines_.emplace(due, hpid);
  } else {
    deadlines_.erase({ch.due, hpid});
  }
  ch.due = due;
}

void CNotifyWatch::UnscheduleLocked(uint32_t hpid, Channel& ch) {
  if (ch.due != Clock::time_point::max()) deadlines_.erase({ch.due, hpid});
  ch.due = Clock::time_point::max();
}

CNotifyWatch::Clock::time_point CNotifyWatch::CheckClocksLocked(Clock::time_point now, std::vector<Event>* events) {
  for (uint32_t hpid : pending_) {
    auto it = channels_.find(hpid);
    if (it == channels_.end() || it->second.pid == 0) continue;
    Channel& ch = it->second;
    if (ch.announceReady) {
      ch.announceReady = false;
      events->push_back(Event{Event::kReady, hpid, ch.pid, ch.settings, {}});
    }
    std::vector<Message> early;
    early.swap(ch.early);
    for (const Message& message : early) TakeLocked(hpid, ch, message.text, now, events);
  }
  pending_.clear();
  // What is due now is handled once; a deadline it sets at or before now comes in the next pass.
  std::vector<uint32_t> due;
  for (auto it = deadlines_.begin(); it != deadlines_.end() && it->first <= now; ++it) due.push_back(it->second);
  for (uint32_t hpid : due) {
    Channel& ch = channels_.at(hpid);
    if (ch.stopAsked) {
      if (!ch.killSent) {
        ch.killSent = true;
        events->push_back(Event{Event::kKill, hpid, ch.pid, {}, {}});
      }
    } else if (!ch.settings.ready && ch.settings.readyTimeoutUsec > 0) {
      OverdueLocked(hpid, ch, KESTRAVO_CAUSE_NOT_READY, ch.settings.readyTimeoutUsec / 1000, now, events);
    } else if (ch.settings.ready && ch.settings.watchdogUsec > 0) {
      OverdueLocked(hpid, ch, KESTRAVO_CAUSE_WATCHDOG, ch.settings.watchdogUsec / 1000, now, events);
    }
    ScheduleLocked(hpid, ch);
  }
  return deadlines_.empty() ? Clock::time_point::max() : deadlines_.begin()->first;
}

uint32_t CNotifyWatch::insideWorkRoutine() {
  static const char* const kFunction = "CNotifyWatch::insideWorkRoutine";
  SetWorkerQuitFlag(&quitRequested_);
  std::vector<uint64_t> readable;
  std::vector<Event> events;
  const auto spacing = std::chrono::milliseconds(kNotifyCoalesceMs);
  Clock::time_point next = Clock::now();  // the nearest deadline
  Clock::time_point holdUntil{};           // no read before, while messages stream in
  Clock::time_point lastWake{};
  for (;;) {
    if (quitRequested_) return 0;
    Clock::time_point now = Clock::now();
    if (now < holdUntil && now < next) set_.WaitForWake(MsUntilOrInfinite(std::min(holdUntil, next), now));
    readable.clear();
    uint32_t result = set_.Wait(MsUntilOrInfinite(next, Clock::now()), &readable);
    if (quitRequested_) return 0;
    const Clock::time_point woke = Clock::now();
    // Messages again soon after the wake before: hold the next read back to take them in batches.
    holdUntil = result == 0 && !readable.empty() && woke - lastWake < 2 * spacing ? woke + spacing : Clock::time_point{};
    lastWake = woke;
    if (result == WAIT_FAILED) {
      KESTRAVO_LOG_INFO(kFunction, "[lastError=%d]wait for notify channels failed, look again later",
                        static_cast<int>(ZOL_GetLastError()));
      ZOL_Sleep(kChannelWaitRetryMs);
    }
    for (uint64_t key : readable) {
      ZOL_Guard guard(&mutex_);
      ReceiveLocked(static_cast<uint32_t>(key), kMessagesPerPass, &events);
    }
    {
      ZOL_Guard guard(&mutex_);
      next = CheckClocksLocked(Clock::now(), &events);
      for (const Event& event : events) passing_.insert(event.hpid);
      if (!passing_.empty() && passed_ != nullptr) ZOL_ResetEvent(passed_);
    }
    INotifyWatchSink* sink = sink_;
    for (const Event& event : events) {
      if (quitRequested_ || sink == nullptr) break;
      switch (event.kind) {
        case Event::kSettings:
        case Event::kReady:
          sink->OnChildSettings(event.hpid, event.pid, event.settings, event.kind == Event::kReady);
          break;
        case Event::kStatus: sink->OnChildStatus(event.hpid, event.pid, event.status); break;
        case Event::kOverdue: sink->OnChildOverdue(event.hpid, event.pid, event.cause, event.causeValue); break;
        case Event::kKill: sink->OnChildKillDue(event.hpid, event.pid); break;
      }
    }
    events.clear();
    {
      ZOL_Guard guard(&mutex_);
      passing_.clear();
      if (passed_ != nullptr) ZOL_SetEvent(passed_);
    }
  }
}
