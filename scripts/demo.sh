#!/usr/bin/env bash
# Usage: scripts/demo.sh [--keep]
# Installs what the demo needs, builds the program into build-demo/, then runs
# it on a demo board in a sandbox; --keep leaves the board's directories.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --demo
exec /usr/bin/python3 scripts/demo.py build-demo/zolUrdaColdRestartDumpHandler "$@"
