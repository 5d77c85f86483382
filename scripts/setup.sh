#!/usr/bin/env bash
# Installs what building, packaging, testing and the demo need on Debian 12
# (only the packages that are missing), then configures and builds into build/ (and,
# with --sanitize, an AddressSanitizer/UBSan build into build-asan/).
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  g++ cmake ninja-build pkg-config make
  zlib1g-dev liblttng-ust-dev lttng-tools babeltrace2
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pytest
  bubblewrap strace valgrind procps time gzip findutils coreutils busybox tree e2fsprogs btrfs-progs mount
  debhelper dpkg-dev lintian man-db
)

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
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

build() { # directory, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}

build build
if [ "${1:-}" = "--sanitize" ]; then
  build build-asan -DZOL_SANITIZE=ON
fi
