#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz against the nginx build in
# BUILD, and those of the collector (tests/fuzz/collector, named
# collector_*), and runs each for SECONDS seconds, from its seed corpus in
# the repository plus what earlier runs found (BUILD/fuzz/corpus).
#
#   fuzz.sh BUILD [SECONDS [TARGET...]]
#
# Prints the executions per target.  An input that crashes a target, trips
# a sanitizer, breaks a property or runs past the timeout is kept in
# BUILD/fuzz/crashes and makes the run fail; the other targets still run.
set -euo pipefail

build=$(realpath -m "$1")
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
top=$(cd "$(dirname "$0")/.." && pwd)
out=$build/fuzz
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(policy reply merged_log response_log
    json_writer collector_framing collector_merged_log collector_response_log
    collector_stats collector_control)

# the largest input each target takes: a reply fills one receive buffer
max_len() {
    case $1 in
        policy | reply | json_writer) echo 8192 ;;
        collector_control) echo 16384 ;;
        *) echo 65536 ;;
    esac
}

cmake -S "$top/tests/fuzz" -B "$out/build" -DCMAKE_CXX_COMPILER=clang++-14 \
    -DNGINX_BUILD="$build" >/dev/null
cmake --build "$out/build" -j "${JOBS:-2}" -- --no-print-directory
cmake -S "$top/tests/fuzz/collector" -B "$out/collector" \
    -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$out/collector" -j "${JOBS:-2}" -- --no-print-directory

mkdir -p "$out/crashes" "$out/logs"
failed=()
for t in "${targets[@]}"; do
    mkdir -p "$out/corpus/$t"
    seeds=$top/tests/fuzz/corpus/$t
    dict=()
    [ -f "$top/tests/fuzz/$t.dict" ] && dict=(-dict="$top/tests/fuzz/$t.dict")
    log=$out/logs/$t.log

    binary=$out/build/fuzz_$t
    case $t in collector_*) binary=$out/collector/fuzz_$t ;; esac

    rc=0
    "$binary" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
        -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/crashes/$t-" "${dict[@]}" \
        "$out/corpus/$t" "$seeds" >"$log" 2>&1 || rc=$?

    execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -n 1)
    if [ "$rc" -eq 0 ]; then
        echo "fuzz: $t: ${execs:-?} executions in ${seconds} s, nothing found"
    else
        echo "fuzz: $t: FAILED after ${execs:-?} executions (exit $rc); log $log" >&2
        grep -aE 'ERROR:|PROPERTY FAILED|runtime error|Test unit written' "$log" \
            | head -n 5 >&2 || true
        failed+=("$t")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: findings in ${failed[*]}: inputs in $out/crashes" >&2
    exit 1
fi
