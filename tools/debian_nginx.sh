#!/usr/bin/env bash
# Installs Debian's nginx and nginx-dev when missing, without letting the
# package start its service.
#
#   debian_nginx.sh            exits non-zero when the packages cannot be had
#   debian_nginx.sh run CMD..  runs a package operation (CMD) the same way:
#                              no init script acts while it runs
#
# nginx owns /usr/sbin/nginx in bookworm (nginx-core only adds Debian's own
# dynamic modules); nginx-dev holds the tree and conf_flags that module
# packages are built from, and depends on the exact nginx build.
set -euo pipefail

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
policy=/usr/sbin/policy-rc.d
policy_saved=""
policy_ours=0

fail() {
    echo "debian nginx: FAILED: $*" >&2
    exit 1
}

restore_policy() {
    if [ "$policy_ours" = 1 ]; then
        $sudo rm -f "$policy"
        [ -z "$policy_saved" ] || $sudo mv "$policy_saved" "$policy"
        policy_ours=0
    fi
}
trap restore_policy EXIT
# An interrupted install must still put the policy back.
trap 'exit 130' INT TERM HUP

# The policy lasts until the script exits.
forbid_service_actions() {
    # invoke-rc.d, which the packages' scripts and triggers use to start,
    # reload or query the service, obeys a policy-rc.d answering 101
    # (action forbidden); any policy already in place is put back.
    if [ -e "$policy" ]; then
        policy_saved=$($sudo mktemp "$policy.kestrelvanes.XXXXXX")
        $sudo cp -a "$policy" "$policy_saved"
    fi
    policy_ours=1
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
}

if [ "${1:-}" = run ]; then
    shift
    forbid_service_actions
    $sudo env DEBIAN_FRONTEND=noninteractive "$@"
    exit
fi

missing=()
for p in nginx nginx-dev; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "debian nginx: installing ${missing[*]}"
# The nginx package's postinst would start the service, binding port 80
# with Debian's default site.
forbid_service_actions
pid_before=$(cat /run/nginx.pid 2>/dev/null || true)

apt_opts=(-y -qq --no-install-recommends -o DPkg::Lock::Timeout=600)
$sudo apt-get update -qq -o DPkg::Lock::Timeout=600 ||
    fail "apt-get update failed"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install "${apt_opts[@]}" "${missing[@]}" \
    >/dev/null || fail "apt-get install ${missing[*]} failed"

restore_policy
# Belt and braces: a service started despite the policy (an init system
# that ignores policy-rc.d) is stopped at once.
pid_after=$(cat /run/nginx.pid 2>/dev/null || true)
if [ -n "$pid_after" ] && [ "$pid_after" != "$pid_before" ] &&
    kill -0 "$pid_after" 2>/dev/null; then
    $sudo kill -QUIT "$pid_after" || true
    fail "the nginx package started its service (pid $pid_after, now stopped)"
fi
[ -x /usr/sbin/nginx ] || fail "/usr/sbin/nginx is missing after installing nginx"
[ -f /usr/share/nginx/src/conf_flags ] ||
    fail "/usr/share/nginx/src/conf_flags is missing (nginx-dev)"
