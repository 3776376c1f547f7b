// The state file's text: exactly what TinyXML's printer makes of the same document (its escaping
// quirks included), read back byte for byte, and the rules for entries that cannot be used; the
// state file and its lock refused when another name of a file was planted under theirs.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <filesystem>
#include <fstream>
#include <list>
#include <string>
#include <tuple>

#include "platform/state_file.h"
#include "state/state_file_text.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#else
#include <unistd.h>
#endif

namespace {

// Makes another account the file's owner, as root or an administrator can; false where that
// cannot be done here.
bool GiveAway(const std::string& path) {
#ifdef _WIN32
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr, owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  bool given = AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone) &&
               SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, everyone,
                                     nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
               GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                     nullptr, &descriptor) == ERROR_SUCCESS &&
               owner != nullptr && EqualSid(owner, everyone);
  if (descriptor != nullptr) LocalFree(descriptor);
  if (everyone != nullptr) FreeSid(everyone);
  return given;
#else
  return geteuid() == 0 && chown(path.c_str(), 65534, 65534) == 0;
#endif
}

std::string PrintedByTinyXml(const std::list<ProcConfig>& entries) {
  TiXmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
  TiXmlElement* root = new TiXmlElement("kestravo");
  document.LinkEndChild(root);
  for (const ProcConfig& config : entries) {
    TiXmlElement* element = new TiXmlElement("process");
    root->LinkEndChild(element);
    element->SetAttribute("hpid", static_cast<int>(config.hpid));
    element->SetAttribute("pid", static_cast<int>(config.pid));
    element->SetAttribute("exe", config.exe.c_str());
    element->SetAttribute("cmdline", config.cmdline.c_str());
    element->SetAttribute("guid", config.guid.c_str());
  }
  TiXmlPrinter printer;
  document.Accept(&printer);
  return printer.Str();
}

auto Fields(const ProcConfig& c) { return std::tie(c.hpid, c.pid, c.exe, c.cmdline, c.guid); }

// Every document is printed as TinyXML prints it; the second is read back as it was written.
TEST(StateFileText, MatchesTinyXmlsPrinterAndReadsBackByteForByte) {
  const std::list<ProcConfig> documents[] = {
      {{0xFFFFFFFF, 3, "tab\there\nnew\x01line\x1f", "\x7f\x80\xff high", "'only single'", {}}, {0, 1023, "", "", "", {}},
       // Text that looks like a character reference is escaped like any other.
       {2, 8, "&#x41;&#x<\"';& #x &#", "a&#x", "&#x42", {}}, {3, 9, std::string("cut\0here", 8), "&amp; &lt; &#38;", "x&#xZ<;>y", {}}},
      {{4242, 4, R"(/opt/a <b> & "c" 'd'/x)", R"(  -x "a b" & <y> 'z'  kestravCmdLine:;pid=4;guid={G})", "{G}", {}},
       {0x7FFFFFFF, 1023, R"(C:\svc\w.exe)", "&amp; &lt;", "{A-b}", {}},
       // Not UTF-8: a Latin-1 0xE9 before a quote or an entity, and a lone lead byte at the end.
       {7, 7, "/opt/caf\xE9", "-n \"Caf\xE9\" \xCD& \xF0<", "{g}\xC3", {}}},
      {},
  };
  for (const auto& entries : documents) {
    std::string text = "left over from the last rewrite";
    ASSERT_TRUE(BuildStateFileText(entries, &text));
    EXPECT_EQ(text, PrintedByTinyXml(entries));
  }
  std::string text;
  ASSERT_TRUE(BuildStateFileText(documents[1], &text));
  std::list<ProcConfig> read;
  ASSERT_EQ(ParseStateFileText(text, &read, {}).result, StateFileParse::kParsed);
  ASSERT_EQ(read.size(), documents[1].size());
  auto w = documents[1].begin();
  for (const ProcConfig& r : read) EXPECT_EQ(Fields(r), Fields(*w++));
}

TEST(StateFileText, EntriesThatCannotBeUsedAreSkipped) {
  // The attributes of one entry between two good ones; true: it is kept.
  const std::pair<std::string, bool> entries[] = {
      {R"(hpid="abc" pid="7" guid="{g}")", false}, {R"(hpid="-1" pid="7" guid="{g}")", false},
      {R"(hpid="1024" pid="7" guid="{g}")", false}, {R"(hpid="+3" pid="7" guid="{g}")", false},
      {R"(hpid=" 3" pid="7" guid="{g}")", false}, {R"(hpid="3x" pid="7" guid="{g}")", false},
      {R"(hpid="99999999999" pid="7" guid="{g}")", false}, {R"(hpid="" pid="7" guid="{g}")", false},
      {R"(pid="7" guid="{g}")", false}, {R"(hpid="3" pid="0" guid="{g}")", false},
      {R"(hpid="3" pid="-1" guid="{g}")", false}, {R"(hpid="3" pid="2147483648" guid="{g}")", false},
      {R"(hpid="3" guid="{g}")", false}, {R"(hpid="3" pid="7")", false}, {R"(hpid="3" pid="7" guid="")", false},
      {R"(hpid="0" pid="7" guid="{g}")", false},  // the hpid of the first entry
      {R"(hpid="1023" pid="2147483647" guid="{g}")", true},
  };
  for (const auto& [attributes, kept] : entries) {
    std::list<ProcConfig> read;
    int skipped = 0;
    const std::string text = "<kestravo><process hpid=\"0\" pid=\"1\" guid=\"{a}\" /><process " + attributes +
                             " exe=\"x\" /><process hpid=\"2\" pid=\"2\" guid=\"{b}\" /></kestravo>";
    ParseStateFileText(text, &read, [&](const ProcConfig&, const char* problem) { skipped += problem != nullptr; });
    ASSERT_EQ(read.size(), kept ? 3u : 2u) << attributes;
    EXPECT_EQ(skipped, kept ? 0 : 1) << attributes;
    EXPECT_EQ(read.front().guid + read.back().guid, "{a}{b}") << attributes;
  }
}

// What a child said of itself is kept with its entry and read back; values that cannot be taken
// leave the defaults; a grace of 0 is the default and a longer one than ten minutes is cut.
TEST(StateFileText, AChildsSettingsAreKeptWithItsEntry) {
  const std::pair<std::string, std::string> rows[] = {
      {"READY=1 WATCHDOG_USEC=5000000 KESTRAVO_READY_TIMEOUT_USEC=30000000 KESTRAVO_RESTART=on-failure "
       "KESTRAVO_SUCCESS_EXIT=0,2 KESTRAVO_STOP_GRACE_MS=500", ""},
      {"READY=2 WATCHDOG_USEC=-1 KESTRAVO_RESTART=sometimes KESTRAVO_SUCCESS_EXIT=0,x KESTRAVO_STOP_GRACE_MS=0 FOO=1", ""},
      {"KESTRAVO_RESTART=never KESTRAVO_SUCCESS_EXIT=,-3,,4294967295 KESTRAVO_STOP_GRACE_MS=99999999",
       "KESTRAVO_RESTART=never KESTRAVO_SUCCESS_EXIT=-3,-1 KESTRAVO_STOP_GRACE_MS=600000"},
  };
  for (const auto& [stored, expected] : rows) {
    const std::string& kept = &stored == &rows[0].first ? stored : expected;
    std::list<ProcConfig> read;
    ParseStateFileText("<kestravo><process hpid=\"0\" pid=\"1\" guid=\"{a}\" notify=\"" + stored + "\" /></kestravo>", &read, {});
    ASSERT_EQ(read.size(), 1u) << stored;
    EXPECT_EQ(SettingsText(read.front().settings), kept) << stored;
    std::string text;
    ASSERT_TRUE(BuildStateFileText(read, &text));
    std::list<ProcConfig> again;
    ParseStateFileText(text, &again, {});
    ASSERT_EQ(again.size(), 1u) << text;
    EXPECT_TRUE(again.front().settings == read.front().settings) << text;
  }
}

// A state file or lock that is a second name of another file (one that a program run as another
// user could have linked in), or another user's, is neither read nor written, on either system.
TEST(StateFile, ASecondNameOrAnotherUsersFileIsNeitherReadNorWritten) {
  kestravo::test::TempDir dir;
  std::ofstream(dir.File("precious")) << "precious";
  std::filesystem::create_hard_link(dir.File("precious"), dir.File("kestravo.xml"));
  std::filesystem::create_hard_link(dir.File("precious"), dir.File("kestravo.xml.lock"));
  std::string text, why;
  int error = 0;
  EXPECT_EQ(ReadStateFile(dir.File("kestravo.xml"), 1 << 20, &text, &why, &error), StateFileStatus::kUntrusted) << why;
  intptr_t lock = -1;
  unsigned long holder = 0;
  EXPECT_EQ(LockStateFile(dir.File("kestravo.xml.lock"), &lock, &holder, &error), StateFileLock::kUntrusted);
  UnlockStateFile(lock);
  EXPECT_EQ(kestravo::test::FileText(dir.File("precious")), "precious");
  std::ofstream(dir.File("foreign.lock")) << "foreign";
  if (GiveAway(dir.File("foreign.lock"))) {
    EXPECT_EQ(LockStateFile(dir.File("foreign.lock"), &lock, &holder, &error), StateFileLock::kUntrusted);
    UnlockStateFile(lock);
    EXPECT_EQ(kestravo::test::FileText(dir.File("foreign.lock")), "foreign");
  }
}

}  // namespace
