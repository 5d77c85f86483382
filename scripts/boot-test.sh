#!/usr/bin/env bash
# Usage: scripts/boot-test.sh [DEB]
# Installs the DEB (by default this machine's, built by scripts/package.sh)
# into a Debian 12 container with apt-get, boots it with systemd as PID 1,
# lets the unit that the package enabled move a test board's dumps during
# boot (tests/boot/), and checks the outcome from the host once the
# container has powered itself off. Then purges the package and checks that
# nothing of it is left, its enablement included, and that the dumps are
# untouched. The container root is built once with debootstrap and cached
# outside the repository; every run boots a throwaway overlay of it.
set -euo pipefail
cd "$(dirname "$0")/.."

CACHE=${ZOL_BOOT_CACHE:-/var/cache/zol-boot-test}
ROOT=$CACHE/root-bookworm
ROOT_PACKAGES=systemd,systemd-sysv,dbus,liblttng-ust1,zlib1g,lttng-tools,babeltrace2
BOOT_LIMIT=${ZOL_BOOT_LIMIT:-300} # seconds; only a safety net, the power-off ends the boot
CONSOLE_LOG=$CACHE/last-boot-console.log
UNIT=zol-cold-restart-dump-handler.service
MAX_EXPOSURE=1.0

work="" building="" merged=""
cleanup() {
  if [ -n "$merged" ] && mountpoint -q "$merged"; then umount "$merged"; fi
  if [ -n "$work" ]; then rm -rf "$work"; fi
  if [ -n "$building" ]; then rm -rf "$building"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() { echo "boot test FAILED: $*" >&2; exit 1; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
seconds_since() { local ms=$(($(now_ms) - $1)); printf '%d.%01d s' $((ms / 1000)) $((ms % 1000 / 100)); }

host_tools() {
  local missing=() package
  for package in systemd-container debootstrap; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get update || echo "apt-get update reported a failure; installing anyway"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
  fi
}

build_deb() { # sets deb
  if [ $# -gt 0 ]; then
    deb=$(realpath "$1")
    return
  fi
  local arch package
  arch=$(dpkg --print-architecture)
  for package in debhelper lintian man-db; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || { bash scripts/setup.sh; break; }
  done
  bash scripts/package.sh "$arch"
  deb=$(realpath build-deb/"$arch"/zol-cold-restart-dump-handler_*_"$arch".deb)
}

mirror() { # the host's Debian archive
  local uri
  uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

# Built into a temporary directory renamed into place when complete, so that
# an interrupted build never passes for a root.
prepare_root() {
  local stamp="bookworm minbase $ROOT_PACKAGES" start
  if [ "$(cat "$ROOT/.zol-boot-root" 2>/dev/null)" = "$stamp" ]; then
    echo "== Container root: cached $ROOT"
    return
  fi
  echo "== Building the container root $ROOT with debootstrap"
  start=$(now_ms)
  mkdir -p "$CACHE"
  rm -rf "$CACHE"/.root-bookworm.* # left by a killed build
  building=$(mktemp -d "$CACHE/.root-bookworm.XXXXXX")
  chmod 755 "$building"
  debootstrap --variant=minbase --include="$ROOT_PACKAGES" bookworm "$building" "$(mirror)" \
    >"$CACHE/debootstrap.log" 2>&1 || { tail -n 20 "$CACHE/debootstrap.log" >&2; fail "debootstrap failed"; }
  rm -f "$building"/var/cache/apt/archives/*.deb
  echo "$stamp" >"$building/.zol-boot-root"
  rm -rf "$ROOT.old"
  if [ -e "$ROOT" ]; then mv "$ROOT" "$ROOT.old"; fi
  mv "$building" "$ROOT" && building=
  rm -rf "$ROOT.old"
  echo "Building the container root took $(seconds_since "$start")"
}

# The cache stays untouched: the container writes into the overlay's upper layer.
prepare_container() {
  work=$(mktemp -d /var/tmp/zol-boot-test.XXXXXX)
  mkdir "$work/upper" "$work/overlay-work" "$work/root"
  merged=$work/root
  mount -t overlay zol-boot-test -o "lowerdir=$ROOT,upperdir=$work/upper,workdir=$work/overlay-work" "$merged" ||
    cp -a "$ROOT/." "$merged" # where overlayfs cannot stack, e.g. on an overlay root
  systemd-nspawn --register=no --keep-unit -q --private-network -D "$merged" --bind-ro="$deb:/mnt/zol.deb" \
    --bind-ro="$PWD/tests/boot:/mnt/boot" --bind-ro="$PWD/packaging:/mnt/packaging" \
    bash /mnt/boot/install.sh >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "installing the DEB and the test units into the container failed"; }
  if grep -E '^(Get|Hit|Ign|Err):[0-9]+ [a-z+]+://' "$work/install.log"; then fail "apt-get went to the network (above)"; fi
}

boot() { # extra systemd-nspawn arguments...
  local start status=0
  echo "== Booting the container"
  start=$(now_ms)
  timeout -k 10 "$BOOT_LIMIT" systemd-nspawn -b --register=no --keep-unit -q --private-network --console=read-only \
    "$@" -D "$merged" >"$CONSOLE_LOG" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 30 "$CONSOLE_LOG" >&2
    echo "(whole console output: $CONSOLE_LOG)" >&2
    [ "$status" -eq 124 ] && fail "the container did not power off within $BOOT_LIMIT s"
    fail "systemd-nspawn exited with status $status"
  fi
  echo "Boot to power-off took $(seconds_since "$start")"
}

expect() { # description command...
  local what=$1
  shift
  "$@" || fail "$what"
}

check_unit() {
  local state=$merged/var/lib/zol-boot-test want
  [ -f "$state/report-complete" ] || fail "the report unit did not finish (console output: $CONSOLE_LOG)"
  expect "laying out the test board failed (console output: $CONSOLE_LOG)" grep -qx Result=success "$state/layout.txt"
  expect "installing the package did not enable the unit: $(tr '\n' ' ' <"$state/unit.txt")" \
    grep -qx UnitFileState=enabled "$state/unit.txt"
  for want in NRestarts=0 Result=success ExecMainStatus=0 ActiveState=active; do
    expect "unit state $(tr '\n' ' ' <"$state/unit.txt")lacks $want" grep -qx "$want" "$state/unit.txt"
  done
  expect "the unit started $(cat "$state/starts.txt") times, not once" [ "$(cat "$state/starts.txt")" = 1 ]
}

check_journal() {
  local log=$merged/var/lib/zol-boot-test/program.log
  expect "no line under identity zolUrdaColdRestartDumpHandler" [ -s "$log" ]
  expect "no 'Cold restart dump handler is DONE' line" grep -q 'Cold restart dump handler is DONE' "$log"
  if grep -E 'ZOL_TRACE Error|Fatal' "$log"; then fail "the program reported errors (above)"; fi
  expect "not every line has priority user.info: $(cat "$log")" \
    [ "$(cat "$merged/var/lib/zol-boot-test/program-user-info.txt")" = "$(wc -l <"$log")" ]
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
  local entry final=$merged/var/lib/zol/dumps/mosa1 links=$merged/var/lib/zol/links/mosa1
  local state=$merged/var/lib/zol-boot-test only_info=()
  local areas=$state/areas.txt
  # shellcheck source=tests/boot/dumps.sh
  source tests/boot/dumps.sh
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
  expect "the dump areas should hold only info.txt and the baseband's new dump: $(cat "$areas")" \
    [ "$(cat "$areas")" = "$(printf '%s\n' "${only_info[@]}")" ]
  expect "the baseband stand-in started before the move had finished: $(cat "$state/handler-at-baseband.txt")" \
    grep -qx ActiveState=active "$state/handler-at-baseband.txt"
}

check_sandbox() {
  local probe=$merged/var/lib/zol-boot-test/probe.txt events exposure
  expect "the sandbox probe did not run" [ -s "$probe" ]
  if grep FAIL "$probe"; then fail "the unit's sandbox is not as intended (above)"; fi
  events=$(cat "$merged/var/lib/zol-boot-test/trace-events.txt" 2>/dev/null || echo 0)
  expect "no LTTng-UST event of the handler recorded during boot" [ "$events" -gt 0 ]
  exposure=$(systemd-analyze security --offline=yes "$merged/lib/systemd/system/$UNIT" 2>/dev/null |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  expect "no exposure level from systemd-analyze security" [ -n "$exposure" ]
  expect "exposure $exposure is above $MAX_EXPOSURE" awk -v e="$exposure" -v m="$MAX_EXPOSURE" 'BEGIN { exit !(e <= m) }'
  echo "Sandbox as intended ($(wc -l <"$probe") checks), $events trace events, exposure $exposure"
}

dumps_fingerprint() { # every entry of the final dump and link directories, with each file's digest
  (cd "$merged" && find var/lib/zol data/zol srv/zol -printf '%p %y %s %T@ %l\n' | sort &&
    find var/lib/zol data/zol srv/zol -type f -print0 | sort -z | xargs -0 md5sum)
}

# The board's seams. Persistent memory is bound from the host, so that it
# outlives each boot as on a board: chip 2's final dump directory is one the
# unit may write by default, chip 4's lies on a flash at /mnt/flash. Until the
# flash is mounted and the drop-in lets the unit write it, the unit must fail
# before the program runs, and every dump must wait.
SEAM_CHIPS=("2 /data/zol/dumps/mosa2/ /data/zol/links/mosa2/ 3 2" "4 /mnt/flash/dumps/mosa4/ /mnt/flash/dumps/links/mosa4/ 3 1")

pmem_fingerprint() { (cd "$work/pmem" && find . -type f -print0 | sort -z | xargs -0 md5sum); }

seam_boot() { # extra systemd-nspawn arguments...
  local state=$merged/var/lib/zol-boot-test unit
  rm -rf "$state" && mkdir -p "$state"
  for unit in zol-boot-layout zol-boot-probe zol-boot-baseband; do
    rm -f "$merged/etc/systemd/system/multi-user.target.wants/$unit.service"
  done
  boot --bind="$work/pmem:/run/pmem" "$@"
  [ -f "$state/report-complete" ] || fail "the report unit did not finish (console output: $CONSOLE_LOG)"
}

# A failed check fails the unit; a failed assertion leaves it inactive with
# the assertion in its journal.
expect_dumps_kept() { # what, persistent memory's fingerprint before the boot, the unit's state
  local state=$merged/var/lib/zol-boot-test
  expect "$1: the unit is not $3: $(tr '\n' ' ' <"$state/unit.txt")" grep -qx "ActiveState=$3" "$state/unit.txt"
  if grep -q 'Cold restart dump handler is DONE' "$state/program.log"; then fail "$1: the program ran"; fi
  expect "$1: persistent memory changed" [ "$(pmem_fingerprint)" = "$2" ]
}

check_seams() {
  # shellcheck source=tests/boot/dumps.sh
  source tests/boot/dumps.sh
  local entry before state=$merged/var/lib/zol-boot-test gid left
  local drop_in=$merged/etc/systemd/system/$UNIT.d/flash.conf flash=$work/flashroot/mnt/flash
  for entry in "${SEAM_CHIPS[@]}"; do
    # shellcheck disable=SC2086
    area "$work/pmem/zol" $entry
  done
  before=$(pmem_fingerprint)

  echo "== Seam: the flash's directory outside the unit's writable paths, no drop-in"
  mkdir -p "$merged/mnt/flash/dumps/mosa4"
  seam_boot
  expect_dumps_kept "no drop-in" "$before" failed
  expect "no drop-in: no line at priority err names the path and the line that fixes it: $(cat "$state/program.log")" \
    grep -q 'final dump directory /mnt/flash/dumps/mosa4 .*ReadWritePaths=/mnt/flash/dumps/mosa4' "$state/program-errors.log"

  echo "== Seam: the documented drop-in, the flash not mounted"
  rm -r "$merged/mnt/flash/dumps"
  cp packaging/zol-cold-restart-dump-handler-dumpdir.conf.example "$drop_in"
  seam_boot
  expect_dumps_kept "flash not mounted" "$before" inactive
  expect "flash not mounted: the journal does not name the mount point: $(cat "$state/unit.log")" \
    grep -q 'Assertion failed' "$state/unit.log"

  echo "== Seam: the flash mounted"
  mkdir -p "$flash/dumps/mosa4"
  seam_boot --bind="$flash:/mnt/flash"
  expect "flash mounted: unit state $(tr '\n' ' ' <"$state/unit.txt")" grep -qx Result=success "$state/unit.txt"
  # shellcheck disable=SC2086
  check_chip ${SEAM_CHIPS[0]}
  # shellcheck disable=SC2086
  check_chip ${SEAM_CHIPS[1]} "$work/flashroot"
  left=$(find "$work/pmem"/zol/mosa* -type f ! -name info.txt)
  expect "flash mounted: left in persistent memory: $left" [ -z "$left" ]
  gid=$(awk -F: '$1 == "zol-dumps" { print $3 }' "$merged/etc/group")
  expect "no group zol-dumps on the container" [ -n "$gid" ]
  left=$(find "$merged/data/zol/dumps/mosa2" "$flash" -mindepth 1 \( \( -type f -name '*.gz' \( ! -perm 640 -o ! -gid "$gid" \) \) \
    -o \( -type d -name links \( ! -perm 750 -o ! -gid "$gid" \) \) \) -printf '%p %m %g\n')
  expect "stored dumps or made directories readable by others, or not by zol-dumps: $left" [ -z "$left" ]
  echo "Seams: the unit failed and kept every dump without the drop-in and without the mount, and moved them once both were there"
}

# An integrator's removal: apt-get purge in the container (not booted), then
# from the host: no file of the package, no unit, no enablement left, and
# the moved dumps as they were.
check_purge() {
  local before packaged path left
  echo "== Purging the package"
  before=$(dumps_fingerprint)
  packaged=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./\(.*[^/]\)$|\1|p')
  systemd-nspawn --register=no --keep-unit -q --private-network -D "$merged" \
    env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q zol-cold-restart-dump-handler >"$work/purge.log" 2>&1 ||
    { cat "$work/purge.log" >&2; fail "apt-get purge failed in the container"; }
  while read -r path; do
    if [ -e "$merged/$path" ] || [ -L "$merged/$path" ]; then fail "/$path is left after the purge"; fi
  done <<<"$packaged"
  left=$( (find "$merged/etc/systemd" "$merged/lib/systemd" "$merged/usr/lib/systemd" "$merged/var/lib/systemd" \
    -name "$UNIT*" ! -name "$UNIT.d" ! -path "*/$UNIT.d/*"; grep -rl "$UNIT" "$merged/var/lib/systemd/deb-systemd-helper-enabled") \
    2>/dev/null | sed "s|^$merged||" | sort -u | tr '\n' ' ' || true)
  expect "the unit or its enablement is left after the purge: $left" [ -z "$left" ]
  expect "dpkg still knows the package after the purge" \
    [ -z "$(dpkg-query --admindir="$merged/var/lib/dpkg" -W -f='${db:Status-Abbrev}' zol-cold-restart-dump-handler 2>/dev/null)" ]
  expect "the purge changed the final dump or link directories" [ "$(dumps_fingerprint)" = "$before" ]
  echo "Purged: none of its $(wc -l <<<"$packaged") files, no unit and no enablement left; the dumps untouched"
}

# scripts/boot-test-armhf.sh sources this file for its checks.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  host_tools
  build_deb "$@"
  echo "== DEB: $deb"
  prepare_root
  prepare_container
  boot
  check_unit
  check_journal
  check_dumps
  check_sandbox
  echo "Boot test passed: the unit the package enabled ran once at boot and moved, linked and pruned every chip's dumps"
  check_seams
  check_purge
fi
