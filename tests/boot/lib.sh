#!/bin/bash
# What the boot tests share, sourced by scripts/boot-test.sh (the amd64
# package in a systemd container) and scripts/boot-test-armhf.sh (the armhf
# package on an emulated ARM board): host tools, the package, the cached
# root, and the checks of what the boot left in the root ($merged), much of
# it written by report.sh while the root ran.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
# shellcheck source=tests/boot/dumps.sh
source tests/boot/dumps.sh

CACHE=${ZOL_BOOT_CACHE:-/var/cache/zol-boot-test}
UNIT=zol-cold-restart-dump-handler.service
MAX_EXPOSURE=1.0
work="" building="" merged="" state="" board_pid=""

cleanup() {
  if [ -n "$board_pid" ]; then kill "$board_pid" 2>/dev/null || true; fi
  if [ -n "$merged" ] && mountpoint -q "$merged"; then umount "$merged"; fi
  rm -rf ${work:+"$work"} ${building:+"$building"}
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# The host's tools, the package's build dependencies; nothing to do after
# the test command's own set-up.
bash scripts/setup.sh --everything >/dev/null

fail() { echo "boot test FAILED: $*" >&2; exit 1; }
expect() { "${@:2}" || fail "$1"; } # description command...
logged() { # log description command...: the command's output into the log, its end shown if it fails
  local log=$1 what=$2 status=0
  shift 2
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { tail -n 30 "$log" >&2; fail "$what: status $status (log: $log)"; }
}
seconds_since() { echo "$((SECONDS - $1)) s"; }
use_root() { merged=$1 state=$1/var/lib/zol-boot-test; }

# Sets deb: the DEB given, else this machine's package built afresh, or a
# foreign one built only when missing (scripts/arm.sh builds it).
package() { # arch [DEB]
  local arch=$1
  if [ $# -gt 1 ]; then
    deb=$(realpath "$2")
  else
    if [ "$arch" = "$(dpkg --print-architecture)" ] ||
      ! compgen -G "build-deb/$arch/zol-cold-restart-dump-handler_*_$arch.deb" >/dev/null; then
      bash scripts/package.sh "$arch"
    fi
    deb=$(realpath build-deb/"$arch"/zol-cold-restart-dump-handler_*_"$arch".deb)
  fi
  echo "== DEB: $deb"
}

mirror() { # the host's Debian archive
  local uri
  uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

# Built by the builder into a temporary directory ($building) renamed into
# place when complete, so that an interrupted build never passes for one.
cached() { # directory stamp builder
  local dir=$1 start
  if [ "$(cat "$dir/.zol-boot-root" 2>/dev/null)" = "$2" ]; then echo "== Cached: $dir"; return; fi
  echo "== Building $dir (once)"
  start=$SECONDS
  mkdir -p "$CACHE"
  rm -rf "$CACHE/.${dir##*/}".* # left by a killed build
  building=$(mktemp -d "$CACHE/.${dir##*/}.XXXXXX")
  chmod 755 "$building"
  "$3"
  echo "$2" >"$building/.zol-boot-root"
  rm -rf "$dir"
  mv "$building" "$dir" && building=
  echo "Building $dir took $(seconds_since "$start")"
}

check_unit() {
  [ -f "$state/report-complete" ] || fail "the report unit did not finish (console output: $CONSOLE_LOG)"
  expect "laying out the test board failed (console output: $CONSOLE_LOG)" grep -qx Result=success "$state/layout.txt"
  local want
  for want in UnitFileState=enabled NRestarts=0 Result=success ExecMainStatus=0 ActiveState=active; do
    expect "unit state $(tr '\n' ' ' <"$state/unit.txt")lacks $want" grep -qx "$want" "$state/unit.txt"
  done
  expect "the unit started $(cat "$state/starts.txt") times, not once" [ "$(cat "$state/starts.txt")" = 1 ]
  local log=$state/program.log
  expect "no line under identity zolUrdaColdRestartDumpHandler" [ -s "$log" ]
  expect "no 'Cold restart dump handler is DONE' line" grep -q 'Cold restart dump handler is DONE' "$log"
  if grep -E 'ZOL_TRACE Error|Fatal' "$log"; then fail "the program reported errors (above)"; fi
  expect "not every line has priority user.info: $(cat "$log")" [ "$(cat "$state/program-user-info.txt")" = "$(wc -l <"$log")" ]
}

check_chip() { # chip final link keep seq [root]
  local chip=$1 final=${6:-$merged}$2 link=${6:-$merged}$3 seq=$5 kind name file linked
  for kind in "${KINDS[@]}"; do
    name=$(final_name "$kind" "$chip" "$seq")
    file=$final$name
    expect "missing $2$name" [ -f "$file" ]
    if [ "$kind" = te ]; then
      expect "$2$name differs from the trace log" cmp -s "$file" <(content "$chip" "$kind")
    else
      expect "$2$name does not gunzip to the dump" cmp -s <(gzip -dc "$file") <(content "$chip" "$kind")
    fi
    for linked in "$name" "$(final_name "$kind" $((chip * 256)) "$seq")"; do
      expect "link $3$linked does not lead to $2$name" [ "$link$linked" -ef "$file" ]
    done
  done
}

entries() { find "$1" -mindepth 1 -maxdepth 1 -name "${2:-*}" | wc -l; } # directory [pattern]

check_dumps() {
  local entry final=$merged/var/lib/zol/dumps/mosa1 links=$merged/var/lib/zol/links/mosa1 only_info=()
  for entry in "${CHIPS[@]}"; do
    # shellcheck disable=SC2086
    check_chip $entry
    only_info+=("$PMEM/mosa${entry%% *}/ info.txt ")
  done
  # Chip 1 keeps 2 sets: set 1 and its links went, set 2 stayed; 2 links a file.
  expect "chip 1's set 1 was not deleted" [ "$(entries "$final" '*_1-1.*')" = 0 ]
  expect "chip 1's set 2 was deleted" [ "$(entries "$final" '*_1-2.*')" = 4 ]
  expect "chip 1's dangling links are left" [ "$(find -L "$links" -type l | wc -l)" = 0 ]
  expect "chip 1's link directory has $(entries "$links") entries, not 16" [ "$(entries "$links")" = 16 ]
  # The baseband stand-in wrote its dump once the move was over: it waits.
  only_info[1]+="lm_dump "
  expect "the dump areas should hold only info.txt and the baseband's new dump: $(cat "$state/areas.txt")" \
    [ "$(cat "$state/areas.txt")" = "$(printf '%s\n' "${only_info[@]}")" ]
  expect "the baseband stand-in started before the move had finished: $(cat "$state/handler-at-baseband.txt")" \
    grep -qx ActiveState=active "$state/handler-at-baseband.txt"
}

# The sandbox probe's lines, the handler's LTTng-UST events in the trace the
# root's own session daemon recorded (read here on the host), the exposure.
check_sandbox() {
  local probe=$state/probe.txt events exposure
  expect "the sandbox probe did not run" [ -s "$probe" ]
  if grep FAIL "$probe"; then fail "the unit's sandbox is not as intended (above)"; fi
  events=$(babeltrace2 "$state/trace" 2>/dev/null | grep -c ' com_quorvel_zol_urdadumphdl:' || true)
  expect "no LTTng-UST event of the handler recorded during boot" [ "$events" -gt 0 ]
  exposure=$(systemd-analyze security --offline=yes "$merged/lib/systemd/system/$UNIT" 2>/dev/null |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  expect "no exposure level from systemd-analyze security" [ -n "$exposure" ]
  expect "exposure $exposure is above $MAX_EXPOSURE" awk -v e="$exposure" -v m="$MAX_EXPOSURE" 'BEGIN { exit !(e <= m) }'
  echo "Sandbox as intended ($(wc -l <"$probe") checks), $events trace events, exposure $exposure"
}

check_boot() {
  check_unit
  check_dumps
  check_sandbox
}
