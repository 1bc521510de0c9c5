#!/usr/bin/python3
"""The whole stack on loopback: the collector, the sample API, and nginx
with both sensor modules configured by examples/nginx.conf.

    stack.py run    start it, print the console URL and a few requests to
                    try, and stop everything on Ctrl-C
    stack.py demo   start it, send a mix of requests, print what the
                    collector stored, drive every route of the sample API,
                    print the endpoint inventory and how its templates
                    match the API's routes, and stop

Both keep their files under build/run/: the database (shared, so `make run`
shows what `make demo` captured), logs, each its own nginx prefix and
control file, and the console's token (console-token, made once, readable
by its owner alone): the console holds captured secrets and steers the
sensors, so even on loopback, where other users of the machine reach it
too, it asks for the token.
"""

import argparse
import base64
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
EXAMPLES = REPO / "examples"

# the addresses examples/nginx.conf is written with
DEFAULT_PORTS = {"nginx": 8080, "ingest": 8480, "console": 8481, "api": 8482}
TOKEN = "demo-token"
STOP_GRACE = 5.0

# no proxy from the environment between us and loopback
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class StackError(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_busy(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return True
    return False


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def http(method, url, body=None, headers=None, timeout=10):
    """(status, headers, body bytes); HTTP errors are answers too."""
    req = urllib.request.Request(url, data=body, method=method,
                                 headers=headers or {})
    try:
        with OPENER.open(req, timeout=timeout) as res:
            return res.status, dict(res.headers), res.read()
    except urllib.error.HTTPError as e:
        return e.code, dict(e.headers), e.read()


# the console token of this run, once the stack has one
CONSOLE_TOKEN = {"value": None}


def console_token(work):
    """The token in WORK/console-token, made the first time: the browser's
    sign-in outlives a restart of the stack."""
    path = work / "console-token"
    if not path.exists():
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(base64.b64encode(os.urandom(24)).decode() + "\n")
    CONSOLE_TOKEN["value"] = path.read_text().split()[0]
    return path


def api(console, path):
    status, _, body = http("GET", f"http://127.0.0.1:{console}{path}",
                           headers={"Authorization":
                                    f"Bearer {CONSOLE_TOKEN['value']}"})
    if status != 200:
        raise StackError(f"collector API {path}: {status}")
    return json.loads(body)


def wait_until(what, predicate, timeout, procs=()):
    deadline = time.monotonic() + timeout
    while True:
        for p in procs:
            p.check()
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise StackError(f"{what} within {timeout:.0f} s")
        time.sleep(0.1)


class Proc:
    """A child in a process group of its own: Ctrl-C reaches only us, and
    we stop the children in order, their own children included."""

    def __init__(self, name, argv, log, stop_signal=signal.SIGTERM):
        self.name, self.argv, self.log = name, argv, log
        self.stop_signal = stop_signal
        self.out = open(log, "ab")
        self.popen = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                      stdout=self.out, stderr=self.out,
                                      start_new_session=True)

    @property
    def pid(self):
        return self.popen.pid

    def check(self):
        rc = self.popen.poll()
        if rc is not None:
            raise StackError(f"{self.name} exited with status {rc}:\n"
                             + self.tail())

    def tail(self, lines=15):
        try:
            text = Path(self.log).read_text(errors="replace")
        except OSError:
            return ""
        return "\n".join("    " + ln for ln in text.splitlines()[-lines:])

    def stop(self):
        if self.popen.poll() is None:
            try:
                os.killpg(self.pid, self.stop_signal)
            except ProcessLookupError:
                pass
            try:
                self.popen.wait(STOP_GRACE)
            except subprocess.TimeoutExpired:
                pass
        # whatever is left of the group (nginx workers, say) goes too
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        if self.popen.poll() is None:
            self.popen.wait()
        self.out.close()


class Stack:
    def __init__(self, build, work, ports, control_source):
        self.build, self.work, self.ports = Path(build), Path(work), ports
        self.procs = []
        self.control = self.work / control_source[0]
        if control_source[1] or not self.control.exists():
            shutil.copyfile(EXAMPLES / "control.json", self.control)

    def binary(self, rel):
        path = self.build / rel
        if not os.access(path, os.X_OK):
            raise StackError(f"{path} is missing: run make first")
        return str(path)

    def nginx_conf(self, prefix):
        p = self.ports
        text = (EXAMPLES / "nginx.conf").read_text()
        text = text.replace("load_module modules/",
                            f"load_module {self.build}/modules/")
        for name, port in p.items():
            text = text.replace(f"127.0.0.1:{DEFAULT_PORTS[name]}",
                                f"127.0.0.1:{port}")
        (prefix / "conf").mkdir(parents=True, exist_ok=True)
        (prefix / "logs").mkdir(exist_ok=True)
        conf = prefix / "conf" / "nginx.conf"
        conf.write_text(text)
        return conf

    def start(self, nginx_prefix):
        for rel in ("modules/ngx_kestrelvanes_http_auth.so",
                    "modules/ngx_kestrelvanes_http_access.so"):
            if not (self.build / rel).is_file():
                raise StackError(f"{self.build / rel} is missing: run make "
                                 f"first")
        p = self.ports
        for name, port in p.items():
            if port_busy(port):
                raise StackError(
                    f"port {port} ({name}) is in use; choose others, e.g. "
                    f"make run RUN_FLAGS='--{name}-port N'")
        logs = self.work / "logs"
        logs.mkdir(parents=True, exist_ok=True)
        self.started_ms = time.time() * 1000

        self.procs.append(Proc("collector", [
            self.binary("bin/kestrelvanes-collector"),
            "--ingest", f"127.0.0.1:{p['ingest']}",
            "--console", f"127.0.0.1:{p['console']}",
            "--db", str(self.work / "collector.db"),
            "--control", str(self.control),
            "--console-token-file", str(console_token(self.work)),
            "--auth-protect", "/api/private/",
            "--auth-protect", "/v1/private/",
            "--auth-token", TOKEN], logs / "collector.log"))
        self.procs.append(Proc("sample API", [
            self.binary("bin/kestrelvanes-sample-api"),
            "--listen", f"127.0.0.1:{p['api']}"], logs / "sample-api.log"))
        for name in ("ingest", "console", "api"):
            wait_until(f"nothing listens on port {p[name]} ({name})",
                       lambda n=name: accepts(p[n]), 15, self.procs)

        conf = self.nginx_conf(nginx_prefix)
        # QUIT: nginx finishes what it serves, and its workers send what
        # they hold, before it exits
        self.procs.append(Proc("nginx", [
            self.binary("sbin/nginx"), "-p", f"{nginx_prefix}/", "-c",
            str(conf), "-g", "daemon off;"], logs / "nginx.log",
            stop_signal=signal.SIGQUIT))
        wait_until(f"nginx does not listen on port {p['nginx']}",
                   lambda: accepts(p["nginx"]), 15, self.procs)

    def check(self):
        for proc in self.procs:
            proc.check()

    def stop(self):
        # nginx first, so its last messages still find the collector
        for proc in reversed(self.procs):
            proc.stop()
        self.procs = []


# traffic for the demo: (what, method, path, body, headers, expected status)
def demo_requests():
    item = json.dumps({"name": "bolt", "price": 0.25}).encode()
    return [
        ("GET", "GET", "/api/items", None, {}, 200),
        ("POST with a JSON body", "POST", "/api/items", item,
         {"Content-Type": "application/json"}, 201),
        ("unauthorized", "GET", "/api/private/report", None, {}, 401),
        ("authorized", "GET", "/api/private/report", None,
         {"Authorization": f"Bearer {TOKEN}"}, 200),
        ("bypassed health check", "GET", "/health", None, {}, 200),
        ("body over the 4k capture limit", "GET", "/api/large?size=20000",
         None, {}, 200),
        ("response-log format", "GET", "/v1/items/2", None, {}, 200),
        ("response-log format, body over the limit", "GET",
         "/v1/large?size=20000", None, {}, 200),
    ]


# The sample API's routes, each at least once, and products by enough
# distinct slugs for their position to become a parameter: what the
# inventory infers from this is held against the API's own route table.
ORDERS = {1: ["3f0c8a4e-6d1b-4c55-9a8e-2b7f1d9e0a11",
              "9b2d6e71-0c3a-4f8b-b5d4-7e1a2c3f4b22"],
          2: ["c4e1f7a2-8b3d-4e6c-9f0a-1d2b3c4e5f33"],
          3: ["e7a9b0c1-2d3e-4f5a-8b6c-7d8e9f0a1b44"]}
LOGIN_TOKEN = ("eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9."
               "eyJzdWIiOiIxIiwibmFtZSI6IkFkYSBMb3ZlbGFjZSIsImV4cCI6NDEwMjQ0ND"
               "gwMH0.kq3Jb8vZ7pQm1xT0hN2cR5sW9yL4fA6dE8gU3iO0tYk")


def api_requests():
    """(method, path, body, headers, expected status) for every route."""
    js = {"Content-Type": "application/json"}
    reqs = [
        ("POST", "/api/login", {"username": "ada",
                                "password": "correct horse battery staple"},
         js, 200),
        ("POST", "/api/login", {"username": "ada", "password": "guess"}, js,
         401),
        ("GET", "/api/account", None,
         {"Authorization": f"Bearer {LOGIN_TOKEN}"}, 200),
        ("GET", "/api/account", None, {}, 401),
        ("GET", "/api/items", None, {}, 200),
        ("POST", "/api/items", {"name": "nut", "price": 0.1}, js, 201),
        ("POST", "/api/items", {"price": 1}, js, 400),
        ("PUT", "/api/items/2", {"price": 25.0}, js, 200),
        ("DELETE", "/api/items/3", None, {}, 204),
        ("GET", "/api/products?page=1", None, {}, 200),
        ("GET", "/api/reports/2024-05-01", None, {}, 200),
        ("GET", "/api/reports/2024-05-02", None, {}, 200),
        ("GET", "/api/fail/crash", None, {}, 500),
        ("GET", "/api/fail/unavailable", None, {}, 503),
        ("GET", "/api/fail/rate-limited", None, {}, 429),
        ("GET", "/v1/items/1", None, {}, 200),
    ]
    for i in (1, 2, 4, 999):
        reqs.append(("GET", f"/api/items/{i}", None, {},
                     404 if i == 999 else 200))
    for user, orders in ORDERS.items():
        reqs.append(("GET", f"/api/users/{user}", None, {}, 200))
        reqs.append(("GET", f"/api/users/{user}/orders", None, {}, 200))
        for o in orders:
            reqs.append(("GET", f"/api/users/{user}/orders/{o}", None, {},
                         200))
            reqs.append(("GET", f"/api/orders/{o}", None, {}, 200))
            reqs.append(("GET", f"/api/orders/{o}/lines", None, {}, 200))
            reqs.append(("GET", f"/api/orders/{o}/lines/1", None, {}, 200))
    kinds = ["hex-bolt", "wing-nut", "washer", "wood-screw", "rivet"]
    sizes = ["m2", "m3", "m4", "m5", "m6", "m8", "m10", "m12", "m14", "m16",
             "m18", "m20", "m22", "m24", "m27", "m30", "m33"]
    for k in kinds:
        for z in sizes:
            reqs.append(("GET", f"/api/products/{k}-{z}", None, {}, 200))
    return [(m, p, None if b is None else json.dumps(b).encode(), h, want)
            for m, p, b, h, want in reqs]


def drive(base, requests):
    """Sends each request; the (method, path, status, expected) of each."""
    out = []
    for method, path, body, headers, want in requests:
        status, _, _ = http(method, base + path, body, headers)
        out.append((method, path, status, want))
    return out


def sample_routes(build):
    """The sample API's route table, as (method, template) pairs."""
    res = subprocess.run([str(Path(build) / "bin/kestrelvanes-sample-api"),
                          "--routes"], capture_output=True, text=True,
                         check=True)
    return {(r["method"], r["path"]) for r in json.loads(res.stdout)}


def inventory(console, host):
    """Every endpoint of host in the collector's inventory."""
    out, offset = [], 0
    while True:
        page = api(console, f"/api/endpoints?host={host}&limit=1000"
                            f"&offset={offset}")
        out += page["endpoints"]
        offset += len(page["endpoints"])
        if offset >= page["total"] or not page["endpoints"]:
            return out


def templates_against_routes(endpoints, routes):
    """(found, wrong, missing): inferred templates that are routes of the
    API behind /api/, those that are not, and its routes not inferred.
    nginx serves /v1/ from the API's /api/."""
    inferred = set()
    for e in endpoints:
        path = e["path"]
        if path.startswith("/v1/"):
            path = "/api/" + path[4:]
        inferred.add((e["method"], path))
    expected = {r for r in routes if r[1].startswith("/api/")}
    return (sorted(inferred & expected), sorted(inferred - expected),
            sorted(expected - inferred))


def inventory_table(endpoints):
    cols = ["method", "template", "count", "statuses", "p50", "p95", "auth",
            "sensitive"]
    data = []
    for e in endpoints:
        lat = e["latency_ms"]
        data.append([
            e["method"], e["path"], str(e["count"]),
            " ".join(f"{k}:{v}" for k, v in
                     sorted(e["status_classes"].items())),
            "" if lat["p50"] is None else f"{lat['p50']} ms",
            "" if lat["p95"] is None else f"{lat['p95']} ms",
            ",".join(e["auth"]), ",".join(e["sensitive"])])
    widths = [max(len(c), *(len(r[i]) for r in data)) for i, c in
              enumerate(cols)]
    line = lambda r: "  ".join(v.ljust(w) for v, w in zip(r, widths))
    return "\n".join([line(cols), line(["-" * w for w in widths])]
                     + [line(r) for r in data])


def preview(x, which):
    body = x[f"{which}_body"]
    trunc = x[f"{which}_body_truncated"]
    if body is None:
        return "left out (too large)" if trunc else "-"
    text = body.replace("\n", " ")
    short = text if len(text) <= 34 else text[:31] + "..."
    size = x[f"{which}_body_size"]
    return f"{size} B{' cut' if trunc else ''} {short}"


def table(rows):
    cols = ["#", "format", "method", "uri", "status", "latency",
            "request body", "response body"]
    data = [[str(x["id"]), x["format"], x["method"], x["uri"],
             str(x["status"]),
             "" if x["latency_ms"] is None else f"{x['latency_ms']} ms",
             preview(x, "request"), preview(x, "response")] for x in rows]
    widths = [max(len(c), *(len(r[i]) for r in data)) for i, c in
              enumerate(cols)]
    line = lambda r: "  ".join(v.ljust(w) for v, w in zip(r, widths))
    return "\n".join([line(cols), line(["-" * w for w in widths])]
                     + [line(r) for r in data])


def run_demo(stack):
    p = stack.ports
    base = f"http://127.0.0.1:{p['nginx']}"
    # The worker reads a heartbeat reply up to a second after it asked, and
    # sends its next heartbeat only once it has applied the last reply: the
    # second heartbeat shows the bypass policy is in force.
    print("Waiting for the sensor to take the collector's settings (two "
          "heartbeats, 5 s apart)...", flush=True)
    first = {}

    def second_heartbeat():
        for s in api(p["console"], "/api/sensors"):
            if (s["last_heartbeat_ms"] or 0) < stack.started_ms:
                continue  # a worker of an earlier run
            seen = first.setdefault(s["peer"], s["last_heartbeat_ms"])
            if s["last_heartbeat_ms"] > seen:
                return True
        return False

    wait_until("the sensor did not send two heartbeats", second_heartbeat,
               30, stack.procs)
    before = api(p["console"], "/api/exchanges?limit=1")
    first_id = before[0]["id"] + 1 if before else 0

    print("Sending:")
    sent = []
    for what, method, path, body, headers, want in demo_requests():
        status, _, _ = http(method, base + path, body, headers)
        mark = "" if status == want else f"  (expected {want})"
        print(f"  {method:<5} {path:<28} -> {status}  {what}{mark}")
        sent.append((what, method, path, status))
    stack.check()

    def stored():
        rows = api(p["console"], "/api/exchanges?limit=100")
        return [x for x in rows if x["id"] >= first_id]

    captured = [s for s in sent if s[2] != "/health"]
    try:
        wait_until("not every exchange was stored",
                   lambda: len(stored()) >= len(captured), 20, stack.procs)
    except StackError as e:
        print(f"\n{e}")
    # the list holds metadata and sizes; each exchange has its bodies
    rows = [api(p["console"], f"/api/exchanges/{x['id']}")
            for x in sorted(stored(), key=lambda x: x["id"])]

    print(f"\nWhat the collector stored (SQLite {stack.work / 'collector.db'}, "
          f"API http://127.0.0.1:{p['console']}/api/exchanges):\n")
    print(table(rows) if rows else "  nothing")
    problems = []
    formats = {x["format"] for x in rows}
    for f in ("merged", "response"):
        if f not in formats:
            problems.append(f"no exchange in the {f}-log format")
    if any(x["uri"] == "/health" for x in rows):
        problems.append("the health check was captured despite the bypass "
                        "policy")
    else:
        print("\nGET /health is not there: the URL bypass policy ^/health$ "
              "(examples/control.json) exempts it.")
    if not any(x["status"] == 401 for x in rows):
        problems.append("the unauthorized request is missing")
    for x in rows:
        if "large" in x["uri"] and not x["response_body_truncated"]:
            problems.append(f"{x['uri']}: body not marked as cut")
    if len(rows) != len(captured):
        problems.append(f"{len(rows)} exchanges stored, {len(captured)} "
                        f"expected")

    # the inventory: the sample API's every route, driven
    print("\nDriving every route of the sample API...", flush=True)
    driven = drive(base, api_requests())
    for method, path, status, want in driven:
        if status != want:
            problems.append(f"{method} {path}: {status}, expected {want}")
    host = f"127.0.0.1:{p['nginx']}"
    # what the inventory counted of this host: the requests above too
    count = len(driven) + len(captured)

    def counted():
        eps = inventory(p["console"], host)
        return eps if sum(e["count"] for e in eps) >= count else None
    try:
        wait_until("not every exchange reached the inventory", counted, 20,
                   stack.procs)
    except StackError as e:
        problems.append(str(e))
    endpoints = inventory(p["console"], host)
    print(f"\nThe endpoint inventory of {host} (API http://127.0.0.1:"
          f"{p['console']}/api/endpoints?host={host}):\n")
    print(inventory_table(endpoints) if endpoints else "  nothing")
    found, wrong, missing = templates_against_routes(
        endpoints, sample_routes(stack.build))
    print(f"\nTemplates against the sample API's routes (under /api/): "
          f"{len(found)} of {len(found) + len(missing)} found, "
          f"{len(wrong)} wrong")
    for m, t in wrong:
        print(f"  wrong: {m} {t}")
    for m, t in missing:
        print(f"  missing: {m} {t}")
    if wrong or missing:
        problems.append("inferred templates differ from the routes")

    sensors = [s for s in api(p["console"], "/api/sensors")
               if max(s["last_heartbeat_ms"] or 0, s["last_stats_ms"] or 0)
               >= stack.started_ms]
    for s in sensors:
        pid = s["pid"] if s["pid"] is not None else "(not yet reported)"
        print(f"Sensor: host {s['host']}, instance {s['instance']}, worker "
              f"{pid}, level {s['mode']}")
    if problems:
        print("\nProblems:\n" + "\n".join("  " + m for m in problems))
        return 1
    print("\n`make run` serves the console with these exchanges.")
    return 0


def banner(stack):
    p = stack.ports
    n = f"http://127.0.0.1:{p['nginx']}"
    token_file = stack.work / "console-token"
    print(f"""
kestrelvanes is running on loopback:
  console     http://127.0.0.1:{p['console']}/
              sign in with the token in {token_file}:
              {CONSOLE_TOKEN['value']}
  nginx       {n}/   (examples/nginx.conf, prefix {stack.work / 'nginx'})
  collector   127.0.0.1:{p['ingest']} (sensors), database {stack.work / 'collector.db'}
  sample API  127.0.0.1:{p['api']}
  logs        {stack.work / 'logs'}/

Try:
  curl {n}/api/items
  curl -X POST -H 'Content-Type: application/json' -d '{{"name":"bolt"}}' {n}/api/items
  curl -i {n}/api/private/report                                  # 401
  curl -H 'Authorization: Bearer {TOKEN}' {n}/api/private/report
  curl {n}/v1/items                                               # response-log format
  curl {n}/health                                                 # bypassed, not captured
  curl -H "Authorization: Bearer $(cat {token_file})" http://127.0.0.1:{p['console']}/api/exchanges?limit=5
  curl -H "Authorization: Bearer $(cat {token_file})" http://127.0.0.1:{p['console']}/api/endpoints   # the inventory

Settings for the sensors: the console's Control page, or edit {stack.control}.
Ctrl-C stops everything.""", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("mode", choices=("run", "demo"))
    ap.add_argument("--build", default=str(REPO / "build"))
    ap.add_argument("--work", default=None,
                    help="where the files go (default BUILD/run)")
    for name, port in DEFAULT_PORTS.items():
        ap.add_argument(f"--{name}-port", type=int, default=None,
                        help=f"default {port} for run, any free port for demo")
    args = ap.parse_args()

    ports = {}
    for name, port in DEFAULT_PORTS.items():
        chosen = getattr(args, f"{name}_port")
        ports[name] = chosen or (port if args.mode == "run" else free_port())

    build = Path(args.build).resolve()
    work = Path(args.work).resolve() if args.work else build / "run"
    work.mkdir(parents=True, exist_ok=True)
    # run keeps the settings made in its console; the demo starts from
    # the example's every time
    control = ("control.json", False) if args.mode == "run" else \
        ("demo-control.json", True)
    stack = Stack(build, work, ports, control)

    stopping = []

    def on_signal(signum, _frame):
        stopping.append(signum)
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    rc = 0
    try:
        stack.start(work / ("nginx" if args.mode == "run" else "demo-nginx"))
        if args.mode == "demo":
            rc = run_demo(stack)
        else:
            banner(stack)
            while True:
                stack.check()
                time.sleep(0.5)
    except KeyboardInterrupt:
        print("\nStopping...", flush=True)
    except StackError as e:
        print(f"\nstack.py: {e}", file=sys.stderr, flush=True)
        rc = 1
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        stack.stop()
    if args.mode == "run" and rc == 0:
        print("Stopped: nginx, the sample API and the collector.", flush=True)
    return rc


if __name__ == "__main__":
    sys.exit(main())
