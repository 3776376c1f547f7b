/* The child's side of Kestravo: find the identity that the supervisor wrote into this process's
 * command line, and wait on the stop event through which it asks the child to end.
 *
 * A supervised child's command line ends with the supervisor's marker, then "pid=<hpid>;guid=<GUID>"
 * (docs/writing-a-child.md spells it out); KESTRAVO_ChildGetIdentity finds and checks it.
 * The event named by the GUID is signalled when the supervisor wants the child to stop; a child
 * that does not end within a few seconds is killed. KESTRAVO_ChildNotify tells the supervisor that
 * the child is ready, that it is alive (watchdog pings), its status, and how it wants to be kept.
 *
 * Link with -lkestravo_child (shared or static). Valid C and C++; every function is thread-safe. */
#ifndef KESTRAVO_CHILD_H
#define KESTRAVO_CHILD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KESTRAVO_ChildIdentity {
    uint32_t hpid;   /* the number after "pid=" in the marker */
    char guid[39];   /* the GUID text after "guid=", NUL-terminated */
} KESTRAVO_ChildIdentity;

/* Finds the marker in cmdLine, or, when cmdLine is NULL, in this process's own command line (its
   arguments joined by single blanks) and, failing that, in the variables KESTRAVO_HPID and
   KESTRAVO_GUID that kestravo-run sets. 0: found; 1: no marker, or a malformed one. */
int32_t KESTRAVO_ChildGetIdentity(const char* cmdLine, KESTRAVO_ChildIdentity* identity);

/* Opens the stop event named by guid. NULL when there is none or it cannot be opened.
   Close it with KESTRAVO_ChildCloseStopEvent. */
void* KESTRAVO_ChildOpenStopEvent(const char* guid);

/* 0: stop requested; 1: the time ran out; -1: error. 0xFFFFFFFF waits without limit. */
int32_t KESTRAVO_ChildWaitStop(void* stopEvent, uint32_t timeoutMs);

/* Closes the event; NULL is ignored. */
void KESTRAVO_ChildCloseStopEvent(void* stopEvent);

/* Tells the supervisor about this child through the channel named by guid: text is one or more
   "KEY=VALUE" lines separated by '\n', at most 4096 bytes, sent as one message without blocking.
   The supervisor understands READY=1 (ready: the host hears it once per start), WATCHDOG=1 (a ping;
   before READY=1 it counts for nothing), WATCHDOG=trigger (a missed ping at once), WATCHDOG_USEC=N
   (the ping interval, 0 turns the watchdog off), STATUS=text (handed to the host, cut to 255 bytes),
   STOPPING=1 (logged), and the settings KESTRAVO_READY_TIMEOUT_USEC=N (stopped unless ready within
   N us of the start), KESTRAVO_RESTART=always|on-failure|never, KESTRAVO_SUCCESS_EXIT=0 2 (exit
   codes that on-failure counts as success) and KESTRAVO_STOP_GRACE_MS=N (the time given between
   the stop event and the kill when the supervisor stops the child itself; 3000 by default). Other
   keys are ignored. Settings belong to this process: a restarted child starts without any and
   sends them again, first thing. Only the process the supervisor started is heard (on Windows
   also the processes in its job: what it starts); messages from any other process are dropped.
   On Windows the call waits up to 250 ms for the supervisor to take the message.
   0: sent; 1: no channel (not supervised, the supervisor is down, or an older supervisor);
   -1: a null or empty argument, a text over 4096 bytes, a full queue or another error. Any
   thread. */
int32_t KESTRAVO_ChildNotify(const char* guid, const char* text);

#ifdef __cplusplus
}
#endif

#endif /* KESTRAVO_CHILD_H */
