#!/usr/bin/env bash
# Builds the modules against every nginx release tarball in a directory and
# runs the whole integration suite on the target release and the newest.
#
#   matrix.sh [DIR]    DIR of nginx-X.Y.Z.tar.gz (default: $NGINX_TARBALLS,
#                      else ../shared/nginx next to the repository, else
#                      /work/shared/nginx)
#   matrix.sh --where  prints the directory it would use, or fails
#
# Each release builds into build/matrix/X.Y.Z: modules only, or, for the
# releases the suite runs on, nginx itself too.  Prints a table of release
# by (modules build, suite result) and exits non-zero when any build or
# suite fails.  MATRIX_SUITE="1.20.1 1.28.3" picks other suite releases.
#
# Releases that have HTTP/3 (1.25 on) are built with it, and their suite
# must speak it: its HTTP/3 tests fail rather than skip when nginx or the
# client (ngtcp2-client, installed here) cannot.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/matrix
python=/usr/bin/python3
target=1.20.1 # the module interface the sensor is built for

# A directory named by the caller is the only one looked at.
find_tarballs() {
    local d wanted=${1:-${NGINX_TARBALLS:-}}
    local dirs=("$top/../shared/nginx" /work/shared/nginx)
    [ -z "$wanted" ] || dirs=("$wanted")
    for d in "${dirs[@]}"; do
        if [ -n "$d" ] && compgen -G "$d/nginx-*.tar.gz" >/dev/null; then
            (cd "$d" && pwd)
            return 0
        fi
    done
    return 1
}

if [ "${1:-}" = --where ]; then
    find_tarballs
    exit
fi

dir=$(find_tarballs "${1:-}") || {
    echo "matrix: no nginx-*.tar.gz found; set NGINX_TARBALLS=DIR" >&2
    exit 2
}

versions=()
while read -r v; do
    versions+=("$v")
done < <(cd "$dir" && ls nginx-*.tar.gz | sed -e 's/^nginx-//' -e 's/\.tar\.gz$//' | sort -V)
newest=${versions[${#versions[@]} - 1]}

suite_on=${MATRIX_SUITE:-}
if [ -z "$suite_on" ]; then
    for v in "${versions[@]}"; do
        [ "$v" != "$target" ] || suite_on=$target
    done
    [ "$suite_on" = "$newest" ] || suite_on="$suite_on $newest"
fi

in_suite() {
    local v
    for v in $suite_on; do
        [ "$v" != "$1" ] || return 0
    done
    return 1
}

WITH_HTTP3=1 "$top/tools/deps.sh" || exit 2

mkdir -p "$out/src"
echo "matrix: nginx releases from $dir: ${versions[*]}"
echo "matrix: the integration suite runs on: $suite_on"

declare -A build_result suite_result
failed=0

# --- builds -----------------------------------------------------------------
for v in "${versions[@]}"; do
    tree=$out/src/nginx-$v
    if [ ! -f "$tree/configure" ]; then
        rm -rf "$tree"
        tar xzf "$dir/nginx-$v.tar.gz" -C "$out/src" || {
            build_result[$v]="FAILED (unpack)"
            failed=1
            continue
        }
    fi
    mode=modules
    ! in_suite "$v" || mode=full
    log=$out/$v.build.log
    echo "matrix: $v: building ($mode), log in $log"
    if "$top/tools/build.sh" "$mode" "$out/$v" "$tree" >"$log" 2>&1; then
        build_result[$v]=ok
    else
        build_result[$v]=FAILED
        failed=1
        tail -n 20 "$log" | sed "s/^/matrix: $v: /" >&2
    fi
done

# --- suites -----------------------------------------------------------------
# The end of each report's traceback in pytest's FAILURES and ERRORS
# sections, under the report's own "____ test_id ____" header: the lines
# up to pytest's "file:line: ErrorType", so the assertion and where it
# failed; the logs the harness appends after it stay in the suite log.
failure_tails() {
    awk -v keep="${MATRIX_TAIL:-25}" '
        function flush(  i, from, to) {
            if (head == "") return
            print head
            to = at ? at : n
            from = to > keep ? to - keep + 1 : 1
            if (from > 1) print "    [... " from - 1 " lines, the whole report is in the log]"
            for (i = from; i <= to; i++) print buf[i]
            head = ""; n = 0; at = 0
        }
        /^=+ (FAILURES|ERRORS) =+$/ { on = 1; next }
        on && /^=+ .* =+$/ { flush(); on = 0; next }
        on && /^_+ .* _+$/ { flush(); head = $0; next }
        on && head != "" {
            buf[++n] = $0
            if (!at && $0 ~ /^[^ ]+:[0-9]+: [A-Za-z_.]+$/) at = n
        }
        END { flush() }
    ' "$1"
}

# The suites run side by side: they spend their time waiting on nginx and
# the fake peers, not on the processors, and every instance has its own
# ports and prefix.
declare -A suite_pid
for v in $suite_on; do
    if [ "${build_result[$v]:-}" != ok ]; then
        suite_result[$v]="not run"
        continue
    fi
    log=$out/$v.suite.log
    http3=""
    if grep -q -- '--with-http_v3_module' "$out/src/nginx-$v/auto/options"; then
        http3=1
    fi
    echo "matrix: $v: integration suite${http3:+ (HTTP/3 required)}, log in $log"
    # -rfEs: the short summary names failures and errors as well as skips
    # (a bare -rs would leave only the skips in it)
    NGINX_BIN=$out/$v/sbin/nginx KV_MODULES=$out/$v/modules KV_PG_DIR=$out/$v/pg \
        KV_REQUIRE_HTTP3=$http3 \
        "$python" -m pytest -q -p no:cacheprovider -rfEs -m "not collector_only" \
        "$top/tests/integration" \
        >"$log" 2>&1 &
    suite_pid[$v]=$!
done

for v in "${!suite_pid[@]}"; do
    log=$out/$v.suite.log
    wait "${suite_pid[$v]}"
    rc=$?
    # pytest's last line: "205 passed, 3 skipped in 230.10s (0:03:50)"
    summary=$(tail -n 1 "$log" | sed -e 's/^=* *//' -e 's/ in [0-9.]*s.*$//')
    if [ $rc = 0 ]; then
        suite_result[$v]="passed ($summary)"
    else
        suite_result[$v]="FAILED ($summary)"
        failed=1
        grep -E '^(FAILED|ERROR) ' "$log" | sed "s/^/matrix: $v: /" >&2
        failure_tails "$log" | sed "s/^/matrix: $v: /" >&2
    fi
    grep -E '^SKIPPED ' "$log" | sed "s/^/matrix: $v: /"
done

# --- table ------------------------------------------------------------------
{
    printf '\n%-10s %-16s %s\n' release modules "integration suite"
    for v in "${versions[@]}"; do
        printf '%-10s %-16s %s\n' "$v" "${build_result[$v]:-}" "${suite_result[$v]:--}"
    done
} | tee "$out/summary.txt"

exit $failed
