// The backing of a named event: a small file in /dev/shm that every process of the user can open
// by the event's name, with the lifetime of a Windows kernel object.
#pragma once

#include <limits.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kestravo::posix {

// The shared part of a named event, as laid out in the file.
struct EventBlock {
  uint32_t magic;
  uint32_t version;
  uint32_t manualReset;
  uint32_t state;  // the futex word: 1 signalled, 0 not
};

// One open of a named event file. Each open holds a shared flock on its own open file
// description, which a forked copy shares; the last one to close (the only one able to take the
// lock exclusively) unlinks the name, and a forked copy's close leaves the hold of the process it
// came from as it was. A crashed holder's lock goes with
// it, so a name nobody holds is a leftover and is replaced.
//
// Any process of the user can truncate or rewrite the file. The state is therefore read and written
// through the descriptor, which reports a damaged file as an error; only a waiter's atomics and the
// futex calls use the mapping (a futex call on a page that is gone fails with EFAULT).
class NamedEventFile {
 public:
  // Opens the event of that name, or creates it (when create is true) with the given flags.
  // *existed tells which. Null with the last error set on failure:
  //   ERROR_FILE_NOT_FOUND       create is false and there is no such event;
  //   ERROR_ACCESS_DENIED        a file of another user, or with other permissions than 0600;
  //   ERROR_INVALID_HANDLE       not one of ours: not a regular file (a link, a FIFO, a
  //                              directory), too small, or without our header;
  //   ERROR_SHARING_VIOLATION    another open holds the file's lock exclusively for longer than
  //                              the few hundred milliseconds an open waits;
  //   ERROR_FILENAME_EXCED_RANGE the name is too long.
  // The checks of type, owner and mode come before any lock, so nobody else's file can make an
  // open wait, and an existing file is removed only when it is provably a leftover of ours.
  static std::unique_ptr<NamedEventFile> Open(const std::string& name, bool create,
                                              bool manualReset, bool initialState, bool* existed);
  // The event of that name through a descriptor inherited from the parent that opened it (see
  // inherited_event.h), checked to be the file under the name; the descriptor itself stays open.
  // Null with ERROR_INVALID_HANDLE when it is not.
  static std::unique_ptr<NamedEventFile> Adopt(int fd, const std::string& name);
  // Makes an auto-reset, unsignalled event ahead of its name, off the caller's path: the next
  // Open that creates such an event under a name that is free only links it there. One per
  // process, unnamed, so a crash leaves nothing behind; best effort. Any thread.
  static void PrepareSpare();
  // Lets the spare go, if there is one. Any thread.
  static void DropSpare();
  ~NamedEventFile();
  NamedEventFile(const NamedEventFile&) = delete;
  NamedEventFile& operator=(const NamedEventFile&) = delete;

  bool ManualReset() const { return manualReset_; }
  // Writes the state word after checking the header, through the descriptor. False with
  // ERROR_INVALID_HANDLE when the file was truncated or its header overwritten.
  bool Store(uint32_t state) const;
  // True while the file still holds a whole block with our header, so the mapped word is
  // backed. Read through the descriptor.
  bool Intact() const;
  // The mapped futex word, for futex calls and a waiter's atomics.
  uint32_t* Word() const { return &block_->state; }
  int Descriptor() const { return fd_; }

 private:
  explicit NamedEventFile(std::string path) : path_(std::move(path)) {}

  int fd_ = -1;
  EventBlock* block_ = nullptr;  // mapped shared
  bool manualReset_ = false;
  std::string path_;
  pid_t opener_ = getpid();  // a forked copy closes differently from the process that opened it
  bool adopted_ = false;     // shares the parent's open and hold: closed without lock or unlink
};

// The /dev/shm path of an event name: a fixed prefix, then the name with '/' and '%' escaped.
std::string NamedEventPath(const std::string& name);

// The same into a buffer, for callers that keep off the heap; room for any name an event may
// have. False with ERROR_FILENAME_EXCED_RANGE when the name is too long.
inline constexpr size_t kEventPathSize = sizeof("/dev/shm/") + NAME_MAX;
bool NamedEventPathInto(const char* name, char* path, size_t size);

// An open of a named event file: its descriptor, holding the shared lock, and its block mapped.
struct EventFileOpen {
  int fd = -1;
  EventBlock* block = nullptr;
  bool manualReset = false;
};

// The steps under NamedEventFile::Open, without the spare or the heap, for a child that opens its
// stop event first thing: opens the event file at path, or creates it (create), with the same
// checks and errors. False with the last error.
bool OpenEventFile(const char* path, bool create, bool manualReset, bool initialState, EventFileOpen* out,
                   bool* existed);

// Lets go of an open as closing its last handle does: unmaps the block and, when no process
// holds the event any more, removes its name. opener: the process that opened it; adopted: a
// descriptor inherited from the parent, whose hold stays the parent's.
void CloseEventFile(int fd, EventBlock* block, const char* path, pid_t opener, bool adopted);

// True while the file behind fd still holds a whole block with our header. Read through fd.
bool EventFileIntact(int fd);

}  // namespace kestravo::posix
