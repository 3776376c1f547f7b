// Hostile input at the exported functions: hpids out of range, a null callback, XML specials and
// bytes that are not UTF-8, shell syntax, and a command line of 1 MiB. Each gets a clear result
// and leaves the children that were already supervised as they were.
#include <gtest/gtest.h>
#include <kestravo.h>
#include <sys/stat.h>

#include "host_harness.h"

namespace kestravo::test {
namespace {

using BadInput = HostTest;

// The arguments after argv[0] that the helper child reported, its identity marker left out.
std::vector<std::string> ArgsOf(const Report& report) {
  std::vector<std::string> args;
  int argc = report.count("argc") ? std::stoi(report.at("argc")) : 0;
  for (int i = 1; i < argc; ++i) {
    auto it = report.find("arg" + std::to_string(i));
    std::string arg = it == report.end() ? "<missing>" : it->second;
    if (arg.rfind("kestravCmdLine:", 0) != 0) args.push_back(arg);
  }
  return args;
}

std::string ExeOf(pid_t pid) {
  char target[4096];
  ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// True when a destroy had to terminate its child: the child did not answer its stop event.
bool StoppedByForce(const HostDir& dir) {
  return dir.Log().find("The process has been notified, but wait exit timeout!") != std::string::npos;
}

TEST_F(BadInput, OutOfRangeHpidsAndANullCallbackLoseNothing) {
  ASSERT_TRUE(Start());
  std::string report = dir.File("a.report");
  ASSERT_EQ(host.CreateHelper("stop", report).ret, 0);
  pid_t pid = host.WaitRunning(0, report);
  ASSERT_GT(pid, 0);
  std::string p = std::to_string(pid);

  // -1 and 0xFFFFFFFF are the same u32; 1023 is in range but free.
  for (std::string hpid : {"1024", "4294967295", "1023"}) {
    for (std::string call : {"destroy " + hpid, "destroy " + hpid + " 4294967295", "kill " + hpid,
                             "restart " + hpid, "getpid " + hpid, "attach " + hpid + " " + p}) {
      EXPECT_EQ(host.Send(call).ret, 1) << call;
    }
  }
  EXPECT_EQ(host.Send("attach 0 " + p).ret, 1);  // managed, but not a child of an earlier run
  EXPECT_EQ(host.Send("attach 5 0").ret, 1);
  for (std::string pidArg : {"0", "4294967295", "2147483648"}) {
    Reply r = host.Send("ismanaged " + pidArg);
    EXPECT_EQ(r.ret, 0) << pidArg;
    EXPECT_EQ(r["hpid"], 0xFFFFFFFFu) << pidArg;
  }
  EXPECT_EQ(host.Send("getpid 0")["pid"], static_cast<uint32_t>(pid));

  // Without a callback an unasked exit is still restarted, silently.
  EXPECT_EQ(host.Send("setcb null").ret, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  pid_t second = host.WaitRunning(0, report, pid);
  ASSERT_GT(second, 0);
  // With it back, the next exit is the only one reported: none went to the null callback.
  EXPECT_EQ(host.Send("setcb").ret, 0);
  ASSERT_EQ(kill(second, SIGKILL), 0);
  EXPECT_TRUE(host.WaitCount(0, MSG_RESTARTED, 1));
  pid_t third = host.WaitRunning(0, report, second);
  ASSERT_GT(third, 0);
  EXPECT_EQ(host.Count(0, MSG_EXITED), 1u);
  EXPECT_EQ(host.Count(0, MSG_RESTARTED), 1u);

  EXPECT_EQ(host.Send("destroy 0").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(third); }));
  EXPECT_FALSE(StoppedByForce(dir));
  EXPECT_TRUE(WaitFor([&] { return dir.State().empty(); })) << dir.StateText();
  EXPECT_TRUE(host.NoZombies());
  Stop();
}

// Paths and command lines with XML specials and bytes that are not UTF-8 reach the child as
// given, and come back byte for byte from kestravo.xml in the next host. A lead byte of a UTF-8
// sequence right before a quote or an entity is the one thing the file cannot carry (README).
TEST_F(BadInput, XmlSpecialsAndForeignBytesComeBackFromTheStateFile) {
  std::string folder = dir.File("we<i>rd & \"q\" 'a' \xff\xfe");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  std::string exe = folder + "/hel&per<\x80>'\"";
  std::filesystem::copy_file(HelperChild(), exe);
  ASSERT_EQ(chmod(exe.c_str(), 0700), 0);
  std::string report = dir.File("a.report");
  std::string cmd = "stop " + report +
                    " <a> & \"q q\" 'x' \xff\xfe\x80 caf\xe9 x \xc3\xa9t\xc3\xa9 &amp; \"&lt;\" ";
  const std::vector<std::string> expected = {
      "stop", report, "<a>", "&", "q q", "'x'", "\xff\xfe\x80", "caf\xe9", "x",
      "\xc3\xa9t\xc3\xa9", "&amp;", "&lt;"};

  std::string recordedCmd;
  pid_t pid = 0;
  {
    Host first(dir);
    ASSERT_EQ(first.Send("init").ret, 0);
    ASSERT_EQ(first.Send("create " + HexArg(exe) + " " + HexArg(cmd)).ret, 0);
    pid = first.WaitRunning(0, report);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(ArgsOf(ReadReport(report)), expected);
    EXPECT_EQ(ExeOf(pid), exe);
    ASSERT_TRUE(WaitFor([&] { return BlockedOnFutex(pid); }));
    ASSERT_TRUE(WaitFor([&] { return dir.State().size() == 1; })) << dir.StateText();
    first.Kill9();
  }
  ASSERT_TRUE(ProcessAlive(pid));

  ASSERT_TRUE(Start());
  ASSERT_EQ(host.Count(0, MSG_ATTACHABLE), 1u) << dir.Log();
  const Message& found = host.Messages().front();
  EXPECT_EQ(found.field.at("pid"), std::to_string(pid));
  EXPECT_EQ(Unhex(found.field.at("exe")), exe);
  recordedCmd = Unhex(found.field.at("cmd"));
  std::string marker = "kestravCmdLine:;pid=0;guid=" + ReadReport(report)["guid"];
  EXPECT_EQ(recordedCmd, cmd + marker);

  // The restart runs what the file held: the same arguments again.
  ASSERT_EQ(host.Send("attach 0 " + std::to_string(pid)).ret, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  pid_t again = host.WaitRunning(0, report, pid);
  ASSERT_GT(again, 0);
  EXPECT_EQ(ArgsOf(ReadReport(report)), expected);
  EXPECT_EQ(host.Send("destroy 0").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(again); }));
  EXPECT_FALSE(StoppedByForce(dir));
  Stop();
}

// The command line is split into arguments and handed to the program itself: no shell runs.
TEST_F(BadInput, ShellSyntaxIsPassedAsPlainArguments) {
  ASSERT_TRUE(Start(false));
  std::string report = dir.File("a.report");
  std::string x = dir.File("x"), y = dir.File("y"), z = dir.File("z");
  std::string extra = "; touch " + x + " $(touch " + y + ") `touch " + z + "` | cat && exit 1";
  ASSERT_EQ(host.CreateHelper("stop", report, extra).ret, 0);
  pid_t pid = host.WaitRunning(0, report);
  ASSERT_GT(pid, 0);

  std::vector<std::string> expected = {"stop", report, ";", "touch", x, "$(touch", y + ")",
                                       "`touch", z + "`", "|", "cat", "&&", "exit", "1"};
  EXPECT_EQ(ArgsOf(ReadReport(report)), expected);
  // Started by the host itself, as the helper: no shell in between.
  EXPECT_EQ(ExeOf(pid), HelperChild());
  pid_t parent = 0;
  std::string stat = FileText("/proc/" + std::to_string(pid) + "/stat");
  parent = std::stoi(stat.substr(stat.rfind(')') + 4));
  EXPECT_EQ(parent, host.Pid());

  EXPECT_EQ(host.Send("destroy 0").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(pid); }));
  EXPECT_FALSE(StoppedByForce(dir));
  for (const std::string& file : {x, y, z}) EXPECT_NE(access(file.c_str(), F_OK), 0) << file;
  Stop();
}

TEST_F(BadInput, CommandLineOfOneMebibyte) {
  ASSERT_TRUE(Start(false));
  // 1 MiB in words of 1 KiB: within what exec takes, so the child runs with all of them.
  std::string report = dir.File("a.report");
  std::string word(1023, 'w');
  std::string words;
  while (words.size() < (1u << 20)) words += word + " ";
  Reply created = host.CreateHelper("stop", report, words);
  ASSERT_EQ(created.ret, 0);
  pid_t pid = host.WaitRunning(0, report);
  ASSERT_GT(pid, 0);
  std::vector<std::string> args = ArgsOf(ReadReport(report));
  ASSERT_EQ(args.size(), 2 + (1u << 20) / 1024);
  EXPECT_EQ(args.back(), word);
  ASSERT_TRUE(WaitFor([&] { return dir.StateText().size() > (1u << 20); }));

  // 1 MiB as a single argument: more than exec takes for one. The create is taken (starts are
  // asynchronous), the failed start is logged, nothing else is disturbed.
  std::string huge = "stop " + dir.File("b.report") + " " + std::string(1u << 20, 'h');
  Reply big = host.Send("create " + HexArg(HelperChild()) + " " + HexArg(huge));
  EXPECT_EQ(big.ret, 0);
  EXPECT_EQ(big["hpid"], 1u);
  // A plain search: the log holds the megabyte too, too long for a regular expression.
  std::string failed = "[exePath=" + HelperChild() + ",lastError=";
  EXPECT_TRUE(WaitFor([&] {
    std::string log = dir.Log();
    size_t at = log.find(failed);
    if (at == std::string::npos) return false;
    size_t line = log.rfind('\n', at) + 1;  // npos + 1 is 0: the first line
    return log.compare(line, 46, "ERROR [CProcessLauncher::insideLaucherRoutine(") == 0 &&
           log.find("]Create Process failed!", at) < log.find('\n', at);
  }));
  EXPECT_EQ(host.Send("getpid 1").ret, 1);
  EXPECT_EQ(host.Send("getpid 0")["pid"], static_cast<uint32_t>(pid));

  EXPECT_EQ(host.Send("destroy 0").ret, 0);
  EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(pid); }));
  EXPECT_FALSE(StoppedByForce(dir));
  Stop();  // the retrying start goes with the launcher
}

}  // namespace
}  // namespace kestravo::test
