#include <stdio.h>

#include <algorithm>
#include <functional>
#include <set>
#include <system_error>

#include "common/exit_text.h"
#include "host_os.h"
#include "supervisor.h"

namespace kestravo_host {

StopTime StopTimeOf(const std::vector<Command>& commands) {
  constexpr uint64_t kPastGraceMs = 2000;
  const size_t n = commands.size();
  auto grace = [](const Command& c) -> uint64_t { return c.graceMs != 0 ? c.graceMs : kDefaultGraceMs; };
  auto isAfter = [&](size_t later, size_t i) {
    const std::vector<std::string>& after = commands[later].after;
    return std::find(after.begin(), after.end(), commands[i].name) != after.end();
  };
  // chain[i]: the longest stop that ends with commands[i], whose first part is next[i]'s chain.
  std::vector<uint64_t> chain(n, 0);
  std::vector<size_t> next(n, n);
  std::vector<int> seen(n, 0);  // 1 while on the path (a cycle, which loaded files do not have), 2 done
  std::function<uint64_t(size_t)> longest = [&](size_t i) -> uint64_t {
    if (seen[i] != 0) return seen[i] == 2 ? chain[i] : 0;
    seen[i] = 1;
    uint64_t before = 0;
    for (size_t later = 0; later < n; ++later) {
      if (!isAfter(later, i)) continue;
      uint64_t each = longest(later);
      if (each > before) before = each, next[i] = later;
    }
    seen[i] = 2;
    return chain[i] = before + grace(commands[i]) + kPastGraceMs;
  };
  StopTime time;
  size_t last = n;
  for (size_t i = 0; i < n; ++i) {
    time.ordered = time.ordered || !commands[i].after.empty();
    if (longest(i) > time.ms) time.ms = chain[i], last = i;
  }
  if (last == n) {
    time.text = "none";
  } else if (!time.ordered) {
    time.text = kestravo::RunTimeText(static_cast<uint32_t>(grace(commands[last]))) + ", of " + commands[last].name;
  } else {
    std::vector<std::string> order;
    for (size_t i = last; i < n && order.size() <= n; i = next[i]) order.insert(order.begin(), commands[i].name);
    time.text = kestravo::RunTimeText(static_cast<uint32_t>(std::min<uint64_t>(time.ms, UINT32_MAX))) + ": " + order[0];
    for (size_t k = 1; k < order.size(); ++k) time.text += ", then " + order[k];
  }
  return time;
}

void Supervisor::BeginStop(uint32_t hpid, bool onRequest, const std::shared_ptr<Batch>& batch) {
  HandleMessages();  // what is known of it so far
  auto found = children_.find(hpid);
  Stop& stop = stopping_.emplace_back();
  stop.hpid = hpid;
  stop.child = std::move(found->second);
  stop.onRequest = onRequest;
  stop.batch = batch;
  children_.erase(found);
  try {
    stop.worker = std::thread([this, &stop] {
      RunStop(stop);
      stop.done.store(true, std::memory_order_release);
      queue_.Nudge();
    });
  } catch (const std::system_error&) {
    RunStop(stop);  // no thread to be had: this one waits for it
    stop.done.store(true, std::memory_order_release);
  }
}

void Supervisor::RunStop(Stop& stop) {
  const Child& child = stop.child;
  // Asked now, so that a pid of a restart not yet reported is not missed.
  uint32_t pid = 0;
  bool running = child.running;
  if (library_.GetOSPid(stop.hpid, &pid) == KESTRAVO_OK && pid != 0 && pid != child.pid) {
    stop.pidNow = pid;
    stop.pidSeenAt = std::chrono::system_clock::now();
    running = watch_.Watch(pid);
  }
  pid = stop.pidNow != 0 ? stop.pidNow : child.pid;
  const uint32_t graceMs = child.command.graceMs != 0 ? child.command.graceMs : kDefaultGraceMs;
  Clock::time_point askedAt = Clock::now(), endedAt;
  int32_t result = library_.DestroyProcess(stop.hpid, child.command.graceMs);
  bool ended = pid != 0 && watch_.WaitAllEnded(std::vector<uint32_t>{pid}, Clock::now() + std::chrono::seconds(2));
  ended = ended && watch_.EndedAt(pid, &endedAt);
  watch_.Forget(pid);
  if (pid == 0) {
    stop.how = "never started: its start was cancelled";
  } else if (!running || (ended && endedAt < askedAt)) {
    stop.outcome = Outcome::kAlreadyEnded;
    stop.how = "had already ended";
  } else if (!ended) {
    stop.outcome = Outcome::kStillRuns;
    stop.how = "still runs after KESTRAVO_DestroyProcess (answered " + std::to_string(result) + ")";
  } else if (endedAt - askedAt >= std::chrono::milliseconds(graceMs)) {
    stop.outcome = Outcome::kKilled;
    stop.how = "killed: still running " + kestravo::RunTimeText(graceMs) + " after its stop event";
  } else {
    const std::string after = " after " + Fixed(std::max(0.0, Ms(endedAt - askedAt)), 1) + " ms";
    stop.outcome = child.command.viaAdapter ? Outcome::kOnSignal : Outcome::kOnStopEvent;
    stop.how = child.command.viaAdapter ? "ended on " + AdapterStopText(child.command.stopSignal) + after
                                        : "stopped on its stop event" + after;
  }
}

void Supervisor::FinishStops() {
  for (auto it = stopping_.begin(); it != stopping_.end();) {
    Stop& stop = *it;
    if (!stop.done.load(std::memory_order_acquire)) {
      ++it;
      continue;
    }
    if (stop.worker.joinable()) stop.worker.join();
    Child& child = stop.child;
    if (stop.pidNow != 0) {
      if (!child.startCounted) ShowStart(stop.hpid, child, stop.pidNow, stop.pidSeenAt);
      child.pid = stop.pidNow;
    }
    switch (stop.outcome) {
      case Outcome::kAlreadyEnded: ++alreadyEnded_; break;
      case Outcome::kKilled: ++killed_; break;
      case Outcome::kOnSignal: ++onSignal_; break;
      case Outcome::kOnStopEvent: ++onStopEvent_; break;
      default: break;
    }
    Line(ChildText(stop.hpid, child.pid, (stop.onRequest ? "stopped on request: " : "") + stop.how));
    child.running = false;
    child.lastExit = "stopped: " + stop.how;
    std::shared_ptr<Batch> batch = std::move(stop.batch);
    const std::string name = child.command.name;
    batch->ended[name] = {std::move(child), std::move(stop.how)};
    it = stopping_.erase(it);
    if (--batch->left == 0 && batch->then) batch->then(*batch);
  }
  BeginFreeStops();
}

void Supervisor::StopInOrder(const std::vector<uint32_t>& hpids, bool onRequest, const std::shared_ptr<Batch>& batch) {
  batch->onRequest = onRequest;
  batch->left += hpids.size();
  for (uint32_t hpid : hpids) batch->waiting[hpid] = children_.at(hpid).command.name;
  if (batch->waiting.empty()) {
    if (batch->left == 0 && batch->then) batch->then(*batch);
    return;
  }
  ordered_.push_back(batch);
  BeginFreeStops();
}

void Supervisor::BeginFreeStops() {
  // A program stays up while a program whose after names it still runs or stops, so that no
  // program loses what it needs before it ends: the reverse of the start order.
  auto isAfter = [](const Command& command, const std::string& name) {
    return std::find(command.after.begin(), command.after.end(), name) != command.after.end();
  };
  auto present = [&](uint32_t hpid, const std::string& name) {
    auto found = children_.find(hpid);
    return found != children_.end() && found->second.command.name == name ? &found->second : nullptr;
  };
  auto needed = [&](const std::string& name) {
    for (const auto& batch : ordered_) {
      for (const auto& [hpid, was] : batch->waiting) {
        const Child* child = present(hpid, was);
        if (child != nullptr && isAfter(child->command, name)) return true;
      }
    }
    return std::any_of(stopping_.begin(), stopping_.end(), [&](const Stop& stop) { return isAfter(stop.child.command, name); });
  };
  std::vector<std::pair<std::shared_ptr<Batch>, uint32_t>> free;
  for (const auto& batch : ordered_) {
    for (const auto& [hpid, name] : batch->waiting) {
      if (present(hpid, name) == nullptr || !needed(name)) free.emplace_back(batch, hpid);
    }
  }
  // Loaded files have no cycles; should one ever be met, everything left stops at once.
  if (free.empty() && stopping_.empty()) {
    for (const auto& batch : ordered_) {
      for (const auto& entry : batch->waiting) free.emplace_back(batch, entry.first);
    }
  }
  std::vector<std::shared_ptr<Batch>> completed;
  for (const auto& [batch, hpid] : free) {
    const std::string name = batch->waiting.at(hpid);
    batch->waiting.erase(hpid);
    if (present(hpid, name) != nullptr) BeginStop(hpid, batch->onRequest, batch);
    else if (--batch->left == 0) completed.push_back(batch);
  }
  ordered_.erase(std::remove_if(ordered_.begin(), ordered_.end(), [](const auto& batch) { return batch->waiting.empty(); }), ordered_.end());
  for (const auto& batch : completed) {
    if (batch->then) batch->then(*batch);
  }
}

const Supervisor::Stop* Supervisor::FindStop(const std::string& name) const {
  for (const Stop& stop : stopping_) {
    if (stop.child.command.name == name) return &stop;
  }
  return nullptr;
}

void Supervisor::StopAll() {
  ending_ = true;
  HandleMessages();
  LearnStarts();
  Line(std::string("stopping: every child gets its stop event once the programs after it have stopped") +
       (options_.native ? "" : " (kestravo-run turns it into the program's stop signal)") +
       " and is killed if it still runs after its grace");
  std::vector<uint32_t> all;
  for (const auto& entry : children_) all.push_back(entry.first);
  StopInOrder(all, false, std::make_shared<Batch>());
  // Stops asked for before go on too. Meanwhile status is answered, and the rest refused.
  while (!stopping_.empty() || !ordered_.empty()) {
    std::string request = queue_.Wait(static_cast<int>(kTick.count()));
    if (!request.empty()) Line(request + " received: the stops under way go on");
    HandleMessages();
    HandleRequests();
    FinishStops();
    AnswerStarts();
  }
  control_.Close();  // a client asking now is told that no host runs
  int32_t result = library_.Uninit();
  if (result != KESTRAVO_OK) Line("KESTRAVO_Uninit answered " + std::to_string(result));
}

}  // namespace kestravo_host
