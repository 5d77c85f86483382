#!/usr/bin/env bash
# The whole test suite: unit and end-to-end tests on the normal build (with
# the complete moves once more under valgrind), then all of it again on the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and on a 32-bit ARM
# (armhf) cross build under qemu.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --sanitize

status=0
for dir in build build-asan; do
  echo "== Tests on $dir"
  (cd "$dir" && ctest --output-on-failure) || status=1
done
bash scripts/arm.sh armhf || status=1
echo "== Boot test: the DEB's unit at boot in a systemd container"
bash scripts/boot-test.sh || status=1
exit $status
