"""Hostile and broken inputs: the configuration files and dump areas are
written by other software. Whatever chip 1's area holds, the program never
hangs, never runs a command smuggled into a path, creates nothing outside
the configured directories, and chip 2 is moved as usual."""

import os

import pytest

from dumps import chip_dumps, gunzip

SOURCES = ("lm_dump", "cm_dump", "em_dump", "te_log")
STORED = {"lm_dump": "lm_1-{}.gz", "cm_dump": "cm_1-{}.gz", "em_dump": "em_1-{}.gz", "te_log": "te_1-{}.log"}
INVALID_INFO = "Invalid parameters in info file. linkDumpFilePath: Max number of dumps:  "
HANG_GUARD = 120  # seconds; a blocked program is reported instead of stalling the suite


def fifo(path):
    os.mkfifo(path)


def injection(board):
    """A shell fragment that, if it ever ran, would leave a file behind."""
    return f"$(touch {board.base}/INJECTED);touch {board.base}/INJECTED;#"


def stored_under(board, seq, sources=SOURCES, final=None, links=True):
    final, links = final or board.final, board.links if links is True else links
    for source in sources:
        name = STORED[source].format(seq)
        data = board.dumps[source]
        assert (gunzip(final / name) if name.endswith(".gz") else (final / name).read_bytes()) == data, name
        for link in (name, name.replace("_1-", "_256-")) if links else ():
            assert os.path.realpath(links / link) == str(final / name), link


def left_waiting(board, sources=SOURCES):
    assert {p.name for p in board.area(1).iterdir()} >= set(sources)


def traced_line(board, run, message):
    """The line debug event."""
    return message[:255] in run.messages("UrdaLineDebugEvent")


def only_info(board):
    assert sorted(p.name for p in board.area(1).iterdir()) == ["info.txt"]


# Each row: what is laid out in chip 1's place, and what the program did.
def info_is(kind):
    def lay_out(board):
        board.chip(1, dumps=board.dumps, info=False)
        {"fifo": fifo, "dir": os.mkdir, "dangling link": lambda p: os.symlink("/nonexistent", p)}[kind](
            board.area(1) / "info.txt")

    def outcome(board, run):
        assert traced_line(board, run, INVALID_INFO)
        left_waiting(board)
    return lay_out, outcome


def incomplete_configuration(info, disk_info, trace):
    """Lines missing or empty: the chip's move stops before anything changes."""
    def lay_out(board):
        board.chip(1, dumps=board.dumps, info=info, disk_info=disk_info)

    def outcome(board, run):
        assert trace in run.messages("error") or traced_line(board, run, trace)
        left_waiting(board)
        assert not any(p.name.startswith(("lm_1", "te_1")) for p in board.final.iterdir())
    return lay_out, outcome


def disk_info_is(kind):
    def lay_out(board):
        board.chip(1, dumps=board.dumps, disk_info=False)
        (board.zol / "diskInfo").mkdir()
        {"fifo": fifo, "dir": os.mkdir}[kind](board.zol / "diskInfo" / "diskInfoMosa1")

    def outcome(board, run):
        assert "No dumpFile path exist." in run.messages("error")
        left_waiting(board)
    return lay_out, outcome


def marker_is(kind):
    def lay_out(board):
        board.chip(1, dumps=board.dumps)
        {"fifo": fifo, "dir": os.mkdir}[kind](board.area(1) / "dumpMoveStarted.txt")

    def outcome(board, run):  # not a marker: a new move
        stored_under(board, 1)
        only_info(board)
    return lay_out, outcome


def source_is(source, kind):
    def lay_out(board):
        board.chip(1, dumps={k: v for k, v in board.dumps.items() if k != source})
        {"fifo": fifo, "dir": os.mkdir, "dangling link": lambda p: os.symlink("/nonexistent", p)}[kind](
            board.area(1) / source)

    def outcome(board, run):  # counts as missing: left where it is, the others moved
        stored_under(board, 1, [s for s in SOURCES if s != source])
        assert not (board.final / STORED[source].format(1)).exists()
        assert sorted(p.name for p in board.area(1).iterdir()) == sorted(["info.txt", source])
    return lay_out, outcome


def fifo_at_destination():
    def lay_out(board):
        area = board.chip(1, dumps=board.dumps)
        (area / "dumpMoveStarted.txt").write_text("4\n")
        fifo(board.final / "lm_1-4.gz")

    def outcome(board, run):
        assert run.messages("error")[:2] == [
            f"Failed to open destination file({board.final}/lm_1-4.gz) while compressing",
            "Failed to stream compressing dsp dump /run/pmem/zol/mosa1/lm_dump"]
        stored_under(board, 4, SOURCES[1:])
        only_info(board)
    return lay_out, outcome


def path_with_metacharacters(role):
    """The link directory (made by the move) or the final dump directory (made beforehand)."""
    def lay_out(board):
        board.hostile = board.base / f"{role} {injection(board)}"
        if role == "links":
            board.chip(1, dumps=board.dumps, info=(f"{board.hostile}/", "3"))
        else:
            board.hostile.mkdir(parents=True)
            board.chip(1, dumps=board.dumps, disk_info=(f"{board.hostile}/", "100000000"))

    def outcome(board, run):
        stored_under(board, 1, **{role: board.hostile})
        only_info(board)
    return lay_out, outcome


def nul_byte_in_link_directory():
    def lay_out(board):
        board.chip(1, dumps=board.dumps, info=f"\0{board.links}/\n3\n")

    def outcome(board, run):  # the line ends at the NUL: empty, so invalid
        assert traced_line(board, run, INVALID_INFO.replace("dumps:  ", "dumps: 3 "))
        left_waiting(board)
    return lay_out, outcome


def crlf_line_ends():
    def lay_out(board):
        board.chip(1, dumps=board.dumps, info=f"{board.links}/\r\n3\r\n")

    # Values are not trimmed: the link names start with "\r" and their targets,
    # worked out as if "\r" were a directory, miss; the dead-link cleaning of
    # the next chip removes them.
    def outcome(board, run):
        stored_under(board, 1, links=None)
        only_info(board)
    return lay_out, outcome


def numbers_beyond_32_bits():
    def lay_out(board):
        board.chip(1, dumps=board.dumps, info=(f"{board.links}/", "99999999999"),
                   disk_info=(f"{board.final}/", "5000000000"))

    def outcome(board, run):  # held at the signed 32-bit limit on every architecture
        assert traced_line(board, run, f"DumpPath: {board.links}/ , MaxNumberOfDumps: 2147483647 "
                                       f"maxDiskSpace : 2147483647 , finalDumpFilePath: {board.final}/")
        stored_under(board, 1)
    return lay_out, outcome


def foreign_name_beyond_32_bits():
    def lay_out(board):
        (board.final / "te_1-99999999999.log").write_text("not ours")
        board.chip(1, dumps=board.dumps)

    def outcome(board, run):  # read as the top of the circle: the numbering starts at 1 after it
        stored_under(board, 1)
        assert (board.final / "te_1-99999999999.log").exists()
    return lay_out, outcome


ROWS = {
    "no info file": incomplete_configuration(False, None, INVALID_INFO),
    "info file without line 2": incomplete_configuration("/links/only\n", None, INVALID_INFO.replace(
        "linkDumpFilePath: ", "linkDumpFilePath:/links/only ")),
    "info file with an empty line 1": incomplete_configuration("\n3\n", None, INVALID_INFO.replace(
        "dumps:  ", "dumps: 3 ")),
    "no disk-information file": incomplete_configuration(None, False, "No dumpFile path exist."),
    "disk-information file without line 2": incomplete_configuration(None, "/final/only\n",
                                                                     "No max disk space size exist."),
    "info file is a FIFO": info_is("fifo"),
    "info file is a directory": info_is("dir"),
    "info file is a dangling link": info_is("dangling link"),
    "disk-information file is a FIFO": disk_info_is("fifo"),
    "disk-information file is a directory": disk_info_is("dir"),
    "move marker is a FIFO": marker_is("fifo"),
    "move marker is a directory": marker_is("dir"),
    "lm_dump is a FIFO": source_is("lm_dump", "fifo"),
    "cm_dump is a directory": source_is("cm_dump", "dir"),
    "em_dump is a dangling link": source_is("em_dump", "dangling link"),
    "te_log is a FIFO": source_is("te_log", "fifo"),
    "a FIFO where a resumed move writes": fifo_at_destination(),
    "link directory with shell metacharacters": path_with_metacharacters("links"),
    "final dump directory with shell metacharacters": path_with_metacharacters("final"),
    "NUL byte before the link directory": nul_byte_in_link_directory(),
    "CRLF line ends in the info file": crlf_line_ends(),
    "numbers beyond 32 bits": numbers_beyond_32_bits(),
    "foreign name beyond 32 bits": foreign_name_beyond_32_bits(),
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
    assert gunzip(board.final / "lm_2-1.gz") == chip2["lm_dump"]
    assert (board.final / "te_2-1.log").read_bytes() == chip2["te_log"]
    outcome(board, run)
