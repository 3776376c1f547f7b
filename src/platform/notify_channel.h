// The children's notify channels: one per child, named after its GUID, through which the child
// (KESTRAVO_ChildNotify) sends "KEY=VALUE" lines as one datagram. On Linux a Unix datagram socket
// under /dev/shm, owner-only, whose datagrams carry the sender's pid; on Windows a message-mode
// named pipe \\.\pipe\kestravo-nt-<GUID> (this account, the administrators and the system may
// open it), each message one connection whose client pid the system tells.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

// The most a datagram carries; a longer text is refused by the sender.
constexpr size_t kNotifyMaxBytes = 4096;

// The child's side: sends size bytes of data to the channel of guid as one datagram, without
// blocking. 0 sent; 1 no channel under that name (not supervised, the host is down, or the
// system has none); -1 a bad argument (null, empty or too long, a guid with '/') or an error, a
// full queue included. Any thread.
int32_t SendNotifyDatagram(const char* guid, const char* data, size_t size);

// Removes the name of guid's channel when it is a leftover of ours (a socket of this user that a
// host which died left behind); anything else under the name is left alone. Any thread.
void RemoveNotifyChannelName(const std::string& guid);

// The most datagrams one Receive takes.
constexpr int kNotifyBatch = 16;

// One datagram as taken: its text and the sender's pid (0 when the system did not say).
// senderInTree: the system vouched, while the sender was connected, that it ran in the tree of
// the channel's child (Windows: in the job the library made for it). On Linux never: only the
// child's own pid is heard there, and what it starts reaches the channel through it (as
// kestravo-run's notify socket does).
struct NotifyDatagram {
  std::string text;
  uint32_t senderPid = 0;
  bool senderInTree = false;
};

// The supervisor's side: the channels of all children, waited on together by one thread. Open and
// Close may be called from any thread; Wait and Receive from the one reading thread.
class ZOL_NotifySet {
 public:
  ZOL_NotifySet();
  ~ZOL_NotifySet();
  ZOL_NotifySet(const ZOL_NotifySet&) = delete;
  ZOL_NotifySet& operator=(const ZOL_NotifySet&) = delete;

  // Makes the channel of guid and watches it under key (a key in use is closed first). A leftover
  // of ours under the name is replaced; anything else there (another user's, not a socket) is
  // left alone and the open fails. False with the last error.
  bool Open(uint64_t key, const std::string& guid);
  // Stops watching key and removes its name. An unknown key does nothing.
  void Close(uint64_t key);
  // Ends the reading thread's current or next Wait early. Any thread.
  void Wake();
  // Waits until a channel has a datagram, Wake is called, or ms pass (0xFFFFFFFF: no limit); the
  // keys of the channels with datagrams are appended to ready. A channel stays ready while a
  // datagram waits in it, so a later Wait reports it again. 0, WAIT_TIMEOUT, or WAIT_FAILED.
  uint32_t Wait(uint32_t ms, std::vector<uint64_t>* ready);
  // Waits until Wake is called or ms pass, whatever the channels hold, and leaves the wake for the
  // next Wait to see. For the reading thread to space its reads out under load.
  void WaitForWake(uint32_t ms);
  // Takes up to max (at most kNotifyBatch) datagrams of key without blocking, in the order they
  // came, in one system call where the system allows: appended to out. Fewer than asked means the
  // channel held no more. The count taken (0 when none waits or the key is
  // unknown), or -1 on an error with nothing taken.
  int Receive(uint64_t key, int max, std::vector<NotifyDatagram>* out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;  // null when it could not be made: Open and Wait fail
};
