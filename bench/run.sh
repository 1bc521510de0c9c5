#!/usr/bin/env bash
# Throughput and memory of nginx with the sensor, against the same nginx
# without it.  nginx runs pinned to core 0 with one worker, wrk to core 1,
# on loopback.  Prints one line per scenario.
#
#   bench/run.sh BUILD_DIR        (make bench)
#   DURATION=10 bench/run.sh ...  longer runs
set -euo pipefail

build=$(realpath "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
duration=${DURATION:-5}
nginx=$build/sbin/nginx
modules=$build/modules

if ! command -v wrk >/dev/null; then
    sudo=""
    [ "$(id -u)" = 0 ] || sudo="sudo"
    $sudo apt-get install -y -qq wrk >/dev/null || {
        $sudo apt-get update -qq && $sudo apt-get install -y -qq wrk >/dev/null
    }
fi

tmp=$(mktemp -d /tmp/kv-bench.XXXXXX)
chmod 755 "$tmp"
mkdir -p "$tmp/logs"
port=18480
sink_port=18481
sink_pid=""

cleanup() {
    "$nginx" -p "$tmp" -c "$tmp/nginx.conf" -s stop 2>/dev/null || true
    [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

body=$(head -c 512 /dev/zero | tr '\0' 'x')

write_conf() {
    local load=$1 location=$2 http=${3:-}
    cat >"$tmp/nginx.conf" <<CONF
$load
worker_processes 1;
error_log logs/error.log error;
pid logs/nginx.pid;
thread_pool kestrelvanes_access_log_thread_pool threads=1;
thread_pool kestrelvanes_monitoring_thread_pool threads=1;
events { worker_connections 4096; }
http {
    access_log off;
    keepalive_requests 1000000;
    $http
    server {
        listen 127.0.0.1:$port;
        location / {
            $location
            return 200 "$body";
        }
    }
}
CONF
}

stop_nginx() {
    local master
    master=$(cat "$tmp/logs/nginx.pid")
    "$nginx" -p "$tmp" -c "$tmp/nginx.conf" -s stop
    for _ in $(seq 100); do
        kill -0 "$master" 2>/dev/null || return 0
        sleep 0.1
    done
}

worker_rss_kb() {
    local master worker
    master=$(cat "$tmp/logs/nginx.pid")
    worker=$(pgrep -P "$master" | head -n 1)
    awk '/VmRSS/ {print $2}' "/proc/$worker/status"
}

run() {
    local name=$1 load=$2 location=$3 http=${4:-}
    write_conf "$load" "$location" "$http"
    taskset -c 0 "$nginx" -p "$tmp" -c "$tmp/nginx.conf"
    sleep 0.3
    # warm-up, then the measured run
    taskset -c 1 wrk -t1 -c32 -d1s "http://127.0.0.1:$port/" >/dev/null
    local rss_before out rps requests rss_after logs
    rss_before=$(worker_rss_kb)
    /usr/bin/python3 "$top/bench/sink.py" "$sink_port" "$((duration + 3))" >"$tmp/sink.out" &
    sink_pid=$!
    sleep 0.2
    out=$(taskset -c 1 wrk -t1 -c32 -d"${duration}s" "http://127.0.0.1:$port/bench")
    rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
    requests=$(echo "$out" | awk '/requests in/ {print $1}')
    rss_after=$(worker_rss_kb)
    wait "$sink_pid"
    sink_pid=""
    logs=$(cut -d' ' -f1 "$tmp/sink.out")
    stop_nginx
    printf '%-30s %8.0f req/s %5.2f of stock  logs %7d of %7d  worker RSS %6d -> %6d kB\n' \
        "$name" "$rps" "$(awk -v a="$rps" -v b="$stock" 'BEGIN {print a / b}')" "$logs" "$requests" \
        "$rss_before" "$rss_after"
}

modules_lines="load_module $modules/ngx_kestrelvanes_http_auth.so;
load_module $modules/ngx_kestrelvanes_http_access.so;"

stock=1
write_conf "" ""
taskset -c 0 "$nginx" -p "$tmp" -c "$tmp/nginx.conf"
sleep 0.3
taskset -c 1 wrk -t1 -c32 -d1s "http://127.0.0.1:$port/" >/dev/null
stock=$(taskset -c 1 wrk -t1 -c32 -d"${duration}s" "http://127.0.0.1:$port/" |
    awk '/Requests\/sec/ {print $2}')
stop_nginx
printf '%-30s %10.0f req/s  %5.2f of stock\n' "stock nginx, 512-byte response" "$stock" 1

run "modules loaded, sensor off" "$modules_lines" ""
run "merged log, 10% sampled" "$modules_lines" \
    "kestrelvanes_http_access_enable on; ext_auth_log_server http://127.0.0.1:$sink_port;" \
    "ext_sampling_rate 10;"
run "merged log of every exchange" "$modules_lines" \
    "kestrelvanes_http_access_enable on; ext_auth_log_server http://127.0.0.1:$sink_port;"
run "merged log, metadata only" "$modules_lines" "kestrelvanes_http_access_enable on; ext_auth_log_server http://127.0.0.1:$sink_port; ext_initial_logging_mode metadata;"
