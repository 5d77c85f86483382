"""Moving a chip's dumps: what ends up where, and what every failure leaves."""

import os

import pytest

from dumps import chip_dumps, gunzip
from moves import final_name


def assert_moved(board, mosa, seq, dumps):
    """Every dump is in the final dump directory under its name, restores to
    its bytes, and both links resolve to it."""
    for source, data in dumps.items():
        path = board.final / final_name(source, mosa, seq)
        assert (gunzip(path) if source != "te_log" else path.read_bytes()) == data, path
        for factor in (1, 256):
            link = board.links / final_name(source, mosa, seq, factor)
            assert os.path.realpath(link) == str(path), link
            assert not os.readlink(link).startswith("/"), "targets are relative where the paths share a part"
        assert not (board.area(mosa) / source).exists()
    assert not (board.area(mosa) / "dumpMoveStarted.txt").exists()
    assert (board.area(mosa) / "info.txt").exists()


@pytest.mark.fullmove
def test_full_move_of_several_chips(board):
    all_dumps = {mosa: chip_dumps(mosa, 300_000) for mosa in (1, 2, 5)}
    for mosa, dumps in all_dumps.items():
        board.chip(mosa, dumps=dumps)
    (board.final / "lm_2-6.gz").write_bytes(b"an older set of chip 2")
    run = board.run(trace=True)
    assert run.returncode == 0
    assert [t.kind for t in run.syslog] == ["syslog"] * 7, run.messages()
    assert [t.msg for t in run.syslog if t.msg.startswith("Will")] == [
        "Will handle dumps for mosa: 1 ", "Will handle dumps for mosa: 2 ", "Will handle dumps for mosa: 5 "]
    assert_moved(board, 1, 1, all_dumps[1])
    assert_moved(board, 2, 7, all_dumps[2])
    assert_moved(board, 5, 1, all_dumps[5])
    created = [e.msg for e in run.events if e.msg.startswith("Created dumpfile")]
    assert created == [f"Created dumpfile {board.final}/{k}_{m}-{s}.gz"
                       for m, s in ((1, 1), (2, 7), (5, 1)) for k in ("lm", "cm", "em")]


@pytest.mark.fullmove
def test_zero_dumps_allowed_discards_the_dumps(board):
    area = board.chip(1, dumps=chip_dumps(1, 1000), info=(f"{board.links}/", "none"))
    run = board.run()
    assert [t.kind for t in run.syslog] == ["syslog"] * 3
    assert [p.name for p in area.iterdir()] == ["info.txt"]
    assert list(board.final.iterdir()) == [] and list(board.links.iterdir()) == []


@pytest.mark.fullmove
def test_move_marker_life_cycle(board):
    area = board.chip(3, dumps={})
    (area / "dumpMoveStarted.txt").write_text("9\n")
    run = board.run(trace=True)
    assert " No dump file to move" in run.messages("UrdaFuncDebugEvent")
    assert (area / "dumpMoveStarted.txt").read_text() == "9\n"

    # With dumps the marker's number is reused and no retention runs.
    (board.final / "lm_3-2.gz").write_bytes(b"old set, kept")
    dumps = chip_dumps(3, 5000)
    board.chip(3, dumps=dumps, info=(f"{board.links}/", "1"))
    run = board.run(trace=True)
    assert "Dump move was interrupted, try again with seqNr 9" in run.messages("UrdaFuncDebugEvent")
    assert not any(m.startswith("Will delete") for m in run.messages())
    assert_moved(board, 3, 9, dumps)
    assert (board.final / "lm_3-2.gz").exists()


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
    assert gunzip(board.final / "lm_1-1.gz") == dumps["lm_dump"]
    assert (board.final / "te_1-1.log").read_bytes() == dumps["te_log"]
    assert os.readlink(board.links / "te_1-1.log") == "../final/te_1-1.log"
    assert sorted(p.name for p in area.iterdir()) == ["info.txt"]


def test_unlistable_final_dump_directory_is_fatal(board):
    board.chip(1, dumps={"lm_dump": b"x"}, disk_info=(f"{board.base}/missing/", "100"))
    board.chip(2, dumps={"lm_dump": b"x"})
    run = board.run()
    assert run.returncode != 0
    assert [(t.kind, t.mosa_id) for t in run.syslog][-1] == ("fatal", 1)
    assert run.syslog[-1].msg == f"opendir {board.base}/missing/ failed. errno = No such file or directory"
    assert (board.area(2) / "lm_dump").exists()
