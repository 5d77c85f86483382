// cutter: numbers the calls of a program's whole process tree at which a
// power cut can change what the watched directories keep (every exec, and the
// calls that create, change, remove or sync something under a watched
// directory), and holds one of them before it enters the kernel.
//
//   cutter --watch DIR... --census FILE -- CMD...
//       lists every such call in FILE (index, tid, call, path; tab-separated)
//       and exits with the command's status.
//   cutter --watch DIR... --cut N [--on-cut 'SHELL COMMAND'] -- CMD...
//       holds call N, runs the shell command meanwhile, then kills the tree:
//       the held call never runs. Exits 99 after a cut, 98 when the tree ended
//       before call N, 97 when the shell command failed, 125 when the cutter
//       failed.
//   --refuse-links ERRNO (with either): every hard link made under a watched
//       directory fails with that error number, as on a file system that has
//       none; the call still counts.
//
// It works by seccomp user notification: the filter is installed in the
// command before it starts and every process it starts (system() shells, mv,
// mkdir) inherits it, so one counter here sees the whole tree, in the order
// the calls reach the kernel, with no process to follow. The filter sees the
// host's calls, so it also counts a program under qemu user emulation, which
// forwards the guest's calls one to one. Give an emulator by its absolute
// path: a name looked up in PATH costs one counted exec per directory tried.
// Only calls on watched paths count (execs aside), so helper threads that talk
// to other places (sockets, shared memory) leave the numbering alone.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/pidfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__x86_64__)
#define NATIVE_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NATIVE_ARCH AUDIT_ARCH_AARCH64
#else
#error "the cutter knows the calls of x86-64 and aarch64 hosts"
#endif

enum { CUT = 99, TREE_ENDED = 98, ON_CUT_FAILED = 97, FAILED = 125 };
enum { MAX_WATCHED = 16, PAGE = 4096, PATH_TEXT = 2 * PATH_MAX + 8 };
enum { NONE = -1 }; // no argument: the working directory; openat2's flags in its struct open_how

// How a call names what it changes, by argument index: a path relative to a
// descriptor (dirfd NONE: the working directory), a second such path, an
// open's flags, or the descriptor a call acts on.
enum how { PATH, TWO_PATHS, OPEN, EXEC, FD, SYNC };
struct call {
  const char *name;
  long nr;
  enum how how;
  int dirfd, path, dirfd2, path2, flags, fd;
};
#define ON_PATH(n, d, p) {.name = #n, .nr = SYS_##n, .how = PATH, .dirfd = d, .path = p}
#define ON_TWO(n, d, p, d2, p2) \
  {.name = #n, .nr = SYS_##n, .how = TWO_PATHS, .dirfd = d, .path = p, .dirfd2 = d2, .path2 = p2}
#define ON_OPEN(n, d, p, f) {.name = #n, .nr = SYS_##n, .how = OPEN, .dirfd = d, .path = p, .flags = f}
#define ON_EXEC(n, d, p) {.name = #n, .nr = SYS_##n, .how = EXEC, .dirfd = d, .path = p}
#define ON_FD(n, f) {.name = #n, .nr = SYS_##n, .how = FD, .fd = f}
static const struct call CALLS[] = {
#ifdef SYS_open // the calls that only the older ABIs have
  ON_PATH(unlink, NONE, 0), ON_PATH(rmdir, NONE, 0), ON_PATH(mkdir, NONE, 0), ON_PATH(mknod, NONE, 0),
  ON_PATH(symlink, NONE, 1), ON_PATH(creat, NONE, 0), ON_PATH(chmod, NONE, 0), ON_PATH(chown, NONE, 0),
  ON_PATH(lchown, NONE, 0), ON_TWO(rename, NONE, 0, NONE, 1), ON_TWO(link, NONE, 0, NONE, 1),
  ON_OPEN(open, NONE, 0, 1),
#endif
  ON_PATH(unlinkat, 0, 1), ON_PATH(mkdirat, 0, 1), ON_PATH(mknodat, 0, 1), ON_PATH(symlinkat, 1, 2),
  ON_PATH(truncate, NONE, 0), ON_PATH(fchmodat, 0, 1), ON_PATH(fchownat, 0, 1), ON_PATH(setxattr, NONE, 0),
  ON_PATH(lsetxattr, NONE, 0), ON_PATH(removexattr, NONE, 0), ON_PATH(lremovexattr, NONE, 0),
  ON_PATH(utimensat, 0, 1), ON_TWO(renameat, 0, 1, 2, 3), ON_TWO(renameat2, 0, 1, 2, 3),
  ON_TWO(linkat, 0, 1, 2, 3), ON_OPEN(openat, 0, 1, 2),
  ON_OPEN(openat2, 0, 1, NONE), ON_EXEC(execve, NONE, 0), ON_EXEC(execveat, 0, 1),
  {.name = "sync", .nr = SYS_sync, .how = SYNC},
  ON_FD(fsync, 0), ON_FD(fdatasync, 0), ON_FD(syncfs, 0), ON_FD(sync_file_range, 0), ON_FD(ftruncate, 0),
  ON_FD(fallocate, 0), ON_FD(fchmod, 0), ON_FD(fchown, 0), ON_FD(fsetxattr, 0), ON_FD(fremovexattr, 0), ON_FD(close, 0),
  ON_FD(write, 0), ON_FD(pwrite64, 0), ON_FD(copy_file_range, 2), ON_FD(sendfile, 0), ON_FD(splice, 2),
  ON_FD(writev, 0), ON_FD(pwritev, 0), ON_FD(pwritev2, 0),
};
enum { NCALLS = sizeof CALLS / sizeof CALLS[0] };

static struct {
  char *watch[MAX_WATCHED], *census, *on_cut;
  int watched, refuse_links;
  long cut;
  char **command;
} opt;

// ---- Reading the caller's memory and descriptors --------------------------

static int as_int(__u64 argument) { return (int)(argument & 0xffffffff); } // the upper half may hold anything

static long read_memory(pid_t pid, __u64 address, void *to, size_t size) {
  struct iovec local = {to, size}, remote = {(void *)(uintptr_t)address, size};
  return process_vm_readv(pid, &local, 1, &remote, 1, 0);
}

// A page at a time, so that a string near the end of its mapping is still read.
static int read_string(pid_t pid, __u64 address, char *to, size_t size) {
  for (size_t got = 0, chunk; got < size - 1; got += chunk) {
    chunk = PAGE - (address + got) % PAGE < size - 1 - got ? PAGE - (address + got) % PAGE : size - 1 - got;
    if (read_memory(pid, address + got, to + got, chunk) != (long)chunk) return -1;
    to[got + chunk] = '\0';
    if (memchr(to + got, '\0', chunk)) return 0;
  }
  return 0;
}

// What a descriptor of the caller names; AT_FDCWD names its working directory.
static int fd_path(pid_t pid, int fd, char *to, size_t size) {
  static const char deleted[] = " (deleted)";
  char link[64];
  if (fd == AT_FDCWD) snprintf(link, sizeof link, "/proc/%d/cwd", pid);
  else snprintf(link, sizeof link, "/proc/%d/fd/%d", pid, fd);
  ssize_t n = readlink(link, to, size - 1), bare = n - (ssize_t)strlen(deleted);
  if (n < 0) return -1;
  to[bare >= 0 && memcmp(to + bare, deleted, sizeof deleted - 1) == 0 ? bare : n] = '\0';
  return 0;
}

// The permissions of a /proc/PID/fd link are the descriptor's open mode.
static int fd_writable(pid_t pid, int fd) {
  char link[64];
  struct stat mode;
  snprintf(link, sizeof link, "/proc/%d/fd/%d", pid, fd);
  return lstat(link, &mode) == 0 && (mode.st_mode & S_IWUSR);
}

// An absolute path made lexically normal, as Python's os.path.normpath: no
// empty or "." components, ".." drops the one before.
static void normalise(char *path) {
  char *out = path, *in = path;
  for (size_t len; *in; in += len) {
    in += strspn(in, "/");
    len = strcspn(in, "/");
    if (len == 2 && in[0] == '.' && in[1] == '.') {
      while (out > path && *--out != '/') continue;
    } else if (len && !(len == 1 && in[0] == '.')) {
      *out++ = '/';
      memmove(out, in, len);
      out += len;
    }
  }
  if (out == path) *out++ = '/';
  *out = '\0';
}

// The path a call names, made absolute and lexically normal; a relative one
// starts at the descriptor in argument dirfd (NONE: the working directory).
static int at_path(const struct seccomp_notif *n, int dirfd, int path_arg, char *to, size_t size) {
  char name[PATH_MAX];
  if (!n->data.args[path_arg] || read_string(n->pid, n->data.args[path_arg], name, sizeof name) < 0) return -1;
  to[0] = '\0';
  if (name[0] != '/' &&
      (fd_path(n->pid, dirfd == NONE ? AT_FDCWD : as_int(n->data.args[dirfd]), to, size) < 0 || to[0] != '/'))
    return -1;
  size_t len = strlen(to);
  if (snprintf(to + len, size - len, "/%s", name) >= (int)(size - len)) return -1;
  normalise(to);
  return 0;
}

// ---- Which calls count ----------------------------------------------------

static int inside(const char *path) {
  for (int i = 0; i < opt.watched; i++) {
    size_t len = strlen(opt.watch[i]);
    if (strncmp(path, opt.watch[i], len) == 0 && (path[len] == '\0' || path[len] == '/' || len == 1)) return 1;
  }
  return 0;
}

// Whether call c counts; if so, its path (two joined by " -> "). A caller gone
// or naming nothing readable: it does not.
static int classify(const struct call *c, const struct seccomp_notif *n, char *path) {
  const __u64 *args = n->data.args;
  __u64 flags = c->flags == NONE ? 0 : args[c->flags];
  char second[PATH_MAX + 1];
  int counts;
  switch (c->how) {
  case EXEC:
    if (at_path(n, c->dirfd, c->path, path, PATH_TEXT) < 0) strcpy(path, "?");
    return 1;
  case SYNC:
    return path[0] = '\0', 1;
  case OPEN:
    if (c->flags == NONE && read_memory(n->pid, args[2], &flags, sizeof flags) != sizeof flags) return 0;
    return (flags & (O_CREAT | O_TRUNC | O_ACCMODE)) && at_path(n, c->dirfd, c->path, path, PATH_TEXT) == 0 &&
           inside(path);
  case TWO_PATHS:
    if (at_path(n, c->dirfd, c->path, path, PATH_MAX + 1) < 0 ||
        at_path(n, c->dirfd2, c->path2, second, sizeof second) < 0)
      return 0;
    counts = inside(path) || inside(second);
    strcat(strcat(path, " -> "), second);
    return counts;
  case PATH:
    if (!(c->nr == SYS_utimensat && args[1] == 0)) // utimensat without a path: its dirfd
      return at_path(n, c->dirfd, c->path, path, PATH_TEXT) == 0 && inside(path);
    // fall through
  case FD:
    return fd_path(n->pid, as_int(args[c->fd]), path, PATH_TEXT) == 0 && inside(path) &&
           (c->nr != SYS_close || fd_writable(n->pid, as_int(args[0])));
  }
  return 0;
}

// ---- Supervising the tree ---------------------------------------------------

static int listener = -1, root = -1; // the filter's notifications; the command, the root of the tree

// The filter: the listed calls of the native architecture come to us, all else runs.
static int install_filter(void) {
  struct sock_filter code[NCALLS + 5] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_ARCH, 0, NCALLS + 1),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr))};
  for (int i = 0; i < NCALLS; i++)
    code[3 + i] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, CALLS[i].nr, NCALLS - i, 0);
  code[NCALLS + 3] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  code[NCALLS + 4] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF);
  struct sock_fprog program = {NCALLS + 5, code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0) return -1;
  return listener = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program);
}

// Loads the filter in a thread of its own, which alone forks the command:
// the command and everything it starts keep the filter, we stay free to
// answer its calls.
static void *launch(void *unused) {
  if (install_filter() < 0) perror("cutter: cannot install the filter");
  else if ((root = fork()) == 0) {
    setpgid(0, 0); // a group of its own, killed as one at the cut
    execvp(opt.command[0], opt.command);
    fprintf(stderr, "cutter: cannot run %s: %s\n", opt.command[0], strerror(errno));
    _exit(127);
  }
  return unused;
}

// Holds the call (unanswered) while the on-cut command runs, then kills the
// tree: a task killed while it waits for our answer never runs its call.
static int cut_at(const struct call *c, const char *path, pid_t caller) {
  int on_cut_ran = !opt.on_cut || system(opt.on_cut) == 0;
  fprintf(stderr, "cutter: cut before call %ld: %s %s\n", opt.cut, c->name, path);
  if (!on_cut_ran) fprintf(stderr, "cutter: the on-cut command failed: %s\n", opt.on_cut);
  kill(caller, SIGKILL);
  kill(-root, SIGKILL);
  return on_cut_ran ? CUT : ON_CUT_FAILED;
}

// Answers each call until no task of the tree is left, then says how it
// ended. The root is reaped as it ends: its zombie would keep the filter in use.
static int supervise(FILE *census) {
  int root_ended = pidfd_open(root, 0), status = 0, calls = 0, cut = 0;
  struct pollfd polled[2] = {{listener, POLLIN, 0}, {root_ended, POLLIN, 0}};
  static char path[PATH_TEXT];
  if (root_ended < 0) return kill(-root, SIGKILL), perror("cutter: pidfd_open"), FAILED;
  for (;;) {
    int ready = poll(polled, root_ended >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno != EINTR) return perror("cutter: poll"), FAILED;
    if (ready <= 0) continue;
    if (root_ended >= 0 && polled[1].revents) {
      waitpid(root, &status, 0);
      close(root_ended);
      root_ended = -1;
    }
    if (polled[0].revents & POLLHUP) break;
    struct seccomp_notif n = {0};
    if (!(polled[0].revents & POLLIN) || ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &n) < 0)
      continue; // nothing, or its caller was killed or interrupted meanwhile
    if (cut) {
      kill(n.pid, SIGKILL); // a call after the cut: never answered
      continue;
    }
    const struct call *c = CALLS;
    while (c < CALLS + NCALLS && c->nr != n.data.nr) c++;
    int counts = c < CALLS + NCALLS && classify(c, &n, path);
    if (counts && calls + 1 == opt.cut) {
      cut = cut_at(c, path, n.pid);
      continue;
    }
    int refuse = counts && opt.refuse_links && (strcmp(c->name, "link") == 0 || strcmp(c->name, "linkat") == 0);
    struct seccomp_notif_resp answer = {n.id, 0, refuse ? -opt.refuse_links : 0,
                                        refuse ? 0 : SECCOMP_USER_NOTIF_FLAG_CONTINUE};
    if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &answer) < 0 || !counts)
      continue; // an answer that fails: the call was interrupted before it ran, and comes again
    calls++;
    if (census) fprintf(census, "%d\t%d\t%s\t%s\n", calls, n.pid, c->name, path);
  }
  return cut ? cut : opt.cut ? TREE_ENDED : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

static int parse_options(int argc, char **argv) {
  static const struct option options[] = {{"watch", required_argument, 0, 'w'}, {"census", required_argument, 0, 'c'},
                                          {"cut", required_argument, 0, 'n'}, {"on-cut", required_argument, 0, 'o'},
                                          {"refuse-links", required_argument, 0, 'r'}, {0, 0, 0, 0}};
  for (int o; (o = getopt_long(argc, argv, "+", options, NULL)) != -1;) {
    if (o == 'w' && opt.watched < MAX_WATCHED && optarg[0] == '/') normalise(opt.watch[opt.watched++] = optarg);
    else if (o == 'c') opt.census = optarg;
    else if (o == 'n') opt.cut = strtol(optarg, NULL, 10);
    else if (o == 'o') opt.on_cut = optarg;
    else if (o == 'r') opt.refuse_links = atoi(optarg);
    else return -1;
  }
  opt.command = argv + optind;
  return opt.watched && optind < argc && (opt.census != NULL) != (opt.cut > 0) ? 0 : -1;
}

int main(int argc, char **argv) {
  char self[32] = "";
  pthread_t thread;
  if (parse_options(argc, argv) < 0)
    return fputs("usage: cutter --watch DIR... (--census FILE | --cut N [--on-cut CMD]) [--refuse-links ERRNO] -- CMD...\n",
                 stderr), FAILED;
  // The callers' ids must name the same tasks under /proc.
  if (readlink("/proc/self", self, sizeof self - 1) < 0 || atoi(self) != getpid()) {
    fprintf(stderr, "cutter: /proc belongs to another pid namespace; mount one of this namespace\n");
    return FAILED;
  }
  FILE *census = opt.census ? fopen(opt.census, "w") : NULL;
  if (opt.census && !census) return fprintf(stderr, "cutter: %s: %s\n", opt.census, strerror(errno)), FAILED;
  if (pthread_create(&thread, NULL, launch, NULL) != 0 || pthread_join(thread, NULL) != 0 || root < 0) return FAILED;
  int result = supervise(census);
  return census && fclose(census) != 0 ? FAILED : result;
}
