#include "own_command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kestravo::posix {

void JoinArguments(char* text, size_t size) {
  while (size > 0 && text[size - 1] == '\0') --size;
  for (size_t i = 0; i < size; ++i) {
    if (text[i] == '\0') text[i] = ' ';
  }
}

bool ReadOwnCommandLine(char* text, size_t size) {
  const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t length = 0;
  ssize_t n = 0;
  while (length < size && ((n = read(fd, text + length, size - length)) > 0 || (n < 0 && errno == EINTR))) {
    if (n > 0) length += static_cast<size_t>(n);
  }
  close(fd);
  if (n < 0 || length == size) return false;
  text[length] = '\0';
  JoinArguments(text, length);
  return true;
}

}  // namespace kestravo::posix
