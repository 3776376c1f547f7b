// kestravo-host as its users see it: exit codes, the lines it prints, the children it leaves.
#include "host_tool_fixture.h"

namespace kestravo::test {
namespace {

// Bad command lines get the usage; the one program of a command line that cannot be run, an output file, state directory
// (missing, not one, writable by others, another user's, or with a directory planted as the state
// file's lock) or log file (a link, a FIFO, writable by others, a second name of another file)
// that cannot be used, is named with the reason. All exit 2 before anything starts, and no link
// is followed.
TEST_F(HostToolTest, BadCommandLinesAndProgramsThatCannotRunGetExitCode2) {
  const std::string helper = HelperChild(), usage = "usage: kestravo-host", plain = dir.File("plain");
  std::ofstream(plain) << "not a program\n";
  TempDir linked, logLinked, logFifo, logShared, shared, foreign, logTwice, outTwice, lockDir;
  std::filesystem::create_symlink(dir.File("elsewhere"), linked.File(std::filesystem::path(helper).filename().string() + ".log"));
  std::filesystem::create_symlink(dir.File("elsewhere"), logLinked.File("kestravo.log"));
  mkfifo(logFifo.File("kestravo.log").c_str(), 0600);
  std::ofstream(logShared.File("kestravo.log")).close();
  chmod(logShared.File("kestravo.log").c_str(), 0666);
  chmod(shared.Path().c_str(), 0777);
  const bool root = geteuid() == 0;
  ASSERT_TRUE(!root || chown(foreign.Path().c_str(), 65534, 65534) == 0);
  std::ofstream(dir.File("precious")) << "precious\n";
  chmod(dir.File("precious").c_str(), 0600);
  ASSERT_EQ(link(dir.File("precious").c_str(), logTwice.File("kestravo.log").c_str()), 0);
  ASSERT_EQ(link(dir.File("precious").c_str(), outTwice.File(std::filesystem::path(helper).filename().string() + ".log").c_str()), 0);
  std::filesystem::create_directory(lockDir.File("kestravo.xml.lock"));
  const std::string noDir = "cannot use the state directory ", noLog = "cannot use the log file ";
  std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{}, usage}, {{"--for"}, usage}, {{"--for", "0", "--", helper}, usage}, {{"--for", "soon", "--", helper}, usage},
      {{"--frobnicate", "--", helper}, usage}, {{"--"}, usage}, {{"--", helper, ":::"}, usage},
      {{"--file", dir.File("no-such-list")}, "cannot read the programs file"}, {{"--state-dir", "", "--", helper}, usage},
      {{"--native", "--chdir", "/", "--", helper}, "--chdir needs kestravo-run"}, {{"--", "--env", "X", helper}, "--env takes NAME=VALUE"},
      {{"--name", "x", "--", helper, ":::", helper}, "--name before '--' names one program"},
      {{"--grace", "11m", "--", helper}, "--grace takes"}, {{"--autostart", "maybe", "--", helper}, "--autostart takes true or false"}, {{"--", "--stop-signal", "TREM", helper}, "--stop-signal takes"},
      {{"--native", "--stop-signal", "INT", "--", helper}, "--stop-signal needs kestravo-run"},
      {{"--", "no-such-program-here", "x"}, "cannot run no-such-program-here: No such file or directory"},
      {{"--", plain}, "cannot run " + plain + ": Permission denied"},
      {{"--output-dir", linked.Path(), "--", helper}, "symbolic link"},
      {{"--state-dir", dir.File("missing"), "--", helper}, noDir + dir.File("missing") + ": No such file or directory"},
      {{"--state-dir", "plain", "--", helper}, noDir + plain + ": not a directory"},
      {{"--state-dir", shared.Path(), "--", helper}, noDir + shared.Path() + ": other users may write it"},
      {{"--state-dir", logLinked.Path(), "--", helper}, noLog + logLinked.File("kestravo.log") + ": it is a symbolic link"},
      {{"--state-dir", logFifo.Path(), "--", helper}, noLog + logFifo.File("kestravo.log") + ": not a regular file"},
      {{"--state-dir", logShared.Path(), "--", helper}, noLog + logShared.File("kestravo.log") + ": other users may write it"},
      {{"--state-dir", logTwice.Path(), "--", helper}, noLog + logTwice.File("kestravo.log") + ": it has more than one link"},
      {{"--output-dir", outTwice.Path(), "--", helper}, "more than one link"},
      {{"--state-dir", lockDir.Path(), "--", helper},
       "cannot use the state file's lock " + lockDir.File("kestravo.xml.lock") + ": not a regular file"}};
  if (root) bad.push_back({{"--state-dir", foreign.Path(), "--", helper}, noDir + foreign.Path() + ": it belongs to another user"});
  int run = 0;
  for (const auto& [args, expected] : bad) {
    pid_t pid = Start(++run, args);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitExit(pid), 2) << "run " << run;
    EXPECT_NE(FileText(Err(run)).find(expected), std::string::npos) << "run " << run << ": " << FileText(Err(run));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("kestravo.log")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("elsewhere")));
  EXPECT_EQ(FileText(dir.File("precious")), "precious\n");
}

// Programs files, INI or a command a line: each program reaches the library as kestravo-run's
// options under its name (the variables it sets in a file of their own), and runs in its
// directory, with its variables set and removed, as its user and group (as root), without the
// host's KESTRAVO_STATE_DIR or STATE_DIRECTORY. Values far longer than inih's lines are read
// whole, up to 64 KiB a line. A bad line or program: exit 2, named by its place.
TEST_F(HostToolTest, ProgramsFileSettingsReachTheProgramAndBadLinesAreNamed) {
  TempDir work;  // the program's directory, where nobody may write its report
  chmod(work.Path().c_str(), 0777);
  const bool root = geteuid() == 0;
  const std::string helper = HelperChild(), report = work.File("report"), list = dir.File("programs"), ok = "[a]\ncommand = /bin/true\n";
  setenv("KT_GONE", "the host's", 1);
  setenv("STATE_DIRECTORY", work.Path().c_str(), 1);  // systemd's, for the host alone
  struct Row {
    std::string text;                   // of the file; empty: the programs are given by args
    // One state-file command line a program, or the error: ":LINE: ..." in the file.
    std::vector<std::string> expected;
    std::vector<std::string> args = {};
  };
  const Row rows[] = {
      {"; two\n[web]\ncommand = " + helper + " ignore\n  " + report + "\ndirectory = " + work.Path() +
           "\nenv = KT_SET=a b ; a comment\nenv = KT_TWO=x=y\nunset-env = KT_GONE\ngrace = 10s\noutput = none\n" +
           (root ? "user = nobody\ngroup = nogroup\n" : "") +
           "[sleep]\ncommand = /bin/sleep 100\nstop-signal = QUIT\noutput-size = 1K\noutput-keep = 0\n",
       {"--chdir " + work.Path() + " --unset-env KT_GONE --env-file " + dir.File("web.env") + " " + (root ? "--user nobody --group nogroup " : "") +
            "-- " + helper + " ignore " + report,
        "--output " + dir.File("sleep.log") + " --output-size 1K --output-keep 0 --stop-signal QUIT -- /bin/sleep 100"}},
      {"", {"--output " + dir.File("one.log") + " --chdir " + work.Path() + " --env-file " + dir.File("one.env") + " -- /bin/sleep 100"},
       {"--env", "KT_SET=all", "--", "--name", "one", "--chdir", work.Path(), "/bin/sleep", "100"}},
      {"/bin/sleep 100\n--grace 2s /bin/sleep 200\n",
       {"--output " + dir.File("sleep.log") + " -- /bin/sleep 100", "--output " + dir.File("sleep-2.log") + " -- /bin/sleep 200"}},
      {ok + "foo = 1\n", {":3: unknown setting 'foo'"}},
      {"[a]\n" + ok, {":1: [a] has no command"}},
      {ok + "\n" + ok, {":4: a second program named a"}},
      {ok + "grace = 11m\n", {":3: grace takes a time"}},
      {"# c\n" + ok + "junk\n", {":4: neither NAME = VALUE nor [NAME]"}},
      {ok + "user = no-such-user\n", {root ? ":3: user no-such-user: no such user" : ":3: user no-such-user: needs the host to run as root"}},
      {"[a b]\ncommand = /bin/true\n", {":1: 'a b' is not a program's name"}},
      {"[long]\ncommand = /bin/sleep 100\n  " + std::string(300, 'a') + "\nenv = KT_LONG=" + std::string(300, 'b') + " ; a comment\n",
       {"--output " + dir.File("long.log") + " --env-file " + dir.File("long.env") + " -- /bin/sleep 100 " + std::string(300, 'a')}},
      {ok + "env = " + std::string(70000, 'x') + "\n", {":3: longer than 65536 characters"}},
      // Output files that are the library's, the host's or another program's.
      {"[kestravo]\ncommand = /bin/true\n", {":1: cannot use the output file " + dir.File("kestravo.log") + " for kestravo: it is the host's own file"}},
      {ok + "output = kestravo.xml\n", {":1: cannot use the output file " + dir.File("kestravo.xml") + " for a: it is the host's own file"}},
      {ok + "output = b.env\n[b]\ncommand = /bin/true\n", {":1: cannot use the output file " + dir.File("b.env") + " for a: it is b's settings file"}},
      {ok + "output = same\n[b]\ncommand = /bin/true\noutput = same\n",
       {":4: cannot use the output file " + dir.File("same") + " for b: it is a's output file"}},
      // A section commented out: still INI when another is left, or when settings follow it.
      {"#[web]\n[web]\ncommand = /bin/sleep 100\n", {"--output " + dir.File("web.log") + " -- /bin/sleep 100"}},
      {"; [web]\ncommand = /bin/sleep 100\n", {":2: a setting outside a [program] section"}},
      // Every error of either form names its line.
      {"/bin/sleep 100\n--grace 11m /bin/sleep 1\n", {":2: --grace takes a time"}},
      // Readiness, watchdog, limits and restart policy, as kestravo-run's options.
      {"[r]\ncommand = /bin/sleep 100\nrestart = on-failure\nsuccess-exit = 0 2\nready = fd 5\nready-timeout = 30s\n"
       "memory-max = 256M\ntasks-max = 10\ncpu-max = 50%\n[w]\ncommand = /bin/sleep 200\nready = notify\nwatchdog = 10s\nrestart = never\n",
       {"--output " + dir.File("r.log") + " --restart on-failure --success-exit 0,2 --ready-fd 5 --ready-timeout 30s --memory-max 256M "
        "--tasks-max 10 --cpu-max 50 -- /bin/sleep 100", "--output " + dir.File("w.log") + " --restart never --notify --watchdog 10s -- /bin/sleep 200"}},
      {ok + "restart = sometimes\n", {":3: restart takes always, on-failure or never"}},
      {ok + "success-exit = 0,256\n", {":3: success-exit takes exit codes"}},
      {ok + "ready = fd 1\n", {":3: ready takes notify, fd N"}},
      {ok + "ready = after soon\n", {":3: ready takes notify, fd N"}},
      {ok + "ready = after 2s\nwatchdog = 5s\n", {":4: watchdog needs ready = notify"}},
      {ok + "ready-timeout = 0s\n", {":3: ready-timeout takes a time"}},
      {ok + "memory-max = lots\n", {":3: memory-max takes a size"}},
      {ok + "tasks-max = 0\n", {":3: tasks-max takes a number"}},
      {ok + "cpu-max = 0%\n", {":3: cpu-max takes a percentage"}},
      {ok + "after = nobody\n", {":3: after names no program 'nobody'"}},
      {ok + "after = b\n[b]\ncommand = /bin/true\n[c]\ncommand = /bin/true\nafter = c\n", {":8: after makes a cycle: c -> c"}},
      {ok + "after = b\n[b]\ncommand = /bin/true\nafter = a\n", {":3: after makes a cycle: a -> b -> a"}}};
  int run = 0;
  for (const Row& row : rows) {
    std::ofstream(list) << row.text;
    pid_t tool = Start(++run, row.text.empty() ? row.args : std::vector<std::string>{"--file", list});
    ASSERT_GT(tool, 0);
    if (row.expected[0][0] == ':') {
      EXPECT_EQ(WaitExit(tool), 2) << row.text;
      EXPECT_EQ(FileText(Err(run)).rfind("kestravo-host: " + list + row.expected[0], 0), 0u) << FileText(Err(run));
      continue;
    }
    std::vector<StateEntry> state;
    auto seen = [&](const std::string& line) { return std::count_if(state.begin(), state.end(), [&](const StateEntry& e) { return e.cmdline.find(line + " kestravCmdLine") != std::string::npos; }); };
    EXPECT_TRUE(WaitFor([&] {
      state = dir.State();
      return std::all_of(row.expected.begin(), row.expected.end(), [&](const std::string& line) { return seen(line) == 1; });
    })) << dir.StateText();
    // The values are in an owner-only file, not on a command line every user can read.
    EXPECT_EQ(dir.StateText().find("KT_SET="), std::string::npos) << dir.StateText();
    if (run == 1) {
      struct stat envFile = {};
      EXPECT_EQ(stat(dir.File("web.env").c_str(), &envFile) == 0 ? envFile.st_mode & 0777 : 0, 0600u);
      Report child = WaitForReport(report);
      EXPECT_EQ(child["cwd"], work.Path());
      EXPECT_EQ(child["env_KT_SET"] + ";" + child["env_KT_TWO"], "a b;x=y");
      EXPECT_EQ(child.count("env_KT_GONE") + child.count("env_KESTRAVO_STATE_DIR") + child.count("env_STATE_DIRECTORY"), 0u)
          << child["env_KESTRAVO_STATE_DIR"] << child["env_STATE_DIRECTORY"];
      EXPECT_EQ(child["uid"] + ":" + child["gid"], root ? "65534:65534" : std::to_string(getuid()) + ":" + std::to_string(getgid()));
      if (root) {
        EXPECT_EQ(child["groups"] + " " + child["env_HOME"], "65534 " + std::string(getpwnam("nobody")->pw_dir));
      }
    }
    kill(tool, SIGTERM);
    EXPECT_EQ(WaitExit(tool), 0) << FileText(Out(run));
  }
  EXPECT_EQ(FileText(dir.File("long.env")), "KT_LONG=" + std::string(300, 'b') + std::string(1, '\0'));
}

// kestravo-run's readiness, watchdog and restart options: a bad one is named with what it takes
// (exit 125, as every setting the adapter cannot carry out, and nothing runs); good ones with no
// supervisor's channel to take them are said once, and the program runs as it would without.
TEST_F(HostToolTest, AdapterNamesBadReadinessOptionsAndRunsOnWithoutAChannel) {
  const std::string ran = dir.File("ran"), marker = std::string("kestravCmdLine:;pid=0;guid=") + CreateGuidString();
  const std::string time = "a time such as 30s, 500ms, 2m or 1h";
  const struct {
    std::vector<std::string> args;
    int exit;
    std::string said;
  } cases[] = {
      {{"--watchdog", "5s"}, 125, "kestravo-run: --watchdog needs --notify"},
      {{"--notify", "--watchdog", "5x"}, 125, "bad value '5x' for --watchdog: " + time + ", at most a day"},
      {{"--notify", "--watchdog", "0"}, 125, "bad value '0' for --watchdog: " + time},
      {{"--ready-after", "-1s"}, 125, "bad value '-1s' for --ready-after: " + time},
      {{"--ready-timeout", "2d", "--notify"}, 125, "bad value '2d' for --ready-timeout: " + time},
      {{"--ready-timeout", "3s"}, 125, "--ready-timeout needs --notify, --ready-fd or --ready-after"},
      {{"--ready-after", "5s", "--ready-timeout", "2s"}, 125, "--ready-after must be shorter than --ready-timeout"},
      {{"--ready-fd", "2"}, 125, "bad value '2' for --ready-fd: a descriptor number from 3 to 65535"},
      {{"--ready-fd", "x"}, 125, "bad value 'x' for --ready-fd"},
      {{"--restart", "sometimes"}, 125, "bad value 'sometimes' for --restart: always, on-failure or never"},
      {{"--restart", "on-failure", "--success-exit", "0,256"}, 125, "bad value '0,256' for --success-exit: exit codes from 0 to 255"},
      {{"--restart", "on-failure", "--success-exit", ","}, 125, "bad value ',' for --success-exit"},
      {{"--success-exit", "0 2"}, 125, "--success-exit needs --restart on-failure"},
      {{"--grace", "11m"}, 125, "bad value '11m' for --grace: " + time + ", at most 10m"},
      {{"--notify=yes"}, 125, "bad value 'yes' for --notify: it takes no value"},
      {{"--notify", "--watchdog", "1s", "--restart", "on-failure", "--success-exit", "0, 2", "--grace", "1.5s"}, 0,
       "kestravo-run: not run by a supervisor: readiness, status and settings are not passed on\n"},
      {{"--ready-after", "1ms", "--ready-timeout", "1m", "--restart", "never", "--", "touch", ran + marker}, 0,
       "kestravo-run: the supervisor has no notify channel for this program"},
  };
  int run = 20;
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    if (args.back().find(marker) == std::string::npos) args.insert(args.end(), {"--", "touch", ran});
    std::filesystem::remove(ran);
    EXPECT_EQ(WaitExit(Start(++run, args, Adapter())), c.exit) << "run " << run;
    const std::string err = FileText(Err(run));
    EXPECT_EQ(CountMatches(err, Quote(c.said)), 1u) << "run " << run << ": " << err;
    EXPECT_EQ(std::filesystem::exists(ran), c.exit == 0) << "run " << run;
  }
}

// kestravo-run --output: the program's output and the adapter's notes, in owner-only files
// rotated at the size given with the number of old ones given, each cut after a whole line; a
// symbolic link is refused and not followed. The adapter ends as its program did, and takes what
// the program left in its group along. Each tool names its version.
TEST_F(HostToolTest, AdapterWritesOutputToRotatedOwnerOnlyFilesAndEndsAsItsProgram) {
  int versionRun = 10;
  for (const std::string& tool : {Tool(), Adapter(), std::string(KESTRAVO_WAIT_STOP)}) {
    EXPECT_EQ(WaitExit(Start(++versionRun, {"--version"}, tool)), 0) << tool;
    EXPECT_EQ(FileText(Out(versionRun)), std::filesystem::path(tool).filename().string() + " " KESTRAVO_VERSION "\n");
  }
  const std::string out = dir.File("out.log");
  pid_t pid = Start(1, {"--output", out, "--output-size", "1K", "--output-keep", "2", "--", "sh", "-c",
                        "i=0; while [ $i -lt 300 ]; do i=$((i+1)); echo line $i; done; echo oops >&2; exit 3"}, Adapter());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitExit(pid), 3);
  std::string all;
  for (const std::string& name : {out + ".2", out + ".1", out}) {
    struct stat st = {};
    ASSERT_EQ(stat(name.c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    EXPECT_LE(st.st_size, 1024) << name;
    std::string text = FileText(name);
    EXPECT_EQ(text.back(), '\n') << name;
    all += text;
  }
  EXPECT_FALSE(std::filesystem::exists(out + ".3"));
  EXPECT_EQ(CountMatches(all, "\nline 300\noops\n[-0-9]+ [0-9:.]+ kestravo-run: sh exited with code 3 after [0-9.]+ s\n$"), 1u) << all;
  // Whole lines, none lost within the files kept: consecutive up to the last.
  std::regex number(R"((^|\n)line (\d+)(?=\n))");
  std::vector<int> numbers;
  for (auto it = std::sregex_iterator(all.begin(), all.end(), number); it != std::sregex_iterator(); ++it)
    numbers.push_back(std::stoi((*it)[2]));
  ASSERT_GT(numbers.size(), 200u) << all;
  for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << all;

  // A rotation that cannot be done (the old file's name taken by a directory) is noted once, and
  // the output goes on in the file, the adapter neither spinning nor losing a line.
  const std::string stuck = dir.File("stuck.log");
  std::filesystem::create_directory(stuck + ".1");
  pid = Start(5, {"--output", stuck, "--output-size", "1K", "--output-keep", "1", "--", "sh", "-c",
                  "i=0; while [ $i -lt 300 ]; do i=$((i+1)); echo line $i; done; exit 3"}, Adapter());
  EXPECT_EQ(WaitExit(pid), 3);
  const std::string stuckText = FileText(stuck);
  EXPECT_EQ(CountMatches(stuckText, "kestravo-run: cannot rotate " + Quote(stuck) + ": Is a directory; the output goes on in it\n"), 1u) << stuckText;
  EXPECT_EQ(CountMatches(stuckText, "(^|\n)line [0-9]+(?=\n)"), 300u) << stuckText;
  EXPECT_EQ(CountMatches(stuckText, "\nline 300\n[-0-9]+ [0-9:.]+ kestravo-run: sh exited with code 3"), 1u) << stuckText;

  std::filesystem::create_symlink(dir.File("target"), dir.File("link.log"));
  pid = Start(2, {"--output", dir.File("link.log"), "--", "true"}, Adapter());
  EXPECT_EQ(WaitExit(pid), 125);
  EXPECT_NE(FileText(Err(2)).find("symbolic link"), std::string::npos) << FileText(Err(2));
  EXPECT_FALSE(std::filesystem::exists(dir.File("target")));
  // A setting it cannot carry out is its own failure, noted where the program's output goes.
  EXPECT_EQ(WaitExit(Start(3, {"--output", "own.log", "--chdir", dir.File("missing"), "--", "true"}, Adapter())), 125);
  EXPECT_EQ(CountMatches(FileText(dir.File("own.log")), "kestravo-run: cannot change to the directory " + Quote(dir.File("missing"))), 1u);
  // So is a limit with a bad value (their cgroup side: Process.LimitsUnderTheAdapterHoldOrAreRefused).
  const std::pair<const char*, const char*> badLimits[] = {{"--memory-max", "0"},  {"--memory-max", "12Q"}, {"--memory-max", "-1M"},
                                                           {"--tasks-max", "0"},   {"--tasks-max", "3x"},   {"--cpu-max", "0%"},
                                                           {"--cpu-max", "100001"}, {"--cpu-max", "1.5"}};
  int limitRun = 20;
  for (const auto& [option, value] : badLimits) {
    EXPECT_EQ(WaitExit(Start(++limitRun, {option, value, "--", "true"}, Adapter())), 125) << option << " " << value;
    EXPECT_NE(FileText(Err(limitRun)).find(std::string("bad value '") + value + "' for " + option), std::string::npos) << FileText(Err(limitRun));
  }

  // As root, started from a terminal: the program run as another user leads a session of its own
  // with no controlling terminal (root's would let it type into root's shell), has none of root's
  // session variables, and enters its directory with that user's rights, so one below a root-only
  // directory is out of its reach.
  if (geteuid() == 0) {
    TempDir reachable;  // where nobody may write its report
    chmod(reachable.Path().c_str(), 0777);
    const std::string report = reachable.File("user.report");
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
    const std::string side = ptsname(terminal);
    std::vector<std::string> args = {Adapter(), "--output", dir.File("user.log"), "--user", "nobody", "--chdir", reachable.Path(),
                                     "--", HelperChild(), "exit", report, "0"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    setenv("XDG_RUNTIME_DIR", "/run/user/0", 1);  // root's, not the program's
    pid = fork();
    if (pid == 0) {
      // A session whose controlling terminal is the pseudo-terminal, as a login shell's.
      const int fd = setsid() < 0 ? -1 : open(side.c_str(), O_RDWR);
      if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0 || dup2(fd, STDIN_FILENO) < 0) _exit(99);
      execv(argv[0], argv.data());
      _exit(98);
    }
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(WaitExit(pid), 0) << FileText(dir.File("user.log"));
    struct stat userLog = {};
    EXPECT_EQ(stat(dir.File("user.log").c_str(), &userLog), 0);
    EXPECT_EQ(std::to_string(userLog.st_uid) + " " + std::to_string(userLog.st_mode & 0777), "65534 384");  // 0600
    Report program = WaitForReport(report);
    EXPECT_EQ(program["uid"], "65534");
    EXPECT_EQ(program.count("env_XDG_RUNTIME_DIR"), 0u) << program["env_XDG_RUNTIME_DIR"];
    EXPECT_EQ(program["session_leader"] + " " + program["ctty"], "1 0");
    EXPECT_EQ(program["cwd"], reachable.Path());
    close(terminal);

    TempDir closed;  // root's alone
    const std::string inner = closed.File("inner");
    std::filesystem::create_directory(inner);
    chmod(closed.Path().c_str(), 0700);
    chmod(inner.c_str(), 0755);
    pid = Start(6, {"--output", dir.File("closed.log"), "--user", "nobody", "--chdir", inner, "--", HelperChild(), "exit",
                    reachable.File("closed.report"), "0"}, Adapter());
    EXPECT_EQ(WaitExit(pid), 125);
    EXPECT_EQ(CountMatches(FileText(dir.File("closed.log")), "kestravo-run: cannot change to the directory " + Quote(inner) + ": Permission denied"), 1u)
        << FileText(dir.File("closed.log"));
    EXPECT_FALSE(std::filesystem::exists(reachable.File("closed.report")));

    // Given no directory, the program starts in its user's home, else in "/": never in ours.
    for (const char* user : {"daemon", "nobody"}) {
      const passwd* pw = getpwnam(user);
      if (pw == nullptr) continue;
      const std::string home = std::filesystem::is_directory(pw->pw_dir) ? pw->pw_dir : "/";
      const std::string homeReport = reachable.File(std::string(user) + ".report");
      const std::string log = dir.File(std::string(user) + ".log");  // each user's own
      pid = Start(7, {"--output", log, "--user", user, "--", HelperChild(), "exit", homeReport, "0"}, Adapter());
      EXPECT_EQ(WaitExit(pid), 0) << FileText(log);
      EXPECT_EQ(WaitForReport(homeReport)["cwd"], home) << user;
    }
  }

  pid = Start(4, {"--", "sh", "-c", "sleep 1000 & echo $! > left; kill -USR2 $$"}, Adapter());
  EXPECT_EQ(WaitExit(pid), 256 + SIGUSR2);
  const pid_t left = std::stoi("0" + FileText(dir.File("left")));
  EXPECT_TRUE(left > 0 && WaitFor([&] { return !ProcessAlive(left); })) << left;
  if (left > 0) kill(left, SIGKILL);
}

// Milliseconds from the first line matching `from` to the first matching `to`, by the times the
// host printed on them; -1 when either is missing.
double LineGapMs(const std::string& out, const std::string& from, const std::string& to) {
  std::smatch a, b;
  const std::string stamp = R"((\d\d):(\d\d):(\d\d)\.(\d{3})  (?:.*))";
  if (!std::regex_search(out, a, std::regex(stamp + from)) || !std::regex_search(out, b, std::regex(stamp + to))) return -1;
  auto ms = [](const std::smatch& m) { return ((std::stod(m[1]) * 60 + std::stod(m[2])) * 60 + std::stod(m[3])) * 1000 + std::stod(m[4]); };
  return std::fmod(ms(b) - ms(a) + 86400000, 86400000);
}

// A program that fails at once: its start, how it ended and its restarts are shown in order, its
// output's last lines (of this run: not those already in the file) once however often it fails;
// a program given its own stop signal gets it at the stop. The stops run side by side: one that
// takes 2 s to honour its signal and one killed after its 3 s grace are both gone well before
// the 5 s that one after the other would take, and each is shown as it ended. As root, a program
// run as another user with no stop signal waits on the stop event itself and ends on it.
TEST_F(HostToolTest, ShowsHowAProgramEndedAndWhatItSaidAndStopsWithItsSignal) {
  std::ofstream(dir.File("sh.log")) << "from an earlier run\n";
  std::ofstream(dir.File("secret")) << "root's secret\n";
  chmod(dir.File("secret").c_str(), 0600);
  const bool root = geteuid() == 0;
  TempDir reachable;  // where nobody may write its report
  chmod(reachable.Path().c_str(), 0777);
  std::vector<std::string> asUser = {":::", "--user", "nobody", "--stop-signal", "none", "--grace", "3s", HelperChild(), "stop",
                                     reachable.File("user")};
  // Long enough for two ends even where the adapter takes a second to start (ThreadSanitizer).
  std::vector<std::string> args = {"--for", "4", "--", "sh", "-c", "echo starting; exit 3", ":::", "--stop-signal", "INT", "--grace", "8s",
                         "sh", "-c", "trap 'sleep 2; echo got INT; exit 0' INT; echo up; while :; do sleep 0.05; done",
                         ":::", "--grace", "3s", "sh", "-c", "trap '' TERM; while :; do sleep 0.05; done",
                         ":::", "sh", "-c", "ln -sf " + dir.File("secret") + " " + dir.File("sh-4.log") + "; exit 4",
                         ":::", "sh", "-c", "rm -f " + dir.File("sh-5.log") + "; mkfifo " + dir.File("sh-5.log") + "; exit 5"};
  if (root) args.insert(args.end(), asUser.begin(), asUser.end());
  pid_t tool = Start(1, args);
  ASSERT_GT(tool, 0);
  EXPECT_EQ(WaitExit(tool, std::chrono::seconds(20)), 0) << FileText(Out(1));
  std::string out = FileText(Out(1));
  EXPECT_TRUE(!root || std::filesystem::exists(reachable.File("user.stopped"))) << out;
  EXPECT_EQ(CountMatches(out, R"(hpid 1  pid \d+  ended on SIGINT after 2\d{3}\.\d ms\n)"), 1u) << out;
  EXPECT_EQ(CountMatches(out, R"(hpid 2  pid \d+  killed: still running 3\.00 s after its stop event\n)"), 1u) << out;
  EXPECT_EQ(CountMatches(out, R"(killed after the grace: 1,)"), 1u) << out;
  const double stopMs = std::max(LineGapMs(out, "stopping: ", "killed: "), LineGapMs(out, "stopping: ", "ended on SIGINT"));
  EXPECT_TRUE(stopMs >= 2900 && stopMs < 4500) << stopMs << "\n" << out;
  EXPECT_EQ(CountMatches(out, "output of sh: " + Quote(dir.File("sh.log")) + "\n"), 1u) << out;
  EXPECT_EQ(CountMatches(out, R"(hpid 0  pid \d+  exited with code 3 after [0-9.]+ s\n)"),
            CountMatches(out, R"(hpid 0  pid \d+  exited)")) << out;
  EXPECT_GE(CountMatches(out, R"(hpid 0  pid \d+  exited with code 3)"), 2u) << out;
  EXPECT_EQ(CountMatches(out, "ended soon after its start"), 3u) << out;
  EXPECT_EQ(CountMatches(out, "its output file " + Quote(dir.File("sh-4.log")) + " is not read: it is a symbolic link"), 1u) << out;
  EXPECT_EQ(CountMatches(out, "its output file " + Quote(dir.File("sh-5.log")) + " is not read: not a regular file"), 1u) << out;
  EXPECT_EQ(CountMatches(out, "root's secret"), 0u) << out;
  // Dead before the host's first look at it or not: started once, then each process ends and is
  // restarted once, under its own pid, each restart timed from the end of the one before.
  std::regex event(R"(hpid 0  pid (\d+)  (started|exited|restarted, [0-9.]+ ms after pid (\d+) ended))");
  std::string pid, next = "started";
  for (auto it = std::sregex_iterator(out.begin(), out.end(), event); it != std::sregex_iterator(); ++it) {
    const std::string what = (*it)[2].str().substr(0, 7);
    EXPECT_EQ(what, next) << out;
    EXPECT_EQ(what == "started" ? "" : what == "exited" ? (*it)[1].str() : (*it)[3].str(), pid) << out;
    pid = (*it)[1].str();
    next = what == "exited" ? "restart" : "exited";
  }
  EXPECT_EQ(CountMatches(out, root ? R"(starts +6 \(adopted: 0\))" : R"(starts +5 \(adopted: 0\))"), 1u) << out;
  EXPECT_EQ(CountMatches(out, "\n    \\| starting\n"), 1u) << out;
  EXPECT_EQ(CountMatches(out, "earlier run"), 0u) << out;
  EXPECT_EQ(CountMatches(FileText(dir.File("sh-2.log")), "^up\n.*stop event: sending SIGINT.*\ngot INT\n"), 1u)
      << FileText(dir.File("sh-2.log"));

  // The output file of a program run as another user is that user's: a host started again takes
  // it, and shows its last lines.
  for (int run = 2; run <= 3 && geteuid() == 0; ++run) {
    tool = Start(run, {"--for", "1", "--", "--user", "nobody", "sh", "-c", "echo said by nobody; exit 3"});
    EXPECT_EQ(WaitExit(tool, std::chrono::seconds(20)), 0) << FileText(Err(run));
    EXPECT_GE(CountMatches(FileText(Out(run)), "\n    \\| said by nobody\n"), 1u) << FileText(Out(run));
  }
}

// Two children under kestravo-run: one gets arguments that need quoting, exactly and without the
// library's marker, and its identity through the environment; one crashes every 300 ms. SIGTERM
// stops the first gracefully, the summary adds up the lines, and the library's complaint about
// a state file that does not exist yet goes to the log, not the terminal.
TEST_F(HostToolTest, SupervisesRestartsAndStopsOnSigterm) {
  const std::string report = dir.File("stop.report");
  const std::vector<std::string> args = {"a b", "c\"d", "e\\", "", "f\\\\\"g", "\th"};
  std::vector<std::string> command = {"--", HelperChild(), "stop", report};
  command.insert(command.end(), args.begin(), args.end());
  command.insert(command.end(), {":::", HelperChild(), "crash", "-", "300"});
  pid_t tool = Start(1, command);
  ASSERT_GT(tool, 0);

  Report child = WaitForReport(report);
  ASSERT_FALSE(child.empty());
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(child["arg" + std::to_string(i + 3)], args[i]);
  EXPECT_EQ(child["argc"], std::to_string(args.size() + 3));
  EXPECT_EQ(child["hpid"], "0");
  ASSERT_TRUE(WaitOutput(1, R"(hpid 1  pid \d+  restarted.*\n(.*\n)*.*hpid 1  pid \d+  restarted)"))
      << FileText(Out(1));

  kill(tool, SIGTERM);
  EXPECT_EQ(WaitExit(tool), 0);
  std::string out = FileText(Out(1));
  EXPECT_EQ(CountMatches(out, "SIGTERM received"), 1u) << out;
  EXPECT_EQ(CountMatches(out, R"(hpid 0  pid \d+  ended on SIGTERM)"), 1u) << out;
  EXPECT_FALSE(ProcessAlive(std::stoi(child["pid"])));
  EXPECT_EQ(CountMatches(out, "library log: " + Quote(dir.File("kestravo.log"))), 1u) << out;
  EXPECT_EQ(FileText(Err(1)), "");
  EXPECT_EQ(LinesWith(dir.Log(), {"LoadXml", "load config fail"}), 1u);
  std::smatch restarts;
  ASSERT_TRUE(std::regex_search(out, restarts, std::regex(R"(restarts +(\d+) \(failed attempts: 0\))")));
  EXPECT_EQ(std::stoul(restarts[1]), CountMatches(out, "  restarted, ")) << out;
  EXPECT_EQ(CountMatches(out, R"(starts +2 \(adopted: 0\))"), 1u) << out;
  EXPECT_EQ(CountMatches(out, R"(exit to restart  median [0-9.]+ ms, maximum [0-9.]+ ms)"), 1u) << out;
}

// An ordinary program under kestravo-run: it sees only its own arguments. A run killed with
// SIGKILL leaves it running; the next run with the same command (from a command list) adopts the
// adapter instead of starting a second one, and stops the program with SIGTERM. A run started
// while the first lives is refused.
TEST_F(HostToolTest, RunsOrdinaryProgramsUnchangedAndAdoptsThemAfterAKilledRun) {
  pid_t first = Start(1, {"--", "/bin/sleep", "1000"});
  ASSERT_GT(first, 0);
  std::string adapter;
  ASSERT_TRUE(WaitOutput(1, R"(hpid 0  pid (\d+)  started: /bin/sleep 1000)", &adapter)) << FileText(Out(1));
  pid_t program = ProgramOf(adapter);
  ASSERT_GT(program, 0);
  // Read once the adapter's child has replaced itself with the program.
  const std::string own("/bin/sleep\0" "1000\0", 16), cmdline = "/proc/" + std::to_string(program) + "/cmdline";
  EXPECT_TRUE(WaitFor([&] { return FileText(cmdline) == own; })) << FileText(cmdline);
  // A second host of the same state file, while the first lives: refused, naming the first.
  pid_t busy = Start(3, {"--", "/bin/sleep", "1000"});
  EXPECT_EQ(WaitExit(busy), 2);
  EXPECT_EQ(CountMatches(FileText(Err(3)), "another running host \\(pid " + std::to_string(first) + "\\)"), 1u) << FileText(Err(3));
  kill(first, SIGKILL);
  ASSERT_EQ(WaitExit(first), 256 + SIGKILL);

  std::ofstream(dir.File("list")) << "# the same command\n\n  /bin/sleep 1000\n";
  pid_t second = Start(2, {"--for", "1", "--file", dir.File("list")});
  ASSERT_GT(second, 0);
  EXPECT_EQ(WaitExit(second), 0);
  std::string out = FileText(Out(2));
  EXPECT_EQ(CountMatches(out, "hpid 0  pid " + adapter + "  adopted \\(one of this run's commands"), 1u) << out;
  EXPECT_EQ(CountMatches(out, "control: kestravo-host status"), 1u) << out;  // the killed run's socket replaced
  EXPECT_EQ(CountMatches(out, "started: "), 0u) << out;
  EXPECT_EQ(CountMatches(out, "hpid 0  pid " + adapter + "  ended on SIGTERM"), 1u) << out;
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(program); }));
}

// A program that waits on its stop event itself finds it under kestravo-run through the
// environment, although the adapter took the event first: the stop signal chosen here is one
// the program ignores, so only the event can end it before it is killed.
TEST_F(HostToolTest, ProtocolAwareProgramUnderTheAdapterStillGetsItsStopEvent) {
  const std::string report = dir.File("stop.report");
  pid_t tool = Start(1, {"--native", "--for", "1", "--", Adapter(), "--stop-signal", std::to_string(SIGWINCH),
                         "--", HelperChild(), "stop", report});
  ASSERT_GT(tool, 0);
  EXPECT_EQ(WaitExit(tool), 0);
  std::string out = FileText(Out(1));
  EXPECT_EQ(CountMatches(out, R"(hpid 0  pid \d+  stopped on its stop event)"), 1u) << out;
  EXPECT_EQ(WaitForReport(report)["hpid"], "0");
}

// One program's trouble stays its own. One that cannot run is listed failed with the reason while
// the others run, and is tried again at a reload; one that dies at once is shown waiting with its
// next try, and start and restart of it answer 1 with the cause and its last lines (start even
// during the back-off); autostart = false waits for start NAME. The next host, after a SIGKILL,
// gives an adopted program back its uptime and restarts, and leaves one stopped by hand stopped.
TEST_F(HostToolTest, OneProgramsTroubleStaysItsOwnAndItsRecordOutlivesTheHost) {
  const std::string list = dir.File("list"), ticker = dir.File("kv-ticker");
  std::ofstream(list) << "[good]\ncommand = /bin/sleep 1000\n[bad]\ncommand = " << ticker
                      << "\n[broken]\ncommand = sh -c \"echo bad config; exit 3\"\n[lazy]\ncommand = /bin/sleep 999\nautostart = false\n";
  pid_t host = Start(1, {"--file", list});
  Programs first = StatusWhen([](Programs& p) { return RunningPid(p, "good") && p["broken"]["restarts"] >= 1; });
  ASSERT_EQ(first.size(), 4u) << FileText(Out(1)) << FileText(Err(1));
  EXPECT_EQ(first["bad"]["state"].get<std::string>() + ": " + first["bad"]["last_exit"].get<std::string>(),
            "failed: cannot run " + ticker + ": No such file or directory");
  EXPECT_EQ(first["lazy"]["state"], "stopped");
  const int64_t good = RunningPid(first, "good");
  kill(ProgramOf(std::to_string(good)), SIGKILL);  // restarted by the library: a restart to remember
  Programs again = StatusWhen([&](Programs& p) { return RunningPid(p, "good") && RunningPid(p, "good") != good; });
  const int64_t goodAgain = RunningPid(again, "good");
  const auto goodSince = std::chrono::steady_clock::now();

  // Under ThreadSanitizer the adapter alone may take a second to start, and then no death is young.
  std::smatch ran;
  const std::string brokenEnd = first["broken"]["last_exit"].get<std::string>();
  if (std::regex_search(brokenEnd, ran, std::regex("after ([0-9.]+) s")) && std::stod(ran[1]) < 1.0) {
    const std::string young = "broken ended soon after its start \\(exited with code 3 after [0-9.]+ s\\)(.*\n)*    \\| bad config\n";
    EXPECT_EQ(Ask({"restart", "broken"}), 1);
    EXPECT_EQ(CountMatches(FileText(Err(run_)), young), 1u) << FileText(Err(run_));
    EXPECT_TRUE(WaitFor([&] {
      return Ask({"status"}) == 3 && CountMatches(FileText(Out(run_)), "\nbroken .* waiting to restart .* after [0-9.]+ s; next try in [1-9][0-9]*\\.[0-9] s\n") == 1;
    })) << FileText(Out(run_));
    EXPECT_EQ(Ask({"start", "broken"}), 1);
    EXPECT_EQ(CountMatches(FileText(Err(run_)), young), 1u) << FileText(Err(run_));
  }
  EXPECT_EQ(Ask({"start", "lazy"}), 0);
  EXPECT_EQ(CountMatches(FileText(Out(run_)), "^started lazy \\(hpid \\d+, pid \\d+\\): it runs\n$"), 1u) << FileText(Out(run_));
  EXPECT_EQ(Ask({"start", "bad"}), 1);
  std::ofstream(ticker) << "#!/bin/sh\nexec sleep 1000\n";
  chmod(ticker.c_str(), 0755);
  EXPECT_EQ(Ask({"reload"}), 0);
  EXPECT_EQ(CountMatches(FileText(Out(run_)), "^reloaded: started bad; unchanged [a-z, ]+\n$"), 1u) << FileText(Out(run_));
  EXPECT_EQ(Ask({"stop", "lazy"}), 0);

  kill(host, SIGKILL);
  ASSERT_EQ(WaitExit(host), 256 + SIGKILL);
  host = Start(2, {"--file", list});
  Programs after = StatusWhen([](Programs& p) { return RunningPid(p, "good") && RunningPid(p, "bad"); });
  const double since = std::chrono::duration<double>(std::chrono::steady_clock::now() - goodSince).count();
  EXPECT_EQ(RunningPid(after, "good"), goodAgain) << FileText(Out(2));
  EXPECT_EQ(after["good"]["restarts"], 1) << after["good"];
  EXPECT_GE(after["good"]["uptime_seconds"].get<double>(), since - 0.5) << since;
  EXPECT_EQ(after["lazy"]["state"], "stopped") << FileText(Out(2));
  struct stat record = {};
  EXPECT_EQ(stat(dir.File("kestravo-host.state").c_str(), &record) == 0 ? record.st_mode & 0777 : 0, 0600u);
  kill(host, SIGTERM);
  EXPECT_EQ(WaitExit(host), 0) << FileText(Out(2));
}

// The state file, the output and the log go to --state-dir (a relative one taken from the
// working directory), else to the first entry of systemd's STATE_DIRECTORY, else, made owner-only,
// to /var/lib/kestravo as root (here a private mount over /var/lib) and to
// $XDG_STATE_HOME/kestravo or ~/.local/state/kestravo as another user; never beside the program.
// One that user cannot make or write is refused. The log goes to standard error when that is the
// journal, and to the state directory when the working directory's log4cxx.properties is another
// user's.
TEST_F(HostToolTest, StateDirectoryAndLogFromTheOptionSystemdOrTheUser) {
  unsetenv("KESTRAVO_STATE_DIR");
  TempDir option, systemd, varLib;
  const std::string both = systemd.Path() + ":" + option.Path(), home = dir.File("home"), relative = dir.File("relative");
  std::filesystem::create_directory(relative);
  std::filesystem::create_directory(home);
  const bool root = geteuid() == 0;
  // The other user: nobody, who needs to reach the program and own the home directory.
  ASSERT_TRUE(!root || (chown(home.c_str(), 65534, 65534) == 0 && chmod(dir.Path().c_str(), 0755) == 0));
  const std::vector<std::string> asRoot = {"-m", "sh", "-c", "mount --bind \"$0\" /var/lib && exec \"$@\"", varLib.Path()},
                                  asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  struct Case {
    std::vector<std::string> args;
    std::string shown, real;  // the state directory as the host names it, and where it is seen from here
    const char* wrapper;      // a program that runs the host as root in its own mounts, or as nobody
    bool systemd, journal, made;
    std::string xdg, refused;  // refused: the reason of an exit with code 2
    bool planted = false;      // the working directory holds another user's log4cxx.properties
  };
  const std::string locked = dir.File("locked");  // root's: nobody cannot make anything in it
  std::filesystem::create_directory(locked);
  const Case cases[] = {{{"--state-dir", option.Path()}, option.Path(), option.Path(), nullptr, true, false, false, "", ""},
                        {{"--state-dir", "relative"}, relative, relative, nullptr, true, false, false, "", ""},
                        {{}, systemd.Path(), systemd.Path(), nullptr, true, false, false, "", ""},
                        {{}, systemd.Path(), systemd.Path(), nullptr, true, true, false, "", ""},
                        {{}, "/var/lib/kestravo", varLib.File("kestravo"), "/usr/bin/unshare", false, false, true, "", ""},
                        {{}, home + "/.local/state/kestravo", home + "/.local/state/kestravo", "/usr/bin/setpriv", false, false, true, "", ""},
                        {{}, home + "/xdg/kestravo", home + "/xdg/kestravo", "/usr/bin/setpriv", false, false, true, home + "/xdg", ""},
                        {{}, "", "", "/usr/bin/setpriv", false, false, true, locked, locked + "/kestravo: cannot be made: " + locked + "/kestravo: Permission denied"},
                        {{"--state-dir", option.Path()}, "", "", "/usr/bin/setpriv", false, false, false, "", option.Path() + ": Permission denied"},
                        {{"--state-dir", option.Path()}, option.Path(), option.Path(), nullptr, false, false, false, "", "", true}};
  setenv("HOME", home.c_str(), 1);
  int run = 0;
  for (const Case& c : cases) {
    if ((c.wrapper != nullptr || c.planted) && !root) continue;  // all need root
    if (c.planted) {
      std::ofstream(dir.File("log4cxx.properties")) << "log4j.rootLogger=ALL, F\nlog4j.appender.F=org.apache.log4j.FileAppender\n"
                                                       "log4j.appender.F.File=" << dir.File("planted.log") << "\n";
      ASSERT_EQ(chown(dir.File("log4cxx.properties").c_str(), 65534, 65534), 0);
    }
    // The journal is known by the device and inode of standard error; Start keeps the file's.
    struct stat err = {};
    std::ofstream(Err(++run)).close();
    stat(Err(run).c_str(), &err);
    const std::string journal = std::to_string(err.st_dev) + ":" + std::to_string(err.st_ino);
    c.journal ? setenv("JOURNAL_STREAM", journal.c_str(), 1) : unsetenv("JOURNAL_STREAM");
    c.systemd ? setenv("STATE_DIRECTORY", both.c_str(), 1) : unsetenv("STATE_DIRECTORY");
    c.xdg.empty() ? unsetenv("XDG_STATE_HOME") : setenv("XDG_STATE_HOME", c.xdg.c_str(), 1);
    std::vector<std::string> args = c.wrapper == nullptr ? std::vector<std::string>{}
                                    : std::string(c.wrapper) == "/usr/bin/unshare" ? asRoot : asNobody;
    if (c.wrapper != nullptr) args.push_back(Tool());
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"--for", "0.5", "--", "/bin/sleep", "100"});
    pid_t tool = Start(run, args, c.wrapper != nullptr ? c.wrapper : "");
    ASSERT_GT(tool, 0);
    EXPECT_EQ(WaitExit(tool), c.refused.empty() ? 0 : 2) << "run " << run;
    std::string out = FileText(Out(run)), errText = FileText(Err(run));
    if (!c.refused.empty()) {
      EXPECT_EQ(errText, "kestravo-host: cannot use the state directory " + c.refused + "\n");
      continue;
    }
    const std::string log = c.journal ? errText : FileText(c.real + "/kestravo.log");
    EXPECT_EQ(CountMatches(out, "state file " + Quote(c.shown + "/kestravo.xml")), 1u) << out;
    EXPECT_EQ(CountMatches(out, "started: /bin/sleep 100"), 1u) << out;
    EXPECT_TRUE(std::filesystem::exists(c.real + "/kestravo.xml")) << c.real;
    EXPECT_EQ(CountMatches(out, "output of /bin/sleep: " + Quote(c.shown + "/sleep.log")), 1u) << out;
    EXPECT_EQ(LinesWith(log, {"LoadXml", "load kestravo xml file"}), 1u) << log;
    EXPECT_EQ(CountMatches(out, c.journal ? "library log: the journal" : "library log: " + Quote(c.shown)), 1u) << out;
    if (!c.journal) { EXPECT_EQ(errText, ""); }
    struct stat made = {};
    EXPECT_TRUE(!c.made || (stat(c.real.c_str(), &made) == 0 && (made.st_mode & 07777) == 0700)) << c.real;
    std::filesystem::remove(c.real + "/kestravo.log");
    if (c.planted) {
      EXPECT_EQ(CountMatches(out, "log4cxx.properties is not used: owned by uid 65534"), 1u) << out;
      EXPECT_FALSE(std::filesystem::exists(dir.File("planted.log")));
      std::filesystem::remove(dir.File("log4cxx.properties"));
    }
  }
  unsetenv("STATE_DIRECTORY");
  unsetenv("JOURNAL_STREAM");
  unsetenv("XDG_STATE_HOME");
  EXPECT_FALSE(std::filesystem::exists(dir.File("kestravo.xml")));
}
}  // namespace
}  // namespace kestravo::test
