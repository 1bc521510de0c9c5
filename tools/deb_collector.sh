#!/usr/bin/env bash
# Builds the Debian binary package of the reference collector:
#
#   deb_collector.sh   prints the path of build/deb/kestrelvanes-collector_*.deb
#
# - /usr/bin/kestrelvanes-collector (make collector's build, stripped);
# - /lib/systemd/system/kestrelvanes-collector.service: its own system user
#   (made by postinst), state in /var/lib/kestrelvanes, hardened;
# - /etc/kestrelvanes/collector.conf, a conffile setting every option;
# - dependencies on the libraries it links, as dpkg-shlibdeps finds them;
# - README and the fleet examples under /usr/share/doc/.
#
# DEB_VERSION overrides the package version.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
pkg=kestrelvanes-collector
stage=$top/build/deb/collector-root
pack=$top/packaging/collector

fail() {
    echo "deb: FAILED: $*" >&2
    exit 1
}

make -s -C "$top" collector >/dev/null || fail "building the collector failed"

if [ -z "${DEB_VERSION:-}" ]; then
    when=$(git -C "$top" log -1 --format=%cd --date=format:%Y%m%d 2>/dev/null || date +%Y%m%d)
    rev=$(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)
    DEB_VERSION="0~git$when.$rev-1"
fi
arch=$(dpkg --print-architecture)

# --- files --------------------------------------------------------------------
rm -rf "$stage"
doc=$stage/usr/share/doc/$pkg
install -d "$stage/DEBIAN" "$stage/usr/bin" "$stage/lib/systemd/system" \
    "$stage/etc/kestrelvanes" "$doc/examples"
install -m 755 "$top/build/bin/kestrelvanes-collector" "$stage/usr/bin/"
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    "$stage/usr/bin/kestrelvanes-collector"
install -m 644 "$pack/kestrelvanes-collector.service" "$stage/lib/systemd/system/"
install -m 644 "$pack/collector.conf" "$stage/etc/kestrelvanes/collector.conf"
install -m 644 "$top/README.md" "$top/packaging/debian/copyright" "$doc/"
for example in fleet-balancer.conf grafana-dashboard.json control.json; do
    [ ! -f "$top/examples/$example" ] ||
        install -m 644 "$top/examples/$example" "$doc/examples/"
done
for script in postinst prerm postrm; do
    install -m 755 "$pack/$script" "$stage/DEBIAN/$script"
done
echo /etc/kestrelvanes/collector.conf >"$stage/DEBIAN/conffiles"

# --- control ------------------------------------------------------------------
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debian"
printf 'Source: kestrelvanes\n\nPackage: %s\nArchitecture: any\n' "$pkg" >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O --warnings=0 \
    "$stage/usr/bin/kestrelvanes-collector" | sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || fail "dpkg-shlibdeps found no library dependencies"

size=$(du -k -s --exclude=DEBIAN "$stage" | cut -f1)
cat >"$stage/DEBIAN/control" <<CONTROL
Package: $pkg
Source: kestrelvanes
Version: $DEB_VERSION
Architecture: $arch
Maintainer: kestrelvanes developers <dev@kestrelvanes.invalid>
Installed-Size: $size
Depends: $shlibs, adduser, init-system-helpers
Suggests: postgresql
Section: net
Priority: optional
Description: reference collector for the kestrelvanes nginx sensor
 Receives the API traffic the kestrelvanes nginx modules copy, keeps it in
 SQLite or in a PostgreSQL database that several collectors share, steers
 the sensors through their heartbeats and serves a console, a JSON API and
 Prometheus metrics.  Runs as a systemd service under a user of its own.
CONTROL

(cd "$stage" && find usr lib -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"

deb=$top/build/deb/${pkg}_${DEB_VERSION}_$arch.deb
rm -f "$top"/build/deb/"${pkg}"_*.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
