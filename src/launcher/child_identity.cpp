#include "launcher/child_identity.h"

#include <stdio.h>

bool CreateGuidString(std::string* out) {
  GUID guid;
  if (CoCreateGuid(&guid) != S_OK) return false;
  char text[64];
  snprintf(text, sizeof text, "{%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(guid.Data1),
           guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
           guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  *out = text;
  return true;
}

HANDLE CreateStopEvent(const std::string& guid, StopEventReset reset, bool* existed) {
  HANDLE event = CreateEventA(nullptr, reset == StopEventReset::kManual ? TRUE : FALSE, FALSE, guid.c_str());
  if (existed != nullptr) *existed = event != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  return event;
}
