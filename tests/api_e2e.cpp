// The end-to-end harness: the library as a host uses it, written only against kestravo.h and the
// Windows calls of os.h, so that it builds and runs on either system.
//   no arguments: the in-process cases below, one after the other (they share kestravo.xml
//                 beside this program);
//   --host DIR [COMMAND...]: a host of its own for the tests that need one (tests/host_harness.h
//                 drives it through its pipes), with its state file in DIR ("-": beside this
//                 program). It runs the COMMANDs, then those of standard input, one result line each.
// Host commands: init | uninit | create EXE CMD [nullout] | destroy H [R] | kill H | restart H |
//   attach H PID | getpid H [nullout] | ismanaged PID [nullout] | setcb [null | do TYPE CMDS] |
//   sleep MS | exit (no Uninit) | wait (until ended) | and on Linux those of host/host_load.h.
// Strings are hex_arg words. Callback lines: "msg H TYPE user=U [pid=P cmd=HEX exe=HEX] [call=R,..]";
// "setcb do TYPE CMDS" makes the callback run CMDS (';' between, '$' its hpid) and list their
// results; "await5 CMD" repeats CMD until it answers 5, and such an action (or a sleep) first
// writes the line with "calling=1".
#include <gtest/gtest.h>
#include <kestravo.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hex_arg.h"
#include "platform/os.h"
#include "test_support.h"

#ifndef _WIN32
#include "host/host_load.h"
#endif

namespace kestravo::test {
namespace {

using namespace std::chrono_literals;

// ---- the host ----

std::mutex g_out;
int g_userMarker;
std::mutex g_actionsLock;
std::map<uint32_t, std::string> g_actions;  // message type -> commands; guarded by g_actionsLock

std::string Run(const std::string& command);

void Emit(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_out);
  std::cout << line << std::endl;
}

std::string RetOf(const std::string& reply) { return reply.substr(0, reply.find(' ', 4)).substr(4); }

std::string RunAction(std::string action, uint32_t hpid) {
  for (size_t at; (at = action.find('$')) != std::string::npos;) action.replace(at, 1, std::to_string(hpid));
  std::string results;
  std::istringstream list(action);
  for (std::string command; std::getline(list, command, ';');) {
    bool await5 = command.rfind("await5 ", 0) == 0;
    if (await5) command.erase(0, 7);
    std::string ret = RetOf(Run(command));
    for (auto end = std::chrono::steady_clock::now() + 10s; await5 && ret != "5" && std::chrono::steady_clock::now() < end;
         ret = RetOf(Run(command))) {
      std::this_thread::sleep_for(1ms);
    }
    results += (results.empty() ? "" : ",") + ret;
  }
  return results;
}

int32_t OnMessage(uint32_t hpid, uint32_t type, void* data, void* user) {
  std::ostringstream line;
  line << "msg " << hpid << ' ' << type << " user=" << (user == &g_userMarker);
  if (type == MSG_ATTACHABLE && data) {
    auto* info = static_cast<AttachableProcInfo*>(data);
    line << " pid=" << info->pid << " cmd=" << hex_arg::Encode(info->cmdLine) << " exe=" << hex_arg::Encode(info->exePath);
  }
  std::string action;
  {
    std::lock_guard<std::mutex> lock(g_actionsLock);
    if (g_actions.count(type)) action = g_actions[type];
  }
  if (action.find("await5 ") != std::string::npos || action.find("sleep ") != std::string::npos)
    Emit(line.str() + " calling=1");
  if (!action.empty()) line << " call=" << RunAction(action, hpid);
  Emit(line.str());
  return 0;
}

std::string Run(const std::string& command) {
  std::istringstream in(command);
  std::string verb, a, b, c;
  in >> verb >> a >> b >> c;
  auto u32 = [](const std::string& s) { return static_cast<uint32_t>(std::stoul(s)); };
  uint32_t out = 0xFFFFFFFFu;
  uint32_t* outArg = (verb == "create" ? c : b) == "nullout" ? nullptr : &out;
  int32_t ret = 0;
  if (verb == "init" || verb == "uninit") {
    ret = verb == "init" ? KESTRAVO_Init() : KESTRAVO_Uninit();
  } else if (verb == "create") {
    std::string exe, cmd;
    bool hasExe = hex_arg::Decode(a, &exe), hasCmd = hex_arg::Decode(b, &cmd);
    ret = KESTRAVO_CreateProcess(hasExe ? exe.c_str() : nullptr, hasCmd ? cmd.c_str() : nullptr, outArg, 42);
  } else if (verb == "destroy") {
    ret = KESTRAVO_DestroyProcess(u32(a), b.empty() ? 0 : u32(b));
  } else if (verb == "kill" || verb == "restart") {
    ret = verb == "kill" ? KESTRAVO_KillProcess(u32(a)) : KESTRAVO_RestartProcess(u32(a));
  } else if (verb == "attach") {
    ret = KESTRAVO_Attach(u32(a), u32(b));
  } else if (verb == "getpid" || verb == "ismanaged") {
    ret = verb == "getpid" ? KESTRAVO_GetOSPid(u32(a), outArg) : KESTRAVO_IsManaged(u32(a), outArg);
  } else if (verb == "setcb") {
    if (a == "do") {
      std::lock_guard<std::mutex> lock(g_actionsLock);
      g_actions[u32(b)] = command.substr(command.find(b, command.find(" do ") + 4) + b.size() + 1);
    }
    ret = a == "null" ? KESTRAVO_SetMsgCallBack(nullptr, nullptr) : KESTRAVO_SetMsgCallBack(OnMessage, &g_userMarker);
  } else if (verb == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(a)));
  } else if (verb == "exit") {
    std::_Exit(0);
  } else if (verb == "wait") {
    for (;;) std::this_thread::sleep_for(1h);
#ifndef _WIN32
  } else if (host_load::IsLoadCommand(verb)) {
    return host_load::RunLoadCommand(command);
#endif
  } else {
    return "error unknown command";
  }
  return "ret " + std::to_string(ret) + " out=" + std::to_string(out);
}

int RunHost(int argc, char** argv) {
#ifndef _WIN32
  if (std::string(argv[2]) != "-") setenv("KESTRAVO_STATE_DIR", argv[2], 1);
#endif
  auto handle = [](const std::string& line) {
    try {
      Emit(Run(line));
    } catch (const std::exception& e) {  // a malformed number: the test's mistake
      Emit(std::string("error ") + e.what());
    }
  };
  for (int i = 3; i < argc; ++i) handle(argv[i]);
  for (std::string line; std::getline(std::cin, line);) handle(line);
  return 0;
}

// ---- the in-process cases ----

std::string ExeDir() {
  char path[4096];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string text(path, n);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

std::string Helper() {
#ifdef _WIN32
  return ExeDir() + "helper_child.exe";
#else
  return ExeDir() + "helper_child";
#endif
}

std::string StateFile() { return ExeDir() + "kestravo.xml"; }

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What the callback heard, in order: per hpid, the type and (for MSG_ATTACHABLE) the pid.
class Messages {
 public:
  static int32_t Callback(uint32_t hpid, uint32_t type, void* data, void* self) {
    auto* messages = static_cast<Messages*>(self);
    std::lock_guard<std::mutex> lock(messages->mutex_);
    messages->heard_[hpid].push_back({type, type == MSG_ATTACHABLE ? static_cast<AttachableProcInfo*>(data)->pid : 0});
    return 0;
  }
  std::vector<std::pair<uint32_t, uint32_t>> Of(uint32_t hpid) {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_[hpid];
  }

 private:
  std::mutex mutex_;
  std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> heard_;  // guarded by mutex_
};

bool Ended(uint32_t pid, std::chrono::milliseconds limit = 10s) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  bool ended = !process || WaitForSingleObject(process, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  if (process) CloseHandle(process);
  return ended;
}

void Terminate(uint32_t pid) {
  if (HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid)) {
    TerminateProcess(process, 9);
    CloseHandle(process);
  }
}

uint32_t OsPid(uint32_t hpid) {
  uint32_t pid = 0;
  return KESTRAVO_GetOSPid(hpid, &pid) == 0 ? pid : 0;
}

uint32_t PidOf(const Report& report) { return report.count("pid") ? static_cast<uint32_t>(std::stoul(report.at("pid"))) : 0; }

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    std::remove(StateFile().c_str());
    ASSERT_EQ(KESTRAVO_SetMsgCallBack(&Messages::Callback, &messages), 0);
    ASSERT_EQ(KESTRAVO_Init(), 0);
  }
  void TearDown() override { EXPECT_EQ(KESTRAVO_Uninit(), 0); }

  // Starts the helper child in mode; its report lands in the test program's directory.
  uint32_t Start(const std::string& mode, const std::string& name, const std::string& arg = "") {
    std::string report = ExeDir() + name + ".report";
    std::remove(report.c_str());
    std::remove((report + ".stopped").c_str());
    uint32_t hpid = 0xFFFFFFFFu;
    EXPECT_EQ(KESTRAVO_CreateProcess(Helper().c_str(), (mode + " " + report + " " + arg + " ").c_str(), &hpid, 0), 0);
    return hpid;
  }
  // The report of a run other than notPid, with every argument, the identity and the pid.
  Report ReportOf(const std::string& name, uint32_t notPid = 0) {
    Report report;
    WaitFor([&] {
      report = ReadReport(ExeDir() + name + ".report");
      return !report["guid"].empty() && PidOf(report) != notPid;
    }, 20s);
    return report;
  }
  // The run that replaced `before`, started with the same arguments under the same identity.
  Report ExpectRelaunched(const std::string& name, const Report& before) {
    Report after = ReportOf(name, PidOf(before));
    EXPECT_NE(PidOf(after), PidOf(before));
    for (const auto& [key, value] : before)
      if (key != "pid") { EXPECT_EQ(after[key], value) << key; }
    return after;
  }
  std::vector<uint32_t> TypesOf(uint32_t hpid) {
    std::vector<uint32_t> types;
    for (const auto& m : messages.Of(hpid)) types.push_back(m.first);
    return types;
  }

  Messages messages;
};

TEST_F(Library, StartsWatchesAndStopsThroughTheStopEvent) {
  uint32_t hpid = Start("stop", "plain");
  Report report = ReportOf("plain");
  uint32_t pid = PidOf(report), managed = 0xFFFFFFFFu;
  ASSERT_NE(pid, 0u);
  EXPECT_EQ(OsPid(hpid), pid);
  EXPECT_EQ(report["hpid"], std::to_string(hpid));
  EXPECT_TRUE(KESTRAVO_IsManaged(pid, &managed));
  EXPECT_EQ(managed, hpid);
  // The record beside the host executable names the child.
  EXPECT_TRUE(WaitFor([&] { return FileText(StateFile()).find(report["guid"]) != std::string::npos; }));

  EXPECT_EQ(KESTRAVO_DestroyProcess(hpid, 0), 0);
  EXPECT_TRUE(Ended(pid));
  EXPECT_TRUE(std::ifstream(ExeDir() + "plain.report.stopped").good());
  EXPECT_EQ(KESTRAVO_GetOSPid(hpid, &managed), 1);
  EXPECT_FALSE(KESTRAVO_IsManaged(pid, &managed));
  EXPECT_EQ(FileText(StateFile()).find(report["guid"]), std::string::npos);
  EXPECT_TRUE(messages.Of(hpid).empty());
}

TEST_F(Library, AnUnaskedExitIsRestartedUnderTheSameIdentity) {
  uint32_t hpid = Start("exit", "exits", "300 \"two words\"");
  Report first = ReportOf("exits");
  EXPECT_EQ(first["arg4"], "two words");
  ExpectRelaunched("exits", first);
  ASSERT_TRUE(WaitFor([&] { return messages.Of(hpid).size() >= 2; }));
  EXPECT_EQ(TypesOf(hpid), (std::vector<uint32_t>{MSG_EXITED, MSG_RESTARTED}));
  EXPECT_EQ(KESTRAVO_KillProcess(hpid), 0);
}

TEST_F(Library, KillAndRestartEndTheChildAtOnce) {
  uint32_t killed = Start("ignore", "killed");
  uint32_t restarted = Start("ignore", "restarted", "-v");
  Report one = ReportOf("killed"), two = ReportOf("restarted");

  EXPECT_EQ(KESTRAVO_KillProcess(killed), 0);
  EXPECT_TRUE(Ended(PidOf(one), 0ms));
  EXPECT_EQ(OsPid(killed), 0u);

  // A restart that was asked for is no exit; the child is watched again afterwards.
  EXPECT_EQ(KESTRAVO_RestartProcess(restarted), 0);
  Report again = ExpectRelaunched("restarted", two);
  EXPECT_TRUE(Ended(PidOf(two)));
  EXPECT_EQ(OsPid(restarted), PidOf(again));
  ASSERT_TRUE(WaitFor([&] { return !messages.Of(restarted).empty(); }));
  Terminate(PidOf(again));
  ExpectRelaunched("restarted", again);
  ASSERT_TRUE(WaitFor([&] { return messages.Of(restarted).size() >= 3; }));
  EXPECT_EQ(TypesOf(restarted), (std::vector<uint32_t>{MSG_RESTARTED, MSG_EXITED, MSG_RESTARTED}));
  EXPECT_TRUE(messages.Of(killed).empty());
  EXPECT_EQ(KESTRAVO_KillProcess(restarted), 0);
}

TEST_F(Library, HandsOutAtMost1024Hpids) {
  // A file that is no program: every start fails and waits for its retry, so nothing runs.
  std::string notAProgram = ExeDir() + "not-a-program.txt";
  std::ofstream(notAProgram) << "text\n";
  std::vector<uint32_t> hpids(1024);
  for (uint32_t& hpid : hpids) ASSERT_EQ(KESTRAVO_CreateProcess(notAProgram.c_str(), "", &hpid, 0), 0);
  uint32_t extra = 0;
  EXPECT_EQ(KESTRAVO_CreateProcess(notAProgram.c_str(), "", &extra, 0), 4);
  EXPECT_EQ(KESTRAVO_DestroyProcess(hpids[7], 0), 0);
  EXPECT_EQ(KESTRAVO_CreateProcess(notAProgram.c_str(), "", &extra, 0), 0);
  EXPECT_EQ(extra, hpids[7]);
}

// The host is ended without a chance to clean up (TerminateProcess, SIGKILL); its children run
// on, and the next host adopts each of them once.
TEST(Recovery, ChildrenOfAnEndedHostAreAdopted) {
  std::remove(StateFile().c_str());
  std::vector<std::string> args = {"", "--host", "-", "init"};
  for (int i = 0; i < 3; ++i) {
    std::string report = ExeDir() + "survivor" + std::to_string(i) + ".report";
    std::remove(report.c_str());
    std::remove((report + ".waiting").c_str());
    args.push_back("create " + hex_arg::Encode(Helper()) + " " + hex_arg::Encode("stop " + report + " "));
  }
  args.push_back("wait");
  char self[4096];
  args[0].assign(self, GetModuleFileNameA(nullptr, self, sizeof self));
  // Started and ended as a plain process: on Linux the library's own start would put the host in
  // a tree of its own, and ending that tree would end the children as well.
#ifdef _WIN32
  std::string line;
  for (const std::string& arg : args) line += "\"" + arg + "\" ";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info));
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  uint32_t host = info.dwProcessId;
#else
  uint32_t host = static_cast<uint32_t>(SpawnPlain(args, true));
#endif
  std::vector<uint32_t> pids(3);
  bool recorded = WaitFor([&] {
    std::string state = FileText(StateFile());
    for (int i = 0; i < 3; ++i) {
      std::string report = ExeDir() + "survivor" + std::to_string(i) + ".report";
      pids[i] = PidOf(ReadReport(report));
      // It opened its stop event while the host still held it.
      if (pids[i] == 0 || !std::ifstream(report + ".waiting").good() || state.find("pid=\"" + std::to_string(pids[i]) + "\"") == std::string::npos) return false;
    }
    return true;
  }, 60s);
  Terminate(host);
#ifndef _WIN32
  WaitExit(static_cast<pid_t>(host));
#endif
  // After a failure, no survivor that reported outlives the test.
  if (!recorded) {
    for (uint32_t pid : pids) {
      if (pid != 0) Terminate(pid);
    }
  }
  ASSERT_TRUE(recorded);
  for (uint32_t pid : pids) EXPECT_FALSE(Ended(pid, 0ms)) << pid;

  Messages messages;
  KESTRAVO_SetMsgCallBack(&Messages::Callback, &messages);
  ASSERT_EQ(KESTRAVO_Init(), 0);
  for (uint32_t hpid = 0; hpid < 3; ++hpid) {
    EXPECT_EQ(messages.Of(hpid), (std::vector<std::pair<uint32_t, uint32_t>>{{MSG_ATTACHABLE, pids[hpid]}}));
    EXPECT_EQ(KESTRAVO_Attach(hpid, pids[hpid]), 0);
    EXPECT_EQ(OsPid(hpid), pids[hpid]);
  }
  for (uint32_t hpid = 0; hpid < 3; ++hpid) EXPECT_EQ(KESTRAVO_DestroyProcess(hpid, 0), 0);
  for (uint32_t pid : pids) {
    EXPECT_TRUE(Ended(pid));
    Terminate(pid);  // whatever failed above, no survivor outlives the test
  }
  EXPECT_EQ(KESTRAVO_Uninit(), 0);
}

}  // namespace
}  // namespace kestravo::test

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--host") return kestravo::test::RunHost(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
