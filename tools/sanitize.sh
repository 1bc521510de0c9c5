#!/usr/bin/env bash
# The integration tests against nginx and both modules built with a
# sanitizer (make test SANITIZE=address|thread).
#
#   sanitize.sh address   AddressSanitizer and UndefinedBehaviorSanitizer,
#                         pools allocating individually: the whole suite
#   sanitize.sh thread    ThreadSanitizer: the tests of the threaded paths
#
# nginx goes to build/asan or build/tsan, so the plain build in build/ is
# left as it is; the collector and the other tools are the plain build's
# (build/bin).  Every process writes its reports to a file of its own under
# build/<dir>/reports (harness/nginx.py names them after the instance);
# any report fails its test, and any file left there fails the run.
# Extra arguments go to pytest (e.g. -k, or single test files).
set -euo pipefail

mode=${1:?address or thread}
shift
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
python=${PYTHON:-/usr/bin/python3}
supp=$top/tests/sanitize

case "$mode" in
    address) out=$build/asan ;;
    thread) out=$build/tsan ;;
    *)
        echo "sanitize: $mode: address or thread" >&2
        exit 2
        ;;
esac

src=${NGINX_SRC:-}
[ -n "$src" ] || src=$("$top"/tools/fetch_nginx.sh "$build/src")
"$top"/tools/build.sh full "$out" "$src" "$mode"
# make's SANITIZE is in the environment: not for an inner make (test_stack)
unset SANITIZE

reports=$out/reports
rm -rf "$reports"
mkdir -p "$reports"
# run as root, nginx's workers are nobody and write their reports too
chmod 1777 "$reports"

# Options common to the runtimes; log_path is the fallback for processes
# the harness does not start itself, which it replaces per instance.
common="log_path=$reports/other:handle_abort=1:allocator_may_return_null=1"

# arguments naming tests replace the default selection
named=0
for a in "$@"; do
    case "$a" in
        -*) ;;
        *.py | *.py::* | */*) named=1 ;;
    esac
done

tests=()
if [ "$mode" = address ]; then
    # detect_leaks: see tests/sanitize/lsan.supp.  A quarantine of 64 MiB
    # per process (the default is 256: ten nginx of the fault matrix run
    # side by side) keeps the last 64 MiB freed poisoned, well over what a
    # request or a reload frees, so a use after free is caught.  gcc's
    # UBSan runtime ignores log_path (see harness/nginx.py).
    export ASAN_OPTIONS="$common:detect_leaks=1:quarantine_size_mb=64:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=0"
    export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="$common:print_stacktrace=1:halt_on_error=0"
    # the collector is not the instrumented program: tests that never start
    # nginx add nothing here
    [ "$named" = 1 ] || tests=("$top"/tests/integration -m "not collector_only")
    # The instrumented suite spends most of its time waiting on slowed-down
    # workers: two test processes halve it on two cores (the fault
    # matrix's cases stay together, see conftest.py).
    if "$python" -c "import xdist" 2>/dev/null; then
        tests+=(-n "${SANITIZE_JOBS:-2}" --dist loadgroup)
    fi
else
    export TSAN_OPTIONS="$common:halt_on_error=0:second_deadlock_stack=1:suppressions=$supp/tsan.supp"
    if [ "$named" = 0 ]; then
        # access-log pools of 2 and 4 threads on several collector
        # connections, statistics and heartbeats on a monitoring pool of
        # 2 and 4, policy updates while traffic is matched
        for t in test_threaded_paths.py test_sender_threads.py \
            test_stats.py test_heartbeat.py test_bypass_bounds.py \
            test_delivery.py; do
            tests+=("$top/tests/integration/$t")
        done
    fi
fi

export KV_SANITIZE=$mode KV_SANITIZER_LOGS=$reports
start=$SECONDS
rc=0
NGINX_BIN=$out/sbin/nginx KV_MODULES=$out/modules KV_BIN=$build/bin \
    KV_ARTIFACTS=$out/artifacts \
    "$python" -m pytest -q -p no:cacheprovider "${tests[@]}" "$@" || rc=$?

# (reports the harness recognised as nginx's own are in ignored/)
left=$(find "$reports" -maxdepth 1 -type f | wc -l)
if [ "$left" -gt 0 ]; then
    echo "sanitize: $left report(s) in $reports:" >&2
    find "$reports" -maxdepth 1 -type f >&2
    [ "$rc" -ne 0 ] || rc=1
fi
echo "sanitize: $mode pass took $((SECONDS - start)) s, status $rc"
exit "$rc"
