#!/usr/bin/env bash
# Usage: scripts/boot-test.sh [DEB | --root-only]
# Installs the DEB (by default this machine's, built by scripts/package.sh)
# into a Debian 12 container with apt-get, boots it with systemd as PID 1,
# lets the unit that the package enabled move a test board's dumps during
# boot (tests/boot/), and checks the outcome from the host once the
# container has powered itself off (tests/boot/lib.sh). Then boots the
# board's seams, purges the package and checks that nothing of it is left,
# its enablement included, and that the dumps are untouched. The container
# root is built once with debootstrap and cached outside the repository;
# every run boots a throwaway overlay of it. With --root-only, the root is
# built (when it is not cached yet) and nothing else is done.
set -euo pipefail
# shellcheck source=tests/boot/lib.sh
source "$(dirname "$0")/../tests/boot/lib.sh"

ROOT=$CACHE/root-bookworm
ROOT_PACKAGES=systemd,systemd-sysv,liblttng-ust1,zlib1g,lttng-tools
BOOT_LIMIT=${ZOL_BOOT_LIMIT:-300} # seconds; only a safety net, the power-off ends the boot
CONSOLE_LOG=$CACHE/last-boot-console.log
NSPAWN=(systemd-nspawn --register=no --keep-unit -q --private-network)

build_root() {
  logged "$CACHE/debootstrap.log" debootstrap debootstrap --variant=minbase --include="$ROOT_PACKAGES" bookworm \
    "$building" "$(mirror)"
  rm -f "$building"/var/cache/apt/archives/*.deb
}

# The cache stays untouched: the container writes into the overlay's upper layer.
prepare_container() {
  work=$(mktemp -d /var/tmp/zol-boot-test.XXXXXX)
  mkdir "$work/upper" "$work/overlay-work" "$work/root"
  use_root "$work/root"
  mount -t overlay zol-boot-test -o "lowerdir=$ROOT,upperdir=$work/upper,workdir=$work/overlay-work" "$merged" ||
    cp -a "$ROOT/." "$merged" # where overlayfs cannot stack, e.g. on an overlay root
  logged "$work/install.log" "installing the DEB and the test units into the container" "${NSPAWN[@]}" -D "$merged" \
    --bind-ro="$deb:/mnt/zol.deb" --bind-ro="$PWD/tests/boot:/mnt/boot" --bind-ro="$PWD/packaging:/mnt/packaging" \
    bash /mnt/boot/install.sh
  if grep -E '^(Get|Hit|Ign|Err):[0-9]+ [a-z+]+://' "$work/install.log"; then fail "apt-get went to the network (above)"; fi
}

boot() { # extra systemd-nspawn options...
  local start
  echo "== Booting the container"
  start=$SECONDS
  logged "$CONSOLE_LOG" "the boot (124: no power-off within $BOOT_LIMIT s)" \
    timeout -k 10 "$BOOT_LIMIT" "${NSPAWN[@]}" -b --console=read-only "$@" -D "$merged"
  echo "Boot to power-off took $(seconds_since "$start")"
}

# The board's seams. Persistent memory is bound from the host, so that it
# outlives each boot as on a board: chip 2's final dump directory is one the
# unit may write by default, chip 4's lies on a flash at /mnt/flash. Until the
# flash is mounted and the drop-in lets the unit write it, the unit must fail
# before the program runs, and every dump must wait.
SEAM_CHIPS=("2 /data/zol/dumps/mosa2/ /data/zol/links/mosa2/ 3 2" "4 /mnt/flash/dumps/mosa4/ /mnt/flash/dumps/links/mosa4/ 3 1")

pmem_fingerprint() { (cd "$work/pmem" && find . -type f -print0 | sort -z | xargs -0 md5sum); }

seam_boot() { # extra systemd-nspawn options...
  rm -rf "$state" "$merged"/etc/systemd/system/multi-user.target.wants/zol-boot-{layout,probe,baseband}.service
  mkdir -p "$state"
  boot --bind="$work/pmem:/run/pmem" "$@"
  [ -f "$state/report-complete" ] || fail "the report unit did not finish (console output: $CONSOLE_LOG)"
}

# A failed check fails the unit; a failed assertion leaves it inactive with
# the assertion in its journal.
expect_dumps_kept() { # what, persistent memory's fingerprint before the boot, the unit's state
  expect "$1: the unit is not $3: $(tr '\n' ' ' <"$state/unit.txt")" grep -qx "ActiveState=$3" "$state/unit.txt"
  if grep -q 'Cold restart dump handler is DONE' "$state/program.log"; then fail "$1: the program ran"; fi
  expect "$1: persistent memory changed" [ "$(pmem_fingerprint)" = "$2" ]
}

check_seams() {
  local entry before gid left drop_in=$merged/etc/systemd/system/$UNIT.d/flash.conf flash=$work/flashroot/mnt/flash
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

dumps_fingerprint() { # every entry of the final dump and link directories, with each file's digest
  (cd "$merged" && find var/lib/zol data/zol srv/zol -printf '%p %y %s %T@ %l\n' | sort &&
    find var/lib/zol data/zol srv/zol -type f -print0 | sort -z | xargs -0 md5sum)
}

# An integrator's removal: apt-get purge in the container (not booted), then
# from the host: no file of the package, no unit, no enablement left, and
# the moved dumps as they were.
check_purge() {
  local before packaged path left
  echo "== Purging the package"
  before=$(dumps_fingerprint)
  packaged=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./\(.*[^/]\)$|\1|p')
  logged "$work/purge.log" "apt-get purge in the container" "${NSPAWN[@]}" -D "$merged" \
    env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q zol-cold-restart-dump-handler
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

cached "$ROOT" "bookworm minbase $ROOT_PACKAGES" build_root
[ "${1:-}" != --root-only ] || exit 0
package "$(dpkg --print-architecture)" "$@"
prepare_container
boot
check_boot
echo "Boot test passed: the unit the package enabled ran once at boot and moved, linked and pruned every chip's dumps"
check_seams
check_purge
