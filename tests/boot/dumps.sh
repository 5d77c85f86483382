#!/bin/bash
# The test board of the boot test. Inside the container, `dumps.sh layout`
# runs during boot before the dump handler and fills /run/pmem; the host
# sources this file to know where each chip's dumps must end up and what
# they must hold.
set -euo pipefail

PMEM=/run/pmem/zol
STATE=/var/lib/zol-boot-test
BUDGET=100000000
# chip, final dump directory, link directory, dump sets to keep, sequence
# number the moved set must get. Chip 1 holds two older sets and keeps 2:
# set 1 goes, set 2 stays. Chip 2's link directory does not exist yet.
# Chip 3's directories lie outside /var and /data: only the dumpdir drop-in
# lets the unit write there.
CHIPS=(
  "1 /var/lib/zol/dumps/mosa1/ /var/lib/zol/links/mosa1/ 2 3"
  "2 /data/zol/dumps/mosa2/ /data/zol/links/mosa2/ 3 1"
  "3 /srv/zol/dumps/mosa3/ /srv/zol/links/mosa3/ 1 1"
)
KINDS=(lm cm em te)

content() { # chip kind: that dump's bytes, the same on every run
  local chip=$1 kind=$2 lines
  case $kind in lm) lines=40000 ;; cm) lines=20000 ;; em) lines=3000 ;; *) lines=9000 ;; esac
  # Every byte value once, then text that compresses as dumps do.
  printf '%b' "$(printf '\\%03o' {0..255})"
  seq -f "mosa$chip $kind record %.0f of a crash dump" 1 $((lines + chip * 100))
}

source_name() { [ "$1" = te ] && echo te_log || echo "$1_dump"; }
final_name() { [ "$1" = te ] && echo "te_$2-$3.log" || echo "$1_$2-$3.gz"; } # kind chip seq

old_set() { # chip final link seq: a set left by an earlier boot, with its links
  local chip=$1 final=$2 link=$3 seq=$4 kind name
  for kind in "${KINDS[@]}"; do
    name=$(final_name "$kind" "$chip" "$seq")
    echo "set $seq of an earlier boot" | gzip -1 > "$final$name"
    ln -s "../../dumps/mosa$chip/$name" "$link$name"
    ln -s "../../dumps/mosa$chip/$name" "$link$(final_name "$kind" $((chip * 256)) "$seq")"
  done
}

area() { # pmem chip final link keep: a chip's dumps and configuration in persistent memory
  local pmem=$1 chip=$2 final=$3 link=$4 keep=$5 kind
  mkdir -p "$pmem/diskInfo" "$pmem/mosa$chip"
  printf '%s\n%s\n' "$link" "$keep" > "$pmem/mosa$chip/info.txt"
  printf '%s\n%s\n' "$final" "$BUDGET" > "$pmem/diskInfo/diskInfoMosa$chip"
  for kind in "${KINDS[@]}"; do
    content "$chip" "$kind" > "$pmem/mosa$chip/$(source_name "$kind")"
  done
}

layout() {
  local entry chip final link keep
  mkdir -p "$STATE"
  for entry in "${CHIPS[@]}"; do
    read -r chip final link keep _ <<<"$entry"
    area "$PMEM" "$chip" "$final" "$link" "$keep"
    mkdir -p "$final"
  done
  mkdir -p /var/lib/zol/links/mosa1 /srv/zol/links/mosa3
  old_set 1 /var/lib/zol/dumps/mosa1/ /var/lib/zol/links/mosa1/ 1
  old_set 1 /var/lib/zol/dumps/mosa1/ /var/lib/zol/links/mosa1/ 2
  ln -s ../../dumps/mosa1/lm_1-0.gz /var/lib/zol/links/mosa1/dangling
  trace_start
}

# The stand-in for the baseband software, ordered after the handler as the
# README says: notes the handler's state at its start, then writes a new dump
# as a chip that crashes again early in the boot would. The dump must wait in
# persistent memory for the next boot's move.
BASEBAND_DUMP="a dump written after this boot's move"
baseband() {
  systemctl show -p ActiveState zol-cold-restart-dump-handler.service > "$STATE/handler-at-baseband.txt"
  echo "$BASEBAND_DUMP" > "$PMEM/mosa2/lm_dump"
}

# Records the handler's LTTng-UST events, to show the sandbox lets them through.
trace_start() {
  command -v lttng >/dev/null || return 0
  lttng-sessiond --daemonize --no-kernel
  lttng create zolboot --output="$STATE/trace" >/dev/null
  lttng enable-event -u 'com_quorvel_zol_urdadumphdl:*' >/dev/null
  lttng start >/dev/null
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  "$@"
fi
