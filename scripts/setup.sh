#!/usr/bin/env bash
# Usage: scripts/setup.sh [--sanitize | --demo]
# Installs the packages that are missing on Debian 12, then configures and
# builds. Without --demo: what building, packaging and testing need, and the
# program with its tests, warnings as errors, into build/ (with --sanitize
# also an AddressSanitizer/UBSan build into build-asan/). With --demo: only
# what the demo needs, and the program alone into build-demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}

# Building the program and running the demo (scripts/demo.py, tools/board/).
DEMO_PACKAGES=(
  g++ cmake ninja-build pkg-config zlib1g-dev liblttng-ust-dev
  python3 bubblewrap lttng-tools babeltrace2 tree
)
# The tests, the packages and the benchmarks besides.
TEST_PACKAGES=(
  make libgtest-dev libgmock-dev python3-pytest python3-pytest-xdist python3-seccomp
  strace valgrind procps time gzip findutils coreutils busybox e2fsprogs btrfs-progs mount
  debhelper dpkg-dev lintian man-db
)
PACKAGES=("${DEMO_PACKAGES[@]}")
[ "$mode" = --demo ] || PACKAGES+=("${TEST_PACKAGES[@]}")

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # With a foreign architecture added (ARM builds), apt-get update can fail
  # while a mirror syncs that architecture's index; the install below tells
  # whether what we need can be had.
  apt-get update || echo "apt-get update reported a failure; installing anyway"
  apt-get install -y -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
fi

build() { # directory, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}

if [ "$mode" = --demo ]; then
  build build-demo -DZOL_BUILD_TESTS=OFF
  exit 0
fi
build build -DZOL_BUILD_TESTS=ON -DZOL_WERROR=ON
if [ "$mode" = --sanitize ]; then
  build build-asan -DZOL_BUILD_TESTS=ON -DZOL_WERROR=ON -DZOL_SANITIZE=ON
fi
