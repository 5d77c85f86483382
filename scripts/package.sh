#!/usr/bin/env bash
# Usage: scripts/package.sh [ARCH]   (default: this machine's architecture)
# Builds the Debian packages from debian/ with dpkg-buildpackage (for a
# foreign ARCH a cross build, --host-arch ARCH, whose build dependencies of
# that architecture scripts/arm.sh installs through multiarch), collects
# them in build-deb/ARCH/ and checks them with lintian (no error, no
# warning) and the manual page with man (no warning). The build leaves
# nothing in the source tree or its parent directory.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-$(dpkg --print-architecture)}
out=build-deb/$arch
manpage=packaging/zolUrdaColdRestartDumpHandler.8
source=$(dpkg-parsechangelog -S Source)
version=$(dpkg-parsechangelog -S Version)
# dpkg-buildpackage writes these into the parent directory.
made=("../${source}_${version}_$arch.deb" "../${source}-dbgsym_${version}_$arch.deb"
      "../${source}_${version}_$arch.buildinfo" "../${source}_${version}_$arch.changes")
host=()
if [ "$arch" != "$(dpkg --print-architecture)" ]; then host=(--host-arch "$arch"); fi

echo "== Debian packages for $arch"
rm -rf "$out" && mkdir -p "$out"
# Every build works in debian/ and the parent directory: one at a time,
# as the test command packages for several architectures side by side.
exec {lock}>build-deb/.building
flock "$lock"
rm -f "${made[@]}"
# The package never builds or runs the tests (debian/rules); nocheck says so
# to any helper that would look.
DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -b -us -uc --post-clean "${host[@]}" >"$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log" >&2; rm -f "${made[@]}"; debian/rules clean >/dev/null 2>&1 || true
    echo "dpkg-buildpackage failed (log: $out/build.log)" >&2; exit 1; }
mv "${made[@]}" "$out/"
exec {lock}>&-
for deb in "$out"/*.deb; do
  echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Installed-Size) KiB installed; Depends: $(dpkg-deb -f "$deb" Depends)"
done

status=0
hints=$(lintian --fail-on error,warning "$out/${source}_${version}_$arch.changes" 2>&1) || status=$?
grep -v '^running with root privileges' <<<"$hints" || true
if [ "$status" -ne 0 ]; then echo "lintian found errors or warnings (above)" >&2; exit 1; fi
echo "lintian: no error, no warning"

warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$manpage" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  echo "$warnings" >&2
  echo "man warns about $manpage (above)" >&2
  exit 1
fi
echo "man: no warning for $manpage"
