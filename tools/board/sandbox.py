"""Runs the dump handler on a simulated board inside a private sandbox.

Each Board owns a fresh /run/pmem (bound into a bubblewrap sandbox), its own
syslog socket standing in for /dev/log, and optionally a real LTTng session
that records the program's debug events.
"""

import contextlib
import os
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import threading
import uuid
from dataclasses import dataclass, field
from pathlib import Path

PROVIDER = "com_quorvel_zol_urdadumphdl"
SANDBOX_ATTEMPTS = 3

_SYSLOG_RE = re.compile(r"^<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d ([^:]+): (.*)$", re.S)
_TRACE_RE = re.compile(
    r"^(ZOL TRACE syslog|ZOL_TRACE Error|ZOL TRACE Fatal error): (\S+):(\d+) mosaId = (\d+) (.*)$", re.S)
_KINDS = {"ZOL TRACE syslog": "syslog", "ZOL_TRACE Error": "error", "ZOL TRACE Fatal error": "fatal"}
_STRING = r'"((?:[^"\\]|\\.)*)"'
_EVENT_RE = re.compile(
    PROVIDER + r":(\w+): .*\{ file = " + _STRING + r", line = (-?\d+), mosaId = (-?\d+), msg = " + _STRING + r" \}")


def sandboxed(command, **options):
    """Runs a bubblewrap command. bubblewrap that could not set the sandbox up
    (the host's mounts changing under it, as another test's flash does) exits
    1 with "bwrap: " before the command starts: it is tried again."""
    for _ in range(SANDBOX_ATTEMPTS):
        proc = subprocess.run(command, stderr=subprocess.PIPE, **options)
        if not (proc.returncode == 1 and proc.stderr[:len("bwrap: ")] in (b"bwrap: ", "bwrap: ")):
            break
    return proc


@dataclass
class Trace:
    """One syslog line or LTTng event of the program."""
    kind: str          # syslog, error, fatal, or the LTTng event name
    file: str
    line: int
    mosa_id: int
    msg: str
    priority: int = -1


@dataclass
class Run:
    returncode: int
    syslog: list
    events: list = field(default_factory=list)
    stderr: str = ""

    def messages(self, kind=None):
        return [t.msg for t in self.syslog + self.events if kind is None or t.kind == kind]


def _unescape(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t"}.get(m.group(1), m.group(1)), text)


def parse_syslog(datagram):
    text = datagram.decode("utf-8", "replace")
    m = _SYSLOG_RE.match(text)
    assert m, f"not a syslog line: {text!r}"
    t = _TRACE_RE.match(m.group(3))
    assert t, f"not a trace line: {m.group(3)!r}"
    return Trace(_KINDS[t.group(1)], t.group(2), int(t.group(3)), int(t.group(4)), t.group(5),
                 priority=int(m.group(1)))


def parse_babeltrace(text):
    found = (_EVENT_RE.search(line) for line in text.splitlines())
    return [Trace(m.group(1), _unescape(m.group(2)), int(m.group(3)), int(m.group(4)), _unescape(m.group(5)))
            for m in found if m]


class SyslogCapture:
    """An AF_UNIX datagram socket read by a thread while the program runs,
    so that the program never blocks on a full socket queue."""

    def __init__(self, path):
        self.path = Path(path)
        self.path.unlink(missing_ok=True)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(self.path))
        self.datagrams = []
        self._reader = None

    def start(self):
        self.datagrams = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for data in iter(lambda: self.sock.recv(65536), b"\0STOP"):
            self.datagrams.append(data)

    def stop(self):
        # A datagram to ourselves ends the reader after everything queued before it.
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(b"\0STOP", str(self.path))
        self._reader.join()
        return [parse_syslog(d) for d in self.datagrams]

    def close(self):
        self.sock.close()


class PrivateLttng:
    """A session daemon of our own that nobody else on the machine can see.

    The daemon, every lttng command and every program under test run in
    their own mount namespace (bubblewrap) in which a private directory
    stands at LTTng's run directory (/run/lttng), another at /dev/shm (where
    LTTng-UST finds the daemon's wait page) and another as the home
    directory (per-user daemons). The machine's own daemon and its sessions
    stay out of sight, and our programs register with ours alone.

    The daemon is started through a small shell that holds a pipe from us:
    when the pipe closes (we stop, or we die in any way) the shell ends the
    daemon it started, by the id in the daemon's pid file.

    consumerd, a (bits, program) pair, gives the daemon another consumer
    daemon for the applications of that word size: the target
    architecture's one under user-mode emulation, which records the events
    of a program running under the same emulation. The native programs of
    that word size are then no longer recorded by this daemon.
    """

    _START = ('lttng-sessiond --no-kernel --daemonize{options} || exit 1; echo ready; '
              'cat >/dev/null; kill -TERM "$(cat /run/lttng/lttng-sessiond.pid)"')

    def __init__(self, base, consumerd=None):
        self.base = Path(base)
        self.consumerd = consumerd
        self.rundir, self.shm, self.home = (self.base / d for d in ("run-lttng", "shm", "home"))
        for d in (self.rundir, self.shm, self.home):
            d.mkdir(parents=True, exist_ok=True)
        self._keeper = None
        self._pidfd = None

    def binds(self):
        """bubblewrap arguments that put a process into the daemon's world."""
        return ["--bind", str(self.rundir), "/run/lttng", "--bind", str(self.shm), "/dev/shm",
                "--setenv", "HOME", str(self.home), "--setenv", "LTTNG_HOME", str(self.home)]

    def command(self, *args):
        return ["bwrap", "--dev-bind", "/", "/", "--tmpfs", "/run", *self.binds(), "--", *args]

    def start(self):
        options = ""
        if self.consumerd:
            bits, program = self.consumerd
            options = f" --consumerd{bits}-path={shlex.quote(str(program))}"
        self._keeper = subprocess.Popen(self.command("sh", "-c", self._START.format(options=options)),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True)
        # --daemonize returns once the daemon accepts commands.
        if self._keeper.stdout.readline() != b"ready\n":
            self._keeper.wait()
            raise RuntimeError("the private LTTng session daemon did not start")
        pid = int((self.rundir / "lttng-sessiond.pid").read_text())
        self._pidfd = os.pidfd_open(pid)
        return self

    def lttng(self, *args):
        """An lttng command against our daemon; it never spawns one of its own."""
        done = sandboxed(self.command("lttng", "--no-sessiond", *args), stdout=subprocess.DEVNULL, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"lttng {' '.join(args)}: {done.stderr.strip()}")

    def stop(self):
        if self._keeper is None:
            return
        self._keeper.stdin.close()
        self._keeper.wait()
        self._keeper = None
        with contextlib.suppress(ProcessLookupError):  # should the keeper have failed to end it
            signal.pidfd_send_signal(self._pidfd, signal.SIGTERM)
        # The daemon is not our child: its pid descriptor becomes readable when it has ended.
        select.select([self._pidfd], [], [])
        os.close(self._pidfd)
        self._pidfd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class LttngSession:
    """A real LTTng session enabling the program's provider, optionally only
    down to a log level (e.g. TRACE_DEBUG_FUNCTION)."""

    def __init__(self, daemon, output_dir, loglevel=None):
        self.name = "zol-" + uuid.uuid4().hex[:12]
        self._lttng = daemon.lttng
        self.output = Path(output_dir)
        self.loglevel = loglevel

    def start(self):
        shutil.rmtree(self.output, ignore_errors=True)
        self._lttng("create", self.name, f"--output={self.output}")
        loglevel = [f"--loglevel={self.loglevel}"] if self.loglevel else []
        self._lttng("enable-event", "-u", f"{PROVIDER}:*", "-s", self.name, *loglevel)
        self._lttng("start", self.name)

    def stop(self):
        self._lttng("stop", self.name)
        self._lttng("destroy", self.name)
        out = subprocess.run(["babeltrace2", str(self.output)], check=True, capture_output=True, text=True)
        return parse_babeltrace(out.stdout)


# Descriptors that may stay open at exit: the standard ones, syslog's socket
# (never closed by design) and LTTng-UST's own sockets and shared memory.
_ALLOWED_OPEN_FD = re.compile(r"<inherited from parent>|openlog_internal|liblttng-ust|/dev/shm/lttng")


def check_valgrind_report(report):
    assert re.search(r"ERROR SUMMARY: 0 errors", report), report
    assert "definitely lost" not in report or re.search(r"definitely lost: 0 bytes", report), report
    for fd_block in re.findall(r"Open (?:file descriptor|AF_UNIX socket) \d+:.*\n(?:.*\n)*?==\d+== *\n", report):
        assert _ALLOWED_OPEN_FD.search(fd_block), "descriptor left open:\n" + fd_block


class BusyBox:
    """BusyBox as the board's shell and every command the program runs, as on
    a Yocto or Buildroot image: a folder of its applets stands at /usr/bin and
    /usr/sbin in the sandbox (/bin and /sbin link there on a merged /usr), so
    no coreutils or findutils remain. Libraries stay the machine's."""

    HIDDEN = ("/usr/bin", "/usr/sbin")
    PATH = "/usr/sbin:/usr/bin:/sbin:/bin"

    def __init__(self, folder, binary):
        self.folder = Path(folder)
        shutil.copy(binary, self.folder / "busybox")  # the applets' target, visible in the sandbox
        applets = subprocess.run([binary, "--list"], check=True, capture_output=True, text=True).stdout.split()
        for applet in set(applets) - {"busybox"}:
            (self.folder / applet).symlink_to("busybox")

    def binds(self):
        hide = [arg for hidden in self.HIDDEN for arg in ("--ro-bind", str(self.folder), hidden)]
        return ["--setenv", "PATH", self.PATH, *hide]


def _configure(path, lines, default):
    if lines is not False:
        path.parent.mkdir(exist_ok=True)
        lines = default if lines is None else lines
        path.write_text(lines if isinstance(lines, str) else "\n".join(lines) + "\n")


class Board:
    """A board's file system as the program sees it after a cold restart.

    pmem/ is mounted on /run/pmem in the sandbox, so pmem/zol is the primary
    root. Final dump and link directories live outside /run, at the same
    path inside and outside the sandbox.
    """

    def __init__(self, base, program, wrapper=None, pmem=None, emulator=None, lttng=None, busybox=None):
        self.base = Path(base)
        self.busybox = busybox  # a BusyBox for the shell and the commands, or None for the machine's
        self.lttng = lttng  # a started PrivateLttng, or None for a board without a session daemon
        self.program = str(program)
        self.wrapper = list(wrapper or [])
        # A program for another architecture runs under user-mode emulation;
        # it cannot be traced by strace, and it meets the LTTng session daemon
        # only when that has the target's consumer daemon (PrivateLttng).
        self.emulator = list(emulator or [])
        self.pmem = Path(pmem) if pmem else self.base / "pmem"
        self.zol = self.pmem / "zol"
        self.final = self.base / "final"
        self.links = self.base / "links"
        self.cwd = self.base / "cwd"  # the program's working directory, / on a board
        for d in (self.zol, self.final, self.cwd):
            d.mkdir(parents=True, exist_ok=True)
        self.syslog = SyslogCapture(self.base / "log.sock")

    # -- laying out the board --------------------------------------------
    def chip(self, mosa, dumps=None, info=None, disk_info=None, root=None):
        """Creates chip mosa's intermediate dump area under root (default the
        primary root) with the given dumps ({name: bytes}); info and disk_info
        are (line1, line2) tuples or raw text, None for the defaults, False for
        no file."""
        root = Path(root or self.zol)
        area = root / f"mosa{mosa}"
        area.mkdir(parents=True, exist_ok=True)
        for name, data in (dumps or {}).items():
            (area / name).write_bytes(data)
        _configure(area / "info.txt", info, (f"{self.links}/", "3"))
        _configure(root / "diskInfo" / f"diskInfoMosa{mosa}", disk_info, (f"{self.final}/", str(1 << 30)))
        return area

    def area(self, mosa):
        return self.zol / f"mosa{mosa}"

    # -- running ------------------------------------------------------------
    def on_unsupported(self, reason):  # a run this board cannot make; a test suite skips it instead
        raise RuntimeError(reason)

    def _meets_lttng(self):  # under emulation, only through the target architecture's consumer daemon
        return self.lttng and (not self.emulator or self.lttng.consumerd)

    def sandbox_command(self, unshare_pid=False, wrapper=None, mounts=()):
        cmd = ["bwrap", "--dev-bind", "/", "/", "--dev", "/dev", "--tmpfs", "/run"]
        if self._meets_lttng():
            cmd += self.lttng.binds()
        else:
            # No session daemon to meet: an empty /dev/shm and home of its own.
            cmd += ["--tmpfs", "/dev/shm", "--setenv", "HOME", "/run", "--setenv", "LTTNG_HOME", "/run"]
        cmd += ["--bind", str(self.pmem), "/run/pmem", "--bind", str(self.syslog.path), "/dev/log",
                "--chdir", str(self.cwd)]
        for size, path in mounts:
            cmd += ["--size", str(size), "--tmpfs", str(path)]
        # A program that hangs is ended with its sandbox (timeout); with its
        # own pid namespace, everything it started ends with it too.
        cmd += ["--die-with-parent"]
        if unshare_pid:
            cmd += ["--unshare-pid", "--proc", "/proc"]  # /proc of its own pid namespace
        if self.busybox:  # its applets hide /usr/bin and /usr/sbin: no wrapper or emulator from there
            cmd += self.busybox.binds()
        return cmd + ["--"] + (self.wrapper if wrapper is None else list(wrapper)) + self.emulator + [self.program]

    def run(self, env=None, trace=False, loglevel=None, unshare_pid=False, wrapper=None, mounts=(), timeout=600):
        """Runs the program once. wrapper replaces the board's own wrapper
        (e.g. strace with fault injection); mounts are (bytes, path) tmpfs
        mounts of the given size inside the sandbox."""
        if trace and not self._meets_lttng():
            self.on_unsupported("needs an LTTng session daemon, under emulation with the target's consumer daemon")
        environment = {k: v for k, v in os.environ.items() if k != "APP_TMP"}
        # However slow the start (valgrind, a loaded machine), the program
        # waits until the daemon has registered it, so no event is lost.
        environment.update(LTTNG_UST_REGISTER_TIMEOUT="-1", **(env or {}))
        session = LttngSession(self.lttng, self.base / f"trace-{uuid.uuid4().hex[:6]}", loglevel) if trace else None
        if session:
            session.start()
        self.syslog.start()
        try:
            proc = sandboxed(self.sandbox_command(unshare_pid, wrapper, mounts), env=environment,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=timeout)
        finally:
            lines = self.syslog.stop()
            events = session.stop() if session else []
        run = Run(proc.returncode, lines, events, proc.stderr.decode("utf-8", "replace"))
        assert "Sanitizer" not in run.stderr and "runtime error:" not in run.stderr, run.stderr
        if wrapper is None and self.wrapper and os.path.basename(self.wrapper[0]) == "valgrind":
            check_valgrind_report(run.stderr)
        return run

    def close(self):
        self.syslog.close()
