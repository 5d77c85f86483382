"""Crashes at every step of a move, then whatever a reboot or damage can do
to the program's own files in the dump area.

The program is killed before each call that changes the dump area, the
final dump directory or a link directory: each exec, creating open, write,
close, link, symlink, rename, unlink, mkdir and fsync, each counted on its
own. A killed process leaves everything it wrote. Between that run and the
next comes one disturbance: none; a reboot that brings the dump area back as
a copy (new inodes on another device), with or without its times; a foreign
name; a dump arriving, a look-alike of one moved (size, ends, time) or its
own; or a hidden file of ours emptied, garbled, of another move, a FIFO or a
directory. The rerun and a further move must then leave every dump stored
once (an arrival under the next number), with both links; nothing stored
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
from dataclasses import replace
from pathlib import Path
from types import SimpleNamespace

import pytest

from dumps import chip_dumps
from moves import (FOREIGN, KINDS, MARKER, Chip, check_outcome, failure_report, lay_chips, refusing_links,
                   run_and_check, small_set)

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "powercut"))
from powercut import CUT, read_census, traced  # noqa: E402

RECORD, KEPT = ".dumpMoveStored", ".te_log.keep"
BOOT_TIME = 1_000_000_000  # a board without a clock: every dump is written at the same second


def waiting(mosa, *sources, seed=0):
    # Larger than both ends that a sample of 4 KiB at each would read.
    return {k: v for k, v in chip_dumps(mosa, 40_000, seed).items() if k in sources}


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
    "lm_and_te_without_hard_links": lambda: chip(5, 1, ("lm_dump", "te_log"), no_hard_links=True),
    "resumed_at_2147483648": lambda: chip(
        1, 2147483648, ("cm_dump", "te_log"), stored=waiting(1, "lm_dump"), marker=True,
        old_sets={2147483647: small_set(1, 2147483647)}),
}


# ---- disturbances between the killed run and the rerun -------------------------

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


@pytest.fixture
def other_device(tmp_path, request):
    """A tmpfs of our own: a dump area copied there has new inodes on another device."""
    if not request.config.getoption("--cutpoint") or request.config.getoption("--emulator") or os.geteuid() != 0:
        pytest.skip("needs root and --cutpoint, the tracer that stops the program at a chosen call (native only)")
    device = tmp_path / "other-device"
    device.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "zol-reboot", device], check=True)
    yield device
    subprocess.run(["umount", device], check=True)


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_a_crash_at_any_step_then_a_reboot_or_damaged_bookkeeping_loses_and_doubles_nothing(
        board, tmp_path, request, other_device, scenario):
    chips = [SCENARIOS[scenario]()]
    cutpoint = str(Path(request.config.getoption("--cutpoint")).resolve())
    home, kept = board.pmem, tmp_path / "kept"
    # Final and link directories are plain folders here: a kill loses nothing there.
    place = SimpleNamespace(root=board.base / "flash", final=board.base / "flash" / "final")
    tracer = [place.root, "/run/pmem"]
    refused, rerun = refusing_links(board, chips, cutpoint, tracer)

    def lay_out():
        for d in (board.zol, place.root):
            shutil.rmtree(d, ignore_errors=True)
        board.zol.mkdir(parents=True)
        place.final.mkdir(parents=True)
        lay_chips(board, place, chips)
        at_boot_time(board.zol)

    def restore(pmem):
        """The state the kill left, with the dump area at pmem."""
        for d in (board.zol, place.root):
            shutil.rmtree(d, ignore_errors=True)
        shutil.copytree(kept / place.root.name, place.root, symlinks=True)
        shutil.copytree(kept / home.name, pmem, symlinks=True, dirs_exist_ok=True)
        board.pmem, board.zol = pmem, pmem / "zol"

    def disturbances():
        yield "none", lambda: None, chips  # the killed state itself
        yield "reboot as a copy", lambda: restore(other_device / "pmem"), chips
        yield "reboot as a copy without times", lambda: (restore(other_device / "pmem"), at_boot_time(board.zol, None)), chips
        yield "a foreign name", lambda: (restore(home), (board.area(chips[0].mosa) / FOREIGN).write_bytes(b"x")), \
            [replace(chips[0], window_unknown=True)]
        for row, source, data, expected in arrivals(board.area(chips[0].mosa), chips[0]):
            yield f"{row}: {source}", lambda s=source, d=data: (restore(home), (board.area(chips[0].mosa) / s).write_bytes(d),
                                                           at_boot_time(board.zol)), \
                [expected]
        for hidden in sorted(board.zol.glob("mosa*/.*")):
            damage = {**DAMAGE, **({"from another move": from_another_move} if hidden.name == RECORD else {})}
            for how, act in damage.items():
                yield f"{hidden.name} {how}", lambda act=act, hidden=hidden: (restore(home), act(hidden)), \
                    kept_log_expected(hidden, how, chips)

    started = time.monotonic()
    census = tmp_path / "census.txt"
    lay_out()
    assert board.run(wrapper=traced(cutpoint, tracer, *refused, "--census", census), unshare_pid=True).returncode == 0
    assert check_outcome(board, place, chips) == [], "the checks fail an uninterrupted move"
    calls = read_census(census)
    failing, combinations = {}, 0
    for call in calls:
        lay_out()
        run = board.run(wrapper=traced(cutpoint, tracer, *refused, "--cut", call.index, "--on-cut", "true"), unshare_pid=True)
        assert run.returncode == CUT, f"no kill before {call}: {run.stderr.strip()[-300:]}"
        shutil.rmtree(kept, ignore_errors=True)
        for d in (home, place.root):
            shutil.copytree(d, kept / d.name, symlinks=True)
        for name, disturb, expected in list(disturbances()):
            disturb()
            try:
                problems = run_and_check(board, place, expected, rerun)
            finally:
                shutil.rmtree(other_device / "pmem", ignore_errors=True)
                board.pmem, board.zol = home, home / "zol"
            combinations += 1
            if problems:
                failing[f"kill before {call}, then {name}"] = problems
    summary = (f"{scenario}: {len(calls)} kill points, {combinations} combinations, "
               f"{len(failing)} violating, {time.monotonic() - started:.0f} s")
    print(summary)
    if failing:
        pytest.fail(failure_report(summary, failing), pytrace=False)
