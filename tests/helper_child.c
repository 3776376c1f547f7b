/* The child that the tests start. Usage: helper_child MODE REPORT [ARG] [...]
 *
 * REPORT is a file path, or "-" for none. At start the child writes there, atomically, what the
 * tests check: its pid, whether it leads its session, its open descriptors, its arguments and the
 * identity found in its command line.
 *
 * Modes:
 *   stop        wait on the stop event named in the command line, then exit 0 (exit 3 without one)
 *   ignore      run until killed
 *   exit MS     exit 0 after MS milliseconds
 *   crash MS    abort after MS milliseconds
 *   flaky MS CALM CRASHLOG
 *               honour the stop event; but one run in two aborts after a random time below MS
 *               milliseconds, first appending its pid to CRASHLOG, unless the file CALM exists
 *               by then. The runs that do not abort stay, so that a restart that leaves an
 *               earlier run behind can be seen.
 *   grandchild [N [setsid]]
 *               start N grandchildren (1) in mode "ignore" that name REPORT in their arguments,
 *               each in a session of its own with "setsid", report their pids, run until killed */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "kestravo_child.h"

extern char** environ;

static void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

static void run_forever(void) {
    for (;;) pause();
}

static void write_fds(FILE* out) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    fprintf(out, "fds=");
    const char* sep = "";
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        int fd = atoi(entry->d_name);
        /* The directory and the report being written are the child's own, not inherited. */
        if (entry->d_name[0] == '.' || fd == dirfd(dir) || fd == fileno(out)) continue;
        fprintf(out, "%s%s", sep, entry->d_name);
        sep = ",";
    }
    fprintf(out, "\n");
    closedir(dir);
}

static void write_report(const char* path, int argc, char** argv, const pid_t* grandchildren, int count) {
    if (strcmp(path, "-") == 0) return;
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE* out = fopen(tmp, "w");
    if (!out) exit(4);
    fprintf(out, "pid=%d\n", (int)getpid());
    fprintf(out, "session_leader=%d\n", getsid(0) == getpid());
    write_fds(out);
    fprintf(out, "argc=%d\n", argc);
    for (int i = 0; i < argc; ++i) fprintf(out, "arg%d=%s\n", i, argv[i]);
    KESTRAVO_ChildIdentity identity;
    if (KESTRAVO_ChildGetIdentity(NULL, &identity) == 0)
        fprintf(out, "hpid=%u\nguid=%s\n", identity.hpid, identity.guid);
    if (count > 0) fprintf(out, "grandchild=%d\ngrandchildren=", (int)grandchildren[0]);
    for (int i = 0; i < count; ++i) fprintf(out, "%d%s", (int)grandchildren[i], i + 1 < count ? "," : "\n");
    fclose(out);
    if (rename(tmp, path) != 0) exit(4);
}

/* Waits on the stop event; in mode flaky, may abort instead at a random moment. */
static int wait_stop(int argc, char** argv, int flaky) {
    KESTRAVO_ChildIdentity identity;
    if (KESTRAVO_ChildGetIdentity(NULL, &identity) != 0) return 3;
    void* stop = KESTRAVO_ChildOpenStopEvent(identity.guid);
    if (!stop) return 3;
    uint32_t timeout = 0xFFFFFFFFu;
    if (flaky) {
        if (argc < 6) return 2;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        srand((unsigned)getpid() ^ (unsigned)now.tv_nsec);
        long limit = atol(argv[3]);
        if (rand() % 2 == 0) timeout = (uint32_t)(rand() % (limit > 0 ? limit : 1));
    }
    int32_t result = KESTRAVO_ChildWaitStop(stop, timeout);
    if (result == 1 && access(argv[4], F_OK) == 0) result = KESTRAVO_ChildWaitStop(stop, 0xFFFFFFFFu);
    if (result == 1) {
        int log = open(argv[5], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log >= 0) {
            char line[32];
            int n = snprintf(line, sizeof line, "%d\n", (int)getpid());
            if (write(log, line, (size_t)n) != n) return 7;
            close(log);
        }
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        abort();
    }
    KESTRAVO_ChildCloseStopEvent(stop);
    return result == 0 ? 0 : 6;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: helper_child MODE REPORT [ARG]\n");
        return 2;
    }
    const char* mode = argv[1];
    long arg = argc > 3 ? atol(argv[3]) : 0;

    if (strcmp(mode, "grandchild") == 0) {
        char* childArgv[] = {argv[0], "ignore", "-", argv[2], NULL};
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        if (argc > 4 && strcmp(argv[4], "setsid") == 0) posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
        pid_t pids[8];
        int count = arg > 0 && arg <= 8 ? (int)arg : 1;
        for (int i = 0; i < count; ++i)
            if (posix_spawn(&pids[i], argv[0], NULL, &attr, childArgv, environ) != 0) return 5;
        write_report(argv[2], argc, argv, pids, count);
        run_forever();
    }
    write_report(argv[2], argc, argv, NULL, 0);

    if (strcmp(mode, "stop") == 0) return wait_stop(argc, argv, 0);
    if (strcmp(mode, "flaky") == 0) return wait_stop(argc, argv, 1);
    if (strcmp(mode, "ignore") == 0) run_forever();
    if (strcmp(mode, "exit") == 0) {
        sleep_ms(arg);
        return 0;
    }
    if (strcmp(mode, "crash") == 0) {
        sleep_ms(arg);
        abort();
    }
    fprintf(stderr, "helper_child: unknown mode %s\n", mode);
    return 2;
}
