#!/usr/bin/env bash
# The whole job against a gzip -1 shell script and a bare zlib loop; start-up
# on a board without dumps; peak memory for small and large dumps.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DZOL_BUILD_BENCHMARKS=ON >/dev/null && cmake --build build >/dev/null
exec /usr/bin/python3 bench/whole_job.py build/zolUrdaColdRestartDumpHandler build/bench/zolBench build/bench/zolEmptyProgram
