#!/usr/bin/env bash
# Usage: bench/zolbench.sh compress|scan
#   compress  compressFile against a bare zlib loop with identical parameters
#             and gzip -1, on 8, 64 and 512 MiB of dump-like data
#   scan      the retention scan of a final dump directory holding 10,000
#             other chips' files and 20 sets of this chip
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DZOL_BUILD_BENCHMARKS=ON >/dev/null && cmake --build build >/dev/null
work=$(mktemp -d /var/tmp/zol-bench-XXXXXX); trap 'rm -rf "$work"' EXIT
build/bench/zolBench "${1:?compress or scan}" "$work"
