// Ending what a child left behind: a child is its whole process tree.
#pragma once

#include "os.h"

// For a child that has ended: ends what is left of its tree (the rest of its process group and
// of its cgroup on Linux) and waits up to timeoutMs for all of it to be gone. TRUE once nothing
// is left; FALSE when the child itself still runs (nothing is done, ERROR_ACCESS_DENIED) or
// something outlived the wait (ERROR_TIMEOUT). Any thread.
BOOL EndProcessRemains(HANDLE hProcess, DWORD timeoutMs);
