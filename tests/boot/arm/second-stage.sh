#!/bin/bash
# Runs in a user namespace of its own, made by scripts/boot-test-armhf.sh,
# which maps its ids once this script says it is ready: debootstrap's second
# stage of the board's root. This namespace's own binfmt_misc instance
# (Linux 6.7 or later) hands the root's ARM programs to a static qemu-arm;
# the host's binfmt_misc is left as it is.
set -euo pipefail
ready=$1 mapped=$2 qemu=$3 binfmt_conf=$4 instance=$5 root=$6
echo >"$ready"
read -r _ <"$mapped"
mount -t binfmt_misc binfmt_misc "$instance"
echo ":zol-arm:M::$(cut -d: -f5 "$binfmt_conf"):$(cut -d: -f6 "$binfmt_conf"):$qemu:FP" >"$instance/register"
# As in an LXC container, debootstrap does not test that it can make device
# nodes, which no user namespace may: the unpacked root has them already.
container=lxc chroot "$root" /debootstrap/debootstrap --second-stage
