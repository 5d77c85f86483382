#!/bin/bash
# Runs after the dump handler and the sandbox probe, inside the container:
# writes what only the running system can tell (unit state, journal, the
# dump areas on tmpfs; the trace made complete) to /var/lib/zol-boot-test for
# the host.
set -uo pipefail
STATE=/var/lib/zol-boot-test
UNIT=zol-cold-restart-dump-handler.service
ID=zolUrdaColdRestartDumpHandler
UNIT_STARTING=7d4958e842da4a758f6c1cdc7b36dcc5 # journal message id of "Starting <unit>"
cd "$STATE" || exit

systemctl show -p UnitFileState,NRestarts,Result,ExecMainStatus,ActiveState "$UNIT" > unit.txt
systemctl show -p Result zol-boot-layout.service > layout.txt
journalctl --sync
journalctl -b -o cat UNIT="$UNIT" MESSAGE_ID="$UNIT_STARTING" | wc -l > starts.txt
journalctl -b -o cat -t "$ID" > program.log
journalctl -b -o cat -t "$ID" -p err > program-errors.log
journalctl -b -o cat -t "$ID" -p info..info --facility=user | wc -l > program-user-info.txt
journalctl -b -o cat -u "$UNIT" > unit.log
for area in /run/pmem/zol/mosa*/; do
  echo "$area $(find "$area" -mindepth 1 -printf '%f\n' | sort | tr '\n' ' ')"
done > areas.txt
if [ -d trace ]; then lttng stop zolboot >/dev/null && lttng destroy zolboot >/dev/null; fi
echo complete > report-complete
