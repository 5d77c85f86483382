#!/usr/bin/env bash
# Usage: scripts/boot-test-armhf.sh [DEB]
# The boot test on an emulated 32-bit ARM board: a Debian 12 armhf root with
# systemd booted by Debian's armmp kernel on qemu-system-arm (-M virt). The
# DEB (by default the armhf package of scripts/package.sh armhf) is
# installed into it with apt-get before systemd starts, as in the container
# test (tests/boot/install.sh); systemd then boots as PID 1, the unit that
# the package enabled moves the test board's dumps (tests/boot/dumps.sh)
# under its whole sandbox, system-call filter included, and the board
# powers itself off. The host then reads the root's disk and checks what
# the container test checks (tests/boot/lib.sh).
#
# The board (kernel, initramfs, root disk image) is built once and cached
# in /var/cache/zol-boot-test/board-armhf; every run boots a copy of its
# disk.
set -euo pipefail
# shellcheck source=tests/boot/lib.sh
source "$(dirname "$0")/../tests/boot/lib.sh"

BOARD=$CACHE/board-armhf
BOARD_PACKAGES=systemd,systemd-sysv,liblttng-ust1,zlib1g,libstdc++6,libgcc-s1,lttng-tools,babeltrace2
BOARD_MODULES=(virtio_mmio virtio_blk crc32c_generic ext4) # the disk's drivers; ext4 asks for crc32c at mount
BOARD_LIMIT=${ZOL_BOARD_LIMIT:-900}        # seconds for one boot; only a safety net
BUILD_LIMIT=${ZOL_BOARD_BUILD_LIMIT:-3600} # seconds for debootstrap's second stage on the board
CONSOLE_LOG=$CACHE/last-armhf-boot-console.log
ROOT_SIZE=2G

# The modules to load and their dependencies before them, read from the
# modules themselves: the host has no depmod data for the board's kernel.
module_order() { # modules directory, names...
  local dir=$1 name file dependency
  shift
  for name in "$@"; do
    grep -qx "$name" "$building/initramfs/modules/order" 2>/dev/null && continue
    file=$(find "$dir" -name "$name.ko" -print -quit)
    [ -n "$file" ] || fail "module $name is not in the board's kernel package"
    for dependency in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
      module_order "$dir" "$dependency"
    done
    cp "$file" "$building/initramfs/modules/"
    echo "$name" >>"$building/initramfs/modules/order"
  done
}

# Boots the board and returns when it has powered off; every 30 s it shows
# the last line of the console that matches progress (a pattern).
run_board() { # log limit kernel-stage progress qemu-options...
  local log=$1 limit=$2 stage=$3 progress=$4 status=0 start
  shift 4
  start=$(now_ms)
  timeout -k 10 "$limit" qemu-system-arm -M virt -cpu cortex-a15 -m 1024 -nic none -no-reboot \
    -display none -monitor none -serial "file:$log" -kernel "$BOARD/vmlinuz" -initrd "$BOARD/initrd.img" \
    -append "console=ttyAMA0 panic=-1 zol.stage=$stage" "$@" </dev/null &
  board_pid=$!
  until timeout 30 tail --pid="$board_pid" -f /dev/null; do
    echo "   $(seconds_since "$start"): $(grep -a -E "$progress" "$log" | tail -n 1 | sed 's/\x1b\[[0-9;]*[A-Za-z]//g; s/\r//g' | cut -c1-100)"
  done
  wait "$board_pid" || status=$?
  board_pid=
  [ "$status" -eq 0 ] || { tail -n 30 "$log" >&2; fail "qemu-system-arm: status $status (124: no power-off within $limit s; console: $log)"; }
}

# The qemu options of a disk of the board; cache=unsafe only while the root
# is built, when a host crash would only mean building it again.
disk() { # array image id [cache]
  local -n options=$1
  options+=(-drive "if=none,format=raw,id=$3,file=$2${4:+,cache=$4}" -device "virtio-blk-device,drive=$3")
}

# Debian's armmp kernel, busybox for the initramfs, and a minbase root with
# what the test needs: debootstrap unpacks it on the host (--foreign), the
# board itself finishes it (its second stage runs ARM code).
build_board() {
  local step disks=()
  mkdir -p "$building/download" "$building/kernel" "$building/busybox" "$building/initramfs/modules" "$building/initramfs/bin"
  (cd "$building/download" && apt-get download -q -o APT::Sandbox::User=root "$kernel:armhf" busybox-static:armhf) ||
    fail "downloading the board's kernel failed"
  dpkg-deb -x "$building"/download/"$kernel"_*.deb "$building/kernel"
  dpkg-deb -x "$building"/download/busybox-static_*.deb "$building/busybox"
  cp "$building"/kernel/boot/vmlinuz-* "$building/vmlinuz"
  module_order "$building/kernel/lib/modules" "${BOARD_MODULES[@]}"
  cp "$building/busybox/bin/busybox" "$building/initramfs/bin/"
  install -m 755 tests/boot/arm/init "$building/initramfs/init"
  (cd "$building/initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$building/initrd.img"
  echo "   kernel $kernel, modules: $(tr '\n' ' ' <"$building/initramfs/modules/order")"

  step=$(now_ms)
  logged "$building/debootstrap.log" "debootstrap --foreign" debootstrap --foreign --arch=armhf --variant=minbase \
    --include="$BOARD_PACKAGES" bookworm "$building/root" "$(mirror)"
  install -m 755 tests/boot/arm/second-stage.sh "$building/root/zol-second-stage.sh"
  echo "   debootstrap --foreign on the host took $(seconds_since "$step")"

  step=$(now_ms)
  echo "-- debootstrap's second stage on the emulated board (the longest step; console: $building/second-stage.log)"
  mke2fs -q -t ext4 -L zolroot -d "$building/root" "$building/root.img" "$ROOT_SIZE" >/dev/null
  disk disks "$building/root.img" root unsafe
  BOARD=$building run_board "$building/second-stage.log" "$BUILD_LIMIT" second '^I: ' -smp 2 "${disks[@]}"
  e2fsck -fy "$building/root.img" >/dev/null 2>&1 || [ $? -le 1 ] || fail "the board's root is damaged after its second stage"
  debugfs -R "stat /zol-board-ready" "$building/root.img" 2>/dev/null | grep -q "Type: regular" ||
    { tail -n 30 "$building/second-stage.log" >&2; fail "debootstrap's second stage did not finish"; }
  echo "   took $(seconds_since "$step")"
  rm -rf "$building/root" "$building/download" "$building/kernel" "$building/busybox" "$building/initramfs"
}

# A copy of the root disk, and a second disk with the DEB and the test's
# scripts and units, mounted at /mnt while the initramfs installs them.
boot_board() {
  local start disks=()
  work=$(mktemp -d /var/tmp/zol-boot-armhf.XXXXXX)
  cp --sparse=always "$BOARD/root.img" "$work/root.img"
  mkdir -p "$work/input"
  cp "$deb" "$work/input/zol.deb"
  cp -r tests/boot "$work/input/boot"
  cp -r packaging "$work/input/packaging"
  mke2fs -q -t ext4 -L zolinput -d "$work/input" "$work/input.img" 64M >/dev/null
  echo "== Booting the emulated armhf board"
  start=$(now_ms)
  disk disks "$work/root.img" root
  disk disks "$work/input.img" input
  run_board "$CONSOLE_LOG" "$BOARD_LIMIT" boot 'zol-board:|Setting up|Starting|Finished' "${disks[@]}"
  grep -q "zol-board: installed" "$CONSOLE_LOG" ||
    { tail -n 30 "$CONSOLE_LOG" >&2; fail "installing the DEB on the board failed (console: $CONSOLE_LOG)"; }
  echo "Install and boot to power-off took $(seconds_since "$start")"
}

# What the checks read, copied out of the board's disk into $work/root
# without mounting it.
read_board() {
  local path
  e2fsck -fy "$work/root.img" >"$work/e2fsck.log" 2>&1 || [ $? -le 1 ] ||
    { cat "$work/e2fsck.log" >&2; fail "the board's root file system is damaged after its power-off"; }
  use_root "$work/root"
  mkdir -p "$merged/var/lib" "$merged/data" "$merged/srv" "$merged/lib/systemd/system"
  for path in /var/lib/zol-boot-test:/var/lib /var/lib/zol:/var/lib /data/zol:/data /srv/zol:/srv; do
    debugfs -R "rdump ${path%%:*} $merged${path#*:}" "$work/root.img" >/dev/null 2>&1
  done
  debugfs -R "dump /usr/lib/systemd/system/$UNIT $merged/lib/systemd/system/$UNIT" "$work/root.img" >/dev/null 2>&1
}

# The board's kernel and busybox are armhf packages: apt must know armhf.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
  apt-get update || echo "apt-get update reported a failure; installing anyway"
fi
host_tools qemu-system-arm debootstrap cpio e2fsprogs babeltrace2 systemd
package armhf "$@"
kernel=$(apt-cache depends linux-image-armmp:armhf | awk '/Depends: linux-image-/ { sub(/:armhf$/, "", $2); print $2; exit }')
[ -n "$kernel" ] || fail "no armhf kernel package for linux-image-armmp"
cached "$BOARD" .zol-board "bookworm armhf minbase $BOARD_PACKAGES $kernel" build_board
boot_board
read_board
check_boot
echo "Boot test on the emulated armhf board passed: the unit the package enabled ran once at boot, under its whole sandbox, and moved, linked and pruned every chip's dumps"
