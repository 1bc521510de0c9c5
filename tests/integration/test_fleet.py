"""The reference collector on both of its stores, SQLite and PostgreSQL,
through the same cases: the API's contract (filters, time ranges, paging,
dates, workers online, metrics), control settings that go through the
database to every collector, two collectors behind nginx's stream module
with one killed under load (every exchange stored once or counted lost),
a database of the schema before upgraded with its data, and retention.
"""

import json
import re
import threading
import time
import urllib.parse
from pathlib import Path

import pytest

from harness import http_request, wait_until
from harness.realcollector import RealCollector
from harness.stores import BACKENDS, StoreDb, start_balancer

# A sensor of one worker, its messages and statistics to @COLLECTOR@ (a
# collector, or the balancer in front of several).
APP = """
ext_instance fleet;
ext_stats_server http://127.0.0.1:@COLLECTOR@;
ext_heartbeat_period 5s;
ext_stats_period 5s;
server {
    listen 127.0.0.1:@PORT@;
    location / {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
"""

# Sensor counters of exchanges it gave up on: a lost exchange shows here.
LOSS_COUNTERS = ("logs_send_fail", "log_dropped_queue_full",
                 "log_dropped_thread", "task_post_failed",
                 "log_skipped_in_backoff")

ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "artifacts"


@pytest.fixture(params=BACKENDS)
def store_db(request, make_prefix):
    cluster = (request.getfixturevalue("pg_cluster")
               if request.param == "postgresql" else None)
    db = StoreDb(request.param, make_prefix(), cluster)
    yield db
    db.drop()


@pytest.fixture
def collectors(make_prefix, request):
    """Starts collectors on a database; each stops at the end, and one
    that was not killed must exit cleanly."""
    made = []

    def make(db, control=None, args=(), control_file=True):
        c = RealCollector(make_prefix(), control=control, db=db.arg,
                          args=args, control_file=control_file)
        made.append(c)
        return c.start()

    yield make
    problems = []
    for c in made:
        killed = c.proc is not None and c.proc.returncode == -9
        rc = c.stop()
        if not killed and rc not in (0, None):
            problems.append(f"collector exited with {rc}:\n{c.log()[-3000:]}")
    if problems:
        pytest.fail("\n".join(problems))


@pytest.fixture
def app(auth_server_factory):
    up = auth_server_factory()
    up.set_response(200, [("Content-Type", "application/json")], b'{"ok":1}')
    return up


def get(port, path, method="GET"):
    r = http_request(port, path, method=method)
    assert r.status == 200, (path, r.status)


def heartbeat_reply(collector):
    return collector.send_raw(b"POST /kestrelvanes/heartbeat/v1?sensor=nginx "
                              b"HTTP/1.1\r\nHost: c\r\n"
                              b"X-Kv-Sensor-Instance: probe\r\n\r\n")


def test_api_contract(store_db, collectors, nginx, app):
    collector = collectors(store_db)
    nginx.start(APP, values={"COLLECTOR": collector.ingest_port,
                             "UP": app.port})
    started = int(time.time() * 1000)
    get(nginx.port, "/api/items?page=1")
    get(nginx.port, "/api/orders", "POST")
    get(nginx.port, "/caf%C3%A9/menu")
    app.set_response(404, [], b"")
    get_404 = http_request(nginx.port, "/api/missing")
    assert get_404.status == 404
    xs = collector.wait_exchanges(4)
    by_uri = {x["uri"]: x for x in xs}

    # dates next to the times
    for x in xs:
        for field in ("time", "received"):
            ms = x[field + "_ms"]
            assert x[field] == time.strftime(
                "%Y-%m-%dT%H:%M:%S", time.gmtime(ms // 1000)) + \
                f".{ms % 1000:03d}Z"

    def uris(**filters):
        return [x["uri"] for x in collector.exchanges(**filters)]

    assert uris(method="POST") == ["/api/orders"]
    assert uris(status="4xx") == ["/api/missing"]
    assert uris(status=404) == ["/api/missing"]
    assert uris(path="/api/") == ["/api/missing", "/api/orders",
                                  "/api/items?page=1"]
    # the sensor logs the path decoded; the filter is decoded as a query
    assert uris(path="/caf%C3%A9") == ["/caf\u00e9/menu"]
    assert uris(format="merged", host=xs[0]["sensor_host"]) == \
        [x["uri"] for x in xs]
    post = by_uri["/api/orders"]["time_ms"]
    assert uris(since_ms=post) == ["/api/missing", "/caf\u00e9/menu",
                                   "/api/orders"]
    assert uris(since_ms=started - 60000, until_ms=post) == \
        ["/api/items?page=1"]
    assert uris(until_ms=started - 60000) == []
    assert uris(limit=2, before=xs[1]["id"]) == \
        [x["uri"] for x in xs[2:4]]
    for bad in ("since_ms=x", "until_ms=-1", "path=%00", "host=%FF"):
        status, doc = collector.request("GET", f"/api/exchanges?{bad}")
        assert status == 400 and doc["error"], bad

    # the worker, online, a page at a time
    sensor = wait_until(lambda: (collector.get("/api/sensors") or [None])[0],
                        20)
    assert sensor["online"] is True and sensor["instance"] == "fleet"
    assert sensor["first_seen"].endswith("Z")
    assert collector.get("/api/sensors?limit=1&after=" +
                         urllib.parse.quote(sensor["key"])) == []

    # metrics: the collector's counters, the worker's latest ones and
    # its rates over its last period (known from its second document)
    wait_until(lambda: len(collector.get("/api/stats?limit=2")["documents"])
               == 2, 20)
    status, text = collector.text("/metrics")
    assert status == 200
    stored = re.search(r"^kestrelvanes_collector_exchanges_stored_total "
                       r"(\S+)$", text, re.M)
    assert stored and float(stored.group(1)) >= 4
    assert re.search(r'^kestrelvanes_sensor_up\{[^}]*sensor_instance="fleet"'
                     r'[^}]*\} 1$', text, re.M), text
    assert re.search(r'^kestrelvanes_sensor_period_events\{counter="\w+",'
                     r'group="access",pid="\d+",sensor_host="[^"]*",'
                     r'sensor_instance="fleet"\} [1-9]', text, re.M), text
    # the example dashboard reads only what is there
    served = set(re.findall(r"^# TYPE (\w+) ", text, re.M))
    dashboard = (Path(__file__).resolve().parents[2] /
                 "examples/grafana-dashboard.json").read_text()
    assert set(re.findall(r"kestrelvanes_\w+", dashboard)) <= served


@pytest.mark.collector_only
def test_control_goes_through_the_database_to_every_collector(
        store_db, collectors):
    a = collectors(store_db, control={"logging_level": "metadata"})
    b = collectors(store_db, control_file=False)
    # the first collector's file became the database's settings
    assert b.get("/api/control")["logging_level"] == "metadata"
    assert b"X-Kv-Logging-Level: metadata" in heartbeat_reply(b)

    changed = time.monotonic()
    status, doc = a.request("PUT", "/api/control",
                            {"logging_level": "minimum", "sampling_rate": 50})
    assert status == 200
    reply = wait_until(lambda: (lambda r: r if b"X-Kv-Logging-Level: minimum"
                                in r else None)(heartbeat_reply(b)), 10)
    took = time.monotonic() - changed
    assert b"X-Kv-Sampling-Rate: 50" in reply
    assert b.get("/api/control") == a.get("/api/control")
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    (ARTIFACTS / f"control-propagation-{store_db.backend}.txt").write_text(
        f"{took:.3f} s from the change on one collector to the other's "
        f"heartbeat reply\n")

    # a change on the second collector comes back to the first and its
    # file; what opens authorization wants its confirmation there too
    status, doc = b.request("PUT", "/api/control", {"backoff_ms": 200})
    assert status == 409 and len(doc["openings"]) == 1, doc
    status, _ = b.request("PUT", "/api/control", {
        "backoff_ms": 200, "confirm": "skip-authorization"})
    assert status == 200
    wait_until(lambda: json.loads(a.control_file.read_text())
               .get("backoff_ms") == 200, 10)
    assert a.get("/api/control")["logging_level"] == "minimum"

    # one change log, whichever collector made the change
    changes = a.get("/api/control/changes")
    assert changes == b.get("/api/control/changes")
    assert [c["caller"] for c in changes] == ["127.0.0.1", "127.0.0.1",
                                              "file"]
    assert changes[0]["after"]["backoff_ms"] == 200
    assert changes[1]["before"]["logging_level"] == "metadata"

    # a collector started later hands out the same
    c = collectors(store_db, control_file=False)
    assert c.get("/api/control") == b.get("/api/control")


def loss_counts(collector):
    """Sensor counters of exchanges lost, summed over every statistics
    document of the database."""
    total, before = 0, None
    while True:
        path = "/api/stats?limit=1000" + (f"&before={before}" if before
                                           else "")
        docs = collector.get(path)["documents"]
        for d in docs:
            total += sum(d["access"].get(k, 0) for k in LOSS_COUNTERS)
        if len(docs) < 1000:
            return total
        before = docs[-1]["id"]


def test_two_collectors_behind_a_balancer_lose_little_and_duplicate_nothing(
        store_db, collectors, nginx_factory, app):
    a = collectors(store_db)
    b = collectors(store_db, control_file=False)
    # made first, stopped first: the balancer then has no sensor
    # connections to wait for
    sensor = nginx_factory()
    balancer = nginx_factory()
    port = start_balancer(balancer, [a.ingest_port, b.ingest_port])
    sensor.start(APP, values={"COLLECTOR": port, "UP": app.port})

    sent = {"n": 0, "failed": 0}
    stop = threading.Event()

    def client():
        while not stop.is_set():
            try:
                r = http_request(sensor.port, f"/m/{sent['n']}")
                sent["n"] += 1
                if r.status != 200:
                    sent["failed"] += 1
            except OSError:
                sent["failed"] += 1

    threads = [threading.Thread(target=client) for _ in range(4)]
    for t in threads:
        t.start()
    try:
        # the collector the sensor's logs go to goes
        wait_until(lambda: a.counters()["merged_logs"]
                   + b.counters()["merged_logs"] > 300, 30)
        if b.counters()["merged_logs"] > a.counters()["merged_logs"]:
            a, b = b, a
        a.kill()
        at_kill = sent["n"]
        wait_until(lambda: sent["n"] > at_kill + 300, 30)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert sent["failed"] == 0
    ended = time.time() * 1000

    # the worker's counters of what it could not send arrive after the
    # traffic, through the collector that is left
    wait_until(lambda: any(d["time_ms"] > ended + 100 for d in
                           b.get("/api/stats?limit=5")["documents"]), 30)
    wait_until(lambda: b.counters()["queued"] == 0, 10)
    stored = store_db.count("SELECT count(*) FROM exchanges")
    distinct = store_db.count(
        "SELECT count(DISTINCT request_id) FROM exchanges")
    assert stored == distinct  # nothing twice
    counted = loss_counts(b)
    unaccounted = sent["n"] - stored - counted
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    (ARTIFACTS / f"failover-{store_db.backend}.txt").write_text(
        f"sent {sent['n']}, stored {stored}, counted lost by the sensor "
        f"{counted}, neither {unaccounted} "
        f"({100.0 * unaccounted / sent['n']:.2f} %)\n")
    assert stored <= sent["n"]
    # what the killed collector held and the sockets into it carried is
    # lost without anyone counting it: a few hundred messages at most
    assert unaccounted <= 0.05 * sent["n"] + 200, (sent, stored, counted)

    # every console shows every sensor and exchange
    assert b.get("/api/sensors")[0]["instance"] == "fleet"
    assert len(b.exchanges(limit=1000)) == min(stored, 1000)


def step_sql(source, step):
    """The SQL of a schema step as the collector's source has it."""
    text = (Path(__file__).resolve().parents[2] / "collector/src/store" /
            source).read_text()
    return re.findall(r'R"sql\((.*?)\)sql"', text, re.S)[step - 1]


@pytest.mark.collector_only
def test_a_database_of_the_schema_before_is_upgraded_with_its_data(
        store_db, collectors):
    if store_db.postgres:
        store_db.script("CREATE SEQUENCE exchanges_id_seq;"
                        + step_sql("pg_schema.cpp", 1)
                        + "CREATE TABLE kv_schema_steps (version INTEGER "
                          "PRIMARY KEY, what TEXT NOT NULL, applied_ms "
                          "BIGINT NOT NULL);"
                          "INSERT INTO kv_schema_steps VALUES (1, 'one', 0);")
        truth = "false"
    else:
        store_db.script(step_sql("sqlite_schema.cpp", 1)
                        + "PRAGMA user_version = 1;")
        truth = "0"
    now = int(time.time() * 1000)
    for i, rid in enumerate(("old-1", "old-2", "old-2")):
        store_db.script(
            "INSERT INTO exchanges (time_ms, received_ms, sensor_host, "
            "instance, worker_pid, format, method, uri, status, client_ip, "
            "client_port, latency_ms, request_id, logging_level, "
            "request_headers, response_headers, request_body_truncated, "
            "response_body_truncated, meta, peer) VALUES "
            f"({now + i}, {now}, 'h', 'i', 1, 'merged', 'GET', '/old/{i}', "
            f"200, '', 0, 0, '{rid}', 'default', '[]', '[]', {truth}, "
            f"{truth}, '{{}}', '')")
    c = collectors(store_db)
    # kept twice before, kept once now; the rest as it was, and found by
    # the filters the new indexes serve
    assert [x["uri"] for x in c.exchanges()] == ["/old/1", "/old/0"]
    assert [x["uri"] for x in c.exchanges(path="/old/0")] == ["/old/0"]
    status, _ = c.request("PUT", "/api/control", {"sampling_rate": 10})
    assert status == 200


def test_retention(store_db, collectors, nginx, app):
    now_day = int(time.time()) // 86400
    if store_db.postgres:
        # a day's partition older than --retain-days goes whole
        c = collectors(store_db)
        c.stop()
        old = now_day - 5
        name = time.strftime("exchanges_%Y%m%d", time.gmtime(old * 86400))
        store_db.script(
            f"CREATE TABLE {name} PARTITION OF exchanges FOR VALUES FROM "
            f"({old * 86400000}) TO ({(old + 1) * 86400000});"
            "INSERT INTO stats (time_ms, sensor_host, instance, pid, access, "
            "auth, peer) VALUES (1, 'h', 'i', 1, '{}', '{}', '')")
        c = collectors(store_db, args=["--retain-days", "2"])
        wait_until(lambda: c.counters()["partitions_dropped"] == 1, 20)
        assert store_db.rows(f"SELECT to_regclass('{name}')") == [[None]]
        assert store_db.count("SELECT count(*) FROM stats") == 0
    else:
        # rows older than --retain-days go; then the newest rows are kept
        c = collectors(store_db)
        c.stop()
        old = (now_day - 5) * 86400000
        store_db.script(
            "INSERT INTO exchanges (time_ms, received_ms, sensor_host, "
            "instance, worker_pid, format, method, uri, status, client_ip, "
            "client_port, latency_ms, request_id, logging_level, "
            "request_headers, response_headers, request_body_truncated, "
            "response_body_truncated, meta, peer) VALUES "
            f"({old}, {old}, 'h', 'i', 1, 'merged', 'GET', '/old', 200, '', "
            "0, 0, 'old', 'default', '[]', '[]', 0, 0, '{}', '');"
            "INSERT INTO stats (time_ms, sensor_host, instance, pid, access, "
            f"auth, peer) VALUES ({old}, 'h', 'i', 1, '{{}}', '{{}}', '')")
        c = collectors(store_db, args=["--retain-rows", "3",
                                       "--retain-days", "2"])
        wait_until(lambda: c.counters()["rows_pruned"] == 2, 20)
        assert store_db.count("SELECT count(*) FROM exchanges") == 0
    nginx.start(APP, values={"COLLECTOR": c.ingest_port, "UP": app.port})
    for i in range(5):
        get(nginx.port, f"/r/{i}")
    xs = c.wait_exchanges(5 if store_db.postgres else 3)
    wait_until(lambda: len(c.exchanges()) == (5 if store_db.postgres else 3),
               10)
    assert [x["uri"] for x in c.exchanges()][:3] == ["/r/4", "/r/3", "/r/2"]
    assert xs


def test_a_database_that_goes_away_and_comes_back_loses_nothing(
        make_prefix, collectors, nginx, app):
    # a server of its own: this one is stopped in the middle
    from harness.stores import cluster_dir, pg_cluster
    cluster = pg_cluster.Cluster(cluster_dir().with_name(
        cluster_dir().name + "-outage"))
    cluster.start(fast=True)
    try:
        db = StoreDb("postgresql", make_prefix(), cluster)
        c = collectors(db)
        nginx.start(APP, values={"COLLECTOR": c.ingest_port, "UP": app.port})
        get(nginx.port, "/before")
        c.wait_exchanges(1)

        cluster.stop()
        for i in range(20):
            get(nginx.port, f"/during/{i}")
        # the collector's metrics still say what it took, and that its
        # database is gone
        def metric(name):
            found = re.search(rf"^{name} (\S+)$", c.text("/metrics")[1],
                              re.M)
            return float(found.group(1)) if found else None
        wait_until(lambda: metric("kestrelvanes_collector_merged_logs_total")
                   == 21, 10)
        assert metric("kestrelvanes_collector_database_up") == 0
        cluster.start(port=cluster.known_port(), fast=True)
        xs = c.wait_exchanges(21, timeout=30)
        assert sorted(x["uri"] for x in xs) == sorted(
            ["/before"] + [f"/during/{i}" for i in range(20)])
        counters = c.counters()
        assert counters["write_errors"] == 0 and counters["queue_dropped"] == 0
        assert "PostgreSQL reachable again" in c.log()
        assert metric("kestrelvanes_collector_database_up") == 1
    finally:
        cluster.stop()
