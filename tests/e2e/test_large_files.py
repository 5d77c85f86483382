"""A file beyond 2 GiB, which a 32-bit board reads only with large-file
support; the retention of old files beyond 4 GiB is in the unit tests. A
sparse file keeps it cheap."""

import gzip
import os

SIZE = (2 << 30) + 4096


def test_waiting_dump_over_2_gib_is_compressed_and_moved(board):
    area = board.chip(1, dumps={"lm_dump": b""})
    os.truncate(area / "lm_dump", SIZE)
    run = board.run()
    assert run.returncode == 0 and run.messages("error") == []
    restored = 0
    with gzip.open(board.final / "lm_1-1.gz") as f:  # checks the trailer's CRC-32 and length at the end
        while chunk := f.read(1 << 24):
            assert not chunk.strip(b"\0"), "restored bytes differ"
            restored += len(chunk)
    assert restored == SIZE
    assert os.listdir(area) == ["info.txt"]
