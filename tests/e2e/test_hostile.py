"""Hostile and broken inputs: the configuration files and dump areas are
written by other software. Whatever chip 1's area holds, the program never
hangs, never runs a command smuggled into a path, creates nothing outside
the configured directories, and chip 2 is moved as usual. How a line or a
number is read (a FIFO or a directory for a file, a NUL, CRLF, numbers beyond
32 bits) is in the unit tests' configuration and number tables."""

import os
from typing import Callable, NamedTuple

import pytest

from dumps import chip_dumps
from moves import KINDS, MARKER, check_stored

SOURCES = tuple(KINDS)


# Each row: what is laid out in chip 1's place, and what the run must leave.
class Row(NamedTuple):
    lay_out: Callable       # (board, chip 1's dumps) -> final and link directories, when not the board's
    said: tuple = ()        # every error line, and the debug lines named here, in order
    seq: int = 1            # the number chip 1's stored sources are stored under, with both links
    stored: tuple = SOURCES
    left: tuple = ()        # what waits in chip 1's area beside info.txt


def incomplete_configuration(info, disk_info, said):
    """Lines missing or empty: the chip's move stops before anything changes."""
    def lay_out(board, dumps):
        board.chip(1, dumps=dumps, info=info, disk_info=disk_info)
    return Row(lay_out, (said,), stored=(), left=SOURCES)


def special_file(name, make):
    """A FIFO or a directory under the name of a file of chip 1's area."""
    def lay_out(board, dumps):
        board.chip(1, dumps={k: v for k, v in dumps.items() if k != name})
        make(board.area(1) / name)
    return lay_out


def fifo_where_a_resumed_move_writes(board, dumps):
    (board.chip(1, dumps=dumps) / MARKER).write_text("4\n")
    os.mkfifo(board.final / "lm_1-4.gz")


def paths_with_metacharacters(board, dumps):
    """The link directory, which the move makes, and the final dump directory:
    a shell fragment in them would, if it ever ran, leave a file behind."""
    injection = f"$(touch {board.base}/INJECTED);touch {board.base}/INJECTED;#"
    hostile = {role: board.base / f"{role} {injection}" for role in ("links", "final")}
    hostile["final"].mkdir(parents=True)
    board.chip(1, dumps=dumps, info=(f"{hostile['links']}/", "3"), disk_info=(f"{hostile['final']}/", "100000000"))
    return hostile


ROWS = {
    "info file with an empty line 1": incomplete_configuration(
        "\n3\n", None, "Invalid parameters in info file. linkDumpFilePath: Max number of dumps: 3 "),
    "no disk-information file": incomplete_configuration(None, False, "No dumpFile path exist."),
    "disk-information file without line 2": incomplete_configuration(None, "/final/only\n",
                                                                     "No max disk space size exist."),
    "move marker is a FIFO": Row(special_file(MARKER, os.mkfifo)),  # not a marker: a new move
    "move marker is a directory": Row(special_file(MARKER, os.mkdir)),
    # A FIFO counts as missing: left where it is, the others moved.
    "lm_dump is a FIFO": Row(special_file("lm_dump", os.mkfifo), stored=SOURCES[1:], left=("lm_dump",)),
    "a FIFO where a resumed move writes": Row(fifo_where_a_resumed_move_writes, seq=4, stored=SOURCES[1:], said=(
        "Failed to open destination file({final}/lm_1-4.gz) while compressing",
        "Failed to stream compressing dsp dump /run/pmem/zol/mosa1/lm_dump")),
    "link and final dump directories with shell metacharacters": Row(paths_with_metacharacters),
}


@pytest.mark.busybox
@pytest.mark.parametrize("row", ROWS.values(), ids=ROWS)
def test_hostile_input_never_hangs_injects_or_stops_the_other_chips(board, row):
    dumps, chip2 = chip_dumps(1, 3000), chip_dumps(2, 2000)
    directories = row.lay_out(board, dumps) or {}
    board.chip(2, dumps=chip2)

    run = board.run(trace=True, timeout=120)  # seconds: a blocked program is reported, the suite goes on

    assert run.returncode == 0 and "Cold restart dump handler is DONE" in run.messages("syslog")
    assert not (board.base / "INJECTED").exists(), "a command in a path ran"
    assert list(board.cwd.iterdir()) == [], "something was created outside the configured directories"
    assert check_stored(board, 2, 1, chip2) == []
    said = [line.format(final=board.final) for line in row.said]
    assert [m for m in run.messages() if m in said or m in run.messages("error")] == said
    assert check_stored(board, 1, row.seq, {s: dumps[s] for s in row.stored}, **directories) == []
    assert sorted(os.listdir(board.area(1))) == sorted(["info.txt", *row.left])
