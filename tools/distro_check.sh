#!/usr/bin/env bash
# Builds both modules against Debian's nginx-dev tree and checks that
# Debian's packaged nginx loads them, in the only order that works; then
# installs the Debian package of them (make deb) into that nginx and
# removes it again; then the collector's package (make deb builds it too):
# installed, the binary started as its systemd unit would start it, and
# removed and purged.
#
#   distro_check.sh        prints "distro check: ok" or exits non-zero
#   KEEP_TMP=1 distro_check.sh   keeps the temporary prefix for inspection
#
# Installs nginx and nginx-dev when missing, without letting the package
# start its service (tools/debian_nginx.sh).  The modules go to
# build/distro, apart from the default build in build/.  The configuration
# tests run inside a temporary prefix and listen on unix sockets only, so
# they need neither Debian's compiled-in paths (/var/log/nginx,
# /var/lib/nginx) nor a TCP port.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/distro
nginx_bin=/usr/sbin/nginx
nginx_src=/usr/share/nginx/src
auth_so=$out/modules/ngx_kestrelvanes_http_auth.so
access_so=$out/modules/ngx_kestrelvanes_http_access.so

fail() {
    echo "distro check: FAILED: $*" >&2
    exit 1
}

tmp=""
cleanup() {
    [ -z "$tmp" ] || [ -n "${KEEP_TMP:-}" ] || rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# --- packages ---------------------------------------------------------------
"$top/tools/debian_nginx.sh" || fail "Debian's nginx and nginx-dev are not installed"

# --- build --------------------------------------------------------------------
echo "distro check: building modules against $nginx_src into $out"
make -s -C "$top" modules NGINX_SRC="$nginx_src" OUT="$out" ||
    fail "building the modules against $nginx_src failed"
for so in "$auth_so" "$access_so"; do
    [ -f "$so" ] || fail "$so was not built"
done

# Debian's build flags must not widen the binary interface.
NGINX_BIN=$nginx_bin KV_MODULES=$out/modules /usr/bin/python3 -m pytest -q \
    -p no:cacheprovider "$top/tests/integration/test_binary_interface.py" \
    >"$out/binary_interface.log" 2>&1 || {
    cat "$out/binary_interface.log" >&2
    fail "the modules built against $nginx_src export more than they should"
}

# --- configuration test ------------------------------------------------------
tmp=$(mktemp -d /tmp/kv-distro.XXXXXX)
mkdir -p "$tmp/logs" "$tmp/temp"

# $1 config file, $2 first module, $3 second module
write_conf() {
    cat >"$1" <<CONF
load_module $2;
load_module $3;

# Debian's binary was configured with paths under /var and /run: every
# path it would use is pinned inside the temporary prefix.
error_log $tmp/logs/error.log;
pid $tmp/logs/nginx.pid;
worker_processes 1;

thread_pool kestrelvanes_access_log_thread_pool threads=1;
thread_pool kestrelvanes_monitoring_thread_pool threads=1;

events {
    worker_connections 16;
}

http {
    access_log $tmp/logs/access.log;
    client_body_temp_path $tmp/temp/body;
    proxy_temp_path $tmp/temp/proxy;
    fastcgi_temp_path $tmp/temp/fastcgi;
    uwsgi_temp_path $tmp/temp/uwsgi;
    scgi_temp_path $tmp/temp/scgi;

    ext_stats_server http://127.0.0.1:9;

    server {
        # "nginx -t" binds its listening sockets: no TCP port at all.
        listen unix:$tmp/http.sock;

        location / {
            kestrelvanes_http_access_enable on;
            ext_auth_log_server http://127.0.0.1:9;
            ext_auth_request /auth;
            kestrelvanes_http_auth_enable on;
        }

        location = /auth {
            internal;
            return 204;
        }
    }
}
CONF
}

# -e: errors found before error_log is parsed go to the temporary prefix
# too, not to the compiled-in default.
nginx_t() {
    "$nginx_bin" -t -p "$tmp/" -e "$tmp/logs/error.log" -c "$1" >"$2" 2>&1
}

write_conf "$tmp/nginx.conf" "$auth_so" "$access_so"
if ! nginx_t "$tmp/nginx.conf" "$tmp/test.out"; then
    cat "$tmp/test.out" >&2
    fail "$nginx_bin rejects the modules (auth then access)"
fi
grep -q 'test is successful' "$tmp/test.out" || {
    cat "$tmp/test.out" >&2
    fail "$nginx_bin -t did not report success"
}

# The access-log module binds to the sensor core defined in the auth
# module's object: loaded first, it must fail to resolve those symbols.
write_conf "$tmp/reversed.conf" "$access_so" "$auth_so"
if nginx_t "$tmp/reversed.conf" "$tmp/reversed.out"; then
    cat "$tmp/reversed.out" >&2
    fail "$nginx_bin accepted the access module loaded before the auth module"
fi
grep -q 'undefined symbol' "$tmp/reversed.out" || {
    cat "$tmp/reversed.out" >&2
    fail "loading the access module first failed, but not on an undefined symbol"
}

# --- the Debian package -------------------------------------------------------
# Installed into the machine's nginx, checked, and removed again before the
# check ends, whatever happens: other checks may use this nginx at the same
# time, and one package operation at a time runs under a machine-wide lock.
pkg=libnginx-mod-http-kestrelvanes
conf=mod-http-kestrelvanes.conf
link=/etc/nginx/modules-enabled/50-$conf
available=/usr/share/nginx/modules-available/$conf
example=/usr/share/doc/$pkg/examples/kestrelvanes-site.conf

echo "distro check: building the Debian package"
deb=$("$top/tools/deb.sh") || fail "building the Debian package failed"

abi=$(sed -n 's/^nginx:abi=//p' "$nginx_src/debian/libnginx-mod.abisubstvars")
depends=$(dpkg-deb -f "$deb" Depends)
case ", $depends," in
    *", $abi,"*) ;;
    *) fail "$deb does not depend on $abi: $depends" ;;
esac
dpkg-query -W -f='${Provides}' nginx | grep -q -- "$abi" ||
    fail "the installed nginx does not provide $abi"

pkg_op() {
    "$top/tools/debian_nginx.sh" run apt-get "$@" -y -qq \
        -o DPkg::Lock::Timeout=600 >"$tmp/apt.out" 2>&1 || {
        cat "$tmp/apt.out" >&2
        return 1
    }
}
installed() {
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'
}
# installed, or removed with its configuration left: either way dpkg knows it
known() {
    local status
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null) || return 1
    # the second letter is the state: n for not installed
    [ -n "$status" ] && [ "${status:1:1}" != n ]
}
pkg_cleanup() {
    if known; then
        pkg_op purge "$pkg" || echo "distro check: could not purge $pkg" >&2
    fi
    if [ -n "${collector_pid:-}" ]; then
        kill "$collector_pid" 2>/dev/null || true
    fi
    if pkg=kestrelvanes-collector known; then
        pkg_op purge kestrelvanes-collector ||
            echo "distro check: could not purge kestrelvanes-collector" >&2
    fi
    cleanup
}

exec 9>/tmp/kestrelvanes-distro.lock
flock -w 900 9 || fail "another distro check holds /tmp/kestrelvanes-distro.lock"
trap pkg_cleanup EXIT
if known; then
    echo "distro check: purging the $pkg an earlier run left behind"
    pkg_op purge "$pkg" || fail "could not purge $pkg"
fi

# Debian's own configuration, when it can be tested here: nginx -t binds
# the default site's port 80.
system_conf=0
if "$nginx_bin" -t -q >"$tmp/system.out" 2>&1; then
    system_conf=1
else
    echo "distro check: /etc/nginx/nginx.conf does not pass nginx -t here" \
        "before the install, checking the package without it:"
    sed 's/^/    /' "$tmp/system.out"
fi

# A main context like Debian's nginx.conf, which includes the enabled
# modules first, around a server on a unix socket.  $1 file, $2 sensor
# configuration inside http { }.
write_debian_conf() {
    cat >"$1" <<CONF
include /etc/nginx/modules-enabled/*.conf;

error_log $tmp/logs/debian-error.log;
pid $tmp/logs/debian.pid;
worker_processes 1;

events {
    worker_connections 16;
}

http {
    access_log $tmp/logs/access.log;
    client_body_temp_path $tmp/temp/body;
    proxy_temp_path $tmp/temp/proxy;
    fastcgi_temp_path $tmp/temp/fastcgi;
    uwsgi_temp_path $tmp/temp/uwsgi;
    scgi_temp_path $tmp/temp/scgi;

    server {
        listen unix:$tmp/debian.sock;
        location / {
            return 200 "served\\n";
        }
    }
$2
}
CONF
}

# nginx -t in Debian's own prefix (/usr/share/nginx), where load_module
# finds modules/ as the packages install them.
debian_t() {
    "$nginx_bin" -t -e "$tmp/logs/debian-error.log" -c "$1" >"$2" 2>&1
}

# Starts nginx on $1, checks it serves unchanged, reports in $2 whether
# our modules are mapped into the master process, then stops it.
start_and_serve() {
    local pidfile=$tmp/logs/debian.pid body pid
    rm -f "$pidfile" "$tmp/debian.sock"
    "$nginx_bin" -e "$tmp/logs/debian-error.log" -c "$1" >"$tmp/start.out" 2>&1 || {
        cat "$tmp/start.out" "$tmp/logs/debian-error.log" >&2
        return 1
    }
    pid=$(cat "$pidfile")
    body=$(curl -sS --max-time 10 --unix-socket "$tmp/debian.sock" http://localhost/) || body=""
    if grep -q ngx_kestrelvanes_http_access.so "/proc/$pid/maps"; then
        eval "$2=1"
    else
        eval "$2=0"
    fi
    "$nginx_bin" -e "$tmp/logs/debian-error.log" -c "$1" -s quit
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    ! kill -0 "$pid" 2>/dev/null || {
        kill -TERM "$pid"
        echo "nginx $pid did not quit" >&2
        return 1
    }
    [ "$body" = served ] || {
        echo "nginx answered \"$body\" instead of \"served\"" >&2
        return 1
    }
}

echo "distro check: installing $deb"
pkg_op install "$deb" || fail "installing $deb failed"
installed || fail "$pkg is not installed after the install"
[ "$(readlink "$link")" = "$available" ] ||
    fail "$link does not link $available"
for so in ngx_kestrelvanes_http_auth.so ngx_kestrelvanes_http_access.so; do
    [ -f "/usr/lib/nginx/modules/$so" ] || fail "/usr/lib/nginx/modules/$so is missing"
done
[ -f "/usr/share/doc/$pkg/README.md" ] || fail "the README is not installed"

if [ "$system_conf" = 1 ]; then
    "$nginx_bin" -t -q >"$tmp/system.out" 2>&1 || {
        cat "$tmp/system.out" >&2
        fail "Debian's nginx.conf no longer passes nginx -t with $pkg installed"
    }
fi
write_debian_conf "$tmp/debian.conf" ""
debian_t "$tmp/debian.conf" "$tmp/debian.out" || {
    cat "$tmp/debian.out" >&2
    fail "nginx -t rejects the enabled modules and their thread pools"
}
start_and_serve "$tmp/debian.conf" loaded ||
    fail "nginx does not start and serve with $pkg installed"
[ "$loaded" = 1 ] || fail "nginx started without the sensor modules"

# The packaged example site, on a unix socket instead of its port.
sed "s#listen 8080;#listen unix:$tmp/example.sock;#" "$example" >"$tmp/example-site.conf"
write_debian_conf "$tmp/example.conf" "include $tmp/example-site.conf;"
debian_t "$tmp/example.conf" "$tmp/example.out" || {
    cat "$tmp/example.out" >&2
    fail "nginx -t rejects the packaged example site"
}

echo "distro check: removing $pkg"
pkg_op remove "$pkg" || fail "removing $pkg failed"
[ ! -e "$link" ] || fail "$link is still enabled after the remove"
if [ "$system_conf" = 1 ]; then
    "$nginx_bin" -t -q >"$tmp/system.out" 2>&1 || {
        cat "$tmp/system.out" >&2
        fail "Debian's nginx.conf no longer passes nginx -t after removing $pkg"
    }
fi
start_and_serve "$tmp/debian.conf" loaded ||
    fail "nginx does not start after removing $pkg"
[ "$loaded" = 0 ] || fail "nginx still loads the sensor modules after the remove"

pkg_op purge "$pkg" || fail "purging $pkg failed"
[ ! -L "$link.removed" ] || fail "$link.removed is left after the purge"

# --- the collector's package ---------------------------------------------------
cpkg=kestrelvanes-collector
unit=/lib/systemd/system/$cpkg.service
conf=/etc/kestrelvanes/collector.conf
state=/var/lib/kestrelvanes

echo "distro check: building the collector's package"
cdeb=$("$top/tools/deb_collector.sh") || fail "building the collector's package failed"
if pkg=$cpkg known; then
    pkg_op purge "$cpkg" || fail "could not purge the $cpkg an earlier run left"
fi
echo "distro check: installing $cdeb"
pkg_op install "$cdeb" || fail "installing $cdeb failed"
[ -x /usr/bin/kestrelvanes-collector ] || fail "the collector binary is missing"
getent passwd kestrelvanes >/dev/null || fail "no system user kestrelvanes"
[ "$(stat -c '%U %a' "$state")" = "kestrelvanes 750" ] ||
    fail "$state is not the service user's, mode 750: $(stat -c '%U %a' "$state")"
for setting in User=kestrelvanes NoNewPrivileges=yes ProtectSystem=strict \
    PrivateTmp=yes ProtectHome=yes StateDirectory=kestrelvanes \
    "ExecStart=/usr/bin/kestrelvanes-collector --config $conf"; do
    grep -qx -- "$setting" "$unit" || fail "$unit does not set $setting"
done
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$unit" >"$tmp/verify.out" 2>&1 || {
        cat "$tmp/verify.out" >&2
        fail "systemd-analyze rejects $unit"
    }
fi
# every option the collector knows is set, or shown commented, in the file
for option in $(/usr/bin/kestrelvanes-collector --help |
    sed -n 's/^  --\([a-z-]*\).*/\1/p' | grep -vx -e config -e help); do
    grep -Eq "^#?$option( |$)" "$conf" || fail "$conf does not name --$option"
done

# As the unit starts it: its user, its state directory, umask 0077, the
# packaged configuration (the addresses moved to free ports here).
echo "distro check: starting the collector as its unit would"
(
    cd "$state"
    umask 0077
    exec setpriv --reuid=kestrelvanes --regid=kestrelvanes --init-groups \
        -- /usr/bin/kestrelvanes-collector \
        --config "$conf" --ingest 127.0.0.1:0 --console 127.0.0.1:0
) >"$tmp/collector.log" 2>&1 &
collector_pid=$!
for _ in $(seq 100); do
    grep -q 'console on' "$tmp/collector.log" && break
    kill -0 "$collector_pid" 2>/dev/null || break
    sleep 0.1
done
console=$(grep -o 'console on http://127.0.0.1:[0-9]*' "$tmp/collector.log" | sed 's/.*://')
[ -n "$console" ] || {
    cat "$tmp/collector.log" >&2
    fail "the packaged collector did not start"
}
curl -sS --max-time 10 "http://127.0.0.1:$console/api/collector" >"$tmp/info.json" ||
    fail "the packaged collector's console does not answer"
grep -q "\"SQLite $state/collector.db\"" "$tmp/info.json" || {
    cat "$tmp/info.json" >&2
    fail "the packaged collector does not keep its database in $state"
}
[ "$(stat -c '%U %a' "$state/collector.db")" = "kestrelvanes 600" ] ||
    fail "$state/collector.db is $(stat -c '%U %a' "$state/collector.db")"
[ -f "$state/control.json" ] || fail "the control file was not written in $state"
kill -TERM "$collector_pid"
wait "$collector_pid" || fail "the packaged collector did not stop cleanly on SIGTERM"
collector_pid=""

echo "distro check: removing $cpkg"
pkg_op remove "$cpkg" || fail "removing $cpkg failed"
[ ! -e /usr/bin/kestrelvanes-collector ] || fail "the collector binary is left after the remove"
[ -f "$state/collector.db" ] || fail "a remove took the data with it"
pkg_op purge "$cpkg" || fail "purging $cpkg failed"
[ ! -e "$state" ] || fail "$state is left after the purge"
[ ! -e "$conf" ] || fail "$conf is left after the purge"

echo "distro check: ok"
