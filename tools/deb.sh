#!/usr/bin/env bash
# Builds a Debian binary package of both modules for Debian's nginx, the
# way Debian ships its own libnginx-mod-* packages:
#
#   deb.sh     prints the path of build/deb/libnginx-mod-http-kestrelvanes_*.deb
#
# - the modules built from nginx-dev's tree with its conf_flags (the same
#   objects make distro checks, in build/distro);
# - /usr/lib/nginx/modules/*.so;
# - /usr/share/nginx/modules-available/mod-http-kestrelvanes.conf, loading
#   both modules in order and declaring the two thread pools, linked from
#   /etc/nginx/modules-enabled/ by the maintainer scripts;
# - a dependency on the nginx ABI the objects were built for (nginx-abi-*);
# - README and an example site under /usr/share/doc/.
#
# DEB_VERSION overrides the package version.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
pkg=libnginx-mod-http-kestrelvanes
nginx_src=/usr/share/nginx/src
modules_out=$top/build/distro
stage=$top/build/deb/root
debian=$top/packaging/debian

fail() {
    echo "deb: FAILED: $*" >&2
    exit 1
}

"$top/tools/debian_nginx.sh" >&2

# The ABI Debian's nginx provides and its module packages depend on.
abi=$(sed -n 's/^nginx:abi=//p' "$nginx_src/debian/libnginx-mod.abisubstvars" 2>/dev/null)
[ -n "$abi" ] || fail "no nginx:abi in $nginx_src/debian/libnginx-mod.abisubstvars (nginx-dev)"

make -s -C "$top" modules NGINX_SRC="$nginx_src" OUT="$modules_out" >&2 ||
    fail "building the modules against $nginx_src failed"

if [ -z "${DEB_VERSION:-}" ]; then
    # No release of our own yet: the commit the package is built from.
    when=$(git -C "$top" log -1 --format=%cd --date=format:%Y%m%d 2>/dev/null || date +%Y%m%d)
    rev=$(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)
    DEB_VERSION="0~git$when.$rev-1"
fi
arch=$(dpkg --print-architecture)

# --- files --------------------------------------------------------------------
rm -rf "$stage"
doc=$stage/usr/share/doc/$pkg
install -d "$stage/DEBIAN" "$stage/usr/lib/nginx/modules" \
    "$stage/usr/share/nginx/modules-available" "$doc/examples"
for so in ngx_kestrelvanes_http_auth.so ngx_kestrelvanes_http_access.so; do
    install -m 644 "$modules_out/modules/$so" "$stage/usr/lib/nginx/modules/$so"
    # as dh_strip does; the dynamic symbols stay
    strip --strip-unneeded --remove-section=.comment --remove-section=.note \
        "$stage/usr/lib/nginx/modules/$so"
done
install -m 644 "$debian/mod-http-kestrelvanes.conf" "$stage/usr/share/nginx/modules-available/"
install -m 644 "$top/README.md" "$debian/copyright" "$doc/"
install -m 644 "$debian/kestrelvanes-site.conf" "$doc/examples/"
for script in postinst prerm postrm; do
    install -m 755 "$debian/$script" "$stage/DEBIAN/$script"
done

# --- control ------------------------------------------------------------------
# The libraries the objects link (C and C++ runtimes), as dpkg-shlibdeps
# finds them; nginx's own symbols come from the binary the ABI names.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debian"
printf 'Source: kestrelvanes\n\nPackage: %s\nArchitecture: any\n' "$pkg" >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O --warnings=0 \
    "$stage"/usr/lib/nginx/modules/*.so | sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || fail "dpkg-shlibdeps found no library dependencies"

size=$(du -k -s --exclude=DEBIAN "$stage" | cut -f1)
cat >"$stage/DEBIAN/control" <<CONTROL
Package: $pkg
Source: kestrelvanes
Version: $DEB_VERSION
Architecture: $arch
Maintainer: kestrelvanes developers <dev@kestrelvanes.invalid>
Installed-Size: $size
Depends: $abi, $shlibs
Recommends: nginx
Section: httpd
Priority: optional
Multi-Arch: foreign
Description: API-traffic sensor modules for nginx
 Two dynamic nginx modules that copy the HTTP exchanges nginx serves to a
 collector service and can ask an authorization service whether a request
 may proceed.  Installing the package loads both modules and declares
 their thread pools; nothing is captured until a location enables the
 sensor.
CONTROL

(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"

deb=$top/build/deb/${pkg}_${DEB_VERSION}_$arch.deb
rm -f "$top"/build/deb/"${pkg}"_*.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
