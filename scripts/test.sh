#!/usr/bin/env bash
# The whole test suite: unit and end-to-end tests on the normal build (with
# the complete moves once more under valgrind), then all of it again on the
# AddressSanitizer + UndefinedBehaviorSanitizer build; the 32-bit (armhf)
# and 64-bit (arm64) ARM packages cross-built and checked, with the unit
# tests and the end-to-end suite on the packaged binary under qemu, its
# LTTng events recorded; and last the amd64 package installed and booted in
# a systemd container, then purged, and the armhf package installed and
# booted on an emulated ARM board; both boot tests share tests/boot/lib.sh.
# Every package is installed first, in one apt run. Then lanes run side by
# side, as each alone leaves a core mostly idle (waiting on sandboxes,
# syncs and the network): the native suites here, the ARM legs, and the
# roots of the two boot tests (on a fresh machine 3 to 5 and 5 to 14
# minutes, depending on the load; cached afterwards). A background lane's output follows once it is done.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --everything
export ZOL_SET_UP=everything

# Each step's start, counted from the command's own: the lanes' times show
# which of them the whole run waits for.
step() { echo "== $* (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"; }

logs=$(mktemp -d)
declare -A lanes
lane() { # name command...
  (
    status=0
    "${@:2}" || status=$?
    step "Lane $1 ended, status $status"
    exit $status
  ) >"$logs/$1" 2>&1 &
  lanes[$1]=$!
}
joined() { # name: the lane's status once it is done, its output shown
  local status=0
  wait "${lanes[$1]}" || status=$?
  cat "$logs/$1"
  return $status
}
step "Set up"
lane container-root bash scripts/boot-test.sh --root-only
lane board-root bash scripts/boot-test-armhf.sh --root-only
lane arm bash -c 'legs=0; for arch in armhf arm64; do bash scripts/arm.sh $arch || legs=1; done; exit $legs'

status=0
for dir in build build-asan; do
  step "Tests on $dir"
  (cd "$dir" && ctest --output-on-failure) || status=1
done
joined arm || status=1
step "Boot test: the package's unit at boot in a systemd container"
{ joined container-root && bash scripts/boot-test.sh; } || status=1
step "Boot test: the armhf package's unit at boot on an emulated ARM board"
{ joined board-root && bash scripts/boot-test-armhf.sh; } || status=1
rm -r "$logs"
step "All done, status $status"
exit $status
