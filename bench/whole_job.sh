#!/usr/bin/env bash
# After scripts/setup.sh: the whole job against a bare zlib loop and a gzip -1
# shell script, start-up on a board without dumps, and peak memory.
# ZOL_BENCH_DUMP_MIB=4 makes a quick run with small dumps.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DZOL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build --target zolUrdaColdRestartDumpHandler zolEmptyProgram >/dev/null
exec /usr/bin/python3 bench/whole_job.py build/zolUrdaColdRestartDumpHandler build/bench/zolEmptyProgram
