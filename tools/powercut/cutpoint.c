/*
 * cutpoint: runs a command under ptrace, follows its whole process tree and
 * numbers, in the order they happen, the calls at which a power cut can
 * change what the watched directories keep: every exec of the tree, and the
 * calls that create, change, remove or sync something under a watched
 * directory.
 *
 *   cutpoint --watch DIR... --census FILE -- CMD...
 *       lists every such call in FILE (index, tid, call, path, bytes) and
 *       exits with the command's status.
 *   cutpoint --watch DIR... --cut N --on-cut 'SHELL COMMAND' -- CMD...
 *       stops the whole tree when call N is about to enter the kernel, runs
 *       the shell command while nothing moves, then kills the tree before
 *       that call runs. Exits 99 after a cut, 98 when the tree ended before
 *       call N, 97 when the shell command failed, 125 when tracing failed.
 *   --refuse-links ERRNO (with either): every hard link made under a
 *       watched directory fails with that error number, as on a file system
 *       that has none; the call still counts.
 *
 * Only calls on watched paths count, so helper threads that talk to other
 * places (sockets, shared memory) leave the numbering alone. x86_64 only.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/audit.h>
#include <signal.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef __x86_64__
#error "cutpoint decodes x86_64 system calls only"
#endif

enum {
    EXIT_ON_CUT_FAILED = 97,
    EXIT_TREE_ENDED = 98,
    EXIT_CUT = 99,
    EXIT_TRACER_FAILED = 125,
};

enum { MAX_WATCH = 16, PATH_SIZE = 2 * PATH_MAX, CALL_PATH_SIZE = 2 * PATH_SIZE + 8, MAX_IOV = 1024 };

struct options {
    char *watch[MAX_WATCH];
    size_t watch_count;
    const char *census;
    long cut;
    const char *on_cut;
    long refuse_links; /* errno for every hard link, 0 to let them be */
    char **command;
};

struct task {
    pid_t tid;
    bool running;  /* resumed by us, no stop reported since */
    bool in_vfork; /* waits for its vfork child: cannot run on before that child execs or ends */
    bool refusing; /* its link call was skipped: it fails at its exit */
};

struct tasks {
    struct task *items;
    size_t count;
    size_t capacity;
};

struct tracer {
    const struct options *opt;
    struct tasks tasks;
    FILE *census;
    long calls;
    pid_t root;
    int root_status;
};

/* One crash-relevant call, as listed in the census. */
struct call {
    const char *name;
    char path[CALL_PATH_SIZE]; /* two paths for a rename or link */
    long long bytes; /* -1 for a call that writes no data */
};

/* ---- Paths ------------------------------------------------------------ */

/* Lexically: no empty or "." components, ".." drops the one before. */
static void normalise(char *path)
{
    char out[PATH_SIZE];
    size_t length = 0;
    char *save = NULL;
    for (char *part = strtok_r(path, "/", &save); part; part = strtok_r(NULL, "/", &save)) {
        if (strcmp(part, ".") == 0) {
            continue;
        }
        if (strcmp(part, "..") == 0) {
            while (length > 0 && out[--length] != '/') {
            }
            continue;
        }
        int n = snprintf(out + length, sizeof out - length, "/%s", part);
        length = n < 0 || (size_t)n >= sizeof out - length ? sizeof out - 1 : length + (size_t)n;
    }
    out[length] = '\0';
    strcpy(path, length ? out : "/");
}

static bool watched(const struct options *opt, const char *path)
{
    for (size_t i = 0; i < opt->watch_count; ++i) {
        size_t n = strlen(opt->watch[i]);
        if (strncmp(path, opt->watch[i], n) == 0 && (path[n] == '\0' || path[n] == '/' || n == 1)) {
            return true;
        }
    }
    return false;
}

/* What a descriptor of the task names; AT_FDCWD names its working directory. */
static bool fd_path(pid_t tid, long fd, char *out, size_t size)
{
    char link[64];
    if (fd == AT_FDCWD) {
        snprintf(link, sizeof link, "/proc/%d/cwd", tid);
    } else {
        snprintf(link, sizeof link, "/proc/%d/fd/%ld", tid, fd);
    }
    ssize_t n = readlink(link, out, size - 1);
    if (n < 0) {
        return false;
    }
    out[n] = '\0';
    const char deleted[] = " (deleted)";
    size_t length = (size_t)n;
    if (length > strlen(deleted) && strcmp(out + length - strlen(deleted), deleted) == 0) {
        out[length - strlen(deleted)] = '\0';
    }
    return out[0] == '/';
}

static bool read_tracee(pid_t tid, uint64_t address, void *buffer, size_t size)
{
    struct iovec local = {buffer, size};
    struct iovec remote = {(void *)(uintptr_t)address, size};
    return process_vm_readv(tid, &local, 1, &remote, 1, 0) == (ssize_t)size;
}

/* A NUL-terminated string of the task, read up to page ends so that a
 * string near the end of its mapping is still read. */
static bool read_tracee_string(pid_t tid, uint64_t address, char *out, size_t size)
{
    const size_t page = 4096;
    size_t length = 0;
    while (length + 1 < size) {
        size_t chunk = page - (size_t)((address + length) % page);
        if (chunk > size - 1 - length) {
            chunk = size - 1 - length;
        }
        if (!read_tracee(tid, address + length, out + length, chunk)) {
            return false;
        }
        void *end = memchr(out + length, '\0', chunk);
        if (end) {
            return true;
        }
        length += chunk;
    }
    out[length] = '\0';
    return true;
}

/* The path a *at call names: relative paths start at dirfd. */
static bool at_path(pid_t tid, long dirfd, uint64_t address, char *out, size_t size)
{
    char name[PATH_MAX];
    if (address == 0 || !read_tracee_string(tid, address, name, sizeof name)) {
        return false;
    }
    if (name[0] == '/') {
        snprintf(out, size, "%s", name);
    } else {
        char base[PATH_MAX];
        if (!fd_path(tid, dirfd, base, sizeof base)) {
            return false;
        }
        snprintf(out, size, "%s/%s", base, name);
    }
    normalise(out);
    return true;
}

static bool fd_writable(pid_t tid, long fd)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/fdinfo/%ld", tid, fd);
    FILE *info = fopen(name, "re");
    if (!info) {
        return false;
    }
    char line[128];
    long flags = -1;
    while (fgets(line, sizeof line, info)) {
        if (strncmp(line, "flags:", 6) == 0) {
            flags = strtol(line + 6, NULL, 8);
        }
    }
    fclose(info);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

static bool opens_for_change(uint64_t flags)
{
    return (flags & (O_CREAT | O_TRUNC)) != 0 || (flags & O_ACCMODE) != O_RDONLY;
}

static long long iov_bytes(pid_t tid, uint64_t address, uint64_t count)
{
    struct iovec iov[MAX_IOV];
    if (count > MAX_IOV || !read_tracee(tid, address, iov, count * sizeof iov[0])) {
        return -1;
    }
    long long total = 0;
    for (uint64_t i = 0; i < count; ++i) {
        total += (long long)iov[i].iov_len;
    }
    return total;
}

/* ---- Which calls count ------------------------------------------------- */

static bool path_call(const struct options *opt, pid_t tid, long dirfd, uint64_t address, struct call *call)
{
    return at_path(tid, dirfd, address, call->path, sizeof call->path) && watched(opt, call->path);
}

/* A call naming two paths (rename, link) counts when either is watched. */
static bool two_path_call(const struct options *opt, pid_t tid, const long dirfds[2], const uint64_t addresses[2],
                          struct call *call)
{
    char from[PATH_SIZE], to[PATH_SIZE];
    if (!at_path(tid, dirfds[0], addresses[0], from, sizeof from) ||
        !at_path(tid, dirfds[1], addresses[1], to, sizeof to) || (!watched(opt, from) && !watched(opt, to))) {
        return false;
    }
    snprintf(call->path, sizeof call->path, "%s -> %s", from, to);
    return true;
}

static bool fd_call(const struct options *opt, pid_t tid, long fd, struct call *call)
{
    return fd_path(tid, fd, call->path, sizeof call->path) && watched(opt, call->path);
}

static bool data_call(const struct options *opt, pid_t tid, long fd, long long bytes, struct call *call)
{
    call->bytes = bytes;
    return fd_call(opt, tid, fd, call);
}

static bool exec_call(pid_t tid, long dirfd, uint64_t address, struct call *call)
{
    if (!at_path(tid, dirfd, address, call->path, sizeof call->path)) {
        snprintf(call->path, sizeof call->path, "?");
    }
    return true;
}

/* Whether the call at entry is crash-relevant; fills in its census line. */
static bool classify(const struct options *opt, pid_t tid, uint64_t nr, const uint64_t a[6], struct call *call)
{
    const long fd0 = (long)a[0];
    call->bytes = -1;
    call->path[0] = '\0';
    switch (nr) {
    case SYS_execve: call->name = "execve"; return exec_call(tid, AT_FDCWD, a[0], call);
    case SYS_execveat: call->name = "execveat"; return exec_call(tid, fd0, a[1], call);
    case SYS_open: call->name = "open"; return opens_for_change(a[1]) && path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_creat: call->name = "creat"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_openat: call->name = "openat"; return opens_for_change(a[2]) && path_call(opt, tid, fd0, a[1], call);
    case SYS_openat2: {
        uint64_t flags = 0; /* the first field of struct open_how */
        call->name = "openat2";
        return read_tracee(tid, a[2], &flags, sizeof flags) && opens_for_change(flags) &&
               path_call(opt, tid, fd0, a[1], call);
    }
    case SYS_unlink: call->name = "unlink"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_unlinkat: call->name = "unlinkat"; return path_call(opt, tid, fd0, a[1], call);
    case SYS_rmdir: call->name = "rmdir"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_mkdir: call->name = "mkdir"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_mkdirat: call->name = "mkdirat"; return path_call(opt, tid, fd0, a[1], call);
    case SYS_mknod: call->name = "mknod"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_mknodat: call->name = "mknodat"; return path_call(opt, tid, fd0, a[1], call);
    case SYS_symlink: call->name = "symlink"; return path_call(opt, tid, AT_FDCWD, a[1], call);
    case SYS_symlinkat: call->name = "symlinkat"; return path_call(opt, tid, (long)a[1], a[2], call);
    case SYS_rename:
    case SYS_link: {
        call->name = nr == SYS_rename ? "rename" : "link";
        const long dirfds[2] = {AT_FDCWD, AT_FDCWD};
        const uint64_t paths[2] = {a[0], a[1]};
        return two_path_call(opt, tid, dirfds, paths, call);
    }
    case SYS_renameat:
    case SYS_renameat2:
    case SYS_linkat: {
        call->name = nr == SYS_renameat ? "renameat" : nr == SYS_renameat2 ? "renameat2" : "linkat";
        const long dirfds[2] = {fd0, (long)a[2]};
        const uint64_t paths[2] = {a[1], a[3]};
        return two_path_call(opt, tid, dirfds, paths, call);
    }
    case SYS_truncate: call->name = "truncate"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_chmod: call->name = "chmod"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_chown: call->name = "chown"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_lchown: call->name = "lchown"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_fchmodat: call->name = "fchmodat"; return path_call(opt, tid, fd0, a[1], call);
    case SYS_fchownat: call->name = "fchownat"; return path_call(opt, tid, fd0, a[1], call);
    case SYS_setxattr: call->name = "setxattr"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_lsetxattr: call->name = "lsetxattr"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_removexattr: call->name = "removexattr"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_lremovexattr: call->name = "lremovexattr"; return path_call(opt, tid, AT_FDCWD, a[0], call);
    case SYS_utimensat:
        call->name = "utimensat";
        return a[1] == 0 ? fd_call(opt, tid, fd0, call) : path_call(opt, tid, fd0, a[1], call);
    case SYS_fsync: call->name = "fsync"; return fd_call(opt, tid, fd0, call);
    case SYS_fdatasync: call->name = "fdatasync"; return fd_call(opt, tid, fd0, call);
    case SYS_syncfs: call->name = "syncfs"; return fd_call(opt, tid, fd0, call);
    case SYS_sync_file_range: call->name = "sync_file_range"; return fd_call(opt, tid, fd0, call);
    case SYS_sync: call->name = "sync"; return true;
    case SYS_ftruncate: call->name = "ftruncate"; return fd_call(opt, tid, fd0, call);
    case SYS_fallocate: call->name = "fallocate"; return fd_call(opt, tid, fd0, call);
    case SYS_fchmod: call->name = "fchmod"; return fd_call(opt, tid, fd0, call);
    case SYS_fchown: call->name = "fchown"; return fd_call(opt, tid, fd0, call);
    case SYS_fsetxattr: call->name = "fsetxattr"; return fd_call(opt, tid, fd0, call);
    case SYS_fremovexattr: call->name = "fremovexattr"; return fd_call(opt, tid, fd0, call);
    case SYS_close: call->name = "close"; return fd_call(opt, tid, fd0, call) && fd_writable(tid, fd0);
    case SYS_write: call->name = "write"; return data_call(opt, tid, fd0, (long long)a[2], call);
    case SYS_pwrite64: call->name = "pwrite64"; return data_call(opt, tid, fd0, (long long)a[2], call);
    case SYS_writev: call->name = "writev"; return data_call(opt, tid, fd0, iov_bytes(tid, a[1], a[2]), call);
    case SYS_pwritev: call->name = "pwritev"; return data_call(opt, tid, fd0, iov_bytes(tid, a[1], a[2]), call);
    case SYS_pwritev2: call->name = "pwritev2"; return data_call(opt, tid, fd0, iov_bytes(tid, a[1], a[2]), call);
    case SYS_copy_file_range:
        call->name = "copy_file_range";
        return data_call(opt, tid, (long)a[2], (long long)a[4], call);
    case SYS_sendfile: call->name = "sendfile"; return data_call(opt, tid, fd0, (long long)a[3], call);
    case SYS_splice: call->name = "splice"; return data_call(opt, tid, (long)a[2], (long long)a[4], call);
    default: return false;
    }
}

/* ---- The traced tasks -------------------------------------------------- */

static struct task *find_task(struct tasks *tasks, pid_t tid)
{
    for (size_t i = 0; i < tasks->count; ++i) {
        if (tasks->items[i].tid == tid) {
            return &tasks->items[i];
        }
    }
    return NULL;
}

/* Adds a task unless known; its first stop or its creator's event may come first. */
static struct task *add_task(struct tasks *tasks, pid_t tid, bool running)
{
    struct task *task = find_task(tasks, tid);
    if (task) {
        return task;
    }
    if (tasks->count == tasks->capacity) {
        size_t capacity = tasks->capacity ? 2 * tasks->capacity : 16;
        struct task *items = realloc(tasks->items, capacity * sizeof *items);
        if (!items) {
            perror("cutpoint: realloc");
            exit(EXIT_TRACER_FAILED); /* the traced tree dies with us (PTRACE_O_EXITKILL) */
        }
        tasks->items = items;
        tasks->capacity = capacity;
    }
    tasks->items[tasks->count] = (struct task){tid, running, false, false};
    return &tasks->items[tasks->count++];
}

static void remove_task(struct tasks *tasks, pid_t tid)
{
    struct task *task = find_task(tasks, tid);
    if (task) {
        *task = tasks->items[--tasks->count];
    }
}

static void resume(struct task *task, int signal)
{
    task->running = true;
    /* A task killed meanwhile (ESRCH) is reported by waitpid. */
    ptrace(PTRACE_SYSCALL, task->tid, 0, (void *)(intptr_t)signal);
}

/* ---- Starting the command ---------------------------------------------- */

/* The child waits on a pipe until it is seized, so its exec is traced. */
static pid_t start_command(char **command, struct tasks *tasks)
{
    int gate[2];
    if (pipe2(gate, O_CLOEXEC) != 0) {
        perror("cutpoint: pipe2");
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        char byte;
        close(gate[1]);
        while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
        }
        execvp(command[0], command);
        fprintf(stderr, "cutpoint: cannot run %s: %s\n", command[0], strerror(errno));
        _exit(127);
    }
    close(gate[0]);
    const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE |
                         PTRACE_O_TRACEEXEC | PTRACE_O_TRACEVFORKDONE | PTRACE_O_EXITKILL;
    int status = 0;
    if (pid < 0 || ptrace(PTRACE_SEIZE, pid, 0, (void *)options) != 0 || ptrace(PTRACE_INTERRUPT, pid, 0, 0) != 0 ||
        waitpid(pid, &status, __WALL) != pid || !WIFSTOPPED(status)) {
        perror("cutpoint: cannot trace the command");
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, __WALL);
        }
        close(gate[1]);
        return -1;
    }
    resume(add_task(tasks, pid, false), 0);
    close(gate[1]);
    return pid;
}

/* ---- Following the tree ------------------------------------------------ */

static void record_call(struct tracer *t, pid_t tid, const struct call *call)
{
    if (!t->census) {
        return;
    }
    fprintf(t->census, "%ld\t%d\t%s\t%s\t", t->calls, tid, call->name, call->path);
    if (call->bytes >= 0) {
        fprintf(t->census, "%lld\n", call->bytes);
    } else {
        fputs("-\n", t->census);
    }
}

/* A call skipped at its entry (no call number) returns the error at its exit. */
static void refuse_at_entry(struct tracer *t, pid_t tid)
{
    ptrace(PTRACE_POKEUSER, tid, (void *)offsetof(struct user_regs_struct, orig_rax), (void *)-1L);
    find_task(&t->tasks, tid)->refusing = true;
}

static void refuse_at_exit(struct tracer *t, pid_t tid)
{
    struct task *task = find_task(&t->tasks, tid);
    if (task->refusing) {
        ptrace(PTRACE_POKEUSER, tid, (void *)offsetof(struct user_regs_struct, rax), (void *)-t->opt->refuse_links);
        task->refusing = false;
    }
}

/* True when the task stands at the entry of the call to cut at. */
static bool syscall_stop(struct tracer *t, pid_t tid)
{
    struct __ptrace_syscall_info info;
    if (ptrace(PTRACE_GET_SYSCALL_INFO, tid, (void *)sizeof info, &info) <= 0 || info.arch != AUDIT_ARCH_X86_64) {
        return false;
    }
    if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
        refuse_at_exit(t, tid);
    }
    if (info.op != PTRACE_SYSCALL_INFO_ENTRY) {
        return false;
    }
    struct call call;
    if (!classify(t->opt, tid, info.entry.nr, info.entry.args, &call)) {
        return false;
    }
    ++t->calls;
    record_call(t, tid, &call);
    if (t->calls != t->opt->cut) {
        if (t->opt->refuse_links && (info.entry.nr == SYS_link || info.entry.nr == SYS_linkat)) {
            refuse_at_entry(t, tid);
        }
        return false;
    }
    fprintf(stderr, "cutpoint: cut before call %ld: %s %s\n", t->calls, call.name, call.path);
    return true;
}

/* Whether the task can still run: not gone, and not a zombie waiting for
 * its parent (which stays after we have seen its exit). */
static bool task_alive(pid_t tid)
{
    char path[64];
    char stat[512];
    snprintf(path, sizeof path, "/proc/%d/stat", tid);
    FILE *file = fopen(path, "r");
    if (!file) {
        return false;
    }
    size_t length = fread(stat, 1, sizeof stat - 1, file);
    fclose(file);
    stat[length] = '\0';
    /* The state follows the command name, which may itself hold ") ". */
    const char *state = strrchr(stat, ')');
    return state && state[1] == ' ' && state[2] != 'Z' && state[2] != 'X';
}

static unsigned long event_message(pid_t tid)
{
    unsigned long message = 0;
    ptrace(PTRACE_GETEVENTMSG, tid, 0, &message);
    return message;
}

/* Keeps the task list in step with a ptrace event; the task stays stopped. */
static void note_event(struct tracer *t, pid_t tid, int event)
{
    switch (event) {
    case PTRACE_EVENT_FORK:
    case PTRACE_EVENT_VFORK:
    case PTRACE_EVENT_CLONE: {
        /* A new task starts with a stop of its own, unless reported already.
         * Its creator's event may even come after its whole life (first stop,
         * run, exit) was reported: a task that has ended is not added again. */
        const pid_t child = (pid_t)event_message(tid);
        if (task_alive(child)) {
            add_task(&t->tasks, child, true);
        }
        find_task(&t->tasks, tid)->in_vfork = event == PTRACE_EVENT_VFORK;
        break;
    }
    case PTRACE_EVENT_VFORK_DONE:
        find_task(&t->tasks, tid)->in_vfork = false;
        break;
    case PTRACE_EVENT_EXEC: {
        /* A thread that execs takes over its leader's id. */
        pid_t former = (pid_t)event_message(tid);
        if (former != tid) {
            remove_task(&t->tasks, former);
        }
        break;
    }
    default:
        break;
    }
}

static void task_ended(struct tracer *t, pid_t tid, int status)
{
    if (tid == t->root) {
        t->root_status = status;
    }
    remove_task(&t->tasks, tid);
}

/* Marks the task stopped, adding it if its creator's event has not come yet. */
static void note_stop(struct tracer *t, pid_t tid, int status)
{
    add_task(&t->tasks, tid, false)->running = false;
    const int event = (status >> 16) & 0xff;
    if (event != 0) {
        note_event(t, tid, event);
    }
}

/* Handles one reported stop and resumes the task, unless it stands at the
 * call to cut at; then it stays stopped and true is returned. */
static bool handle_stop(struct tracer *t, pid_t tid, int status)
{
    note_stop(t, tid, status);
    const int signal = WSTOPSIG(status);
    if (signal == (SIGTRAP | 0x80) && syscall_stop(t, tid)) {
        return true;
    }
    /* Only a signal on its way to the task is passed on; ptrace's own stops are not. */
    const bool delivery = signal != (SIGTRAP | 0x80) && (status >> 16) == 0;
    resume(find_task(&t->tasks, tid), delivery ? signal : 0);
    return false;
}

/* The next stop or end of any traced task; -1 with errno set when none can come. */
static pid_t next_report(int *status)
{
    pid_t tid;
    while ((tid = waitpid(-1, status, __WALL)) < 0 && errno == EINTR) {
    }
    return tid;
}

/* ---- The cut ----------------------------------------------------------- */

static bool everyone_stopped(const struct tasks *tasks)
{
    for (size_t i = 0; i < tasks->count; ++i) {
        /* A task that has ended meanwhile runs no more, whatever we noted. */
        if (tasks->items[i].running && !tasks->items[i].in_vfork && task_alive(tasks->items[i].tid)) {
            return false;
        }
    }
    return true;
}

/* Interrupts every other task and waits until each reports a stop. A task
 * waiting on its vfork child cannot run on while that child stands still. */
static bool stop_everyone(struct tracer *t)
{
    for (size_t i = 0; i < t->tasks.count; ++i) {
        if (t->tasks.items[i].running) {
            ptrace(PTRACE_INTERRUPT, t->tasks.items[i].tid, 0, 0);
        }
    }
    while (!everyone_stopped(&t->tasks)) {
        int status;
        pid_t tid = next_report(&status);
        if (tid < 0) {
            perror("cutpoint: waitpid");
            return false;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            task_ended(t, tid, status);
        } else if (WIFSTOPPED(status)) {
            note_stop(t, tid, status);
        }
    }
    return true;
}

static bool run_on_cut(const char *command)
{
    if (!command) {
        return true;
    }
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command, (char *)NULL);
        _exit(127);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "cutpoint: the on-cut command failed: %s\n", command);
        return false;
    }
    return true;
}

/* SIGKILL while every task is stopped: a call held at its entry never runs. */
static void kill_everyone(struct tracer *t)
{
    for (size_t i = 0; i < t->tasks.count; ++i) {
        kill(t->tasks.items[i].tid, SIGKILL);
    }
    while (t->tasks.count > 0) {
        int status;
        pid_t tid = next_report(&status);
        if (tid < 0) {
            break;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            task_ended(t, tid, status);
        }
    }
}

static int cut(struct tracer *t)
{
    bool stopped = stop_everyone(t);
    bool copied = stopped && run_on_cut(t->opt->on_cut);
    kill_everyone(t);
    return !stopped ? EXIT_TRACER_FAILED : copied ? EXIT_CUT : EXIT_ON_CUT_FAILED;
}

static int command_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static int follow(struct tracer *t)
{
    while (t->tasks.count > 0) {
        int status;
        pid_t tid = next_report(&status);
        if (tid < 0) {
            perror("cutpoint: waitpid");
            return EXIT_TRACER_FAILED;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            task_ended(t, tid, status);
        } else if (WIFSTOPPED(status) && handle_stop(t, tid, status)) {
            return cut(t);
        }
    }
    return t->opt->cut > 0 ? EXIT_TREE_ENDED : command_status(t->root_status);
}

/* ---- Options ----------------------------------------------------------- */

static void usage(void)
{
    fputs("usage: cutpoint --watch DIR [--watch DIR]... (--census FILE | --cut N [--on-cut CMD]) -- CMD...\n",
          stderr);
}

static bool parse_options(int argc, char **argv, struct options *opt)
{
    int i = 1;
    for (; i + 1 < argc && strcmp(argv[i], "--") != 0; i += 2) {
        if (strcmp(argv[i], "--watch") == 0 && opt->watch_count < MAX_WATCH) {
            char *path = malloc(PATH_SIZE);
            if (!path) {
                return false;
            }
            snprintf(path, PATH_SIZE, "%s", argv[i + 1]);
            normalise(path);
            opt->watch[opt->watch_count++] = path;
        } else if (strcmp(argv[i], "--census") == 0) {
            opt->census = argv[i + 1];
        } else if (strcmp(argv[i], "--cut") == 0) {
            opt->cut = strtol(argv[i + 1], NULL, 10);
        } else if (strcmp(argv[i], "--on-cut") == 0) {
            opt->on_cut = argv[i + 1];
        } else if (strcmp(argv[i], "--refuse-links") == 0) {
            opt->refuse_links = strtol(argv[i + 1], NULL, 10);
        } else {
            return false;
        }
    }
    if (i + 1 >= argc || strcmp(argv[i], "--") != 0) {
        return false;
    }
    opt->command = argv + i + 1;
    return opt->watch_count > 0 && (opt->census != NULL) != (opt->cut > 0);
}

static void free_options(struct options *opt)
{
    for (size_t i = 0; i < opt->watch_count; ++i) {
        free(opt->watch[i]);
    }
}

/* Task ids from waitpid must name the same tasks under /proc. */
static bool proc_matches_pid_namespace(void)
{
    char self[32];
    ssize_t n = readlink("/proc/self", self, sizeof self - 1);
    if (n <= 0) {
        return false;
    }
    self[n] = '\0';
    return strtol(self, NULL, 10) == (long)getpid();
}

int main(int argc, char **argv)
{
    struct options opt = {0};
    if (!parse_options(argc, argv, &opt)) {
        usage();
        free_options(&opt);
        return EXIT_TRACER_FAILED;
    }
    if (!proc_matches_pid_namespace()) {
        fputs("cutpoint: /proc belongs to another pid namespace; mount one of this namespace\n", stderr);
        free_options(&opt);
        return EXIT_TRACER_FAILED;
    }
    struct tracer t = {.opt = &opt};
    int result = EXIT_TRACER_FAILED;
    if (opt.census && !(t.census = fopen(opt.census, "we"))) {
        perror(opt.census);
    } else if ((t.root = start_command(opt.command, &t.tasks)) > 0) {
        result = follow(&t);
    }
    if (t.census && fclose(t.census) != 0) {
        perror(opt.census);
        result = EXIT_TRACER_FAILED;
    }
    free(t.tasks.items);
    free_options(&opt);
    return result;
}
