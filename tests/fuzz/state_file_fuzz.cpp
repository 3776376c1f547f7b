// The state file's reader takes any text; what it keeps is valid and survives a rewrite; and any
// strings the writer is given read back as they were.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <cstdlib>
#include <list>
#include <set>
#include <string>

#include "config/state_file_text.h"

// Written, then read back: the same entries.
static void CheckRoundTrip(const std::list<ProcConfig>& entries) {
  std::string text;
  std::list<ProcConfig> read;
  if (!BuildStateFileText(entries, &text) || ParseStateFileText(text, &read, nullptr).result != StateFileParse::kParsed ||
      read.size() != entries.size())
    abort();
  for (auto x = entries.begin(), y = read.begin(); x != entries.end(); ++x, ++y) {
    if (x->hpid != y->hpid || x->pid != y->pid || x->exe != y->exe || x->cmdline != y->cmdline || x->guid != y->guid)
      abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::list<ProcConfig> entries;
  ParseStateFileText(input, &entries, nullptr);
  std::set<uint32_t> hpids;
  for (const ProcConfig& e : entries) {
    if (e.hpid > 1023 || e.pid == 0 || e.pid > 0x7FFFFFFF || e.guid.empty() || !hpids.insert(e.hpid).second) abort();
  }
  CheckRoundTrip(entries);

  // The input's NUL-separated pieces, three to an entry, as its strings.
  std::list<ProcConfig> made;
  std::string piece[3];
  size_t at = 0;
  for (uint32_t hpid = 0; at <= input.size() && hpid < 1024; ++hpid) {
    for (std::string& p : piece) {
      size_t end = std::min(input.find('\0', at), input.size());
      p = at < input.size() ? input.substr(at, end - at) : std::string();
      at = end + 1;
    }
    made.push_back({hpid + 1, hpid, piece[0], piece[1], piece[2].empty() ? "{g}" : piece[2]});
  }
  CheckRoundTrip(made);
  return 0;
}
