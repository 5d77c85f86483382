"""A full final dump directory and failing storage (power cuts: test_crash.py)."""

import random
import re

import pytest

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


@pytest.mark.parametrize("error", ["EIO", "EINVAL", None])
def test_synchronisation_failures_are_traced_by_path_and_the_move_completes(board, error):
    """The final dump directory is named through a soft link; with EINVAL
    (a file system that cannot synchronise) only the compressed files'
    own trace remains, and without a fault nothing is traced."""
    dumps = chip_dumps(4, 50_000)
    real_final = board.base / "real-final"
    real_final.mkdir()
    (board.base / "final-link").symlink_to(real_final)
    board.chip(4, dumps=dumps, disk_info=(f"{board.base}/final-link/", str(1 << 30)))
    wrapper = ["strace", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e", f"inject=fsync:error={error}"]
    run = board.run(wrapper=wrapper if error else None)
    assert run.returncode == 0
    errors = run.messages("error")
    assert errors.count("fsync returned error") == (3 if error else 0), errors
    synced = [re.fullmatch(r"Failed to synchronise (.+) to storage, errno = Input/output error", e)
              for e in errors if e != "fsync returned error"]
    assert all(synced), errors
    area = "/run/pmem/zol/mosa4"
    final = f"{board.base}/final-link"
    assert {m.group(1) for m in synced} == ({
        f"{area}/dumpMoveStarted.txt.new", f"{area}/.dumpMoveStored.new",
        str(board.links), str(board.base), f"{board.links}/",
        final, f"{final}/te_4-1.log"} if error == "EIO" else set())
    for kind in ("lm", "cm", "em"):
        assert gunzip(real_final / f"{kind}_4-1.gz") == dumps[f"{kind}_dump"]
