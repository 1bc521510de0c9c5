"""Soak: a long run of traffic through nginx with the sensor, with the
policies changing every few seconds, the log collector restarted midway
and a reload in the middle; checks that workers stay within a memory
bound, leak no descriptors and that the statistics documents account for
every exchange.

    /usr/bin/python3 tools/soak.py [--requests N] [--rss-bound MiB] ...

Load comes from wrk (Debian's package), in rounds; nginx's own access log
counts the exchanges served.  Two collectors run in this process: the
monitor takes heartbeats (answered with a new policy version every few
seconds) and statistics documents and is never restarted, so no document
is lost; the sink takes the merged logs and is restarted once, with the
messages in flight that this costs.

Before the reload the clients pause until every worker has reported all
its exchanges: a worker that exits takes the counts since its last
document with it, so a reload under load would leave a few exchanges
unaccounted.

Exit status 0 when every check held; the figures are printed either way.
"""

import argparse
import asyncio
import json
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))

from harness.accounting import OUTCOMES, accounts  # noqa: E402
from harness.monitoring import HEARTBEAT_PREFIX  # noqa: E402
from harness.nginx import Nginx  # noqa: E402
from harness.net import free_ports  # noqa: E402
from harness.procstat import fd_count, fd_targets, vm_rss_kib  # noqa: E402

POLICY_EVERY = 3.0  # seconds between policy versions
MERGED = b"POST /mergedlog"

CONF = """
log_format soak '$pid $status';
access_log @PREFIX@/logs/access.log soak buffer=64k flush=1s;
ext_stats_server http://127.0.0.1:@MON@;
ext_stats_period 5s;
ext_heartbeat_period 5s;
ext_initial_backoff_duration 1000;
ext_instance soak;
server {
    listen 127.0.0.1:@PORT@ backlog=4096;
    keepalive_requests 100000;
    kestrelvanes_http_access_enable on;
    ext_auth_log_server http://127.0.0.1:@SINK@;
    location / {
        return 200 "ok $request_uri\\n";
    }
    location /soak/static/ {
        root @PREFIX@/html;
    }
}
"""

# one in 20 requests is bypassed by URL, one in 50 by header, one in 10
# carries a body, one in 10 is a static file
WRK_SCRIPT = """
local n = 0
local body = string.rep("b", 1024)
request = function()
   n = n + 1
   if n % 20 == 0 then
      return wrk.format("GET", "/soak/bypass/" .. n)
   elseif n % 50 == 1 then
      return wrk.format("GET", "/soak/h/" .. n, {["X-Soak-Skip"] = "yes"})
   elseif n % 10 == 3 then
      return wrk.format("POST", "/soak/post/" .. n, nil, body)
   elseif n % 10 == 7 then
      return wrk.format("GET", "/soak/static/file.txt")
   end
   return wrk.format("GET", "/soak/a/" .. n)
end
"""


class Msg:
    """A control message as the accounting reads it."""

    def __init__(self, path, body, started_at):
        self.path = path
        self.body = body
        self.started_at = started_at


class Conn:
    def __init__(self, index):
        self.index = index
        self.messages = []


class LeanCollector:
    """An HTTP/1.1 sink that keeps no log message, only counts them, and
    keeps heartbeats and statistics documents for the accounting."""

    def __init__(self, loop, port, policy=None):
        self.loop = loop
        self.port = port
        self.policy = policy
        self.connections = []
        self.merged = 0
        self.bytes = 0
        self._server = None
        self._writers = set()
        self._lock = threading.Lock()

    async def _start(self):
        self._server = await asyncio.start_server(
            self._serve, "127.0.0.1", self.port, backlog=1024)

    async def _stop(self):
        self._server.close()
        for w in list(self._writers):
            w.transport.abort()
        await self._server.wait_closed()

    def start(self):
        asyncio.run_coroutine_threadsafe(self._start(), self.loop).result(10)

    def stop(self):
        asyncio.run_coroutine_threadsafe(self._stop(), self.loop).result(10)

    async def _serve(self, reader, writer):
        self._writers.add(writer)
        with self._lock:
            conn = Conn(len(self.connections))
            self.connections.append(conn)
        buf = bytearray()
        try:
            while True:
                data = await reader.read(1 << 17)
                if not data:
                    break
                buf += data
                self.bytes += len(data)
                out = self._take(conn, buf)
                if out:
                    writer.write(out)
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            self._writers.discard(writer)
            writer.transport.abort()

    def _take(self, conn, buf):
        """Whole requests off the front of ``buf``; the answers to them."""
        out = bytearray()
        while True:
            end = buf.find(b"\r\n\r\n")
            if end < 0:
                return out
            head = bytes(buf[:end])
            m = re.search(rb"\r\ncontent-length: *(\d+)", head, re.I)
            length = int(m.group(1)) if m else 0
            if len(buf) < end + 4 + length:
                return out
            body = bytes(buf[end + 4:end + 4 + length])
            del buf[:end + 4 + length]
            if head.startswith(MERGED):
                self.merged += 1
                out += b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
                continue
            path = head.split(b" ", 2)[1].split(b"?")[0].decode()
            with self._lock:
                conn.messages.append(Msg(path, body, time.monotonic()))
            reply = self.policy() if path == HEARTBEAT_PREFIX else b""
            out += b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(
                reply) + reply

    def snapshot(self):
        """A copy fit for the accounting (it reads while we append)."""
        with self._lock:
            copy = []
            for c in self.connections:
                cc = Conn(c.index)
                cc.messages = list(c.messages)
                copy.append(cc)
        holder = type("Monitor", (), {})()
        holder.connections = copy
        return holder


def policy_document():
    version = int(time.monotonic() / POLICY_EVERY)
    blocks = [{"Type": "urlbypass", "Version": f"v{version}",
               "Patterns": ["^/soak/bypass/", f"^/never/{version}/"]},
              {"Type": "headerbypass", "Version": f"v{version}",
               "Headers": [{"X-Soak-Skip": "^yes$"}]}]
    return json.dumps(blocks).encode()


class Watch:
    """Samples every worker's RSS and descriptors until stopped."""

    def __init__(self, nginx):
        self.nginx = nginx
        self.peak_rss = {}
        self.peak_fds = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.wait(0.5):
            for pid in self.nginx.worker_pids():
                rss, fds = vm_rss_kib(pid), fd_count(pid)
                if rss is not None:
                    self.peak_rss[pid] = max(self.peak_rss.get(pid, 0), rss)
                if fds is not None:
                    self.peak_fds[pid] = max(self.peak_fds.get(pid, 0), fds)

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join(5)


def served(nginx):
    """Exchanges nginx has logged in its access log so far, by pid."""
    out = {}
    try:
        with open(nginx.prefix / "logs" / "access.log", "rb") as f:
            for line in f:
                pid = line.split(b" ", 1)[0]
                out[pid] = out.get(pid, 0) + 1
    except OSError:
        pass
    return out


def run_wrk(port, seconds, script, threads, connections):
    """(requests, non-2xx answers, socket errors, requests per second)"""
    res = subprocess.run(
        ["wrk", "-t", str(threads), "-c", str(connections), "-d",
         f"{seconds}s", "-s", script, "--timeout", "10s",
         f"http://127.0.0.1:{port}/"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        check=False)
    if res.returncode != 0:
        raise SystemExit(f"wrk failed:\n{res.stdout}")
    m = re.search(r"(\d+) requests in", res.stdout)
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", res.stdout)
    socket_errors = re.search(r"Socket errors: (.*)", res.stdout)
    rate = re.search(r"Requests/sec:\s+([0-9.]+)", res.stdout)
    return (int(m.group(1)) if m else 0, int(errors.group(1)) if errors
            else 0, socket_errors.group(1) if socket_errors else "",
            float(rate.group(1)) if rate else 5000)


def wait(predicate, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        result = predicate()
        if result:
            return result
        time.sleep(0.25)
    raise SystemExit(f"soak: {what} within {timeout}s")


def settled(monitor, nginx, pids):
    """The documents of every worker in ``pids`` account for all the
    exchanges its access log shows (the log is written first)."""
    accts = accounts(monitor.snapshot(), set(pids))
    done = served(nginx)
    for pid in pids:
        a = accts.get(pid)
        if a is None or a.accounted != done.get(str(pid).encode(), 0):
            return None
    return accts


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--requests", type=int, default=1_000_000)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--round", type=float, default=10.0,
                    help="seconds of each wrk round")
    ap.add_argument("--connections", type=int, default=32)
    ap.add_argument("--rss-bound", type=float, default=48.0,
                    help="MiB a worker's RSS may grow over the first "
                    "generation's warmed-up baseline")
    ap.add_argument("--fd-slack", type=int, default=4,
                    help="descriptors a worker may hold over the baseline "
                    "once the load is over")
    ap.add_argument("--keep", action="store_true",
                    help="keep nginx's prefix (logs) afterwards")
    args = ap.parse_args()

    if shutil.which("wrk") is None:
        raise SystemExit("soak: wrk is needed (apt-get install wrk)")
    binary = REPO / "build" / "sbin" / "nginx"
    modules = REPO / "build" / "modules"

    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()
    mon_port, sink_port = free_ports(2)
    monitor = LeanCollector(loop, mon_port, policy_document)
    sink = LeanCollector(loop, sink_port)
    monitor.start()
    sink.start()

    prefix = Path(tempfile.mkdtemp(prefix="kv-soak-"))
    prefix.chmod(0o755)
    (prefix / "html" / "soak" / "static").mkdir(parents=True)
    (prefix / "html" / "soak" / "static" / "file.txt").write_bytes(
        b"static soak file\n" * 256)
    for p in prefix.rglob("*"):
        p.chmod(0o755 if p.is_dir() else 0o644)
    script = prefix / "soak.lua"
    script.write_text(WRK_SCRIPT)
    nginx = Nginx(prefix, str(binary), str(modules))
    nginx.start(CONF, values={"MON": mon_port, "SINK": sink_port},
                workers=args.workers, log_level="notice",
                pools={"access": {"threads": 2}},
                events="worker_connections 4096;")
    failures = []
    figures = {}
    try:
        t0 = time.monotonic()
        # warm-up: pools, connections and policies exist before the baseline
        warm = run_wrk(nginx.port, 1, script, 1, 4)
        time.sleep(6)
        first = nginx.worker_pids()
        base = {pid: (vm_rss_kib(pid), fd_count(pid)) for pid in first}
        figures["baseline"] = {p: {"rss_kib": r, "fds": f}
                               for p, (r, f) in base.items()}
        watch = Watch(nginx)
        watch.start()

        total = lambda: sum(served(nginx).values())  # noqa: E731
        rounds = []

        def load(until, at_least=0):
            """wrk rounds until ``until`` exchanges have been served (and
            for ``at_least`` seconds)."""
            begun = time.monotonic()
            while total() < until or time.monotonic() - begun < at_least:
                done = total()
                rate = (rounds[-1] if rounds else warm)[3]
                seconds = int(max(1, min(args.round, (until - done) / rate)))
                rounds.append(run_wrk(nginx.port, seconds, script, 2,
                                      args.connections))

        # first third; then a round during which the sink goes away for a
        # second and comes back
        load(args.requests / 3)
        restart = threading.Timer(0.5, lambda: (sink.stop(), time.sleep(1),
                                                sink.start()))
        restart.start()
        rounds.append(run_wrk(nginx.port, 2, script, 2, args.connections))
        restart.join()
        load(2 * args.requests / 3)
        # the reload, once the running generation has reported everything
        old = nginx.worker_pids()
        wait(lambda: settled(monitor, nginx, old), 30,
             "old workers did not report all their exchanges")
        nginx.reload(timeout=30)
        figures["reload"] = {"old": old, "new": nginx.worker_pids()}
        load(args.requests, at_least=2)
        watch.stop()
        elapsed = time.monotonic() - t0
        non2xx = sum(r[1] for r in rounds)
        sock_errors = [r[2] for r in rounds if r[2]]

        pids = nginx.worker_pids()
        wait(lambda: settled(monitor, nginx, pids), 60,
             "the documents did not account for every exchange")
        all_pids = set(figures.get("reload", {}).get("old", [])) | set(pids)
        accts = accounts(monitor.snapshot(), all_pids)
        done = served(nginx)
        exchanges = sum(done.values())
        outcomes = {k: sum(a.outcome(k) for a in accts.values())
                    for k in OUTCOMES}
        figures.update({
            "requests": exchanges, "seconds": round(elapsed, 1),
            "requests_per_second": round(exchanges / elapsed),
            "non_2xx": non2xx, "socket_errors": sock_errors,
            "outcomes": outcomes, "accounted": sum(outcomes.values()),
            "received_by_sink": sink.merged,
            "lost_in_flight": outcomes["sent"] - sink.merged,
            "sink_connections": len(sink.connections),
            "counters": {k: sum(a.get(k) for a in accts.values())
                         for k in sorted({k for a in accts.values()
                                          for k in a.access})},
            "peak_rss_kib": watch.peak_rss, "peak_fds": watch.peak_fds,
        })

        if non2xx or sock_errors:
            failures.append(f"clients saw {non2xx} bad answers, socket "
                            f"errors {sock_errors}")
        if sum(outcomes.values()) != exchanges:
            failures.append(f"{sum(outcomes.values())} outcomes for "
                            f"{exchanges} exchanges")
        if sink.merged > outcomes["sent"]:
            failures.append("the sink received more than was sent")
        floor = min(r for r, _ in base.values())
        for pid, rss in watch.peak_rss.items():
            if rss - floor > args.rss_bound * 1024:
                failures.append(f"worker {pid}: RSS {rss} KiB, baseline "
                                f"{floor} KiB, bound +{args.rss_bound} MiB")
        # descriptors once the load is over: idle keep-alive connections
        # of wrk are gone, the sensor's own connections remain
        floor_fds = min(f for _, f in base.values())
        time.sleep(2)
        after = {pid: fd_count(pid) for pid in pids}
        figures["fds_after"] = after
        for pid, n in after.items():
            if n - floor_fds > args.fd_slack:
                failures.append(f"worker {pid}: {n} descriptors after the "
                                f"load, {floor_fds} at the start: "
                                f"{fd_targets(pid)}")
        problems = nginx.log_problems()
        if problems or nginx.crashes():
            failures.append(f"error log: {problems[:5]}")
    finally:
        nginx.stop(timeout=10)
        monitor.stop()
        sink.stop()
        if not args.keep:
            shutil.rmtree(prefix, ignore_errors=True)

    print(json.dumps(figures, indent=2, default=str))
    if failures:
        print("soak: FAILED\n  " + "\n  ".join(failures))
        return 1
    print(f"soak: {figures['requests']} requests, every one accounted for; "
          f"peak worker RSS {max(figures['peak_rss_kib'].values())} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
