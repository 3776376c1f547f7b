// kestravo-bench-peer OUTDIR CHILD PEER SETTING [PAIRS]: another supervisor, run as plain
// processes in a temporary directory, supervising CHILD. PEER: supervisord, runit, s6 or
// daemontools; SETTING: default (its own defaults) or low (its restart delays as low as it lets
// them be). Measures the time to bring up 64 children, memory and idle CPU with 64, and restart
// latency after SIGKILL of a child that has run for 1.6 s and of one killed 0.2 s after its start.
// Everything it starts is gone when it returns: it is a child subreaper and kills what is left.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "announcements.h"
#include "bench_stats.h"

namespace {

using bench::Now;
using bench::Progress;
using bench::SleepSeconds;

constexpr int kChildren = 64;
constexpr double kOldAge = 1.6;
constexpr double kYoungAge = 0.2;
constexpr double kRestartWait = 15;

std::string g_out, g_child, g_peer, g_setting, g_dir;

[[noreturn]] void Die(const std::string& what);

bench::Announcements g_announcements;

std::vector<pid_t> MyChildren() {
  std::vector<pid_t> children;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return children;
  while (dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + task->d_name + "/children");
    pid_t pid;
    while (in >> pid) children.push_back(pid);
  }
  closedir(tasks);
  return children;
}

// Everything still below us, supervisors and the children they left to us alike, by the ids the
// kernel lists as our children.
void KillEverythingLeft() {
  for (int round = 0; round < 100; ++round) {
    std::vector<pid_t> children = MyChildren();
    if (children.empty()) {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      return;
    }
    for (pid_t pid : children) kill(pid, SIGKILL);
    double deadline = Now() + 2;
    while (Now() < deadline && waitpid(-1, nullptr, WNOHANG) >= 0) SleepSeconds(0.005);
  }
}

// On an interrupt: the same sweep with async-signal-safe calls only (this program has one thread,
// so its children are listed under its own task), then exit.
void OnInterrupt(int signal) {
  char path[64] = "/proc/self/task/";
  char digits[16];
  int n = 0;
  for (pid_t self = getpid(); self > 0; self /= 10) digits[n++] = static_cast<char>('0' + self % 10);
  size_t at = strlen(path);
  while (n > 0) path[at++] = digits[--n];
  memcpy(path + at, "/children", sizeof "/children");
  for (int round = 0; round < 200; ++round) {
    char list[8192];
    ssize_t length = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      length = read(fd, list, sizeof list - 1);
      close(fd);
    }
    if (length <= 0) break;
    list[length] = '\0';
    for (char* p = list; *p != '\0';) {
      pid_t pid = 0;
      while (*p >= '0' && *p <= '9') pid = pid * 10 + (*p++ - '0');
      if (pid > 0) kill(pid, SIGKILL);
      while (*p != '\0' && (*p < '0' || *p > '9')) ++p;
    }
    timespec pause{0, 20000000};
    nanosleep(&pause, nullptr);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
  _exit(128 + signal);
}

void Die(const std::string& what) {
  fprintf(stderr, "kestravo-bench-peer %s %s: %s\n", g_peer.c_str(), g_setting.c_str(), what.c_str());
  KillEverythingLeft();
  exit(1);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  if (!out) Die("cannot write " + path);
}

bool PerServiceSupervisor() { return g_peer != "supervisord"; }

std::string ServiceDir(int i) { return g_dir + "/svc/c" + std::to_string(i); }

void WriteConfiguration(int children) {
  if (PerServiceSupervisor()) {
    mkdir((g_dir + "/svc").c_str(), 0700);
    for (int i = 0; i < children; ++i) {
      std::string dir = ServiceDir(i);
      mkdir(dir.c_str(), 0700);
      unlink((dir + "/run").c_str());
      if (symlink(g_child.c_str(), (dir + "/run").c_str()) != 0) Die("symlink");
    }
    return;
  }
  std::string conf = "[supervisord]\nnodaemon=true\nlogfile=" + g_dir + "/supervisord.log\npidfile=" + g_dir +
                     "/supervisord.pid\nchildlogdir=" + g_dir +
                     "\n\n[program:bench]\ncommand=" + g_child +
                     "\nprocess_name=%(program_name)s_%(process_num)02d\nnumprocs=" + std::to_string(children) + "\n";
  if (g_setting == "low") conf += "startsecs=0\nautorestart=true\nstartretries=100\n";
  WriteFile(g_dir + "/supervisord.conf", conf);
}

pid_t Launch(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    int log = open((g_dir + "/peer.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int null = open("/dev/null", O_RDONLY);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    if (null >= 0) dup2(null, 0);
    if (chdir(g_dir.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

std::vector<pid_t> StartSupervisors(int children) {
  std::vector<pid_t> pids;
  if (g_peer == "supervisord") {
    pids.push_back(Launch({"supervisord", "-n", "-c", g_dir + "/supervisord.conf"}));
    return pids;
  }
  const char* program = g_peer == "runit" ? "runsv" : g_peer == "s6" ? "s6-supervise" : "supervise";
  for (int i = 0; i < children; ++i) pids.push_back(Launch({program, ServiceDir(i)}));
  return pids;
}

// Asks them to stop their children and exit, as their own control tools do; whatever is still
// there after 10 s is killed.
void StopSupervisors(const std::vector<pid_t>& pids, int children) {
  if (g_peer == "supervisord") {
    kill(pids[0], SIGTERM);
  } else {
    for (int i = 0; i < children; ++i) {
      int fd = open((ServiceDir(i) + "/supervise/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        if (write(fd, "dx", 2) != 2) kill(pids[static_cast<size_t>(i)], SIGTERM);
        close(fd);
      } else {
        kill(pids[static_cast<size_t>(i)], SIGTERM);
      }
    }
  }
  double deadline = Now() + 10;
  size_t left = pids.size();
  while (left > 0 && Now() < deadline) {
    pid_t done = waitpid(-1, nullptr, WNOHANG);
    if (done > 0) {
      for (pid_t pid : pids) left -= pid == done ? 1 : 0;
    } else {
      SleepSeconds(0.005);
    }
  }
  KillEverythingLeft();
  g_announcements.Drain();
}

// Seconds from the first supervisor's start until the last child has announced itself.
double BringUp(int children, std::vector<pid_t>* pids, pid_t* lastPid, double* lastAt) {
  double start = Now();
  *pids = StartSupervisors(children);
  double last = start;
  for (int i = 0; i < children; ++i) {
    int pid;
    double at;
    if (!g_announcements.Next(start + 60, &at, &pid)) Die("the children did not all start within 60 s");
    if (at > last) last = at;
    *lastPid = pid;
    *lastAt = at;
  }
  return last - start;
}

double PssBytes(const std::vector<pid_t>& pids) {
  double total = 0;
  for (pid_t pid : pids) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    double kb;
    while (in >> key) {
      if (key == "Pss:" && in >> kb) {
        total += kb * 1024;
        break;
      }
    }
  }
  return total;
}

// CPU time of the supervisors (not their children), in seconds.
double CpuSeconds(const std::vector<pid_t>& pids) {
  double total = 0;
  for (pid_t pid : pids) {
    DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (tasks == nullptr) continue;
    while (dirent* task = readdir(tasks)) {
      if (task->d_name[0] == '.') continue;
      std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + task->d_name + "/schedstat");
      double ns = 0;
      if (in >> ns) total += ns * 1e-9;
    }
    closedir(tasks);
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: kestravo-bench-peer OUTDIR CHILD supervisord|runit|s6|daemontools default|low [PAIRS]\n");
    return 2;
  }
  g_out = argv[1];
  g_child = argv[2];
  g_peer = argv[3];
  g_setting = argv[4];
  int pairs = argc > 5 ? atoi(argv[5]) : 15;
  int bringUps = argc > 6 ? atoi(argv[6]) : 3;
  double idleSeconds = argc > 7 ? atof(argv[7]) : 10;
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) Die("cannot become a subreaper");
  signal(SIGPIPE, SIG_IGN);
  for (int interrupt : {SIGINT, SIGTERM, SIGHUP}) signal(interrupt, OnInterrupt);
  char tmp[] = "/tmp/kestravo-bench-peer.XXXXXX";
  if (mkdtemp(tmp) == nullptr) Die("mkdtemp");
  g_dir = tmp;
  if (!g_announcements.Open(g_dir + "/announce.fifo")) Die("cannot make the announcements' FIFO");
  const std::string name = "peer." + g_peer + "." + g_setting;

  double pssOne = 0;
  if (!PerServiceSupervisor()) {  // one process for all children: its cost per child is the growth
    WriteConfiguration(1);
    std::vector<pid_t> pids;
    pid_t pid;
    double at;
    BringUp(1, &pids, &pid, &at);
    SleepSeconds(1);
    pssOne = PssBytes(pids);
    StopSupervisors(pids, 1);
  }

  WriteConfiguration(kChildren);
  std::vector<double> bringUp;
  std::vector<pid_t> pids;
  pid_t target = 0;
  double born = 0;
  for (int i = 0; i < bringUps; ++i) {
    bringUp.push_back(BringUp(kChildren, &pids, &target, &born) * 1000);
    if (i + 1 < bringUps) StopSupervisors(pids, kChildren);
  }
  bench::WriteSamples(g_out, name + ".start64", bringUp);
  Progress("%s: 64 children up in %.1f ms (median of %d)", name.c_str(), bench::Summarise(bringUp).median, bringUps);

  SleepSeconds(1);
  double pss = PssBytes(pids);
  double perChild = PerServiceSupervisor() ? pss / kChildren : (pss - pssOne) / (kChildren - 1);
  bench::WriteSamples(g_out, name + ".memory", {perChild});

  double cpu0 = CpuSeconds(pids), wall0 = Now();
  SleepSeconds(idleSeconds);
  double idle = (CpuSeconds(pids) - cpu0) / (Now() - wall0) * 100;
  bench::WriteSamples(g_out, name + ".idle64", {idle});
  Progress("%s: %.0f bytes per child, idle %.4f %% of one core", name.c_str(), perChild, idle);

  // Alternate: a child that has run for 1.6 s, then its successor 0.2 s after it started.
  std::vector<double> old, young;
  std::string gaveUp;
  for (int i = 0; i < pairs && gaveUp.empty(); ++i) {
    for (double age : {kOldAge, kYoungAge}) {
      SleepSeconds(born + age - Now());
      double killedAt = Now();
      if (kill(target, SIGKILL) != 0) Die("kill failed");
      double at;
      if (!g_announcements.Next(killedAt + kRestartWait, &at, &target)) {
        gaveUp = "no restart within 15 s after kill " + std::to_string(old.size() + young.size() + 1);
        break;
      }
      born = at;
      (age == kOldAge ? old : young).push_back((at - killedAt) * 1000);
    }
  }
  bench::WriteSamples(g_out, name + ".restart.old", old);
  bench::WriteSamples(g_out, name + ".restart.young", young);
  if (!gaveUp.empty()) bench::WriteNote(g_out, name + ".gaveup", gaveUp);
  Progress("%s: restart after 1.6 s median %.1f ms, after 0.2 s median %.1f ms%s%s", name.c_str(),
           bench::Summarise(old).median, bench::Summarise(young).median, gaveUp.empty() ? "" : "; ",
           gaveUp.c_str());

  StopSupervisors(pids, kChildren);
  std::string remove = "rm -rf '" + g_dir + "'";
  if (system(remove.c_str()) != 0) Progress("could not remove %s", g_dir.c_str());
  return 0;
}
