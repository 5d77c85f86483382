"""The whole job against zlib and a gzip -1 script, with peak memory.

Five chips, each with three dumps (64 MiB, or ZOL_BENCH_DUMP_MIB) and a 4 MiB
trace log, moved by the program in its sandbox, side by side (interleaved
rounds) with a shell script doing the same with gzip -1, ln -s and mv, and with
a bare zlib loop over the same bytes. Then a board without dumps (program vs.
an empty program with the same libraries), and peak memory for one 8 MiB dump
vs. one of eight times the dump size. Figures only: nothing is asserted.

Usage: whole_job.py PROGRAM EMPTYPROGRAM
"""

import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools" / "board"))
import sandbox  # noqa: E402

MiB = 1 << 20
ROUNDS = 3
CHIPS = range(1, 6)
SOURCES = {"lm_dump": ("lm", ".gz"), "cm_dump": ("cm", ".gz"), "em_dump": ("em", ".gz"), "te_log": ("te", ".log")}
TRACE_LOG_SIZE = 4 * MiB
CHUNK = 65536  # compressFile's buffers


def generate(path, size, seed):
    """Dump-like data: zero pages, register dumps, repeated log records and random bytes."""
    rng = random.Random(seed)
    with open(path, "wb") as out:
        while out.tell() < size:
            words = rng.randbytes(8 * 48).hex()
            registers = "".join(f"REG r{i:02d}=0x{words[16 * i:16 * i + 8]} SP=0x{words[16 * i + 8:16 * i + 16]}\n"
                                for i in range(48))
            record = f"[{rng.randrange(10**8):08d}] l1sched: slot {rng.randrange(20)} tti {rng.randrange(65536)}\n"
            block = bytes(4096) + (registers + record * 8).encode() + rng.randbytes(2048)
            out.write(block[:size - out.tell()])


def generate_all(cache, dump_size):
    cache.mkdir(parents=True)
    for mosa in CHIPS:
        for i, source in enumerate(SOURCES):
            generate(cache / f"{mosa}-{source}", dump_size if source != "te_log" else TRACE_LOG_SIZE, mosa * 10 + i)


def peak_kib(stderr):
    m = re.search(r"PEAK (\d+)", stderr)
    return int(m.group(1)) if m else -1


def on_fresh_board(base, cache, program, daemon, job):
    """Lays out the five chips and times job(board). Persistent memory on a
    board is RAM-backed: the waiting dumps live in /dev/shm here, not on the
    disk that receives the final dump directory."""
    pmem = Path(tempfile.mkdtemp(prefix="zol-pmem-", dir="/dev/shm"))
    board = sandbox.Board(base, program, pmem=pmem, lttng=daemon)
    try:
        for mosa in CHIPS:
            area = board.chip(mosa, info=(f"{board.links}/", "3"), disk_info=(f"{board.final}/", str(2**31 - 1)))
            for source in SOURCES:
                shutil.copyfile(cache / f"{mosa}-{source}", area / source)
        subprocess.run(["sync"], check=True)
        start = time.monotonic()
        result = job(board)
        elapsed = time.monotonic() - start
        return elapsed, sum(f.stat().st_size for f in board.final.glob("*.gz")), result
    finally:
        board.close()
        shutil.rmtree(pmem)
        shutil.rmtree(base)


def run_program(board):
    run = board.run(wrapper=["/usr/bin/time", "-f", "PEAK %M"])
    assert run.returncode == 0 and len(list(board.final.iterdir())) == 20, run.messages()
    return peak_kib(run.stderr)


def run_shell(board):
    board.links.mkdir()
    lines = ["set -e"]
    for mosa in CHIPS:
        area = board.area(mosa)
        for source, (kind, ext) in SOURCES.items():
            name, second = f"{kind}_{mosa}-1{ext}", f"{kind}_{mosa * 256}-1{ext}"
            if kind == "te":
                lines.append(f"mv {area}/{source} {board.final}/{name}")
            else:
                lines.append(f"gzip -1 -c {area}/{source} > {board.final}/{name} && sync {board.final}/{name} "
                             f"&& rm {area}/{source}")
            lines.append(f"ln -s ../final/{name} {board.links}/{name} && ln -s ../final/{name} {board.links}/{second}")
    subprocess.run(["sh", "-c", "\n".join(lines)], check=True)


def run_zlib_loop(board):
    """compressFile's parameters and buffer size with nothing around them: the
    dumps only, each compressed, synchronised and removed."""
    for mosa in CHIPS:
        for source in ("lm_dump", "cm_dump", "em_dump"):
            path = board.area(mosa) / source
            stream = zlib.compressobj(1, zlib.DEFLATED, 16 + 11, 7, zlib.Z_FILTERED)
            with open(path, "rb", buffering=0) as src, open(board.final / f"{mosa}-{source}.gz", "wb") as out:
                while chunk := src.read(CHUNK):
                    out.write(stream.compress(chunk))
                out.write(stream.flush())
                out.flush()
                os.fsync(out.fileno())
            path.unlink()


_TIMING_SCRIPT = """
import os, statistics, subprocess, sys, time
rounds, binaries = int(sys.argv[1]), sys.argv[2:]
env = {k: v for k, v in os.environ.items() if k != "APP_TMP"}
times = {b: [] for b in binaries}
for _ in range(rounds):
    for b in binaries:
        start = time.monotonic()
        subprocess.run([b], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times[b].append(time.monotonic() - start)
print(" ".join(str(statistics.median(times[b])) for b in binaries))
"""


def boot_time(daemon, program, empty, rounds=41):
    """Both programs started, interleaved, inside the board's world: its own
    session daemon running (LTTng-UST registers with it at start-up) and no
    /run/pmem."""
    out = subprocess.run(daemon.command(sys.executable, "-c", _TIMING_SCRIPT, str(rounds), program, empty),
                         check=True, capture_output=True, text=True)
    ours, floor = (float(x) for x in out.stdout.split())
    return ours, floor


def memory_for(daemon, program, base, size):
    board = sandbox.Board(base, program, lttng=daemon)
    area = board.chip(1, info=(f"{board.links}/", "3"), disk_info=(f"{board.final}/", str(2**31 - 1)))
    generate(area / "lm_dump", size, 7)
    run = board.run(wrapper=["/usr/bin/time", "-f", "PEAK %M"])
    board.close()
    return peak_kib(run.stderr)


def main():
    program, empty = (str(Path(p).resolve()) for p in sys.argv[1:3])
    dump_mib = int(os.environ.get("ZOL_BENCH_DUMP_MIB", "64"))
    work = Path(tempfile.mkdtemp(prefix="zol-whole-", dir="/var/tmp"))
    daemon = sandbox.PrivateLttng(work / "lttng").start()  # the board has one
    try:
        cache = work / "cache"
        generate_all(cache, dump_mib * MiB)
        jobs = {"program": run_program, "gzip -1 script": run_shell, "bare zlib loop": run_zlib_loop}
        runs = {name: [] for name in jobs}
        for _ in range(ROUNDS):
            for name, job in jobs.items():
                runs[name].append(on_fresh_board(work / "board", cache, program, daemon, job))
        dumps = len(CHIPS) * 3 * dump_mib
        print(f"whole job: 5 chips x (3 x {dump_mib} MiB dumps + 4 MiB trace log), median of {ROUNDS} interleaved "
              f"rounds; MiB/s of dumps")
        medians = {name: statistics.median(seconds for seconds, _, _ in r) for name, r in runs.items()}
        for name, value in medians.items():
            print(f"  {name:16} {value:7.2f} s {dumps / value:7.1f} MiB/s, dumps compressed {dumps} -> "
                  f"{runs[name][-1][1] / MiB:.1f} MiB")
        print(f"  program / bare zlib loop: {medians['program'] / medians['bare zlib loop']:.3f}  (target <= 1.05)")
        print(f"  program / gzip -1 script: {medians['program'] / medians['gzip -1 script']:.3f}  (target < 1)")
        print(f"  program peak RSS: {max(peak for _, _, peak in runs['program'])} KiB")

        ours, floor = boot_time(daemon, program, empty)
        print(f"board without dumps: program {ours * 1000:.2f} ms, empty program with the same libraries "
              f"{floor * 1000:.2f} ms, ratio {ours / floor:.3f} (target <= 1.2)")

        small = memory_for(daemon, program, work / "m-small", 8 * MiB)
        large = memory_for(daemon, program, work / "m-large", 8 * dump_mib * MiB)
        print(f"peak RSS of the whole job: 8 MiB dump {small} KiB, {8 * dump_mib} MiB dump {large} KiB, "
              f"ratio {large / small:.3f} (target within 5 %)")
    finally:
        daemon.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
