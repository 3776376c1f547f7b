/* Kestravo: supervise child processes from a host program.
 *
 * The host starts children through this library, names each by a small id of the library's own
 * (the hpid, 0 to 1023), and hears through one callback when a child exits unasked, is restarted,
 * fails to restart, or is found still running after the host itself was restarted. Children that
 * exit unasked are restarted under the same hpid: at once when they ran a second or more; when
 * they died younger, 100 ms after the exit, a wait that doubles with each further such death in a
 * row up to 30 s. A run of a second or more ends the spacing. Each restart is reported all the
 * same (MSG_EXITED, then MSG_RESTARTED), and a stop during the wait cancels the restart. The
 * library records its children in "kestravo.xml" beside the host's executable.
 *
 * A child may speak for itself through KESTRAVO_ChildNotify (kestravo_child.h): that it is ready
 * (MSG_READY), a status line (MSG_STATUS), watchdog pings, and its settings: a ready time-out, a
 * watchdog interval, a restart policy (always, the default; on-failure, with the exit codes that
 * count as success; never) and the grace of the stops the library makes itself. The settings
 * travel through the child, never through this API: a host that wants them for a child passes
 * them to it (kestravo-run takes them as options and sends them first thing). They belong to the
 * child's current process: after a restart the defaults hold until the new process sends them
 * again. They are kept in kestravo.xml with the child, so a child adopted by the next host keeps
 * its watchdog and policy. A change reaches the file within 50 ms (a child that changes them on
 * every message costs one rewrite per 50 ms, not one per message), later only while the library
 * finishes a start or stop in hand, and at the latest when KESTRAVO_Uninit returns: a host killed
 * within that time leaves the settings before the change, and the next host adopts the child with
 * those. An adopted child's watchdog runs from the adoption, and a child that was ready
 * is reported ready again once adopted. A child that misses its watchdog ping, or is not ready
 * within its time-out, gets its stop event, is terminated after its grace, and is reported with
 * cause KESTRAVO_CAUSE_WATCHDOG or KESTRAVO_CAUSE_NOT_READY. A child whose policy leaves it ended
 * is reported with restarting 0 and keeps its hpid (KESTRAVO_GetOSPid answers its last pid) until
 * KESTRAVO_DestroyProcess or KESTRAVO_KillProcess, which then answer 0 at once. Only the process
 * the library started (or adopted) is heard; messages from any other process are dropped. Linux
 * only for now: on Windows a child's messages go nowhere and the defaults hold.
 *
 * Link with -lkestravo. Valid C and C++. Every function may be called from any thread; all but
 * KESTRAVO_SetMsgCallBack are serialised by one lock, held for the whole call except while
 * KESTRAVO_DestroyProcess and KESTRAVO_KillProcess wait for their child to end. So no call waits
 * for another call's child, and children stopped from several threads stop side by side. */
#ifndef KESTRAVO_H
#define KESTRAVO_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && defined(KESTRAVO_BUILDING)
#define KESTRAVO_API __declspec(dllexport)
#elif defined(_WIN32)
#define KESTRAVO_API __declspec(dllimport)
#else
#define KESTRAVO_API __attribute__((visibility("default")))
#endif

/* None of the functions throws: C++ hosts may rely on it. */
#ifdef __cplusplus
#define KESTRAVO_NOEXCEPT noexcept
#else
#define KESTRAVO_NOEXCEPT
#endif

/* Results of the exported functions. */
#define KESTRAVO_OK 0
#define KESTRAVO_INVALID_ARGUMENT 1   /* bad argument, or no such hpid or process */
#define KESTRAVO_STOP_TIMEOUT 3       /* the stop was not confirmed in time (see the stops below) */
#define KESTRAVO_NO_RESOURCE 4        /* no free hpid, or an event could not be created */
#define KESTRAVO_NOT_INITIALISED 5    /* KESTRAVO_Init has not been called (or was undone) */
#define KESTRAVO_ALREADY_MANAGED 6    /* KESTRAVO_Attach: the hpid is managed already */
#define KESTRAVO_STATE_BUSY 7         /* KESTRAVO_Init: another live process uses the state file, or its
                                         lock is not this process's own file (planted) */
#define KESTRAVO_INIT_FAILED (-1)     /* KESTRAVO_Init: the worker threads could not start */

/* Message types of the callback. */
#define MSG_EXITED 1          /* the child exited unasked; a restart is under way (perhaps spaced, see
                                 above) unless its restarting is 0; msgData: ExitedProcInfo */
#define MSG_RESTARTED 2       /* the child runs again under its hpid */
#define MSG_RESTART_FAILED 3  /* one restart attempt failed; another follows about 30 s later */
#define MSG_ATTACHABLE 4      /* a child of an earlier run still runs; msgData: AttachableProcInfo */
#define MSG_READY 5           /* the child said it is ready, once per start or restart (an adopted child
                                 that was ready before says so again at its adoption); msgData: NULL */
#define MSG_STATUS 6          /* the child sent a status line; msgData: the line, NUL-terminated, at
                                 most 255 bytes */

/* ExitedProcInfo.cause: why the child ended. */
#define KESTRAVO_CAUSE_UNKNOWN 0        /* not known (known is 0) */
#define KESTRAVO_CAUSE_EXITED 1         /* it returned or called exit: exitCode */
#define KESTRAVO_CAUSE_SIGNAL 2         /* a signal ended it: signal */
#define KESTRAVO_CAUSE_WATCHDOG 3       /* it missed its watchdog ping and was stopped; causeValue: the
                                           interval in ms */
#define KESTRAVO_CAUSE_NOT_READY 4      /* it did not say ready in time and was stopped; causeValue: the
                                           time-out in ms */
#define KESTRAVO_CAUSE_OUT_OF_MEMORY 5  /* the system ended it at its memory limit; causeValue: the limit
                                           in bytes */

/* The data of MSG_ATTACHABLE. Valid only during the callback. Both texts are NUL-terminated; a
   recorded text of 1024 bytes or more keeps its last 1023 bytes (it is cut at the front), so that
   the end of the command line, with the marker and the child's GUID, is always there. */
typedef struct AttachableProcInfo {
    uint32_t pid;           /* the child's OS process id; pass it to KESTRAVO_Attach */
    char cmdLine[1024];     /* the command line it was started with, marker included */
    char exePath[1024];     /* its executable path */
} AttachableProcInfo;

/* The data of MSG_EXITED: how the child ended. Valid only during the callback. size comes first
   and is the size of the struct as the library filled it: a field lies beyond size in an older
   library, so read only the fields that end within it. For a child the library started, the cause
   is known (known is 1), unless on Linux the host reaped it first with a wait of its own for any
   child (waitpid(-1, ...)). For an adopted child, which the library did not start, Linux cannot
   tell the cause, and runMs counts from the adoption. When known is 0, exitCode, signal and
   coreDumped are 0. Windows knows the exit code of either; a crash shows there as its status code
   in exitCode (0xC0000005 for an access violation, say), and signal is 0. */
typedef struct ExitedProcInfo {
    uint32_t size;        /* sizeof(ExitedProcInfo) of the library that filled it */
    uint32_t pid;         /* the OS process id that ended */
    int32_t exitCode;     /* its exit code when it returned or called exit; 0 when a signal ended it */
    int32_t signal;       /* the signal that ended it (Linux), else 0 */
    uint32_t coreDumped;  /* 1 when it dumped core */
    uint32_t known;       /* 1 when exitCode, signal and coreDumped are known, 0 when not */
    uint64_t runMs;       /* how long it ran, in milliseconds */
    uint32_t relaunchInMs; /* the wait before the restart that follows this exit: 0 after a run of a
                              second or more, else the spacing of young deaths described above */
    uint32_t cause;        /* KESTRAVO_CAUSE_*; for a stop by the library (watchdog, not ready) the
                              exit fields say how the stopped process ended */
    uint32_t restarting;   /* 1: a restart follows; 0: the child's restart policy leaves it ended:
                              its hpid stays taken until KESTRAVO_DestroyProcess */
    uint64_t causeValue;   /* see the causes above; 0 when they name none */
} ExitedProcInfo;

/* The host's callback. It runs on the library's threads: MSG_EXITED and MSG_RESTARTED on the
   exit-watch thread, MSG_RESTARTED and MSG_RESTART_FAILED on the launcher thread, MSG_READY and
   MSG_STATUS on the notify thread (which also keeps the watchdog clocks: a slow callback there
   delays them), MSG_ATTACHABLE on the thread inside KESTRAVO_Init. msgData is NULL except for
   MSG_EXITED, MSG_STATUS and MSG_ATTACHABLE. The result is
   ignored. It should return quickly: while it runs, that thread does nothing else. It may call any
   function of the library; while the last KESTRAVO_Uninit runs, those calls answer 5 (false)
   instead of waiting. */
typedef int32_t (*MsgCallBack)(uint32_t hpid, uint32_t msgType, void* msgData, void* userValue);

/* Starts the library, or counts one more user of it: 0, or -1 when the worker threads could not
   start. The first call takes kestravo.xml for this process until the last KESTRAVO_Uninit (a lock
   on "kestravo.xml.lock" beside it, dropped by the system if the process dies): when another live
   process holds it, the call answers 7 (KESTRAVO_STATE_BUSY), logs that process's pid, and starts
   and adopts nothing; the other host's children stay its own. It answers 7 too, logging why, when
   something else stands under the lock's name: a link, a directory, another user's file, or a
   file with a second name; that is left alone. The first call loads kestravo.xml and reports each recorded child that still runs with
   MSG_ATTACHABLE, once each, in the file's order, before it returns; a call from such a callback
   is counted once the first is done. Logging is configured from "log4cxx.properties" in the
   working directory when that file exists. */
KESTRAVO_API int32_t KESTRAVO_Init(void) KESTRAVO_NOEXCEPT;

/* Undoes one KESTRAVO_Init: 0, or 5 when not initialised. The last one stops the worker threads,
   asks every child to stop (its stop event, then termination after 1000 ms), terminates at once
   the children of destroys still under way, and forgets the callback. kestravo.xml keeps its
   entries. */
KESTRAVO_API int32_t KESTRAVO_Uninit(void) KESTRAVO_NOEXCEPT;

/* Starts exePath with cmdLine (the marker with the hpid and GUID is appended to it directly, so
   end cmdLine with a blank to keep it a separate argument). Returns at once with the new hpid in
   *hpid: 0; 1 for a null or inaccessible exePath, a null cmdLine or a null hpid; 4 when all 1024
   hpids are taken, or a GUID or an event cannot be made; 5 when not initialised. The start
   happens on the launcher thread; a failing start is retried about every 30 s until the hpid is
   destroyed or killed. userData is stored, never read. */
KESTRAVO_API int32_t KESTRAVO_CreateProcess(const char* exePath, const char* cmdLine, uint32_t* hpid,
                                            uint64_t userData) KESTRAVO_NOEXCEPT;

/* Asks the child to stop through its stop event and terminates it if it still runs graceMs
   milliseconds later (0 means 3000; at most 600000, ten minutes, larger values are cut to it):
   0 once stopped, 1 for an unknown hpid, 3 when not confirmed within 5000 ms or within the grace
   and 2000 ms more, whichever is longer, 5 when not initialised. A start still being retried is
   cancelled (0); one under way right now is waited for (at most 15 s), then its child stopped.
   After 3 the stop goes on: the hpid is unknown from then on, and becomes free for a new child,
   and the child leaves kestravo.xml, once it is done. The wait is made without the
   library's lock: other calls go on meanwhile, other destroys included, and a second destroy or
   kill of the same hpid answers 1. When the last KESTRAVO_Uninit runs meanwhile, it ends the
   child at once and the call answers 0. A child its restart policy left ended is forgotten at
   once: 0. */
KESTRAVO_API int32_t KESTRAVO_DestroyProcess(uint32_t hpid, uint32_t graceMs) KESTRAVO_NOEXCEPT;

/* Terminates the child without asking, and returns once it has ended: 0, 1, 3 (not confirmed
   within 5000 ms), 5 as above. Waits without the library's lock, as KESTRAVO_DestroyProcess. */
KESTRAVO_API int32_t KESTRAVO_KillProcess(uint32_t hpid) KESTRAVO_NOEXCEPT;

/* Terminates the child and starts it again under the same hpid and command line. Returns at once:
   0, 1 for an unknown hpid, 5 when not initialised. */
KESTRAVO_API int32_t KESTRAVO_RestartProcess(uint32_t hpid) KESTRAVO_NOEXCEPT;

/* Sets the callback and the value handed back to it, as one pair; NULL switches messages off. May
   be called before KESTRAVO_Init; the last KESTRAVO_Uninit clears it. Always 0. */
KESTRAVO_API int32_t KESTRAVO_SetMsgCallBack(MsgCallBack callback, void* userValue) KESTRAVO_NOEXCEPT;

/* The OS process id of the child: 0, 1 for an unknown hpid or a null osPid, 5. Also 1, without
   an error in the log, while the first start of the hpid is still queued or under way (or being
   retried): poll until it answers 0. */
KESTRAVO_API int32_t KESTRAVO_GetOSPid(uint32_t hpid, uint32_t* osPid) KESTRAVO_NOEXCEPT;

/* Adopts a child reported by MSG_ATTACHABLE under its old hpid: 0; 1 when no report matches the
   pair, the hpid is beyond 1023, or the process has ended or is another program now (its command
   line no longer ends with the child's marker and GUID); 4 when an event cannot be created or the
   process cannot be checked now (out of descriptors, say: try again); 6 when the hpid is managed
   already; 5 when not initialised. */
KESTRAVO_API int32_t KESTRAVO_Attach(uint32_t hpid, uint32_t osPid) KESTRAVO_NOEXCEPT;

/* true, with its hpid in *hpid, when osPid is a managed child; false otherwise (also when not
   initialised or for a null hpid, and for the last pid of a child its restart policy left ended). */
KESTRAVO_API bool KESTRAVO_IsManaged(uint32_t osPid, uint32_t* hpid) KESTRAVO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KESTRAVO_H */
