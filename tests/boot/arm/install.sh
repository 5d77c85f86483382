#!/bin/bash
# Runs in the emulated board's root from its initramfs, before systemd
# starts: the DEB and the boot test's units installed as in the container
# (../install.sh; the disk mounted at /mnt holds zol.deb, boot/ and
# packaging/), then what a board without a container manager needs.
set -euo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
bash /mnt/boot/install.sh
# A clean power-off can stall on a unit that waits for D-Bus; a forced one
# still remounts every file system read-only first, after the report.
install -d /etc/systemd/system/zol-boot-report.service.d
cat >/etc/systemd/system/zol-boot-report.service.d/power-off.conf <<'CONF'
[Unit]
SuccessAction=poweroff-force
FailureAction=poweroff-force
CONF
