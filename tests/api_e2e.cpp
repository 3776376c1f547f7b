// The library as a host uses it, in this process, on either system: written only against
// kestravo.h and the Windows calls of os.h. The test program's own directory holds kestravo.xml,
// so the cases run one after the other in one process. With "--host N" the program is instead a
// host that starts N children and runs until it is ended, for the recovery case.
#include <gtest/gtest.h>
#include <kestravo.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "test_support.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace kestravo::test {
namespace {

using namespace std::chrono_literals;

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

struct Message {
  uint32_t hpid, type, pid;
};

// What the callback heard, in order.
class Messages {
 public:
  static int32_t Callback(uint32_t hpid, uint32_t type, void* data, void* self) {
    uint32_t pid = type == MSG_ATTACHABLE ? static_cast<AttachableProcInfo*>(data)->pid : 0;
    auto* messages = static_cast<Messages*>(self);
    std::lock_guard<std::mutex> lock(messages->mutex_);
    messages->heard_.push_back({hpid, type, pid});
    return 0;
  }
  std::vector<Message> Of(uint32_t hpid) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Message> out;
    for (const Message& m : heard_) {
      if (m.hpid == hpid) out.push_back(m);
    }
    return out;
  }
  std::vector<Message> All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }

 private:
  std::mutex mutex_;
  std::vector<Message> heard_;  // guarded by mutex_
};

bool Ended(uint32_t pid, std::chrono::milliseconds limit = 10s) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return true;
  bool ended = WaitForSingleObject(process, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

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
  Report ReportOf(const std::string& name, const std::string& notPid = "") {
    std::string path = ExeDir() + name + ".report";
    Report report;
    WaitFor([&] {
      report = ReadReport(path);
      return !report["guid"].empty() && report["pid"] != notPid;
    }, 20s);
    return report;
  }
  static uint32_t OsPid(uint32_t hpid) {
    uint32_t pid = 0;
    return KESTRAVO_GetOSPid(hpid, &pid) == 0 ? pid : 0;
  }

  Messages messages;
};

TEST_F(Library, StartsWatchesAndStopsThroughTheStopEvent) {
  uint32_t hpid = Start("stop", "plain");
  Report report = ReportOf("plain");
  ASSERT_FALSE(report["pid"].empty());
  uint32_t pid = static_cast<uint32_t>(std::stoul(report["pid"]));
  EXPECT_EQ(OsPid(hpid), pid);
  EXPECT_EQ(report["hpid"], std::to_string(hpid));
  uint32_t managed = 0xFFFFFFFFu;
  EXPECT_TRUE(KESTRAVO_IsManaged(pid, &managed));
  EXPECT_EQ(managed, hpid);
  // The record beside the host executable names the child.
  EXPECT_TRUE(WaitFor([&] { return FileText(StateFile()).find(report["guid"]) != std::string::npos; }));

  EXPECT_EQ(KESTRAVO_DestroyProcess(hpid, 0), 0);
  EXPECT_TRUE(Ended(pid));
  EXPECT_TRUE(WaitFor([&] { return std::ifstream(ExeDir() + "plain.report.stopped").good(); }, 2s));
  EXPECT_EQ(KESTRAVO_GetOSPid(hpid, &managed), 1);
  EXPECT_EQ(FileText(StateFile()).find(report["guid"]), std::string::npos);
}

TEST_F(Library, AnUnaskedExitIsRestartedUnderTheSameIdentity) {
  uint32_t hpid = Start("exit", "exits", "300");
  Report first = ReportOf("exits");
  Report second = ReportOf("exits", first["pid"]);
  EXPECT_NE(second["pid"], first["pid"]);
  EXPECT_EQ(second["hpid"], first["hpid"]);
  EXPECT_EQ(second["guid"], first["guid"]);
  ASSERT_TRUE(WaitFor([&] { return messages.Of(hpid).size() >= 2; }));
  std::vector<Message> heard = messages.Of(hpid);
  EXPECT_EQ(heard[0].type, static_cast<uint32_t>(MSG_EXITED));
  EXPECT_EQ(heard[1].type, static_cast<uint32_t>(MSG_RESTARTED));
  EXPECT_EQ(KESTRAVO_KillProcess(hpid), 0);
}

TEST_F(Library, KillAndRestartEndTheChildAtOnce) {
  uint32_t killed = Start("ignore", "killed");
  uint32_t restarted = Start("ignore", "restarted");
  Report one = ReportOf("killed");
  Report two = ReportOf("restarted");

  EXPECT_EQ(KESTRAVO_KillProcess(killed), 0);
  EXPECT_TRUE(Ended(static_cast<uint32_t>(std::stoul(one["pid"])), 0ms));
  EXPECT_EQ(OsPid(killed), 0u);

  EXPECT_EQ(KESTRAVO_RestartProcess(restarted), 0);
  Report again = ReportOf("restarted", two["pid"]);
  EXPECT_TRUE(Ended(static_cast<uint32_t>(std::stoul(two["pid"]))));
  EXPECT_EQ(again["guid"], two["guid"]);
  EXPECT_EQ(OsPid(restarted), static_cast<uint32_t>(std::stoul(again["pid"])));
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

// The host is ended without a chance to clean up; its children run on, and the next host adopts
// each of them once.
TEST(Recovery, ChildrenOfAnEndedHostAreAdopted) {
  std::remove(StateFile().c_str());
  std::remove((ExeDir() + "host.ready").c_str());
  for (int i = 0; i < 3; ++i) std::remove((ExeDir() + "survivor" + std::to_string(i) + ".report").c_str());
  char self[4096];
  std::string exe(self, GetModuleFileNameA(nullptr, self, sizeof self));
  // Started and ended as a plain process: on Linux the library's own start would put the host in
  // a tree of its own, and ending that tree would end the children as well.
#ifdef _WIN32
  std::string line = exe + " --host 3";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION host{};
  ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &host));
  CloseHandle(host.hThread);
  auto endHost = [&] {
    TerminateProcess(host.hProcess, 9);
    WaitForSingleObject(host.hProcess, 10000);
    CloseHandle(host.hProcess);
  };
#else
  pid_t host = SpawnPlain({exe, "--host", "3"});
  ASSERT_GT(host, 0);
  auto endHost = [&] {
    kill(host, SIGKILL);
    WaitExit(host);
  };
#endif
  std::vector<uint32_t> pids;
  bool recorded = WaitFor([&] {
    pids.clear();
    for (int i = 0; i < 3; ++i) {
      Report report = ReadReport(ExeDir() + "survivor" + std::to_string(i) + ".report");
      if (report["pid"].empty()) return false;
      pids.push_back(static_cast<uint32_t>(std::stoul(report["pid"])));
    }
    return std::ifstream(ExeDir() + "host.ready").good();
  }, 60s);
  endHost();
  EXPECT_TRUE(recorded);
  for (uint32_t pid : pids) EXPECT_FALSE(Ended(pid, 0ms)) << pid;

  // Adopted and then destroyed; after a failure above, whatever the state file names is still
  // adopted and ended, so that no survivor outlives the test.
  Messages messages;
  KESTRAVO_SetMsgCallBack(&Messages::Callback, &messages);
  ASSERT_EQ(KESTRAVO_Init(), 0);
  std::vector<Message> heard = messages.All();
  if (recorded) EXPECT_EQ(heard.size(), 3u);
  for (size_t i = 0; i < heard.size(); ++i) {
    EXPECT_EQ(heard[i].type, static_cast<uint32_t>(MSG_ATTACHABLE));
    if (recorded && i < pids.size()) EXPECT_EQ(heard[i].pid, pids[i]);
    EXPECT_EQ(KESTRAVO_Attach(heard[i].hpid, heard[i].pid), 0);
    uint32_t pid = 0;
    EXPECT_EQ(KESTRAVO_GetOSPid(heard[i].hpid, &pid), 0);
    EXPECT_EQ(pid, heard[i].pid);
  }
  for (const Message& m : heard) EXPECT_EQ(KESTRAVO_DestroyProcess(m.hpid, 0), 0);
  for (const Message& m : heard) EXPECT_TRUE(Ended(m.pid));
  EXPECT_EQ(KESTRAVO_Uninit(), 0);
}

// "--host N": N children in mode stop, then "host.ready", then waits to be ended.
int RunAsHost(int count) {
  if (KESTRAVO_Init() != 0) return 2;
  for (int i = 0; i < count; ++i) {
    std::string report = ExeDir() + "survivor" + std::to_string(i) + ".report";
    uint32_t hpid = 0;
    if (KESTRAVO_CreateProcess(Helper().c_str(), ("stop " + report + " ").c_str(), &hpid, 0) != 0) return 3;
  }
  // Ready once the state file names them all: the last start's record may wait for its
  // deferred rewrite.
  WaitFor([&] {
    std::string text = FileText(StateFile());
    size_t entries = 0;
    for (size_t at = text.find("<process"); at != std::string::npos; at = text.find("<process", at + 1)) ++entries;
    return entries >= static_cast<size_t>(count);
  }, 60s);
  std::ofstream(ExeDir() + "host.ready") << "ready\n";
  for (;;) std::this_thread::sleep_for(1h);
}

}  // namespace
}  // namespace kestravo::test

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--host") return kestravo::test::RunAsHost(std::atoi(argv[2]));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
