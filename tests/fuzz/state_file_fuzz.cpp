// The state file's reader takes any text; what it keeps is valid and survives a rewrite; and any
// strings the writer is given read back as they were.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <list>
#include <set>
#include <string>

#include "config/state_file_text.h"

namespace {

bool Same(const std::list<ProcConfig>& a, const std::list<ProcConfig>& b) {
  if (a.size() != b.size()) return false;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    if (x->hpid != y->hpid || x->pid != y->pid || x->exe != y->exe || x->cmdline != y->cmdline || x->guid != y->guid)
      return false;
  }
  return true;
}

// Written, then read back: the same entries.
void CheckRoundTrip(const std::list<ProcConfig>& entries) {
  std::string text;
  if (!BuildStateFileText(entries, &text)) abort();
  std::list<ProcConfig> read;
  if (ParseStateFileText(text, &read, nullptr).result != StateFileParse::kParsed || !Same(entries, read)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  std::list<ProcConfig> entries;
  ParseStateFileText(input, &entries, nullptr);
  std::set<uint32_t> hpids;
  for (const ProcConfig& e : entries) {
    if (e.hpid > 1023 || e.pid == 0 || e.pid > 0x7FFFFFFF || e.guid.empty() || !hpids.insert(e.hpid).second) abort();
  }
  CheckRoundTrip(entries);

  // The input's NUL-separated pieces as the strings of entries (strings end at their first NUL).
  std::list<ProcConfig> made;
  size_t at = 0;
  for (uint32_t hpid = 0; at <= input.size() && hpid < 1024; ++hpid) {
    std::string piece[3];
    for (std::string& p : piece) {
      size_t end = input.find('\0', at);
      if (end == std::string::npos) end = input.size();
      p = input.substr(at < input.size() ? at : input.size(), end - (at < input.size() ? at : input.size()));
      at = end + 1;
    }
    ProcConfig config;
    config.hpid = hpid;
    config.pid = hpid + 1;
    config.exe = piece[0];
    config.cmdline = piece[1];
    config.guid = piece[2].empty() ? "{g}" : piece[2];
    made.push_back(config);
  }
  CheckRoundTrip(made);
  return 0;
}
