#include "control_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace kestravo_host {

namespace {

constexpr size_t kLongestRequest = 4096;
constexpr int kClientSeconds = 2;  // for its request, and for taking the answer
constexpr size_t kMostWaiting = 64;  // clients whose request is still coming; more are turned away
constexpr int kAcceptPauseMs = 100;  // after accept found no descriptor left
constexpr char kRefused[] =
    "{\"code\":2,\"message\":\"refused: only the host's own user and root may ask this host, and the members of its status group read it\"}";

enum class Access { kNone, kRead, kControl };

// Who the client is, by its credentials: the host's own user or root control; a member of the
// status group (its gid, or a group its user is listed in) reads.
Access PeerAccess(int fd, bool grouped, gid_t group) {
  ucred peer = {};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return Access::kNone;
  if (peer.uid == 0 || peer.uid == geteuid()) return Access::kControl;
  if (!grouped) return Access::kNone;
  if (peer.gid == group) return Access::kRead;
  passwd entry, *found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(peer.uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return Access::kNone;
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));  // count now says how many there are
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) return Access::kNone;
  }
  return std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count ? Access::kRead : Access::kNone;
}

// A group by name or number.
bool FindGroup(const std::string& name, gid_t* gid, std::string* error) {
  group entry, *found = nullptr;
  std::vector<char> buffer(16384);
  if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    *gid = entry.gr_gid;
    return true;
  }
  char* end = nullptr;
  unsigned long number = strtoul(name.c_str(), &end, 10);
  if (!name.empty() && name[0] >= '0' && name[0] <= '9' && *end == '\0' && number < 0xFFFFFFFFul) {
    *gid = static_cast<gid_t>(number);
    return true;
  }
  *error = "--status-group " + name + ": no such group";
  return false;
}

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

  bool grouped = false;  // whether a status group may read
  gid_t group = 0;

  // A client whose request line is still coming, all of it due by its deadline.
  struct Waiting {
    int fd;
    bool mayControl;
    std::string line;
    std::chrono::steady_clock::time_point due;
  };

  // Reads what the client sent. True while its line is incomplete and it may send more.
  static bool ReadMore(Waiting* client) {
    char buffer[512];
    for (;;) {
      ssize_t n = recv(client->fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
      if (n == 0) return false;
      client->line.append(buffer, static_cast<size_t>(n));
      if (client->line.find('\n') != std::string::npos || client->line.size() >= kLongestRequest) return false;
    }
  }

  // Every waiting client is read at once, so that a silent or slow one holds up no other; each
  // has kClientSeconds for its whole line. Accept pauses briefly when no descriptor is left,
  // rather than spinning on a listening socket that stays readable.
  void Run(ControlSocket* owner) {
    using Clock = std::chrono::steady_clock;
    std::vector<Waiting> waiting;
    Clock::time_point acceptFrom = Clock::now();
    for (;;) {
      const Clock::time_point now = Clock::now();
      const bool accepting = now >= acceptFrom && waiting.size() < kMostWaiting;
      std::vector<pollfd> fds = {{stop[0], POLLIN, 0}, {accepting ? fd : -1, POLLIN, 0}};
      Clock::time_point next = accepting ? Clock::time_point::max() : acceptFrom;
      for (const Waiting& client : waiting) {
        fds.push_back({client.fd, POLLIN, 0});
        next = std::min(next, client.due);
      }
      int timeout = next == Clock::time_point::max()
                        ? -1
                        : static_cast<int>(std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1));
      if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
      if (fds[0].revents != 0) break;
      if (fds[1].revents & POLLIN) {
        int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM))
          acceptFrom = Clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
        if (client >= 0) {
          Timeouts(client);
          const Access access = PeerAccess(client, grouped, group);
          if (access == Access::kNone) {
            WriteAll(client, kRefused);
            close(client);
          } else {
            waiting.push_back({client, access == Access::kControl, std::string(), Clock::now() + std::chrono::seconds(kClientSeconds)});
          }
        }
      }
      // The clients polled, in the order polled; those added since wait for the next round.
      const Clock::time_point after = Clock::now();
      std::vector<Waiting> still;
      for (size_t i = 0; i < waiting.size(); ++i) {
        Waiting& client = waiting[i];
        const bool polled = i + 2 < fds.size();
        const bool more = polled && (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) ? ReadMore(&client) : true;
        const size_t end = client.line.find('\n');
        if (end != std::string::npos && end > 0) {
          owner->Push({client.fd, client.line.substr(0, end), client.mayControl});
        } else if (end == std::string::npos && more && after < client.due && client.line.size() < kLongestRequest) {
          still.push_back(std::move(client));
        } else {
          close(client.fd);
        }
      }
      waiting.swap(still);
    }
    for (const Waiting& client : waiting) close(client.fd);
  }
};

ControlSocket::ControlSocket() = default;

ControlSocket::~ControlSocket() { Close(); }

void ControlSocket::Close() {
  listener_.reset();  // its thread ends first: nothing is pushed after this
  for (const ControlRequest& request : TakeAll()) close(static_cast<int>(request.connection));
}

bool ControlSocket::Listen(const std::string& path, const std::string& statusGroup, std::function<void()> wake,
                           std::string* error) {
  sockaddr_un address;
  if (!Address(path, &address, error)) return false;
  auto listener = std::make_unique<Listener>();
  listener->grouped = !statusGroup.empty();
  if (listener->grouped && !FindGroup(statusGroup, &listener->group, error)) return false;
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
  // Made with the umask's mode: the peer is checked as well, but no one else need connect. The
  // status group may pass through the directory (not list it) to the socket; every other file
  // there is owner-only.
  const std::string dir = path.substr(0, std::max<size_t>(path.rfind('/'), 1));
  struct stat dirStat = {};
  if (listener->grouped && (stat(dir.c_str(), &dirStat) != 0 || (dirStat.st_mode & S_ISVTX))) {
    *error = dir + ": a directory others share is not opened to a group; give a --state-dir of the host's own";
    unlink(path.c_str());
    listener->path.clear();
    return false;
  }
  const bool shared = !listener->grouped || (chown(dir.c_str(), static_cast<uid_t>(-1), listener->group) == 0 && chmod(dir.c_str(), 0710) == 0 &&
                                             chown(path.c_str(), static_cast<uid_t>(-1), listener->group) == 0);
  if (!shared || chmod(path.c_str(), listener->grouped ? 0660 : 0600) != 0 || lstat(path.c_str(), &st) != 0 ||
      listen(listener->fd, 16) != 0) {
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

void ControlSocket::Answer(const ControlRequest& request, const std::string& text) {
  WriteAll(static_cast<int>(request.connection), text);
  close(static_cast<int>(request.connection));
}

bool ControlExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

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
    *error = path + ": " + strerror(why) + (why == EACCES ? " (the host's own user and root may ask it, and the members of its status group read it)" : "");
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
  // A refusal may come before the request is taken: read what came even when sending failed.
  WriteAll(fd, request + "\n");
  char buffer[4096];
  for (ssize_t n; ((n = recv(fd, buffer, sizeof buffer, 0)) > 0 || (n < 0 && errno == EINTR));) {
    if (n > 0) answer->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (answer->empty()) *error = "the host ended before it answered";
  return answer->empty() ? Asked::kFailed : Asked::kAnswered;
}

}  // namespace kestravo_host
