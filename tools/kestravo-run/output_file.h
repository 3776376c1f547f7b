// The file that kestravo-run --output appends the program's output and its own notes to: created
// owner-only, never through a symbolic link, and rotated at a size (FILE.1 is the newest old one).
// The system's file calls are in output_file_posix.cpp and output_file_win32.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <mutex>
#include <string>

namespace kestravo_run {

struct OutputOptions {
  std::string path;                        // empty: no output file
  uint64_t maxBytes = 10 * 1024 * 1024;    // a new file once the current one would pass it; 0: never
  int keep = 5;                            // old files kept: FILE.1 ... FILE.keep
};

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens the file for appending; false with *error (a person's words) when it cannot be used.
  bool Open(const OutputOptions& options, std::string* error);
  bool IsOpen() const { return !options_.path.empty(); }
  // The program's bytes. A write that fails (a full disk) drops them and is noted once it works
  // again: the program must never wait for the disk.
  void Write(const char* data, size_t n);
  // A line of the adapter's own, with the local time in front.
  void Note(const std::string& text);

 private:
  void Append(const char* data, size_t n);  // with mutex_ held
  void SayLost();                           // with mutex_ held: a line for bytes dropped before
  void Rotate();                            // with mutex_ held; a failure is noted and output goes on

  std::mutex mutex_;  // the Windows adapter writes from a reader thread and its main thread
  OutputOptions options_;
  intptr_t file_ = -1;  // guarded by mutex_; -1 while it cannot be opened
  uint64_t size_ = 0;   // guarded by mutex_
  // guarded by mutex_: the size at which the file is rotated next; 0: never. After a rotation that
  // failed it is one more maxBytes on, so that the adapter never spins on a file it cannot move.
  uint64_t rotateAt_ = 0;
  bool rotateFailed_ = false;  // guarded by mutex_: the last rotation failed and was noted
  uint64_t lost_ = 0;   // guarded by mutex_: bytes dropped since the last write that worked
  std::string lostWhy_; // guarded by mutex_
};

// The system's side, reporting failures as a person's words in *error.
namespace file {
intptr_t OpenForAppend(const std::string& path, uint64_t* size, std::string* error);  // -1 on failure
// POSIX only: the files opened from now on belong to uid and gid (the program's user), and one
// of theirs is taken; call before the first open.
void SetOwner(uint32_t uid, uint32_t gid);
// *done: the bytes written, also when it fails part of the way.
bool WriteAll(intptr_t file, const char* data, size_t n, size_t* done, std::string* error);
void Close(intptr_t file);
// Both replace to / remove and are true when from / path is gone, also when it was missing.
bool Rename(const std::string& from, const std::string& to, std::string* error);
bool Remove(const std::string& path, std::string* error);
std::string LocalStamp();  // "2026-12-07 14:05:09.123"
// The whole of a settings file that only this user may have written and may read (at most 1 MiB):
// opened without following a link or waiting, a regular file with one link. False with *error.
bool ReadPrivate(const std::string& path, std::string* text, std::string* error);
}  // namespace file

}  // namespace kestravo_run
