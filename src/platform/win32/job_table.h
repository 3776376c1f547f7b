// The job object of each child the library started, by the process handle it keeps of the child.
// Windows finds no job from a process, so the library remembers them. Any thread.
#pragma once

#include <string>

#include "os.h"

namespace kestravo::win32 {

// Records job as the tree of process, under treeName (the child's GUID) when given; the table owns
// the job handle from now on. False (the job left to the caller) when memory ran out.
bool RememberJob(HANDLE process, HANDLE job, const char* treeName = nullptr);

// Ends the job of process with every process in it. False when process has no job known.
bool TerminateJobOf(HANDLE process);

// The number of processes still running in process's job; -1 when it has none known.
long ActiveProcessesInJob(HANDLE process);

// Whether the process pid runs in the job recorded last under treeName: the child itself or
// anything it started. False when either is unknown or gone. Any thread.
bool IsInNamedTree(const std::string& treeName, DWORD pid);

// Closes the job handle of process, if there is one: called when the process handle is closed.
// The job itself lives on while processes remain in it.
void ForgetJob(HANDLE process);

}  // namespace kestravo::win32
