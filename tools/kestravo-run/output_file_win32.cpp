#include <stdio.h>
#include <windows.h>

#include "output_file.h"

namespace kestravo_run {
namespace file {

namespace {
std::string SystemText(DWORD error) {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text, nullptr);
  std::string out = text;
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out + " (error " + std::to_string(error) + ")";
}
}  // namespace

intptr_t OpenForAppend(const std::string& path, uint64_t* size, std::string* error) {
  // The reparse point itself is opened, so that a link is seen and refused instead of followed.
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = SystemText(GetLastError());
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  LARGE_INTEGER bytes;
  if (!GetFileInformationByHandle(file, &info) || !GetFileSizeEx(file, &bytes) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    *error = info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? "it is a symbolic link, which is never followed"
                                                                  : "not a regular file";
    CloseHandle(file);
    return -1;
  }
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return reinterpret_cast<intptr_t>(file);
}

bool WriteAll(intptr_t file, const char* data, size_t n, size_t* done, std::string* error) {
  *done = 0;
  while (n > 0) {
    DWORD written = 0;
    DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    if (!WriteFile(reinterpret_cast<HANDLE>(file), data, chunk, &written, nullptr) || written == 0) {
      *error = SystemText(GetLastError());
      return false;
    }
    data += written;
    n -= written;
    *done += written;
  }
  return true;
}

void Close(intptr_t file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }

bool Rename(const std::string& from, const std::string& to, std::string* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND) return true;
  *error = SystemText(code);
  return false;
}

bool Remove(const std::string& path, std::string* error) {
  if (DeleteFileA(path.c_str())) return true;
  DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND) return true;
  *error = SystemText(code);
  return false;
}

bool ReadPrivate(const std::string& path, std::string* text, std::string* error) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = SystemText(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(file, &info) && GetFileType(file) == FILE_TYPE_DISK &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) && info.nNumberOfLinks == 1 &&
            info.nFileSizeHigh == 0 && info.nFileSizeLow <= (1u << 20);
  if (!ok) *error = "a link, not a regular file, or larger than 1 MiB";
  char buffer[16384];
  for (DWORD got = 0; ok && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0;) text->append(buffer, got);
  CloseHandle(file);
  return ok;
}

std::string LocalStamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[48];
  snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay, now.wHour,
           now.wMinute, now.wSecond, now.wMilliseconds);
  return text;
}

}  // namespace file
}  // namespace kestravo_run
