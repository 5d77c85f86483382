#!/bin/sh
# Usage: tests/e2e/on_tmpfs.sh COMMAND...
# Runs the end-to-end suite with its temporary files on a tmpfs of its own,
# in a mount namespace of its own, where it may (as root, which the crash
# harness needs anyway): the cases' syncs and image copies then wait on no
# disk, and the tmpfs goes with the namespace however the suite ends. Its
# mount point is a new directory of the usual temporary one, whose short
# path leaves room for the cases' socket paths.
[ "$(id -u)" = 0 ] || exec "$@"
dir=$(mktemp -d)
trap 'rmdir "$dir"' EXIT
unshare --mount --propagation private sh -c 'mount -t tmpfs -o size=8g zol-e2e "$0" && TMPDIR=$0 exec "$@"' "$dir" "$@"
