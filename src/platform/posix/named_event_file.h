// The backing of a named event: a small file in /dev/shm that every process of the user can open
// by the event's name, with the lifetime of a Windows kernel object.
#pragma once

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
// description; the last one to close (the only one able to take the lock exclusively) unlinks the
// name. A crashed holder's lock goes with it, so a name nobody holds is a leftover and is replaced.
class NamedEventFile {
 public:
  // Opens the event of that name, or creates it (when create is true) with the given flags.
  // *existed tells which. Null with the last error set on failure: ERROR_FILE_NOT_FOUND when
  // create is false and there is no such event, ERROR_ACCESS_DENIED for another user's event,
  // ERROR_FILENAME_EXCED_RANGE for a name too long, ERROR_INVALID_HANDLE for a foreign file.
  static std::unique_ptr<NamedEventFile> Open(const std::string& name, bool create,
                                              bool manualReset, bool initialState, bool* existed);
  ~NamedEventFile();
  NamedEventFile(const NamedEventFile&) = delete;
  NamedEventFile& operator=(const NamedEventFile&) = delete;

  EventBlock* Block() const { return block_; }

 private:
  NamedEventFile(int fd, EventBlock* block, std::string path)
      : fd_(fd), block_(block), path_(std::move(path)) {}

  int fd_;
  EventBlock* block_;  // mapped shared
  std::string path_;
};

// The /dev/shm path of an event name: a fixed prefix, then the name with '/' and '%' escaped.
std::string NamedEventPath(const std::string& name);

}  // namespace kestravo::posix
