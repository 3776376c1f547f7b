// kestravo-run's notify socket on Linux, which it gives the program as NOTIFY_SOCKET: a datagram
// socket at an abstract address (no file, so a program run as another user reaches it as well as
// one of ours), reading the sender's credentials (SO_PASSCRED) of every datagram. Only datagrams
// from this process's descendants are taken: the program and what it starts, kept in this
// process's tree, since this process is their subreaper, after their parents end.
#pragma once

#include <sys/types.h>

#include <string>

#include "notify_bridge.h"

namespace kestravo_run {

class NotifySocket {
 public:
  NotifySocket() = default;
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;
  ~NotifySocket();

  // Binds a fresh abstract address, non-blocking and close-on-exec. False with *error.
  bool Open(std::string* error);
  // The descriptor to poll; -1 before Open.
  int Descriptor() const { return fd_; }
  // The address as NOTIFY_SOCKET gives it: "@" and the abstract name.
  const std::string& Address() const { return address_; }
  // Reads at most one round of datagrams (so that a flood holds up nothing else), gives those of
  // this process's descendants to bridge and drops the rest (the first one refused is said, with
  // say), closing any descriptors that came with them.
  void Drain(NotifyBridge* bridge, void (*say)(const std::string&));

 private:
  int fd_ = -1;
  std::string address_;
  bool refusedSaid_ = false;
};

// Whether pid is a descendant of this process, by the parents the kernel lists (/proc/PID/stat).
bool IsOwnDescendant(pid_t pid);

}  // namespace kestravo_run
