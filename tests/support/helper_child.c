// The child that the tests start. Usage: helper_child MODE REPORT [ARG] [...]
//
// REPORT is a file path, or "-" for none. At start the child writes there, atomically, what the
// tests check: its pid, whether it leads its session and has a controlling terminal (ctty), its
// working directory, uid and gid, its open descriptors, its arguments, the identity found in its command line, any identity in its
// environment (env_identity) and the variables KT_SET, KT_TWO, KT_GONE, KESTRAVO_STATE_DIR, STATE_DIRECTORY,
// HOME, XDG_RUNTIME_DIR, NOTIFY_SOCKET, WATCHDOG_USEC, WATCHDOG_PID (env_NAME).
//
// Modes:
//   stop [MS [N [fork]]]  (N workers as "grandchild" starts them; Linux: with fork, a forked copy
//               exits) open the stop event named in the command line, create REPORT.waiting, wait
//               on it, take MS ms, create REPORT.stopped, then exit 0 (exit 3 without an event)
//   ignore      run until killed
//   exit MS [CODE]
//               exit with CODE (0) after MS milliseconds
//   crash MS    abort after MS milliseconds
//   dump MS DIR (Linux) crash in DIR with cores allowed up to the hard limit, so that a core the
//               kernel writes by name lands there
//   notify STEP...
//               run the steps in order, then wait on the stop event as "stop" does. Steps:
//               say:TEXT (KESTRAVO_ChildNotify, '|' for a line break; exit 7 unless it answers 0),
//               wait:MS, exit:CODE, deaf (run until killed), pingtill:MS (WATCHDOG=1 every MS
//               ms until REPORT.quiet exists), foreign:TEXT (a process it starts sends TEXT and
//               ends: Linux a forked copy; Windows a copy in mode "send", inside its job),
//               repeat:N:TEXT (says TEXT N times in a row, '#' in it replaced by 1..N; a full
//               queue is tried again for up to 10 s)
//   send - GUID TEXT
//               (Windows) KESTRAVO_ChildNotify(GUID, TEXT) with '|' for a line break; exit 7
//               unless it answers 0
//   grandchild [N [setsid]]
//               start N grandchildren (1) in mode "ignore" that name REPORT in their arguments
//               (Linux: each in a session of its own with "setsid"), report their pids, run
//               until killed
//   alloc MB    (Linux) allocate and touch MB megabytes, a megabyte at a time, then exit 0
//   forks N     (Linux) fork children that wait to be killed until a fork fails or N are made,
//               write "forked=K errno=E" (E: the failed fork's errno, 0 if none failed) to
//               REPORT.forks, then run until killed
//   sdnotify DATAGRAM...
//               (Linux) send each DATAGRAM ('|' for a newline) to $NOTIFY_SOCKET, as the notify
//               protocol has it; one that starts with '^' from an orphaned grandchild; then run
//               until killed
//   readyfd N   (Linux) write "ready" and a newline to descriptor N, then run until killed
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kestravo_child.h"

#ifdef _WIN32
// On Windows: no report of sessions or descriptors.
#include <windows.h>

static void sleep_ms(long ms) { Sleep((DWORD)ms); }
static void run_forever(void) { Sleep(INFINITE); }
static int own_pid(void) { return (int)GetCurrentProcessId(); }
/* A test reading the report holds it open for a moment, and Windows refuses to replace an open
 * file: try again for up to a second. */
static int replace_file(const char* from, const char* to) {
    for (int i = 0; i < 500; ++i) {
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
        Sleep(2);
    }
    return -1;
}
#else
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) continue;
}

static void run_forever(void) { for (;;) pause(); }
static int own_pid(void) { return (int)getpid(); }
static int replace_file(const char* from, const char* to) { return rename(from, to); }
#endif

static void write_fds(FILE* out) {
#ifdef _WIN32
    (void)out;
#else
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    fprintf(out, "fds=");
    const char* sep = "";
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        int fd = atoi(entry->d_name);
        // The directory and the report being written are the child's own, not inherited.
        if (entry->d_name[0] == '.' || fd == dirfd(dir) || fd == fileno(out)) continue;
        fprintf(out, "%s%s", sep, entry->d_name);
        sep = ",";
    }
    fprintf(out, "\n");
    closedir(dir);
#endif
}

static void write_report(const char* path, int argc, char** argv, const int* grandchildren, int count) {
    if (strcmp(path, "-") == 0) return;
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE* out = fopen(tmp, "w");
    if (!out) exit(4);
    fprintf(out, "pid=%d\n", own_pid());
#ifndef _WIN32
    fprintf(out, "session_leader=%d\n", getsid(0) == getpid());
    int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);  // fails without a controlling terminal
    fprintf(out, "ctty=%d\n", tty >= 0);
    if (tty >= 0) close(tty);
    char cwd[4096];
    fprintf(out, "cwd=%s\nuid=%d\ngid=%d\ngroups=", getcwd(cwd, sizeof cwd) ? cwd : "?", (int)getuid(), (int)getgid());
    gid_t groups[64];
    int ngroups = getgroups(64, groups);
    for (int i = 0; i < ngroups; ++i) fprintf(out, "%s%d", i ? "," : "", (int)groups[i]);
    fprintf(out, "\n");
#endif
    // Variables that the tests set or remove through a host, and one it must not hand down.
    const char* const names[] = {"KT_SET", "KT_TWO", "KT_GONE", "KESTRAVO_STATE_DIR", "STATE_DIRECTORY", "HOME",
                                 "XDG_RUNTIME_DIR", "NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};
    for (int i = 0; i < 10; ++i)
        if (getenv(names[i])) fprintf(out, "env_%s=%s\n", names[i], getenv(names[i]));
    write_fds(out);
    fprintf(out, "argc=%d\n", argc);
    for (int i = 0; i < argc; ++i) fprintf(out, "arg%d=%s\n", i, argv[i]);
    // An identity in the environment could only have been inherited from the host.
    const char* envHpid = getenv("KESTRAVO_HPID");
    const char* envGuid = getenv("KESTRAVO_GUID");
    if (envHpid || envGuid) fprintf(out, "env_identity=%s;%s\n", envHpid ? envHpid : "", envGuid ? envGuid : "");
    KESTRAVO_ChildIdentity identity;
    if (KESTRAVO_ChildGetIdentity(NULL, &identity) == 0)
        fprintf(out, "hpid=%u\nguid=%s\n", identity.hpid, identity.guid);
    if (count > 0) fprintf(out, "grandchildren=");
    for (int i = 0; i < count; ++i) fprintf(out, "%d%s", (int)grandchildren[i], i + 1 < count ? "," : "\n");
    fclose(out);
    if (replace_file(tmp, path) != 0) exit(4);
}

// Creates REPORT.SUFFIX.
static void mark(const char* report, const char* suffix) {
    char path[4096];
    snprintf(path, sizeof path, "%s.%s", report, suffix);
    FILE* out = strcmp(report, "-") != 0 ? fopen(path, "w") : NULL;
    if (out) fclose(out);
}

// Opens the stop event (and marks that it holds it), waits on it, takes ms to wind up, then
// marks that it, not termination, ended this run.
static int wait_stop(const char* report, long ms, int fork_copy) {
    KESTRAVO_ChildIdentity identity;
    if (KESTRAVO_ChildGetIdentity(NULL, &identity) != 0) return 3;
    void* stop = KESTRAVO_ChildOpenStopEvent(identity.guid);
    if (!stop) return 3;
#ifndef _WIN32
    pid_t copy = fork_copy ? fork() : 0;  // as a daemon's helper would: it lets go as it exits
    if (fork_copy && copy == 0) exit(0);
    if (fork_copy && (copy < 0 || waitpid(copy, NULL, 0) != copy)) return 5;
#else
    (void)fork_copy;  // a Windows child has no forked copies
#endif
    mark(report, "waiting");
    int32_t result = KESTRAVO_ChildWaitStop(stop, 0xFFFFFFFFu);
    KESTRAVO_ChildCloseStopEvent(stop);
    sleep_ms(ms);
    if (result == 0) mark(report, "stopped");
    return result == 0 ? 0 : 6;
}

#ifndef _WIN32
// Sends text ('|' for a newline) to the notify socket: a path, or "@" and an abstract name.
static int notify(const char* text) {
    const char* address = getenv("NOTIFY_SOCKET");
    struct sockaddr_un to = {.sun_family = AF_UNIX};
    if (!address || strlen(address) < 2 || strlen(address) >= sizeof to.sun_path) return -1;
    strcpy(to.sun_path, address);
    if (address[0] == '@') to.sun_path[0] = '\0';
    char message[4096];
    snprintf(message, sizeof message, "%s", text);
    for (char* c = message; *c; ++c)
        if (*c == '|') *c = '\n';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    socklen_t length = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + strlen(address));
    int sent = fd >= 0 ? (int)sendto(fd, message, strlen(message), 0, (struct sockaddr*)&to, length) : -1;
    if (fd >= 0) close(fd);
    return sent < 0 ? -1 : 0;
}

// Sends from a grandchild whose parent has ended, which the system hands to a subreaper.
static int notify_orphaned(const char* text) {
    pid_t middle = fork();
    if (middle == 0) {
        if (fork() == 0) {
            for (int i = 0; i < 5000 && getppid() == middle; ++i) sleep_ms(1);
            _exit(notify(text) == 0 ? 0 : 1);
        }
        _exit(0);
    }
    return middle > 0 && waitpid(middle, NULL, 0) == middle ? 0 : -1;
}
#endif

static int file_exists(const char* report, const char* suffix) {
    char path[4096];
    snprintf(path, sizeof path, "%s.%s", report, suffix);
    FILE* in = fopen(path, "r");
    if (in) fclose(in);
    return in != NULL;
}

static int run_steps(const char* report, int count, char** steps) {
    KESTRAVO_ChildIdentity identity;
    if (KESTRAVO_ChildGetIdentity(NULL, &identity) != 0) return 3;
    for (int i = 0; i < count; ++i) {
        char text[4200];
        const char* step = steps[i];
        const char* value = strchr(step, ':') ? strchr(step, ':') + 1 : "";
        snprintf(text, sizeof text, "%s", value);
        for (char* c = text; *c; ++c)
            if (*c == '|') *c = '\n';
        if (strncmp(step, "say:", 4) == 0) {
            if (KESTRAVO_ChildNotify(identity.guid, text) != 0) return 7;
        } else if (strncmp(step, "repeat:", 7) == 0) {
            const char* body = strchr(text, ':') ? strchr(text, ':') + 1 : "";
            const char* mark = strchr(body, '#');
            for (long n = 1; n <= atol(text); ++n) {
                char message[4300];
                if (mark) {
                    snprintf(message, sizeof message, "%.*s%ld%s", (int)(mark - body), body, n, mark + 1);
                } else {
                    snprintf(message, sizeof message, "%s", body);
                }
                int tries = 0;
                while (KESTRAVO_ChildNotify(identity.guid, message) != 0) {
                    if (++tries > 10000) return 7;
                    sleep_ms(1);
                }
            }
        } else if (strncmp(step, "wait:", 5) == 0) {
            sleep_ms(atol(value));
        } else if (strncmp(step, "exit:", 5) == 0) {
            return atoi(value);
        } else if (strcmp(step, "deaf") == 0) {
            run_forever();
        } else if (strncmp(step, "pingtill:", 9) == 0) {
            while (!file_exists(report, "quiet")) {
                KESTRAVO_ChildNotify(identity.guid, "WATCHDOG=1");  // no channel while no host runs
                sleep_ms(atol(value));
            }
        } else if (strncmp(step, "foreign:", 8) == 0) {
#ifdef _WIN32
            char self[MAX_PATH], line[2 * MAX_PATH + 4400];
            DWORD length = GetModuleFileNameA(NULL, self, sizeof self);
            STARTUPINFOA startup;
            PROCESS_INFORMATION info;
            memset(&startup, 0, sizeof startup);
            startup.cb = sizeof startup;
            snprintf(line, sizeof line, "\"%s\" send - %s \"%s\"", self, identity.guid, value);
            DWORD code = 7;
            if (length == 0 || length >= sizeof self ||
                !CreateProcessA(self, line, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup, &info)) return 7;
            WaitForSingleObject(info.hProcess, INFINITE);
            GetExitCodeProcess(info.hProcess, &code);
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
            if (code != 0) return 7;
#else
            pid_t other = fork();
            if (other == 0) _exit(KESTRAVO_ChildNotify(identity.guid, text) == 0 ? 0 : 7);
            int status = 0;
            if (other < 0 || waitpid(other, &status, 0) != other || status != 0) return 7;
#endif
        } else if (strncmp(step, "kestravCmdLine:", 15) != 0) {  // the marker is no step
            return 2;
        }
    }
    return wait_stop(report, 0, 0);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: helper_child MODE REPORT [ARG]\n");
        return 2;
    }
    const char* mode = argv[1];
    long arg = argc > 3 ? atol(argv[3]) : 0;
#ifdef _WIN32
    if (strcmp(mode, "send") == 0 && argc == 5) {
        char text[4200];
        snprintf(text, sizeof text, "%s", argv[4]);
        for (char* c = text; *c; ++c)
            if (*c == '|') *c = '\n';
        return KESTRAVO_ChildNotify(argv[3], text) == 0 ? 0 : 7;
    }
#endif

    int pids[8], count = 0;
    if (strcmp(mode, "grandchild") == 0) count = arg > 0 && arg <= 8 ? (int)arg : 1;
    if (strcmp(mode, "stop") == 0 && argc > 4) count = atoi(argv[4]) > 0 && atoi(argv[4]) <= 8 ? atoi(argv[4]) : 0;
#ifdef _WIN32
    char self[MAX_PATH], line[2 * MAX_PATH + 64];
    DWORD length = GetModuleFileNameA(NULL, self, sizeof self);
    if (count > 0 && (length == 0 || length >= sizeof self)) return 5;
    for (int i = 0; i < count; ++i) {
        STARTUPINFOA startup;
        PROCESS_INFORMATION info;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        snprintf(line, sizeof line, "\"%s\" ignore - \"%s\"", self, argv[2]);
        if (!CreateProcessA(self, line, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup, &info)) return 5;
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        pids[i] = (int)info.dwProcessId;
    }
#else
    char* childArgv[] = {argv[0], "ignore", "-", argv[2], NULL};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (argc > 4 && strcmp(argv[4], "setsid") == 0) posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    for (int i = 0; i < count; ++i) {
        pid_t pid;
        if (posix_spawn(&pid, argv[0], NULL, &attr, childArgv, environ) != 0) return 5;
        pids[i] = (int)pid;
    }
#endif
    write_report(argv[2], argc, argv, pids, count);

    if (strcmp(mode, "grandchild") == 0) run_forever();
    if (strcmp(mode, "stop") == 0) return wait_stop(argv[2], arg, argc > 5 && strcmp(argv[5], "fork") == 0);
    if (strcmp(mode, "ignore") == 0) run_forever();
    if (strcmp(mode, "notify") == 0) return run_steps(argv[2], argc - 3, argv + 3);
    if (strcmp(mode, "exit") == 0) {
        sleep_ms(arg);
        return argc > 4 ? atoi(argv[4]) : 0;
    }
#ifndef _WIN32
    if (strcmp(mode, "alloc") == 0) {
        for (long mb = 0; mb < arg; ++mb) {
            char* block = malloc(1 << 20);
            if (!block) return 5;
            memset(block, (int)mb | 1, 1 << 20);
        }
        return 0;
    }
    if (strcmp(mode, "forks") == 0) {
        long forked = 0;
        int err = 0;
        for (; forked < arg; ++forked) {
            pid_t pid = fork();
            if (pid == 0) run_forever();
            if (pid < 0) {
                err = errno;
                break;
            }
        }
        char path[4096], tmp[4200];
        snprintf(path, sizeof path, "%s.forks", argv[2]);
        snprintf(tmp, sizeof tmp, "%s.tmp", path);
        FILE* out = fopen(tmp, "w");
        if (!out) return 4;
        fprintf(out, "forked=%ld errno=%d\n", forked, err);
        if (fclose(out) != 0 || replace_file(tmp, path) != 0) return 4;
        run_forever();
    }
    if (strcmp(mode, "dump") == 0) {
        struct rlimit core;
        if (argc < 5 || getrlimit(RLIMIT_CORE, &core) != 0 || chdir(argv[4]) != 0) return 5;
        core.rlim_cur = core.rlim_max;
        if (setrlimit(RLIMIT_CORE, &core) != 0) return 5;
        mode = "crash";
    }
#endif
#ifndef _WIN32
    if (strcmp(mode, "sdnotify") == 0) {
        for (int i = 3; i < argc; ++i)
            if ((argv[i][0] == '^' ? notify_orphaned(argv[i] + 1) : notify(argv[i])) != 0) return 5;
        run_forever();
    }
    if (strcmp(mode, "readyfd") == 0) {
        if (write((int)arg, "ready\n", 6) != 6) return 5;
        run_forever();
    }
#endif
    if (strcmp(mode, "crash") == 0) {
        sleep_ms(arg);
        abort();
    }
    fprintf(stderr, "helper_child: unknown mode %s\n", mode);
    return 2;
}
