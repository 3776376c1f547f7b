/* The child's side of Kestravo: find the identity that the supervisor wrote into this process's
 * command line, and wait on the stop event through which it asks the child to end.
 *
 * A supervised child's command line ends with the supervisor's marker, then "pid=<hpid>;guid=<GUID>"
 * (docs/writing-a-child.md spells it out); KESTRAVO_ChildGetIdentity finds and checks it.
 * The event named by the GUID is signalled when the supervisor wants the child to stop; a child
 * that does not end within a few seconds is killed.
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

#ifdef __cplusplus
}
#endif

#endif /* KESTRAVO_CHILD_H */
