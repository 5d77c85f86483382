"""A full final dump directory and failing storage (power cuts: test_crash.py)."""

import random

import pytest

from dumps import chip_dumps
from moves import check_stored


def test_full_final_dump_directory_is_reported_and_other_chips_go_on(board):
    small = board.base / "small"
    small.mkdir()
    incompressible = random.Random(7).randbytes(600_000)
    board.chip(1, dumps={"lm_dump": incompressible}, disk_info=(f"{small}/", str(1 << 30)))
    chip2 = chip_dumps(2, 10_000)
    board.chip(2, dumps=chip2)
    run = board.run(mounts=[(256 * 1024, small)])
    assert run.returncode == 0
    assert run.messages("error") == ["fwrite failed",
                                     "Failed to stream compressing dsp dump /run/pmem/zol/mosa1/lm_dump"]
    assert check_stored(board, 2, 1, chip2) == []


@pytest.mark.parametrize("error", ["EIO", "EINVAL", None])
def test_synchronisation_failures_are_traced_by_path_and_the_move_completes(board, error):
    """The final dump directory is named through a soft link; with EINVAL
    (a file system that cannot synchronise) only the compressed files'
    own trace remains, and without a fault nothing is traced."""
    dumps = chip_dumps(4, 50_000)
    (board.base / "final-link").symlink_to(board.final)
    board.chip(4, dumps=dumps, disk_info=(f"{board.base}/final-link/", str(1 << 30)))
    wrapper = ["strace", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e", f"inject=fsync:error={error}"]
    run = board.run(wrapper=wrapper if error else None)
    assert run.returncode == 0
    area, final = "/run/pmem/zol/mosa4", f"{board.base}/final-link"
    unsynchronised = [f"{area}/dumpMoveStarted.txt.new", f"{area}/.dumpMoveStored.new", str(board.links),
                      str(board.base), f"{board.links}/", final, f"{final}/te_4-1.log"] if error == "EIO" else []
    errors = run.messages("error")
    assert errors.count("fsync returned error") == (3 if error else 0), errors
    assert set(errors) - {"fsync returned error"} == {
        f"Failed to synchronise {path} to storage, errno = Input/output error" for path in unsynchronised}
    assert check_stored(board, 4, 1, dumps) == []
