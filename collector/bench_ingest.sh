#!/usr/bin/env bash
# The collector's ingest rate on each store: the load tool writes
# pre-built sensor messages (merged logs, then response logs, then merged
# logs whose requests carry an Authorization header and whose bodies a
# password; each with a request id of its own) pipelined on two
# connections for a few seconds, and reports messages answered per second
# and rows stored per second, end to end.  In turn:
#
#   - SQLite, one collector: every format, with redaction at ingest on
#     (the default) and off (--no-redact), or only as REDACT says, and
#     with the endpoint inventory on (the default) and off
#     (--no-inventory), or only as INVENTORY says; and the CPU time each of
#     the collector's two busy threads spent per message: the difference
#     of the event loop's time per message is what the inventory costs;
#   - PostgreSQL, one collector;
#   - PostgreSQL, two collectors on one database, each loaded at once;
#
# and the disk bytes each stored exchange takes on either store.
# PostgreSQL is a server of its own under build/pg/bench-ingest
# (tools/pg_cluster.py), durable, stopped after.
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
top=$(cd "$(dirname "$0")/.." && pwd)
hz=$(getconf CLK_TCK)
work=$(mktemp -d /tmp/kv-ingest-bench-XXXXXX)
cluster=$build/pg/bench-ingest
pids=()

cleanup() {
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    /usr/bin/python3 "$top/tools/pg_cluster.py" stop "$cluster" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# start_collector NAME DB [FLAG...]: the collector's pid, ingest and
# console ports in ${NAME}_pid, ${NAME}_ingest, ${NAME}_console
start_collector() {
    local name=$1 db=$2 log=$work/$1.log pid
    shift 2
    "$build/bin/kestrelvanes-collector" --ingest 127.0.0.1:0 --console 127.0.0.1:0 \
        --db "$db" --retain-rows 100000000 --retain-days 0 "$@" >"$log" 2>&1 &
    pid=$!
    pids+=("$pid")
    for _ in $(seq 200); do
        grep -q 'console on' "$log" && break
        sleep 0.1
    done
    grep -q 'console on' "$log" || {
        cat "$log"
        exit 1
    }
    printf -v "${name}_pid" %s "$pid"
    printf -v "${name}_ingest" %s "$(grep -o 'sensors on 127.0.0.1:[0-9]*' "$log" | cut -d: -f2)"
    printf -v "${name}_console" %s "$(grep -o 'console on http://127.0.0.1:[0-9]*' "$log" | sed 's/.*://')"
}

stop_collector() {
    kill "$1"
    wait "$1" 2>/dev/null || true
}

# load NAME FORMAT [FLAG...]: the load tool against collector NAME
load() {
    local ingest console
    ingest=${1}_ingest
    console=${1}_console
    shift
    "$build/bin/kestrelvanes-loadgen" --target "127.0.0.1:${!ingest}" \
        --console "127.0.0.1:${!console}" --seconds "$seconds" --connections 2 \
        --format "$@"
}

# clock ticks of the event-loop thread (the process's first) and the
# writer thread (named kv-store)
ticks() {
    local pid=$1 writer
    writer=$(grep -l '^kv-store$' /proc/$pid/task/*/comm 2>/dev/null | head -1 | cut -d/ -f5 || true)
    [ -n "$writer" ] || writer=$(ls /proc/$pid/task | sort -n | sed -n 2p)
    echo "$(awk '{print $14 + $15}' /proc/$pid/task/$pid/stat)" \
        "$(awk '{print $14 + $15}' /proc/$pid/task/$writer/stat)"
}

stored_rows() {
    sed -n 's/^stored: \([0-9]*\) of .*/\1/p' <<<"$1"
}

for config in $(for m in "${modes[@]}"; do for i in "${inventories[@]}"; do
    echo "$m/$i"; done; done); do
    mode=${config%/*}
    inventory=${config#*/}
    flags=()
    [ "$mode" = off ] && flags+=(--no-redact)
    [ "$inventory" = off ] && flags+=(--no-inventory)
    rm -f "$work"/collector.db*
    echo "== SQLite, one collector, redaction $mode, inventory $inventory"
    start_collector lite "$work/collector.db" "${flags[@]}"
    for run in merged response "merged --secrets"; do
        read -r i0 w0 <<<"$(ticks "$lite_pid")"
        # shellcheck disable=SC2086
        out=$(load lite $run)
        read -r i1 w1 <<<"$(ticks "$lite_pid")"
        echo "-- ${run/ --secrets/ logs with secrets}"
        echo "$out"
        n=$(sed -n 's/^messages: [0-9]* sent, \([0-9]*\) answered.*/\1/p' <<<"$out")
        awk -v n="$n" -v i=$((i1 - i0)) -v w=$((w1 - w0)) -v hz="$hz" 'BEGIN {
            printf "cpu per message: %.1f us on the event loop, %.1f us in the writer\n\n",
                i * 1e6 / hz / n, w * 1e6 / hz / n }'
    done
    stop_collector "$lite_pid"
done
rows=$(sqlite3 "$work/collector.db" "SELECT count(*) FROM exchanges" 2>/dev/null ||
    /usr/bin/python3 -c "import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute('SELECT count(*) FROM exchanges').fetchone()[0])" "$work/collector.db")
bytes=$(du -b -c "$work"/collector.db* | tail -1 | cut -f1)
echo "disk: $((bytes / rows)) bytes per exchange ($rows exchanges, SQLite file and WAL)"

echo
echo "== PostgreSQL, one collector"
/usr/bin/python3 "$top/tools/pg_cluster.py" start "$cluster" >/dev/null
one=$(/usr/bin/python3 "$top/tools/pg_cluster.py" createdb "$cluster" ingest_one)
start_collector pg1 "$one"
load pg1 merged
stop_collector "$pg1_pid"
size=$(/usr/bin/python3 -c "
import sys; sys.path.insert(0, '$top/tools'); import pg_cluster
c = pg_cluster.Cluster('$cluster')
print(c.psql(\"SELECT (SELECT sum(pg_total_relation_size(inhrelid)) FROM pg_inherits WHERE inhparent = 'exchanges'::regclass), (SELECT count(*) FROM exchanges)\", 'ingest_one')[0])
" | tr -d "[]',")
read -r bytes rows <<<"$size"
echo "disk: $((bytes / rows)) bytes per exchange ($rows exchanges, partitions and their indexes)"

echo
echo "== PostgreSQL, two collectors on one database"
two=$(/usr/bin/python3 "$top/tools/pg_cluster.py" createdb "$cluster" ingest_two)
start_collector pga "$two"
start_collector pgb "$two"
load pga merged >"$work/a.out" &
la=$!
load pgb merged >"$work/b.out" &
lb=$!
wait "$la" "$lb"
cat "$work/a.out" "$work/b.out"
a=$(stored_rows "$(cat "$work/a.out")")
b=$(stored_rows "$(cat "$work/b.out")")
ta=$(sed -n 's/^stored: .* in \([0-9.]*\) s from.*/\1/p' "$work/a.out")
tb=$(sed -n 's/^stored: .* in \([0-9.]*\) s from.*/\1/p' "$work/b.out")
awk -v a="$a" -v b="$b" -v ta="$ta" -v tb="$tb" 'BEGIN {
    t = ta > tb ? ta : tb
    printf "both: %d rows in %.2f s (%.0f rows/s end to end)\n", a + b, t, (a + b) / t }'
stop_collector "$pga_pid"
stop_collector "$pgb_pid"
