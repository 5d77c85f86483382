#!/usr/bin/env bash
# Sets up and builds, then runs the dump handler on a demo board in a sandbox.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec /usr/bin/python3 scripts/demo.py build/zolUrdaColdRestartDumpHandler
