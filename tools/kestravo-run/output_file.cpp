#include "output_file.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace kestravo_run {

OutputFile::~OutputFile() {
  if (file_ != -1) file::Close(file_);
}

bool OutputFile::Open(const OutputOptions& options, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = file::OpenForAppend(options.path, &size_, error);
  if (file_ == -1) return false;
  options_ = options;
  rotateAt_ = options.maxBytes;
  return true;
}

void OutputFile::Write(const char* data, size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!IsOpen()) return;
  while (n > 0) {
    SayLost();  // before the bytes that follow the gap; may take the file a line past its size
    size_t room = n;
    if (rotateAt_ != 0) room = size_ >= rotateAt_ ? 0 : static_cast<size_t>(std::min<uint64_t>(n, rotateAt_ - size_));
    if (n <= room) {
      Append(data, n);
      return;
    }
    // Cut after the last whole line that fits; a file with nothing in it takes what fits.
    size_t cut = 0;
    for (size_t i = room; i > 0; --i) {
      if (data[i - 1] == '\n') {
        cut = i;
        break;
      }
    }
    if (cut == 0 && size_ == 0) cut = room;
    Append(data, cut);
    data += cut;
    n -= cut;
    Rotate();
  }
}

void OutputFile::Note(const std::string& text) {
  std::string line = file::LocalStamp() + " kestravo-run: " + text + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (!IsOpen()) return;
  SayLost();
  if (rotateAt_ != 0 && size_ > 0 && size_ + line.size() > rotateAt_) Rotate();
  Append(line.data(), line.size());
}

void OutputFile::SayLost() {
  if (lost_ == 0) return;
  std::string why;
  if (file_ == -1) file_ = file::OpenForAppend(options_.path, &size_, &why);
  std::string note = file::LocalStamp() + " kestravo-run: " + std::to_string(lost_) +
                     " bytes of output were lost: " + lostWhy_ + "\n";
  size_t done = 0;
  bool written = file_ != -1 && file::WriteAll(file_, note.data(), note.size(), &done, &why);
  size_ += done;
  if (written) lost_ = 0;
}

void OutputFile::Append(const char* data, size_t n) {
  if (n == 0) return;
  std::string why;
  if (file_ == -1) file_ = file::OpenForAppend(options_.path, &size_, &why);
  size_t done = 0;
  if (file_ != -1 && lost_ == 0) {
    bool written = file::WriteAll(file_, data, n, &done, &why);
    size_ += done;
    if (written) return;
  }
  lost_ += n - done;
  if (!why.empty()) lostWhy_ = why;
}

void OutputFile::Rotate() {
  if (file_ != -1) file::Close(file_);
  file_ = -1;
  const std::string& path = options_.path;
  std::string why, ignored;
  bool moved;
  if (options_.keep <= 0) {
    moved = file::Remove(path, &why);
  } else {
    file::Remove(path + "." + std::to_string(options_.keep), &ignored);
    for (int i = options_.keep - 1; i >= 1; --i) file::Rename(path + "." + std::to_string(i), path + "." + std::to_string(i + 1), &ignored);
    moved = file::Rename(path, path + ".1", &why);
  }
  size_ = 0;
  file_ = file::OpenForAppend(path, &size_, &ignored);
  if (moved) {
    rotateAt_ = options_.maxBytes;
    rotateFailed_ = false;
    return;
  }
  // The file stays (an old one is a directory, the file is append-only, another program holds
  // it): output goes on into it, the next try is one more size on, and only the first failure
  // of a run of them is noted.
  rotateAt_ = size_ + options_.maxBytes;
  if (rotateFailed_) return;
  rotateFailed_ = true;
  std::string note = file::LocalStamp() + " kestravo-run: cannot rotate " + path + ": " + why + "; the output goes on in it\n";
  Append(note.data(), note.size());
}

}  // namespace kestravo_run
