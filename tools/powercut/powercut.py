"""Where the final dump and link directories live during a cut, for the crash
harness: plain folders (a killed program loses nothing there), or a flash.

The flash is an ext4 (or btrfs) image on a loop device, mounted with a long commit
interval so that nothing becomes durable behind the program's back. The
cutter (cutter.c beside this file) holds a chosen call of the program's
process tree before it enters the kernel; the image is copied then, as the
device holds it, the tree is killed before the call runs, and the copy is
mounted in place of the original as after a reboot (its journal replays).
"""

import shlex
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

DATA_CALLS = {"write", "pwrite64", "writev", "pwritev", "pwritev2", "copy_file_range", "sendfile", "splice"}
CUT, TREE_ENDED = 99, 98  # the cutter's exit statuses: cut made, run ended before the call
# Per file system: image size and how to make it with everything written out.
MKFS = {"ext4": ("32M", ["mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0"]),
        "btrfs": ("128M", ["mkfs.btrfs", "-q", "-f"])}
CANARY_DURABLE = b"A" * 4096
CANARY_UNSYNCED = b"B" * 4096
CANARY_ATTEMPTS = 3


def sh(*cmd):
    return subprocess.run([str(c) for c in cmd], check=True, capture_output=True, text=True).stdout.strip()


class Flash:
    """A file system image mounted at root through a loop device. Each layout gets an
    image file of its own, so that a device still draining can never write
    into the next layout's image.

    Any sandbox started meanwhile, by us or anyone else, copies the mount
    into its own namespace and would keep the loop device busy after our
    unmount. root therefore lives under a shared mount of our own: our
    mounts and unmounts reach those copies too."""

    def __init__(self, base, template, fstype="ext4"):
        self.base = Path(base)
        self.template = template
        self.fstype = fstype
        self.shared = self.base / "mnt"
        self.shared.mkdir()
        sh("mount", "--bind", self.shared, self.shared)
        sh("mount", "--make-shared", self.shared)
        self.root = self.shared / "flash"
        self.root.mkdir()
        self.mounted = False
        self.serial = self.boots = 0
        self.write_backs = 0  # layouts retried because the kernel wrote back on its own
        self.image = self.copy = self.booted = None

    @property
    def final(self):
        return self.root / "final"

    @property
    def on_cut(self):
        return f"cp --sparse=always {shlex.quote(str(self.image))} {shlex.quote(str(self.copy))}"

    def laid_out(self):
        """A durable file gets new bytes that are never synchronised: the canary."""
        canary = self.root / "canary"
        canary.write_bytes(CANARY_DURABLE)
        sh("sync", "-f", self.root)
        with open(canary, "r+b") as f:
            f.write(CANARY_UNSYNCED)

    def rebooted(self):
        """Boots from a copy of what the device held at the cut: the original
        goes away with everything the kernel still held for it. False if the
        kernel had written back on its own (the canary's new bytes reached
        the device)."""
        self.restore()
        return (self.root / "canary").read_bytes() == CANARY_DURABLE

    def keep(self, kept):
        pass  # the image taken at the cut stays as it was

    def restore(self, kept=None):
        """A copy of its own each time: a loop device still draining never
        writes into the image booted next."""
        self._unmount()
        self.boots += 1
        if self.booted:
            self.booted.unlink()
        self.booted = self.base / f"flash-{self.serial}-boot-{self.boots}.img"
        sh("cp", "--sparse=always", self.copy, self.booted)
        self._mount(self.booted)

    def fresh(self):
        self.release()
        self.serial += 1
        self.image = self.base / f"flash-{self.serial}.img"
        self.copy = self.base / f"flash-{self.serial}-at-cut.img"
        sh("cp", "--sparse=always", self.template, self.image)
        self._mount(self.image)

    def _mount(self, image):
        # A loop device of its own, which the kernel detaches at the unmount.
        sh("mount", "-t", self.fstype, "-o", "loop,commit=600", image, self.root)
        self.mounted = True

    def _unmount(self):
        if self.mounted:
            self.mounted = False
            sh("umount", self.root)

    def release(self):
        try:
            self._unmount()
        finally:
            for image in (self.image, self.copy, self.booted):
                if image:
                    image.unlink(missing_ok=True)
            self.image = self.copy = self.booted = None

    def close(self):
        try:
            self.release()
        finally:
            sh("umount", self.shared)


class Folders:
    """Final and link directories in plain folders: a kill loses nothing there."""
    on_cut, write_backs = "true", 0

    def __init__(self, base):
        self.root = Path(base) / "flash"

    @property
    def final(self):
        return self.root / "final"

    def fresh(self):
        shutil.rmtree(self.root, ignore_errors=True)
        self.root.mkdir()

    def laid_out(self):
        pass

    def rebooted(self):
        return True

    def keep(self, kept):
        shutil.copytree(self.root, kept / self.root.name, symlinks=True)

    def restore(self, kept):
        shutil.rmtree(self.root)
        shutil.copytree(kept / self.root.name, self.root, symlinks=True)

    def release(self):
        pass

    close = release


def make_template(image, fstype="ext4"):
    """An empty file system image, every inode table and the journal written out."""
    size, mkfs = MKFS[fstype]
    sh("truncate", "-s", size, image)
    sh(*mkfs, image)


def traced(cutter, watched, *mode):
    """The cutter as a wrapper, counting calls on the watched directories."""
    return [cutter] + [arg for d in watched for arg in ("--watch", str(d))] + [str(m) for m in mode] + ["--"]


@dataclass(frozen=True)
class Call:
    index: int
    name: str
    path: str

    def __str__(self):
        return f"#{self.index} {self.name} {self.path}"


def read_census(path):
    calls = []
    for line in Path(path).read_text().splitlines():
        index, _tid, name, target = line.split("\t")
        calls.append(Call(int(index), name, target))
    return calls


def crash_points(calls):
    """Every call but the data writes, and the first, a middle and the last
    write of the file written in most pieces."""
    writes = {}
    for call in calls:
        if call.name in DATA_CALLS:
            writes.setdefault(call.path, []).append(call)
    longest = max(writes.values(), key=len, default=[])
    chosen = {c.index for c in (longest[:1] + longest[len(longest) // 2:][:1] + longest[-1:])}
    return [c for c in calls if c.name not in DATA_CALLS or c.index in chosen]


def cut(board, place, lay_out, cutter, call, options=()):
    """Lays the board out (lay_out()), cuts before the call and reboots the
    place. None when ready, else what went wrong with the harness itself."""
    for _ in range(CANARY_ATTEMPTS):
        lay_out()
        run = board.run(wrapper=traced(cutter, [place.root, "/run/pmem"], *options, "--cut", call.index,
                                       "--on-cut", place.on_cut), unshare_pid=True)
        if run.returncode != CUT:
            what = "the move ended before it" if run.returncode == TREE_ENDED else f"exit {run.returncode}"
            return f"harness: no cut, {what}: {run.stderr.strip()[-300:]}"
        if f"cut before call {call.index}: {call.name} {call.path}" not in run.stderr:
            return f"harness: the run differs from the census: {run.stderr.strip()[-300:]}"
        if place.rebooted():
            return None
        place.write_backs += 1
    return f"harness: the kernel wrote back on its own in all {CANARY_ATTEMPTS} attempts"
