#!/usr/bin/env bash
# The whole test suite: unit and end-to-end tests on the normal build (with
# the complete moves once more under valgrind), then all of it again on the
# AddressSanitizer + UndefinedBehaviorSanitizer build, then the 32-bit
# (armhf) and 64-bit (arm64) ARM packages cross-built and checked, with the
# unit tests and the end-to-end suite on the packaged binary under qemu, its
# LTTng events recorded, and last the amd64 package installed and booted in
# a systemd container, then purged, and the armhf package installed and
# booted on an emulated ARM board (its root built once, in about 9 minutes,
# and cached); both boot tests share tests/boot/lib.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --sanitize

status=0
for dir in build build-asan; do
  echo "== Tests on $dir"
  (cd "$dir" && ctest --output-on-failure) || status=1
done
bash scripts/arm.sh armhf || status=1
bash scripts/arm.sh arm64 || status=1
echo "== Boot test: the package's unit at boot in a systemd container"
bash scripts/boot-test.sh || status=1
echo "== Boot test: the armhf package's unit at boot on an emulated ARM board"
bash scripts/boot-test-armhf.sh || status=1
exit $status
