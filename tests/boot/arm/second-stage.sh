#!/bin/sh
# Runs as PID 1 of the emulated board once, when its root is built:
# debootstrap's second stage (installing the packages unpacked on the host),
# then what the board's boots need, and powers off. The host takes the root
# only if /zol-board-ready exists afterwards.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
if /debootstrap/debootstrap --second-stage; then
  # Without udev no serial device unit ever appears, and the getty on the
  # console would wait 90 s for it: the boots need no login.
  systemctl mask serial-getty@ttyAMA0.service
  apt-get clean
  rm -f /zol-second-stage.sh
  echo ready > /zol-board-ready
else
  echo "zol-board: debootstrap's second stage failed:"
  tail -n 30 /debootstrap/debootstrap.log
fi
sync
umount /sys
mount -o remount,ro /
echo o > /proc/sysrq-trigger
sleep 60
