"""What the sensor costs nginx and how much it delivers, beside what nginx
offers instead (mirror, auth_request, a buffered JSON access_log).

Run through bench/run.sh (make bench), which builds the sink and the load
generator and pins this process, and so everything it starts, to the load
core.  nginx runs one worker, pinned to the nginx core with
worker_cpu_affinity; its thread-pool threads inherit that core.

Every measured run has an nginx of its own, so a backlog left by one run
never reaches the next.  A run of a scenario with the sensor is fitted
into the worker's first 5-second tick: warm-up, the run, the delivery
window after it, then the statistics document the worker sends at the
tick, which counts what the run dropped.  The next such nginx is started
while the current one is still in its delivery window, so that its own
tick falls right after its run.
"""

import http.client
import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def env_float(name, default):
    return float(os.environ.get(name) or default)


QUICK = os.environ.get("QUICK", "") not in ("", "0")
ROUNDS = int(env_float("ROUNDS", 1 if QUICK else 3))
DURATION = int(env_float("DURATION", 2))  # wrk takes whole seconds
AFTER = env_float("AFTER", 1.5)
WARMUP = env_float("WARMUP", 0.3)
CONNS = int(env_float("CONNS", 32))
NGINX_CPU = int(env_float("NGINX_CPU", 0))
LOAD_CPU = int(env_float("LOAD_CPU", 1))
ACCESS_THREADS = int(env_float("ACCESS_THREADS", 2))
POST_BYTES = 2048
MEMORY_REQUESTS = int(env_float("MEMORY_REQUESTS", 300000 if QUICK else 1000000))
ONLY = os.environ.get("ONLY", "")
METHODS = (os.environ.get("METHODS") or "GET,POST").split(",")
KINDS = (os.environ.get("KINDS") or "sat,r80,r50").split(",")
OUT = os.environ.get("OUT") or os.path.join(TOP, "bench", "results")
UPDATE_README = os.environ.get("UPDATE_README", "" if QUICK else "1") not in ("", "0")
PROFILE = os.environ.get("PROFILE", "") not in ("", "0")

TICK = 5.0  # the worker's timer period: heartbeats and statistics
GUARD = 0.15  # the delivery window closes this long before the tick
WARMUP_RATE = 5000
RATES = {"r80": 0.8, "r50": 0.5}
KIND_TITLES = {"sat": "saturation", "r80": "fixed rate, 80 % of stock", "r50": "fixed rate, 50 % of stock"}

PORTS = (18480, 18481)
STATUS_OFFSET = 100
SINK_PORT = 18490
NEVER_PORT = 18491
DOWN_PORT = 18492

API_BODY = (
    '{"id":7,"name":"kestrel","tags":["api","bench"],"price":12.5,'
    '"owner":{"id":42,"name":"ops"},"updated":1796800000,"v":2}\n'
)
PATHS = {"GET": "/api/items.json", "POST": "/api/orders"}

# Statistics keys that count an exchange the collector will not get, once
# each: not captured (backoff, memory budget) or captured and then lost.
DROP_KEYS = (
    "task_post_failed",
    "log_skipped_in_backoff",
    "logs_send_fail",
    "log_dropped_thread",
    "no_buffer_space_left",
    "hdr_filter_fail",
    "alloc_fail",
)
# counters added later that name a drop
DROP_PATTERN = re.compile(r"drop|discard|budget|overflow")
# Exchanges the sensor leaves out on purpose.
NOT_WANTED = ("log_skipped_in_sampling", "logging_disabled", "uri_bypass_pattern_matched",
              "header_bypass_pattern_matched")


class Scenario:
    def __init__(self, key, title, modules=False, fmt=None, mode="default", sampling=None,
                 target="sink", extra=None):
        self.key = key
        self.title = title
        self.modules = modules or fmt is not None or extra == "authz"
        self.fmt = fmt  # "merged", "response" or None: the sensor captures
        self.mode = mode
        self.sampling = sampling
        self.target = target  # where merged logs go: sink, down, never
        self.extra = extra  # authz, mirror, auth_request, jsonlog

    @property
    def sensor(self):
        return self.fmt is not None

    @property
    def delivers(self):
        """What the sink (or the log file) counts as this scenario's copies."""
        if self.fmt == "merged":
            return "merged"
        if self.fmt == "response":
            return "response"
        if self.extra in ("mirror", "jsonlog"):
            return self.extra
        return None


SCENARIOS = [
    Scenario("stock", "stock nginx, no modules"),
    Scenario("off", "modules loaded, sensor off", modules=True),
    Scenario("merged-default", "sensor, merged log, default", fmt="merged"),
    Scenario("merged-metadata", "sensor, merged log, metadata", fmt="merged", mode="metadata"),
    Scenario("merged-minimum", "sensor, merged log, minimum", fmt="merged", mode="minimum"),
    Scenario("merged-nologging", "sensor, merged log, nologging", fmt="merged", mode="nologging"),
    Scenario("response-default", "sensor, response log, default", fmt="response"),
    Scenario("response-metadata", "sensor, response log, metadata", fmt="response", mode="metadata"),
    Scenario("response-minimum", "sensor, response log, minimum", fmt="response", mode="minimum"),
    Scenario("response-nologging", "sensor, response log, nologging", fmt="response",
             mode="nologging"),
    Scenario("merged-sampled", "sensor, merged log, 10 % sampled", fmt="merged", sampling=10),
    Scenario("collector-down", "sensor, collector down", fmt="merged", target="down"),
    Scenario("collector-stuck", "sensor, collector never reads", fmt="merged", target="never"),
    Scenario("authz", "authorization module, 204 server", extra="authz"),
    Scenario("mirror", "nginx mirror + body, keep-alive", extra="mirror"),
    Scenario("auth_request", "nginx auth_request, keep-alive", extra="auth_request"),
    Scenario("jsonlog", "nginx buffered JSON access_log", extra="jsonlog"),
]
BY_KEY = {s.key: s for s in SCENARIOS}

# Left out of fixed-rate runs to keep the bench within 15 minutes: the
# nologging levels send nothing, and minimum lies between metadata and off.
NO_FIXED = {"merged-nologging", "response-nologging", "merged-minimum", "response-minimum"}


def log(msg):
    print(msg, flush=True)


# --------------------------------------------------------------------------
# nginx


def affinity_mask(cpu):
    return "1" + "0" * cpu


def nginx_conf(sc, port, prefix, modules_dir):
    main, http, loc, extra = [], [], [], []
    sink = f"127.0.0.1:{SINK_PORT}"

    if sc.modules:
        main += [
            f"load_module {modules_dir}/ngx_kestrelvanes_http_auth.so;",
            f"load_module {modules_dir}/ngx_kestrelvanes_http_access.so;",
            # the access-log pool first: its threads get the lower ids
            f"thread_pool kestrelvanes_access_log_thread_pool threads={ACCESS_THREADS};",
            "thread_pool kestrelvanes_monitoring_thread_pool threads=1;",
        ]

    auth_location = """
        location = /_kvauth {
            internal;
            proxy_pass http://sink/auth;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }"""

    if sc.sensor:
        http += [
            f"ext_stats_server http://{sink};",
            "ext_stats_period 5s;",
            "ext_heartbeat_period 5s;",
            f"ext_initial_logging_mode {sc.mode};",
        ]
        if sc.sampling:
            http.append(f"ext_sampling_rate {sc.sampling};")
        loc.append("kestrelvanes_http_access_enable on;")
        if sc.fmt == "merged":
            target = {"sink": SINK_PORT, "down": DOWN_PORT, "never": NEVER_PORT}[sc.target]
            loc.append(f"ext_auth_log_server http://127.0.0.1:{target};")
        else:
            # response logs go to the authorization server that answered
            loc += ["kestrelvanes_http_auth_enable on;", "ext_auth_request /_kvauth;"]
            extra.append(auth_location)

    if sc.extra == "authz":
        loc += ["kestrelvanes_http_auth_enable on;", "ext_auth_request /_kvauth;"]
        extra.append(auth_location)
    elif sc.extra == "mirror":
        loc += ["mirror /_mirror;", "mirror_request_body on;"]
        extra.append("""
        location = /_mirror {
            internal;
            proxy_pass http://sink/mirror$request_uri;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }""")
    elif sc.extra == "auth_request":
        loc.append("auth_request /_authreq;")
        extra.append("""
        location = /_authreq {
            internal;
            proxy_pass http://sink/auth;
            proxy_pass_request_body off;
            proxy_set_header Content-Length "";
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }""")
    elif sc.extra == "jsonlog":
        http += [
            "log_format benchjson escape=json '{\"time\":\"$time_iso8601\","
            "\"client\":\"$remote_addr\",\"method\":\"$request_method\","
            "\"uri\":\"$request_uri\",\"status\":$status,\"bytes\":$body_bytes_sent,"
            "\"request_length\":$request_length,\"request_time\":$request_time,"
            "\"user_agent\":\"$http_user_agent\",\"request_id\":\"$request_id\"}';",
            f"access_log {prefix}/logs/access.json benchjson buffer=64k flush=1s;",
        ]
    else:
        http.append("access_log off;")

    def block(lines, indent):
        return "\n".join(" " * indent + line for line in lines)

    return f"""{block(main, 0)}
worker_processes 1;
worker_cpu_affinity {affinity_mask(NGINX_CPU)};
daemon off;
error_log {prefix}/logs/error.log error;
pid {prefix}/logs/nginx.pid;
events {{ worker_connections 8192; }}
http {{
    types {{ application/json json; }}
    default_type application/octet-stream;
    keepalive_requests 1000000;
    keepalive_timeout 300s;
{block(http, 4)}
    upstream sink {{
        server {sink};
        keepalive 64;
        keepalive_requests 1000000;
    }}
    server {{
        listen 127.0.0.1:{port} backlog=4096;
        root {prefix}/html;
        location /api/orders {{
{block(loc, 12)}
            proxy_pass http://sink/backend;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }}
        location /api/ {{
{block(loc, 12)}
        }}{"".join(extra)}
    }}
    server {{
        # how many requests nginx took in, for the delivered share
        listen 127.0.0.1:{port + STATUS_OFFSET};
        access_log off;
        location = /status {{ stub_status; }}
    }}
}}
"""


def read_proc(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


class Nginx:
    def __init__(self, bench, sc, port):
        self.bench = bench
        self.sc = sc
        self.port = port
        self.prefix = tempfile.mkdtemp(prefix="n", dir=bench.tmp)
        os.chmod(self.prefix, 0o755)  # workers run as nobody
        os.makedirs(f"{self.prefix}/logs")
        os.makedirs(f"{self.prefix}/html/api")
        with open(f"{self.prefix}/html/api/items.json", "w") as f:
            f.write(API_BODY)
        self.conf = f"{self.prefix}/nginx.conf"
        with open(self.conf, "w") as f:
            f.write(nginx_conf(sc, port, self.prefix, bench.modules))
        self.proc = None
        self.worker = None
        self.started = None

    def start(self):
        err = open(f"{self.prefix}/stderr.log", "w")
        self.proc = subprocess.Popen([self.bench.nginx, "-p", self.prefix, "-c", self.conf],
                                     stdout=subprocess.DEVNULL, stderr=err)
        err.close()
        self.bench.live.append(self)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            kids = read_proc(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children")
            if kids and kids.split():
                self.worker = int(kids.split()[0])
                # its timer was armed as it started: the tick is 5 s on.  The
                # kernel's start time (10 ms steps) guards against this
                # process having been descheduled before it looked.
                self.started = min(time.monotonic(), self.kernel_start_time())
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.002)
        self.kill()
        raise RuntimeError(f"nginx did not start: {self.stderr()}")

    def kernel_start_time(self):
        stat = read_proc(f"/proc/{self.worker}/stat")
        if stat is None:
            return time.monotonic()
        ticks = int(stat.rsplit(")", 1)[1].split()[19])
        since_boot = ticks / os.sysconf("SC_CLK_TCK")
        offset = time.clock_gettime(time.CLOCK_BOOTTIME) - time.monotonic()
        return since_boot - offset

    @property
    def tick(self):
        return self.started + TICK

    def stderr(self):
        text = read_proc(f"{self.prefix}/stderr.log") or ""
        text += read_proc(f"{self.prefix}/logs/error.log") or ""
        return text.strip()[-2000:]

    def threads(self):
        """tid -> (cpu ns, nice) of the worker's threads, lowest tid first."""
        out = {}
        try:
            tids = sorted(int(t) for t in os.listdir(f"/proc/{self.worker}/task"))
        except OSError:
            return out
        for tid in tids:
            sched = read_proc(f"/proc/{self.worker}/task/{tid}/schedstat")
            stat = read_proc(f"/proc/{self.worker}/task/{tid}/stat")
            if sched is None or stat is None:
                continue
            nice = int(stat.rsplit(")", 1)[1].split()[16])
            out[tid] = (int(sched.split()[0]), nice)
        return out

    def requests_seen(self):
        """nginx's count of requests so far, this query excluded."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port + STATUS_OFFSET, timeout=5)
        conn.request("GET", "/status")
        text = conn.getresponse().read().decode()
        conn.close()
        # "Active connections: N\nserver accepts handled requests\n A H R\n..."
        return int(text.splitlines()[2].split()[2]) - 1

    def memory(self):
        status = read_proc(f"/proc/{self.worker}/status") or ""
        values = {}
        for line in status.splitlines():
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                values[name] = int(rest.split()[0])
        return values.get("VmRSS"), values.get("VmHWM")

    def kill(self):
        # once only: a pid that has gone may be another process's by now
        if self not in self.bench.live:
            return
        self.bench.live.remove(self)
        # master first, so that it cannot start a new worker
        for pid in (self.proc.pid if self.proc else None, self.worker):
            if pid:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        if self.proc:
            self.proc.wait()
        deadline = time.monotonic() + 2
        while self.worker and time.monotonic() < deadline:
            stat = read_proc(f"/proc/{self.worker}/stat")
            if stat is None or stat.rsplit(")", 1)[1].split()[0] in ("Z", "X"):
                break
            time.sleep(0.005)

    def cleanup(self):
        shutil.rmtree(self.prefix, ignore_errors=True)


def split_threads(snapshot, worker):
    """(event loop, access-log pool, other threads) of a threads() snapshot."""
    main = [t for t in snapshot if t == worker]
    pool = [t for t in snapshot if t != worker]
    return main, pool[:ACCESS_THREADS], pool[ACCESS_THREADS:]


def cpu_core_busy(before, after, cpu):
    """Share of the time a core was busy between two /proc/stat readings."""

    def fields(text):
        for line in text.splitlines():
            if line.startswith(f"cpu{cpu} "):
                return [int(x) for x in line.split()[1:]]
        return None

    a, b = fields(before), fields(after)
    if not a or not b:
        return None
    total = sum(b) - sum(a)
    idle = (b[3] + b[4]) - (a[3] + a[4])
    return (total - idle) / total if total > 0 else None


# --------------------------------------------------------------------------
# sink and load


class Sink:
    def __init__(self, bench):
        self.bench = bench
        self.stats_file = os.path.join(bench.tmp, "stats.log")
        self.proc = subprocess.Popen(
            [bench.sink, "--port", str(SINK_PORT), "--never-port", str(NEVER_PORT),
             "--stats-file", self.stats_file],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if line.strip() != "ready":
            raise RuntimeError(f"sink did not start: {self.proc.stderr.read()}")

    def get(self, path):
        if self.proc.poll() is not None:
            raise RuntimeError(f"sink exited with {self.proc.returncode}: {self.proc.stderr.read()}")
        conn = http.client.HTTPConnection("127.0.0.1", SINK_PORT, timeout=5)
        conn.request("GET", path)
        data = json.loads(conn.getresponse().read())
        conn.close()
        return data

    def counters(self):
        return self.get("/_sink/counters")

    def cpu_ns(self):
        sched = read_proc(f"/proc/{self.proc.pid}/schedstat")
        return int(sched.split()[0]) if sched else 0

    def policy(self, mode):
        return self.get(f"/_sink/policy/{mode}")

    def documents(self, pid):
        """(arrival time, document) of every statistics document of a worker."""
        out = []
        text = read_proc(self.stats_file) or ""
        for line in text.splitlines():
            at, _, doc = line.partition(" ")
            try:
                parsed = json.loads(doc)
            except ValueError:
                continue
            if parsed.get("worker", {}).get("pid") == pid:
                out.append((float(at), parsed))
        return out

    def wait_document(self, pid, after, deadline):
        while time.monotonic() < deadline:
            docs = [d for d in self.documents(pid) if d[0] >= after]
            if docs:
                return True
            time.sleep(0.01)
        return False

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def run_load(bench, port, method, rate, duration=None, requests=None, warm=False):
    # warm-up requests are marked, so that the JSON log's lines can be told apart
    path = PATHS[method] + ("?warm-up" if warm else "")
    post = POST_BYTES if method == "POST" else 0
    if rate is None and requests is None:
        cmd = ["wrk", "-t1", f"-c{CONNS}", f"-d{int(duration)}s", "--timeout", "5s",
               "-s", os.path.join(TOP, "bench", "wrk.lua"), f"http://127.0.0.1:{port}{path}"]
        env = dict(os.environ, WRK_POST_BYTES=str(post))
    else:
        cmd = [bench.loadgen, "--port", str(port), "--path", path, "--conns", str(CONNS)]
        if post:
            cmd += ["--post-bytes", str(post)]
        if rate is not None:
            cmd += ["--rate", str(int(rate)), "--duration", str(duration)]
        else:
            cmd += ["--requests", str(requests)]
        env = None
    out = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=600)
    for line in reversed(out.stdout.splitlines()):
        if line.startswith("{"):
            return json.loads(line)
    raise RuntimeError(f"{cmd[0]} failed: {out.stdout[-500:]} {out.stderr[-500:]}")


def count_lines(path):
    """Lines of an access log, those of warm-up requests left out."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return 0
    return data.count(b"\n") - data.count(b"?warm-up")


# --------------------------------------------------------------------------
# one measured run


def sum_documents(docs):
    access, auth = {}, {}
    for _, doc in docs:
        for k, v in doc.get("access", {}).items():
            access[k] = access.get(k, 0) + v
        for k, v in doc.get("auth", {}).items():
            auth[k] = auth.get(k, 0) + v
    return access, auth


def dropped_count(access):
    keys = set(DROP_KEYS) | {k for k in access if DROP_PATTERN.search(k)}
    return sum(access.get(k, 0) for k in keys)


class Bench:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.nginx = os.path.join(self.build, "sbin", "nginx")
        self.modules = os.path.join(self.build, "modules")
        self.sink = os.path.join(self.build, "bench", "sink")
        self.loadgen = os.path.join(self.build, "bench", "loadgen")
        self.tmp = tempfile.mkdtemp(prefix="kv-bench.")
        os.chmod(self.tmp, 0o755)
        self.results = []
        self.skipped = []
        self.errors = []
        self.port_turn = 0
        self.live = []

    def next_port(self):
        self.port_turn ^= 1
        return PORTS[self.port_turn]

    def delivered(self, sc, counters, ng):
        kind = sc.delivers
        if kind is None:
            return None
        if kind == "jsonlog":
            return count_lines(f"{ng.prefix}/logs/access.json")
        return counters[kind]

    def lead_time(self):
        """How long before its tick a sensor run's warm-up must begin."""
        return WARMUP + 0.3 + DURATION + AFTER + GUARD

    def measure(self, run, ng, next_run):
        """Runs one scenario on its own nginx; returns (figures, next nginx)."""
        sc, method, kind, rate = run
        sink = self.sink_proc
        started_next = None

        begin = time.monotonic()
        dw = self.delivered(sc, sink.counters(), ng)
        run_load(self, ng.port, method, WARMUP_RATE, duration=WARMUP, warm=True)
        if sc.delivers in ("merged", "response", "mirror"):
            # what the warm-up produced arrives before the run begins
            last, stable_since = None, time.monotonic()
            deadline = time.monotonic() + 0.2
            while time.monotonic() < deadline:
                now_count = sink.counters()[sc.delivers]
                if now_count != last:
                    last, stable_since = now_count, time.monotonic()
                elif time.monotonic() - stable_since >= 0.05:
                    break
                time.sleep(0.01)

        if sc.sensor:
            start_at = ng.tick - GUARD - AFTER - DURATION
            if time.monotonic() < start_at:
                time.sleep(start_at - time.monotonic())

        n0 = ng.requests_seen()
        c0 = sink.counters()
        d0 = self.delivered(sc, c0, ng)
        rss0, _ = ng.memory()
        t0 = ng.threads()
        s0 = read_proc("/proc/stat")
        k0 = sink.cpu_ns()
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        w0 = time.monotonic()

        load = run_load(self, ng.port, method, rate, duration=DURATION)

        w1 = time.monotonic()
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        k1 = sink.cpu_ns()
        s1 = read_proc("/proc/stat")
        t1 = ng.threads()
        c1 = sink.counters()
        d1 = self.delivered(sc, c1, ng)

        # a buffered access_log writes at least once a second
        after_until = ng.tick - GUARD if sc.sensor else w1 + (1.1 if sc.extra == "jsonlog" else 0.3)
        if next_run is not None and next_run[0].sensor:
            # the next sensor run's nginx starts now, idle, so that its
            # tick comes right after its own run
            launch_at = (after_until + GUARD if sc.sensor else after_until) + 0.05 \
                + self.lead_time() - TICK
            if time.monotonic() < launch_at:
                time.sleep(launch_at - time.monotonic())
            started_next = Nginx(self, next_run[0], self.next_port())
            started_next.start()
        if time.monotonic() < after_until:
            time.sleep(after_until - time.monotonic())

        t2 = ng.threads()
        n2 = ng.requests_seen() - 1  # the query at the start of the run
        c2 = sink.counters()
        d2 = self.delivered(sc, c2, ng)
        rss2, hwm2 = ng.memory()
        w2 = time.monotonic()

        access, auth = {}, {}
        doc_ok = None
        if sc.sensor:
            doc_ok = sink.wait_document(ng.worker, after=ng.started, deadline=ng.tick + 2.0)
            docs = sink.documents(ng.worker)
            access, auth = sum_documents(docs)
            doc_late = [at for at, _ in docs if at < w2]
            if doc_late:
                doc_ok = False  # a tick before the window closed: drops may be missing

        ng.kill()
        threads_layout = {tid: nice for tid, (_, nice) in t2.items()}

        requests = load["requests"]
        elapsed = load["elapsed"] or DURATION
        # what nginx served, with the requests still in flight as the load stopped
        exchanges = n2 - n0

        def cpu(snapshot, tids):
            return sum(snapshot[t][0] for t in tids if t in snapshot)

        main, pool, other = split_threads(t2, ng.worker)
        all_tids = list(t2)
        cpu_run = cpu(t1, all_tids) - cpu(t0, all_tids)
        cpu_total = cpu(t2, all_tids) - cpu(t0, all_tids)
        loop_cpu = cpu(t2, main) - cpu(t0, main)
        sender_cpu = cpu(t2, pool) - cpu(t0, pool)

        fig = {
            "scenario": sc.key,
            "method": method,
            "kind": kind,
            "round": self.round,
            "target_rate": rate,
            "requests": requests,
            "exchanges": exchanges,
            "rps": requests / elapsed,
            "errors": load.get("errors", 0),
            "non2xx": load.get("non2xx", 0),
            "p50_ms": load["p50_us"] / 1000,
            "p99_ms": load["p99_us"] / 1000,
            "max_backlog": load.get("max_backlog"),
            # worker and every thread, the delivery window included
            "cpu_us_per_req": cpu_total / 1000 / requests if requests else None,
            "cpu_us_per_req_run": cpu_run / 1000 / requests if requests else None,
            "loop_us_per_req": loop_cpu / 1000 / requests if requests else None,
            "nginx_cpu_share": cpu_run / 1e9 / (w1 - w0),
            "core_busy": cpu_core_busy(s0, s1, NGINX_CPU),
            "load_core_busy": cpu_core_busy(s0, s1, LOAD_CPU),
            # the other core's two users: is either of them the bottleneck?
            "loadgen_cpu_share": (r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime)
            / (w1 - w0),
            "sink_cpu_share": (k1 - k0) / 1e9 / (w1 - w0),
            "rss_before_kb": rss0,
            "rss_after_kb": rss2,
            "hwm_kb": hwm2,
            "after_s": w2 - w1,
            "threads": threads_layout,
            "sink": {k: c2[k] - c0[k] for k in c2 if isinstance(c2[k], int)},
        }
        if d0 is not None:
            fig["delivered_run"] = d1 - d0
            fig["delivered_after"] = d2 - d0
            fig["delivered_per_s"] = (d1 - d0) / (w1 - w0)
            fig["share_run"] = (d1 - d0) / exchanges if exchanges else None
            fig["share_after"] = (d2 - d0) / exchanges if exchanges else None
            # what one copy that reached the collector cost nginx in all
            fig["cpu_us_per_delivered"] = cpu_total / 1000 / (d2 - d0) if d2 > d0 else None
        if sc.sensor:
            fig["sender_cpu_ms"] = sender_cpu / 1e6
            fig["sender_us_per_msg"] = (sender_cpu / 1000 / (d2 - d0)) if d2 - d0 > 0 else None
            fig["dropped"] = dropped_count(access)
            fig["captured"] = access.get("logs_sent", 0)
            # every exchange of this nginx's life the sensor should copy (the
            # warm-up's too), less those it was told to leave out
            wanted = n2 - sum(access.get(k, 0) for k in NOT_WANTED)
            if sc.mode == "nologging":
                wanted = 0  # without an authorization the response log has no address
            # neither delivered by the end of the window nor counted as
            # dropped: still queued or in flight, or lost without a count
            fig["unaccounted"] = wanted - (d2 - dw) - fig["dropped"]
            fig["stats_ok"] = doc_ok
            fig["access"] = access
            fig["auth"] = auth
            # an access-log thread the sensor re-prioritised shows its nice value
            fig["sender_nice"] = [t2[t][1] for t in pool if t in t2]
            # the worker's own thread, the access-log pool, one monitoring thread
            fig["thread_layout_ok"] = len(t2) == ACCESS_THREADS + 2
        if sc.extra in ("authz", "auth_request") or sc.fmt == "response":
            fig["auth_requests"] = c2["auth"] - c0["auth"]
        fig["wall_s"] = time.monotonic() - begin
        return fig, started_next

    # ----------------------------------------------------------------------

    def plan_round(self, stock_rps, sat_rps):
        """The runs of one round; fixed-rate runs need this round's saturation."""
        runs = []
        for kind in KINDS:
            if kind == "sat":
                continue
            for method in METHODS:
                if method not in stock_rps:
                    continue
                target = RATES[kind] * stock_rps[method]
                for sc in self.selected:
                    if sc.key in NO_FIXED:
                        continue
                    have = sat_rps.get((sc.key, method))
                    if have is not None and have < target * 1.03:
                        self.skipped.append((self.round, sc.key, method, kind, have, target))
                        continue
                    runs.append((sc, method, kind, target))
        return runs

    def execute(self, runs):
        # plain scenarios first, then the sensor's, so that each sensor nginx
        # can be started during the previous one's delivery window
        runs = [r for r in runs if not r[0].sensor] + [r for r in runs if r[0].sensor]
        pending = None
        for i, run in enumerate(runs):
            next_run = runs[i + 1] if i + 1 < len(runs) else None
            sc, method, kind, rate = run
            ng = pending
            pending = None
            try:
                if ng is None:
                    ng = Nginx(self, sc, self.next_port())
                    ng.start()
                fig, pending = self.measure(run, ng, next_run)
                self.results.append(fig)
                log(self.line(fig))
            except Exception as exc:  # one failed run must not lose the others
                self.errors.append(f"round {self.round} {sc.key} {method} {kind}: {exc}")
                log(f"  error: {sc.key} {method} {kind}: {exc}")
                for other in list(self.live):
                    other.kill()
                    other.cleanup()
                pending = None
            finally:
                if ng is not None:
                    ng.cleanup()
        if pending is not None:
            pending.kill()
            pending.cleanup()

    @staticmethod
    def line(f):
        text = (f"  {f['kind']:<4} {f['method']:<4} {f['scenario']:<20} {f['rps']:9.0f} req/s"
                f"  p99 {f['p99_ms']:7.2f} ms  cpu {f['cpu_us_per_req'] or 0:6.1f} us/req")
        if "share_after" in f and f["share_after"] is not None:
            text += f"  delivered {100 * f['share_run']:5.1f}% -> {100 * f['share_after']:5.1f}%"
        if f.get("sender_us_per_msg"):
            text += f"  sender {f['sender_us_per_msg']:5.1f} us/msg"
        if "dropped" in f:
            text += f"  dropped {f['dropped']} unaccounted {f['unaccounted']}"
        text += f"  [{f['wall_s']:.1f} s]"
        if f["errors"] or f["non2xx"]:
            text += f"  ERRORS {f['errors']} non-2xx {f['non2xx']}"
        return text

    def memory_run(self):
        """A million requests in default mode, a new policy version at every heartbeat."""
        sc = Scenario("memory", "merged log, default, policy changes", fmt="merged")
        ng = Nginx(self, sc, self.next_port())
        sink = self.sink_proc
        sink.policy("rotate")
        ng.start()
        samples = []
        try:
            run_load(self, ng.port, "GET", WARMUP_RATE, duration=WARMUP, warm=True)
            time.sleep(0.2)
            first = sink.counters()
            v0 = first["policy_version"]
            cmd = [self.loadgen, "--port", str(ng.port), "--path", PATHS["GET"], "--conns",
                   str(CONNS), "--requests", str(MEMORY_REQUESTS)]
            t0 = time.monotonic()
            proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
            while proc.poll() is None:
                samples.append((time.monotonic() - t0, ng.memory()[0],
                                sink.counters()["policy_version"] - v0))
                time.sleep(0.25)
            load = json.loads(proc.stdout.read().strip().splitlines()[-1])
            load_end = time.monotonic() - t0
            sink.policy("none")
            # memory after the load, until a statistics document has counted
            # the last policy version applied
            deadline = time.monotonic() + 2 * TICK + 1
            while time.monotonic() < deadline:
                now = time.monotonic()
                samples.append((now - t0, ng.memory()[0], sink.counters()["policy_version"] - v0))
                changed = [t for (t, _, v), (_, _, w) in zip(samples[1:], samples) if v != w]
                last_change = t0 + (changed[-1] if changed else 0)
                docs = [at for at, _ in sink.documents(ng.worker) if at > last_change + 0.5]
                if docs and now - t0 > load_end + 2:
                    break
                time.sleep(0.25)
            access, _ = sum_documents(sink.documents(ng.worker))
            delivered = sink.counters()["merged"] - first["merged"]
            rss = [s[1] for s in samples if s[1]]
            return {
                "requests": load["requests"],
                "rps": load["rate"],
                "load_seconds": load_end,
                "samples": samples,
                "rss_first_kb": rss[0] if rss else None,
                "rss_max_kb": max(rss) if rss else None,
                "rss_last_kb": rss[-1] if rss else None,
                "policy_versions": samples[-1][2] if samples else 0,
                "policy_updates": access.get("uri_bypass_policy_updated", 0),
                "header_policy_updates": access.get("header_bypass_policy_updated", 0),
                "delivered": delivered,
                "dropped": dropped_count(access),
                "access": access,
            }
        finally:
            sink.policy("none")
            ng.kill()
            ng.cleanup()

    def run(self):
        self.selected = [s for s in SCENARIOS if not ONLY or re.search(ONLY, s.key)]
        if not any(s.key == "stock" for s in self.selected) and any(k != "sat" for k in KINDS):
            self.selected.insert(0, BY_KEY["stock"])
        self.sink_proc = Sink(self)
        self.started = time.time()
        self.load_start = read_proc("/proc/loadavg").split()[:3]
        self.estimate()
        try:
            for self.round in range(1, ROUNDS + 1):
                log(f"round {self.round} of {ROUNDS}")
                sat = [(sc, m, "sat", None) for sc in self.selected for m in METHODS] \
                    if "sat" in KINDS else []
                first = len(self.results)
                self.execute(sat)
                this = self.results[first:]
                stock = {f["method"]: f["rps"] for f in this if f["scenario"] == "stock"}
                sat_rps = {(f["scenario"], f["method"]): f["rps"] for f in this}
                self.execute(self.plan_round(stock, sat_rps))
            self.memory = self.memory_run() if MEMORY_REQUESTS > 0 else None
            if self.memory:
                m = self.memory
                log(f"memory: {m['requests']} requests at {m['rps']:.0f} req/s, RSS "
                    f"{m['rss_first_kb']} -> max {m['rss_max_kb']} -> {m['rss_last_kb']} kB, "
                    f"{m['policy_versions']} policy versions served, "
                    f"{m['policy_updates']} applied")
        finally:
            for ng in list(self.live):
                ng.kill()
                ng.cleanup()
            self.sink_proc.stop()
        self.load_end = read_proc("/proc/loadavg").split()[:3]
        self.elapsed = time.time() - self.started
        from report import write_report
        write_report(self)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def estimate(self):
        plain = sum(1 for s in self.selected if not s.sensor)
        sensor = len(self.selected) - plain
        fixed_kinds = len([k for k in KINDS if k != "sat"])
        per_plain = WARMUP + DURATION + 0.5
        per_sensor = self.lead_time() + 0.1
        sat = len(METHODS) * (plain * per_plain + sensor * per_sensor) if "sat" in KINDS else 0
        # fixed-rate runs only where the rate is reachable: stock, off, the JSON
        # log and the merged-log sensor runs, today
        fixed = fixed_kinds * len(METHODS) * (3 * per_plain + 5 * per_sensor)
        total = ROUNDS * (sat + fixed) + (MEMORY_REQUESTS / 50000 + 8 if MEMORY_REQUESTS else 0)
        log(f"bench: {ROUNDS} round(s), {DURATION} s runs, {AFTER} s delivery window, "
            f"{len(self.selected)} scenarios x {','.join(METHODS)} x {','.join(KINDS)}; "
            f"about {total / 60:.0f} min")


def main():
    if len(sys.argv) != 2:
        print("usage: bench.py BUILD_DIR", file=sys.stderr)
        sys.exit(2)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.modules["bench"] = sys.modules[__name__]  # report.py reads the settings here
    # a stopped bench leaves no nginx or sink behind
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    with socket.socket() as probe:
        if probe.connect_ex(("127.0.0.1", DOWN_PORT)) == 0:
            sys.exit(f"bench: port {DOWN_PORT} must have no listener (the collector that is down)")
    bench = Bench(sys.argv[1])
    if PROFILE:
        from profile_run import profile
        profile(bench)
        return
    bench.run()


if __name__ == "__main__":
    main()
