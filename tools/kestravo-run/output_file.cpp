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
  return true;
}

void OutputFile::Write(const char* data, size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!IsOpen()) return;
  while (n > 0) {
    SayLost();  // before the bytes that follow the gap; may take the file a line past its size
    size_t room = n;
    if (options_.maxBytes != 0) room = size_ >= options_.maxBytes ? 0 : static_cast<size_t>(std::min<uint64_t>(n, options_.maxBytes - size_));
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
  if (options_.maxBytes != 0 && size_ > 0 && size_ + line.size() > options_.maxBytes) Rotate();
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
  if (options_.keep <= 0) {
    file::Remove(path);
  } else {
    file::Remove(path + "." + std::to_string(options_.keep));
    for (int i = options_.keep - 1; i >= 1; --i) file::Rename(path + "." + std::to_string(i), path + "." + std::to_string(i + 1));
    file::Rename(path, path + ".1");
  }
  std::string why;
  size_ = 0;
  file_ = file::OpenForAppend(path, &size_, &why);
}

}  // namespace kestravo_run
