#include "platform/process_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/last_error.h"

namespace {

// More than any kernel hands out for one process's arguments.
constexpr size_t kMaxCmdline = 64u << 20;

}  // namespace

ProcessIdentity CheckProcessIdentity(HANDLE process, uint32_t pid, const std::string& tail) {
  std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT || err == ENOENT || err == ESRCH) return ProcessIdentity::kGone;
    kestravo::posix::FailWithErrno(err);
    return ProcessIdentity::kUnreadable;
  }
  // Only the end matters: keep a window of the last bytes read.
  const size_t keep = tail.size() + 1;
  std::string window;
  char buffer[4096];
  size_t total = 0;
  int err = 0;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    window.append(buffer, static_cast<size_t>(n));
    if (window.size() > 2 * keep + sizeof buffer) window.erase(0, window.size() - keep);
    if (total > kMaxCmdline) break;
  }
  close(fd);
  // Read while the handle still pins the process: what was read was its command line.
  if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT) return ProcessIdentity::kGone;
  if (err != 0) {
    kestravo::posix::FailWithErrno(err);
    return ProcessIdentity::kUnreadable;
  }
  if (!window.empty() && window.back() == '\0') window.pop_back();
  bool matches = window.size() >= tail.size() && window.compare(window.size() - tail.size(), tail.size(), tail) == 0;
  return matches ? ProcessIdentity::kMatches : ProcessIdentity::kDiffers;
}
