// Files in a folder that other accounts may write (the state file, its lock, the library's log
// and its configuration): taken only when they are this account's own. Windows only.
#pragma once

#include <string>

#include "os.h"

namespace kestravo::win32 {

// This account, the default owner of its new files (the administrators, for an elevated one), the
// administrators and the system: who may own and write a file that this host trusts.
bool TrustedAccount(PSID sid);

// The account a SID names, as text, for messages.
std::string SidText(PSID sid);

// Owner-only for the files this host writes: this account, the administrators and the system.
// Null (the folder's inherited list) where that cannot be built. Never freed.
SECURITY_ATTRIBUTES* OwnerOnly();

// Why the open file is not one of this account's own; empty when it is: a file on disk, not a
// folder, not a link (a reparse point: open it with FILE_FLAG_OPEN_REPARSE_POINT), with one name
// (GetFileInformationByHandle), owned by a trusted account. *code: an errno value that says the
// same (EINVAL, EISDIR, ELOOP, EMLINK, EPERM, or EIO when the file cannot be asked).
std::string NotOwnFileBecause(HANDLE file, int* code);

}  // namespace kestravo::win32
