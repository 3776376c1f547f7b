#include "win32/own_file_win32.h"

#include <errno.h>

#include <aclapi.h>
#include <sddl.h>

namespace kestravo::win32 {

namespace {

// A SID of the token, as TOKEN_USER or TOKEN_OWNER return it (both begin with the SID pointer).
std::string TokenSid(TOKEN_INFORMATION_CLASS what) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
  alignas(void*) char buffer[256];
  DWORD size = 0;
  bool ok = GetTokenInformation(token, what, buffer, sizeof buffer, &size) != FALSE;
  CloseHandle(token);
  if (!ok) return std::string();
  PSID sid = *reinterpret_cast<PSID*>(buffer);
  return std::string(static_cast<const char*>(sid), GetLengthSid(sid));
}

}  // namespace

std::string SidText(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "an unknown account";
  std::string result = text;
  LocalFree(text);
  return result;
}

bool TrustedAccount(PSID sid) {
  static const std::string user = TokenSid(TokenUser), owner = TokenSid(TokenOwner);
  for (const std::string* own : {&user, &owner}) {
    if (!own->empty() && EqualSid(sid, const_cast<char*>(own->data()))) return true;
  }
  return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

SECURITY_ATTRIBUTES* OwnerOnly() {
  static SECURITY_ATTRIBUTES attributes = [] {
    SECURITY_ATTRIBUTES made = {sizeof made, nullptr, FALSE};
    std::string user = TokenSid(TokenUser);
    if (user.empty()) return made;
    std::string sddl = "D:P(A;;FA;;;" + SidText(const_cast<char*>(user.data())) + ")(A;;FA;;;BA)(A;;FA;;;SY)";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &made.lpSecurityDescriptor, nullptr)) {
      made.lpSecurityDescriptor = nullptr;  // the folder's inherited list, then
    }
    return made;
  }();
  return &attributes;
}

std::string NotOwnFileBecause(HANDLE file, int* code) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    *code = EINVAL;
    return "not a regular file";
  }
  if (!GetFileInformationByHandle(file, &info)) {
    *code = EIO;
    return "its information cannot be read";
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *code = EISDIR;
    return "a folder";
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *code = ELOOP;
    return "a link";
  }
  if (info.nNumberOfLinks != 1) {
    *code = EMLINK;
    return std::to_string(info.nNumberOfLinks) + " links: another name of it was planted";
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    *code = EIO;
    return "its owner cannot be read";
  }
  std::string why;
  if (owner == nullptr || !TrustedAccount(owner)) {
    *code = EPERM;
    why = "owned by " + (owner != nullptr ? SidText(owner) : std::string("no one")) + ", not by this account";
  }
  LocalFree(descriptor);
  return why;
}

}  // namespace kestravo::win32
