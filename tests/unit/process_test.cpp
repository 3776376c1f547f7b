// Processes: Windows command lines and how an ended process is worded, and starting, waiting on,
// terminating, opening and reaping real processes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>
#include <tuple>

#include "common/command_line.h"
#include "common/exit_text.h"
#include "kestravo.h"
#include "common/signal_names.h"
#include "manager/exit_report.h"
#include "platform/process_exit.h"
#include "platform/os.h"
#include "platform/process_remains.h"
#include "platform/posix/process.h"
#include "platform/posix/spawn.h"
#include "platform/posix/process_groups.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

// One split and one quote for the launcher and the tools: kestravo-run on Windows reads back
// what the host quoted, and the launcher reads what the caller wrote.
TEST(CommandLine, SplitsArgumentsAsTheMicrosoftRuntimeAndQuotesThemBack) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {R"(a\\\b d"e f"g h)", {R"(a\\\b)", "de fg", "h"}},
      {R"(a\\\"b c d)", {R"(a\"b)", "c", "d"}},
      {R"(a\\\\"b c" d e)", {R"(a\\b c)", "d", "e"}},
      {R"("" "")", {"", ""}},
      {R"("a"" a")", {R"(a" a)"}},
      {R"(a"b"" c d)", {R"(ab" c d)"}},  // "" inside quotes: a quote, and the quotes go on
      {R"("C:\TEST A\\")", {R"(C:\TEST A\)"}},
      {" \t ", {}},
      {"\ta  b\t\tc ", {"a", "b", "c"}},
      {R"( "abc" d  e )", {"abc", "d", "e"}},
      {R"(\\server\share x\)", {R"(\\server\share)", R"(x\)"}},  // no quote after them
      {R"("a b)", {"a b"}},  // unterminated
      {R"("unclosed \)", {R"(unclosed \)"}},
      {R"(a""b)", {"ab"}},   // "" outside quotes
  };
  for (const auto& [text, args] : cases) EXPECT_EQ(kestravo::SplitArguments(text), args) << text;
  // argv[0] knows no backslash rules: the quoted text, or up to the first blank.
  EXPECT_EQ(kestravo::CommandLineArgv(R"( "/a b\"c d)"), (std::vector<std::string>{R"(/a b\)", "c", "d"}));
  EXPECT_EQ(kestravo::CommandLineArgv(R"(/a\"b c)"), (std::vector<std::string>{R"(/a\"b)", "c"}));

  // Quotes only where they are needed, backslashes doubled only before a quote; split back whole.
  const std::pair<std::string, std::string> quoted[] = {
      {"plain", "plain"}, {R"(x\y)", R"(x\y)"}, {"", R"("")"}, {"a b", R"("a b")"}, {"\th", "\"\th\""},
      {R"(c"d)", R"("c\"d")"}, {R"(e\)", R"(e\)"}, {R"(e\ f\)", R"("e\ f\\")"}, {R"(f\\"g)", R"("f\\\\\"g")"},
  };
  std::string line;
  std::vector<std::string> args;
  for (const auto& [arg, text] : quoted) {
    EXPECT_EQ(kestravo::QuoteArgument(arg), text) << arg;
    line += kestravo::QuoteArgument(arg) + " ";
    args.push_back(arg);
  }
  EXPECT_EQ(kestravo::SplitArguments(line), args) << line;
  args.insert(args.begin(), "prog");
  EXPECT_EQ(kestravo::CommandLineArgv("prog " + line), args) << line;
}

// The library's log, kestravo-host and kestravo-run word an end alike: run times rounded,
// Windows crash statuses in hex, Linux's signal names.
TEST(ExitText, CauseAndRunTimeAsEveryToolWritesThem) {
  const std::pair<uint64_t, const char*> runTimes[] = {
      {0, "0.00 s"},    {4, "0.00 s"},    {5, "0.01 s"},  {1010, "1.01 s"}, {1015, "1.02 s"}, {1019, "1.02 s"},
      {9994, "9.99 s"}, {9995, "10 s"},   {10499, "10 s"}, {10500, "11 s"}, {41000, "41 s"},
      {UINT64_MAX - 1, "18446744073709552 s"},
  };
  for (const auto& [ms, text] : runTimes) EXPECT_EQ(kestravo::RunTimeText(ms), text) << ms;
  const std::tuple<int32_t, int32_t, bool, const char*> causes[] = {
      {3, 0, false, "exited with code 3"},
      {-1, 0, false, "exited with code 0xFFFFFFFF"},
      {static_cast<int32_t>(0xBFFFFFFFu), 0, false, "exited with code -1073741825"},
      {static_cast<int32_t>(0xC0000005u), 0, false, "exited with code 0xC0000005"},
      {0, SIGSEGV, true, "killed by SIGSEGV (core dumped)"},
      {0, SIGKILL, false, "killed by SIGKILL"},
      {0, 40, false, "killed by signal 40"},
  };
  for (const auto& [code, signal, core, text] : causes) EXPECT_EQ(kestravo::ExitCauseText(code, signal, core), text);
  EXPECT_EQ(kestravo::ExitText(true, 0, SIGABRT, false, 1015), "killed by SIGABRT after 1.02 s");
  EXPECT_EQ(kestravo::ExitText(false, 3, 0, false, 12000), "ended (cause not known) after 12 s");
  EXPECT_EQ(kestravo::ExitText(true, 3, 0, false, UINT64_MAX), "exited with code 3");
  const std::tuple<uint32_t, uint64_t, const char*> stopCauses[] = {
      {KESTRAVO_CAUSE_WATCHDOG, 10000, "watchdog (no ping in 10 s)"},
      {KESTRAVO_CAUSE_NOT_READY, 1500, "not ready after 1.50 s"},
      {KESTRAVO_CAUSE_OUT_OF_MEMORY, 256ull << 20, "out of memory (limit 256M)"},
      {KESTRAVO_CAUSE_OUT_OF_MEMORY, 3ull << 30, "out of memory (limit 3G)"},
      {KESTRAVO_CAUSE_OUT_OF_MEMORY, 1000, "out of memory (limit 1000)"},
      {KESTRAVO_CAUSE_OUT_OF_MEMORY, 0, "out of memory"},
      {KESTRAVO_CAUSE_SIGNAL, 5, ""},
  };
  for (const auto& [cause, value, text] : stopCauses) EXPECT_EQ(kestravo::StopCauseText(cause, value), text);

  // The table that both systems use is this system's: every name and number as the C library
  // has them.
  for (int signal = 0; signal <= SIGRTMAX + 1; ++signal) {
    const char* own = sigabbrev_np(signal);
    const char* common = kestravo::SignalAbbrev(signal);
    EXPECT_EQ(std::string(own ? own : "-"), std::string(common ? common : "-")) << signal;
  }
  EXPECT_EQ(kestravo::kHighestSignal, SIGRTMAX);
  // Stop signals: the seven names, with or without SIG, a number in range, or none.
  const std::pair<const char*, int> stops[] = {
      {"TERM", SIGTERM}, {"SIGINT", SIGINT}, {"HUP", SIGHUP}, {"QUIT", SIGQUIT}, {"USR1", SIGUSR1},
      {"SIGUSR2", SIGUSR2}, {"KILL", SIGKILL}, {"none", 0}, {"0", 0}, {"9", 9}, {"64", 64},
  };
  for (const auto& [text, number] : stops) {
    int signal = -1;
    EXPECT_TRUE(kestravo::ParseStopSignal(text, &signal)) << text;
    EXPECT_EQ(signal, number) << text;
  }
  for (const char* text : {"", "SEGV", "term", "SIG", "65", "-1", "9x", "SIGnone"}) {
    int signal = -1;
    EXPECT_FALSE(kestravo::ParseStopSignal(text, &signal)) << text;
    EXPECT_EQ(signal, -1) << text;
  }
}

// A child started through the library; killed and closed when the test ends.
struct Child {
  explicit Child(std::string line, const std::string& program = HelperChild()) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    ok = CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    error = GetLastError();
  }
  ~Child() {
    if (pi.hProcess) TerminateProcess(pi.hProcess, 1);
    Close();
  }
  pid_t pid() const { return static_cast<pid_t>(pi.dwProcessId); }
  void Close() {
    EXPECT_TRUE(!pi.hProcess || (CloseHandle(pi.hProcess) && CloseHandle(pi.hThread)));
    pi.hProcess = nullptr;
  }
  PROCESS_INFORMATION pi{};
  bool ok = false;
  DWORD error = 0;
};

bool In(const std::vector<pid_t>& pids, pid_t pid) { return std::find(pids.begin(), pids.end(), pid) != pids.end(); }

// The program is the file named as it stands: not looked for in PATH, nor in the command line.
TEST(Process, AProgramThatCannotRunFailsAndStartsNothing) {
  TempDir dir;
  std::ofstream(dir.File("plain")) << "#!/bin/sh\nexit 0\n";  // mode 0644: not executable
  const std::pair<std::string, DWORD> cases[] = {
      {dir.File("missing"), ERROR_FILE_NOT_FOUND},
      {dir.File("plain/x"), ERROR_PATH_NOT_FOUND},
      {dir.Path(), ERROR_ACCESS_DENIED},
      {dir.File("plain"), ERROR_ACCESS_DENIED},
      {"sh", ERROR_FILE_NOT_FOUND},
      {"", ERROR_INVALID_PARAMETER},
  };
  for (const auto& [program, error] : cases) {
    Child child(HelperChild() + " exit -", program);
    EXPECT_FALSE(child.ok) << program;
    EXPECT_EQ(child.error, error) << program;
    EXPECT_TRUE(ChildrenOfThisProcess().empty()) << program;
  }
}

// From here on this process gets ENOSYS for clone3, as under some container filters.
void RefuseClone3() {
  sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1),
                          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  sock_fprog program{4, filter};
  ASSERT_TRUE(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0);
}

// Through clone3 on the caller's descriptor table, and through vfork where clone3 is switched off
// or refused by the kernel.
TEST(Process, ChildGetsNoDescriptorOrSignalSettingOfTheCaller) {
  for (const char* path : {"clone3", "no /proc", "off", "refused"}) {
    SCOPED_TRACE(path);
    posix::UseClone3(strcmp(path, "off") != 0);
    posix::ReadSignalsFromProc(strcmp(path, "no /proc") != 0);
    if (strcmp(path, "refused") == 0) RefuseClone3();
    int inherited = fcntl(STDIN_FILENO, F_DUPFD, 200);  // no close-on-exec
    ASSERT_GE(inherited, 200);
    // Ignored: one low, one realtime (past the first 32 bits of the mask).
    struct sigaction ignore {}, old {}, oldRealtime {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGUSR2, &ignore, &old), 0);
    ASSERT_EQ(sigaction(SIGRTMIN + 9, &ignore, &oldRealtime), 0);
    auto streams = [] { return std::filesystem::read_symlink("/proc/self/fd/1").string() + std::filesystem::read_symlink("/proc/self/fd/2").string(); };
    const std::string ours = streams();
    TempDir dir;
    Child child(HelperCommandLine("ignore", dir.File("report")));
    sigaction(SIGUSR2, &old, nullptr);
    sigaction(SIGRTMIN + 9, &oldRealtime, nullptr);
    posix::ReadSignalsFromProc(true);
    // The caller's table is its own still.
    EXPECT_EQ(fcntl(inherited, F_GETFD), 0);
    EXPECT_EQ(streams(), ours);
    close(inherited);

    ASSERT_TRUE(child.ok) << "error " << child.error;
    Report seen = WaitForReport(dir.File("report"));
    EXPECT_EQ(seen["fds"], "0,1,2");
    EXPECT_EQ(seen["session_leader"], "1");
    std::string proc = "/proc/" + std::to_string(child.pid());
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/1"), "/dev/null");
    const std::string status = FileText(proc + "/status");
    EXPECT_NE(status.find("\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"), std::string::npos) << status;
  }
}

// A child's workers end with it, terminated or ended by itself, by its process group alone (signalled
// by number, as before Linux 6.9, for its own child) or its cgroup (started in it by clone3, or moved
// in where clone3 is refused), also seen through a handle opened by pid (as an adopted child's is)
// and under kestravo-run.
// Once reaped, a child can no longer be terminated; its cgroup goes with its last handle, with the
// cgroups the child made in it.
TEST(Process, TheWholeTreeEndsWithTheChild) {
  const std::string probe = posix::NewChildCgroup();  // empty where this host may make none
  posix::RemoveCgroup(probe);
  for (int run = 0; run < 16; ++run) {
    const bool cgroups = run & 1, opened = run & 2, adapter = run & 4, killed = run & 8;
    SCOPED_TRACE(testing::Message() << "cgroups " << cgroups << " opened " << opened << " adapter " << adapter << " killed " << killed);
    posix::UseCgroups(cgroups);
    posix::UseClone3(!opened);
    posix::UseGroupPidfd(cgroups || opened);
    TempDir dir;
    // Once, where cgroups are emptied pid by pid (before Linux 5.14): workers in sessions of their
    // own, moved to a cgroup below the child's, are beyond its group and still end with it.
    const bool pidByPid = run == 1 && !probe.empty();
    posix::UseCgroupKill(!pidByPid);
    Child child((adapter ? std::string(KESTRAVO_ADAPTER) + " -- " : "") +
                    HelperCommandLine("grandchild", dir.File("report"), pidByPid ? "2 setsid" : "2"),
                adapter ? KESTRAVO_ADAPTER : HelperChild());
    ASSERT_TRUE(child.ok) << "error " << child.error;
    Report seen = WaitForReport(dir.File("report"));
    std::string cgroup = posix::ChildCgroupOf(child.pid());
    EXPECT_EQ(cgroup.empty(), !cgroups || probe.empty());
    // A child running as root may make cgroups of its own in its cgroup: they go with it.
    if (!cgroup.empty() && (killed || pidByPid)) {
      ASSERT_EQ(mkdir((cgroup + "/nested").c_str(), 0755), 0);
    }
    // Forked at once, in the cgroup all the same: the child was in it before it ran.
    std::istringstream forked(seen["grandchildren"]);
    for (std::string worker; std::getline(forked, worker, ',');) EXPECT_EQ(posix::ChildCgroupOf(std::stoi(worker)), cgroup) << worker;
    std::istringstream moved(pidByPid ? seen["grandchildren"] : "");
    for (std::string worker; std::getline(moved, worker, ',');) std::ofstream(cgroup + "/nested/cgroup.procs") << worker;
    HANDLE h = opened ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(child.pid())) : child.pi.hProcess;
    EXPECT_TRUE(killed ? kill(child.pid(), SIGKILL) == 0 : TerminateProcess(h, 1));
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    std::istringstream workers(seen["grandchildren"]);
    for (std::string worker; std::getline(workers, worker, ',');) {
      EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(std::stoi(worker)); })) << worker;
      kill(std::stoi(worker), SIGKILL);  // none left behind by a failure
    }
    if (opened) CloseHandle(h);
    else EXPECT_TRUE(!TerminateProcess(h, 7) && GetLastError() == ERROR_ACCESS_DENIED) << "a reaped child was terminated";
    child.Close();
    EXPECT_TRUE(cgroup.empty() || WaitFor([&] { return access(cgroup.c_str(), F_OK) != 0; })) << cgroup;
  }
  posix::UseCgroupKill(true);
}

// Limits under kestravo-run, on the cgroup the library made for it: memory past memory.max ends
// the whole tree, reported as out of memory with the limit (memory.events read before the cgroup
// goes); forks fail with EAGAIN at tasks-max and none escapes; cpu.max as asked. Where the host
// made no cgroup for the child, or passes the controller on to none, the adapter refuses the limit
// in one line, with exit code 125, and the program never starts.
TEST(Process, LimitsUnderTheAdapterHoldOrAreRefused) {
  const std::tuple<const char*, const char*, uint64_t, uint64_t> memoryFiles[] = {
      {"low 0\nhigh 0\nmax 9\noom 2\noom_kill 1\noom_group_kill 1\n", "33554432\n", 1, 32ull << 20},
      {"oom 3\noom_kill 0\n", "max\n", 0, 0},
      {"oom_kill 3\noom_group_kill 1\n", "max\n", 3, 0},
      {"", "", 0, 0},
  };
  for (const auto& [events, max, kills, limit] : memoryFiles) {
    EXPECT_EQ(posix::ParseCgroupMemory(events, max).oomKills, kills) << events;
    EXPECT_EQ(posix::ParseCgroupMemory(events, max).limit, limit) << max;
  }
  const std::string probe = posix::NewChildCgroup();
  std::istringstream passedOn(probe.empty() ? "" : FileText(probe + "/cgroup.controllers"));
  const std::vector<std::string> controllers{std::istream_iterator<std::string>(passedOn), {}};
  posix::RemoveCgroup(probe);
  const std::tuple<bool, const char*, const char*, const char*, const char*> rows[] = {
      {true, "--memory-max 32M", "memory", "alloc", "512"},
      {true, "--tasks-max 12", "pids", "forks", "64"},
      {true, "--cpu-max 50%", "cpu", "ignore", ""},
      {false, "--memory-max 32M", "memory", "alloc", "512"},
  };
  for (const auto& [cgroups, limit, controller, mode, arg] : rows) {
    SCOPED_TRACE(testing::Message() << limit << (cgroups ? "" : ", no cgroups"));
    posix::UseCgroups(cgroups);
    const bool held = cgroups && !probe.empty() &&
                      std::find(controllers.begin(), controllers.end(), controller) != controllers.end();
    TempDir dir;
    const auto started = std::chrono::steady_clock::now();
    Child child(std::string(KESTRAVO_ADAPTER) + " --output " + dir.File("out") + " " + limit + " -- " +
                    HelperCommandLine(mode, dir.File("report"), arg),
                KESTRAVO_ADAPTER);
    ASSERT_TRUE(child.ok) << "error " << child.error;
    const std::string option = std::string(limit).substr(0, std::string(limit).find(' '));
    if (!held) {
      ASSERT_EQ(WaitForSingleObject(child.pi.hProcess, 10000), WAIT_OBJECT_0);
      ProcessExitStatus status;
      EXPECT_TRUE(GetProcessExitStatus(child.pi.hProcess, &status) && status.exitCode == 125);
      const std::string why = cgroups && !probe.empty() ? " needs the " + std::string(controller) + " controller in the child's cgroup"
                                                        : " needs a cgroup of the child's own: the host made none";
      EXPECT_NE(FileText(dir.File("out")).find("kestravo-run: " + option + why), std::string::npos) << FileText(dir.File("out"));
      EXPECT_FALSE(std::filesystem::exists(dir.File("report")));
      continue;
    }
    ASSERT_FALSE(WaitForReport(dir.File("report")).empty());
    const std::string cgroup = posix::ChildCgroupOf(child.pid());
    ASSERT_NE(cgroup, "");
    if (option == "--memory-max") {
      ASSERT_EQ(WaitForSingleObject(child.pi.hProcess, 10000), WAIT_OBJECT_0);
      ExitedProcInfo info = MakeExitedProcInfo(child.pi.hProcess, static_cast<uint32_t>(child.pid()), started);
      EXPECT_EQ(info.cause, static_cast<uint32_t>(KESTRAVO_CAUSE_OUT_OF_MEMORY));
      EXPECT_EQ(info.causeValue, 32ull << 20);
      EXPECT_EQ(info.signal, SIGKILL);
      // The adapter tells too where it may keep out of the killer's reach (root).
      EXPECT_TRUE(geteuid() != 0 || FileText(dir.File("out")).find("out of memory (limit 32M): killed by SIGKILL") != std::string::npos)
          << FileText(dir.File("out"));
    } else if (option == "--tasks-max") {
      Report forks;
      ASSERT_TRUE(WaitFor([&] { return !(forks = ReadReport(dir.File("report.forks"))).empty(); }));
      // The adapter and the helper count too; what ends with the cgroup below is all there was.
      const int forked = std::stoi(forks["forked"]);
      EXPECT_TRUE(forked > 0 && forked <= 10) << forks["forked"];
      EXPECT_EQ(forks["forked"], std::to_string(forked) + " errno=" + std::to_string(EAGAIN));
      EXPECT_EQ(FileText(cgroup + "/pids.current"), "12\n");
    } else {
      EXPECT_EQ(FileText(cgroup + "/cpu.max"), "50000 100000\n");
    }
    TerminateProcess(child.pi.hProcess, 1);
    child.Close();
    EXPECT_TRUE(WaitFor([&] { return access(cgroup.c_str(), F_OK) != 0; })) << cgroup;
  }
  posix::UseCgroups(true);
}

// A cgroup that fails one start costs that child alone: a move refused once (where clone3 is not
// used) leaves it without a cgroup, and one frozen as it is made (an operator's freeze that would
// stop the child before its exec), started in or moved into, fails the start within its limit,
// with nothing of it left. The next child gets a cgroup of its own.
TEST(Process, ACgroupThatFailsOneStartCostsOnlyThatStart) {
  const std::string probe = posix::NewChildCgroup();
  const bool freezer = !probe.empty() && access((probe + "/cgroup.freeze").c_str(), F_OK) == 0;
  posix::RemoveCgroup(probe);
  if (!freezer) GTEST_SKIP() << "no cgroups with a freezer for this host here";
  const std::string ours = probe.substr(0, probe.rfind('.') + 1);  // kestravo-PID.
  auto left = [&] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(probe.substr(0, probe.rfind('/'))))
      if (entry.path().string().rfind(ours, 0) == 0) found.push_back(entry.path().string());
    return found;
  };
  posix::SetExecWaitMs(300);
  for (const auto& [frozen, clone3] : {std::pair(false, false), std::pair(true, true), std::pair(true, false)}) {
    SCOPED_TRACE(testing::Message() << (frozen ? "frozen" : "move refused") << (clone3 ? "" : ", without clone3"));
    posix::UseClone3(clone3);
    posix::PlantFailedCgroupMoves(frozen ? 0 : 1);
    posix::FreezeNewCgroups(frozen);
    std::unique_ptr<Child> first;
    std::atomic<bool> started{false};
    std::thread start([&] {
      first = std::make_unique<Child>(HelperCommandLine("ignore", "-"));
      started = true;
    });
    // A start that hangs is let go, so that the test fails rather than hangs.
    if (!WaitFor([&] { return started.load(); }, std::chrono::seconds(5)))
      for (const std::string& dir : left()) std::ofstream(dir + "/cgroup.freeze") << "0";
    start.join();
    posix::FreezeNewCgroups(false);
    EXPECT_EQ(first->ok, !frozen);
    EXPECT_EQ(frozen ? first->error : 0u, frozen ? static_cast<DWORD>(ERROR_TIMEOUT) : 0u);
    EXPECT_TRUE(frozen || posix::ChildCgroupOf(first->pid()).empty()) << "moved into a cgroup after all";
    first.reset();
    EXPECT_TRUE(WaitFor([&] { return ChildrenOfThisProcess().empty() && left().empty(); }));
    Child next(HelperCommandLine("ignore", "-"));
    ASSERT_TRUE(next.ok) << next.error;
    EXPECT_NE(posix::ChildCgroupOf(next.pid()), "");
  }
  posix::SetExecWaitMs(10000);
}

// Once a child has been reaped by someone else (the host's own waitpid, or an adopted child's new
// parent), its freed pid may lead another session: ending the child's remains never reaches it.
TEST(Process, EndingTheRemainsNeverReachesAStrangerGivenTheFreedPid) {
  for (int run = 0; run < 4; ++run) {
    const bool cgroups = run & 1, opened = run & 2;
    SCOPED_TRACE(testing::Message() << "cgroups " << cgroups << " opened " << opened);
    posix::UseCgroups(cgroups);
    Child child(HelperCommandLine("exit", "-", "0"));
    HANDLE h = opened ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(child.pid())) : child.pi.hProcess;
    ASSERT_EQ(WaitExit(child.pid()), 0);
    pid_t stranger = 0;  // once the kernel hands the pid out again; another process may come first
    for (int attempt = 0; attempt < 50 && stranger != child.pid(); ++attempt) {
      if (stranger > 0) kill(stranger, SIGKILL), WaitExit(stranger);
      std::ofstream("/proc/sys/kernel/ns_last_pid") << child.pid() - 1;
      stranger = SpawnPlain({"/usr/bin/setsid", HelperChild(), "ignore", "-"});
    }
    const bool planted = stranger == child.pid();
    EXPECT_TRUE(!planted || (EndProcessRemains(h, 1000) && ProcessAlive(stranger))) << "the stranger under the freed pid was killed";
    kill(stranger, SIGKILL), WaitExit(stranger);
    if (opened) CloseHandle(h);
    if (!planted) GTEST_SKIP() << "the kernel does not hand the freed pid out again here (ns_last_pid)";
  }
}

TEST(Process, OpenProcessNeverReapsTheHostsOwnChild) {
  // Started by the host itself, not by the library: its status is the host's to collect.
  pid_t pid = SpawnPlain({HelperChild(), "exit", "-", "50"});  // exits 0 after 50 ms
  HANDLE h = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(pid));
  EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
  CloseHandle(h);
  int status = -1;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);

  for (DWORD bad : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, bad), nullptr) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << bad;
  }
}

TEST(Process, ClosingTheLastHandleLeavesNoZombie) {
  // Ended by itself and never waited on: the close reaps.
  Child exited(HelperCommandLine("exit", "-", "0"));
  ASSERT_TRUE(WaitFor([&] { return In(ZombieChildren(), exited.pid()); }));
  exited.Close();
  EXPECT_FALSE(In(ChildrenOfThisProcess(), exited.pid()));

  // Still running at the close: abandoned, then reaped by the next start once it has ended.
  Child running(HelperCommandLine("ignore", "-"));
  running.Close();
  kill(running.pid(), SIGKILL);  // unreaped, so still ours
  ASSERT_TRUE(WaitFor([&] { return In(ZombieChildren(), running.pid()); }));
  Child next(HelperCommandLine("exit", "-", "0"));
  EXPECT_FALSE(In(ChildrenOfThisProcess(), running.pid()));
}

}  // namespace
}  // namespace kestravo::test
