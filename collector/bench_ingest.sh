#!/usr/bin/env bash
# The collector's ingest rate: a fresh collector on free loopback ports,
# the load tool writing pre-built sensor messages (merged logs, then
# response logs, then merged logs whose requests carry an Authorization
# header and whose bodies a password) pipelined on two connections for a
# few seconds, and the rates it reports: messages answered per second,
# rows stored per second, and the CPU time each of the collector's two
# busy threads spent per message.  Each runs with redaction at ingest on
# (the default) and off (--no-redact), or only as REDACT says, and with
# the endpoint inventory on (the default) and off (--no-inventory), or
# only as INVENTORY says: the difference of the event loop's time per
# message is what the inventory costs.
#
#   collector/bench_ingest.sh [BUILD_DIR] [SECONDS]
#   REDACT=on|off|both (default both)
#   INVENTORY=on|off|both (default both)
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
seconds=${2:-3}
redact=${REDACT:-both}
case $redact in
    on) modes=(on) ;;
    off) modes=(off) ;;
    both) modes=(on off) ;;
    *) echo "REDACT must be on, off or both" >&2; exit 2 ;;
esac
case ${INVENTORY:-both} in
    on) inventories=(on) ;;
    off) inventories=(off) ;;
    both) inventories=(on off) ;;
    *) echo "INVENTORY must be on, off or both" >&2; exit 2 ;;
esac
work=$(mktemp -d /tmp/kv-ingest-bench-XXXXXX)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
hz=$(getconf CLK_TCK)

# clock ticks of the event-loop thread (the process's first) and the
# writer thread (named kv-store)
ticks() {
    local t=()
    for task in $pid $writer; do
        t+=($(awk '{print $14 + $15}' /proc/$pid/task/$task/stat))
    done
    echo "${t[@]}"
}

for config in $(for m in "${modes[@]}"; do for i in "${inventories[@]}"; do
    echo "$m/$i"; done; done); do
    mode=${config%/*}
    inventory=${config#*/}
    flags=()
    [ "$mode" = off ] && flags+=(--no-redact)
    [ "$inventory" = off ] && flags+=(--no-inventory)
    rm -f "$work"/collector.db*
    : >"$work/collector.log"
    "$build/bin/kestrelvanes-collector" --ingest 127.0.0.1:0 \
        --console 127.0.0.1:0 --db "$work/collector.db" "${flags[@]}" \
        >"$work/collector.log" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        grep -q 'console on' "$work/collector.log" && break
        sleep 0.1
    done
    ingest=$(grep -o 'sensors on 127.0.0.1:[0-9]*' "$work/collector.log" | cut -d: -f2)
    console=$(grep -o 'console on http://127.0.0.1:[0-9]*' "$work/collector.log" | sed 's/.*://')
    [ -n "$ingest" ] && [ -n "$console" ] || { cat "$work/collector.log"; exit 1; }
    writer=$(grep -l '^kv-store$' /proc/$pid/task/*/comm 2>/dev/null | head -1 | cut -d/ -f5 || true)
    [ -n "$writer" ] || writer=$(ls /proc/$pid/task | sort -n | sed -n 2p)

    echo "== redaction $mode, inventory $inventory"
    for run in merged response "merged --secrets"; do
        read -r i0 w0 <<<"$(ticks)"
        # shellcheck disable=SC2086
        out=$("$build/bin/kestrelvanes-loadgen" --target 127.0.0.1:$ingest \
            --console 127.0.0.1:$console --seconds "$seconds" --connections 2 \
            --format $run)
        read -r i1 w1 <<<"$(ticks)"
        echo "-- ${run/ --secrets/ logs with secrets}"
        echo "$out"
        n=$(sed -n 's/^messages: [0-9]* sent, \([0-9]*\) answered.*/\1/p' <<<"$out")
        awk -v n="$n" -v i=$((i1 - i0)) -v w=$((w1 - w0)) -v hz="$hz" 'BEGIN {
            printf "cpu per message: %.1f us on the event loop, %.1f us in the writer\n\n",
                i * 1e6 / hz / n, w * 1e6 / hz / n }'
    done
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    pid=
done
