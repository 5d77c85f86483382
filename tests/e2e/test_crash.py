"""Crashes and power cuts at every step of a move, then whatever a reboot or
damage can do to the program's own files in the dump area.

The cutter stops the program's whole process tree before a call that changes
the dump area, the final dump directory or a link directory (each exec,
creating open, write, close, link, symlink, rename, unlink, mkdir and fsync,
counted on its own) and kills it there. The dump area keeps every write. Three
axes:
- the flash that holds the final dump and link directories: none (plain
  folders, which keep every write too), or an ext4 or btrfs image that keeps
  only what had reached the device at the cut;
- the disturbance between the cut and the rerun: none; a reboot that brings
  the dump area back as a copy (new inodes on another device), with or
  without its times; a foreign name; a dump arriving, a look-alike of one
  moved (size, ends, time) or its own; or a hidden file of ours emptied,
  garbled, of another move, a FIFO or a directory (on a flash: none, and a
  dump of its own arriving; under emulation: none);
- the scenario: the chips, their waiting sets and what is stored already,
  and whether the dump area refuses hard links or is full.
The rerun and a further move must then leave every dump stored once (an
arrival under the next number), with both links; nothing stored before
written over, or deleted while the window keeps it; and the dump area holding
only info.txt.
"""

import contextlib
import errno
import os
import re
import shutil
import subprocess
import sys
import time
import zlib
from collections import Counter
from dataclasses import replace
from functools import partial
from pathlib import Path

import pytest

from dumps import chip_dumps
from moves import FOREIGN, KINDS, MARKER, Chip, check_outcome, failure_report, lay_chips, run_and_check, small_set

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "powercut"))
from powercut import Flash, Folders, crash_points, cut, make_template, read_census, traced  # noqa: E402

RECORD, KEPT = ".dumpMoveStored", ".te_log.keep"
BOOT_TIME = 1_000_000_000  # a board without a clock: every dump is written at the same second


def waiting(mosa, *sources, seed=0, size=40_000):
    # Larger than both ends that a sample of 4 KiB at each would read.
    return {k: v for k, v in chip_dumps(mosa, size, seed).items() if k in sources}


def chip(mosa, seq, sources, size=40_000, **kw):
    return Chip(mosa, kw.pop("links", f"links{mosa}"), kw.pop("max_dumps", 3), seq=seq,
                waiting=waiting(mosa, *sources, size=size), further=waiting(mosa, *sources, seed=100, size=8_000), **kw)


ALL = tuple(KINDS)
# name: (chips, flash, whether the program under emulation meets it too)
SCENARIOS = {
    "older_set_at_2147483647": (lambda: [chip(
        1, 2147483648, ALL, max_dumps=2, old_sets={2147483646: small_set(1, 2147483646),
                                                   2147483647: small_set(1, 2147483647, ("lm_dump", "te_log"))},
        dropped=frozenset({2147483646}), further_dropped=frozenset({2147483646, 2147483647}))], "none", False),
    # The window counts numbers: after 1 it spans 0 and 1, so the further move deletes 4294967295.
    "older_set_at_4294967295": (lambda: [chip(2, 1, ALL, old_sets={4294967295: small_set(2, 4294967295)},
                                              further_seq=2, further_dropped=frozenset({4294967295}))], "none", True),
    "lm_only_new_link_directory": (lambda: [chip(3, 1, ("lm_dump",), links="new/links3")], "none", False),
    "lm_and_cm": (lambda: [chip(4, 6, ("lm_dump", "cm_dump"), old_sets={5: small_set(4, 5)})], "none", False),
    "lm_and_te": (lambda: [chip(5, 1, ("lm_dump", "te_log"))], "none", False),
    "lm_and_te_without_hard_links": (lambda: [chip(5, 1, ("lm_dump", "te_log"), no_hard_links=True)], "none", False),
    "resumed_at_2147483648": (lambda: [chip(1, 2147483648, ("cm_dump", "te_log"), stored=waiting(1, "lm_dump"),
                                            marker=True, old_sets={2147483647: small_set(1, 2147483647)})],
                              "none", True),
    # Chip 1's retention deletes set 1 and keeps set 4; chip 2's link directory does not exist yet.
    "two_chips": (lambda: [chip(1, 5, ALL, size=400_000, old_sets={1: small_set(1, 1), 4: small_set(1, 4)},
                                dropped=frozenset({1}), further_dropped=frozenset({1})),
                           chip(2, 1, ALL, size=60_000, links="new/links2")], "ext4", False),
    # On btrfs a file's fsync does not carry other changes of its directory to
    # the device: the final dump directory, named through a soft link, and the
    # two sets the retention deletes must last all the same.
    "final_through_a_soft_link": (lambda: [chip(
        4, 9, ALL, size=60_000, max_dumps=2, old_sets={s: small_set(4, s) for s in (6, 7, 8)},
        dropped=frozenset({6, 7}), further_dropped=frozenset({6, 7, 8}), final_via="final-link")], "btrfs", False),
    "full_area": (lambda: [chip(5, 1, ALL, full_area=True)], "none", False),
    **{f"full_area_without_hard_links_{fs}": (
        lambda: [chip(5, 1, ALL, size=60_000, no_hard_links=True, full_area=True)], fs, False)
       for fs in ("ext4", "btrfs")},
}


# ---- disturbances between the cut and the rerun ------------------------------

def garbled_bytes(data, flip=0x55):
    return data[:len(data) // 2] + bytes([data[len(data) // 2] ^ flip]) + data[len(data) // 2 + 1:]


def from_another_move(path):
    """A well-formed record of another number, its check sum correct."""
    text = re.sub(r"^(\S+) (\d+)", lambda m: f"{m.group(1)} {int(m.group(2)) ^ 1}", path.read_text())
    body = text[:text.rfind("end ")]
    path.write_text(f"{body}end {zlib.crc32(body.encode()):08x}\n")


def replaced(make):
    return lambda path: (path.unlink(), make(path))


DAMAGE = {"emptied": lambda p: p.write_bytes(b""), "garbled": lambda p: p.write_bytes(garbled_bytes(p.read_bytes() or b"x")),
          "a FIFO": replaced(os.mkfifo), "a directory": replaced(os.mkdir)}


def arrivals(area, chip):
    """(row, source, bytes, the chip as the rerun must leave it); an arrival joins
    the move without a record (the marker's designed reuse) or before one began."""
    present = {p.name for p in area.iterdir()}
    joins = RECORD not in present and (MARKER in present or any(s in present for s in chip.waiting))
    rows = [("a look-alike arrived", s, garbled_bytes(chip.waiting[s], 1))
            for s in [s for s in chip.waiting if s not in present][:1]] + [
        ("a dump of its own arrived", s, waiting(chip.mosa, s, seed=200)[s])
        for s in [s for s in KINDS if s not in present and s not in chip.stored][:1]]
    for row, source, data in rows:
        yield row, source, data, (replace(chip, waiting={**chip.waiting, source: data}) if joins else arrived(
            chip, source, data))


def arrived(chip, source, data):
    return replace(chip, arrivals={source: data}, further_seq=chip.further_seq + 1, window_unknown=True)


def kept_log_expected(hidden, how, chips):
    """A damaged second name of a log that left its first name is stored as a log of its own."""
    if hidden.name != KEPT or how not in ("emptied", "garbled") or (hidden.parent / "te_log").exists():
        return chips
    return [arrived(chips[0], "te_log", b"" if how == "emptied" else garbled_bytes(hidden.read_bytes() or b"x"))]


def at_boot_time(zol, boot_time=BOOT_TIME):
    for path in zol.glob("mosa*/*"):
        os.utime(path, None if boot_time is None else (boot_time, boot_time), follow_symlinks=False)


class Disturbances:
    """Each disturbance of the state a cut left: the first leaves it as it is,
    every other starts again from a copy of it taken before the first rerun."""

    def __init__(self, board, place, base, other_device):
        self.board, self.place, self.home = board, place, board.pmem
        self.kept, self.other_device = base / "kept", other_device

    def keep(self):
        shutil.rmtree(self.kept, ignore_errors=True)
        shutil.copytree(self.home, self.kept / self.home.name, symlinks=True)
        self.place.keep(self.kept)

    def restore(self, pmem):
        """The state the cut left, with the dump area at pmem."""
        shutil.rmtree(self.board.zol, ignore_errors=True)
        self.place.restore(self.kept)
        shutil.copytree(self.kept / self.home.name, pmem, symlinks=True, dirs_exist_ok=True)
        self.board.pmem, self.board.zol = pmem, pmem / "zol"

    def back_home(self):
        shutil.rmtree(self.other_device / "pmem", ignore_errors=True)
        self.board.pmem, self.board.zol = self.home, self.home / "zol"

    def each(self, chips):
        """(name, act, the chips as the rerun must leave them)."""
        board, home, copy = self.board, self.home, self.other_device / "pmem"
        yield "none", lambda: None, chips
        yield "reboot as a copy", lambda: self.restore(copy), chips
        yield "reboot as a copy without times", lambda: (self.restore(copy), at_boot_time(board.zol, None)), chips
        area = board.area(chips[0].mosa)
        yield "a foreign name", lambda: (self.restore(home), (area / FOREIGN).write_bytes(b"x")), \
            [replace(chips[0], window_unknown=True), *chips[1:]]
        for row, source, data, expected in arrivals(area, chips[0]):
            yield f"{row}: {source}", lambda s=source, d=data: (
                self.restore(home), (area / s).write_bytes(d), at_boot_time(board.zol)), [expected, *chips[1:]]
        for hidden in sorted(board.zol.glob("mosa*/.*")):
            damage = {**DAMAGE, **({"from another move": from_another_move} if hidden.name == RECORD else {})}
            for how, act in damage.items():
                yield f"{hidden.name} {how}", lambda act=act, hidden=hidden: (self.restore(home), act(hidden)), \
                    kept_log_expected(hidden, how, chips)


@pytest.fixture(scope="session")
def cutter(request):
    if not request.config.getoption("--cutter") or os.geteuid() != 0:
        pytest.skip("needs root and --cutter, the cutter that stops the program at a chosen call")
    return str(Path(request.config.getoption("--cutter")).resolve())


@pytest.fixture(scope="session")
def flash_templates(tmp_path_factory):
    """An empty image per file system, every inode table and the journal written out."""
    if not all(shutil.which(t) for t in ("mkfs.ext4", "mkfs.btrfs")):
        pytest.skip("needs mkfs.ext4 and mkfs.btrfs for a loop-mounted flash")
    templates = {fs: tmp_path_factory.mktemp("flash-template") / f"{fs}.img" for fs in ("ext4", "btrfs")}
    for fs, image in templates.items():
        make_template(image, fs)
    return templates


@pytest.fixture
def place(tmp_path, request, scenario):
    fs = SCENARIOS[scenario][1]
    place = Folders(tmp_path) if fs == "none" else Flash(tmp_path, request.getfixturevalue("flash_templates")[fs], fs)
    yield place
    place.close()


@contextlib.contextmanager
def tmpfs(path, size):
    path.mkdir(exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "zol-test", path], check=True)
    try:
        yield path
    finally:
        subprocess.run(["umount", path], check=True)


@pytest.fixture
def other_device(tmp_path):
    """A tmpfs of our own: a dump area copied there has new inodes on another device."""
    with tmpfs(tmp_path / "other-device", "64m") as device:
        yield device


@pytest.fixture
def pmem(board, scenario):
    """A full area's persistent memory: a tmpfs of 1 MiB of its own."""
    with tmpfs(board.pmem, "1m") if SCENARIOS[scenario][0]()[0].full_area else contextlib.nullcontext():
        yield


def fill(pmem):
    """Persistent memory left with room for the move marker alone, by a file beside the dump areas."""
    free = os.statvfs(pmem)
    with open(pmem / "filler", "wb") as filler:
        os.posix_fallocate(filler.fileno(), 0, (free.f_bavail - 1) * free.f_frsize)
    assert os.statvfs(pmem).f_bavail == 1


def lay_out(board, place, chips):
    """Stored sets in place, a fresh dump area with the waiting dumps, all written at one second."""
    place.fresh()
    place.final.mkdir()
    shutil.rmtree(board.zol, ignore_errors=True)
    (board.pmem / "filler").unlink(missing_ok=True)
    board.zol.mkdir(parents=True)
    lay_chips(board, place, chips)
    at_boot_time(board.zol)
    if chips[0].full_area:
        fill(board.pmem)
    place.laid_out()


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_a_cut_at_any_step_then_a_reboot_or_damaged_bookkeeping_loses_and_doubles_nothing(
        board, tmp_path, request, cutter, place, other_device, pmem, scenario):
    make_chips, fs, emulated = SCENARIOS[scenario]
    under_emulation = bool(request.config.getoption("--emulator"))
    if under_emulation and not emulated:
        pytest.skip("under emulation only the scenarios at the edges of 32-bit numbers")
    chips = make_chips()
    watched = [place.root, "/run/pmem"]
    # An area that refuses hard links does so in the reruns too, through the cutter.
    refused = ("--refuse-links", errno.EPERM) if chips[0].no_hard_links else ()
    rerun = partial(board.run, wrapper=traced(cutter, watched, *refused, "--census", os.devnull),
                    unshare_pid=True) if refused else board.run
    disturbances = Disturbances(board, place, tmp_path, other_device)
    started, census = time.monotonic(), tmp_path / "census.txt"
    lay_out(board, place, chips)
    first = board.run(wrapper=traced(cutter, watched, *refused, "--census", census), unshare_pid=True)
    assert first.returncode == 0
    if chips[0].full_area:  # the move's own bookkeeping met the full area
        assert (f"Failed to write /run/pmem/zol/mosa{chips[0].mosa}/{RECORD}, errno = No space left on device"
                in first.messages("error")), first.messages("error")
    assert check_outcome(board, place, chips) == [], "the checks fail an uninterrupted move"
    place.release()
    calls = read_census(census)
    points = calls if fs == "none" else crash_points(calls)
    failing, combinations, judged = {}, Counter(), {}
    for call in points:
        harness = cut(board, place, lambda: lay_out(board, place, chips), cutter, call, refused)
        if harness:
            failing[f"cut before {call}"] = [harness]
            continue
        # Under emulation, where every run is slow, the cut alone is judged;
        # on a flash, whose every state is an image, a dump of its own arriving too.
        if not under_emulation:
            disturbances.keep()
        for name, disturb, expected in list(disturbances.each(chips)):
            if name != "none" and (under_emulation or (fs != "none" and not name.startswith("a dump of its own"))):
                continue
            try:
                disturb()
            except OSError as e:  # a full area: nothing new fits, as on a board
                if e.errno != errno.ENOSPC:
                    raise
                continue
            try:
                problems = run_and_check(board, place, expected, rerun, judged, name)
            finally:
                disturbances.back_home()
            combinations["a hidden file damaged" if name.startswith(".") else name.split(":")[0]] += 1
            if problems:
                failing[f"cut before {call}, then {name}"] = problems
        place.release()
    runs = sum(state[0] != "further" for state in judged)
    summary = (f"{scenario} ({fs}): {len(points)} cut points, {combinations.total()} combinations ({runs} states run), "
               f"{len(failing)} violating, {place.write_backs} retried, {time.monotonic() - started:.0f} s; "
               f"per disturbance: {dict(combinations)}")
    print(summary)
    if failing:
        pytest.fail(failure_report(summary, failing), pytrace=False)
