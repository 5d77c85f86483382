#!/usr/bin/env bash
# The whole test suite: unit and end-to-end tests on the normal build (with
# the complete moves once more under valgrind), then all of it again on the
# AddressSanitizer + UndefinedBehaviorSanitizer build; the 32-bit (armhf)
# and 64-bit (arm64) ARM packages cross-built and checked, with the unit
# tests and the end-to-end suite on the packaged binary under qemu, its
# LTTng events recorded; the amd64 package installed and booted in a
# systemd container, then purged, and the armhf package installed and
# booted on an emulated ARM board; both boot tests share tests/boot/lib.sh.
#
# The work runs in lanes side by side, as each alone leaves a core mostly
# idle (waiting on sandboxes, syncs, the network or apt): the two boot
# tests' roots, which need only debootstrap, build while apt installs the
# rest in one run; then the native suites, each ARM target, and each boot
# test once what it needs is there. A lane's output follows once it is
# done, with its times.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step's start, counted from the command's own: the lanes' times show
# which of them the whole run waits for.
step() { echo "== $* (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"; }

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
declare -A lanes
lane() { # name command...: in the background, its output into its log
  (
    status=0
    "${@:2}" || status=$?
    times >"$logs/$1.cpu" # the second line: the processor time of all it ran
    step "Lane $1 ended, status $status, processor time (user, system) $(tail -n 1 "$logs/$1.cpu")"
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
native_suites() {
  local dir status=0
  for dir in build build-asan; do
    step "Tests on $dir"
    (cd "$dir" && ctest --output-on-failure) || status=1
  done
  return $status
}

# The lanes' own calls of setup.sh return at once: they must not install
# or configure what another lane is using.
bash scripts/setup.sh --boot-roots
lane container-root env ZOL_SET_UP=boot-roots bash scripts/boot-test.sh --root-only
lane board-root env ZOL_SET_UP=boot-roots bash scripts/boot-test-armhf.sh --root-only
bash scripts/setup.sh --sanitize
lane native native_suites
bash scripts/setup.sh --arm-and-boot
export ZOL_SET_UP=everything
step "Set up"
lane armhf bash scripts/arm.sh armhf
# Nothing waits for the 64-bit target: it takes what the others leave.
lane arm64 nice -n 10 bash scripts/arm.sh arm64

boot_test() { # description script
  step "Boot test: $1"
  bash "$2"
}
status=0
{ joined container-root && boot_test "the package's unit at boot in a systemd container" scripts/boot-test.sh; } ||
  status=1
joined armhf || status=1 # its package is the one the board installs
{ joined board-root && boot_test "the armhf package's unit at boot on an emulated ARM board" \
  scripts/boot-test-armhf.sh; } || status=1
joined arm64 || status=1
joined native || status=1
times >"$logs/all.cpu"
step "All done, status $status, processor time (user, system) $(tail -n 1 "$logs/all.cpu")"
exit $status
