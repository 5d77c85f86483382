"""Crashes at every step of a move, then whatever a reboot or damage can do
to the program's own files in the dump area.

The program is killed before each call that changes the dump area, the
final dump directory or a link directory: each exec, creating open, write,
close, link, symlink, rename, unlink, mkdir and fsync, each counted on its
own. A killed process leaves everything it wrote. Between that run and the
next comes one disturbance: none; a reboot that brings the dump area back as
a copy (same names, bytes and modification times; new inodes on another
device); or one hidden file of the program emptied, garbled, taken from
another move, or replaced by a FIFO or a directory. The rerun and a further
move of new dumps must then leave every waiting dump stored exactly once,
under the number its move started with, with both links; nothing stored
before written over, or deleted while the window keeps it; and the dump
area holding only info.txt.
"""

import os
import re
import shutil
import subprocess
import sys
import time
import zlib
from pathlib import Path
from types import SimpleNamespace

import pytest

from dumps import chip_dumps
from moves import KINDS, Chip, check_outcome, failure_report, lay_chips, run_and_check, small_set

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "powercut"))
from powercut import CUT, read_census, traced  # noqa: E402

RECORD = ".dumpMoveStored"


def waiting(mosa, *sources, seed=0):
    return {k: v for k, v in chip_dumps(mosa, 3000, seed).items() if k in sources}


def chip(mosa, seq, sources, **kw):
    return Chip(mosa, f"links{mosa}", kw.pop("max_dumps", 3), seq=seq, waiting=waiting(mosa, *sources),
                further=waiting(mosa, *sources, seed=100), **kw)


ALL = tuple(KINDS)
SCENARIOS = {
    "older_set_at_2147483647": lambda: chip(
        1, 2147483648, ALL, max_dumps=2, old_sets={2147483646: small_set(1, 2147483646),
                                                   2147483647: small_set(1, 2147483647, ("lm_dump", "te_log"))},
        dropped=frozenset({2147483646}), further_dropped=frozenset({2147483646, 2147483647})),
    # The window counts numbers: after 1 it spans 0 and 1, so the further move deletes 4294967295.
    "older_set_at_4294967295": lambda: chip(2, 1, ALL, old_sets={4294967295: small_set(2, 4294967295)},
                                            further_seq=2, further_dropped=frozenset({4294967295})),
    "lm_only_new_link_directory": lambda: Chip(3, "new/links3", 3, seq=1, waiting=waiting(3, "lm_dump"),
                                                further=waiting(3, "lm_dump", seed=100)),
    "lm_and_cm": lambda: chip(4, 6, ("lm_dump", "cm_dump"), old_sets={5: small_set(4, 5)}),
    "lm_and_te": lambda: chip(5, 1, ("lm_dump", "te_log")),
    "resumed_at_2147483648": lambda: chip(
        1, 2147483648, ("cm_dump", "te_log"), stored=waiting(1, "lm_dump"), marker=True,
        old_sets={2147483647: small_set(1, 2147483647)}),
}


# ---- disturbances between the killed run and the rerun -------------------------

def emptied(path):
    path.write_bytes(b"")


def garbled(path):
    data = bytearray(path.read_bytes() or b"x")
    data[len(data) // 2] ^= 0x55
    path.write_bytes(bytes(data))


def from_another_move(path):
    """A well-formed record of another number, its check sum correct."""
    text = re.sub(r"^(\S+) (\d+)", lambda m: f"{m.group(1)} {int(m.group(2)) ^ 1}", path.read_text())
    body = text[:text.rfind("end ")]
    path.write_text(f"{body}end {zlib.crc32(body.encode()):08x}\n")


def replaced(make):
    def replace(path):
        path.unlink()
        make(path)
    return replace


HIDDEN_FILE_DAMAGE = {"emptied": emptied, "garbled": garbled, "a FIFO": replaced(os.mkfifo),
                      "a directory": replaced(os.mkdir)}


class Explorer:
    """A board whose final and link directories are plain folders: a kill
    loses nothing there. The state at a kill is kept, and every disturbance
    starts again from it."""

    def __init__(self, board, tmp_path, cutpoint, chips):
        self.board, self.cutpoint, self.chips = board, cutpoint, chips
        self.place = SimpleNamespace(root=board.base / "flash", final=board.base / "flash" / "final")
        self.kept = tmp_path / "kept"
        self.other_device = tmp_path / "other-device"
        self.other_device.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "zol-reboot", self.other_device], check=True)
        self.home_pmem = board.pmem

    def close(self):
        subprocess.run(["umount", self.other_device], check=True)

    def lay_out(self):
        for d in (self.board.zol, self.place.root):
            shutil.rmtree(d, ignore_errors=True)
        self.board.zol.mkdir(parents=True)
        self.place.final.mkdir(parents=True)
        lay_chips(self.board, self.place, self.chips)

    def census(self):
        census = self.kept.parent / "census.txt"
        self.lay_out()
        run = self.board.run(wrapper=self.traced("--census", str(census)), unshare_pid=True)
        assert run.returncode == 0, run.stderr
        assert check_outcome(self.board, self.place, self.chips) == [], "the checks fail an uninterrupted move"
        return read_census(census)

    def traced(self, *mode):
        return traced(self.cutpoint, [self.place.root, "/run/pmem"], *mode)

    def kill_before(self, call):
        self.lay_out()
        run = self.board.run(wrapper=self.traced("--cut", str(call.index), "--on-cut", "true"), unshare_pid=True)
        assert run.returncode == CUT, f"no kill before {call}: {run.stderr.strip()[-300:]}"
        shutil.rmtree(self.kept, ignore_errors=True)
        for d in (self.board.pmem, self.place.root):
            shutil.copytree(d, self.kept / d.name, symlinks=True)

    def restore(self, pmem):
        for d in (self.board.zol, self.place.root):
            shutil.rmtree(d, ignore_errors=True)
        shutil.copytree(self.kept / self.place.root.name, self.place.root, symlinks=True)
        shutil.copytree(self.kept / self.home_pmem.name, pmem, symlinks=True, dirs_exist_ok=True)
        self.board.pmem, self.board.zol = pmem, pmem / "zol"

    def disturbances(self):
        """(name, action) for what the kill left; the first runs on the killed state itself."""
        yield "none", None
        yield "reboot as a copy", lambda: self.restore(self.other_device / "pmem")
        for area in sorted(self.board.zol.glob("mosa*")):
            for hidden in sorted(p.name for p in area.iterdir() if p.name.startswith(".")):
                damage = dict(HIDDEN_FILE_DAMAGE)
                if hidden == RECORD:
                    damage["from another move"] = from_another_move
                for how, act in damage.items():
                    yield f"{hidden} {how}", lambda act=act, path=area / hidden: (self.restore(self.home_pmem),
                                                                                   act(path))

    def explore(self, call):
        """{disturbance: problems} after a kill before the call."""
        self.kill_before(call)
        failing, tried = {}, 0
        for name, disturb in list(self.disturbances()):
            if disturb:
                disturb()
            try:
                problems = run_and_check(self.board, self.place, self.chips)
            finally:
                shutil.rmtree(self.other_device / "pmem", ignore_errors=True)
                self.board.pmem, self.board.zol = self.home_pmem, self.home_pmem / "zol"
            tried += 1
            if problems:
                failing[name] = problems
        return tried, failing


@pytest.fixture
def explorer_for(board, tmp_path, request):
    cutpoint = request.config.getoption("--cutpoint")
    if not cutpoint or request.config.getoption("--emulator") or os.geteuid() != 0:
        pytest.skip("needs root and --cutpoint, the tracer that stops the program at a chosen call (native only)")
    explorers = []

    def make(chips):
        explorers.append(Explorer(board, tmp_path, str(Path(cutpoint).resolve()), chips))
        return explorers[-1]
    yield make
    for e in explorers:
        e.close()


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_a_crash_at_any_step_then_a_reboot_or_damaged_bookkeeping_loses_and_doubles_nothing(explorer_for, scenario):
    explorer = explorer_for([SCENARIOS[scenario]()])
    started = time.monotonic()
    calls = explorer.census()
    failing, combinations = {}, 0
    for call in calls:
        tried, problems = explorer.explore(call)
        combinations += tried
        for disturbance, found in problems.items():
            failing[f"kill before {call}, then {disturbance}"] = found
    summary = (f"{scenario}: {len(calls)} kill points, {combinations} combinations, "
               f"{len(failing)} violating, {time.monotonic() - started:.0f} s")
    print(summary)
    if failing:
        pytest.fail(failure_report(summary, failing), pytrace=False)
