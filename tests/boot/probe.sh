#!/bin/bash
# Runs in a copy of the dump handler's unit with only ExecStart= changed and
# writes what its sandbox lets through, one "ok" or "FAIL" line per check.
set -uo pipefail
exec > /var/lib/zol-boot-test/probe.txt 2>&1

check() { # yes|no description command...: whether the command must succeed
  local want=$1 what=$2 got=no
  shift 2
  if "$@" 2>/dev/null; then got=yes; fi
  if [ "$got" = "$want" ]; then echo "ok   $what"; else echo "FAIL $what"; fi
}
writable() { local probe="$1/.zol-probe.$$"; : > "$probe" && rm -f "$probe"; }
no_capability() { grep -Eq "^$1:[[:space:]]+0+$" /proc/self/status; }

check yes "/run/pmem is writable" writable /run/pmem
check yes "/var/lib/zol is writable" writable /var/lib/zol
check yes "/data/zol is writable" writable /data/zol
check no "the rest of /var is read-only" writable /var/lib/systemd
check no "the rest of /data is read-only" writable /data
check yes "files it makes are for its group only" test "$(umask)" = 0027
check yes "its group is zol-dumps" test "$(id -gn)" = zol-dumps
check yes "/dev/shm is writable (LTTng-UST)" writable /dev/shm
check no "/run is read-only" writable /run
check no "/etc is read-only" writable /etc
check no "/usr is read-only" writable /usr/bin
check no "/srv is read-only without the dumpdir drop-in" writable /srv
check no "/root is hidden" ls /root
check yes "/dev/log reaches syslog" test -S /dev/log
check yes "no effective capability" no_capability CapEff
check yes "empty capability bounding set" no_capability CapBnd
check yes "sh, mkdir, ln, mv, find and rm run" sh -c 'mkdir -p /data/zol/.zol-probe && ln -s x /data/zol/.zol-probe/l &&
  mv /data/zol/.zol-probe/l /data/zol/.zol-probe/m && find -L /data/zol/.zol-probe -type l -exec rm -f {} + &&
  rm -r /data/zol/.zol-probe'
