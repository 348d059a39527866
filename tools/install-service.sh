#!/usr/bin/env bash
# Installs kivpxe as a system service: the program in /usr/local/sbin, a data directory in
# /var/lib/kivpxe (made by tools/make-datadir.sh; an existing one is updated, the operator's
# edits kept) and the systemd unit kivpxe.service. The service is not started: set the address
# range and the installation source in /var/lib/kivpxe/conf/orv.json first (docs/operator-guide.md).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KIV_BUILD_DIR:-$top/build}
[ "$(id -u)" -eq 0 ] || { echo "install-service: run as root" >&2; exit 1; }
"$top/tools/setup.sh"
"$top/tools/build.sh"
install -D -m 0755 "$build/server/app/kivpxe" /usr/local/sbin/kivpxe
"$top/tools/make-datadir.sh" /var/lib/kivpxe
install -D -m 0644 "$top/docs/operator-guide.md" /usr/local/share/doc/kivpxe/operator-guide.md
install -D -m 0644 "$top/docs/kivpxe.8" /usr/local/share/man/man8/kivpxe.8
install -D -m 0644 "$top/tools/systemd/kivpxe.service" /etc/systemd/system/kivpxe.service
systemctl daemon-reload 2>/dev/null || true
echo "kivpxe installed; edit /var/lib/kivpxe/conf/orv.json, then: systemctl enable --now kivpxe"
