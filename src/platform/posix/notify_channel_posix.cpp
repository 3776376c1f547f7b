#include "notify_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "last_error.h"

namespace {

constexpr char kPrefix[] = "/dev/shm/kestravo-nt.";
constexpr size_t kMaxGuidLength = 64;

bool ChannelAddress(const char* guid, sockaddr_un* address, socklen_t* length) {
  if (guid == nullptr) return false;
  const size_t n = strnlen(guid, kMaxGuidLength + 1);
  if (n == 0 || n > kMaxGuidLength || memchr(guid, '/', n) != nullptr) return false;
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::string path = std::string(kPrefix) + guid;
  if (path.size() >= sizeof address->sun_path) return false;
  memcpy(address->sun_path, path.c_str(), path.size() + 1);
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

}  // namespace

int32_t SendNotifyDatagram(const char* guid, const char* data, size_t size) {
  sockaddr_un address;
  socklen_t length;
  if (!ChannelAddress(guid, &address, &length) || data == nullptr || size > kNotifyMaxBytes) {
    kestravo::posix::Fail(ERROR_INVALID_PARAMETER);
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return kestravo::posix::FailWithErrno(errno), -1;
  ssize_t sent;
  do {
    sent = sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), length);
  } while (sent < 0 && errno == EINTR);
  const int err = errno;
  close(fd);
  if (sent == static_cast<ssize_t>(size)) return 0;
  kestravo::posix::FailWithErrno(err);
  // No socket under the name, or nobody bound to it any more.
  return err == ENOENT || err == ECONNREFUSED ? 1 : -1;
}

void RemoveNotifyChannelName(const std::string& guid) {
  sockaddr_un address;
  socklen_t length;
  struct stat st;
  if (ChannelAddress(guid.c_str(), &address, &length) && lstat(address.sun_path, &st) == 0 && S_ISSOCK(st.st_mode) &&
      st.st_uid == geteuid()) {
    unlink(address.sun_path);
  }
}

struct ZOL_NotifySet::Impl {
  std::mutex lock;
  std::unordered_map<uint64_t, int> sockets;  // guarded by lock
  std::unordered_map<uint64_t, std::string> paths;  // guarded by lock
  int epoll = -1;
  int wake = -1;
  // One batch of datagrams as recvmmsg fills it; guarded by lock.
  static constexpr int kBatch = kNotifyBatch;
  static constexpr size_t kControlBytes = CMSG_SPACE(sizeof(ucred));
  std::vector<char> buffers = std::vector<char>(kBatch * (kNotifyMaxBytes + 1));
  alignas(cmsghdr) char controls[kBatch][kControlBytes];
  iovec ios[kBatch];
  mmsghdr headers[kBatch];

  void CloseLocked(uint64_t key) {
    auto it = sockets.find(key);
    if (it == sockets.end()) return;
    epoll_ctl(epoll, EPOLL_CTL_DEL, it->second, nullptr);
    close(it->second);
    unlink(paths[key].c_str());
    sockets.erase(it);
    paths.erase(key);
  }
};

ZOL_NotifySet::ZOL_NotifySet() {
  auto impl = std::make_unique<Impl>();
  impl->epoll = epoll_create1(EPOLL_CLOEXEC);
  impl->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = UINT64_MAX;
  if (impl->epoll >= 0 && impl->wake >= 0 && epoll_ctl(impl->epoll, EPOLL_CTL_ADD, impl->wake, &event) == 0) {
    impl_ = std::move(impl);
  } else {
    if (impl->epoll >= 0) close(impl->epoll);
    if (impl->wake >= 0) close(impl->wake);
  }
}

ZOL_NotifySet::~ZOL_NotifySet() {
  if (!impl_) return;
  std::vector<uint64_t> keys;
  for (const auto& entry : impl_->sockets) keys.push_back(entry.first);
  for (uint64_t key : keys) impl_->CloseLocked(key);
  close(impl_->epoll);
  close(impl_->wake);
}

bool ZOL_NotifySet::Open(uint64_t key, const std::string& guid) {
  using kestravo::posix::Fail;
  using kestravo::posix::FailWithErrno;
  sockaddr_un address;
  socklen_t length;
  if (!impl_ || key == UINT64_MAX) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  if (!ChannelAddress(guid.c_str(), &address, &length)) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->CloseLocked(key);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FailWithErrno(errno);
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    const int err = errno;
    close(fd);
    return FailWithErrno(err);
  }
  int result = bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  if (result != 0 && errno == EADDRINUSE) {
    // A leftover of a host that died: ours only when it is a socket of this user. In the sticky
    // /dev/shm nobody else can put another file in its place before the unlink.
    struct stat st;
    if (lstat(address.sun_path, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == geteuid()) {
      unlink(address.sun_path);
      result = bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    } else {
      close(fd);
      return Fail(ERROR_ACCESS_DENIED);
    }
  }
  // Owner-only at once: the umask may have left it writable by the group.
  if (result != 0 || chmod(address.sun_path, 0600) != 0) {
    const int err = errno;
    if (result == 0) unlink(address.sun_path);
    close(fd);
    return FailWithErrno(err);
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = key;
  if (epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
    const int err = errno;
    unlink(address.sun_path);
    close(fd);
    return FailWithErrno(err);
  }
  impl_->sockets[key] = fd;
  impl_->paths[key] = address.sun_path;
  return true;
}

void ZOL_NotifySet::Close(uint64_t key) {
  if (!impl_) return;
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->CloseLocked(key);
}

void ZOL_NotifySet::Wake() {
  if (!impl_) return;
  const uint64_t one = 1;
  ssize_t n = write(impl_->wake, &one, sizeof one);
  (void)n;  // a full counter already wakes
}

uint32_t ZOL_NotifySet::Wait(uint32_t ms, std::vector<uint64_t>* ready) {
  if (!impl_) return kestravo::posix::Fail(ERROR_NOT_ENOUGH_MEMORY), WAIT_FAILED;
  epoll_event events[256];
  const int timeout = ms == INFINITE ? -1 : static_cast<int>(std::min<uint32_t>(ms, INT32_MAX));
  int n = epoll_wait(impl_->epoll, events, 256, timeout);
  if (n < 0 && errno == EINTR) return 0;
  if (n < 0) return kestravo::posix::FailWithErrno(errno), WAIT_FAILED;
  if (n == 0) return WAIT_TIMEOUT;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == UINT64_MAX) {
      uint64_t count;
      ssize_t r = read(impl_->wake, &count, sizeof count);
      (void)r;
    } else {
      ready->push_back(events[i].data.u64);
    }
  }
  return 0;
}

void ZOL_NotifySet::WaitForWake(uint32_t ms) {
  if (!impl_) return;
  pollfd wake{impl_->wake, POLLIN, 0};
  // poll leaves the counter set: the next Wait sees the wake too.
  poll(&wake, 1, ms == INFINITE ? -1 : static_cast<int>(std::min<uint32_t>(ms, INT32_MAX)));
}

int ZOL_NotifySet::Receive(uint64_t key, int max, std::vector<NotifyDatagram>* out) {
  if (!impl_) return -1;
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> guard(impl.lock);
  auto it = impl.sockets.find(key);
  if (it == impl.sockets.end() || max <= 0) return 0;
  const int batch = std::min(max, Impl::kBatch);
  for (int i = 0; i < batch; ++i) {
    impl.ios[i] = iovec{impl.buffers.data() + i * (kNotifyMaxBytes + 1), kNotifyMaxBytes + 1};
    impl.headers[i] = mmsghdr{};
    msghdr& message = impl.headers[i].msg_hdr;
    message.msg_iov = &impl.ios[i];
    message.msg_iovlen = 1;
    message.msg_control = impl.controls[i];
    message.msg_controllen = Impl::kControlBytes;
  }
  int n;
  do {
    n = recvmmsg(it->second, impl.headers, static_cast<unsigned>(batch), MSG_DONTWAIT | MSG_CMSG_CLOEXEC, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : (kestravo::posix::FailWithErrno(errno), -1);
  for (int i = 0; i < n; ++i) {
    msghdr& message = impl.headers[i].msg_hdr;
    NotifyDatagram datagram;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
        ucred cred;
        memcpy(&cred, CMSG_DATA(c), sizeof cred);
        datagram.senderPid = static_cast<uint32_t>(cred.pid);
      } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
        // Descriptors nobody asked for are closed, not kept.
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t j = 0; j < count; ++j) {
          int fd;
          memcpy(&fd, CMSG_DATA(c) + j * sizeof(int), sizeof fd);
          close(fd);
        }
      }
    }
    // A datagram longer than the limit is cut (MSG_TRUNC): taken as the limit allows.
    datagram.text.assign(static_cast<const char*>(impl.ios[i].iov_base),
                         std::min<size_t>(impl.headers[i].msg_len, kNotifyMaxBytes));
    out->push_back(std::move(datagram));
  }
  return n;
}
