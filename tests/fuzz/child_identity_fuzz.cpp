// The child's identity parser takes any command line; the marker the library appends is always
// read back, whatever the caller's own text holds.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "kestravo_child.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  KESTRAVO_ChildIdentity identity;
  if (KESTRAVO_ChildGetIdentity(text.c_str(), &identity) == 0 &&
      (strlen(identity.guid) != 38 || text.find(";guid=" + std::string(identity.guid)) == std::string::npos))
    abort();

  // The caller's text, then the marker as the library builds it.
  uint32_t hpid = 0;
  memcpy(&hpid, data, size < sizeof hpid ? size : sizeof hpid);
  const char guid[] = "{6A1F0C3E-52B7-4d09-8E21-93C0B5A7D4F2}";
  char marker[96];
  snprintf(marker, sizeof marker, "kestravCmdLine:;pid=%u;guid=%s", hpid, guid);
  if (KESTRAVO_ChildGetIdentity((text + marker).c_str(), &identity) != 0 || identity.hpid != hpid ||
      strcmp(identity.guid, guid) != 0)
    abort();
  return 0;
}
