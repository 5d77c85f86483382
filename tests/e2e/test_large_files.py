"""Files beyond 2 and 4 GiB, which a 32-bit board sees only with large-file
support. Sparse files keep them cheap."""

import zlib

GiB = 1 << 30


def gunzipped_size_if_all_zero(path):
    inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
    size = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            data = inflater.decompress(chunk)
            assert not data.strip(b"\0"), "restored bytes differ"
            size += len(data)
    assert inflater.eof
    return size


def test_waiting_dump_over_2_gib_is_compressed_and_moved(board):
    area = board.chip(1, dumps={})
    with open(area / "lm_dump", "wb") as f:
        f.truncate(2 * GiB + 4096)
    run = board.run()
    assert run.returncode == 0 and run.messages("error") == []
    assert gunzipped_size_if_all_zero(board.final / "lm_1-1.gz") == 2 * GiB + 4096
    assert not (area / "lm_dump").exists()


def test_old_5_gib_dump_counts_as_over_any_budget_and_is_deleted(board):
    with open(board.final / "em_2-4.gz", "wb") as f:
        f.truncate(5 * GiB)  # wrapped to 32 bits it would look like 1 GiB
    (board.final / "te_2-4.log").write_bytes(b"old trace\n")
    board.chip(2, dumps={"te_log": b"new trace\n"}, disk_info=(f"{board.final}/", str(2 * GiB)))
    run = board.run()
    assert run.returncode == 0 and run.messages("error") == []
    assert sorted(p.name for p in board.final.iterdir()) == ["te_2-5.log"]
