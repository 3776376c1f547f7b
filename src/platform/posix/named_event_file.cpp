#include "named_event_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "last_error.h"

namespace kestravo::posix {

namespace {

constexpr char kDirectory[] = "/dev/shm";
constexpr char kPrefix[] = "kestravo-ev.";
constexpr uint32_t kMagic = 0x4B45564Eu;  // "KEVN"
constexpr uint32_t kVersion = 1;
constexpr int kMaxAttempts = 1000;

int LockRetrying(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

bool SameFile(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Called holding the exclusive lock: nobody else can hold the file, so nobody else unlinks it
// between the check and the unlink.
void UnlinkIfStillNamed(int fd, const std::string& path) {
  if (SameFile(fd, path)) unlink(path.c_str());
}

// Removes the files of crashed holders: files of ours that nobody holds. Once per process, so
// that events of hosts killed with their children's events unopened do not pile up.
void SweepLeftovers() {
  DIR* dir = opendir(kDirectory);
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    if (std::string(entry->d_name).rfind(kPrefix, 0) != 0) continue;
    std::string path = std::string(kDirectory) + "/" + entry->d_name;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) UnlinkIfStillNamed(fd, path);
    close(fd);
  }
  closedir(dir);
}

EventBlock* MapBlock(int fd) {
  void* mapped = mmap(nullptr, sizeof(EventBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return mapped == MAP_FAILED ? nullptr : static_cast<EventBlock*>(mapped);
}

// Opens an existing file under its name. Returns the fd with a shared lock, -1 with errno for a
// failure, or -2 when the caller should look again (a leftover was removed, or the file was
// unlinked by its last holder while we opened it).
int OpenExisting(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    UnlinkIfStillNamed(fd, path);  // nobody holds it: a crashed holder's leftover
    close(fd);
    return -2;
  }
  struct stat st {};
  if (errno != EWOULDBLOCK || LockRetrying(fd, LOCK_SH) != 0 || fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  if (st.st_nlink == 0) {  // its last holder unlinked it after our open
    close(fd);
    return -2;
  }
  if (st.st_uid != geteuid()) {  // planted by another user: never trust it with our children
    close(fd);
    errno = EACCES;
    return -1;
  }
  if (static_cast<size_t>(st.st_size) < sizeof(EventBlock)) {
    close(fd);
    errno = EBADF;
    return -1;
  }
  return fd;
}

// Writes a whole new object into an anonymous file, then publishes it under the name, so no
// process ever sees a half-made one. Returns the locked fd, -1 with errno, or -2 when someone
// else published first.
int CreateNew(const std::string& path, bool manualReset, bool initialState) {
  int fd = open(kDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  EventBlock* block = nullptr;
  if (fchmod(fd, 0600) != 0 || ftruncate(fd, sizeof(EventBlock)) != 0 ||
      (block = MapBlock(fd)) == nullptr || LockRetrying(fd, LOCK_SH) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  block->magic = kMagic;
  block->version = kVersion;
  block->manualReset = manualReset ? 1 : 0;
  __atomic_store_n(&block->state, initialState ? 1u : 0u, __ATOMIC_SEQ_CST);
  munmap(block, sizeof(EventBlock));
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    int err = errno;
    close(fd);
    if (err == EEXIST) return -2;
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

std::string NamedEventPath(const std::string& name) {
  std::string path = std::string(kDirectory) + "/" + kPrefix;
  for (char c : name) {
    if (c == '/') {
      path += "%2F";
    } else if (c == '%') {
      path += "%25";
    } else {
      path += c;
    }
  }
  return path;
}

std::unique_ptr<NamedEventFile> NamedEventFile::Open(const std::string& name, bool create,
                                                     bool manualReset, bool initialState,
                                                     bool* existed) {
  std::string path = NamedEventPath(name);
  if (path.size() - sizeof(kDirectory) > NAME_MAX) {
    Fail(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  if (create) {
    static std::once_flag swept;
    std::call_once(swept, SweepLeftovers);
  }
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    int fd = OpenExisting(path);
    bool opened = fd >= 0;
    if (fd == -1 && errno == ENOENT) {
      if (!create) {
        Fail(ERROR_FILE_NOT_FOUND);
        return nullptr;
      }
      fd = CreateNew(path, manualReset, initialState);
    }
    if (fd == -2) continue;
    if (fd < 0) {
      int err = errno;
      if (err == EBADF) {  // too small to be one of ours
        Fail(ERROR_INVALID_HANDLE);
      } else {
        FailWithErrno(err);
      }
      return nullptr;
    }
    EventBlock* block = MapBlock(fd);
    if (block == nullptr || block->magic != kMagic || block->version != kVersion) {
      if (block) munmap(block, sizeof(EventBlock));
      close(fd);
      Fail(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    *existed = opened;
    return std::unique_ptr<NamedEventFile>(new NamedEventFile(fd, block, path));
  }
  Fail(ERROR_GEN_FAILURE);  // the name kept changing hands; not seen in practice
  return nullptr;
}

NamedEventFile::~NamedEventFile() {
  munmap(block_, sizeof(EventBlock));
  // Succeeds only when no other open holds its shared lock: this was the last handle anywhere.
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) UnlinkIfStillNamed(fd_, path_);
  close(fd_);
}

}  // namespace kestravo::posix
