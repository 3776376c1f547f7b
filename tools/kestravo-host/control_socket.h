// The control socket of a running host: kestravo-host.sock in its state directory, which the
// host's own user and root may use, and the members of a status group, when one is given, only
// to read (status, log). The peer's credentials are checked on every connection. On Windows the
// path names a named pipe instead (\\.\pipe\kestravo-host-HASH of the path), for the host's account
// and the administrators, with no status group. A thread of its own accepts a client and reads its one
// request line; the main thread takes the requests, acts, and answers each: the library and the
// children's table stay the main thread's. control_socket_posix.cpp, control_socket_win32.cpp.
#pragma once

#include <stdint.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kestravo_host {

constexpr char kControlSocketName[] = "kestravo-host.sock";

struct ControlRequest {
  intptr_t connection = -1;  // the client's socket (a pipe's HANDLE on Windows), answered and closed by Answer
  std::string line;          // without its newline
  bool mayControl = true;    // false: the client is only a member of the status group
};

class ControlSocket {
 public:
  ControlSocket();
  // Stops listening, removes the socket file and closes the connections not answered.
  ~ControlSocket();
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Listens at path; wake is called on the socket's thread whenever a request waits. Called with
  // the state file's lock held, so that whatever has the name but a directory (a socket left by a
  // host that ended, or one a squatter listens on) is replaced. False, with *error, when the host
  // cannot be controlled. statusGroup (a name or number; empty: none) may read: the directory
  // becomes 0710 and the socket 0660, both of that group, so that its members reach the socket
  // but see no other file there.
  bool Listen(const std::string& path, const std::string& statusGroup, std::function<void()> wake, std::string* error);
  // Listen undone; a no-op when not listening.
  void Close();
  std::deque<ControlRequest> TakeAll();
  // Sends the answer and closes the connection. A client that has gone loses it.
  static void Answer(const ControlRequest& request, const std::string& text);

 private:
  struct Listener;  // the system's part, and its thread

  void Push(ControlRequest request);

  std::mutex mutex_;  // taken on the listener's thread too
  std::deque<ControlRequest> requests_;  // guarded by mutex_
  std::function<void()> wake_;           // set before the listener's thread starts
  std::unique_ptr<Listener> listener_;   // the main thread's
};

// Whether a host may listen at path: its socket file exists, or on Windows its pipe does. Asks
// nothing and waits for nothing.
bool ControlExists(const std::string& path);

enum class Asked { kAnswered, kNoHost, kFailed };

// Sends request to the host listening at path and reads its whole answer. kNoHost when nothing
// listens there; kFailed with *error otherwise (no access, a listener that is neither root nor
// this user (on Windows: neither this user nor the administrators), the host ended before answering).
Asked AskHost(const std::string& path, const std::string& request, std::string* answer, std::string* error);

}  // namespace kestravo_host
