/* A minimal host: starts PROGRAM under supervision, lets it run for two seconds, stops it. */
#include <stdio.h>
#include <unistd.h>

#include "kestravo.h"

/* Runs on the library's threads: it only reports, and never calls the library. */
static int32_t on_message(uint32_t hpid, uint32_t type, void* data, void* user) {
    (void)data, (void)user;
    printf("child %u: %s\n", hpid, type == MSG_EXITED ? "exited" : type == MSG_RESTARTED ? "restarted" : "other");
    return 0;
}

int main(int argc, char** argv) {
    uint32_t hpid, pid = 0;
    if (argc != 2) {
        fprintf(stderr, "usage: %s PROGRAM\n", argv[0]);
        return 2;
    }
    KESTRAVO_SetMsgCallBack(on_message, NULL);
    if (KESTRAVO_Init() != KESTRAVO_OK) return 1;
    /* The library appends the child's identity to the command line: end it with a blank. */
    int32_t result = KESTRAVO_CreateProcess(argv[1], "--example ", &hpid, 0);
    for (int i = 0; result == KESTRAVO_OK && i < 50 && KESTRAVO_GetOSPid(hpid, &pid) != KESTRAVO_OK; i++)
        usleep(100000); /* the start happens on the library's launcher thread */
    if (pid != 0) {
        printf("child %u runs as pid %u\n", hpid, pid);
        sleep(2);
        result = KESTRAVO_DestroyProcess(hpid, 0); /* stop event, then SIGKILL after 3 s */
        printf("child %u stopped: %d\n", hpid, result);
    }
    KESTRAVO_Uninit();
    return result == KESTRAVO_OK && pid != 0 ? 0 : 1;
}
