/* kestravo-wait-stop GUID [TIMEOUT_MS]: lets a shell-script child take part in the stop protocol.
 * Exit 0 when the stop event is signalled, 1 when the time runs out, 2 when the event cannot be
 * opened or the arguments are wrong. Without TIMEOUT_MS it waits without limit. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kestravo_child.h"

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("kestravo-wait-stop %s\n", KESTRAVO_VERSION);
        return 0;
    }
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: kestravo-wait-stop GUID [TIMEOUT_MS]\n       kestravo-wait-stop --version\n");
        return 2;
    }
    uint32_t timeout = 0xFFFFFFFFu;
    if (argc == 3) {
        char* end = NULL;
        errno = 0;
        unsigned long value = strtoul(argv[2], &end, 10);
        if (errno != 0 || end == argv[2] || *end != '\0' || argv[2][0] == '-' || value > 0xFFFFFFFFul) {
            fprintf(stderr, "kestravo-wait-stop: bad time-out '%s' (milliseconds expected)\n", argv[2]);
            return 2;
        }
        timeout = (uint32_t)value;
    }
    void* event = KESTRAVO_ChildOpenStopEvent(argv[1]);
    if (event == NULL) {
        fprintf(stderr, "kestravo-wait-stop: cannot open the stop event %s\n", argv[1]);
        return 2;
    }
    int32_t result = KESTRAVO_ChildWaitStop(event, timeout);
    KESTRAVO_ChildCloseStopEvent(event);
    if (result < 0) {
        fprintf(stderr, "kestravo-wait-stop: waiting on %s failed\n", argv[1]);
        return 2;
    }
    return result;
}
