#include "platform/state_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace {

std::atomic<unsigned> tempCounter{0};

bool WriteAll(int fd, const std::string& contents) {
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = write(fd, contents.data() + done, contents.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool ReplaceFileContents(const std::string& path, const std::string& contents) {
  char suffix[64];
  snprintf(suffix, sizeof suffix, ".%d.%u.tmp", static_cast<int>(getpid()), tempCounter.fetch_add(1));
  std::string temp = path + suffix;

  // An unnamed file gets a name only once it is complete, so a crash while writing leaves nothing.
  int fd = open(DirectoryOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  bool named = false;
  if (fd < 0) {
    fd = open(temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    named = true;
  }
  bool ok = WriteAll(fd, contents);
  if (ok && !named) {
    char procPath[64];
    snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    ok = linkat(AT_FDCWD, procPath, AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0;
    named = ok;
  }
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok && named) unlink(temp.c_str());
  errno = saved;
  return ok;
}

StateFileStatus ReadStateFile(const std::string& path, size_t maxSize, std::string* text, std::string* why,
                              int* error) {
  text->clear();
  why->clear();
  *error = 0;
  char detail[128];
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    if (*error == ELOOP) {  // O_NOFOLLOW met a symbolic link: whoever made it chose what we read
      *why = "a symbolic link";
      return StateFileStatus::kUntrusted;
    }
    *why = ErrorText(*error);
    return StateFileStatus::kCannotOpen;
  }
  struct stat status;
  StateFileStatus result = StateFileStatus::kRead;
  if (fstat(fd, &status) != 0) {
    *error = errno;
    *why = ErrorText(*error);
    result = StateFileStatus::kReadFailed;
  } else if (!S_ISREG(status.st_mode)) {
    *why = "not a regular file";
    result = StateFileStatus::kCannotOpen;
  } else if (status.st_nlink != 1) {
    snprintf(detail, sizeof detail, "%lu links: another name of it was planted", static_cast<unsigned long>(status.st_nlink));
    *why = detail;
    result = StateFileStatus::kUntrusted;
  } else if (status.st_uid != geteuid()) {
    snprintf(detail, sizeof detail, "owned by uid %u, not by uid %u", static_cast<unsigned>(status.st_uid),
             static_cast<unsigned>(geteuid()));
    *why = detail;
    result = StateFileStatus::kUntrusted;
  } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    snprintf(detail, sizeof detail, "writable by group or others (mode %04o)",
             static_cast<unsigned>(status.st_mode & 07777));
    *why = detail;
    result = StateFileStatus::kUntrusted;
  } else if (static_cast<unsigned long long>(status.st_size) > maxSize) {
    snprintf(detail, sizeof detail, "%lld bytes, more than %zu", static_cast<long long>(status.st_size), maxSize);
    *why = detail;
    result = StateFileStatus::kUntrusted;
  }
  // Read to the end, but never past the cap: the file may have grown since fstat.
  char buffer[65536];
  while (result == StateFileStatus::kRead) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      *why = ErrorText(*error);
      result = StateFileStatus::kReadFailed;
    } else if (n == 0) {
      break;
    } else if (text->size() + static_cast<size_t>(n) > maxSize) {
      snprintf(detail, sizeof detail, "more than %zu bytes", maxSize);
      *why = detail;
      result = StateFileStatus::kUntrusted;
    } else {
      try {
        text->append(buffer, static_cast<size_t>(n));
      } catch (const std::bad_alloc&) {
        *error = ENOMEM;
        *why = ErrorText(*error);
        result = StateFileStatus::kReadFailed;
      }
    }
  }
  close(fd);
  if (result != StateFileStatus::kRead) text->clear();
  return result;
}

bool CanCreateFilesIn(const std::string& dir, int* error) {
  *error = 0;
  int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  *error = errno;
  // A file system without unnamed files: ReplaceFileContents falls back to a named one, so ask
  // for what that needs.
  if (*error != EOPNOTSUPP && *error != EISDIR) return false;
  struct stat status;
  if (stat(dir.c_str(), &status) != 0) {
    *error = errno;
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    *error = ENOTDIR;
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    *error = errno;
    return false;
  }
  *error = 0;
  return true;
}

std::string ErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r: returns the text, which may or may not be in buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

void RemoveStaleTempFiles(const std::string& path) {
  std::string directory = DirectoryOf(path);
  size_t slash = path.rfind('/');
  std::string head = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (strncmp(name, head.c_str(), head.size()) != 0) continue;
    long pid = 0;
    unsigned counter = 0;
    int used = 0;  // set only when ".tmp" matched too
    const char* rest = name + head.size();
    if (sscanf(rest, "%ld.%u.tmp%n", &pid, &counter, &used) != 2 || used == 0 || rest[used] != '\0' ||
        pid <= 0) {
      continue;
    }
    // A writer that still runs (this process included) may be about to rename its file.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    unlinkat(dirfd(dir), name, 0);
  }
  closedir(dir);
}

StateFileLock LockStateFile(const std::string& lockPath, intptr_t* lock, unsigned long* holder, int* error) {
  *lock = -1;
  *holder = 0;
  *error = 0;
  int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    *error = errno;
    return *error == ELOOP || *error == EISDIR ? StateFileLock::kUntrusted : StateFileLock::kFailed;
  }
  // Checked before anything is written: a hard link planted here (fs.protected_hardlinks off)
  // would have the truncation below hit the file it names.
  struct stat status;
  if (fstat(fd, &status) != 0) {
    *error = errno;
  } else if (!S_ISREG(status.st_mode) || status.st_nlink != 1 || status.st_uid != geteuid()) {
    *error = !S_ISREG(status.st_mode) ? EINVAL : status.st_nlink != 1 ? EMLINK : EPERM;
    close(fd);
    return StateFileLock::kUntrusted;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // flock, not fcntl: a record lock would go with any close of the file anywhere in this process.
    *error = errno;
  }
  if (*error != 0) {
    if (*error == EWOULDBLOCK) {
      char text[24] = {};
      if (pread(fd, text, sizeof text - 1, 0) > 0) *holder = strtoul(text, nullptr, 10);
      close(fd);
      return StateFileLock::kHeld;
    }
    close(fd);
    return StateFileLock::kFailed;
  }
  char text[24];
  int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
  // Only for the message of a host that finds it held: a failure here is no reason to stop.
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(length), 0) != length) {
  }
  *lock = fd;
  return StateFileLock::kTaken;
}

void UnlockStateFile(intptr_t lock) {
  if (lock < 0) return;
  if (ftruncate(static_cast<int>(lock), 0) != 0) {
  }
  close(static_cast<int>(lock));  // the only descriptor of its open file: the lock goes with it
}
