// Replacing a small file as a whole, so that a process killed at any moment leaves either the
// old file or the new one, never a torn one; and reading it back only when no one else could
// have written it.
#pragma once
#include <stdint.h>

#include <string>

// Writes contents to an unnamed file in path's directory, with owner-only permissions, and
// renames it over path. False (nothing changed, nothing left behind but in a crash between the
// last two steps, a "<path>.<pid>.<n>.tmp") when any step fails; errno tells why. No fsync: the
// file must survive the host's crash, not the machine's. Thread-safe.
bool ReplaceFileContents(const std::string& path, const std::string& contents);

// How a read of the state file went.
enum class StateFileStatus {
  kRead,           // *text holds the whole file
  kCannotOpen,     // missing, unreadable, or not a regular file (a directory, a FIFO, a device)
  kUntrusted,      // a file, but one another user could have written: *why says how
  kReadFailed,     // opened, but reading failed
};

// Reads the state file at path whole into *text, if it can be trusted: a regular file, not a
// symbolic link, owned by this process's effective user, writable by no one else, at most maxSize
// bytes. On Windows: owned by this account (or its default owner, the administrators or the
// system), and no entry of its access list lets another account write it. The checks are made on the open descriptor the text is then read from, so the file
// cannot be swapped between check and read; opening never blocks (a FIFO without a writer).
// *why: the reason, for every status but kRead; *error: errno where there was one, else 0.
StateFileStatus ReadStateFile(const std::string& path, size_t maxSize, std::string* text, std::string* why,
                              int* error);

// Whether a file can be created in dir: tried for real, with an unnamed file that leaves nothing
// behind, since permission bits do not tell (root, read-only mounts). False with *error (errno)
// for a directory that is missing, not a directory, or not writable.
bool CanCreateFilesIn(const std::string& dir, int* error);

// The text of an errno value.
std::string ErrorText(int error);

// Removes the "<path>.<pid>.<n>.tmp" files that ReplaceFileContents left behind when its process
// was killed between naming the new file and the rename: those whose writer no longer runs.
// Best effort; errors are ignored.
void RemoveStaleTempFiles(const std::string& path);

// Holding the state file: it belongs to one live process at a time, or two hosts would adopt and
// restart each other's children.
enum class StateFileLock {
  kTaken,   // *lock holds it
  kHeld,    // another live process holds it; *holder: the pid it wrote, 0 when not known yet
  kFailed,  // the lock file cannot be made or locked: *error (errno)
  // Something else stands under its name, planted or left by another user: *error is ELOOP (a
  // symbolic link), EISDIR (a directory), EINVAL (not a regular file), EMLINK (more than one
  // link, so another name of the file would be written) or EPERM (another user's file). It is
  // neither truncated nor written.
  kUntrusted,
};

// Locks lockPath (created owner-only when missing), a file beside the state file, and writes this
// process's pid into it. Opening it follows no link and never blocks. The lock is held until UnlockStateFile, or until the process ends, when
// the kernel drops it; children never inherit it. A process holds one lock per path: a second
// call for the same path in the same process finds it held.
StateFileLock LockStateFile(const std::string& lockPath, intptr_t* lock, unsigned long* holder, int* error);

// Clears the pid and drops the lock. -1 is no lock.
void UnlockStateFile(intptr_t lock);
