#!/usr/bin/env bash
# The retention scan of a final dump directory holding 10,000 other chips' files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DZOL_BUILD_BENCHMARKS=ON >/dev/null && cmake --build build >/dev/null
work=$(mktemp -d /var/tmp/zol-bench-XXXXXX); trap 'rm -rf "$work"' EXIT
build/bench/zolBench scan "$work"
