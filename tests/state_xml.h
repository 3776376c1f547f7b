// kestravo.xml read back with TinyXML, as the library itself reads it: the tests check what a
// later host would find, not the text.
#pragma once

#include <stdlib.h>
#include <tinyxml.h>

#include <string>
#include <vector>

#include "host_harness.h"

namespace kestravo::test {

struct StateXml {
  bool loaded = false;    // TinyXML read it without error and found the root "kestravo"
  std::string error;      // why not: TinyXML's description, or the missing root
  bool complete = true;   // every "process" element carries all five attributes
  std::vector<StateEntry> entries;
};

inline StateXml ReadStateXml(const std::string& path) {
  StateXml state;
  TiXmlDocument document;
  if (!document.LoadFile(path.c_str(), TIXML_ENCODING_UNKNOWN)) {
    state.error = document.ErrorDesc();
    return state;
  }
  TiXmlElement* root = document.FirstChildElement("kestravo");
  if (root == nullptr) {
    state.error = "no kestravo";
    return state;
  }
  state.loaded = true;
  for (TiXmlElement* e = root->FirstChildElement("process"); e != nullptr;
       e = e->NextSiblingElement("process")) {
    const char* hpid = e->Attribute("hpid");
    const char* pid = e->Attribute("pid");
    const char* exe = e->Attribute("exe");
    const char* cmdline = e->Attribute("cmdline");
    const char* guid = e->Attribute("guid");
    if (!hpid || !pid || !exe || !cmdline || !guid) {
      state.complete = false;
      continue;
    }
    state.entries.push_back({static_cast<uint32_t>(atoi(hpid)), static_cast<uint32_t>(atoi(pid)),
                             exe, cmdline, guid});
  }
  return state;
}

}  // namespace kestravo::test
