#!/usr/bin/env bash
# Shows that the test suite is a good guest on a shared machine: two runs of
# the unit and end-to-end suites at once, from two clones, while a third
# party records the program's provider in an LTTng session of the machine's
# own session daemon and two busy loops load the CPU. Everything must pass,
# and the third party's session must still record its own events afterwards,
# and nothing of the suites: each suite works below a folder of its own, so
# any event of theirs that leaked would name it.
#
# Usage: scripts/test-isolation.sh   (as root; installs what it needs)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
bash scripts/setup.sh >/dev/null

work=$(mktemp -d /var/tmp/zol-isolation-XXXXXX)
marker="third-party-$$"
session="zol-isolation-$$"
busy=()
started_daemon=""
session_made=""

cleanup() {
  local pid
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -z "$session_made" ] || lttng --no-sessiond destroy "$session" >/dev/null 2>&1 || true
  if [ -n "$started_daemon" ]; then
    # Not our child once it has daemonised: wait for its end through a pid descriptor.
    python3 - "$started_daemon" <<'PY' || true
import os, select, signal, sys
fd = os.pidfd_open(int(sys.argv[1]))
signal.pidfd_send_signal(fd, signal.SIGTERM)
select.select([fd], [], [])
PY
  fi
  rm -rf "$work"
}
trap cleanup EXIT

third_party_daemon() {
  if lttng --no-sessiond list >/dev/null 2>&1; then
    echo "== the machine's session daemon is running; the third party uses it"
    return
  fi
  lttng-sessiond --daemonize --no-kernel
  started_daemon=$(cat /run/lttng/lttng-sessiond.pid)
  echo "== started the machine's session daemon (pid $started_daemon) for the third party"
}

third_party_session() {
  lttng --no-sessiond create "$session" --output="$work/third-party-trace" >/dev/null
  session_made=yes
  lttng --no-sessiond enable-event -u 'com_quorvel_zol_urdadumphdl:*' -s "$session" >/dev/null
  lttng --no-sessiond start "$session" >/dev/null
}

# One run of the installed-style program that the third party traces: a
# chip whose info file names a link directory carrying our marker, and no
# dump count, so the program reports the invalid parameters and stops there.
third_party_probe() { # name
  local area="$work/probe-$1/mosa1"
  mkdir -p "$area"
  printf '/%s/%s/\n\n' "$marker" "$1" >"$area/info.txt"
  printf 'x' >"$area/lm_dump"
  bwrap --dev-bind / / --dev /dev --bind /dev/shm /dev/shm --tmpfs /run --bind /run/lttng /run/lttng -- \
    env APP_TMP="$work/probe-$1" LTTNG_UST_REGISTER_TIMEOUT=-1 "$work/a/build/zolUrdaColdRestartDumpHandler"
}

clone_and_build() { # name
  git clone -q --no-hardlinks "$repo" "$work/$1"
  cmake -S "$work/$1" -B "$work/$1/build" -G Ninja >/dev/null
  cmake --build "$work/$1/build" >/dev/null
}

suite() { # name
  mkdir -p "$work/$1-tmp"
  (cd "$work/$1/build" && TMPDIR="$work/$1-tmp" ctest --output-on-failure) >"$work/$1.log" 2>&1
}

check_third_party_trace() {
  lttng --no-sessiond stop "$session" >/dev/null
  lttng --no-sessiond destroy "$session" >/dev/null
  session_made=""
  local trace events leaked
  trace=$(babeltrace2 "$work/third-party-trace")
  events=$(grep -c 'com_quorvel_zol_urdadumphdl:' <<<"$trace" || true)
  leaked=$(grep -c -e "$work/a-tmp" -e "$work/b-tmp" <<<"$trace" || true)
  echo "third party's session: $events events of the provider (any program on the machine), $leaked from the suites"
  grep -q "linkDumpFilePath:/$marker/before/" <<<"$trace" || { echo "FAIL: probe before the suites not recorded"; return 1; }
  grep -q "linkDumpFilePath:/$marker/after/" <<<"$trace" || { echo "FAIL: probe after the suites not recorded"; return 1; }
  [ "$leaked" -eq 0 ] || { echo "FAIL: events of the suites reached the third party's session"; return 1; }
}

start=$(date +%s)
echo "== two clones of $(git rev-parse --short HEAD), built side by side"
clone_and_build a
clone_and_build b

third_party_daemon
third_party_session
third_party_probe before

for _ in 1 2; do
  sh -c 'while :; do :; done' &
  busy+=($!)
done
echo "== two busy loops (${busy[*]}); both suites at once"
status=0
suite a & a=$!
suite b & b=$!
failed() { # name: keeps the suite's log, which goes with the work folder
  status=1
  cp "$work/$1.log" "/var/tmp/zol-isolation-$$-$1.log"
  echo "FAIL: suite of clone $1 (log: /var/tmp/zol-isolation-$$-$1.log)"
  grep -E '^(FAILED|ERROR) |Failed|^E  ' "$work/$1.log" | head -40
}
wait "$a" || failed a
wait "$b" || failed b
grep -h 'tests passed\|tests failed' "$work/a.log" "$work/b.log"
for pid in "${busy[@]}"; do kill "$pid"; done
busy=()

third_party_probe after
check_third_party_trace || status=1
echo "== isolation run took $(( $(date +%s) - start )) s: $([ $status -eq 0 ] && echo PASSED || echo FAILED)"
exit $status
