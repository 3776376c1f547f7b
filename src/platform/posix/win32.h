// The part of the Windows API that the library uses, implemented over Linux.
//
// Every function keeps the Windows signature and contract as far as the library relies on it:
// failures return FALSE / NULL / WAIT_FAILED and leave a Windows error code for GetLastError().
// Nothing here throws. All functions are safe to call from several threads at once.
//
// Handles: unnamed events, named events and processes share one handle space. A handle refers
// to a shared kernel object, so a thread may keep waiting on a handle that another thread
// closes. A valid handle is never NULL or INVALID_HANDLE_VALUE.
#pragma once

// C++ linkage on purpose: these names stay out of the C namespace of programs that link the
// static child helper.

#include <stddef.h>
#include <stdint.h>

typedef void* HANDLE;
typedef void* HMODULE;
typedef void* LPVOID;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef int32_t HRESULT;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BYTE* LPBYTE;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#define CREATE_NO_WINDOW 0x08000000u
#define PROCESS_ALL_ACCESS 0x001FFFFFu
#define SYNCHRONIZE 0x00100000u
#define EVENT_MODIFY_STATE 0x0002u  // accepted and not checked: owner-only files decide who may set

#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005)

// The Windows error codes this layer reports.
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_TIMEOUT 1460u
#define ERROR_CANT_RESOLVE_FILENAME 1921u

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Same layout as on Windows x64 (104 bytes); only cb is read.
typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;  // Linux has no thread handle: a pseudo handle that CloseHandle accepts
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

// Thread-local last error, with Windows values.
DWORD GetLastError(void);
void SetLastError(DWORD error);

// Closes a handle of any kind. Closing NULL does nothing and succeeds; an unknown handle
// fails with ERROR_INVALID_HANDLE. The object itself lives on while another thread waits on it.
BOOL CloseHandle(HANDLE handle);

// Waits until the object is signalled: an event set, a process ended. Returns WAIT_OBJECT_0,
// WAIT_TIMEOUT when the time-out (ms, INFINITE for none) ran out, or WAIT_FAILED on a bad handle.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Checks up to MAXIMUM_WAIT_OBJECTS handles at once: WAIT_OBJECT_0 + the lowest index whose object
// is signalled, WAIT_TIMEOUT when none is, WAIT_FAILED when a handle is bad. Only the poll that
// the system needs: bWaitAll FALSE and time-out 0 (otherwise ERROR_NOT_SUPPORTED). Processes are
// checked together, in one system call.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL bWaitAll, DWORD milliseconds);

// Starts the program lpApplicationName names, as it stands: no search, a relative path from the
// working directory; NULL is not supported (finding the program again in the command line ran
// whatever a prefix of it named). argv is lpCommandLine as a Windows program's runtime reads it
// (CommandLineArgv), or the program alone when the line is NULL or empty. lpEnvironment: a Windows
// block ("NAME=value", each NUL-terminated, an empty one last), or NULL for the caller's.
// lpCurrentDirectory must be NULL and bInheritHandles FALSE (else ERROR_NOT_SUPPORTED). The child
// runs in a session of its own, with standard streams on /dev/null and no other descriptor
// inherited, in the caller's working directory.
BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation);

// Ends the process with SIGKILL. Linux cannot choose the exit code, so uExitCode is ignored.
// Fails with ERROR_ACCESS_DENIED once the process has been reaped.
BOOL TerminateProcess(HANDLE hProcess, DWORD uExitCode);

// Opens any running process by pid, ours or not, to wait on or terminate it.
// A pid that does not exist gives NULL and ERROR_INVALID_PARAMETER.
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);

// Creates an event. With a name, the event is shared with every process of the same user that
// opens the name; if it exists already, it is opened, its flags are left as they are and the
// last error is ERROR_ALREADY_EXISTS. It disappears when the last handle in any process closes.
// A file under the name that is not one of ours is never used nor removed: ERROR_ACCESS_DENIED
// (another user's, or other permissions than owner-only), ERROR_INVALID_HANDLE (not a regular
// file, or no event in it), ERROR_SHARING_VIOLATION (held locked by another process for longer
// than a quarter of a second).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                    BOOL bInitialState, LPCSTR lpName);

// Opens an existing named event; NULL with ERROR_FILE_NOT_FOUND when there is none, or with the
// errors of CreateEventA for a file that is not one of ours.
HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);

// Set: an automatic-reset event releases one waiter, a manual-reset event all of them and stays
// set until ResetEvent. Both fail with ERROR_INVALID_HANDLE when another process truncated or
// overwrote a named event's file; so does a wait on it.
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

// With hModule NULL: the path of the process's executable. A path that does not fit is cut to
// nSize - 1 characters (ERROR_INSUFFICIENT_BUFFER). Returns the number of characters copied.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

// A random version-4 GUID. S_OK, or E_FAIL when no random bytes could be had.
HRESULT CoCreateGuid(GUID* pguid);
