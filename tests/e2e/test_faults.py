"""Power cuts, a full final dump directory and failing storage."""

import gzip
import random

import pytest

from dumps import chip_dumps

MARKER = "dumpMoveStarted.txt"


def strace_injecting(syscall, action, when):
    return ["strace", "-qq", "-o", "/dev/null", "-e", f"trace={syscall}", "-e", f"inject={syscall}:{action}:when={when}"]


def restored(path):
    data = path.read_bytes()
    return gzip.decompress(data) if path.suffix == ".gz" else data


# Points of a move at which the power goes: the marker's write, the writes of
# a compressed dump, each source removal (after compressing and linking) and
# the marker's removal, and while a link command runs.
CUT_POINTS = [("write", 1), ("write", 2), ("write", 4), ("rename", 1), ("unlink", 1), ("unlink", 2),
              ("unlink", 3), ("unlink", 4), ("wait4", 1), ("wait4", 4)]


@pytest.mark.parametrize("syscall,when", CUT_POINTS)
def test_power_cut_then_restart_loses_no_dump(board, syscall, when):
    dumps = chip_dumps(2, 400_000)
    area = board.chip(2, dumps=dumps, info=(f"{board.links}/", "2"))
    for seq in (3, 4):
        (board.final / f"lm_2-{seq}.gz").write_bytes(gzip.compress(b"old"))

    cut = board.run(wrapper=strace_injecting(syscall, "signal=KILL", when), unshare_pid=True)
    assert cut.returncode == 128 + 9, cut.stderr
    assert "Cold restart dump handler is DONE" not in cut.messages()
    marker = (area / MARKER).read_text() if (area / MARKER).exists() else None

    again = board.run(trace=True)
    assert again.returncode == 0
    interrupted = [m for m in again.messages() if m.startswith("Dump move was interrupted")]
    if marker is not None:
        assert marker == "5\n"
        assert interrupted == ["Dump move was interrupted, try again with seqNr 5"]
    else:
        assert interrupted == []
    for source, data in dumps.items():
        kind = source[:2]
        ext = ".log" if kind == "te" else ".gz"
        assert restored(board.final / f"{kind}_2-5{ext}") == data, source
        assert not (area / source).exists()
    assert not (area / MARKER).exists()
    assert sorted(p.name for p in board.final.iterdir() if p.name.startswith("lm_")) == ["lm_2-4.gz", "lm_2-5.gz"]


def test_full_final_dump_directory_is_reported_and_other_chips_go_on(board):
    small = board.base / "small"
    small.mkdir()
    incompressible = random.Random(7).randbytes(600_000)
    board.chip(1, dumps={"lm_dump": incompressible}, disk_info=(f"{small}/", str(1 << 30)))
    board.chip(2, dumps=chip_dumps(2, 10_000))
    run = board.run(mounts=[(256 * 1024, small)])
    assert run.returncode == 0
    errors = run.messages("error")
    assert errors[:2] == ["fwrite failed", "Failed to stream compressing dsp dump /run/pmem/zol/mosa1/lm_dump"]
    assert len(errors) == 2
    assert (board.final / "cm_2-1.gz").exists()


def test_failing_fsync_is_traced_and_the_move_completes(board):
    dumps = chip_dumps(4, 50_000)
    board.chip(4, dumps=dumps)
    run = board.run(wrapper=["strace", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e", "inject=fsync:error=EIO"])
    assert run.returncode == 0
    # Every stored file, the final dump directory, the link directory and the
    # link directory's new ancestors: each failure traced, none stops the move.
    errors = run.messages("error")
    assert set(errors) == {"fsync returned error"} and len(errors) >= 12, errors
    for kind in ("lm", "cm", "em"):
        assert restored(board.final / f"{kind}_4-1.gz") == dumps[f"{kind}_dump"]
