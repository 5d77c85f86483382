#!/usr/bin/env bash
# Usage: scripts/boot-test-armhf.sh [DEB | --root-only]
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
# in /var/cache/zol-boot-test/board-armhf-bookworm; every run boots a copy
# of its disk. With --root-only, the board is built (when it is not cached
# yet) and nothing else is done.
set -euo pipefail
# shellcheck source=tests/boot/lib.sh
source "$(dirname "$0")/../tests/boot/lib.sh"

BOARD=$CACHE/board-armhf-bookworm
BOARD_PACKAGES=systemd,systemd-sysv,liblttng-ust1,zlib1g,libstdc++6,libgcc-s1,lttng-tools
BOARD_MODULES=(virtio_mmio virtio_blk crc32c_generic ext4) # the disk's drivers; ext4 asks for crc32c at mount
BOARD_LIMIT=${ZOL_BOARD_LIMIT:-900} # seconds for one boot; only a safety net
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

# Debian's armmp kernel, busybox for the initramfs, and a minbase root with
# what the test needs: debootstrap unpacks the root on the host (--foreign),
# then runs its second stage there too, the root's ARM programs run by
# Debian's static qemu-arm (tests/boot/arm/second-stage.sh). dpkg writes
# without syncing: an interrupted build is thrown away.
build_board() {
  local step root=$building/root
  mkdir -p "$building/download" "$building/kernel" "$building/busybox" "$building/initramfs/modules" "$building/initramfs/bin"
  (cd "$building/download" && apt-get download -q -o APT::Sandbox::User=root "$kernel:armhf" busybox-static:armhf \
    qemu-user-static) || fail "downloading the board's kernel, busybox or qemu-arm failed"
  dpkg-deb -x "$building"/download/"$kernel"_*.deb "$building/kernel"
  dpkg-deb -x "$building"/download/busybox-static_*.deb "$building/busybox"
  dpkg-deb -x "$building"/download/qemu-user-static_*.deb "$building/qemu"
  cp "$building"/kernel/boot/vmlinuz-* "$building/vmlinuz"
  module_order "$building/kernel/lib/modules" "${BOARD_MODULES[@]}"
  cp "$building/busybox/bin/busybox" "$building/initramfs/bin/"
  install -m 755 tests/boot/arm/init "$building/initramfs/init"
  (cd "$building/initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$building/initrd.img"
  echo "   kernel $kernel, modules: $(tr '\n' ' ' <"$building/initramfs/modules/order")"
  step=$SECONDS
  logged "$building/debootstrap.log" "debootstrap --foreign" debootstrap --foreign --arch=armhf --variant=minbase \
    --include="$BOARD_PACKAGES" bookworm "$root" "$(mirror)"
  echo "   debootstrap --foreign took $(seconds_since "$step")"
  step=$SECONDS
  echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/zol-boot-build"
  second_stage "$root"
  echo "   its second stage took $(seconds_since "$step")"
  rm -f "$root/etc/dpkg/dpkg.cfg.d/zol-boot-build" "$root"/var/cache/apt/archives/*.deb
  # Without udev no serial device unit ever appears, and the getty on the
  # console would wait 90 s for it: the boots need no login.
  ln -s /dev/null "$root/etc/systemd/system/serial-getty@ttyAMA0.service"
  mke2fs -q -t ext4 -L zolroot -d "$root" "$building/root.img" "$ROOT_SIZE" >/dev/null
  rm -rf "$root" "$building"/{download,kernel,busybox,qemu,initramfs,binfmt,ready,mapped}
}

# In a user namespace of its own, whose ids (the host's 0-65535 as they are)
# only a process outside it may map: the stage waits for them.
second_stage() { # root
  local ready mapped log=$building/second-stage.log
  mkdir "$building/binfmt"
  mkfifo "$building/ready" "$building/mapped"
  exec {ready}<>"$building/ready" {mapped}<>"$building/mapped"
  unshare --user --mount --pid --net --fork --kill-child bash tests/boot/arm/second-stage.sh "$building/ready" \
    "$building/mapped" "$building/qemu/usr/bin/qemu-arm-static" "$building/qemu/usr/lib/binfmt.d/qemu-arm.conf" \
    "$building/binfmt" "$1" >"$log" 2>&1 &
  board_pid=$!
  read -r -t 60 -u "$ready" _ || { cat "$log" >&2; fail "no user namespace for debootstrap's second stage"; }
  echo '0 0 65536' >"/proc/$board_pid/uid_map"
  echo '0 0 65536' >"/proc/$board_pid/gid_map"
  echo >&"$mapped"
  wait "$board_pid" || { tail -n 30 "$log" >&2; fail "debootstrap's second stage failed (log: $log)"; }
  board_pid=
  exec {ready}<&- {mapped}<&-
}

# A copy of the root disk, and a second disk with the DEB and the test's
# scripts and units, mounted at /mnt while the initramfs installs them.
boot_board() {
  local start disk disks=() status=0
  work=$(mktemp -d /var/tmp/zol-boot-armhf.XXXXXX)
  cp --sparse=always "$BOARD/root.img" "$work/root.img"
  mkdir -p "$work/input"
  cp "$deb" "$work/input/zol.deb"
  cp -r tests/boot "$work/input/boot"
  cp -r packaging "$work/input/packaging"
  mke2fs -q -t ext4 -L zolinput -d "$work/input" "$work/input.img" 64M >/dev/null
  echo "== Booting the emulated armhf board"
  start=$SECONDS
  for disk in root input; do
    disks+=(-drive "if=none,format=raw,id=$disk,file=$work/$disk.img" -device "virtio-blk-device,drive=$disk")
  done
  timeout -k 10 "$BOARD_LIMIT" qemu-system-arm -M virt -cpu cortex-a15 -m 1024 -nic none -no-reboot -display none \
    -monitor none -serial "file:$CONSOLE_LOG" -kernel "$BOARD/vmlinuz" -initrd "$BOARD/initrd.img" \
    -append "console=ttyAMA0 panic=-1" "${disks[@]}" </dev/null &
  board_pid=$!
  wait "$board_pid" || status=$?
  board_pid=
  [ "$status" -eq 0 ] || { tail -n 30 "$CONSOLE_LOG" >&2; fail "qemu-system-arm: status $status (124: no power-off within $BOARD_LIMIT s)"; }
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

kernel=$(apt-cache depends linux-image-armmp:armhf | awk '/Depends: linux-image-/ { sub(/:armhf$/, "", $2); print $2; exit }')
[ -n "$kernel" ] || fail "no armhf kernel package for linux-image-armmp"
cached "$BOARD" "bookworm armhf minbase $BOARD_PACKAGES $kernel" build_board
[ "${1:-}" != --root-only ] || exit 0
package armhf "$@"
boot_board
read_board
check_boot
echo "Boot test on the emulated armhf board passed: the unit the package enabled ran once at boot, under its whole sandbox, and moved, linked and pruned every chip's dumps"
