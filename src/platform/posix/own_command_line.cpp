#include "own_command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestravo::posix {

namespace {

void JoinArguments(char* text, size_t size) {
  while (size > 0 && text[size - 1] == '\0') --size;
  for (size_t i = 0; i < size; ++i) {
    if (text[i] == '\0') text[i] = ' ';
  }
}

// Fills text from fd until its end or until size bytes are in: the count, or -1 on an error.
ssize_t ReadUpTo(int fd, char* text, size_t size) {
  size_t length = 0;
  while (length < size) {
    const ssize_t n = read(fd, text + length, size - length);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    length += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(length);
}

int OpenOwnCommandLine() { return open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC); }

}  // namespace

bool ReadOwnCommandLine(char* text, size_t size) {
  const int fd = OpenOwnCommandLine();
  if (fd < 0) return false;
  const ssize_t length = ReadUpTo(fd, text, size);
  close(fd);
  if (length < 0 || static_cast<size_t>(length) == size) return false;
  text[length] = '\0';
  JoinArguments(text, static_cast<size_t>(length));
  return true;
}

bool ReadOwnCommandLine(std::string* line) {
  const int fd = OpenOwnCommandLine();
  if (fd < 0) return false;
  line->clear();
  char buffer[4096];
  ssize_t n;
  // A short count is the end of the file.
  while ((n = ReadUpTo(fd, buffer, sizeof buffer)) > 0) {
    line->append(buffer, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof buffer) break;
  }
  close(fd);
  if (n < 0) return false;
  JoinArguments(&(*line)[0], line->size());
  line->resize(strlen(line->c_str()));
  return true;
}

}  // namespace kestravo::posix
