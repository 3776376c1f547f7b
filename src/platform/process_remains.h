// Ending what a child left behind: a child is its whole process tree.
#pragma once

#include "os.h"

// Starts the program that program names (as CreateProcessA's application name: never looked for
// in commandLine, which gives only its arguments; no window, nothing inherited) as the root of a tree
// of its own: what it starts later is ended with it. On Linux that is its process group and cgroup,
// on Windows a job object made for it before it runs, without kill-on-close, so that the tree
// outlives a crash of the host. It gets the host's environment without KESTRAVO_HPID and
// KESTRAVO_GUID: in a host that itself runs under kestravo-run they are the host's own identity,
// and a child must see no identity but its own. FALSE with the last error of the step that failed;
// nothing is left running then. *info as CreateProcessA gives it; the caller closes both handles.
// predecessor: the ended child this one replaces, whose remains EndProcessRemains has ended; on
// Linux its emptied cgroup is the new child's, rather than a removal and a new directory.
// treeName: the child's GUID, by which a later host finds the tree again (AdoptProcessTree); on
// Windows the job is named from it and the pid, in the session's namespace, open to this user only.
// Null or a name already taken: an unnamed job, which only this host can end.
BOOL CreateProcessTree(LPCSTR program, LPSTR commandLine, PROCESS_INFORMATION* info, HANDLE predecessor = nullptr,
                       LPCSTR treeName = nullptr);

// For a child of an earlier host, opened again with OpenProcess: makes the rest of its tree this
// host's, so that TerminateProcessTree and EndProcessRemains reach all of it. Linux finds the tree
// from the pid at OpenProcess (TRUE at once); Windows opens the job that CreateProcessTree named
// from treeName, and takes it only when the process is in it. FALSE with the last error when no
// such job is found: then only the process itself is ended. Any thread.
BOOL AdoptProcessTree(HANDLE hProcess, LPCSTR treeName);

// Ends the process and the rest of its tree without waiting; as TerminateProcess.
BOOL TerminateProcessTree(HANDLE hProcess);

// For a child that has ended: ends what is left of its tree (the rest of its process group and
// of its cgroup on Linux) and waits up to timeoutMs for all of it to be gone. TRUE once nothing
// is left; FALSE when the child itself still runs (nothing is done, ERROR_ACCESS_DENIED) or
// something outlived the wait (ERROR_TIMEOUT). Any thread.
BOOL EndProcessRemains(HANDLE hProcess, DWORD timeoutMs);

// Ends every process of handles with its tree, as TerminateProcess does, but all of them first and
// then waits up to timeoutMs, shared, for them to be gone: many children end in about the time of
// one. FALSE (with the last error of one that failed) when any of them could not be signalled,
// an ended one included; the others are ended all the same.
BOOL TerminateProcesses(const HANDLE* handles, size_t count, DWORD timeoutMs);
