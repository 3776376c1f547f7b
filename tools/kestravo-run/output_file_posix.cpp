#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "output_file.h"
#include "own_file.h"

namespace kestravo_run {
namespace file {

namespace {
int64_t g_owner = -1, g_group = -1;  // set once, before the output file is first opened
}  // namespace

void SetOwner(uint32_t uid, uint32_t gid) {
  g_owner = uid;
  g_group = gid;
}

intptr_t OpenForAppend(const std::string& path, uint64_t* size, std::string* error) {
  return kestravo_tools::OpenOwnFileForAppend(path, size, error, g_owner, g_group);
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

bool Rename(const std::string& from, const std::string& to, std::string* error) {
  if (rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT) return true;
  *error = strerror(errno);
  return false;
}

bool Remove(const std::string& path, std::string* error) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  *error = strerror(errno);
  return false;
}

bool ReadPrivate(const std::string& path, std::string* text, std::string* error) {
  int fd = kestravo_tools::OpenOwnFileForReading(path, error);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (!ok) *error = strerror(errno);
  else if ((st.st_mode & 077) != 0) *error = "other users may read or write it";
  else if (st.st_size > (1 << 20)) *error = "larger than 1 MiB";
  ok = ok && error->empty();
  char buffer[16384];
  while (ok) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = strerror(errno);
      ok = false;
    }
    if (n <= 0 || text->size() > (1 << 20)) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

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
