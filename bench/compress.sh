#!/usr/bin/env bash
# compressFile against a bare zlib loop with identical parameters and gzip -1,
# on 8, 64 and 512 MiB of dump-like data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DZOL_BUILD_BENCHMARKS=ON >/dev/null && cmake --build build >/dev/null
work=$(mktemp -d /var/tmp/zol-bench-XXXXXX); trap 'rm -rf "$work"' EXIT
build/bench/zolBench compress "$work"
