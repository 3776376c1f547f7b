#include "named_event_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "deadline.h"
#include "last_error.h"

namespace kestravo::posix {

namespace {

constexpr char kDirectory[] = "/dev/shm";
constexpr char kPrefix[] = "kestravo-ev.";
constexpr uint32_t kMagic = 0x4B45564Eu;  // "KEVN"
constexpr uint32_t kVersion = 1;
constexpr int kMaxAttempts = 1000;
// How long one open waits, in all, for a lock that another open holds exclusively. Ours hold it
// only for the moment of a close or a sweep; anything longer is someone blocking the name.
constexpr uint32_t kLockWaitMs = 250;

// Closes the descriptor on every way out unless released.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

enum class Attempt { kDone, kAgain, kFailed };

// The whole block through the descriptor: false for a file cut short or without our header.
bool ReadBlock(int fd, EventBlock* block) {
  ssize_t n;
  do {
    n = pread(fd, block, sizeof *block, 0);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof *block) && block->magic == kMagic &&
         block->version == kVersion;
}

// Opens whatever is under the name without following a link or blocking on a FIFO.
int OpenName(const char* path, DWORD* error) {
  int fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd >= 0) return fd;
  switch (errno) {
    case ELOOP:   // a symbolic link
    case EISDIR:  // a directory
    case ENXIO:   // a socket
      *error = ERROR_INVALID_HANDLE;
      break;
    default:
      *error = WindowsErrorFromErrno(errno);
  }
  return -1;
}

// ERROR_SUCCESS for a file that may be ours: a regular file of this user, owner-only, with room
// for the block. Decided on the descriptor before any lock is taken.
DWORD CheckOwnFile(int fd, struct stat* st) {
  if (fstat(fd, st) != 0) return WindowsErrorFromErrno(errno);
  if (!S_ISREG(st->st_mode)) return ERROR_INVALID_HANDLE;
  if (st->st_uid != geteuid() || (st->st_mode & 07777) != 0600) return ERROR_ACCESS_DENIED;
  if (static_cast<size_t>(st->st_size) < sizeof(EventBlock)) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

// Called holding the exclusive lock on a file of ours: no other open of it can unlink it between
// the check and the unlink. lstat, so a link put under the name is never taken for the file.
void UnlinkIfStillNamed(int fd, const char* path) {
  struct stat opened {};
  struct stat named {};
  if (fstat(fd, &opened) == 0 && lstat(path, &named) == 0 &&
      opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
    unlink(path);
  }
}

// A file of ours that nobody holds is a crashed holder's leftover: unlinks it and returns true.
// Anything else under the name is left alone.
bool RemoveIfLeftover(int fd, const char* path) {
  struct stat st {};
  EventBlock block {};
  if (CheckOwnFile(fd, &st) != ERROR_SUCCESS || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      !ReadBlock(fd, &block)) {
    return false;
  }
  UnlinkIfStillNamed(fd, path);
  return true;
}

// Removes the files of crashed holders. Once per process, so that events of hosts killed with
// their children's events unopened do not pile up.
void SweepLeftovers() {
  DIR* dir = opendir(kDirectory);
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    if (strncmp(entry->d_name, kPrefix, sizeof kPrefix - 1) != 0) continue;
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", kDirectory, entry->d_name);
    DWORD error;
    Fd fd(OpenName(path, &error));
    if (fd.get() >= 0) RemoveIfLeftover(fd.get(), path);
  }
  closedir(dir);
}

// The shared lock, waiting only until the deadline for an exclusive holder to let go.
DWORD LockShared(int fd, const Deadline& deadline) {
  for (;;) {
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) return ERROR_SUCCESS;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return WindowsErrorFromErrno(errno);
    if (deadline.RemainingMs() == 0) return ERROR_SHARING_VIOLATION;
    timespec pause{0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

// Opens an existing file under its name, with a shared lock. kAgain when the caller should look
// again: a leftover was removed, or its last holder unlinked it while we opened it.
Attempt OpenExisting(const char* path, const Deadline& lockDeadline, int* out,
                     DWORD* error) {
  Fd fd(OpenName(path, error));
  if (fd.get() < 0) return Attempt::kFailed;
  struct stat st {};
  if ((*error = CheckOwnFile(fd.get(), &st)) != ERROR_SUCCESS) return Attempt::kFailed;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    EventBlock block {};
    if (!ReadBlock(fd.get(), &block)) {  // ours by owner and mode, but not an event: keep off
      *error = ERROR_INVALID_HANDLE;
      return Attempt::kFailed;
    }
    UnlinkIfStillNamed(fd.get(), path);
    return Attempt::kAgain;
  }
  if (errno != EWOULDBLOCK) {
    *error = WindowsErrorFromErrno(errno);
    return Attempt::kFailed;
  }
  if ((*error = LockShared(fd.get(), lockDeadline)) != ERROR_SUCCESS) return Attempt::kFailed;
  if (fstat(fd.get(), &st) != 0) {
    *error = WindowsErrorFromErrno(errno);
    return Attempt::kFailed;
  }
  if (st.st_nlink == 0) return Attempt::kAgain;  // its last holder unlinked it after our open
  *out = fd.release();
  return Attempt::kDone;
}

// A whole new object in an anonymous file, locked shared as every open holds it. -1 on failure.
int MakeUnnamed(bool manualReset, bool initialState, DWORD* error) {
  Fd fd(open(kDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  EventBlock block{kMagic, kVersion, manualReset ? 1u : 0u, initialState ? 1u : 0u};
  if (fd.get() < 0 || fchmod(fd.get(), 0600) != 0 ||
      pwrite(fd.get(), &block, sizeof block, 0) != static_cast<ssize_t>(sizeof block) ||
      flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
    *error = WindowsErrorFromErrno(errno);
    return -1;
  }
  return fd.release();
}

// Gives an anonymous file the name, so no process ever sees a half-made object. kAgain when
// something is under the name already.
Attempt Publish(int fd, const char* path, DWORD* error) {
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0) return Attempt::kDone;
  if (errno == EEXIST) return Attempt::kAgain;
  *error = WindowsErrorFromErrno(errno);
  return Attempt::kFailed;
}

// Writes a whole new object into an anonymous file, then publishes it under the name. kAgain
// when someone else published first.
Attempt CreateNew(const char* path, bool manualReset, bool initialState, int* out,
                  DWORD* error) {
  Fd fd(MakeUnnamed(manualReset, initialState, error));
  if (fd.get() < 0) return Attempt::kFailed;
  const Attempt published = Publish(fd.get(), path, error);
  if (published == Attempt::kDone) *out = fd.release();
  return published;
}

// An auto-reset, unsignalled event made ahead of its name (a child's stop event), so that its
// create only has to link it. A forked copy does not take the one it inherited: it would name the
// same file as the process it came from.
struct Spare {
  int fd = -1;
  EventBlock* block = nullptr;
  pid_t maker = 0;
};
std::mutex spareMutex;
Spare spare;  // guarded by spareMutex

void Release(Spare* made) {
  if (made->block != nullptr) munmap(made->block, sizeof(EventBlock));
  if (made->fd >= 0) close(made->fd);
  *made = Spare{};
}

// This process's spare, if there is one; an inherited one is let go.
Spare TakeSpare() {
  std::lock_guard<std::mutex> lock(spareMutex);
  Spare taken = spare;
  spare = Spare{};
  if (taken.fd >= 0 && taken.maker != getpid()) Release(&taken);
  return taken;
}

// Keeps made as the spare unless this process has one already; an inherited one gives way.
void KeepSpare(Spare made) {
  {
    std::lock_guard<std::mutex> lock(spareMutex);
    if (spare.fd < 0 || spare.maker != getpid()) std::swap(spare, made);
  }
  Release(&made);
}

// Calls put with each character of the name's path: the directory, the prefix, then the name with
// '/' and '%' escaped.
template <typename Put>
void PutEventPath(const char* name, Put put) {
  for (const char* c = kDirectory; *c != '\0'; ++c) put(*c);
  put('/');
  for (const char* c = kPrefix; *c != '\0'; ++c) put(*c);
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c == '/') {
      put('%'), put('2'), put('F');
    } else if (*c == '%') {
      put('%'), put('2'), put('5');
    } else {
      put(*c);
    }
  }
}

}  // namespace

std::string NamedEventPath(const std::string& name) {
  std::string path;
  PutEventPath(name.c_str(), [&](char c) { path += c; });
  return path;
}

bool NamedEventPathInto(const char* name, char* path, size_t size) {
  size_t length = 0;
  PutEventPath(name, [&](char c) {
    if (length < size) path[length] = c;
    ++length;
  });
  if (length - (sizeof kDirectory) > NAME_MAX || length >= size) return Fail(ERROR_FILENAME_EXCED_RANGE);
  path[length] = '\0';
  return true;
}

bool OpenEventFile(const char* path, bool create, bool manualReset, bool initialState, EventFileOpen* out,
                   bool* existed) {
  Deadline lockDeadline(kLockWaitMs);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    int raw = -1;
    DWORD error = ERROR_SUCCESS;
    Attempt result = OpenExisting(path, lockDeadline, &raw, &error);
    bool opened = result == Attempt::kDone;
    if (result == Attempt::kFailed && error == ERROR_FILE_NOT_FOUND && create) {
      result = CreateNew(path, manualReset, initialState, &raw, &error);
    }
    if (result == Attempt::kAgain) continue;
    if (result == Attempt::kFailed) return Fail(error);
    Fd fd(raw);
    // The header is read through the descriptor: the file may have changed since the checks.
    EventBlock block {};
    if (!ReadBlock(fd.get(), &block)) return Fail(ERROR_INVALID_HANDLE);
    void* mapped = mmap(nullptr, sizeof(EventBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (mapped == MAP_FAILED) return FailWithErrno(errno);
    out->block = static_cast<EventBlock*>(mapped);
    out->fd = fd.release();
    out->manualReset = block.manualReset != 0;
    *existed = opened;
    return true;
  }
  return Fail(ERROR_GEN_FAILURE);  // the name kept changing hands; not seen in practice
}

void CloseEventFile(int fd, EventBlock* block, const char* path, pid_t opener, bool adopted) {
  if (block) munmap(block, sizeof(EventBlock));
  if (fd < 0) return;
  if (adopted) {
    // The lock is the parent's, on the description this shares: an upgrade would drop it.
    close(fd);
    return;
  }
  if (getpid() == opener) {
    // The lock is on our own description: an upgrade succeeds only when no other description
    // holds it, this was the last handle anywhere. A child between spawn and exec shares the
    // description for a moment and does not count.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) UnlinkIfStillNamed(fd, path);
    close(fd);
    return;
  }
  // A forked copy shares the description with the process it came from: a change to its lock
  // would act for both (a failed upgrade of a shared flock lock drops it). It lets go of its
  // copy, and asks through an open description of its own whether anyone still holds the event.
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  int probe = open(self, O_RDWR | O_CLOEXEC | O_NONBLOCK);
  close(fd);
  if (probe < 0) return;  // left for a later open to find unheld and replace
  if (flock(probe, LOCK_EX | LOCK_NB) == 0) UnlinkIfStillNamed(probe, path);
  close(probe);
}

bool EventFileIntact(int fd) {
  EventBlock block {};
  return ReadBlock(fd, &block);
}

std::unique_ptr<NamedEventFile> NamedEventFile::Open(const std::string& name, bool create,
                                                     bool manualReset, bool initialState,
                                                     bool* existed) {
  char path[kEventPathSize];
  if (!NamedEventPathInto(name.c_str(), path, sizeof path)) return nullptr;
  // Allocated first, so that nothing opened below can leak through a failed allocation.
  std::unique_ptr<NamedEventFile> file(new NamedEventFile(path));
  if (create) {
    static std::once_flag swept;
    std::call_once(swept, SweepLeftovers);
  }
  if (create && !manualReset && !initialState) {
    Spare made = TakeSpare();
    DWORD error = ERROR_SUCCESS;
    if (made.fd >= 0 && Publish(made.fd, path, &error) == Attempt::kDone) {
      file->block_ = made.block;
      file->fd_ = made.fd;
      *existed = false;
      return file;
    }
    // Something is under the name: the usual way decides what.
    if (made.fd >= 0) KeepSpare(made);
  }
  EventFileOpen opened;
  if (!OpenEventFile(path, create, manualReset, initialState, &opened, existed)) return nullptr;
  file->block_ = opened.block;
  file->fd_ = opened.fd;
  file->manualReset_ = opened.manualReset;
  return file;
}

void NamedEventFile::PrepareSpare() {
  {
    std::lock_guard<std::mutex> lock(spareMutex);
    if (spare.fd >= 0 && spare.maker == getpid()) return;
  }
  DWORD error = ERROR_SUCCESS;
  Spare made;
  made.maker = getpid();
  made.fd = MakeUnnamed(false, false, &error);
  if (made.fd < 0) return;
  void* mapped = mmap(nullptr, sizeof(EventBlock), PROT_READ | PROT_WRITE, MAP_SHARED, made.fd, 0);
  if (mapped == MAP_FAILED) {
    Release(&made);
    return;
  }
  made.block = static_cast<EventBlock*>(mapped);
  KeepSpare(made);
}

void NamedEventFile::DropSpare() {
  Spare taken = TakeSpare();
  Release(&taken);
}

std::unique_ptr<NamedEventFile> NamedEventFile::Adopt(int fd, const std::string& name) {
  std::unique_ptr<NamedEventFile> file(new NamedEventFile(NamedEventPath(name)));
  struct stat st {};
  struct stat named {};
  EventBlock block {};
  // Whatever the number names now: the variable may have outlived the descriptor it named.
  const int flags = fcntl(fd, F_GETFL);
  if (fd < 0 || flags < 0 || (flags & O_ACCMODE) != O_RDWR || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      (st.st_mode & 07777) != 0600 || (st.st_uid != 0 && st.st_uid != geteuid()) ||
      lstat(file->path_.c_str(), &named) != 0 || named.st_dev != st.st_dev || named.st_ino != st.st_ino ||
      !ReadBlock(fd, &block)) {
    Fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  Fd own(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (own.get() < 0) {
    FailWithErrno(errno);
    return nullptr;
  }
  void* mapped = mmap(nullptr, sizeof(EventBlock), PROT_READ | PROT_WRITE, MAP_SHARED, own.get(), 0);
  if (mapped == MAP_FAILED) {
    FailWithErrno(errno);
    return nullptr;
  }
  file->block_ = static_cast<EventBlock*>(mapped);
  file->fd_ = own.release();
  file->manualReset_ = block.manualReset != 0;
  file->adopted_ = true;
  return file;
}

NamedEventFile::~NamedEventFile() { CloseEventFile(fd_, block_, path_.c_str(), opener_, adopted_); }

bool NamedEventFile::Intact() const { return EventFileIntact(fd_); }

bool NamedEventFile::Store(uint32_t state) const {
  if (!Intact()) return Fail(ERROR_INVALID_HANDLE);
  // A racing truncation makes this write grow the file again, never fault. The word only ever
  // holds 0 or 1, so a copy that is not one atomic store still cannot be seen half done.
  ssize_t n;
  do {
    n = pwrite(fd_, &state, sizeof state, offsetof(EventBlock, state));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailWithErrno(errno);
  return n == static_cast<ssize_t>(sizeof state) || Fail(ERROR_INVALID_HANDLE);
}

}  // namespace kestravo::posix
