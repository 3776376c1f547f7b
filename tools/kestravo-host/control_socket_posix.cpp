#include "control_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

namespace kestravo_host {

namespace {

constexpr size_t kLongestRequest = 4096;
constexpr int kClientSeconds = 2;  // for its request, and for taking the answer
constexpr char kRefused[] = "{\"code\":2,\"message\":\"refused: only the host's own user and root may control it\"}";

bool Address(const std::string& path, sockaddr_un* address, std::string* error) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) {
    *error = path + ": the path is too long for a socket (at most " + std::to_string(sizeof address->sun_path - 1) + " bytes)";
    return false;
  }
  memcpy(address->sun_path, path.c_str(), path.size());
  return true;
}

void Timeouts(int fd) {
  timeval limit = {kClientSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool WriteAll(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

struct ControlSocket::Listener {
  int fd = -1;
  int stop[2] = {-1, -1};  // a pipe: written to end the thread
  std::string path;
  ino_t inode = 0;  // of the socket file made, so that only it is removed
  std::thread thread;

  ~Listener() {
    if (thread.joinable()) {
      char one = 1;
      if (write(stop[1], &one, 1) < 0) {
        // A full pipe wakes the thread as well.
      }
      thread.join();
    }
    struct stat st;
    if (!path.empty() && lstat(path.c_str(), &st) == 0 && st.st_ino == inode) unlink(path.c_str());
    for (int f : {fd, stop[0], stop[1]}) {
      if (f >= 0) close(f);
    }
  }

  // One request line, or empty when the client sent none in time.
  static std::string ReadLine(int client) {
    std::string line;
    char buffer[512];
    while (line.find('\n') == std::string::npos && line.size() < kLongestRequest) {
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      line.append(buffer, static_cast<size_t>(n));
    }
    size_t end = line.find('\n');
    return end == std::string::npos ? "" : line.substr(0, end);
  }

  void Run(ControlSocket* owner) {
    for (;;) {
      pollfd fds[] = {{fd, POLLIN, 0}, {stop[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
      if (!(fds[0].revents & POLLIN)) continue;
      int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      Timeouts(client);
      ucred peer = {};
      socklen_t size = sizeof peer;
      if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || (peer.uid != geteuid() && peer.uid != 0)) {
        WriteAll(client, kRefused);
        close(client);
        continue;
      }
      std::string line = ReadLine(client);
      if (line.empty()) {
        close(client);
        continue;
      }
      owner->Push({client, line});
    }
  }
};

ControlSocket::ControlSocket() = default;

ControlSocket::~ControlSocket() { Close(); }

void ControlSocket::Close() {
  listener_.reset();  // its thread ends first: nothing is pushed after this
  for (const ControlRequest& request : TakeAll()) close(static_cast<int>(request.connection));
}

bool ControlSocket::Listen(const std::string& path, std::function<void()> wake, std::string* error) {
  sockaddr_un address;
  if (!Address(path, &address, error)) return false;
  auto listener = std::make_unique<Listener>();
  // The caller holds the state file's lock, so no other host runs here: whatever has the name (a
  // socket a host left, or one that a squatter answers on) is not a host's, and is replaced.
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      *error = path + " is a directory: not replaced";
      return false;
    }
    if (unlink(path.c_str()) != 0) {
      *error = "cannot replace " + path + ": " + strerror(errno);
      return false;
    }
  }
  listener->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener->fd < 0 || pipe2(listener->stop, O_CLOEXEC) != 0 ||
      bind(listener->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  listener->path = path;
  // Made with the umask's mode: the peer's uid is checked as well, but no one else need connect.
  if (chmod(path.c_str(), 0600) != 0 || lstat(path.c_str(), &st) != 0 || listen(listener->fd, 16) != 0) {
    *error = path + ": " + strerror(errno);
    unlink(path.c_str());
    listener->path.clear();
    return false;
  }
  listener->inode = st.st_ino;
  wake_ = std::move(wake);
  listener->thread = std::thread(&Listener::Run, listener.get(), this);
  listener_ = std::move(listener);
  return true;
}

void ControlSocket::Push(ControlRequest request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
  }
  wake_();
}

std::deque<ControlRequest> ControlSocket::TakeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<ControlRequest> taken;
  taken.swap(requests_);
  return taken;
}

void ControlSocket::Answer(const ControlRequest& request, const std::string& text) {
  WriteAll(static_cast<int>(request.connection), text);
  close(static_cast<int>(request.connection));
}

Asked AskHost(const std::string& path, const std::string& request, std::string* answer, std::string* error) {
  sockaddr_un address;
  if (!Address(path, &address, error)) return Asked::kFailed;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = strerror(errno);
    return Asked::kFailed;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int why = errno;
    close(fd);
    if (why == ENOENT || why == ECONNREFUSED) return Asked::kNoHost;
    *error = path + ": " + strerror(why);
    return Asked::kFailed;
  }
  // Only a host of this user or root is believed: in a directory others can reach, another user
  // may listen under the name and answer "stopped" for a program that runs on.
  ucred peer = {};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || (peer.uid != 0 && peer.uid != geteuid())) {
    *error = "the process that answers at " + path + " runs as uid " + std::to_string(peer.uid) +
             ", neither root nor this user: it is not asked";
    close(fd);
    return Asked::kFailed;
  }
  // The answer may take as long as the stops it asks for: no time limit on it.
  bool sent = WriteAll(fd, request + "\n");
  char buffer[4096];
  for (ssize_t n; sent && ((n = recv(fd, buffer, sizeof buffer, 0)) > 0 || (n < 0 && errno == EINTR));) {
    if (n > 0) answer->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (answer->empty()) *error = "the host ended before it answered";
  return answer->empty() ? Asked::kFailed : Asked::kAnswered;
}

}  // namespace kestravo_host
