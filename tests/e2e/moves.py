"""Boards whose moves are interrupted, and what every move must leave, for the
crash harness and the tests of whole moves. A place holds the final dump
directory (`final`) and the link directories below its `root`."""

import gzip
import hashlib
import os
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

KINDS = {"lm_dump": ("lm", ".gz"), "cm_dump": ("cm", ".gz"), "em_dump": ("em", ".gz"), "te_log": ("te", ".log")}
MARKER = "dumpMoveStarted.txt"
FOREIGN = "foreign_name"  # a file of someone else's that the program never moves


@dataclass
class Chip:
    mosa: int
    links: str                       # link directory, relative to the place's root
    max_dumps: int
    seq: int                         # the number the waiting set is stored under
    waiting: dict                    # source -> bytes in the dump area
    further: dict                    # source -> bytes of the next move
    old_sets: dict = field(default_factory=dict)   # seq -> {source: bytes}, stored and linked
    dropped: frozenset = frozenset()                # old sets this move's retention deletes
    further_dropped: frozenset = frozenset()        # old sets gone after the next move
    stored: dict = field(default_factory=dict)      # part of the set stored before the run
    marker: bool = False                            # a move marker holding seq waits
    further_seq: int = None                         # the next move's number (default seq + 1)
    final_via: str = "final"                        # the final dump directory as configured, below root
    arrivals: dict = field(default_factory=dict)    # source -> bytes that arrived after a cut: the next number
    window_unknown: bool = False                    # more moves than planned: old sets may be deleted
    no_hard_links: bool = False                     # the dump area refuses hard links
    full_area: bool = False                         # the dump area has no free byte when the move starts

    def __post_init__(self):
        if self.further_seq is None:
            self.further_seq = self.seq + 1


def small_set(mosa, seq, sources=KINDS):
    return {source: b"%s of set %d of chip %d\n" % (source.encode(), seq, mosa) * 50 for source in sources}


def final_name(source, mosa, seq, factor=1):
    kind, ext = KINDS[source]
    return f"{kind}_{mosa * factor}-{seq}{ext}"


def stored_bytes(source, data):
    return gzip.compress(data, mtime=0) if KINDS[source][1] == ".gz" else data


# ---- laying out a board ------------------------------------------------------

def lay_stored(place, chip, seq, dumps):
    links = place.root / chip.links
    links.mkdir(parents=True, exist_ok=True)
    for source, data in dumps.items():
        path = place.final / final_name(source, chip.mosa, seq)
        path.write_bytes(stored_bytes(source, data))
        for factor in (1, 256):
            os.symlink(os.path.relpath(path, links), links / final_name(source, chip.mosa, seq, factor))


def lay_waiting(board, place, chip, dumps):
    board.chip(chip.mosa, dumps=dumps, info=(f"{place.root / chip.links}/", str(chip.max_dumps)),
               disk_info=(f"{place.root / chip.final_via}/", str(1 << 30)))


def lay_chips(board, place, chips):
    """Stored sets in place (its final directory exists) and a fresh dump area."""
    for chip in chips:
        if chip.final_via != "final" and not (place.root / chip.final_via).exists():
            os.symlink("final", place.root / chip.final_via)
        for seq, dumps in chip.old_sets.items():
            lay_stored(place, chip, seq, dumps)
        if chip.stored:
            lay_stored(place, chip, chip.seq, chip.stored)
    for chip in chips:
        lay_waiting(board, place, chip, chip.waiting)
        if chip.marker:
            (board.area(chip.mosa) / MARKER).write_text(f"{chip.seq}\n")


# ---- what a move must leave --------------------------------------------------

def damage(path, data, source):
    try:
        content = gzip.open(path).read() if KINDS[source][1] == ".gz" else path.read_bytes()
    except Exception as e:  # a cut gzip stream: EOFError, BadGzipFile, zlib.error
        return f"not a whole gzip stream ({type(e).__name__})"
    if content == data:
        return None
    return f"{len(content)} of {len(data)} bytes" if data.startswith(content) else "bytes differ"


def check_set(final, links, mosa, seq, dumps, what=""):
    """Every file of the set whole in final and both of its links in links resolving to it."""
    problems = []
    for source, data in dumps.items():
        path = final / final_name(source, mosa, seq)
        if not path.exists():
            problems.append(f"{what}lost: {path.name}")
        elif (why := damage(path, data, source)) is not None:
            problems.append(f"{what}damaged: {path.name}, {why}")
        for factor in (1, 256):
            link = links / final_name(source, mosa, seq, factor)
            if not os.path.islink(link):
                problems.append(f"{what}link lost: {link.name}")
            elif os.path.realpath(link) != os.path.realpath(path):
                problems.append(f"{what}link wrong: {link.name} -> {os.readlink(link)}")
    return problems


def check_stored(board, mosa, seq, dumps, final=None, links=None):
    """check_set on a board's final dump and link directories, or on the ones given."""
    return check_set(final or board.final, links or board.links, mosa, seq, dumps)


def set_names(chip, seq, factors=(1,)):
    return {final_name(source, chip.mosa, seq, f) for source in KINDS for f in factors}


def check_outcome(board, place, chips, further=False):
    """Problems ('kind: detail'): every dump stored once, under its number, with
    both links; nothing stored before damaged, or deleted while the window keeps
    it (a deletion a power cut undid: whole); nothing stray; only info.txt left."""
    problems = []
    allowed_final, allowed_links = set(), {}
    for chip in chips:
        leftovers = sorted(p.name for p in board.area(chip.mosa).iterdir() if p.name not in ("info.txt", FOREIGN))
        if leftovers:
            problems.append(f"dump area not clean: mosa{chip.mosa} holds {', '.join(leftovers)}")
        directory = place.root / chip.links
        links = allowed_links.setdefault(directory, set())
        sets = {chip.seq: {**chip.stored, **chip.waiting}, **({chip.seq + 1: chip.arrivals} if chip.arrivals else {})}
        if further:
            sets[chip.further_seq] = chip.further
        for seq, dumps in sets.items():
            # An arrival takes a number: the further move's window may then let the interrupted set go.
            if not (further and seq <= chip.further_seq - chip.max_dumps and not any(
                    (place.final / final_name(source, chip.mosa, seq)).exists() for source in dumps)):
                problems += check_set(place.final, directory, chip.mosa, seq, dumps, "dump ")
            allowed_final |= set_names(chip, seq)
            links |= set_names(chip, seq, (1, 256))
        for seq, dumps in chip.old_sets.items():
            gone = chip.further_dropped if further else chip.dropped
            if seq not in gone and not chip.window_unknown:
                problems += check_set(place.final, directory, chip.mosa, seq, dumps, "old set ")
            elif not further or chip.window_unknown:
                if any((place.final / final_name(source, chip.mosa, seq)).exists() for source in dumps):
                    problems += check_set(place.final, directory, chip.mosa, seq, dumps, "deleted set back ")
            else:
                continue  # the further move's retention must have deleted it: anything left is stray
            allowed_final |= set_names(chip, seq)
            links |= set_names(chip, seq, (1, 256))
    for entry in sorted(place.final.iterdir()):
        if entry.name not in allowed_final:
            problems.append(f"stray file: {entry.name} ({entry.lstat().st_size} bytes)")
    for directory, names in allowed_links.items():
        for entry in sorted(directory.iterdir()) if directory.is_dir() else []:
            if entry.name not in names:
                problems.append(f"stray link: {directory.name}/{entry.name}")
    return problems


def content_of(*roots):
    """Everything in the trees that the program may decide on: names, kinds,
    modes, bytes and link targets; never times, inodes or devices."""
    digest = hashlib.sha256()
    for n, root in enumerate(roots):
        for path in sorted(Path(root).rglob("*")):
            digest.update(f"{n}/{path.relative_to(root)}\0{path.lstat().st_mode:o}\0".encode())
            if path.is_symlink():
                digest.update(os.readlink(path).encode())
            elif path.is_file():
                digest.update(path.read_bytes())
    return digest.hexdigest()


def run_and_check(board, place, chips, run, judged, how="none"):
    """Problems after a rerun and a further move of new dumps (each one run()).
    A state already judged (judged: state -> problems), the same content
    disturbed the same way (how) and the same expectations, is not run again:
    the program decides on content alone, which the reboots as a copy check
    at every state."""
    state = (how, content_of(board.pmem, place.root), repr(chips))
    if state not in judged:
        judged[state] = rerun_and_check(board, place, chips, run, judged)
    return judged[state]


def rerun_and_check(board, place, chips, run, judged):
    problems = []
    rerun = run()
    if rerun.returncode != 0:
        problems.append(f"exit status: the rerun exited {rerun.returncode}: {rerun.messages('fatal')} "
                        f"{rerun.stderr.strip()[-300:]}")
    problems += check_outcome(board, place, chips)
    for chip in chips:
        lay_waiting(board, place, chip, chip.further)
    state = ("further", content_of(board.pmem, place.root), repr(chips))
    if state not in judged:
        further = run()
        judged[state] = [f"exit status: the further move exited {further.returncode}"] if further.returncode else []
        judged[state] += [f"further move: {p}" for p in check_outcome(board, place, chips, further=True)]
    # What the rerun left wrong and the further move did not change is said once.
    return problems + [p for p in judged[state] if p.removeprefix("further move: ") not in problems]


def kind_of(problem):
    return problem.split(":", 2)[0] if not problem.startswith("further move:") else \
        "further move: " + problem.split(":", 2)[1].strip()


def failure_report(summary, failing):
    """The summary, a count per kind of problem, then every failing point."""
    kinds = Counter(k for problems in failing.values() for k in {kind_of(p) for p in problems})
    lines = [summary, "points per kind of problem:"] + [f"  {n:4d}  {k}" for k, n in kinds.most_common()]
    for point, problems in failing.items():
        lines.append(f"{point}:")
        lines += [f"    {p}" for p in problems]
    return "\n".join(lines)
