#!/usr/bin/env bash
# Builds both modules against Debian's nginx-dev tree and checks that
# Debian's packaged nginx loads them, in the only order that works.
#
#   distro_check.sh        prints "distro check: ok" or exits non-zero
#   KEEP_TMP=1 distro_check.sh   keeps the temporary prefix for inspection
#
# Installs nginx (which owns /usr/sbin/nginx in bookworm; nginx-core only
# adds Debian's own dynamic modules) and nginx-dev when missing, without
# letting the package start its service.  The modules go to build/distro,
# apart from the default build in build/.  The configuration test runs
# entirely inside a temporary prefix and listens on a unix socket only, so
# it needs neither Debian's compiled-in paths (/var/log/nginx,
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
policy=/usr/sbin/policy-rc.d
policy_saved=""
policy_ours=0
restore_policy() {
    if [ "$policy_ours" = 1 ]; then
        $sudo rm -f "$policy"
        [ -z "$policy_saved" ] || $sudo mv "$policy_saved" "$policy"
        policy_ours=0
    fi
}
cleanup() {
    restore_policy
    [ -z "$tmp" ] || [ -n "${KEEP_TMP:-}" ] || rm -rf "$tmp"
}
trap cleanup EXIT
# An interrupted install must still put the policy back.
trap 'exit 130' INT TERM HUP

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"

# --- packages ---------------------------------------------------------------
missing=()
for p in nginx nginx-dev; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "distro check: installing ${missing[*]}"
    # The nginx package's postinst starts the service through invoke-rc.d,
    # which would bind port 80 with Debian's default site.  A policy-rc.d
    # answering 101 (action forbidden) keeps it from starting; any policy
    # already in place is put back afterwards.
    if [ -e "$policy" ]; then
        policy_saved=$($sudo mktemp "$policy.kestrelvanes.XXXXXX")
        $sudo cp -a "$policy" "$policy_saved"
    fi
    policy_ours=1
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    pid_before=$(cat /run/nginx.pid 2>/dev/null || true)

    apt_opts=(-y -qq --no-install-recommends -o DPkg::Lock::Timeout=600)
    $sudo apt-get update -qq -o DPkg::Lock::Timeout=600 ||
        fail "apt-get update failed"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install "${apt_opts[@]}" "${missing[@]}" \
        >/dev/null || fail "apt-get install ${missing[*]} failed"

    restore_policy
    # Belt and braces: a service started despite the policy (an init
    # system that ignores policy-rc.d) is stopped at once.
    pid_after=$(cat /run/nginx.pid 2>/dev/null || true)
    if [ -n "$pid_after" ] && [ "$pid_after" != "$pid_before" ] &&
        kill -0 "$pid_after" 2>/dev/null; then
        $sudo kill -QUIT "$pid_after" || true
        fail "the nginx package started its service (pid $pid_after, now stopped)"
    fi
fi
[ -x "$nginx_bin" ] || fail "$nginx_bin is missing after installing nginx"
[ -f "$nginx_src/conf_flags" ] || fail "$nginx_src/conf_flags is missing (nginx-dev)"

# --- build --------------------------------------------------------------------
echo "distro check: building modules against $nginx_src into $out"
make -s -C "$top" modules NGINX_SRC="$nginx_src" OUT="$out" ||
    fail "building the modules against $nginx_src failed"
for so in "$auth_so" "$access_so"; do
    [ -f "$so" ] || fail "$so was not built"
done

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

echo "distro check: ok"
