"""Start-up, dump area resolution and the trace sinks, as a board sees them."""

import os

DONE = "Cold restart dump handler is DONE"


def test_primary_root_wins_and_only_existing_chips_are_handled(board, tmp_path):
    fallback = tmp_path / "apptmp"
    for mosa in range(0, 7):
        (fallback / f"mosa{mosa}").mkdir(parents=True)
    board.chip(3, info=False, disk_info=False)
    (board.zol / "mosa6").mkdir()
    (board.zol / "mosa0").mkdir()
    (board.zol / "mosa4").write_text("a file, not an area")
    run = board.run(env={"APP_TMP": str(fallback)})
    assert run.returncode == 0
    # Chips without an area are passed over, as on a board with none at all.
    assert [(t.kind, t.mosa_id, t.msg, t.priority) for t in run.syslog] == [
        ("syslog", 3, "Intermediate dump path for mosa 3 is : /run/pmem/zol/mosa3/", 14),
        ("syslog", 3, "Will handle dumps for mosa: 3 ", 14),
        ("syslog", 5, DONE, 14)]
    assert run.syslog[-1].file == "zolUrdaColdRestartDumpHandler.cpp"


def test_fallback_root_is_used_only_when_the_primary_root_is_not_a_directory(board, tmp_path):
    board.zol.rmdir()
    board.zol.write_text("not a directory")
    fallback = tmp_path / "app%stmp"  # a '%s' in a path is written literally
    (fallback / "mosa2").mkdir(parents=True)
    (fallback / "real").mkdir()
    os.symlink(fallback / "real", fallback / "mosa5")
    run = board.run(env={"APP_TMP": f"{fallback}/"})
    assert [t.msg for t in run.syslog if t.msg.startswith("Intermediate")] == [
        f"Intermediate dump path for mosa 2 is : {fallback}//mosa2/",
        f"Intermediate dump path for mosa 5 is : {fallback}//mosa5/"]

    for env in ({}, {"APP_TMP": ""}):
        assert [t.msg for t in board.run(env=env).syslog] == [DONE]


def test_long_messages_are_cut_to_255_characters_in_both_sinks(board, tmp_path):
    board.zol.rmdir()
    deep = tmp_path / ("d" * 200) / ("e" * 60)
    links = f"{tmp_path}/{'l' * 240}/"
    board.chip(1, dumps={"cm_dump": b"x"}, info=(links, "2"), root=deep)
    run = board.run(env={"APP_TMP": str(deep)}, trace=True)
    assert run.syslog[0].msg == f"Intermediate dump path for mosa 1 is : {deep}/mosa1/"[:255]
    dump_path = [e.msg for e in run.events if e.msg.startswith("DumpPath: ")]
    assert dump_path == [f"DumpPath: {links} , MaxNumberOfDumps: 2 maxDiskSpace : 1073741824 , "
                         f"finalDumpFilePath: {board.final}/"[:255]]


def test_a_session_at_function_level_records_no_line_events(board):
    """At the most verbose level, every event is in the whole move's list (test_move.py)."""
    board.chip(2, dumps={"cm_dump": b"cm" * 1000, "te_log": b"log\n"})
    events = board.run(trace=True, loglevel="TRACE_DEBUG_FUNCTION").events
    assert {e.kind for e in events} == {"UrdaFuncDebugEvent"}
    assert all(e.file == "zolUrdaDumpHandler_common.cpp" and e.mosa_id == 2 for e in events)
