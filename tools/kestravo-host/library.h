// libkestravo as kestravo-host loads it: at run time, as a host that ships the library beside it.
#pragma once

#include <string>

#include "kestravo.h"

namespace kestravo_host {

// The exported functions the host calls.
struct Library {
  decltype(&KESTRAVO_Init) Init = nullptr;
  decltype(&KESTRAVO_Uninit) Uninit = nullptr;
  decltype(&KESTRAVO_SetMsgCallBack) SetMsgCallBack = nullptr;
  decltype(&KESTRAVO_CreateProcess) CreateProcess = nullptr;
  decltype(&KESTRAVO_DestroyProcess) DestroyProcess = nullptr;
  decltype(&KESTRAVO_GetOSPid) GetOSPid = nullptr;
  decltype(&KESTRAVO_Attach) Attach = nullptr;
  std::string path;  // the file that was loaded
};

// Looks for the library beside this program first, then in the lib directory of an installed
// tree (../lib from bin), then where the dynamic linker looks (LD_LIBRARY_PATH, the system's
// directories; on Windows the system's DLL search). False with *error set when it is not found or lacks a function. The library
// stays loaded until the process ends.
bool LoadLibrary(Library* library, std::string* error);

// The first KESTRAVO_Init, with the library's log in kestravo.log beside the state file, unless
// the working directory holds a log4cxx.properties of the user's, or standard error is the
// journal (under systemd), which then gets it. *where tells a person where the log is. A
// kestravo.log that is not a file of the host's own (see PrepareOwnFile) is not handed to the
// library: false, with *where saying why, and Init not called.
bool InitWithLog(const Library& library, int32_t* result, std::string* where);

// Where the library keeps kestravo.xml, chosen as it chooses when told: KESTRAVO_STATE_DIR, else
// the first entry of STATE_DIRECTORY; absolute. Empty when neither is set: the library would
// then use the directory of its host's executable, which kestravo-host never lets it.
std::string StateDir();

}  // namespace kestravo_host
