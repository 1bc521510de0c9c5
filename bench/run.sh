#!/usr/bin/env bash
# make bench: what the sensor costs nginx and how much it delivers, beside
# nginx's own mirror, auth_request and a buffered JSON access_log.
#
#   bench/run.sh BUILD_DIR            full run (3 rounds, about 14 minutes)
#   QUICK=1 bench/run.sh BUILD_DIR    one round
#   PROFILE=1 bench/run.sh BUILD_DIR  perf profile of the sensor's costs
#
# Settings (environment): ROUNDS, DURATION (s, whole), AFTER (delivery
# window, s), CONNS, ACCESS_THREADS, ONLY (regex of scenario keys),
# METHODS (GET,POST), KINDS (sat,r80,r50), MEMORY_REQUESTS, NGINX_CPU,
# LOAD_CPU, OUT (results directory), UPDATE_README (0: leave README alone).
# Results: bench/results/bench.{md,png,json} (quick.* for QUICK=1).
set -euo pipefail

build=$(realpath "$1")
top=$(cd "$(dirname "$0")/.." && pwd)

for f in "$build/sbin/nginx" "$build/modules/ngx_kestrelvanes_http_auth.so"; do
    [ -e "$f" ] || { echo "bench: $f missing, run make first" >&2; exit 1; }
done
if [ "$(nproc)" -lt 2 ]; then
    echo "bench: needs 2 cores (nginx on one, load and sink on the other)" >&2
    exit 1
fi

mkdir -p "$build/bench"
for tool in sink loadgen; do
    if [ ! -x "$build/bench/$tool" ] || [ "$top/bench/$tool.cpp" -nt "$build/bench/$tool" ]; then
        g++ -std=c++17 -O2 -Wall -Wextra -Werror -o "$build/bench/$tool" "$top/bench/$tool.cpp"
    fi
done

ulimit -n 65536 2>/dev/null || true
# this process and all it starts run on the load core; nginx moves its
# worker to the nginx core itself (worker_cpu_affinity)
exec taskset -c "${LOAD_CPU:-1}" /usr/bin/python3 "$top/bench/bench.py" "$build"
