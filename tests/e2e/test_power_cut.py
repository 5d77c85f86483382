"""Power cuts at every step of a move.

The dump area is persistent memory: it keeps every write across a power cut.
The flash keeps only what the kernel wrote to the device. Here the final dump
directory and the link directories live on a real ext4 file system on a loop
device, mounted with a long commit interval so that nothing becomes durable
behind the program's back. At every crash-relevant call of a move the whole
process tree is frozen, the image is copied as the device holds it, the tree
is killed before the call runs, and the copy is mounted as after a reboot
(its journal replays). A rerun must then finish the move with nothing lost,
damaged or left behind, and a further move must still work.
"""

import gzip
import os
import shutil
import sys
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from dumps import chip_dumps, gunzip

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "powercut"))
from powercut import Flash, crash_points, cut_and_reboot, make_template, overwrite_canary, read_census, traced  # noqa: E402

KINDS = {"lm_dump": ("lm", ".gz"), "cm_dump": ("cm", ".gz"), "em_dump": ("em", ".gz"), "te_log": ("te", ".log")}
MARKER = "dumpMoveStarted.txt"


@dataclass
class Chip:
    mosa: int
    links: str                       # link directory, relative to the flash's root
    max_dumps: int
    seq: int                         # the number the waiting set is stored under
    waiting: dict                    # source -> bytes in the dump area
    further: dict                    # source -> bytes of the next move
    old_sets: dict = field(default_factory=dict)   # seq -> {source: bytes}, stored and linked
    dropped: frozenset = frozenset()                # old sets this move's retention deletes
    further_dropped: frozenset = frozenset()        # old sets gone after the next move
    stored: dict = field(default_factory=dict)      # part of the set stored before the run
    marker: bool = False                            # a move marker holding seq waits


def small_set(mosa, seq):
    return {source: b"%s of set %d of chip %d\n" % (source.encode(), seq, mosa) * 50 for source in KINDS}


def two_chips():
    """Chip 1's retention deletes set 1 and keeps set 4; chip 2's link
    directory does not exist yet."""
    return [
        Chip(1, "links1", 3, seq=5, waiting=chip_dumps(1, 400_000), further=chip_dumps(1, 8_000, seed=100),
             old_sets={1: small_set(1, 1), 4: small_set(1, 4)}, dropped=frozenset({1}),
             further_dropped=frozenset({1})),
        Chip(2, "new/links2", 3, seq=1, waiting=chip_dumps(2, 60_000), further=chip_dumps(2, 8_000, seed=100)),
    ]


def resumed_move():
    """A move cut short before: its marker waits, lm is stored and linked, the rest waits."""
    whole = chip_dumps(3, 160_000)
    return [Chip(3, "links3", 5, seq=7, stored={"lm_dump": whole["lm_dump"]},
                 waiting={k: v for k, v in whole.items() if k != "lm_dump"},
                 further=chip_dumps(3, 8_000, seed=100), old_sets={6: small_set(3, 6)}, marker=True)]


SCENARIOS = {"two_chips": two_chips, "resumed_move": resumed_move}


def final_name(source, mosa, seq, factor=1):
    kind, ext = KINDS[source]
    return f"{kind}_{mosa * factor}-{seq}{ext}"


def stored_bytes(source, data):
    return gzip.compress(data, mtime=0) if KINDS[source][1] == ".gz" else data


def skip_unless_able(config):
    if not config.getoption("--cutpoint", default=None):
        pytest.skip("needs --cutpoint, the tracer that stops the program at a chosen call")
    if config.getoption("--emulator", default=""):
        pytest.skip("the tracer follows native processes only")
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("losetup", "mkfs.ext4")):
        pytest.skip("needs root, losetup and mkfs.ext4 for a loop-mounted flash")


@pytest.fixture(scope="session")
def flash_template(request, tmp_path_factory):
    skip_unless_able(request.config)
    image = tmp_path_factory.mktemp("flash-template") / "template.img"
    make_template(image)
    return image


@pytest.fixture
def cutpoint(request, flash_template):
    return str(Path(request.config.getoption("--cutpoint")).resolve())


@pytest.fixture
def flash(tmp_path, flash_template):
    f = Flash(tmp_path, flash_template)
    yield f
    f.close()


# ---- laying out a board ------------------------------------------------------

def lay_stored(flash, chip, seq, dumps):
    links = flash.root / chip.links
    links.mkdir(parents=True, exist_ok=True)
    for source, data in dumps.items():
        path = flash.final / final_name(source, chip.mosa, seq)
        path.write_bytes(stored_bytes(source, data))
        for factor in (1, 256):
            os.symlink(os.path.relpath(path, links), links / final_name(source, chip.mosa, seq, factor))


def lay_waiting(board, flash, chip, dumps):
    board.chip(chip.mosa, dumps=dumps, info=(f"{flash.root / chip.links}/", str(chip.max_dumps)),
               disk_info=(f"{flash.final}/", str(1 << 30)))


def lay_out(board, flash, chips):
    """A fresh flash holding the stored sets durably, an overwritten canary
    that is not, and the dump area with the waiting dumps."""
    flash.fresh()
    flash.final.mkdir()
    for chip in chips:
        for seq, dumps in chip.old_sets.items():
            lay_stored(flash, chip, seq, dumps)
        if chip.stored:
            lay_stored(flash, chip, chip.seq, chip.stored)
    overwrite_canary(flash)
    shutil.rmtree(board.zol)
    board.zol.mkdir()
    for chip in chips:
        lay_waiting(board, flash, chip, chip.waiting)
        if chip.marker:
            (board.area(chip.mosa) / MARKER).write_text(f"{chip.seq}\n")


# ---- what a move must leave --------------------------------------------------

def damage(path, data, source):
    try:
        content = gunzip(path) if KINDS[source][1] == ".gz" else path.read_bytes()
    except Exception as e:  # a cut gzip stream: EOFError, BadGzipFile, zlib.error
        return f"not a whole gzip stream ({type(e).__name__})"
    if content == data:
        return None
    return f"{len(content)} of {len(data)} bytes" if data.startswith(content) else "bytes differ"


def check_set(flash, chip, seq, dumps, what):
    """Every file of the set whole and both of its links resolving to it."""
    problems = []
    links = flash.root / chip.links
    for source, data in dumps.items():
        path = flash.final / final_name(source, chip.mosa, seq)
        if not path.exists():
            problems.append(f"{what}lost: {path.name}")
        elif (why := damage(path, data, source)) is not None:
            problems.append(f"{what}damaged: {path.name}, {why}")
        for factor in (1, 256):
            link = links / final_name(source, chip.mosa, seq, factor)
            if not os.path.islink(link):
                problems.append(f"{what}link lost: {link.name}")
            elif os.path.realpath(link) != str(path):
                problems.append(f"{what}link wrong: {link.name} -> {os.readlink(link)}")
    return problems


def set_names(chip, seq, factors=(1,)):
    return {final_name(source, chip.mosa, seq, f) for source in KINDS for f in factors}


def check_outcome(board, flash, chips, further=False):
    """Problems ('kind: detail') with the outcome of a move, or of the
    further move after it. Old sets the retention deletes may come back
    after a cut, since their deletion was never made durable: then they
    must be whole."""
    problems = []
    allowed_final, allowed_links = set(), {}
    for chip in chips:
        leftovers = sorted(p.name for p in board.area(chip.mosa).iterdir() if p.name != "info.txt")
        if leftovers:
            problems.append(f"dump area not clean: mosa{chip.mosa} holds {', '.join(leftovers)}")
        links = allowed_links.setdefault(flash.root / chip.links, set())
        sets = {chip.seq: {**chip.stored, **chip.waiting}}
        if further:
            sets[chip.seq + 1] = chip.further
        for seq, dumps in sets.items():
            problems += check_set(flash, chip, seq, dumps, "dump ")
            allowed_final |= set_names(chip, seq)
            links |= set_names(chip, seq, (1, 256))
        for seq, dumps in chip.old_sets.items():
            if seq not in (chip.further_dropped if further else chip.dropped):
                problems += check_set(flash, chip, seq, dumps, "old set ")
            elif not further:
                for source, data in dumps.items():
                    path = flash.final / final_name(source, chip.mosa, seq)
                    if path.exists() and (why := damage(path, data, source)) is not None:
                        problems.append(f"old set damaged: {path.name}, {why}")
            else:
                continue  # the further move's retention must have deleted it: anything left is stray
            allowed_final |= set_names(chip, seq)
            links |= set_names(chip, seq, (1, 256))
    for entry in sorted(flash.final.iterdir()):
        if entry.name not in allowed_final:
            problems.append(f"stray file: {entry.name} ({entry.lstat().st_size} bytes)")
    for directory, names in allowed_links.items():
        for entry in sorted(directory.iterdir()) if directory.is_dir() else []:
            if entry.name not in names:
                problems.append(f"stray link: {directory.name}/{entry.name}")
    return problems


def take_census(board, flash, chips, cutpoint):
    census = flash.base / "census.txt"
    lay_out(board, flash, chips)
    run = board.run(wrapper=traced(cutpoint, flash, "--census", str(census)), unshare_pid=True)
    assert run.returncode == 0, run.stderr
    # The checks themselves must hold for a move that no cut disturbs.
    assert check_outcome(board, flash, chips) == []
    flash.release()
    return read_census(census)


def power_cut_at(board, flash, chips, cutpoint, call):
    """Problems after a cut before the call, a rerun and a further move."""
    try:
        harness = cut_and_reboot(board, flash, lambda: lay_out(board, flash, chips), cutpoint, call)
        if harness:
            return [harness]
        problems = []
        rerun = board.run()
        if rerun.returncode != 0:
            problems.append(f"exit status: the rerun exited {rerun.returncode}")
        problems += check_outcome(board, flash, chips)
        for chip in chips:
            lay_waiting(board, flash, chip, chip.further)
        further = board.run()
        if further.returncode != 0:
            problems.append(f"exit status: the further move exited {further.returncode}")
        # What the rerun left wrong and the further move did not change is said once.
        return problems + [f"further move: {p}" for p in check_outcome(board, flash, chips, further=True)
                           if p not in problems]
    finally:
        flash.release()


def kind_of(problem):
    return problem.split(":", 2)[0] if not problem.startswith("further move:") else \
        "further move: " + problem.split(":", 2)[1].strip()


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_power_cut_at_every_step_loses_nothing(board, flash, cutpoint, scenario):
    chips = SCENARIOS[scenario]()
    started = time.monotonic()
    calls = take_census(board, flash, chips, cutpoint)
    points = crash_points(calls)
    failing = {}
    for call in points:
        problems = power_cut_at(board, flash, chips, cutpoint, call)
        if problems:
            failing[call] = problems
    seconds = time.monotonic() - started
    summary = (f"{scenario}: {len(calls)} relevant calls, {len(points)} crash points, "
               f"{len(failing)} losing something, {flash.write_backs} retried, {seconds:.0f} s")
    print(summary)
    if failing:
        kinds = Counter(k for problems in failing.values() for k in {kind_of(p) for p in problems})
        lines = [summary, "points per kind of problem:"] + [f"  {n:3d}  {k}" for k, n in kinds.most_common()]
        for call, problems in failing.items():
            lines.append(f"cut before {call}:")
            lines += [f"    {p}" for p in problems]
        pytest.fail("\n".join(lines), pytrace=False)
