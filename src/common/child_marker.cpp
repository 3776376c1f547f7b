#include "common/child_marker.h"

#include <cctype>
#include <cstring>

namespace kestravo {

namespace {

constexpr size_t kMarkerLength = sizeof kChildMarker - 1;

bool IsGuidText(const char* text) {
  for (size_t i = 0; i < kGuidTextLength; ++i) {
    char c = text[i];
    bool ok;
    if (i == 0) {
      ok = c == '{';
    } else if (i == kGuidTextLength - 1) {
      ok = c == '}';
    } else if (i == 9 || i == 14 || i == 19 || i == 24) {
      ok = c == '-';
    } else {
      ok = isxdigit(static_cast<unsigned char>(c)) != 0;
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string ChildIdentityText(const std::string& hpid, const std::string& guid) {
  return kChildMarker + ("pid=" + hpid) + ";guid=" + guid;
}

std::string BuildChildCmdLine(uint32_t hpid, const std::string& guid, const std::string& cmdLine) {
  return cmdLine + ChildIdentityText(std::to_string(static_cast<int32_t>(hpid)), guid);
}

size_t FindChildMarker(const std::string& line) { return line.rfind(kChildMarker); }

std::string TextBeforeChildMarker(const std::string& line) { return line.substr(0, FindChildMarker(line)); }

bool ParseChildIdentity(const char* line, uint32_t* hpid, char* guid) noexcept {
  if (line == nullptr || hpid == nullptr || guid == nullptr) return false;
  const char* marker = nullptr;
  for (const char* at = strstr(line, kChildMarker); at != nullptr; at = strstr(at + 1, kChildMarker)) marker = at;
  if (marker == nullptr) return false;
  const char* p = marker + kMarkerLength;
  if (strncmp(p, "pid=", 4) != 0) return false;
  p += 4;
  uint64_t number = 0;
  const char* digits = p;
  while (isdigit(static_cast<unsigned char>(*p)) && p - digits < 10) {
    number = number * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  if (p == digits || number > UINT32_MAX || strncmp(p, ";guid=", 6) != 0) return false;
  p += 6;
  if (strnlen(p, kGuidTextLength) < kGuidTextLength || !IsGuidText(p)) return false;
  // The GUID ends the command line; trailing white space (a line read from a file) is allowed.
  for (const char* rest = p + kGuidTextLength; *rest != '\0'; ++rest) {
    if (!isspace(static_cast<unsigned char>(*rest))) return false;
  }
  *hpid = static_cast<uint32_t>(number);
  memcpy(guid, p, kGuidTextLength);
  guid[kGuidTextLength] = '\0';
  return true;
}

}  // namespace kestravo
