// kestravo-run on Linux: the program runs in this process's own process group, the group the
// supervising library ends when it ends this process, so that the program's own children end
// with it even where the library has no cgroups; a parent-death signal ends the program should
// this process be killed alone. Signals and the stop event reach the group from the main thread,
// which alone also reaps the program.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "child/stop_event_relay.h"
#include "common/exit_text.h"
#include "common/signal_names.h"
#include "kestravo_child.h"
#include "program_limits.h"
#include "notify_socket_posix.h"
#include "platform/posix/inherited_event.h"
#include "run_program.h"
#include "path_search.h"

extern char** environ;

namespace kestravo_run {

namespace {

constexpr int kForwarded[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2};

OutputFile g_output;  // the program's output file, when there is one

// Who the program runs as, resolved by PrepareUser before the fork: the child only makes the calls.
struct Credentials {
  bool change = false;
  std::string shown;  // "USER", ":GROUP" or "USER:GROUP", for messages
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  // With a user: where the program starts when given no directory, since ours (a root-only state
  // directory) is out of its reach. Its home, else "/".
  std::string home;
} g_credentials;

// What the child reports through its pipe when it cannot become the program.
struct StartFailure {
  int credentials;  // 1: it could not take the user or group; 2: could not change to the directory
  int err;
};

// A name, or a number that names no entry, as chpst and the like take it.
bool NumberOf(const std::string& text, unsigned* value) {
  char* end = nullptr;
  unsigned long number = strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || text[0] == '-' || number >= 0xFFFFFFFFul) return false;
  *value = static_cast<unsigned>(number);
  return true;
}

// The adapter's own line: to standard error, and stamped into the output file.
void Say(const std::string& text) {
  fprintf(stderr, "kestravo-run: %s\n", text.c_str());
  g_output.Note(text);
}

[[noreturn]] void Fail(const char* what, int err, int code) {
  Say(std::string(what) + ": " + strerror(err));
  _exit(code);
}

uint64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// Moves what the program wrote to the file. False once no writer is left.
bool Pass(int from) {
  static char buffer[64 * 1024];
  for (int chunk = 0; chunk < 16; ++chunk) {
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN;
    if (n == 0) return false;
    g_output.Write(buffer, static_cast<size_t>(n));
  }
  return true;
}

// Ends this process as the program ended. _exit, not exit: the stop waiter may still be blocked
// inside the helper library, whose objects exit() would destroy under it.
[[noreturn]] void EndLike(int status) {
  fflush(stdout);
  fflush(stderr);
  if (WIFSIGNALED(status)) {
    int signal = WTERMSIG(status);
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // the core, if any, was the program's to write
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(signal, &dfl, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
    _exit(128 + signal);
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

// Waits for the stop event and passes it on: it sets the event again for a program that waits
// on it itself (the wait that took it may have reset it), then wakes the main thread.
void WaitForStop(void* event, int wake) {
  if (KESTRAVO_ChildWaitStop(event, 0xFFFFFFFFu) != 0) return;
  kestravo::child::SetStopEventAgain(event);
  uint64_t one = 1;
  if (write(wake, &one, sizeof one) < 0) {
    // Cannot fail for an eventfd far from its limit.
  }
}

// To the group, so that a script's own children hear it too (this process takes its own copy
// from the signalfd and lets it go); to the program too when it has left the group, and to the
// whole of the program's own group when it leads one (run as another user, in a session of its
// own). Called while the program, not yet reaped, holds its number.
void SignalProgram(pid_t pid, int signal) {
  if (g_credentials.change) kill(-pid, signal);
  kill(0, signal);
  if (getpgid(pid) != getpgrp()) kill(pid, signal);
}

// Kills what is left of this process's group but this process, and of the program's own group
// (0: none): the program's children that outlived it. Those ids are this process's pid and that
// of the program, ended but not yet reaped, so no other group bears them meanwhile; each member is
// signalled through a pidfd, and only when the process it pins is seen in the group while it still
// holds its pid.
void EndRestOfGroup(pid_t programGroup) {
  const pid_t self = getpid();
  for (int round = 0; round < 50; ++round) {
    bool any = false;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
      pid_t pid = atoi(entry->d_name);
      int pidfd = pid > 0 && pid != self ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
      if (pidfd < 0) continue;
      char path[64], stat[512] = {};
      snprintf(path, sizeof path, "/proc/%d/stat", pid);
      int fd = open(path, O_RDONLY | O_CLOEXEC);
      ssize_t n = fd >= 0 ? read(fd, stat, sizeof stat - 1) : -1;
      if (fd >= 0) close(fd);
      // pid (comm) state ppid pgrp: comm may hold anything, so read after its last ')'.
      const char* rest = n > 0 ? strrchr(stat, ')') : nullptr;
      char state = 0;
      int ppid = 0, pgrp = 0;
      if (rest != nullptr && sscanf(rest + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
          (pgrp == self || (programGroup != 0 && pgrp == programGroup)) &&
          state != 'Z' && syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0) {
        syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        any = true;
      }
      close(pidfd);
    }
    if (proc != nullptr) closedir(proc);
    if (!any) return;
    usleep(1000);  // those signalled a moment ago, still dying, come round once more
  }
}

// Reaps what this process adopted as their subreaper: the program's descendants whose parents
// ended. True once the program itself has ended (left unreaped).
bool ProgramEnded(pid_t program) {
  for (;;) {
    siginfo_t ended = {};
    if (waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid == 0) return false;
    if (ended.si_pid == program) return true;
    waitpid(ended.si_pid, nullptr, WNOHANG);
  }
}

// Reads what the program wrote to its ready descriptor: true once a line has ended there. Closes
// the pipe (and sets *fd to -1) when no writer is left.
bool ReadReadyLine(int* fd) {
  char buffer[4096];
  bool line = false;
  for (int chunk = 0; chunk < 16; ++chunk) {
    ssize_t n = read(*fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno != EAGAIN)) {
      close(*fd);
      *fd = -1;
    }
    if (n <= 0) break;
    line = line || memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr;
  }
  return line;
}

// Writes the number in decimal at `to`, which has room for it: in the child, between fork and
// exec, where no printf may run.
void WriteNumber(char* to, unsigned long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *to++ = digits[--n];
  *to = '\0';
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

const char* OutputUsage() {
  return "--output FILE appends PROGRAM's standard output and error to FILE, and so do the\n"
         "adapter's own messages (cannot run, signals passed on, how PROGRAM ended), with a time\n"
         "stamp. FILE is created readable and writable by its owner only (USER and GROUP when\n"
         "given) and never opened\n"
         "through a symbolic link. Once it would pass SIZE (default 10M; K, M and G suffixes;\n"
         "0: never) it becomes FILE.1, FILE.1 becomes FILE.2 and so on, and N old files are kept\n"
         "(default 5; 0 keeps none). Exit code 125 when FILE cannot be used.\n";
}

const char* StopUsage() {
  return "The stop event becomes SIGNAL (default TERM; 'none' passes on only the\n"
         "event); SIGTERM, SIGINT, SIGHUP, SIGUSR1 and SIGUSR2 are passed on. It ends as PROGRAM ends,\n"
         "with its exit status; PROGRAM, and what it starts in its process group, die with it.\n";
}

int DefaultStopSignal() { return SIGTERM; }

void SetEnvironment(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

void UnsetEnvironment(const char* name) { unsetenv(name); }

bool PrepareUser(const std::string& user, const std::string& groupName, std::string* error) {
  Credentials& c = g_credentials;
  c.shown = user + (groupName.empty() ? "" : ":" + groupName);
  c.uid = getuid();
  c.gid = getgid();
  unsigned number = 0;
  const passwd* pw = nullptr;
  if (!user.empty()) {
    errno = 0;
    pw = getpwnam(user.c_str());
    if (pw == nullptr && NumberOf(user, &number)) pw = getpwuid(number);
    if (pw == nullptr) {
      *error = "no user " + user + (errno != 0 ? std::string(": ") + strerror(errno) : "");
      return false;
    }
    c.uid = pw->pw_uid;
    c.gid = pw->pw_gid;
  }
  const std::string name = pw != nullptr ? pw->pw_name : "", home = pw != nullptr ? pw->pw_dir : "";
  const std::string shell = pw != nullptr && pw->pw_shell != nullptr && pw->pw_shell[0] != '\0' ? pw->pw_shell : "/bin/sh";
  if (!groupName.empty()) {
    errno = 0;
    const struct group* gr = getgrnam(groupName.c_str());
    if (gr == nullptr && NumberOf(groupName, &number)) gr = getgrgid(number);
    if (gr == nullptr) {
      *error = "no group " + groupName + (errno != 0 ? std::string(": ") + strerror(errno) : "");
      return false;
    }
    c.gid = gr->gr_gid;
  }
  if (geteuid() != 0) {
    *error = "only root can run a program as another user or group (" + c.shown + ")";
    return false;
  }
  c.groups.assign(1, c.gid);
  if (pw != nullptr) {
    int count = 64;
    std::vector<gid_t> found(static_cast<size_t>(count));
    while (getgrouplist(name.c_str(), c.gid, found.data(), &count) < 0) found.resize(static_cast<size_t>(count) + 16);
    found.resize(static_cast<size_t>(count));
    c.groups = found;
    c.home = home.empty() ? "/" : home;
    setenv("HOME", home.c_str(), 1);
    setenv("USER", name.c_str(), 1);
    setenv("LOGNAME", name.c_str(), 1);
    setenv("SHELL", shell.c_str(), 1);
    // Ours, not the user's: root's runtime directory and session bus, and files under our home.
    for (const char* ours : {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                             "DBUS_SESSION_BUS_ADDRESS", "MAIL"})
      unsetenv(ours);
  }
  c.change = true;
  file::SetOwner(c.uid, c.gid);  // the program's output is its user's to read
  return true;
}

void RunProgram(const RunRequest& request) {
  // Blocked before any thread exists, so that only signalfd below takes them.
  sigset_t taken;
  sigemptyset(&taken);
  for (int s : kForwarded) sigaddset(&taken, s);
  sigaddset(&taken, SIGCHLD);
  // The stop signal reaches this process too, as a member of the group it is sent to.
  if (request.stopSignal != 0 && request.stopSignal != SIGKILL && request.stopSignal != SIGSTOP)
    sigaddset(&taken, request.stopSignal);
  pthread_sigmask(SIG_BLOCK, &taken, nullptr);
  // Leading a group of its own (as it does when the library starts it), it is the group that the
  // program joins; the library ends it.
  if (getpgrp() != getpid() && setpgid(0, 0) != 0) Fail("cannot make a process group", errno, 126);
  int signals = signalfd(-1, &taken, SFD_CLOEXEC);
  int wake = eventfd(0, EFD_CLOEXEC);
  int report[2], output[2] = {-1, -1};
  if (signals < 0 || wake < 0 || pipe2(report, O_CLOEXEC) != 0) Fail("cannot start", errno, 126);
  // The ready descriptor's number is taken first, so that nothing opened below lands on it; the
  // child puts the pipe there.
  const NotifyOptions& notify = request.notify;
  if (notify.readyFd >= 0) {
    int held = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (held < 0 || (held != notify.readyFd && dup3(held, notify.readyFd, O_CLOEXEC) < 0))
      Fail(("cannot give the program descriptor " + std::to_string(notify.readyFd)).c_str(), errno, 125);
    if (held != notify.readyFd) close(held);
  }
  if (!request.output.path.empty()) {
    std::string why;
    if (!g_output.Open(request.output, &why)) {
      fprintf(stderr, "kestravo-run: cannot use the output file %s: %s\n", request.output.path.c_str(), why.c_str());
      _exit(125);
    }
    if (pipe2(output, O_CLOEXEC) != 0) Fail("cannot start", errno, 126);
    // A roomier pipe lets a burst of output wait for the disk without holding up the program.
    fcntl(output[0], F_SETPIPE_SZ, 1024 * 1024);
  }

  // Opened first, while the supervisor that made it surely holds it too: an event that no
  // process holds counts as left over by a crash. The child closes it when it execs, and until
  // then shares this process's lock on it.
  void* event = nullptr;
  if (!request.guid.empty() && (request.stopSignal != 0 || g_credentials.change))
    event = kestravo::child::OpenStopEventToPassOn(request.guid.c_str());
  // The event is owner-only: a program run as another user gets it as a descriptor opened here,
  // before the switch, which the child helper takes up (posix/inherited_event.h).
  unsetenv(kestravo::posix::kStopEventFdVariable);
  if (event != nullptr && g_credentials.change) {
    int inherited = kestravo::posix::InheritableEventDescriptor(event);
    if (inherited >= 0) setenv(kestravo::posix::kStopEventFdVariable, std::to_string(inherited).c_str(), 1);
  }

  // The settings reach the supervisor before the program starts.
  NotifyBridge bridge(request.guid, Say);
  const std::string settings = SettingsText(notify);
  if (!settings.empty()) bridge.Send(settings);
  NotifySocket socket;
  int ready[2] = {-1, -1};
  std::string why;
  if (notify.notify) {
    if (!socket.Open(&why)) {
      Say(why);
      _exit(125);
    }
    // Descendants whose parents end stay in this process's tree, where their messages are taken.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) Fail("cannot keep the program's descendants", errno, 125);
    setenv("NOTIFY_SOCKET", socket.Address().c_str(), 1);
    // Whatever watchdog this process was given is not the program's.
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    if (notify.watchdogMs != 0) setenv("WATCHDOG_USEC", std::to_string(notify.watchdogMs * 1000).c_str(), 1);
  }
  if (notify.readyFd >= 0 && (pipe2(ready, O_CLOEXEC) != 0 || fcntl(ready[0], F_SETFL, O_NONBLOCK) != 0))
    Fail("cannot start", errno, 126);

  // Everything the child needs is made before fork: between fork and exec only async-signal-safe
  // calls. WATCHDOG_PID is the program's pid, which its process writes in.
  char watchdogPid[40] = "WATCHDOG_PID=";
  const size_t pidAt = strlen(watchdogPid);
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  if (notify.notify && notify.watchdogMs != 0) envp.push_back(watchdogPid);
  envp.push_back(nullptr);
  std::string path = kestravo_tools::FindProgram(request.argv[0]);
  std::vector<char*> argv;
  for (const std::string& arg : request.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  sigset_t none;
  sigemptyset(&none);
  pid_t self = getpid();

  pid_t pid = fork();
  if (pid < 0) Fail("cannot start the program", errno, 126);
  if (pid == 0) {
    const Credentials& c = g_credentials;
    StartFailure failure = {1, 0};
    // Groups before the user, which may no longer change them; the parent-death signal after,
    // since a change of credentials clears it. A program run as another user gets a session of
    // its own, so that a terminal of ours is not its controlling terminal (TIOCSTI could type
    // into our shell); the directory is entered with its rights only.
    // The out-of-memory score first: another user's process may no longer write its /proc files.
    if (!RestoreForProgram()) {
      failure = {0, errno};
    } else if (c.change && (setgroups(c.groups.size(), c.groups.data()) != 0 || setgid(c.gid) != 0 || setuid(c.uid) != 0 ||
                     setsid() < 0)) {
      failure.err = errno;
    } else if (!request.directory.empty() && chdir(request.directory.c_str()) != 0) {
      failure = {2, errno};
    } else if (request.directory.empty() && !c.home.empty() && chdir(c.home.c_str()) != 0 && chdir("/") != 0) {
      failure = {2, errno};
    } else {
      // Dies with this process; if that has happened already, getppid() has changed.
      if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != self) _exit(126);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      if (output[1] >= 0 && (dup2(output[1], STDOUT_FILENO) < 0 || dup2(output[1], STDERR_FILENO) < 0)) _exit(126);
      // The number was held for it, so the pipe is never there already; dup2 leaves it open on exec.
      if (ready[1] >= 0 && dup2(ready[1], notify.readyFd) < 0) _exit(126);
      WriteNumber(watchdogPid + pidAt, static_cast<unsigned long>(getpid()));
      execve(path.c_str(), argv.data(), envp.data());
      failure = {0, errno};
    }
    if (write(report[1], &failure, sizeof failure) < 0) {
      // The parent sees the early exit all the same.
    }
    _exit(failure.credentials ? 125 : failure.err == ENOENT ? 127 : 126);
  }
  uint64_t startedMs = NowMs();
  close(report[1]);
  if (ready[1] >= 0) {
    close(ready[1]);
    close(notify.readyFd);  // held for the child, which has it now
  }
  if (output[1] >= 0) {
    close(output[1]);
    fcntl(output[0], F_SETFL, O_NONBLOCK);
  }
  StartFailure failure = {};
  ssize_t n;
  while ((n = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n == sizeof failure) {
    waitpid(pid, nullptr, 0);
    if (failure.credentials == 2) {
      Say("cannot change to the directory " + (request.directory.empty() ? std::string("/") : request.directory) + ": " +
          strerror(failure.err));
      _exit(125);
    }
    if (failure.credentials) {
      Say("cannot run " + path + " as " + g_credentials.shown + ": " + strerror(failure.err));
      _exit(125);
    }
    Say("cannot run " + path + ": " + strerror(failure.err));
    _exit(failure.err == ENOENT ? 127 : 126);
  }

  if (event != nullptr && request.stopSignal != 0) std::thread(WaitForStop, event, wake).detach();

  for (;;) {
    // Ready after a time, and a READY=1 that the channel could not take yet, wake the loop.
    int timeout = -1;
    if (!bridge.IsReady() && notify.readyAfterMs != 0) {
      uint64_t at = startedMs + notify.readyAfterMs, now = NowMs();
      timeout = at > now ? static_cast<int>(std::min<uint64_t>(at - now, 60000)) : 0;
    }
    if (bridge.Pending()) timeout = timeout < 0 ? 100 : std::min(timeout, 100);
    pollfd fds[] = {{signals, POLLIN, 0}, {wake, POLLIN, 0}, {socket.Descriptor(), POLLIN, 0}, {ready[0], POLLIN, 0},
                    {output[0], POLLIN, 0}};
    if (poll(fds, 5, timeout) < 0) continue;
    if (fds[2].revents & POLLIN) socket.Drain(&bridge, Say);
    if (ready[0] >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) && ReadReadyLine(&ready[0])) bridge.TakeReady();
    if (!bridge.IsReady() && notify.readyAfterMs != 0 && NowMs() - startedMs >= notify.readyAfterMs) {
      // Only while it still runs: an end waiting to be reaped is no readiness.
      siginfo_t ended = {};
      if (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == 0)
        bridge.TakeReady();
    }
    bridge.Flush();
    if (output[0] >= 0 && (fds[4].revents & (POLLIN | POLLHUP | POLLERR)) && !Pass(output[0])) {
      close(output[0]);
      output[0] = -1;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      if (read(wake, &count, sizeof count) == sizeof count) {
        g_output.Note("stop event: sending " + kestravo::SignalText(request.stopSignal) + " to the program");
        SignalProgram(pid, request.stopSignal);
      }
    }
    if (!(fds[0].revents & POLLIN)) continue;
    signalfd_siginfo info;
    if (read(signals, &info, sizeof info) != sizeof info) continue;
    if (info.ssi_signo != SIGCHLD) {
      // Not its own copy of what it sent the group, nor one that the terminal sent the whole
      // group (the program has it already).
      bool own = info.ssi_code == SI_USER && info.ssi_pid == static_cast<uint32_t>(getpid());
      if (!own && (info.ssi_code != SI_KERNEL || g_credentials.change)) {
        g_output.Note("passing " + kestravo::SignalText(static_cast<int>(info.ssi_signo)) + " on to the program");
        SignalProgram(pid, static_cast<int>(info.ssi_signo));
      }
      continue;
    }
    if (!ProgramEnded(pid)) continue;
    EndRestOfGroup(g_credentials.change ? pid : 0);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // What is still in the pipe; a descendant that left the group may hold it open, so only
    // what is there now.
    if (output[0] >= 0) Pass(output[0]);
    bool signaled = WIFSIGNALED(status);
    const std::string oom = OutOfMemoryNote();
    g_output.Note(request.argv[0] + " " + (oom.empty() ? "" : oom + ": ") +
                  kestravo::ExitText(true, signaled ? 0 : WEXITSTATUS(status), signaled ? WTERMSIG(status) : 0,
                                     signaled && WCOREDUMP(status), NowMs() - startedMs));
    EndLike(status);
  }
}

}  // namespace kestravo_run
