#!/usr/bin/env bash
# Usage: scripts/setup.sh [--demo | --sanitize | --everything | --boot-roots | --arm-and-boot]
# Installs the packages that are missing on Debian 12, then configures and
# builds. With --demo: only what the demo needs, and the program alone into
# build-demo/. Without an option: what building, packaging and the native
# tests need, and the program with its tests, warnings as errors, into
# build/; with --sanitize also an AddressSanitizer/UBSan build into
# build-asan/. With --everything: the builds of --sanitize, and besides what
# the whole test command needs (scripts/test.sh): the ARM cross compilers
# and target libraries through multiarch, the emulators, and the boot tests'
# tools. The test command installs in three steps, each starting the work
# it allows while apt goes on: --boot-roots (what building the boot tests'
# roots needs), --sanitize, then --arm-and-boot (what --everything adds);
# these two modes build nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}
# The test command sets up once, before its lanes run side by side: their
# own calls must not configure the builds that another lane is testing.
[ -z "${ZOL_SET_UP:-}" ] || exit 0

# Building the program and running the demo (scripts/demo.py, tools/board/).
DEMO_PACKAGES=(
  g++ cmake ninja-build pkg-config zlib1g-dev liblttng-ust-dev
  python3 bubblewrap lttng-tools babeltrace2 tree
)
# The tests, the packages and the benchmarks besides.
TEST_PACKAGES=(
  make libgtest-dev libgmock-dev python3-pytest python3-pytest-xdist
  strace valgrind procps time gzip findutils coreutils busybox e2fsprogs btrfs-progs mount
  debhelper dpkg-dev lintian man-db
)
# The ARM legs (scripts/arm.sh): beyond debian/control's Build-Depends, the
# target's C++ runtime, which dpkg-shlibdeps reads for the package's
# dependencies, GoogleTest, and the libraries of the target's LTTng consumer
# daemon. The boot tests: a container and an emulated ARM board.
ARCHES=(armhf arm64)
BOOT_ROOT_PACKAGES=(debootstrap cpio e2fsprogs) # and apt's lists of the armhf kernel's architecture
EVERYTHING_PACKAGES=(qemu-user file systemd systemd-container qemu-system-arm "${BOOT_ROOT_PACKAGES[@]}")
for arch in "${ARCHES[@]}"; do
  EVERYTHING_PACKAGES+=(crossbuild-essential-"$arch" libstdc++6:"$arch" libgtest-dev:"$arch"
                        liblttng-ust-ctl5:"$arch" liburcu8:"$arch")
done

case $mode in
  --demo) PACKAGES=("${DEMO_PACKAGES[@]}") ;;
  --boot-roots) PACKAGES=("${BOOT_ROOT_PACKAGES[@]}") ;;
  --arm-and-boot) PACKAGES=("${EVERYTHING_PACKAGES[@]}") ;;
  --everything) PACKAGES=("${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${EVERYTHING_PACKAGES[@]}") ;;
  *) PACKAGES=("${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
esac

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
cross_missing=() added_arches=()
if [[ $mode =~ ^--(everything|boot-roots|arm-and-boot)$ ]]; then
  for arch in "${ARCHES[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || { dpkg --add-architecture "$arch"; added_arches+=("$arch"); }
    [ "$mode" = --boot-roots ] || dpkg-checkbuilddeps -a "$arch" 2>/dev/null || cross_missing+=("$arch")
  done
fi
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ] || [ ${#cross_missing[@]} -gt 0 ] || [ ${#added_arches[@]} -gt 0 ]; then
  # With a foreign architecture added (ARM builds), apt-get update can fail
  # while a mirror syncs that architecture's index; the install below tells
  # whether what we need can be had.
  apt-get update || echo "apt-get update reported a failure; installing anyway"
fi
if [ ${#missing[@]} -gt 0 ] || [ ${#cross_missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]} ${cross_missing[*]/#/build dependencies for }"
  [ ${#missing[@]} -eq 0 ] || apt-get install -y -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
  for arch in "${cross_missing[@]}"; do
    apt-get build-dep -y -o DPkg::Lock::Timeout=600 --host-architecture "$arch" ./
  done
fi

build() { # directory, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}

[[ ! $mode =~ ^--(boot-roots|arm-and-boot)$ ]] || exit 0
if [ "$mode" = --demo ]; then
  build build-demo -DZOL_BUILD_TESTS=OFF
  exit 0
fi
build build -DZOL_BUILD_TESTS=ON -DZOL_WERROR=ON
if [ "$mode" = --sanitize ] || [ "$mode" = --everything ]; then
  build build-asan -DZOL_BUILD_TESTS=ON -DZOL_WERROR=ON -DZOL_SANITIZE=ON
fi
