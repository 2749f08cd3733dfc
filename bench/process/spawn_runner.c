/* The process that starts every measured command and times it.
 *
 * It is kept apart from the driver, and tiny, because of how Linux counts
 * peak memory: a child's ru_maxrss includes the resident size its parent
 * had when the child called exec (posix_spawn shares the parent's memory
 * until then, and fork copies its page tables). A big driver would inflate
 * every command's figure; this runner, a static C program with a few
 * hundred kilobytes resident, keeps the measurement honest. Its own peak is
 * the floor under every figure it reports (see `self`).
 *
 * Protocol, on standard input and output, one request at a time:
 *
 *   request:  "run N\n" then N lines "CWD\tNAME=VALUE...\tPROGRAM\tARG..."
 *             (assignments are optional and go before the program)
 *   reply:    N lines "WALL_NS USER_US SYS_US MAXRSS_KB MINFLT NVCSW NIVCSW STATUS"
 *             then "end WALL_NS"
 *   request:  "self\n"  reply: "self PEAK_KB\n" (this process's own peak)
 *
 * The N programs start at once (standard input and output on /dev/null,
 * standard error inherited) and WALL_NS counts from just before the first
 * spawn to the moment that program's end was collected. STATUS is the wait
 * status, or -errno when the spawn failed. The runner is a child subreaper:
 * peers a controller leaves behind become its children and are reaped
 * between requests, so nothing accumulates as zombies.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

enum { kMaxCommands = 16, kMaxFields = 64, kMaxEnv = 512, kLine = 8192 };

struct Command {
  char line[kLine];
  char* cwd;
  char* argv[kMaxFields + 1];
  char* envp[kMaxEnv + 1];
  pid_t pid;
  int64_t wall_ns;
  struct rusage usage;
  int status;
  int done;
};

static struct Command commands[kMaxCommands];

static int64_t NowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int IsAssignment(const char* field) {
  const char* eq = strchr(field, '=');
  if (eq == NULL || eq == field) return 0;
  for (const char* p = field; p < eq; ++p) {
    if (!(*p == '_' || (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') ||
          (p > field && *p >= '0' && *p <= '9'))) {
      return 0;
    }
  }
  return 1;
}

/* Splits one command line in place; 0 on a malformed line. */
static int ParseCommand(struct Command* c) {
  c->line[strcspn(c->line, "\n")] = '\0';
  char* fields[kMaxFields + 2];
  int n = 0;
  for (char* p = c->line; n < kMaxFields + 2;) {
    fields[n++] = p;
    char* tab = strchr(p, '\t');
    if (tab == NULL) break;
    *tab = '\0';
    p = tab + 1;
  }
  if (n < 2) return 0;
  c->cwd = fields[0];
  int i = 1;
  int e = 0;
  for (char** env = environ; *env != NULL && e < kMaxEnv; ++env) c->envp[e++] = *env;
  for (; i < n && IsAssignment(fields[i]); ++i) {
    const size_t name_len = (size_t)(strchr(fields[i], '=') - fields[i]) + 1;
    int k = 0;
    while (k < e && strncmp(c->envp[k], fields[i], name_len) != 0) ++k;
    if (k == e && e < kMaxEnv) ++e;
    c->envp[k] = fields[i];
  }
  c->envp[e] = NULL;
  int a = 0;
  for (; i < n && a < kMaxFields; ++i) c->argv[a++] = fields[i];
  c->argv[a] = NULL;
  return a > 0;
}

/* The peak resident size of this process's own memory (VmHWM). Its
 * ru_maxrss would not do: that includes its parent's size at exec. */
static long OwnPeakKb(void) {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == NULL) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof line, f) != NULL) {
    if (sscanf(line, "VmHWM: %ld", &kb) == 1) break;
  }
  fclose(f);
  return kb;
}

static void ReapOrphans(void) {
  while (waitpid(-1, NULL, WNOHANG) > 0) {
  }
}

static int RunCommands(int count) {
  posix_spawn_file_actions_t actions[kMaxCommands];
  for (int i = 0; i < count; ++i) {
    struct Command* c = &commands[i];
    posix_spawn_file_actions_init(&actions[i]);
    posix_spawn_file_actions_addopen(&actions[i], 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions[i], 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions[i], c->cwd);
    c->done = 0;
  }
  const int64_t start = NowNs();
  int running = 0;
  for (int i = 0; i < count; ++i) {
    struct Command* c = &commands[i];
    const int rc = posix_spawn(&c->pid, c->argv[0], &actions[i], NULL, c->argv, c->envp);
    if (rc != 0) {
      c->done = 1;
      c->status = -rc;
      c->wall_ns = 0;
      memset(&c->usage, 0, sizeof c->usage);
    } else {
      ++running;
    }
  }
  /* Collected in the order they end; orphans adopted meanwhile are reaped
   * by the same call and skipped. */
  while (running > 0) {
    int status;
    struct rusage usage;
    const pid_t pid = wait4(-1, &status, 0, &usage);
    const int64_t now = NowNs();
    if (pid < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    for (int i = 0; i < count; ++i) {
      struct Command* c = &commands[i];
      if (!c->done && c->pid == pid) {
        c->done = 1;
        c->status = status;
        c->usage = usage;
        c->wall_ns = now - start;
        --running;
      }
    }
  }
  const int64_t end = NowNs();
  for (int i = 0; i < count; ++i) {
    const struct Command* c = &commands[i];
    const struct rusage* u = &c->usage;
    printf("%lld %lld %lld %ld %ld %ld %ld %d\n", (long long)c->wall_ns,
           (long long)u->ru_utime.tv_sec * 1000000 + u->ru_utime.tv_usec,
           (long long)u->ru_stime.tv_sec * 1000000 + u->ru_stime.tv_usec, u->ru_maxrss,
           u->ru_minflt, u->ru_nvcsw, u->ru_nivcsw, c->status);
    posix_spawn_file_actions_destroy(&actions[i]);
  }
  printf("end %lld\n", (long long)(end - start));
  fflush(stdout);
  return 1;
}

int main(void) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  static char request[256];
  while (fgets(request, sizeof request, stdin) != NULL) {
    int count = 0;
    if (strcmp(request, "self\n") == 0) {
      printf("self %ld\n", OwnPeakKb());
      fflush(stdout);
      continue;
    }
    if (sscanf(request, "run %d", &count) != 1 || count < 1 || count > kMaxCommands) {
      fprintf(stderr, "spawn_runner: bad request: %s", request);
      return 2;
    }
    for (int i = 0; i < count; ++i) {
      if (fgets(commands[i].line, kLine, stdin) == NULL || !ParseCommand(&commands[i])) {
        fprintf(stderr, "spawn_runner: bad command line\n");
        return 2;
      }
    }
    if (!RunCommands(count)) {
      fprintf(stderr, "spawn_runner: wait failed\n");
      return 2;
    }
    ReapOrphans();
  }
  ReapOrphans();
  return 0;
}
