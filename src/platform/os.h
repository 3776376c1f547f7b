// The operating-system services the library calls, under their Windows names.
// On Windows this is <windows.h>; on Linux the subset in posix/ stands in for it.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#else
#include "posix/win32.h"
#endif
