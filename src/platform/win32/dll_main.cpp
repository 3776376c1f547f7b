// kestravo.dll's entry point. The loader lock is held here: nothing but turning off the thread
// notifications, which the library does not use.
#include "os.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
