// A running kestravo-host asked by its clients: status, control of one program, its output,
// who may ask, and reloads.
#include "host_tool_fixture.h"

namespace kestravo::test {
namespace {

// A socket connected to, or listening at, path, as whoever runs this; -1 on failure.
int SocketAt(const std::string& path, bool listening) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  memcpy(address.sun_path, path.c_str(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool made = fd >= 0 && (listening ? bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, 4) == 0
                                          : connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
  if (!made) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// A running host lists its programs (a table, and JSON; one that keeps failing with its restarts
// and how it last ended), restarts, stops and starts one by name while the other runs on, and
// refuses an unknown name and a reload without a list (exit 1). While a program that ignores its
// signal waits out its grace, on request and at the host's own stop, status answers and shows it
// stopping. status exits 0 only when every program it shows runs (3 otherwise, 4 for an unknown
// name) and shows the program's own pid beside kestravo-run's; signal reaches the program itself.
// Without a host, before and after, a client exits 5. A socket squatted under the host's name
// before it starts is replaced; a client believes no one but root and its own user; clients that
// say nothing hold up no other.
TEST_F(HostToolTest, StatusAndControlOfOneProgramOfARunningHost) {
  EXPECT_EQ(Ask({"status"}), 5);
  EXPECT_EQ(CountMatches(FileText(Err(run_)), "no host is running on the state directory " + Quote(dir.Path())), 1u);
  const int squatter = SocketAt(dir.File("kestravo-host.sock"), true);  // listens, never answers
  ASSERT_GE(squatter, 0);
  pid_t host = Start(1, {"--", "/bin/sleep", "1000", ":::", "sh", "-c", "trap 'echo got USR1' USR1; while :; do sleep 0.1; done", ":::", "false", ":::",
                         "--name", "deaf", "--grace", "3s", "sh", "-c", "trap '' TERM; while :; do sleep 0.1; done"});
  ASSERT_GT(host, 0);
  EXPECT_TRUE(WaitOutput(1, "control: kestravo-host status")) << FileText(Out(1));
  close(squatter);
  // The program's own pid is known a moment after kestravo-run's (null until kestravo-run has
  // forked it); a running pid comes with its uptime in the same answer.
  Programs first = StatusWhen([](Programs& p) {
    return RunningPid(p, "sleep") && RunningPid(p, "sh") && RunningPid(p, "deaf") && p["sleep"]["program_pid"].is_number() &&
           p["sh"]["program_pid"].is_number();
  });
  ASSERT_EQ(first.size(), 4u) << FileText(Out(1));
  for (const char* name : {"sleep", "sh", "deaf"}) EXPECT_TRUE(first[name]["uptime_seconds"].is_number()) << first[name];
  const int64_t sleepPid = RunningPid(first, "sleep"), shPid = RunningPid(first, "sh");
  EXPECT_EQ(first["sleep"]["hpid"], 0);
  EXPECT_EQ(first["sh"]["hpid"], 1);
  EXPECT_EQ(first["sh"]["restarts"], 0);
  EXPECT_TRUE(first["sh"]["last_exit"].is_null() && first["sh"]["uptime_seconds"].get<double>() >= 0) << first["sh"];
  struct stat socketFile = {};
  EXPECT_EQ(stat(dir.File("kestravo-host.sock").c_str(), &socketFile) == 0 ? socketFile.st_mode & 0777 : 0, 0600u);
  // Clients that connect and say nothing hold up no other, each of them for its 2 s or all in a row.
  std::vector<int> silent;
  for (int i = 0; i < 8; ++i) silent.push_back(SocketAt(dir.File("kestravo-host.sock"), false));
  EXPECT_EQ(std::count(silent.begin(), silent.end(), -1), 0);
  const int all = Ask({"status"});
  EXPECT_TRUE(all == 0 || all == 3) << all;  // 0 only in the instant that false runs
  for (int fd : silent) close(fd);
  const std::string shProgram = std::to_string(ProgramOf(std::to_string(shPid)));
  EXPECT_EQ(CountMatches(FileText(Out(run_)), "^NAME +HPID +PID +PROGRAM +STATE +UPTIME +RESTARTS +LAST EXIT\ndeaf +3 .*\nfalse +2 .*\nsh +1 +" +
                                                  std::to_string(shPid) + " +" + shProgram + " +running +\\d+s +0 +-\nsleep +0 +" +
                                                  std::to_string(sleepPid) + " +\\d+ +running .*\n$"), 1u)
      << FileText(Out(run_));
  EXPECT_EQ(std::to_string(first["sh"]["program_pid"].get<int64_t>()), shProgram);
  const std::tuple<std::vector<std::string>, int, std::string> named[] = {
      {{"status", "sh", "sleep"}, 0, "^NAME .*\nsh .*\nsleep .*\n$"},
      {{"status", "sh", "nope"}, 4, "^kestravo-host: no program named nope; known: deaf, false, sh, sleep\n$"},
      {{"signal", "sh", "SIGUSR1"}, 0, "^sent SIGUSR1 to sh \\(pid " + shProgram + "\\)\n$"},
      {{"signal", "sh", "TREM"}, 1, "not a signal: 'TREM'"}, {{"signal", "sh", "65"}, 1, "not a signal"},
      {{"signal", "nope", "HUP"}, 1, "no program named nope"}, {{"signal", "sh"}, 2, "signal needs the NAME of a program and a SIGNAL"}};
  for (const auto& [args, code, shown] : named) {
    EXPECT_EQ(Ask(args), code) << args[1];
    EXPECT_EQ(CountMatches(FileText(Out(run_)) + FileText(Err(run_)), shown), 1u) << FileText(Out(run_)) << FileText(Err(run_));
  }
  // The program got it from the host, not from kestravo-run, which notes each signal it passes on.
  EXPECT_TRUE(WaitFor([&] { return CountMatches(FileText(dir.File("sh.log")), "got USR1\n") == 1; })) << FileText(dir.File("sh.log"));
  EXPECT_EQ(CountMatches(FileText(dir.File("sh.log")), "USR1"), 1u) << FileText(dir.File("sh.log"));

  EXPECT_EQ(Ask({"restart", "sleep"}), 0);
  Programs restarted = StatusWhen([&](Programs& p) { return RunningPid(p, "sleep") > 0 && RunningPid(p, "sleep") != sleepPid; });
  EXPECT_EQ(RunningPid(restarted, "sh"), shPid);
  EXPECT_FALSE(ProcessAlive(static_cast<pid_t>(sleepPid)));
  EXPECT_EQ(CountMatches(restarted["sleep"]["last_exit"].dump(), "stopped: ended on SIGTERM after"), 1u) << restarted["sleep"];

  // Killed once, then stopped and restarted by name: it starts again, its restart still counted.
  kill(ProgramOf(std::to_string(shPid)), SIGKILL);
  Programs killed = StatusWhen([&](Programs& p) { return RunningPid(p, "sh") && RunningPid(p, "sh") != shPid; });
  const int64_t shAgain = RunningPid(killed, "sh");
  EXPECT_EQ(Ask({"stop", "sh"}), 0);
  EXPECT_EQ(Ask({"signal", "sh", "HUP"}), 1);
  EXPECT_EQ(CountMatches(FileText(Err(run_)), "sh is stopped: no process to signal"), 1u) << FileText(Err(run_));
  EXPECT_EQ(Ask({"status", "sleep", "sh"}), 3);
  EXPECT_EQ(CountMatches(FileText(Out(run_)), "^NAME .*\nsleep .* running .*\nsh .* stopped .*\n$"), 1u) << FileText(Out(run_));
  Programs stopped = StatusWhen([](Programs& p) { return p.count("sh") && p["sh"]["state"] == "stopped"; });
  EXPECT_TRUE(stopped["sh"]["pid"].is_null() && stopped["sh"]["hpid"].is_null()) << stopped["sh"];
  EXPECT_FALSE(ProcessAlive(static_cast<pid_t>(shAgain)));
  EXPECT_EQ(Ask({"restart", "sh"}), 0);
  EXPECT_EQ(StatusWhen([](Programs& p) { return RunningPid(p, "sh") > 0; })["sh"]["restarts"], 1);
  EXPECT_EQ(Ask({"stop", "sleep"}), 0);
  EXPECT_EQ(Ask({"start", "sleep"}), 0);
  EXPECT_EQ(StatusWhen([](Programs& p) { return RunningPid(p, "sleep") > 0; }).size(), 4u);

  // Its stop waits out the grace; meanwhile the host answers, and refuses what would race it.
  pid_t stopping = Start(++run_, {"--state-dir", dir.Path(), "stop", "deaf"});
  const int stopRun = run_;
  Programs during = StatusWhen([](Programs& p) { return p["deaf"]["state"] == "stopping"; });
  EXPECT_EQ(during["deaf"]["pid"], RunningPid(first, "deaf"));
  EXPECT_GT(RunningPid(during, "sleep"), 0);
  EXPECT_EQ(Ask({"restart", "deaf"}), 1);
  EXPECT_EQ(CountMatches(FileText(Err(run_)), "deaf is being stopped already"), 1u) << FileText(Err(run_));
  EXPECT_EQ(WaitExit(stopping), 0);
  EXPECT_EQ(FileText(Out(stopRun)), "stopped deaf: killed: still running 3.00 s after its stop event\n");
  EXPECT_EQ(Ask({"start", "deaf"}), 0);
  Programs failing = StatusWhen([](Programs& p) { return p["false"]["restarts"] >= 2; });
  EXPECT_EQ(CountMatches(failing["false"]["last_exit"].dump(), "^\"exited with code 1 after [0-9.]+ s\"$"), 1u) << failing["false"];

  const std::tuple<std::vector<std::string>, int, std::string> refused[] = {
      {{"restart", "nope"}, 1, "no program named nope; known: deaf, false, sh, sleep"}, {{"reload"}, 1, "nothing to re-read"},
      {{"stop", "sh\x1b[2J"}, 2, "control characters"}, {{"stop"}, 2, "stop needs the NAME"}};
  for (const auto& [args, code, refusal] : refused) {
    EXPECT_EQ(Ask(args), code) << args[0];
    EXPECT_EQ(CountMatches(FileText(Err(run_)), refusal), 1u) << FileText(Err(run_));
  }
  EXPECT_EQ(WaitExit(Start(++run_, {"--version"})), 0);
  EXPECT_EQ(CountMatches(FileText(Out(run_)), "^kestravo-host \\d+\\.\\d+\\.\\d+\n$"), 1u) << FileText(Out(run_));
  ASSERT_GT(RunningPid(first = StatusWhen([](Programs& p) { return RunningPid(p, "deaf") > 0; }), "deaf"), 0);
  kill(host, SIGTERM);
  EXPECT_EQ(StatusWhen([](Programs& p) { return p["deaf"]["state"] == "stopping"; })["deaf"]["pid"], RunningPid(first, "deaf"));
  EXPECT_EQ(WaitExit(host), 0);
  EXPECT_EQ(CountMatches(FileText(Out(1)), "hpid \\d+  pid " + std::to_string(RunningPid(first, "deaf")) + "  killed: "), 1u) << FileText(Out(1));
  EXPECT_EQ(Ask({"status"}), 5);

  // Another user listening in a state directory others can reach answers "stopped" to anything:
  // the client does not ask it.
  if (geteuid() == 0) {
    TempDir shared;
    chmod(shared.Path().c_str(), 01777);
    const std::string name = shared.File("kestravo-host.sock");
    const pid_t liar = fork();
    if (liar == 0) {
      const char answer[] = "{\"code\":0,\"message\":\"stopped sh\"}";
      int fd = setgid(65534) == 0 && setuid(65534) == 0 ? SocketAt(name, true) : -1;
      for (int client; fd >= 0 && (client = accept(fd, nullptr, nullptr)) >= 0; close(client)) {
        if (write(client, answer, sizeof answer - 1) < 0) break;
      }
      _exit(1);
    }
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(name); }));
    EXPECT_EQ(WaitExit(Start(++run_, {"--state-dir", shared.Path(), "stop", "sh"})), 2);
    EXPECT_EQ(CountMatches(FileText(Err(run_)), "answers at " + Quote(name) + " runs as uid 65534, neither root nor this user"), 1u)
        << FileText(Out(run_)) << FileText(Err(run_));
    kill(liar, SIGKILL);
    WaitExit(liar);
  }

  // A program whose file is gone when it must restart: shown as exited, not as about to restart.
  std::filesystem::copy_file("/bin/sh", dir.File("doomed"));  // its marker argument is $0
  host = Start(2, {"--native", "--", dir.File("doomed"), "-c", "exec sleep 1000"});
  const int64_t doomed = RunningPid(first = StatusWhen([](Programs& p) { return RunningPid(p, "doomed") > 0; }), "doomed");
  ASSERT_GT(doomed, 0) << FileText(Out(2));  // kill(0) would end this test's own group
  std::filesystem::remove(dir.File("doomed"));
  kill(static_cast<pid_t>(doomed), SIGKILL);
  EXPECT_EQ(StatusWhen([](Programs& p) { return p["doomed"]["state"] == "exited"; }).size(), 1u) << FileText(Out(2));
  kill(host, SIGTERM);
  EXPECT_EQ(WaitExit(host), 0);

  // Readiness: "up" is starting, then ready after its 2 s, and only then does "next" (after = up)
  // start; restart answers once it is ready again. "once" (restart = never) is left exited with
  // its exit, and "mute", never ready, is stopped at its ready-timeout with that cause. At a
  // reload that changes both and at the host's stop, "next", which takes a second to end, has
  // ended before "up" gets its signal; after the reload, "next" waits for "up" to be ready again.
  auto readyList = [](const std::string& grace) {
    return "[up]\ncommand = /bin/sleep 1000\nready = after 2s\n" + grace +
           "[next]\ncommand = sh -c \"trap 'sleep 1; exit 0' TERM; echo trapped; sleep 1000 & wait\"\nafter = up\n" + grace +
           "[once]\ncommand = sh -c \"exit 0\"\nrestart = never\n"
           "[mute]\ncommand = /bin/sleep 1000\nready = notify\nready-timeout = 1s\nrestart = never\n";
  };
  std::ofstream(dir.File("ready")) << readyList("");
  host = Start(3, {"--file", dir.File("ready")});
  EXPECT_EQ(StatusWhen([](Programs& p) { return p["up"]["state"] == "starting" && p["next"]["state"] == "waiting"; }).size(), 4u) << FileText(Out(3));
  Programs ready = StatusWhen([](Programs& p) {
    return p["up"]["state"] == "ready" && p["next"]["state"] == "running" && p["once"]["state"] == "exited" && p["mute"]["state"] == "exited";
  });
  ASSERT_EQ(ready.size(), 4u) << FileText(Out(3));
  EXPECT_EQ(CountMatches(FileText(Out(3)), "  ready\n[\\s\\S]*next: up ready; starting it\n"), 1u) << FileText(Out(3));
  EXPECT_EQ(ready["once"]["last_cause"].get<std::string>() + "; " + ready["once"]["last_exit"].get<std::string>().substr(0, 18), "exited; exited with code 0");
  EXPECT_EQ(ready["mute"]["last_cause"], "not ready");
  EXPECT_EQ(CountMatches(ready["mute"]["last_exit"].get<std::string>(), "^not ready after 1(\\.0+)? s: "), 1u) << ready["mute"];
  EXPECT_EQ(Ask({"status", "up", "next"}), 0);
  EXPECT_EQ(Ask({"status", "once"}), 3);
  EXPECT_EQ(Ask({"restart", "up"}), 0);
  EXPECT_EQ(CountMatches(FileText(Out(run_)), "^restarted up: .*: it is ready\n"), 1u) << FileText(Out(run_));
  Programs old = StatusWhen([](Programs& p) { return p["up"]["state"] == "ready" && p["next"]["state"] == "running"; });
  std::ofstream(dir.File("ready")) << readyList("grace = 4s\n");
  EXPECT_EQ(Ask({"reload"}), 0);
  EXPECT_EQ(CountMatches(FileText(Out(run_)), "^reloaded: restarted (up, next|next, up); unchanged"), 1u) << FileText(Out(run_));
  EXPECT_EQ(CountMatches(FileText(Out(3)), "hpid " + old["next"]["hpid"].dump() + "  pid \\d+  stopped on request: ended on SIGTERM after 1\\d{3}\\.\\d ms\n[\\s\\S]*hpid " +
                                               old["up"]["hpid"].dump() + "  pid \\d+  stopped on request: ended on SIGTERM after"),
            1u) << FileText(Out(3));
  EXPECT_EQ(StatusWhen([](Programs& p) { return p["up"]["state"] == "starting" && p["next"]["state"] == "waiting"; }).size(), 4u) << FileText(Out(3));
  ready = StatusWhen([](Programs& p) { return p["up"]["state"] == "ready" && p["next"]["state"] == "running"; });
  ASSERT_EQ(ready.size(), 4u) << FileText(Out(3));
  EXPECT_TRUE(WaitFor([&] { return CountMatches(FileText(dir.File("next.log")), "trapped\n") == 2; })) << FileText(dir.File("next.log"));
  kill(host, SIGTERM);
  EXPECT_EQ(WaitExit(host), 0);
  const std::string stops = FileText(Out(3));
  EXPECT_EQ(CountMatches(stops, "stop: each program once those after it have stopped, within 10 s: next, then up\n"), 1u) << stops;
  EXPECT_EQ(CountMatches(stops, "hpid " + ready["next"]["hpid"].dump() + "  pid \\d+  ended on SIGTERM after 1\\d{3}\\.\\d ms\n[\\s\\S]*hpid " +
                                    ready["up"]["hpid"].dump() + "  pid \\d+  ended on SIGTERM after"),
            1u) << stops;
}

// The host's answer to a request sent straight to its socket by a client of uid and gid (no other
// groups); empty when it could not connect.
nlohmann::json AskAs(const std::string& socketPath, uid_t uid, gid_t gid, const std::string& request) {
  int answer[2];
  if (pipe(answer) != 0) return nullptr;
  const pid_t client = fork();
  if (client == 0) {
    close(answer[0]);
    const int fd = setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0 ? SocketAt(socketPath, false) : -1;
    timeval limit = {10, 0};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) _exit(1);
    if (send(fd, (request + "\n").data(), request.size() + 1, MSG_NOSIGNAL) < 0) {
      // A refusal may already wait to be read.
    }
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
      if (write(answer[1], buffer, static_cast<size_t>(n)) != n) break;
    _exit(0);
  }
  close(answer[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(answer[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(answer[0]);
  WaitExit(client);
  return nlohmann::json::parse(text, nullptr, false);
}

// log shows a program's last lines, and with -f follows its output across rotations, none lost.
// With --status-group, the group reaches the socket through the state directory (0710) but no
// other file there; the host checks each client's credentials: a member reads status and log and
// is refused control, and another user is refused everything even when the socket's mode lets
// it connect.
TEST_F(HostToolTest, LogFollowsOutputAndTheStatusGroupOnlyReads) {
  const bool root = geteuid() == 0;
  const gid_t group = 4242;  // no one's group: only the clients given it are members
  std::vector<std::string> args = {"--output-size", "1K", "--output-keep", "3", "--", "sh", "-c",
                                   "i=0; while :; do i=$((i+1)); echo line $i; sleep 0.005; done"};
  if (root) args.insert(args.begin(), {"--status-group", std::to_string(group)});
  pid_t host = Start(1, args);
  ASSERT_TRUE(WaitOutput(1, "control: kestravo-host status")) << FileText(Out(1));
  ASSERT_TRUE(WaitFor([&] { return CountMatches(FileText(dir.File("sh.log")), "line 3\n") == 1; })) << FileText(dir.File("sh.log"));
  EXPECT_EQ(Ask({"log", "sh", "-n", "2"}), 0);
  EXPECT_EQ(CountMatches(FileText(Out(run_)), "^line (\\d+)\nline \\d+\n$"), 1u) << FileText(Out(run_));
  const std::tuple<std::vector<std::string>, int, std::string> refused[] = {
      {{"log", "nope"}, 1, "no program named nope; known: sh"}, {{"log"}, 2, "log needs the NAME"}, {{"log", "sh", "-n", "x"}, 2, "-n takes a number of lines, not 'x'"}};
  for (const auto& [request, code, refusal] : refused) {
    EXPECT_EQ(Ask(request), code) << request.size();
    EXPECT_EQ(CountMatches(FileText(Err(run_)), refusal), 1u) << FileText(Err(run_));
  }

  // A follower, as a member of the group where that can be tried: its lines run on without a gap
  // through two rotations at least.
  std::vector<std::string> follow = {"--state-dir", dir.Path(), "log", "sh", "-n", "1", "-f"};
  if (root) follow.insert(follow.begin(), {"--reuid=65534", "--regid=" + std::to_string(group), "--clear-groups", "--", Tool()});
  const pid_t follower = Start(++run_, follow, root ? "/usr/bin/setpriv" : "");
  const int followRun = run_;
  EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(dir.File("sh.log.2")) && CountMatches(FileText(Out(followRun)), "\n") > 300; },
                      std::chrono::seconds(30)));
  kill(follower, SIGTERM);
  WaitExit(follower);
  const std::string followed = FileText(Out(followRun));
  std::vector<int> numbers;
  std::istringstream lines(followed.substr(0, followed.rfind('\n') + 1));  // the last line may be cut
  for (std::string line; std::getline(lines, line) && line.rfind("line ", 0) == 0;) numbers.push_back(std::stoi(line.substr(5)));
  EXPECT_GT(numbers.size(), 300u) << followed;
  for (size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << followed;

  if (root) {
    const std::string socketPath = dir.File("kestravo-host.sock");
    struct stat st = {}, sock = {};
    ASSERT_EQ(stat(dir.Path().c_str(), &st) + stat(socketPath.c_str(), &sock), 0);
    EXPECT_EQ(std::to_string(st.st_mode & 0777) + " " + std::to_string(st.st_gid) + " " + std::to_string(sock.st_mode & 0777) + " " +
                  std::to_string(sock.st_gid), std::to_string(0710) + " 4242 " + std::to_string(0660) + " 4242");
    EXPECT_EQ(AskAs(socketPath, 65534, group, "status")["programs"][0]["state"], "running");
    EXPECT_EQ(CountMatches(AskAs(socketPath, 65534, group, "log sh 1")["log"]["text"].get<std::string>(), "^line \\d+\n$"), 1u);
    for (const char* control : {"stop sh", "signal sh KILL", "reload"})
      EXPECT_EQ(CountMatches(AskAs(socketPath, 65534, group, control).dump(), "\"code\":2,.*refused: .* is for the host's own user and root"), 1u) << control;
    EXPECT_TRUE(AskAs(socketPath, 65534, 65534, "status").is_discarded());  // the mode keeps it out...
    chmod(dir.Path().c_str(), 0711);
    chmod(socketPath.c_str(), 0666);
    for (const char* request : {"status", "log sh 1", "stop sh"})  // ...and so does the host
      EXPECT_EQ(AskAs(socketPath, 65534, 65534, request).dump(), "{\"code\":2,\"message\":\"refused: only the host's own user and root may "
                                                                    "ask this host, and the members of its status group read it\"}") << request;
    EXPECT_EQ(Ask({"status", "sh"}), 0);

    // A member with no host of its own finds the system's (here in a private mount over /var/lib),
    // given the group by the unit's variable.
    TempDir varLib;
    chmod(varLib.Path().c_str(), 0755);
    const std::string script =
        "mount --bind \"$0\" /var/lib && mkdir -m 0700 /var/lib/kestravo || exit 9\n"
        "KESTRAVO_STATUS_GROUP=4242 \"$1\" --state-dir /var/lib/kestravo -- /bin/sleep 1000 >/var/lib/host.out 2>&1 &\n"
        "timeout 10 sh -c 'until grep -q \"group 4242 may read\" /var/lib/host.out; do :; done'\n"
        "env -u KESTRAVO_STATE_DIR -u XDG_STATE_HOME HOME=/nonexistent setpriv --reuid=65534 --regid=4242 --clear-groups -- \"$1\" status\n"
        "code=$?; kill $!; wait; exit $code\n";
    const int code = WaitExit(Start(++run_, {"-m", "sh", "-c", script, varLib.Path(), Tool()}, "/usr/bin/unshare"));
    EXPECT_TRUE(code == 0 || code == 3) << code << FileText(Err(run_));  // sleep may be starting still
    EXPECT_EQ(CountMatches(FileText(Out(run_)), "^NAME .*\nsleep +0 "), 1u) << FileText(Out(run_));
  }
  kill(host, SIGTERM);
  EXPECT_EQ(WaitExit(host), 0);
}

// reload, and then SIGHUP, apply the edited list: a program added starts, one removed stops, one
// changed (if only in its grace) restarts, one stopped by hand stays stopped, and the unchanged
// one keeps its pid throughout; a list that no longer reads is refused and changes nothing.
TEST_F(HostToolTest, ReloadAndSighupApplyTheEditedList) {
  const std::string list = dir.File("list");
  std::ofstream(list) << "/bin/sleep 1000\ntail -f /dev/null\nsh -c \"sleep 1000\"\n";
  pid_t host = Start(1, {"--file", list});
  ASSERT_GT(host, 0);
  Programs before = StatusWhen([](Programs& p) { return RunningPid(p, "sleep") && RunningPid(p, "tail") && RunningPid(p, "sh"); });
  ASSERT_EQ(before.size(), 3u) << FileText(Out(1));
  const int64_t kept = RunningPid(before, "sleep"), removed = RunningPid(before, "tail"), changed = RunningPid(before, "sh");

  std::ofstream(list) << "/bin/sleep 1000\n--grace 5s sh -c \"sleep 1000\"\ntimeout 1000 sleep 1000\n";  // sh: its grace alone
  EXPECT_EQ(Ask({"reload"}), 0);
  EXPECT_EQ(FileText(Out(run_)), "reloaded: started timeout; stopped tail; restarted sh; unchanged sleep\n");
  Programs after = StatusWhen([](Programs& p) { return RunningPid(p, "sh") && RunningPid(p, "timeout"); });
  EXPECT_EQ(after.size(), 3u);
  EXPECT_EQ(RunningPid(after, "sleep"), kept);
  EXPECT_NE(RunningPid(after, "sh"), changed);
  EXPECT_FALSE(ProcessAlive(static_cast<pid_t>(removed)));

  std::ofstream(list) << "--grace 99m /bin/sleep 1000\n";
  EXPECT_EQ(Ask({"reload"}), 1);
  EXPECT_EQ(CountMatches(FileText(Err(run_)), "reload refused, every program runs on: " + Quote(list) + ":1: --grace takes"), 1u)
      << FileText(Err(run_));
  Programs same = StatusWhen([](Programs& p) { return p.size() == 3; });
  for (const char* name : {"sleep", "sh", "timeout"}) EXPECT_EQ(RunningPid(same, name), RunningPid(after, name)) << name;

  // One stopped by hand stays stopped.
  EXPECT_EQ(Ask({"stop", "timeout"}), 0);
  std::ofstream(list) << "/bin/sleep 1000\ntail -f /dev/null\ntimeout 1000 sleep 1000\n";
  kill(host, SIGHUP);
  Programs hup = StatusWhen([](Programs& p) { return p.size() == 3 && RunningPid(p, "tail"); });
  EXPECT_EQ(RunningPid(hup, "sleep"), kept);
  EXPECT_EQ(hup["timeout"]["state"], "stopped");
  EXPECT_FALSE(ProcessAlive(static_cast<pid_t>(RunningPid(after, "timeout"))));
  kill(host, SIGTERM);
  EXPECT_EQ(WaitExit(host), 0);
  EXPECT_EQ(CountMatches(FileText(Out(1)), "SIGHUP received: reloading\n(.*\n)*.*reloaded: started tail; stopped sh; unchanged sleep\n"), 1u)
      << FileText(Out(1));
}

}  // namespace
}  // namespace kestravo::test
