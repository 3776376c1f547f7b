/* A supervised child that crashes: unless asked to stop within MS milliseconds (default 4000),
 * it aborts, so that its supervisor restarts it. Usage: crash_child [MS] */
#include <stdio.h>
#include <stdlib.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "kestravo_child.h"

int main(int argc, char** argv) {
    KESTRAVO_ChildIdentity me;
    if (KESTRAVO_ChildGetIdentity(NULL, &me) != 0) {
        fprintf(stderr, "crash_child: not started by a supervisor\n");
        return 1;
    }
    /* The supervisor's marker is the last argument, so MS is there only when argc > 2. */
    char* end = NULL;
    unsigned long ms = argc > 2 ? strtoul(argv[1], &end, 10) : 0;
    if (end == NULL || *end != '\0' || ms == 0 || ms > 0xFFFFFFFEul) ms = 4000;

    void* stop = KESTRAVO_ChildOpenStopEvent(me.guid);
    if (stop != NULL && KESTRAVO_ChildWaitStop(stop, (uint32_t)ms) == 0) {
        KESTRAVO_ChildCloseStopEvent(stop);
        return 0;
    }
#ifndef _WIN32
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none); /* a crash on purpose leaves no core file behind */
#endif
    abort();
}
