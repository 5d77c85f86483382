"""Demo board: three chips left crash dumps in persistent memory before a cold
restart; the dump handler moves them into the final dump directory.

Usage: demo.py PROGRAM [--keep]   (--keep leaves the board's directories for inspection)
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools" / "board"))
import sandbox  # noqa: E402
from dumps import chip_dumps  # noqa: E402

MiB = 1 << 20


def show_tree(title, *dirs):
    print(f"\n--- {title}")
    for d in dirs:
        subprocess.run(["tree", "-a", "-s", "--noreport", str(d)], check=False)


def main():
    # tree writes straight to the descriptor: each of our lines must be out
    # before it, also when the output goes to a file or a pipe.
    sys.stdout.reconfigure(line_buffering=True)
    program = Path(sys.argv[1]).resolve()
    keep = sys.argv[2:] == ["--keep"]
    base = Path(tempfile.mkdtemp(prefix="zol-demo-"))
    daemon = sandbox.PrivateLttng(base / "lttng")
    try:
        daemon.start()
        tracing = True
    except (OSError, RuntimeError):
        daemon, tracing = None, False
    board = sandbox.Board(base, program, lttng=daemon)
    try:
        # Chips 1, 2 and 4 crashed; chip 2 already has two older dump sets.
        waiting = 0
        for mosa, size in ((1, 6 * MiB), (2, 4 * MiB), (4, 8 * MiB)):
            files = chip_dumps(mosa, size, seed=2026)
            waiting += sum(len(data) for name, data in files.items() if name != "te_log")
            board.chip(mosa, dumps=files, info=(f"{board.links}/", "2"), disk_info=(f"{board.final}/", str(256 * MiB)))
        board.links.mkdir(exist_ok=True)
        for seq in (6, 7):
            for kind in ("lm", "cm", "te"):
                name = f"{kind}_2-{seq}.{'log' if kind == 'te' else 'gz'}"
                (board.final / name).write_bytes(os.urandom(64 * 1024))
                os.symlink(f"../final/{name}", board.links / name)

        show_tree("Before: intermediate dump areas (persistent memory)", board.zol)
        show_tree("Before: final dump directory and link directory", board.final, board.links)
        older = set(board.final.iterdir())

        start = time.monotonic()
        run = board.run(trace=tracing, loglevel="TRACE_DEBUG_LINE")
        elapsed = time.monotonic() - start

        show_tree("After: intermediate dump areas", board.zol)
        show_tree("After: final dump directory and link directory", board.final, board.links)

        print("\n--- syslog lines (priority, file:line, mosaId, message)")
        for t in run.syslog:
            print(f"<{t.priority}> {t.kind:7} {t.file}:{t.line} mosaId={t.mosa_id} {t.msg}")
        if tracing:
            print("\n--- LTTng debug events of com_quorvel_zol_urdadumphdl")
            for e in run.events:
                print(f"{e.kind:18} {e.file}:{e.line} mosaId={e.mosa_id} {e.msg}")
        else:
            print("\n(no LTTng session daemon could be started: debug events not recorded)")

        # The dumps are compressed; the trace logs are moved as they are.
        moved = [p for p in board.final.iterdir() if p not in older]
        compressed = sum(p.stat().st_size for p in moved if p.suffix == ".gz")
        logs = sum(p.stat().st_size for p in moved if p.suffix == ".log")
        print("\n--- summary")
        print(f"exit status: {run.returncode}")
        print(f"dumps (lm, cm, em): {waiting / MiB:.1f} MiB waiting, {compressed / MiB:.1f} MiB compressed "
              f"(compression ratio {waiting / max(compressed, 1):.2f})")
        print(f"trace logs (te): {logs / MiB:.1f} MiB moved unchanged")
        print(f"time taken (sandbox and tracing included): {elapsed:.2f} s")
    finally:
        board.close()
        if daemon:
            daemon.stop()
        if keep:
            print(f"board kept for inspection in {base}")
        else:
            shutil.rmtree(base)
            print("board removed (scripts/demo.sh --keep keeps it)")


if __name__ == "__main__":
    main()
