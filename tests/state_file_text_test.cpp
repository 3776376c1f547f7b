// The state file's text must be exactly what TinyXML's printer makes of the same document: the
// file's format is TinyXML's, escaping quirks included.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <list>
#include <string>

#include "config/state_file_text.h"

namespace {

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

ProcConfig Entry(uint32_t hpid, uint32_t pid, std::string exe, std::string cmdline, std::string guid) {
  ProcConfig config;
  config.hpid = hpid;
  config.pid = pid;
  config.exe = std::move(exe);
  config.cmdline = std::move(cmdline);
  config.guid = std::move(guid);
  return config;
}

TEST(StateFileText, MatchesTinyXmlsPrinter) {
  const std::list<std::list<ProcConfig>> documents = {
      {},
      {Entry(0, 5128, "/svc/worker", "kestravCmdLine:;pid=0;guid={6A1F0C3E-52B7-4d09-8E21-93C0B5A7D4F2}",
             "{6A1F0C3E-52B7-4d09-8E21-93C0B5A7D4F2}")},
      {Entry(3, 0xFFFFFFFF, R"(/opt/a <b> & "c" 'd'/x)", R"(-x "a b" & <y> 'z' )", "{G}"),
       Entry(1023, 0, "", "", ""),
       Entry(7, 1, "tab\there\nnew\x01line\x1f", "\x7f\x80\xff high", "'only single'"),
       // Text that looks like a character reference is escaped like any other.
       Entry(8, 2, "&#x41;&#x<\"';& #x &#", "a&#x", "&#x42"),
       Entry(9, 3, std::string("cut\0here", 8), "&amp; &lt; &#38;", "x&#xZ<;>y")},
  };
  for (const auto& entries : documents) {
    std::string text = "left over from the last rewrite";
    ASSERT_TRUE(BuildStateFileText(entries, &text));
    EXPECT_EQ(text, PrintedByTinyXml(entries));
  }
}

}  // namespace
