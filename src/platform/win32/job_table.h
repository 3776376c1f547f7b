// The job object of each child the library started, by the process handle it keeps of the child.
// Windows finds no job from a process, so the library remembers them. Any thread.
#pragma once

#include "os.h"

namespace kestravo::win32 {

// Records job as the tree of process; the table owns the job handle from now on. False (the job
// left to the caller) when memory ran out.
bool RememberJob(HANDLE process, HANDLE job);

// Ends the job of process with every process in it. False when process has no job known.
bool TerminateJobOf(HANDLE process);

// The number of processes still running in process's job; -1 when it has none known.
long ActiveProcessesInJob(HANDLE process);

// Closes the job handle of process, if there is one: called when the process handle is closed.
// The job itself lives on while processes remain in it.
void ForgetJob(HANDLE process);

}  // namespace kestravo::win32
