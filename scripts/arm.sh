#!/usr/bin/env bash
# Usage: scripts/arm.sh armhf|arm64
# Cross-builds the Debian packages into build-deb/<arch>/
# (scripts/package.sh), checks the packaged binary, cross-builds and
# installs the program as a BSP's build would (below), cross-builds the
# unit tests into build-<arch>/ against the same multiarch
# libraries, and runs the unit tests and the end-to-end suite, the latter on
# the binary from the package, under qemu user-mode emulation. The suite's
# LTTng session daemon records the emulated program through the target
# architecture's consumer daemon, run under the same emulation.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:?usage: scripts/arm.sh armhf|arm64}
case $arch in
  armhf) triple=arm-linux-gnueabihf; file_says="ARM, EABI5"; qemu=qemu-arm ;;
  arm64) triple=aarch64-linux-gnu;   file_says="ARM aarch64"; qemu=qemu-aarch64 ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
build=build-$arch

# The cross compilers, the targets' libraries and the emulators.
bash scripts/setup.sh --everything

# The target's lttng-consumerd, of the host's lttng-tools version (the
# session daemon and its consumer daemons speak one protocol version), from
# the lttng-tools package of that architecture unpacked beside the build:
# installing it would replace the host's own lttng-tools. Its libraries are
# the multiarch ones. The session daemon starts it through a script that
# runs it under qemu, as the program itself runs.
prepare_consumerd() {
  local version root=$PWD/$build/lttng-consumerd-root download=$PWD/$build/lttng-tools-download
  version=$(dpkg-query -W -f='${Version}' lttng-tools)
  consumerd=$PWD/$build/lttng-consumerd
  echo "== The $arch LTTng consumer daemon (lttng-tools $version)"
  rm -rf "$root" "$download" && mkdir -p "$root" "$download"
  (cd "$download" && apt-get download -q -o APT::Sandbox::User=root "lttng-tools:$arch=$version")
  dpkg-deb -x "$download"/lttng-tools_*_"$arch".deb "$root"
  rm -rf "$download"
  [ -x "$root/usr/lib/$triple/lttng/libexec/lttng-consumerd" ] || { echo "no lttng-consumerd in $root" >&2; exit 1; }
  cat >"$consumerd" <<EOF
#!/bin/sh
# The $arch LTTng consumer daemon under qemu; the session daemon's library
# path is for native programs.
unset LD_LIBRARY_PATH
exec $qemu -L / -E LD_LIBRARY_PATH=/usr/lib/$triple $root/usr/lib/$triple/lttng/libexec/lttng-consumerd "\$@"
EOF
  chmod 755 "$consumerd"
}

# What a BSP's build does with the toolchain file: a plain configure, which
# leaves the tests off when cross-compiling (GoogleTest is hidden from it, so
# that this fails should anything look for it), a build, and an install into
# a staging root with DESTDIR. The toolchain files differ only in their
# names, so the 32-bit target alone is built this way.
check_plain_cross_install() {
  local dir=$build/plain stage=$PWD/$build/plain-stage unit_dir installed_file
  echo "== A plain $arch cross build, installed with DESTDIR"
  rm -rf "$dir" "$stage"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch.cmake" \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON --no-warn-unused-cli >/dev/null
  cmake --build "$dir"
  DESTDIR=$stage cmake --install "$dir" >/dev/null
  # The unit goes where the target's systemd.pc says, else below the prefix /usr.
  unit_dir=$(PKG_CONFIG_LIBDIR=/usr/lib/$triple/pkgconfig:/usr/share/pkgconfig \
             pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || true)
  for installed_file in usr/bin/zolUrdaColdRestartDumpHandler \
      "${unit_dir:-/usr/lib/systemd/system}/zol-cold-restart-dump-handler.service" \
      usr/share/man/man8/zolUrdaColdRestartDumpHandler.8 \
      usr/share/doc/zol-cold-restart-dump-handler/zol-cold-restart-dump-handler-dumpdir.conf.example \
      usr/lib/zol-cold-restart-dump-handler/zolUrdaDumpDirCheck usr/lib/sysusers.d/zol-cold-restart-dump-handler.conf; do
    [ -f "$stage/${installed_file#/}" ] || { echo "not installed: /${installed_file#/}" >&2; exit 1; }
  done
  file "$stage/usr/bin/zolUrdaColdRestartDumpHandler" | grep "$file_says"
}

bash scripts/package.sh "$arch"
prepare_consumerd

echo "== The packaged $arch binary"
deb=$(ls build-deb/"$arch"/zol-cold-restart-dump-handler_*_"$arch".deb)
root=$PWD/$build/package-root
rm -rf "$root" && mkdir -p "$root"
dpkg-deb -x "$deb" "$root"
for installed_file in usr/bin/zolUrdaColdRestartDumpHandler lib/systemd/system/zol-cold-restart-dump-handler.service \
                      usr/share/man/man8/zolUrdaColdRestartDumpHandler.8.gz; do
  [ -f "$root/$installed_file" ] || { echo "missing from $deb: /$installed_file" >&2; exit 1; }
done
program=$root/usr/bin/zolUrdaColdRestartDumpHandler
description=$(file "$program")
echo "$description"
grep -q "$file_says" <<<"$description"
grep -q ", stripped" <<<"$description" || { echo "the packaged binary is not stripped" >&2; exit 1; }

[ "$arch" != armhf ] || check_plain_cross_install

echo "== Unit tests on $build under qemu user-mode emulation"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch.cmake" \
  -DZOL_BUILD_TESTS=ON -DZOL_WERROR=ON >/dev/null
cmake --build "$build" --target zolUnitTests
status=0
(cd "$build" && ctest --output-on-failure -E '^e2e$') || status=1

echo "== End-to-end suite on the packaged binary under qemu user-mode emulation"
# The emulator command of cmake/toolchains/debian-cross.cmake, the emulator
# by its absolute path for the power-cut cutter, which runs on the host, and
# the Python that CTest runs the suite with.
emulator="$(command -v "$qemu") -L / -E LD_LIBRARY_PATH=/usr/lib/$triple"
cc -O2 -Wall -Wextra -Werror -pthread -o "$build/cutter" tools/powercut/cutter.c
# A 64-bit target has 64-bit file offsets whatever the build flags: the dump
# beyond 2 GiB, minutes under qemu-aarch64, proves something on armhf alone.
large_files=()
[ "$arch" = armhf ] || large_files=(--ignore=tests/e2e/test_large_files.py)
/usr/bin/python3 -m pytest -q -p no:cacheprovider -n 2 --durations=5 tests/e2e "${large_files[@]}" \
  --program="$program" --emulator="$emulator" --consumerd="$consumerd" --cutter="$PWD/$build/cutter" || status=1
exit $status
