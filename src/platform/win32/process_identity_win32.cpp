#include "platform/process_identity.h"

#include <winternl.h>

#include <vector>

namespace {

// More than Windows allows for a command line (32767 characters).
constexpr USHORT kMaxCmdlineBytes = 0xFFFE;

bool ReadRemote(HANDLE process, const void* at, void* into, size_t size) {
  SIZE_T read = 0;
  return ReadProcessMemory(process, at, into, size, &read) && read == size;
}

// The command line another process was started with, from its process parameters.
bool RemoteCommandLine(HANDLE process, std::string* line) {
  PROCESS_BASIC_INFORMATION basic;
  ULONG length = 0;
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, &length) != 0 ||
      basic.PebBaseAddress == nullptr) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  PEB peb;
  RTL_USER_PROCESS_PARAMETERS params;
  if (!ReadRemote(process, basic.PebBaseAddress, &peb, sizeof peb) ||
      !ReadRemote(process, peb.ProcessParameters, &params, sizeof params)) {
    return false;
  }
  USHORT bytes = params.CommandLine.Length;
  if (bytes > kMaxCmdlineBytes) bytes = kMaxCmdlineBytes;
  std::vector<wchar_t> wide(bytes / sizeof(wchar_t) + 1, L'\0');
  if (bytes > 0 && !ReadRemote(process, params.CommandLine.Buffer, wide.data(), bytes)) return false;
  int chars = static_cast<int>(bytes / sizeof(wchar_t));
  int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, nullptr, 0, nullptr, nullptr);
  line->assign(static_cast<size_t>(size), '\0');
  if (size > 0) WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, &(*line)[0], size, nullptr, nullptr);
  return true;
}

}  // namespace

ProcessIdentity CheckProcessIdentity(HANDLE process, uint32_t /*pid*/, const std::string& tail) {
  // The handle pins the process: the pid cannot be reused while it is open.
  if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT) return ProcessIdentity::kGone;
  std::string line;
  bool read;
  try {
    read = RemoteCommandLine(process, &line);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    read = false;
  }
  if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT) return ProcessIdentity::kGone;
  if (!read) return ProcessIdentity::kUnreadable;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  bool matches = line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
  return matches ? ProcessIdentity::kMatches : ProcessIdentity::kDiffers;
}
