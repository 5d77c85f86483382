#!/usr/bin/python3
"""cutter: numbers the calls of a program's whole process tree at which a
power cut can change what the watched directories keep (every exec, and the
calls that create, change, remove or sync something under a watched
directory), and holds one of them before it enters the kernel.

  cutter --watch DIR... --census FILE -- CMD...
      lists every such call in FILE (index, tid, call, path, bytes or "-",
      tab-separated) and exits with the command's status.
  cutter --watch DIR... --cut N [--on-cut 'SHELL COMMAND'] -- CMD...
      holds call N, runs the shell command meanwhile, then kills the tree: the
      held call never runs. Exits 99 after a cut, 98 when the tree ended before
      call N, 97 when the shell command failed, 125 when the cutter failed.
  --refuse-links ERRNO (with either): every hard link made under a watched
      directory fails with that error number, as on a file system that has
      none; the call still counts.

It works by seccomp user notification: the filter is installed in the command
before it starts and every process it starts (system() shells, mv, mkdir)
inherits it, so one counter here sees the whole tree, in the order the calls
reach the kernel, with no process to follow. The filter sees the host's
calls, so it also counts a program under qemu user emulation, which forwards
the guest's calls one to one. Give an emulator by its absolute path: a name
looked up in PATH costs one counted exec per directory tried.
Only calls on watched paths count (execs aside), so helper threads that talk
to other places (sockets, shared memory) leave the numbering alone.
"""
import argparse, os, select, signal, subprocess, sys, threading

import seccomp

CUT, TREE_ENDED, ON_CUT_FAILED, FAILED = 99, 98, 97, 125
CONTINUE = 1  # SECCOMP_USER_NOTIF_FLAG_CONTINUE: the kernel runs the call as it was made
AT_FDCWD = -100
O_ACCMODE, O_CREAT, O_TRUNC = 0o3, 0o100, 0o1000
PAGE_SIZE = 4096
PATH_MAX = 4096
IOVEC_SIZE = 16  # struct iovec on x86_64: base and length, 8 bytes each
MAX_IOV = 1024

# Per call: (descriptor argument the path is relative to, None for the working directory; path argument).
PATH = {"unlink": (None, 0), "unlinkat": (0, 1), "rmdir": (None, 0), "mkdir": (None, 0), "mkdirat": (0, 1),
        "mknod": (None, 0), "mknodat": (0, 1), "symlink": (None, 1), "symlinkat": (1, 2), "creat": (None, 0),
        "truncate": (None, 0), "chmod": (None, 0), "chown": (None, 0), "lchown": (None, 0), "fchmodat": (0, 1),
        "fchownat": (0, 1), "setxattr": (None, 0), "lsetxattr": (None, 0), "removexattr": (None, 0),
        "lremovexattr": (None, 0), "utimensat": (0, 1)}
# Calls naming two paths: they count when either is watched.
TWO_PATHS = {"rename": ((None, 0), (None, 1)), "link": ((None, 0), (None, 1)), "renameat": ((0, 1), (2, 3)),
             "renameat2": ((0, 1), (2, 3)), "linkat": ((0, 1), (2, 3))}
LINKS = {"link", "linkat"}
# Opens count when they may change the file: (dirfd, path, flags argument; None: openat2's struct open_how).
OPEN = {"open": (None, 0, 1), "openat": (0, 1, 2), "openat2": (0, 1, None)}
EXEC = {"execve": (None, 0), "execveat": (0, 1)}
# Calls on the descriptor in their first argument; data calls: (descriptor argument, byte count argument,
# "iov": the sum of an iovec array's lengths).
FD = ["fsync", "fdatasync", "syncfs", "sync_file_range", "ftruncate", "fallocate", "fchmod", "fchown", "fsetxattr",
      "fremovexattr", "close"]
DATA = {"write": (0, 2), "pwrite64": (0, 2), "copy_file_range": (2, 4), "sendfile": (0, 3), "splice": (2, 4),
        "writev": (0, "iov"), "pwritev": (0, "iov"), "pwritev2": (0, "iov")}
CALLS = [*PATH, *TWO_PATHS, *OPEN, *EXEC, *FD, *DATA, "sync"]


# ---- Reading the caller's memory and descriptors -------------------------

def as_int(register):
    """An int argument: only the register's low 32 bits carry it, the upper ones may hold anything."""
    return (register & 0xffffffff) - ((register & 0x80000000) << 1)


def read_memory(pid, address, size):
    with open(f"/proc/{pid}/mem", "rb", buffering=0) as memory:
        return os.pread(memory.fileno(), size, address)


def read_string(pid, address):
    """Read a page at a time, so that a string near the end of its mapping is still read."""
    data = b""
    while b"\0" not in data and len(data) < PATH_MAX:
        data += read_memory(pid, address + len(data), PAGE_SIZE - (address + len(data)) % PAGE_SIZE)
    return data.split(b"\0")[0].decode(errors="surrogateescape")


def fd_path(pid, fd):
    """What a descriptor of the caller names; AT_FDCWD names its working directory."""
    fd = as_int(fd)
    target = os.readlink(f"/proc/{pid}/cwd" if fd == AT_FDCWD else f"/proc/{pid}/fd/{fd}")
    return target.removesuffix(" (deleted)")


def at_path(pid, args, dirfd_arg, path_arg):
    """The path a call names, made absolute and lexically normal; relative paths start at dirfd."""
    if not args[path_arg]:
        raise FileNotFoundError("no path")
    name = read_string(pid, args[path_arg])
    base = "/" if name.startswith("/") else fd_path(pid, AT_FDCWD if dirfd_arg is None else args[dirfd_arg])
    return normal(os.path.join(base, name))


def normal(path):
    """Lexically: no empty or "." components, ".." drops the one before."""
    path = os.path.normpath(path)
    return path[1:] if path.startswith("//") else path  # POSIX normpath keeps two leading slashes


def fd_writable(pid, fd):
    with open(f"/proc/{pid}/fdinfo/{as_int(fd)}") as info:
        flags = [int(line.split()[1], 8) for line in info if line.startswith("flags:")]
    return bool(flags) and (flags[0] & O_ACCMODE) != os.O_RDONLY


def iov_bytes(pid, address, count):
    count = as_int(count)
    if not 0 <= count <= MAX_IOV:
        return None
    raw = read_memory(pid, address, IOVEC_SIZE * count)
    return sum(int.from_bytes(raw[i + 8:i + IOVEC_SIZE], "little") for i in range(0, len(raw), IOVEC_SIZE))


# ---- Which calls count --------------------------------------------------

def classify(name, pid, args, inside):
    """(path, bytes or None) when the call counts, else None. Raises OSError
    when the caller is gone or names nothing readable: such a call does not count."""
    if name in EXEC:
        try:
            return at_path(pid, args, *EXEC[name]), None
        except OSError:
            return "?", None
    if name == "sync":
        return "", None
    if name in OPEN:
        dirfd, path, flags = OPEN[name]
        flags = args[flags] if flags is not None else int.from_bytes(read_memory(pid, args[2], 8), "little")
        paths = [at_path(pid, args, dirfd, path)] if flags & (O_CREAT | O_TRUNC | O_ACCMODE) else []
    elif name in TWO_PATHS:
        paths = [at_path(pid, args, *arguments) for arguments in TWO_PATHS[name]]
    elif name in PATH and not (name == "utimensat" and args[1] == 0):  # utimensat without a path: its dirfd
        paths = [at_path(pid, args, *PATH[name])]
    else:
        paths = [fd_path(pid, args[DATA[name][0] if name in DATA else 0])]
    if not any(map(inside, paths)) or (name == "close" and not fd_writable(pid, args[0])):
        return None
    size = DATA.get(name, (0, None))[1]
    return " -> ".join(paths), iov_bytes(pid, args[1], args[2]) if size == "iov" else args[size] if size else None


# ---- Supervising the tree -----------------------------------------------

def start(filt, command):
    """Forks the command from a thread that alone loads the filter, so that
    we, the main thread, stay free to answer its calls. The thread ends at
    once; the command and everything it starts keep the filter."""
    pid = []

    def launch():
        try:
            filt.load()
        except (RuntimeError, ValueError, OSError) as e:
            print(f"cutter: cannot install the filter: {e}", file=sys.stderr)
            return
        pid.append(os.fork())
        if pid[0] == 0:
            try:
                os.setpgid(0, 0)  # a group of its own, killed as one at the cut
                os.execvp(command[0], command)
            except OSError as e:
                print(f"cutter: cannot run {command[0]}: {e}", file=sys.stderr)
            os._exit(127)
    thread = threading.Thread(target=launch)
    thread.start()
    thread.join()
    return pid[0] if pid else None


def notifications(filt, root):
    """Each call trapped, until no task of the tree is left; then the root's
    wait status, an int. A thread reaps the root as it ends: its zombie would
    keep the filter in use."""
    status = []
    reaper = threading.Thread(target=lambda: status.append(os.waitpid(root, 0)[1]))
    reaper.start()
    poller = select.poll()
    poller.register(filt.get_notify_fd(), select.POLLIN)
    while not poller.poll()[0][1] & select.POLLHUP:
        try:
            yield filt.receive_notify()
        except RuntimeError:
            continue  # its caller was killed or interrupted meanwhile
    reaper.join()
    yield status[0]


def kill(kill_call, target):
    try:
        kill_call(target, signal.SIGKILL)
    except ProcessLookupError:
        pass


def run_on_cut(command):
    if command and subprocess.run(["/bin/sh", "-c", command]).returncode != 0:
        print(f"cutter: the on-cut command failed: {command}", file=sys.stderr)
        return False
    return True


def supervise(opt, census):
    filt = seccomp.SyscallFilter(seccomp.ALLOW)
    filt.set_attr(seccomp.Attr.ACT_BADARCH, seccomp.ALLOW)  # e.g. an i386 program: not counted, not killed
    for name in CALLS:
        filt.add_rule(seccomp.NOTIFY, name)
    names = {seccomp.resolve_syscall(seccomp.Arch.NATIVE, name): name for name in CALLS}
    inside = lambda path: any(path == w or path.startswith(w.rstrip("/") + "/") for w in opt.watch)
    root = start(filt, opt.command)
    if root is None:
        return FAILED
    calls, cut_made = 0, None
    for note in notifications(filt, root):
        if isinstance(note, int):
            status = note
            break
        if cut_made is not None:
            kill(os.kill, note.pid)  # a call after the cut: never answered
            continue
        name = names[note.syscall]
        try:
            call = classify(name, note.pid, note.syscall_args, inside)
        except OSError:
            call = None
        if call and calls + 1 == opt.cut:
            print(f"cutter: cut before call {opt.cut}: {name} {call[0]}", file=sys.stderr)
            cut_made = run_on_cut(opt.on_cut)
            # A task killed while it waits for our answer never runs its call.
            kill(os.kill, note.pid)
            kill(os.killpg, root)
            continue
        refuse = call and opt.refuse_links and name in LINKS
        try:
            filt.respond_notify(seccomp.NotificationResponse(note, 0, -opt.refuse_links if refuse else 0,
                                                             0 if refuse else CONTINUE))
        except RuntimeError:
            continue  # interrupted by a signal before it ran: it comes again
        if call:
            calls += 1
            if census:
                print(calls, note.pid, name, call[0], "-" if call[1] is None else call[1], sep="\t", file=census)
    if cut_made is not None:
        return CUT if cut_made else ON_CUT_FAILED
    if opt.cut:
        return TREE_ENDED
    return 128 + os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)


def parse_options():
    parser = argparse.ArgumentParser(prog="cutter")
    parser.add_argument("--watch", action="append", required=True, type=normal)
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--census")
    mode.add_argument("--cut", type=int, default=0)
    parser.add_argument("--on-cut")
    parser.add_argument("--refuse-links", type=int, default=0, metavar="ERRNO")
    parser.add_argument("command", nargs="+")
    try:
        return parser.parse_args()
    except SystemExit as e:
        sys.exit(e.code and FAILED)


def main():
    opt = parse_options()
    # The callers' ids must name the same tasks under /proc.
    if os.readlink("/proc/self") != str(os.getpid()):
        print("cutter: /proc belongs to another pid namespace; mount one of this namespace", file=sys.stderr)
        return FAILED
    try:
        census = open(opt.census, "w", encoding="utf-8", errors="surrogateescape") if opt.census else None
    except OSError as e:
        print(f"cutter: {e}", file=sys.stderr)
        return FAILED
    result = supervise(opt, census)
    if census:
        census.close()
    return result


if __name__ == "__main__":
    sys.exit(main())
