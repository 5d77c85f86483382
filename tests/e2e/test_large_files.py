"""A file beyond 2 GiB, which a 32-bit board reads only with large-file
support; the retention of old files beyond 4 GiB is in the unit tests. A
sparse file keeps it cheap."""

import gzip

GiB = 1 << 30


def gunzipped_size_if_all_zero(path):
    size = 0
    with gzip.open(path) as f:  # checks the trailer's CRC-32 and length at the end
        while chunk := f.read(1 << 24):
            assert not chunk.strip(b"\0"), "restored bytes differ"
            size += len(chunk)
    return size


def test_waiting_dump_over_2_gib_is_compressed_and_moved(board):
    area = board.chip(1, dumps={})
    with open(area / "lm_dump", "wb") as f:
        f.truncate(2 * GiB + 4096)
    run = board.run()
    assert run.returncode == 0 and run.messages("error") == []
    assert gunzipped_size_if_all_zero(board.final / "lm_1-1.gz") == 2 * GiB + 4096
    assert not (area / "lm_dump").exists()

