#!/bin/bash
# Runs inside the container root without booting it: installs the DEB
# (bound at /mnt/zol.deb) as an integrator would, with apt-get, which
# enables the handler's unit; then installs the boot test's scripts and
# units and enables those. /mnt/boot holds tests/boot, /mnt/packaging the
# project's packaging/.
set -euo pipefail
UNIT=zol-cold-restart-dump-handler.service
LIB=/usr/local/lib/zol-boot-test

# The container has no network: the package's dependencies are all in the
# root already, so apt-get has nothing to download (the host checks its log).
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends /mnt/zol.deb
install -d "$LIB" /etc/systemd/system/$UNIT.d
install -m 755 /mnt/boot/dumps.sh /mnt/boot/probe.sh /mnt/boot/report.sh "$LIB"
install -m 644 /mnt/boot/units/*.service /etc/systemd/system

# The documented drop-in, pointed at chip 3's directories under /srv, which
# is no mount point of its own here.
sed -e 's|^ReadWritePaths=.*|ReadWritePaths=/srv/zol|' -e '/^RequiresMountsFor=/d' -e '/^AssertPathIsMountPoint=/d' \
  /mnt/packaging/zol-cold-restart-dump-handler-dumpdir.conf.example \
  > /etc/systemd/system/$UNIT.d/dumpdir.conf
grep -qx 'ReadWritePaths=/srv/zol' /etc/systemd/system/$UNIT.d/dumpdir.conf

# The sandbox probe: the installed unit with another program to run, after
# the handler so that it cannot disturb the move.
sed -e "s|^ExecStart=.*|ExecStart=$LIB/probe.sh|" \
    -e 's|^Description=.*|Description=Boot test: probe the dump handler sandbox|' \
    -e 's|^After=local-fs.target$|After=local-fs.target zol-cold-restart-dump-handler.service|' \
    -e '/^SyslogIdentifier=/d' -e '/^ExecStartPre=/d' \
    -e 's|^ReadWritePaths=.*|& /var/lib/zol-boot-test|' \
    /lib/systemd/system/$UNIT > /etc/systemd/system/zol-boot-probe.service
grep -q "^ExecStart=$LIB/probe.sh" /etc/systemd/system/zol-boot-probe.service
grep -qx "After=local-fs.target $UNIT" /etc/systemd/system/zol-boot-probe.service
grep -q "^ReadWritePaths=.* /var/lib/zol-boot-test$" /etc/systemd/system/zol-boot-probe.service

# The packaged session daemon starts without waiting for readiness; the
# layout unit starts its own so that the session exists before the handler.
systemctl mask --quiet lttng-sessiond.service
# The handler's own unit is left as the package set it up.
systemctl enable --quiet zol-boot-layout.service zol-boot-probe.service zol-boot-baseband.service \
  zol-boot-report.service
