"""The whole job: five chips, each with three 64 MiB dumps and a trace log,
moved by the program in its sandbox, side by side (interleaved rounds) with a
shell script doing the same with gzip -1, ln -s and mv, and with a bare zlib
loop over the same bytes. Then a board without dumps (program vs. an empty
program with the same libraries), and peak memory for 8 vs. 512 MiB dumps.

Usage: whole_job.py PROGRAM ZOLBENCH EMPTYPROGRAM
"""

import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools" / "board"))
import sandbox  # noqa: E402

MiB = 1 << 20
ROUNDS = 3
CHIPS = range(1, 6)
SOURCES = {"lm_dump": ("lm", ".gz"), "cm_dump": ("cm", ".gz"), "em_dump": ("em", ".gz"), "te_log": ("te", ".log")}


def generate(zolbench, cache, dump_size):
    cache.mkdir(parents=True, exist_ok=True)
    for mosa in CHIPS:
        for i, source in enumerate(SOURCES):
            path = cache / f"{mosa}-{source}"
            size = dump_size if source != "te_log" else 4 * MiB
            if not path.exists():
                subprocess.run([zolbench, "generate", str(path), str(size), str(mosa * 10 + i)], check=True)


def lay_out(board, cache):
    for mosa in CHIPS:
        area = board.chip(mosa, info=(f"{board.links}/", "3"), disk_info=(f"{board.final}/", str(2**31 - 1)))
        for source in SOURCES:
            shutil.copyfile(cache / f"{mosa}-{source}", area / source)
    subprocess.run(["sync"], check=True)


def peak_kib(stderr):
    m = re.search(r"PEAK (\d+)", stderr)
    return int(m.group(1)) if m else -1


def ram_dir(name):
    """Persistent memory on a board is RAM-backed: the waiting dumps live in
    memory there, not on the flash that receives the final dump directory."""
    path = Path(tempfile.mkdtemp(prefix=f"zol-{name}-", dir="/dev/shm"))
    return path


def run_program(daemon, program, base, cache):
    pmem = ram_dir("pmem")
    board = sandbox.Board(base, program, pmem=pmem, lttng=daemon)
    lay_out(board, cache)
    start = time.monotonic()
    run = board.run(wrapper=["/usr/bin/time", "-f", "PEAK %M"])
    elapsed = time.monotonic() - start
    board.close()
    assert run.returncode == 0 and len(list(board.final.iterdir())) == 20, run.messages()
    shutil.rmtree(pmem)
    return elapsed, peak_kib(run.stderr)


def shell_script(area, final, links, mosa):
    lines = []
    for source, (kind, ext) in SOURCES.items():
        name, second = f"{kind}_{mosa}-1{ext}", f"{kind}_{mosa * 256}-1{ext}"
        if kind == "te":
            lines.append(f"mv {area}/{source} {final}/{name}")
        else:
            lines.append(f"gzip -1 -c {area}/{source} > {final}/{name} && sync {final}/{name} && rm {area}/{source}")
        lines.append(f"ln -s ../final/{name} {links}/{name} && ln -s ../final/{name} {links}/{second}")
    return "\n".join(lines)


def run_shell(base, cache):
    pmem = ram_dir("pmem")
    board = sandbox.Board(base, "/bin/true", pmem=pmem)
    lay_out(board, cache)
    board.links.mkdir(exist_ok=True)
    script = "set -e\n" + "\n".join(shell_script(board.area(m), board.final, board.links, m) for m in CHIPS)
    start = time.monotonic()
    subprocess.run(["sh", "-c", script], check=True)
    elapsed = time.monotonic() - start
    board.close()
    shutil.rmtree(pmem)
    return elapsed


def run_zlib_loop(zolbench, base, cache):
    pmem = ram_dir("zlib")
    base.mkdir(parents=True)
    files = []
    for mosa in CHIPS:
        for source in ("lm_dump", "cm_dump", "em_dump"):
            files.append(pmem / f"{mosa}-{source}")
            shutil.copyfile(cache / f"{mosa}-{source}", files[-1])
    subprocess.run(["sync"], check=True)
    outputs = [str(base / f.name) + ".gz" for f in files]
    out = subprocess.run([zolbench, "zlibloop", *[f"{f}:{o}" for f, o in zip(map(str, files), outputs)]],
                         check=True, capture_output=True, text=True)
    shutil.rmtree(pmem)
    return float(out.stdout)


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


def memory_for(daemon, program, zolbench, base, size):
    board = sandbox.Board(base, program, lttng=daemon)
    area = board.chip(1, info=(f"{board.links}/", "3"), disk_info=(f"{board.final}/", str(2**31 - 1)))
    subprocess.run([zolbench, "generate", str(area / "lm_dump"), str(size), "7"], check=True)
    run = board.run(wrapper=["/usr/bin/time", "-f", "PEAK %M"])
    board.close()
    return peak_kib(run.stderr)


def main():
    program, zolbench, empty = (str(Path(p).resolve()) for p in sys.argv[1:4])
    work = Path(tempfile.mkdtemp(prefix="zol-whole-", dir="/var/tmp"))
    daemon = sandbox.PrivateLttng(work / "lttng").start()  # the board has one
    try:
        cache = work / "cache"
        generate(zolbench, cache, 64 * MiB)
        results = {"program": [], "gzip -1 script": [], "bare zlib loop": []}
        peaks = []
        for r in range(ROUNDS):
            seconds, peak = run_program(daemon, program, work / f"p{r}", cache)
            results["program"].append(seconds)
            peaks.append(peak)
            results["gzip -1 script"].append(run_shell(work / f"s{r}", cache))
            results["bare zlib loop"].append(run_zlib_loop(zolbench, work / f"z{r}", cache))
            for d in (f"p{r}", f"s{r}", f"z{r}"):
                shutil.rmtree(work / d)
        total = sum(f.stat().st_size for f in cache.iterdir()) / MiB
        print(f"whole job: 5 chips x (3 x 64 MiB dumps + 4 MiB trace log) = {total:.0f} MiB, "
              f"median of {ROUNDS} interleaved rounds")
        medians = {k: statistics.median(v) for k, v in results.items()}
        for name, value in medians.items():
            print(f"  {name:16} {value:7.2f} s")
        print(f"  program / bare zlib loop: {medians['program'] / medians['bare zlib loop']:.3f}  (target <= 1.05)")
        print(f"  program / gzip -1 script: {medians['program'] / medians['gzip -1 script']:.3f}  (target < 1)")
        print(f"  program peak RSS: {max(peaks)} KiB")

        ours, floor = boot_time(daemon, program, empty)
        print(f"board without dumps: program {ours * 1000:.2f} ms, empty program with the same libraries "
              f"{floor * 1000:.2f} ms, ratio {ours / floor:.3f} (target <= 1.2)")

        small = memory_for(daemon, program, zolbench, work / "m8", 8 * MiB)
        large = memory_for(daemon, program, zolbench, work / "m512", 512 * MiB)
        print(f"peak RSS of the whole job: 8 MiB dump {small} KiB, 512 MiB dump {large} KiB, "
              f"ratio {large / small:.3f} (target within 5 %)")
    finally:
        daemon.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
