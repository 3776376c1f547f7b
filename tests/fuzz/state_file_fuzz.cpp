// The state file's reader takes any text; what it keeps is valid and survives a rewrite; and any
// strings the writer is given read back as they were.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <list>
#include <set>
#include <string>
#include <tuple>

#include "state/state_file_text.h"

// Written, then read back: the same entries.
static void CheckRoundTrip(const std::list<ProcConfig>& entries) {
  std::string text;
  std::list<ProcConfig> read;
  if (!BuildStateFileText(entries, &text) || ParseStateFileText(text, &read, nullptr).result != StateFileParse::kParsed ||
      read.size() != entries.size())
    abort();
  auto fields = [](const ProcConfig& c) { return std::tie(c.hpid, c.pid, c.exe, c.cmdline, c.guid); };
  for (auto x = entries.begin(), y = read.cbegin(); x != entries.end(); ++x, ++y)
    if (fields(*x) != fields(*y)) abort();
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

  // Each NUL-ended piece of the input as the strings of an entry.
  std::list<ProcConfig> made;
  for (size_t at = 0; at <= input.size() && made.size() < 1024;) {
    std::string piece(input.c_str() + at);
    uint32_t hpid = static_cast<uint32_t>(made.size());
    made.push_back({hpid + 1, hpid, piece, "\"" + piece, piece.empty() ? "{g}" : piece});
    at += piece.size() + 1;
  }
  CheckRoundTrip(made);
  return 0;
}
