#!/usr/bin/env bash
# Instructions per exchange of nginx with the sensor against stock nginx,
# counted by callgrind.  Instruction counts do not depend on what else the
# machine is doing, so two runs of the same build and inputs agree to a few
# hundred instructions per request: this is the figure to compare builds by
# on a shared machine, where timings are noise.
#
#   bench/callgrind.sh [BUILD_DIR]      (default: build/)
#
# Environment:
#   N=2000        requests counted per scenario (after a warm-up of WARM=200)
#   CONNS=1       keep-alive connections the client spreads them over; more
#                 connections give several requests per event-loop pass
#   SIZE=512      response body bytes (above 3000, a static file for every scenario)
#   ONLY="a b"    run only the named scenarios (names as printed)
#   KEEP=DIR      keep each scenario's callgrind files and a per-function
#                 profile of the worker thread (DIR/NAME.top, and per request
#                 DIR/NAME.profile; its file is DIR/NAME.worker.cg) there
#   BODY=2048     request body bytes of the "-post" scenarios ("-post-4k":
#                 4096)
#
# nginx runs as one process (master_process off) under valgrind; the
# counters are zeroed after the warm-up and dumped once the collector has
# received every log message, so the figures hold the requests and their
# delivery and nothing of start-up or shut-down.  "worker" is the event-loop
# thread; "threads" are the thread pools' threads (the sender).
#
# The "ka-" scenarios set the authorization module beside what stock nginx
# offers for the same request, all against one authorization server over
# keep-alive upstream connections (as bench/bench.py configures them):
# auth_request (which sends no body; "-idents" also sends the module's
# identification headers), mirror with the body, and a buffered JSON
# access_log.  Each is compared with the scenario named after "x" in
# its line; POSTs are proxied to the same server, since the static handler
# refuses them.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$top/build}")
nginx=$build/sbin/nginx
modules=$build/modules
count=${N:-2000}
warm=${WARM:-200}
conns=${CONNS:-1}
size=${SIZE:-512}
only=${ONLY:-}
keep=${KEEP:-}
post_body=${BODY:-2048}
python=/usr/bin/python3
peers=$top/bench/callgrind_peers.py

command -v valgrind >/dev/null || { echo "callgrind.sh: valgrind is missing" >&2; exit 1; }
[ -x "$nginx" ] || { echo "callgrind.sh: no $nginx (run make)" >&2; exit 1; }

tmp=$(mktemp -d /tmp/kv-callgrind.XXXXXX)
chmod 755 "$tmp"
port=$((18600 + RANDOM % 300))
coll_port=$((port + 400))
vg_pid=""
coll_pid=""

cleanup() {
    [ -n "$vg_pid" ] && kill "$vg_pid" 2>/dev/null || true
    [ -n "$coll_pid" ] && kill "$coll_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

[ -n "$keep" ] && mkdir -p "$keep"

mkdir -p "$tmp/www"
head -c "$size" /dev/zero | tr '\0' 'x' >"$tmp/www/bench"
body=$(cat "$tmp/www/bench")

modules_lines="load_module $modules/ngx_kestrelvanes_http_auth.so;
load_module $modules/ngx_kestrelvanes_http_access.so;"

# merged log: the body comes from "return" (a file past 3000 bytes, which
# nginx's configuration parser does not take as one word); response log:
# the request passes the authorization subrequest, so it must reach the
# content phase.  Files are served from memory buffers (sendfile is off by
# default), which the sensor captures.
merged_location() {
    echo "$1"
    if [ "$size" -le 3000 ]; then
        echo "return 200 \"$body\";"
    else
        echo "root $tmp/www;"
    fi
}

auth_location() {
    cat <<CONF
kestrelvanes_http_auth_enable on;
ext_auth_request /_auth;
$1
root $tmp/www;
CONF
}

write_conf() {
    local load=$1 location=$2 http=${3:-} server=${4:-}
    cat >"$tmp/nginx.conf" <<CONF
$load
master_process off;
daemon off;
worker_processes 1;
error_log $tmp/error.log error;
pid $tmp/nginx.pid;
thread_pool kestrelvanes_access_log_thread_pool threads=1;
thread_pool kestrelvanes_monitoring_thread_pool threads=1;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_requests 1000000;
    open_file_cache max=16;
    $http
    server {
        listen 127.0.0.1:$port;
        location = /_auth {
            internal;
            proxy_pass http://127.0.0.1:$coll_port;
        }
        location / {
            $location
        }
        $server
    }
}
CONF
}

wait_for() {
    local what=$1 i
    shift
    for i in $(seq 600); do
        if "$@"; then
            return 0
        fi
        sleep 0.1
    done
    echo "callgrind.sh: timed out waiting for $what" >&2
    exit 1
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

logs_received() {
    [ "$(cat "$tmp/logs" 2>/dev/null || echo 0)" -ge "$1" ]
}

cg_total() {
    awk '/^summary:/ {print $2}' "$1"
}

stock_worker=""
stock_total=""
base_worker=""
base_total=""

# Figures of the scenarios run so far, by name, for "ref=NAME run ...".
declare -A worker_of total_of

# [ref=NAME] [req_body=BYTES] run NAME LOGS BASELINE LOAD LOCATION [HTTP [SERVER]]
#   LOGS: log messages each request produces (0 or 1)
#   BASELINE: "stock" to be the figure others compare with, "auth" for the
#   authorization baseline of the response-log scenario, else empty
#   ref: the scenario to compare with instead of those baselines
#   req_body: POSTs of that many bytes instead of GETs
#   SERVER: more of the server block (locations)
run() {
    local name=$1 logs=$2 baseline=$3 load=$4 location=$5 http=${6:-}
    local server=${7:-} request_body=${req_body:-0} compare=${ref:-}
    if [ -n "$only" ] && [[ " $only " != *" $name "* ]]; then
        return 0
    fi

    write_conf "$load" "$location" "$http" "$server"
    rm -f "$tmp"/cg.* "$tmp/logs"

    "$python" "$peers" collector "$coll_port" "$tmp/logs" >/dev/null &
    coll_pid=$!
    wait_for "the collector" port_open "$coll_port"

    valgrind --tool=callgrind --separate-threads=yes \
        --compress-strings=no --compress-pos=no \
        --callgrind-out-file="$tmp/cg.%p" \
        "$nginx" -p "$tmp" -c "$tmp/nginx.conf" >"$tmp/valgrind.log" 2>&1 &
    vg_pid=$!
    wait_for "nginx" port_open "$port"

    "$python" "$peers" client "$port" "$warm" "$conns" "$request_body"
    [ "$logs" = 0 ] || wait_for "the warm-up's logs" logs_received "$warm"
    callgrind_control -z "$vg_pid" >/dev/null 2>&1

    "$python" "$peers" client "$port" "$count" "$conns" "$request_body"
    [ "$logs" = 0 ] || wait_for "the logs" logs_received $((warm + count))
    callgrind_control -d "$vg_pid" >/dev/null 2>&1

    # the counts are dumped: a stop that valgrind loses is not waited for
    kill "$vg_pid"
    for _ in $(seq 50); do
        kill -0 "$vg_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$vg_pid" 2>/dev/null || true
    wait "$vg_pid" 2>/dev/null || true
    vg_pid=""
    kill "$coll_pid"
    wait "$coll_pid" 2>/dev/null || true
    coll_pid=""

    local worker=0 threads=0 f t
    for f in "$tmp"/cg.*.1-*; do
        t=$(cg_total "$f")
        case "$f" in
            *.1-01) worker=$t ;;
            *) threads=$((threads + t)) ;;
        esac
    done

    local wr tr total
    wr=$((worker / count))
    tr=$((threads / count))
    total=$((wr + tr))

    case "$baseline" in
        stock) stock_worker=$wr stock_total=$total ;;
        auth) base_worker=$wr base_total=$total ;;
    esac

    worker_of[$name]=$wr
    total_of[$name]=$total

    local ref_w=$stock_worker ref_t=$stock_total ref="stock"
    if [ -n "$compare" ]; then
        ref_w=${worker_of[$compare]:-} ref_t=${total_of[$compare]:-} ref=$compare
    elif [[ "$name" == auth* ]]; then
        ref_w=$base_worker ref_t=$base_total ref="auth baseline"
    fi

    local ratio_w="-" ratio_t="-"
    if [ -n "$ref_w" ]; then
        ratio_w=$(awk -v a="$wr" -v b="$ref_w" 'BEGIN {printf "%.2f", a / b}')
        ratio_t=$(awk -v a="$total" -v b="$ref_t" 'BEGIN {printf "%.2f", a / b}')
    fi

    printf '%-31s worker %7d  threads %6d  total %7d Ir/request   %s x%s worker, x%s total\n' \
        "$name" "$wr" "$tr" "$total" "$ref" "$ratio_w" "$ratio_t"

    if [ -n "$keep" ]; then
        cp "$tmp"/cg.*.1-* "$keep/" 2>/dev/null || true
        for f in "$tmp"/cg.*.1-01; do
            callgrind_annotate --threshold=99 "$f" >"$keep/$name.top" 2>/dev/null || true
            callgrind_annotate --inclusive=yes --threshold=99 "$f" \
                >"$keep/$name.inclusive" 2>/dev/null || true
            # per request, by function: what two scenarios' files differ in
            "$python" "$peers" profile "$f" "$count" >"$keep/$name.profile" \
                2>/dev/null || true
            cp "$f" "$keep/$name.worker.cg"
        done
    fi
}

echo "callgrind: $count requests over $conns connection(s), $size-byte responses"

run stock 0 stock "" "$(merged_location "")"
run modules-off 0 "" "$modules_lines" "$(merged_location "")"
run merged-default 1 "" "$modules_lines" "$(merged_location \
    "kestrelvanes_http_access_enable on; ext_auth_log_server http://127.0.0.1:$coll_port;")"
run merged-metadata 1 "" "$modules_lines" "$(merged_location \
    "kestrelvanes_http_access_enable on; ext_auth_log_server http://127.0.0.1:$coll_port;")" \
    "ext_initial_logging_mode metadata;"
run auth-only 0 auth "$modules_lines" "$(auth_location "")"
run auth-response-log 1 "" "$modules_lines" "$(auth_location "kestrelvanes_http_access_enable on;")"

# Keep-alive scenarios: the authorization module next to stock nginx's
# auth_request, mirror and JSON access_log for the same requests.
ka_upstream="upstream authz {
        server 127.0.0.1:$coll_port;
        keepalive 8;
        keepalive_requests 1000000;
    }"
ka_proxy='proxy_http_version 1.1; proxy_set_header Connection "";'
ka_authz="location = /_kvauth { internal; proxy_pass http://authz/auth; $ka_proxy }"
ka_authreq="location = /_authreq {
            internal;
            proxy_pass http://authz/auth;
            proxy_pass_request_body off;
            proxy_set_header Content-Length \"\";
            $ka_proxy
        }"
# auth_request made to send what the module sends (a POST with the eight
# identification headers), for the cost of those headers alone.  The id
# stands in for the sensor's: nginx's own $request_id before 1.31 draws
# random bytes of its own for every request.
ka_idents="location = /_authreq {
            internal;
            proxy_pass http://authz/auth;
            proxy_method POST;
            proxy_pass_request_body off;
            proxy_set_header Content-Length \"\";
            proxy_set_header X-Request-Id \$connection-\$connection_requests;
            proxy_set_header X-Req-Uri \$request_uri;
            proxy_set_header X-Method \$request_method;
            proxy_set_header X-Req-Host \$http_host;
            proxy_set_header X-Client-Addr \$remote_addr:\$remote_port;
            proxy_set_header X-Req-Time \$msec;
            proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
            proxy_set_header X-Forwarded-Proto \$scheme;
            $ka_proxy
        }"
ka_mirror="location = /_mirror {
            internal;
            proxy_pass http://authz/mirror\$request_uri;
            $ka_proxy
        }"
ka_module="kestrelvanes_http_auth_enable on; ext_auth_request /_kvauth;"
# GETs get the static file, POSTs the server's empty 200 through the proxy
ka_static="root $tmp/www;"
ka_backend="proxy_pass http://authz/backend; $ka_proxy"
ka_jsonlog="log_format benchjson escape=json '{\"time\":\"\$time_iso8601\",'
        '\"client\":\"\$remote_addr\",\"method\":\"\$request_method\",'
        '\"uri\":\"\$request_uri\",\"status\":\$status,\"bytes\":\$body_bytes_sent,'
        '\"request_length\":\$request_length,\"request_time\":\$request_time,'
        '\"user_agent\":\"\$http_user_agent\",\"request_id\":\"\$request_id\"}';"

# ka_pair SUFFIX BODY CONTENT: stock without authorization, auth_request,
# the module (compared with auth_request) and mirror with the body
ka_pair() {
    local suffix=$1 bytes=$2 content=$3
    req_body=$bytes run "ka-stock-$suffix" 0 "" "" "$content" "$ka_upstream"
    req_body=$bytes ref="ka-stock-$suffix" run "ka-auth_request-$suffix" 0 "" "" \
        "auth_request /_authreq; $content" "$ka_upstream" "$ka_authreq"
    req_body=$bytes ref="ka-auth_request-$suffix" run \
        "ka-auth_request-idents-$suffix" 0 "" "" \
        "auth_request /_authreq; $content" "$ka_upstream" "$ka_idents"
    req_body=$bytes ref="ka-auth_request-$suffix" run "ka-module-$suffix" 0 "" \
        "$modules_lines" "$ka_module $content" "$ka_upstream" "$ka_authz"
    req_body=$bytes ref="ka-stock-$suffix" run "ka-mirror-$suffix" 0 "" "" \
        "mirror /_mirror; mirror_request_body on; $content" "$ka_upstream" \
        "$ka_mirror"
}

ka_pair get 0 "$ka_static"
ka_pair post "$post_body" "$ka_backend"
ka_pair post-4k 4096 "$ka_backend"
ref=stock run ka-jsonlog 0 "" "" "$(merged_location \
    "access_log $tmp/access.json benchjson buffer=64k flush=1s;")" "$ka_jsonlog"
