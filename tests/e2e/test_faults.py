"""A full final dump directory and failing storage (power cuts: test_power_cut.py)."""

import random

from dumps import chip_dumps, gunzip


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
        assert gunzip(board.final / f"{kind}_4-1.gz") == dumps[f"{kind}_dump"]
