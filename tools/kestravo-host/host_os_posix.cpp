#include "host_os.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

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
  if (stopSignal[0] >= '0' && stopSignal[0] <= '9') return SignalName(atoi(stopSignal.c_str()));
  return "SIG" + stopSignal;
}

std::string SignalName(int signal) {
  const char* name = sigabbrev_np(signal);
  return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(signal);
}

bool PrepareOutputFile(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st;
  if (fd < 0) {
    int err = errno;
    *error = err == ELOOP && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)
                 ? "it is a symbolic link, which is never followed"
                 : strerror(err);
    return false;
  }
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  if (!regular) *error = "not a regular file";
  return regular;
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
