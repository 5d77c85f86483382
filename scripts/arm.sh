#!/usr/bin/env bash
# Usage: scripts/arm.sh armhf|arm64
# Prepares a sysroot from Debian's packages of the target architecture,
# cross-builds the program and its tests into build-<arch>/, checks the
# binary and the DEB package, and runs the unit tests and the end-to-end
# suite under qemu user-mode emulation.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:?usage: scripts/arm.sh armhf|arm64}
case $arch in
  armhf) triple=arm-linux-gnueabihf; file_says="ARM, EABI5" ;;
  arm64) triple=aarch64-linux-gnu;   file_says="ARM aarch64" ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
build=build-$arch
sysroot=$PWD/$build/sysroot
SYSROOT_PACKAGES=(zlib1g zlib1g-dev liblttng-ust1 liblttng-ust-common1 liblttng-ust-ctl5 liblttng-ust-dev
                  liburcu8 liburcu-dev libnuma1 libgtest-dev)

bash scripts/setup.sh
export DEBIAN_FRONTEND=noninteractive
host_packages=(g++-$triple qemu-user file dpkg-dev)
for package in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || {
    apt-get update || true; apt-get install -y --no-install-recommends "${host_packages[@]}"; break; }
done

prepare_sysroot() {
  [ -f "$sysroot/.complete" ] && return
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
  fi
  # apt-get update may fail while a mirror syncs one architecture's index:
  # what counts is whether the packages can be had.
  for package in "${SYSROOT_PACKAGES[@]}"; do
    apt-cache show "$package:$arch" >/dev/null 2>&1 || { apt-get update || true; break; }
  done
  rm -rf "$sysroot" "$build/debs" && mkdir -p "$sysroot" "$build/debs"
  (cd "$build/debs" && apt-get download -q "${SYSROOT_PACKAGES[@]/%/:$arch}" >/dev/null)
  for deb in "$build"/debs/*.deb; do dpkg -x "$deb" "$sysroot"; done
  # Libraries ship in /lib and /usr/lib; development links point at /lib
  # with absolute paths. Merge the two and point the links into the sysroot.
  if [ -d "$sysroot/lib" ]; then
    cp -a "$sysroot/lib/." "$sysroot/usr/lib/" && rm -rf "$sysroot/lib"
  fi
  find "$sysroot" -type l -lname '/*' | while read -r link; do
    target=$(readlink "$link"); target=/usr${target#/usr}
    ln -sfn "$sysroot$target" "$link"
  done
  touch "$sysroot/.complete"
}

prepare_sysroot
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch.cmake" -DZOL_SYSROOT="$sysroot" >/dev/null
cmake --build "$build"

echo "== $arch binary and package"
description=$(file "$build/zolUrdaColdRestartDumpHandler")
echo "$description"
grep -q "$file_says" <<<"$description"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zol-cold-restart-dump-handler_*_"$arch".deb)
root=$(mktemp -d); trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
for installed in usr/bin/zolUrdaColdRestartDumpHandler usr/lib/systemd/system/zol-cold-restart-dump-handler.service; do
  [ -f "$root/$installed" ] || { echo "missing from $deb: /$installed" >&2; exit 1; }
done
echo "$deb installs /usr/bin/zolUrdaColdRestartDumpHandler and its systemd unit"

echo "== Tests on $build under qemu user-mode emulation"
cd "$build" && ctest --output-on-failure
