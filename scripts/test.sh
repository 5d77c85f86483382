#!/usr/bin/env bash
# The whole test suite: unit and end-to-end tests on the normal build (with
# the complete moves once more under valgrind) and all of it again on the
# AddressSanitizer + UndefinedBehaviorSanitizer build; the 32-bit (armhf)
# and 64-bit (arm64) ARM packages cross-built and checked, with the unit
# tests and the end-to-end suite on the packaged binary under qemu, its
# LTTng events recorded; the amd64 package installed and booted in a
# systemd container, then purged, and the armhf package installed and
# booted on an emulated ARM board; both boot tests share tests/boot/lib.sh.
#
# The work runs in lanes side by side, as each alone leaves a core mostly
# idle (waiting on sandboxes, syncs, the network or apt). Packages install
# in three steps, each starting the lanes it allows while apt goes on: the
# two boot tests' roots (debootstrap), the native suites, then the ARM
# targets; each boot test starts once what it needs is there. A lane's
# output follows once it is done.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step's start, counted from the command's own: the lanes' times show
# which of them the whole run waits for.
step() { echo "== $* (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"; }

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
declare -A lanes
lane() { # name command...: in the background, its output into its log
  (status=0; "${@:2}" || status=$?; step "Lane $1 ended, status $status"; exit $status) >"$logs/$1" 2>&1 &
  lanes[$1]=$!
}
joined() { # name: the lane's status once it is done, its output shown
  local status=0
  wait "${lanes[$1]}" || status=$?
  cat "$logs/$1"
  return $status
}

# The lanes' own calls of setup.sh return at once: they must not install
# or configure what another lane is using.
bash scripts/setup.sh --boot-roots
lane container-root env ZOL_SET_UP=boot-roots bash scripts/boot-test.sh --root-only
lane board-root env ZOL_SET_UP=boot-roots bash scripts/boot-test-armhf.sh --root-only
bash scripts/setup.sh --sanitize
lane native ctest --test-dir build --output-on-failure
lane sanitized ctest --test-dir build-asan --output-on-failure
bash scripts/setup.sh --arm-and-boot
export ZOL_SET_UP=everything
lane armhf bash scripts/arm.sh armhf
lane arm64 bash scripts/arm.sh arm64

status=0
{ joined container-root && step "Boot test: the package's unit at boot in a systemd container" &&
  bash scripts/boot-test.sh; } || status=1
joined armhf || status=1 # its package is the one the board installs
{ joined board-root && step "Boot test: the armhf package's unit at boot on an emulated ARM board" &&
  bash scripts/boot-test-armhf.sh; } || status=1
for name in arm64 sanitized native; do joined $name || status=1; done
step "All done, status $status"
exit $status
