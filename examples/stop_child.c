/* A supervised child: works in steps of a second until its supervisor asks it to stop. */
#include <stdio.h>

#include "kestravo_child.h"

int main(void) {
    KESTRAVO_ChildIdentity me;
    if (KESTRAVO_ChildGetIdentity(NULL, &me) != 0) {
        fprintf(stderr, "stop_child: not started by a supervisor\n");
        return 1;
    }
    void* stop = KESTRAVO_ChildOpenStopEvent(me.guid);
    if (stop == NULL) return 1;
    int32_t waited;
    while ((waited = KESTRAVO_ChildWaitStop(stop, 1000)) == 1) {
        /* ... a second of work ... */
    }
    KESTRAVO_ChildCloseStopEvent(stop);
    return waited == 0 ? 0 : 1;
}
