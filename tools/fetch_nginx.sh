#!/usr/bin/env bash
# Fetches the official nginx release tarball that Debian ships in its source
# package (the .orig tarball, without Debian's patches) and unpacks it.
# Usage: fetch_nginx.sh DEST_DIR   (prints the unpacked tree's path)
set -euo pipefail

dest=$1
mkdir -p "$dest"
cd "$dest"

tarball=$(ls nginx_*.orig.tar.gz 2>/dev/null | head -n 1 || true)
if [ -z "$tarball" ]; then
    sudo=""
    [ "$(id -u)" = 0 ] || sudo="sudo"
    if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ /etc/apt/sources.list 2>/dev/null \
        && ! grep -qs '^deb-src' /etc/apt/sources.list 2>/dev/null; then
        echo "fetch_nginx: enabling Debian source packages (bookworm main)" >&2
        $sudo tee /etc/apt/sources.list.d/kestrelvanes-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        $sudo apt-get update -qq
    fi
    if ! apt-get source --download-only nginx >&2; then
        $sudo apt-get update -qq
        apt-get source --download-only nginx >&2
    fi
    rm -f nginx_*.debian.tar.* nginx_*.dsc
    tarball=$(ls nginx_*.orig.tar.gz | head -n 1)
fi

version=${tarball#nginx_}
version=${version%.orig.tar.gz}
if [ ! -f "nginx-$version/configure" ]; then
    tar xzf "$tarball"
fi
echo "$dest/nginx-$version"
