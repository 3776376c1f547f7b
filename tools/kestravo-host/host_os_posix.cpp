#include "host_os.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "common/signal_names.h"
#include "own_file.h"

namespace kestravo_host {

namespace {
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kStopSignals) sigaddset(&set, s);
  return set;
}
}  // namespace

std::string WhyCannotRunAs(const std::string& user, const std::string& group) {
  if (geteuid() != 0) return "needs the host to run as root";
  // As kestravo-run takes them: a name, else a number.
  auto number = [](const std::string& text, unsigned* value) {
    char* end = nullptr;
    *value = static_cast<unsigned>(strtoul(text.c_str(), &end, 10));
    return !text.empty() && text[0] != '-' && *end == '\0';
  };
  unsigned id = 0;
  if (!user.empty() && getpwnam(user.c_str()) == nullptr && !(number(user, &id) && getpwuid(id) != nullptr))
    return "no such user";
  if (!group.empty() && getgrnam(group.c_str()) == nullptr && !(number(group, &id) && getgrgid(id) != nullptr))
    return "no such group";
  return "";
}

std::string ExecutableDir() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  std::string path(self, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string InDirectory(const std::string& dir, const std::string& name) { return dir + "/" + name; }

std::string BesideExecutable(const std::string& name) { return InDirectory(ExecutableDir(), name); }

const char* AdapterFileName() { return "kestravo-run"; }

bool IsAdapter(const std::string& exePath) {
  size_t slash = exePath.rfind('/');
  return exePath.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, "kestravo-run") == 0;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string WhyConfigNotTrusted(const std::string& path, bool* exists) {
  struct stat st;
  *exists = lstat(path.c_str(), &st) == 0;
  if (!*exists) return "";
  return S_ISLNK(st.st_mode)                          ? "it is a symbolic link"
         : !S_ISREG(st.st_mode)                       ? "not a regular file"
         : st.st_uid != 0 && st.st_uid != geteuid()   ? "owned by uid " + std::to_string(st.st_uid) + ", neither root nor the host's user"
         : (st.st_mode & (S_IWGRP | S_IWOTH)) != 0    ? "other users may write it"
                                                      : "";
}

bool DirectoryWritable(const std::string& dir) { return access(dir.c_str(), W_OK | X_OK) == 0; }

void SetEnv(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

bool StderrIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  struct stat status;
  return stream != nullptr && sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(STDERR_FILENO, &status) == 0 &&
         status.st_dev == device && status.st_ino == inode;
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void LocalTime(time_t seconds, struct tm* local) { localtime_r(&seconds, local); }

void* OpenSharedLibrary(const std::string& path, std::string* error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    *error = why ? why : "not found";
  }
  return library;
}

void* SharedLibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

std::string SharedLibraryFile(void*, void* address) {
  Dl_info info;
  return dladdr(address, &info) != 0 && info.dli_fname ? info.dli_fname : "";
}

bool RunInPrivateDir(const std::function<void(const std::string& dir)>& body, const char* file,
                     bool* back) {
  const char* tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestravo-host.XXXXXX";
  int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (here < 0 || mkdtemp(&dir[0]) == nullptr) {
    if (here >= 0) close(here);
    return false;
  }
  bool entered = chdir(dir.c_str()) == 0;
  if (entered) body(dir);
  *back = !entered || fchdir(here) == 0;
  close(here);
  unlink((dir + "/" + file).c_str());
  rmdir(dir.c_str());
  return entered;
}

const char* StopRequestsText() { return "Ctrl-C, SIGTERM"; }

const char* AdapterStopText() { return "SIGTERM"; }

std::string AdapterStopText(const std::string& stopSignal) {
  if (stopSignal.empty()) return AdapterStopText();
  if (stopSignal == "none") return "its stop event";
  if (stopSignal[0] >= '0' && stopSignal[0] <= '9') return kestravo::SignalText(atoi(stopSignal.c_str()));
  return "SIG" + stopSignal;
}

namespace {
// The uid of a user named as kestravo-run takes it (a name, else a number); -1 for none.
int64_t UserId(const std::string& user) {
  if (user.empty()) return -1;
  const passwd* pw = getpwnam(user.c_str());
  char* end = nullptr;
  unsigned long number = strtoul(user.c_str(), &end, 10);
  if (pw == nullptr && user[0] != '-' && *end == '\0') pw = getpwuid(static_cast<uid_t>(number));
  return pw != nullptr ? static_cast<int64_t>(pw->pw_uid) : -1;
}
}  // namespace

bool PrepareOwnFile(const std::string& path, std::string* error, const std::string& user) {
  uint64_t size = 0;
  int fd = kestravo_tools::OpenOwnFileForAppend(path, &size, error, UserId(user));
  if (fd >= 0) close(fd);
  return fd >= 0;
}

bool WritePrivateFile(const std::string& path, const std::string& text, std::string* error) {
  const std::string temp = path + "." + std::to_string(getpid()) + ".tmp";
  unlink(temp.c_str());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  for (size_t at = 0; ok && at < text.size();) {
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) at += static_cast<size_t>(n);
  }
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = strerror(errno);
    unlink(temp.c_str());
  }
  return ok;
}

bool ReadOwnFile(const std::string& path, uint64_t from, size_t max, std::string* text, uint64_t* size,
                 std::string* error, const std::string& user, std::string* id) {
  text->clear();
  *size = 0;
  int fd = kestravo_tools::OpenOwnFileForReading(path, error, UserId(user));
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok) *size = static_cast<uint64_t>(st.st_size);
  if (ok && id != nullptr) *id = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  char buffer[16384];
  while (ok && text->size() < max) {
    ssize_t n = pread(fd, buffer, std::min(sizeof buffer, max - text->size()), static_cast<off_t>(from + text->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
  if (!ok) *error = strerror(errno);
  close(fd);
  return ok;
}

std::string SystemStateDir() { return "/var/lib/kestravo"; }

int64_t AdaptedProgramPid(uint32_t adapterPid) {
  // The adapter forks once; its threads may be several, each with a children list of its own.
  const std::string task = "/proc/" + std::to_string(adapterPid) + "/task";
  DIR* dir = opendir(task.c_str());
  if (dir == nullptr) return -1;
  int64_t found = -1;
  int count = 0;
  for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
    if (entry->d_name[0] == '.') continue;
    FILE* file = fopen((task + "/" + entry->d_name + "/children").c_str(), "re");
    for (long long pid; file != nullptr && fscanf(file, "%lld", &pid) == 1; ++count) found = pid;
    if (file != nullptr) fclose(file);
  }
  closedir(dir);
  return count == 1 ? found : -1;
}

std::string TakeServiceNotifySocket() {
  const char* path = getenv("NOTIFY_SOCKET");
  std::string taken = path != nullptr ? path : "";
  unsetenv("NOTIFY_SOCKET");
  return taken;
}

// The few lines of the notify protocol, rather than libsystemd: one datagram to a path, or to an
// abstract name for a leading '@', and no library to load on systems without systemd.
bool NotifyServiceManager(const std::string& socketPath, const std::string& text, std::string* error) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || (socketPath[0] != '/' && socketPath[0] != '@') || socketPath.size() >= sizeof address.sun_path) {
    *error = "NOTIFY_SOCKET is not a socket's path: " + socketPath;
    return false;
  }
  memcpy(address.sun_path, socketPath.data(), socketPath.size());
  if (socketPath[0] == '@') address.sun_path[0] = '\0';
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool sent = fd >= 0 && sendto(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address), length) ==
                             static_cast<ssize_t>(text.size());
  if (!sent) *error = std::string("cannot send to ") + socketPath + ": " + strerror(errno);
  if (fd >= 0) close(fd);
  return sent;
}

bool SendSignal(int64_t pid, int signal, std::string* error) {
  if (pid <= 0 || kill(static_cast<pid_t>(pid), signal) != 0) {
    *error = pid <= 0 ? "no pid" : strerror(errno);
    return false;
  }
  return true;
}

std::string DefaultStateDir() {
  if (geteuid() == 0) return "/var/lib/kestravo";
  const char* xdg = getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/kestravo";  // a relative one is to be ignored
  const char* home = getenv("HOME");
  std::string dir = home != nullptr && home[0] == '/' ? home : "";
  if (dir.empty()) {
    const passwd* entry = getpwuid(geteuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') return "";
    dir = entry->pw_dir;
  }
  return dir + "/.local/state/kestravo";
}

const char* DefaultStateDirText() {
  return "/var/lib/kestravo as root, else $XDG_STATE_HOME/kestravo\n"
         "                      or ~/.local/state/kestravo";
}

bool UseStateDir(const std::string& dir, bool create, std::string* error) {
  struct stat st;
  if (create && stat(dir.c_str(), &st) != 0) {
    // Each missing directory on the way owner-only, as ~/.local/state should be.
    for (size_t slash = dir.find('/', 1); ; slash = dir.find('/', slash + 1)) {
      std::string part = dir.substr(0, slash);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot be made: " + part + ": " + strerror(errno);
        return false;
      }
      if (slash == std::string::npos) break;
    }
  }
  const char* why = stat(dir.c_str(), &st) != 0               ? strerror(errno)
                    : !S_ISDIR(st.st_mode)                    ? "not a directory"
                    : access(dir.c_str(), W_OK | X_OK) != 0   ? strerror(errno)
                    : st.st_uid != geteuid() && st.st_uid != 0
                        ? "it belongs to another user, who could plant files in it"
                    : (st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)
                        ? "other users may write it, and so replace the state file or the log"
                        : nullptr;
  if (why != nullptr) *error = why;
  return why == nullptr;
}

void CatchStopRequests() {
  // Blocked before any thread exists, so that every thread inherits the mask and only the main
  // thread takes them (children start with an empty mask). A closed output must not end the host.
  sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

Wake::Wake() : woken_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  sigset_t stop = StopSignals();
  stopped_ = signalfd(-1, &stop, SFD_CLOEXEC);
}

Wake::~Wake() {
  if (woken_ >= 0) close(static_cast<int>(woken_));
  if (stopped_ >= 0) close(static_cast<int>(stopped_));
}

void Wake::Set() {
  uint64_t one = 1;
  if (woken_ >= 0 && write(static_cast<int>(woken_), &one, sizeof one) < 0) {
    // The counter is full, so the main thread is woken anyway.
  }
}

std::string Wake::Wait(int ms) {
  pollfd fds[] = {{static_cast<int>(stopped_), POLLIN, 0}, {static_cast<int>(woken_), POLLIN, 0}};
  if (poll(fds, 2, ms) <= 0) return "";
  if (fds[1].revents & POLLIN) {
    uint64_t count;
    if (read(static_cast<int>(woken_), &count, sizeof count) < 0) {
      // Taken by an earlier read.
    }
  }
  if (!(fds[0].revents & POLLIN)) return "";
  signalfd_siginfo info;
  int signal = read(static_cast<int>(stopped_), &info, sizeof info) == sizeof info ? static_cast<int>(info.ssi_signo) : 0;
  return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
}

}  // namespace kestravo_host
