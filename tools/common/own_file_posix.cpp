#include "own_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravo_tools {

int OpenOwnFileForAppend(const std::string& path, uint64_t* size, std::string* error, int64_t owner, int64_t group) {
  // Non-blocking, so that a FIFO without a reader fails instead of hanging; one with a reader is
  // refused below.
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st;
  if (fd < 0) {
    int err = errno;
    bool seen = lstat(path.c_str(), &st) == 0;
    *error = seen && S_ISLNK(st.st_mode)    ? "it is a symbolic link, which is never followed"
             : seen && !S_ISREG(st.st_mode) ? "not a regular file"
                                            : strerror(err);
    return -1;
  }
  const char* why = fstat(fd, &st) != 0                  ? strerror(errno)
                    : !S_ISREG(st.st_mode)               ? "not a regular file"
                    : st.st_uid != geteuid() && (owner < 0 || st.st_uid != static_cast<uid_t>(owner))
                                                         ? "it belongs to another user"
                    : (st.st_mode & (S_IWGRP | S_IWOTH)) ? "other users may write it"
                    : st.st_nlink != 1                   ? "it has more than one link, and so another name"
                                                         : nullptr;
  // Checked above to be one regular file: handing it over follows no link.
  if (why == nullptr && owner >= 0 &&
      (st.st_uid != static_cast<uid_t>(owner) || (group >= 0 && st.st_gid != static_cast<gid_t>(group))) &&
      fchown(fd, static_cast<uid_t>(owner), group >= 0 ? static_cast<gid_t>(group) : static_cast<gid_t>(-1)) != 0)
    why = strerror(errno);
  if (why != nullptr) {
    close(fd);
    *error = why;
    return -1;
  }
  fcntl(fd, F_SETFL, O_APPEND);
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

int OpenOwnFileForReading(const std::string& path, std::string* error, int64_t owner) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = errno == ELOOP ? "it is a symbolic link, which is never followed" : strerror(errno);
    return -1;
  }
  struct stat st;
  const char* why = fstat(fd, &st) != 0      ? strerror(errno)
                    : !S_ISREG(st.st_mode)   ? "not a regular file"
                    : st.st_nlink != 1       ? "it has more than one link, and so another name"
                    : st.st_uid != geteuid() && (owner < 0 || st.st_uid != static_cast<uid_t>(owner))
                                             ? "it belongs to another user"
                                             : nullptr;
  if (why != nullptr) {
    close(fd);
    *error = why;
    return -1;
  }
  fcntl(fd, F_SETFL, 0);
  return fd;
}

}  // namespace kestravo_tools
