#!/usr/bin/python3
"""A fleet on loopback, once (make demo-fleet): a PostgreSQL server of its
own (Debian's, initdb under build/fleet/pg, run as an unprivileged user),
two collectors sharing one database behind nginx's stream module, and two
nginx instances with the sensor modules in front of the sample API,
reporting to the balancer.  It sends traffic through both nginx, kills one
collector (SIGKILL: what it held is gone), sends more, and prints what was
stored, what the sensors counted as lost, and what neither accounts for.

    fleet.py [--build DIR] [--requests N]

Everything it starts stops at the end; the files stay in build/fleet/.
"""

import argparse
import signal
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from stack import (REPO, Proc, StackError, accepts, api, free_port,  # noqa
                   http, wait_until)

sys.path.insert(0, str(REPO / "tools"))
import pg_cluster  # noqa: E402

# Sensor counters of exchanges a worker gave up on.
LOSS_COUNTERS = ("logs_send_fail", "log_dropped_queue_full",
                 "log_dropped_thread", "task_post_failed",
                 "log_skipped_in_backoff")

SENSOR_CONF = """load_module {build}/modules/ngx_kestrelvanes_http_auth.so;
load_module {build}/modules/ngx_kestrelvanes_http_access.so;
worker_processes 2;
error_log logs/error.log notice;
pid logs/nginx.pid;
thread_pool kestrelvanes_access_log_thread_pool threads=2;
thread_pool kestrelvanes_monitoring_thread_pool threads=1;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    # everything to the balancer, never to one collector
    ext_stats_server http://127.0.0.1:{balancer};
    ext_heartbeat_period 5s;
    ext_stats_period 5s;
    ext_instance {name};
    upstream sample_api {{ server 127.0.0.1:{api}; keepalive 8; }}
    server {{
        listen 127.0.0.1:{port};
        location / {{
            kestrelvanes_http_access_enable on;
            ext_auth_log_server http://127.0.0.1:{balancer};
            proxy_pass http://sample_api;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }}
    }}
}}
"""

BALANCER_CONF = """worker_processes 1;
error_log logs/error.log notice;
pid logs/nginx.pid;
events {{ worker_connections 1024; }}
stream {{
    upstream collectors {{
        server 127.0.0.1:{a} max_fails=1 fail_timeout=5s;
        server 127.0.0.1:{b} max_fails=1 fail_timeout=5s;
    }}
    server {{
        listen 127.0.0.1:{port};
        proxy_pass collectors;
        proxy_connect_timeout 1s;
        proxy_timeout 10m;
    }}
}}
"""


class Fleet:
    def __init__(self, build):
        self.build = Path(build).resolve()
        self.work = self.build / "fleet"
        self.logs = self.work / "logs"
        self.logs.mkdir(parents=True, exist_ok=True)
        self.procs = {}
        self.cluster = pg_cluster.Cluster(self.work / "pg")

    def binary(self, rel):
        path = self.build / rel
        if not path.exists():
            raise StackError(f"{path} is missing: run make first")
        return str(path)

    def nginx(self, name, conf_text):
        prefix = self.work / name
        (prefix / "logs").mkdir(parents=True, exist_ok=True)
        conf = prefix / "nginx.conf"
        conf.write_text(conf_text)
        self.procs[name] = Proc(name, [
            self.binary("sbin/nginx"), "-p", f"{prefix}/", "-c", str(conf),
            "-g", "daemon off;"], self.logs / f"{name}.log",
            stop_signal=signal.SIGQUIT)

    def start(self):
        print("Starting PostgreSQL (build/fleet/pg)...", flush=True)
        self.cluster.start()
        self.db = self.cluster.createdb("fleet")
        self.ports = {n: free_port() for n in (
            "a_ingest", "a_console", "b_ingest", "b_console", "balancer",
            "api", "web1", "web2")}
        p = self.ports
        self.procs["sample API"] = Proc("sample API", [
            self.binary("bin/kestrelvanes-sample-api"), "--listen",
            f"127.0.0.1:{p['api']}"], self.logs / "sample-api.log")
        for c in ("a", "b"):
            # every sensor connection comes from the balancer's address
            self.procs[f"collector {c}"] = Proc(f"collector {c}", [
                self.binary("bin/kestrelvanes-collector"),
                "--ingest", f"127.0.0.1:{p[c + '_ingest']}",
                "--console", f"127.0.0.1:{p[c + '_console']}",
                "--db", self.db, "--max-connections-per-address", "0"],
                self.logs / f"collector-{c}.log")
        for name in ("api", "a_console", "b_console"):
            wait_until(f"nothing listens on {name}",
                       lambda n=name: accepts(p[n]), 30,
                       self.procs.values())
        self.nginx("balancer", BALANCER_CONF.format(
            a=p["a_ingest"], b=p["b_ingest"], port=p["balancer"]))
        for web in ("web1", "web2"):
            self.nginx(web, SENSOR_CONF.format(
                build=self.build, balancer=p["balancer"], api=p["api"],
                port=p[web], name=web))
        for name in ("balancer", "web1", "web2"):
            wait_until(f"nginx {name} does not listen",
                       lambda n=name: accepts(p[n]), 15, self.procs.values())

    def console(self, c):
        return self.ports[f"{c}_console"]

    def stop(self):
        for name in ("web1", "web2", "balancer", "collector a", "collector b",
                     "sample API"):
            if name in self.procs:
                self.procs[name].stop()
        self.cluster.stop()


def send(fleet, count, results):
    """count requests, spread over both nginx by four clients."""
    paths = ["/api/items", "/api/items/2", "/api/private/report"]
    done = {"n": 0}
    lock = threading.Lock()

    def client(k):
        while True:
            with lock:
                if done["n"] >= count:
                    return
                n = done["n"]
                done["n"] += 1
            web = "web1" if n % 2 == 0 else "web2"
            status, _, _ = http("GET", f"http://127.0.0.1:{fleet.ports[web]}"
                                f"{paths[n % len(paths)]}?n={n}")
            with lock:
                results["sent"] += 1
                results["statuses"][status] = \
                    results["statuses"].get(status, 0) + 1

    threads = [threading.Thread(target=client, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def stored(fleet):
    rows = fleet.cluster.psql(
        "SELECT count(*), count(DISTINCT (request_id, sensor_host, "
        "instance, format)), count(DISTINCT instance) FROM exchanges",
        "fleet")
    return [int(v) for v in rows[0]]


def counted_lost(console):
    total, before = 0, None
    while True:
        docs = api(console, "/api/stats?limit=1000" +
                   (f"&before={before}" if before else ""))["documents"]
        for d in docs:
            total += sum(d["access"].get(k, 0) for k in LOSS_COUNTERS)
        if len(docs) < 1000:
            return total
        before = docs[-1]["id"]


def run(fleet, requests):
    p = fleet.ports
    print("Waiting for every sensor worker to be heard through the "
          "balancer...", flush=True)
    wait_until("four workers did not send heartbeats",
               lambda: len([s for s in api(p["b_console"], "/api/sensors")
                            if s["online"]]) >= 4, 30, fleet.procs.values())
    results = {"sent": 0, "statuses": {}}
    half = requests // 2

    print(f"Sending {half} requests through both nginx...", flush=True)
    send(fleet, half, results)
    wait_until("collector a got no messages",
               lambda: api(p["a_console"], "/api/stats?limit=1")
               ["collector"]["messages"] > 0, 20, fleet.procs.values())
    a_before = api(p["a_console"], "/api/stats?limit=1")["collector"]

    print("Killing collector a (SIGKILL) while sending "
          f"{requests - half} more...", flush=True)
    load = threading.Thread(target=send,
                            args=(fleet, requests - half, results))
    load.start()
    time.sleep(0.3)
    fleet.procs["collector a"].popen.kill()
    fleet.procs["collector a"].popen.wait()
    load.join()
    ended = time.time() * 1000

    # the workers' counts of what they could not send come with their next
    # statistics documents, through the collector that is left
    print("Waiting for the workers' next statistics documents...",
          flush=True)
    wait_until("no statistics after the traffic", lambda: len(
        {(d["sensor_host"], d["instance"], d["pid"])
         for d in api(p["b_console"], "/api/stats?limit=50")["documents"]
         if d["time_ms"] > ended + 1000}) >= 4, 30,
        [fleet.procs[n] for n in ("collector b", "web1", "web2")])
    wait_until("collector b still writing", lambda: api(
        p["b_console"], "/api/stats?limit=1")["collector"]["queued"] == 0,
        10)

    b = api(p["b_console"], "/api/stats?limit=1")["collector"]
    total, distinct, instances = stored(fleet)
    lost = counted_lost(p["b_console"])
    sent = results["sent"]
    neither = sent - total - lost
    sensors = api(p["b_console"], "/api/sensors")
    print(f"""
Requests sent               {sent}  (statuses {results['statuses']})
Exchanges stored            {total}, each once ({distinct} distinct request ids; from {instances} nginx)
  collector a before it was killed: {a_before['exchanges_stored']} stored, {a_before['messages']} messages
  collector b: {b['exchanges_stored']} stored, {b['duplicates_ignored']} sent again and not kept, {b['queue_dropped']} dropped
Counted lost by the sensors {lost}  ({', '.join(LOSS_COUNTERS)})
Neither stored nor counted  {neither}  ({100.0 * neither / max(sent, 1):.2f} %: messages in the killed collector's queue and sockets)
Workers seen                {len(sensors)}, {sum(s['online'] for s in sensors)} online
Database                    {fleet.db}  (console of b: http://127.0.0.1:{p['b_console']}/)""")
    problems = []
    if total != distinct:
        problems.append("an exchange was stored twice")
    if total > sent:
        problems.append("more exchanges stored than sent")
    if problems:
        print("\nProblems:\n" + "\n".join("  " + m for m in problems))
        return 1
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=str(REPO / "build"))
    ap.add_argument("--requests", type=int, default=4000)
    args = ap.parse_args()
    fleet = Fleet(args.build)

    def on_signal(signum, _frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    rc = 0
    try:
        fleet.start()
        rc = run(fleet, args.requests)
    except KeyboardInterrupt:
        print("\nStopping...", flush=True)
    except (StackError, RuntimeError) as e:
        print(f"\nfleet.py: {e}", file=sys.stderr, flush=True)
        rc = 1
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        fleet.stop()
    return rc


if __name__ == "__main__":
    sys.exit(main())
