#include <sys/random.h>

#include <cerrno>

#include "last_error.h"
#include "win32.h"

HRESULT CoCreateGuid(GUID* pguid) {
  if (pguid == nullptr) return E_FAIL;
  uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      kestravo::posix::FailWithErrno(errno);
      return E_FAIL;
    }
    got += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  // Big-endian fields, so that the text shows the version digit where RFC 4122 puts it.
  pguid->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                 (uint32_t{bytes[2]} << 8) | bytes[3];
  pguid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  pguid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) pguid->Data4[i] = bytes[8 + i];
  return S_OK;
}
