#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "output_file.h"

namespace kestravo_run {
namespace file {

intptr_t OpenForAppend(const std::string& path, uint64_t* size, std::string* error) {
  // Non-blocking, so that a FIFO without a reader fails instead of hanging; it is refused below.
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    struct stat st;
    *error = err == ELOOP && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)
                 ? "it is a symbolic link, which is never followed"
                 : strerror(err);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *error = "not a regular file";
    return -1;
  }
  fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

bool WriteAll(intptr_t file, const char* data, size_t n, size_t* done, std::string* error) {
  *done = 0;
  while (n > 0) {
    ssize_t written = write(static_cast<int>(file), data, n);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      *error = written < 0 ? strerror(errno) : "nothing written";
      return false;
    }
    data += written;
    n -= static_cast<size_t>(written);
    *done += static_cast<size_t>(written);
  }
  return true;
}

void Close(intptr_t file) { close(static_cast<int>(file)); }

void Rename(const std::string& from, const std::string& to) { rename(from.c_str(), to.c_str()); }

void Remove(const std::string& path) { unlink(path.c_str()); }

std::string LocalStamp() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char text[48];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(text + n, sizeof text - n, ".%03ld", now.tv_nsec / 1000000);
  return text;
}

}  // namespace file
}  // namespace kestravo_run
