/* The benchmarks' child. Started by the library it blocks on its stop event and exits when it is
 * signalled; started by anything else (the raw spawn loop, another supervisor) it sleeps until a
 * signal ends it. When BENCH_ANNOUNCE_FIFO names a FIFO, it first writes "pid seconds nanoseconds"
 * (CLOCK_MONOTONIC) to it, so that the benchmark learns when it runs without polling anyone.
 * A first argument picks another behaviour: "crash" exits right after that line (a crash loop),
 * "ignore" never looks at its stop event and sleeps until a signal ends it (a stubborn child),
 * "watchdog USEC MS" says READY=1 and WATCHDOG_USEC=USEC once, then WATCHDOG=1 every MS ms while
 * it waits on its stop event (MS 0: never). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kestravo_child.h"

static void Announce(void) {
  const char* fifo = getenv("BENCH_ANNOUNCE_FIFO");
  if (fifo == NULL || *fifo == '\0') return;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int fd = open(fifo, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  char line[64];
  int n = snprintf(line, sizeof line, "%d %lld %ld\n", (int)getpid(), (long long)now.tv_sec, now.tv_nsec);
  if (write(fd, line, (size_t)n) < 0) { /* nobody listens: nothing to tell */ }
  close(fd);
}

int main(int argc, char** argv) {
  Announce();
  if (argc > 1 && strcmp(argv[1], "crash") == 0) return 1;
  if (argc > 1 && strcmp(argv[1], "ignore") == 0) {
    for (;;) pause();
  }
  KESTRAVO_ChildIdentity me;
  if (KESTRAVO_ChildGetIdentity(NULL, &me) == 0) {
    uint32_t pingMs = 0;
    if (argc > 3 && strcmp(argv[1], "watchdog") == 0) {
      char text[64];
      snprintf(text, sizeof text, "READY=1\nWATCHDOG_USEC=%s", argv[2]);
      KESTRAVO_ChildNotify(me.guid, text);
      pingMs = (uint32_t)strtoul(argv[3], NULL, 10);
    }
    void* stop = KESTRAVO_ChildOpenStopEvent(me.guid);
    if (stop != NULL) {
      int32_t waited;
      while ((waited = KESTRAVO_ChildWaitStop(stop, pingMs > 0 ? pingMs : 0xFFFFFFFFu)) == 1) {
        KESTRAVO_ChildNotify(me.guid, "WATCHDOG=1");
      }
      if (waited == 0) {
        KESTRAVO_ChildCloseStopEvent(stop);
        return 0;
      }
    }
  }
  for (;;) pause();
}
