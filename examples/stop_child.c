/* A well-behaved supervised child: works until its supervisor asks it to stop, then exits 0. */
#include <stdio.h>

#include "kestravo_child.h"

int main(void) {
    KESTRAVO_ChildIdentity identity;
    if (KESTRAVO_ChildGetIdentity(NULL, &identity) != 0) {
        fprintf(stderr, "stop_child: not started by a supervisor\n");
        return 1;
    }
    void* stop = KESTRAVO_ChildOpenStopEvent(identity.guid);
    if (stop == NULL) {
        fprintf(stderr, "stop_child: no stop event %s\n", identity.guid);
        return 1;
    }
    /* A real child would do its work here, checking the event with a time-out of 0 now and then. */
    int32_t result = KESTRAVO_ChildWaitStop(stop, 0xFFFFFFFFu);
    KESTRAVO_ChildCloseStopEvent(stop);
    return result == 0 ? 0 : 1;
}
