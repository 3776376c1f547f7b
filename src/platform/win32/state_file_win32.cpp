#include "platform/state_file.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

#include "os.h"
#include "win32/own_file_win32.h"

#include <aclapi.h>
#include <sddl.h>

using kestravo::win32::OwnerOnly;
using kestravo::win32::SidText;
using kestravo::win32::TrustedAccount;

// As on Linux, a state file is trusted only when it belongs to this account (or to the
// administrators or the system) and no one else may write it: its commands are run under this
// account. The file is written with an access list of its own, so that what this host writes
// passes that check in any folder.

namespace {

std::atomic<unsigned> tempCounter{0};
constexpr int kReplaceAttempts = 200;
constexpr DWORD kReplaceRetryMs = 5;

int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    default: return EIO;
  }
}

bool FailWith(DWORD code) {
  errno = ErrnoOf(code);
  SetLastError(code);
  return false;
}

bool WriteAll(HANDLE file, const std::string& contents) {
  size_t done = 0;
  while (done < contents.size()) {
    DWORD chunk = static_cast<DWORD>(contents.size() - done > (1u << 30) ? (1u << 30) : contents.size() - done);
    DWORD written = 0;
    if (!WriteFile(file, contents.data() + done, chunk, &written, nullptr)) return false;
    done += written;
  }
  return true;
}

// "<path>.<pid>.<n>.tmp": the pid, or 0 when name is not such a file of path.
DWORD TempFileWriter(const std::string& base, const char* name) {
  size_t length = strlen(name);
  if (length <= base.size() + 5 || strncmp(name, base.c_str(), base.size()) != 0 || name[base.size()] != '.' ||
      strcmp(name + length - 4, ".tmp") != 0) {
    return 0;
  }
  char* end = nullptr;
  unsigned long pid = strtoul(name + base.size() + 1, &end, 10);
  return end != nullptr && *end == '.' ? static_cast<DWORD>(pid) : 0;
}

// Why a file that others could have written is not trusted; empty when it is.
std::string UntrustedBecause(HANDLE file) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "its owner and access list cannot be read";
  }
  std::string why;
  if (owner == nullptr || !TrustedAccount(owner)) {
    why = "owned by " + (owner != nullptr ? SidText(owner) : std::string("no one")) + ", not by this account";
  } else if (dacl == nullptr) {
    why = "no access list: anyone may write it";
  }
  const ACCESS_MASK writes = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD i = 0; why.empty() && dacl != nullptr && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
        (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;  // deny entries only take away; inherit-only ones do not apply to the file
    }
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = &allowed->SidStart;
    if ((allowed->Mask & writes) != 0 && !TrustedAccount(sid)) why = "writable by " + SidText(sid);
  }
  LocalFree(descriptor);
  return why;
}

}  // namespace

bool ReplaceFileContents(const std::string& path, const std::string& contents) {
  try {
    char suffix[48];
    snprintf(suffix, sizeof suffix, ".%lu.%u.tmp", static_cast<unsigned long>(GetCurrentProcessId()),
             tempCounter.fetch_add(1));
    std::string temp = path + suffix;
    HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, OwnerOnly(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FailWith(GetLastError());
    bool written = WriteAll(file, contents);
    DWORD error = GetLastError();
    CloseHandle(file);
    // MoveFileExA, not ReplaceFileA: the latter fails under Wine where this works. A reader
    // that holds the file open (an editor, a scanner, a host reading it) makes Windows refuse the
    // replace for that moment: try again for up to a second rather than lose the record.
    bool moved = false;
    for (int attempt = 0; written && !moved; ++attempt) {
      moved = MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
      if (moved) break;
      error = GetLastError();
      if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || attempt >= kReplaceAttempts) break;
      Sleep(kReplaceRetryMs);
    }
    if (!moved) {
      DeleteFileA(temp.c_str());
      return FailWith(error);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  }
}

StateFileStatus ReadStateFile(const std::string& path, size_t maxSize, std::string* text, std::string* why,
                              int* error) {
  *error = 0;
  // FILE_FLAG_OPEN_REPARSE_POINT: a link is opened as itself, and refused below.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = ErrnoOf(GetLastError());
    *why = "cannot be opened";
    return StateFileStatus::kCannotOpen;
  }
  StateFileStatus status = StateFileStatus::kRead;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *why = "is not a regular file";
    status = StateFileStatus::kCannotOpen;
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *why = "is a link";
    status = StateFileStatus::kUntrusted;
  } else if (info.nNumberOfLinks != 1) {
    *why = "has " + std::to_string(info.nNumberOfLinks) + " links: another name of it was planted";
    status = StateFileStatus::kUntrusted;
  } else if (!(*why = UntrustedBecause(file)).empty()) {
    status = StateFileStatus::kUntrusted;
  } else {
    unsigned long long size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > maxSize) {
      *why = "is larger than " + std::to_string(maxSize) + " bytes";
      status = StateFileStatus::kUntrusted;
    } else {
      try {
        text->assign(static_cast<size_t>(size), '\0');
        DWORD read = 0;
        if (size > 0 && (!ReadFile(file, &(*text)[0], static_cast<DWORD>(size), &read, nullptr) || read != size)) {
          *error = ErrnoOf(GetLastError());
          *why = "could not be read";
          status = StateFileStatus::kReadFailed;
        }
      } catch (const std::bad_alloc&) {
        *error = ENOMEM;
        *why = "could not be read";
        status = StateFileStatus::kReadFailed;
      }
    }
  }
  CloseHandle(file);
  return status;
}

std::string ErrorText(int error) { return strerror(error); }

void RemoveStaleTempFiles(const std::string& path) {
  try {
    size_t slash = path.find_last_of("\\/");
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + ".*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
      DWORD pid = TempFileWriter(base, found.cFileName);
      if (pid == 0) continue;
      HANDLE writer = OpenProcess(SYNCHRONIZE, FALSE, pid);
      bool running = writer != nullptr && WaitForSingleObject(writer, 0) == WAIT_TIMEOUT;
      if (writer != nullptr) CloseHandle(writer);
      if (!running) DeleteFileA((dir + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  } catch (const std::bad_alloc&) {
  }
}

bool CanCreateFilesIn(const std::string& dir, int* error) {
  *error = 0;
  DWORD attributes = GetFileAttributesA(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *error = ErrnoOf(GetLastError());
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = ENOTDIR;
    return false;
  }
  // Tried for real: the access list, not the attributes, decides. The file goes when closed.
  char name[64];
  snprintf(name, sizeof name, "\\kestravo-probe.%lu.%u.tmp", static_cast<unsigned long>(GetCurrentProcessId()),
           tempCounter.fetch_add(1));
  HANDLE probe = CreateFileA((dir + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    *error = ErrnoOf(GetLastError());
    return false;
  }
  CloseHandle(probe);
  return true;
}

StateFileLock LockStateFile(const std::string& lockPath, intptr_t* lock, unsigned long* holder, int* error) {
  *lock = -1;
  *holder = 0;
  *error = 0;
  // Shared, so that a host that finds it held can read the pid; the lock is on a byte far past it.
  // A link is opened as itself, and refused below with anything else that is not our own file.
  HANDLE file = CreateFileA(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            OwnerOnly(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesA(lockPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      *error = EISDIR;
      return StateFileLock::kUntrusted;
    }
    *error = ErrnoOf(code);
    return StateFileLock::kFailed;
  }
  if (!kestravo::win32::NotOwnFileBecause(file, error).empty()) {
    CloseHandle(file);
    return *error == EIO ? StateFileLock::kFailed : StateFileLock::kUntrusted;
  }
  OVERLAPPED at = {};
  at.OffsetHigh = 0x7FFFFFFF;
  if (GetFileType(file) != FILE_TYPE_DISK ||
      !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {
      char text[24] = {};
      DWORD read = 0;
      if (ReadFile(file, text, sizeof text - 1, &read, nullptr) && read > 0) *holder = strtoul(text, nullptr, 10);
      CloseHandle(file);
      return StateFileLock::kHeld;
    }
    CloseHandle(file);
    *error = ErrnoOf(code);
    return StateFileLock::kFailed;
  }
  char text[24];
  int length = snprintf(text, sizeof text, "%lu\r\n", static_cast<unsigned long>(GetCurrentProcessId()));
  DWORD written = 0;
  // Only for the message of a host that finds it held: a failure here is no reason to stop.
  if (SetEndOfFile(file)) WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
  *lock = reinterpret_cast<intptr_t>(file);
  return StateFileLock::kTaken;
}

void UnlockStateFile(intptr_t lock) {
  if (lock == -1) return;
  HANDLE file = reinterpret_cast<HANDLE>(lock);
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  CloseHandle(file);  // the lock goes with the handle
}
