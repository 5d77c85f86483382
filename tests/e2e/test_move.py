"""Moving a chip's dumps: what ends up where, what it traces, and what every failure leaves."""

import os
from pathlib import Path

import pytest

from dumps import chip_dumps
from moves import MARKER, check_stored, final_name

# Every syslog line, then every event, of the whole move below, each in its order.
WHOLE_MOVE = Path(__file__).with_name("whole_move.expected")


@pytest.mark.fullmove
def test_whole_move_traces_every_line_in_order_at_the_most_verbose_level(board):
    """Chip 1: the retention deletes set 1 and its dead links, keeps set 2, then a new set; chip 2:
    MaxNumberOfDumps 0 (letters) discards; chip 3: a cut move resumed; chip 4: no dumps; chip 5: no dump count."""
    dumps = {1: chip_dumps(1, 300_000), 3: {"lm_dump": b"chip 3's lm" * 99}}
    board.chip(1, dumps=dumps[1], info=(f"{board.links}/", "2"))
    board.chip(2, dumps=chip_dumps(2, 1000), info=(f"{board.links}/", "none"))
    (board.chip(3, dumps=dumps[3], info=(f"{board.links}/", "1")) / MARKER).write_text("9\n")
    (board.chip(4) / MARKER).write_text("5\n")
    board.chip(5, dumps={"em_dump": b"em"}, info=f"{board.links}/\n")
    old = ["cm_1-2.gz", "em_1-2.gz", "lm_1-2.gz", "te_1-2.log", "lm_3-2.gz"]
    for name in old + ["lm_1-1.gz"]:
        (board.final / name).write_text(name)
    board.links.mkdir()
    for link in ("lm_1-1.gz", "lm_256-1.gz"):
        (board.links / link).symlink_to("../final/lm_1-1.gz")

    run = board.run(trace=True, loglevel="TRACE_DEBUG_LINE")

    assert run.returncode == 0
    expected = [line[:-1].split(" ", 2) for line in WHOLE_MOVE.read_text().splitlines() if not line.startswith("#")]
    assert [(t.kind, t.mosa_id, t.msg) for t in run.syslog + run.events] == [
        (kind, int(mosa), msg.replace("BASE", str(board.base))[:255]) for kind, mosa, msg in expected]
    for mosa, seq in ((1, 3), (3, 9)):
        assert check_stored(board, mosa, seq, dumps[mosa]) == []
    stored = [final_name(source, mosa, seq) for mosa, seq in ((1, 3), (3, 9)) for source in dumps[mosa]]
    assert sorted(os.listdir(board.final)) == sorted(old + stored)
    assert len(os.listdir(board.links)) == 10, "set 1's links are dead and gone"
    assert [sorted(os.listdir(board.area(mosa))) for mosa in range(1, 6)] == [["info.txt"]] * 3 + [
        [MARKER, "info.txt"], ["em_dump", "info.txt"]]


@pytest.mark.fullmove
def test_stray_name_with_an_underscore_runs_a_move_that_stores_nothing(board):
    area = board.chip(3, dumps={"notes_from_modem": b"x"}, info=(f"{board.links}/", "1"))
    (board.final / "lm_3-9.gz").write_text("old set")
    (board.final / "notes").write_text("not a dump")
    (board.links / "below").mkdir(parents=True)
    (board.links / "below" / "lm_3-9.gz").symlink_to("../../final/lm_3-9.gz")
    (board.links / "below" / "notes").symlink_to("../../final/notes")
    run = board.run()
    assert run.returncode == 0 and run.messages("error") == []
    assert sorted(os.listdir(area)) == ["info.txt", "notes_from_modem"]
    assert os.listdir(board.final) == ["notes"], "MaxNumberOfDumps 1 keeps no old set, and nothing is stored"
    assert [p.name for p in board.links.rglob("*") if p.is_symlink()] == ["notes"], "dead links, and only they, go"


@pytest.mark.fullmove
def test_existing_links_fail_the_link_commands_but_keep_the_files(board):
    board.links.mkdir()
    (board.links / "lm_1-1.gz").write_text("in the way")
    (board.links / "te_256-1.log").write_text("in the way")
    dumps = {"lm_dump": b"lm" * 500, "te_log": b"te\n"}
    area = board.chip(1, dumps=dumps)
    run = board.run()
    errors = run.messages("error")
    # (a long link path may cut the command's trace short of its return code)
    assert errors[1] == "Failed to move lm dumps" and errors[0].startswith("Failed to execute command ln -s ")
    assert errors[3:] == ["Failed to move dumped trace log",
                          "Failed to remove old dump file /run/pmem/zol/mosa1/te_log"]
    assert check_stored(board, 1, 1, dumps) == [  # both files whole; missing: the links in the way, and one after
        "link lost: lm_1-1.gz", "link lost: lm_256-1.gz", "link lost: te_256-1.log"]
    assert sorted(p.name for p in area.iterdir()) == ["info.txt"]


def test_unlistable_final_dump_directory_is_fatal(board):
    board.chip(1, dumps={"lm_dump": b"x"}, disk_info=(f"{board.base}/missing/", "100"))
    board.chip(2, dumps={"lm_dump": b"x"})
    run = board.run()
    assert run.returncode != 0
    assert [(t.kind, t.mosa_id) for t in run.syslog][-1] == ("fatal", 1)
    assert run.syslog[-1].msg == f"opendir {board.base}/missing/ failed. errno = No such file or directory"
    assert (board.area(2) / "lm_dump").exists()
