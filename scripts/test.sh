#!/usr/bin/env bash
# The whole test suite: unit and end-to-end tests on the normal build (with
# the complete moves once more under valgrind), then all of it again on the
# AddressSanitizer + UndefinedBehaviorSanitizer build; the 32-bit (armhf)
# and 64-bit (arm64) ARM packages cross-built and checked, with the unit
# tests and the end-to-end suite on the packaged binary under qemu, its
# LTTng events recorded; and last the amd64 package installed and booted in
# a systemd container, then purged, and the armhf package installed and
# booted on an emulated ARM board; both boot tests share tests/boot/lib.sh.
# Every package is installed first, in one apt run. Then three lanes run
# side by side, as each alone leaves a core mostly idle (waiting on the
# disk, syncs and the network): the native suites here, the ARM legs, and
# the boot tests' roots (on a fresh machine about 3 and 8 minutes, cached
# afterwards). The background lanes' output follows once they are done.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --everything

logs=$(mktemp -d)
{ bash scripts/boot-test.sh --root-only && bash scripts/boot-test-armhf.sh --root-only; } >"$logs/roots" 2>&1 &
roots=$!
{ legs=0; for arch in armhf arm64; do bash scripts/arm.sh "$arch" || legs=1; done; exit $legs; } >"$logs/arm" 2>&1 &
arm=$!

status=0
for dir in build build-asan; do
  echo "== Tests on $dir"
  (cd "$dir" && ctest --output-on-failure) || status=1
done
wait "$arm" || status=1
cat "$logs/arm"
echo "== The boot tests' roots"
wait "$roots" || status=1
cat "$logs/roots" && rm -r "$logs"
echo "== Boot test: the package's unit at boot in a systemd container"
bash scripts/boot-test.sh || status=1
echo "== Boot test: the armhf package's unit at boot on an emulated ARM board"
bash scripts/boot-test-armhf.sh || status=1
exit $status
