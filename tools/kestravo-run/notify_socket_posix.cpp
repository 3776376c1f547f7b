#include "notify_socket_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestravo_run {

namespace {

constexpr int kRound = 64;             // datagrams read before the other descriptors get their turn
constexpr size_t kLargest = 4096;      // the longest datagram taken; longer ones are dropped
constexpr int kDeepest = 4096;         // parents followed up from a sender

}  // namespace

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) close(fd_);
}

bool NotifySocket::Open(std::string* error) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  socklen_t length = sizeof address;
  // Bound with the family alone, the kernel picks an unused abstract name.
  if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t)) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || length <= sizeof(sa_family_t) + 1 ||
      address.sun_path[0] != '\0') {
    *error = std::string("cannot make the notify socket: ") + strerror(errno);
    return false;
  }
  address_ = "@" + std::string(address.sun_path + 1, length - sizeof(sa_family_t) - 1);
  return true;
}

bool IsOwnDescendant(pid_t pid) {
  const pid_t self = getpid();
  for (int depth = 0; depth < kDeepest && pid > 1; ++depth) {
    char path[64], stat[512] = {};
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, stat, sizeof stat - 1) : -1;
    if (fd >= 0) close(fd);
    // pid (comm) state ppid: comm may hold anything, so read after its last ')'.
    const char* rest = n > 0 ? strrchr(stat, ')') : nullptr;
    char state = 0;
    int parent = 0;
    if (rest == nullptr || sscanf(rest + 1, " %c %d", &state, &parent) != 2) return false;
    if (parent == self) return true;
    pid = parent;
  }
  return false;
}

void NotifySocket::Drain(NotifyBridge* bridge, void (*say)(const std::string&)) {
  static char data[kLargest + 1];
  alignas(cmsghdr) static char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * 253)];
  for (int i = 0; i < kRound && fd_ >= 0; ++i) {
    iovec io = {data, sizeof data};
    msghdr message = {};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // EAGAIN: nothing more waits
    const ucred* sender = nullptr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET) continue;
      if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len == CMSG_LEN(sizeof(ucred))) {
        sender = reinterpret_cast<const ucred*>(CMSG_DATA(c));
      } else if (c->cmsg_type == SCM_RIGHTS) {
        // Descriptors handed along (a store of descriptors that this adapter does not keep).
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t k = 0; k < count; ++k) {
          int passed;
          memcpy(&passed, CMSG_DATA(c) + k * sizeof(int), sizeof passed);
          close(passed);
        }
      }
    }
    // The pid is the sender's at the time it sent: the kernel holds it until this receive, so a
    // sender that has ended since may only in a short window leave it to another process.
    const pid_t pid = sender != nullptr ? sender->pid : 0;
    if (pid <= 0 || !IsOwnDescendant(pid)) {
      if (!refusedSaid_) say("refused a notify message from process " + std::to_string(pid) + ", which is not the program's");
      refusedSaid_ = true;
      continue;
    }
    if (message.msg_flags & MSG_TRUNC) continue;  // longer than any message of the protocol
    bridge->Take(data, static_cast<size_t>(n));
  }
}

}  // namespace kestravo_run
