"""Hostile and broken inputs: the configuration files and dump areas are
written by other software. Whatever chip 1's area holds, the program never
hangs, never runs a command smuggled into a path, creates nothing outside
the configured directories, and chip 2 is moved as usual. How a line or a
number is read (a FIFO or a directory for a file, a NUL, CRLF, numbers beyond
32 bits) is in the unit tests' configuration and number tables."""

import os

import pytest

from dumps import chip_dumps
from moves import MARKER, check_stored

SOURCES = ("lm_dump", "cm_dump", "em_dump", "te_log")
INVALID_INFO = "Invalid parameters in info file. linkDumpFilePath: Max number of dumps: 3 "
HANG_GUARD = 120  # seconds; a blocked program is reported instead of stalling the suite


def injection(board):
    """A shell fragment that, if it ever ran, would leave a file behind."""
    return f"$(touch {board.base}/INJECTED);touch {board.base}/INJECTED;#"


def stored(board, seq=1, sources=SOURCES, left=(), **directories):
    """Chip 1's sources stored under seq with both links, and only info.txt and left in its area."""
    assert check_stored(board, 1, seq, {s: board.dumps[s] for s in sources}, **directories) == []
    assert sorted(os.listdir(board.area(1))) == sorted(["info.txt", *left])


# Each row: what is laid out in chip 1's place, and what the program did.
def incomplete_configuration(info, disk_info, trace):
    """Lines missing or empty: the chip's move stops before anything changes."""
    def lay_out(board):
        board.chip(1, dumps=board.dumps, info=info, disk_info=disk_info)

    def outcome(board, run):
        assert trace in run.messages()
        assert set(os.listdir(board.area(1))) >= set(SOURCES)
    return lay_out, outcome


def special_file(name, make, outcome):
    """A FIFO or a directory under the name of a file of chip 1's area."""
    def lay_out(board):
        board.chip(1, dumps={k: v for k, v in board.dumps.items() if k != name})
        make(board.area(1) / name)
    return lay_out, outcome


def new_move(board, run):  # not a marker: a new move
    stored(board)


def lm_dump_waits(board, run):  # counts as missing: left where it is, the others moved
    stored(board, sources=SOURCES[1:], left=["lm_dump"])


def fifo_at_destination():
    def lay_out(board):
        (board.chip(1, dumps=board.dumps) / MARKER).write_text("4\n")
        os.mkfifo(board.final / "lm_1-4.gz")

    def outcome(board, run):
        assert run.messages("error")[:2] == [
            f"Failed to open destination file({board.final}/lm_1-4.gz) while compressing",
            "Failed to stream compressing dsp dump /run/pmem/zol/mosa1/lm_dump"]
        stored(board, 4, SOURCES[1:])
    return lay_out, outcome


def paths_with_metacharacters():
    """The link directory, which the move makes, and the final dump directory."""
    def lay_out(board):
        board.hostile = {role: board.base / f"{role} {injection(board)}" for role in ("links", "final")}
        board.hostile["final"].mkdir(parents=True)
        board.chip(1, dumps=board.dumps, info=(f"{board.hostile['links']}/", "3"),
                   disk_info=(f"{board.hostile['final']}/", "100000000"))

    def outcome(board, run):
        stored(board, **board.hostile)
    return lay_out, outcome


ROWS = {
    "info file with an empty line 1": incomplete_configuration("\n3\n", None, INVALID_INFO),
    "no disk-information file": incomplete_configuration(None, False, "No dumpFile path exist."),
    "disk-information file without line 2": incomplete_configuration(None, "/final/only\n",
                                                                     "No max disk space size exist."),
    "move marker is a FIFO": special_file(MARKER, os.mkfifo, new_move),
    "move marker is a directory": special_file(MARKER, os.mkdir, new_move),
    "lm_dump is a FIFO": special_file("lm_dump", os.mkfifo, lm_dump_waits),
    "a FIFO where a resumed move writes": fifo_at_destination(),
    "link and final dump directories with shell metacharacters": paths_with_metacharacters(),
}


@pytest.mark.busybox
@pytest.mark.parametrize("row", ROWS)
def test_hostile_input_never_hangs_injects_or_stops_the_other_chips(board, row):
    lay_out, outcome = ROWS[row]
    board.dumps = chip_dumps(1, 3000)
    lay_out(board)
    chip2 = chip_dumps(2, 2000)
    board.chip(2, dumps=chip2)

    run = board.run(trace=True, timeout=HANG_GUARD)

    assert run.returncode == 0 and "Cold restart dump handler is DONE" in run.messages("syslog")
    assert not (board.base / "INJECTED").exists(), "a command in a path ran"
    assert list(board.cwd.iterdir()) == [], "something was created outside the configured directories"
    assert check_stored(board, 2, 1, chip2) == []
    outcome(board, run)
