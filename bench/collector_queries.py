#!/usr/bin/python3
"""How fast the collector's console lists exchanges in a large database.

Fills a database fast (PostgreSQL: generate_series on the server; SQLite:
a recursive query inside SQLite), with exchanges spread over the last 36
hours the way traffic mixes methods, statuses, hosts and paths, then starts
the collector on it and asks the list API for its first page (50 rows), with
no filter and with each filter alone, many times over one kept-alive
connection, and prints the median, 95th percentile and worst per filter,
and the database's bytes per exchange.

    bench/collector_queries.py --backend sqlite --rows 1000000
    bench/collector_queries.py --backend postgresql --rows 10000000

PostgreSQL runs from tools/pg_cluster.py under build/bench-pg with
durability on and the memory settings below.  --keep reuses a database
filled before (the fill takes minutes at ten million rows).
"""

import argparse
import http.client
import json
import os
import re
import signal
import sqlite3
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools"))
import pg_cluster  # noqa: E402

# for a server with a few GiB to spare; the defaults are for a laptop
PG_SETTINGS = {
    "shared_buffers": "2GB",
    "effective_cache_size": "8GB",
    "work_mem": "32MB",
    "maintenance_work_mem": "512MB",
    "max_wal_size": "8GB",
    "checkpoint_timeout": "15min",
}

DAY_MS = 86400000
SPAN_MS = 36 * 3600 * 1000

# The shape of the traffic, in SQL both databases run: r is a random
# integer 0..9999 of the row, g its number.
METHOD = ("CASE WHEN r % 100 < 70 THEN 'GET' WHEN r % 100 < 90 THEN 'POST' "
          "WHEN r % 100 < 95 THEN 'PUT' WHEN r % 100 < 99 THEN 'DELETE' "
          "ELSE 'PATCH' END")
STATUS = ("CASE WHEN r % 1000 < 800 THEN 200 WHEN r % 1000 < 850 THEN 201 "
          "WHEN r % 1000 < 880 THEN 204 WHEN r % 1000 < 900 THEN 304 "
          "WHEN r % 1000 < 920 THEN 400 WHEN r % 1000 < 940 THEN 401 "
          "WHEN r % 1000 < 950 THEN 403 WHEN r % 1000 < 980 THEN 404 "
          "WHEN r % 1000 < 990 THEN 500 WHEN r % 1000 < 995 THEN 502 "
          "ELSE 503 END")
RESOURCES = ["items", "orders", "users", "carts", "payments", "search",
             "reviews", "stock", "shipments", "sessions"]

# (name, query string) asked of /api/exchanges; {now} is filled in
FILTERS = [
    ("no filter", ""),
    ("method=POST", "method=POST"),
    ("method=PATCH (1 %)", "method=PATCH"),
    ("status=500 (1 %)", "status=500"),
    ("status=4xx", "status=4xx"),
    ("host=web-07", "host=web-07"),
    ("format=response", "format=response"),
    ("path=/api/v1/orders/", "path=/api/v1/orders/"),
    ("path=/static/ (0.1 %)", "path=/static/"),
    ("path matching nothing", "path=/nothing/"),
    ("since_ms (last hour)", "since_ms={hour_ago}"),
    ("until_ms (a day ago)", "until_ms={day_ago}"),
    ("since/until (one minute)", "since_ms={minute_from}&until_ms={minute_to}"),
]


# what the collector keeps of each minute as it writes (the ids its
# exchanges span), made here for what the fill wrote behind its back
MINUTES = ("DELETE FROM exchange_minutes; INSERT INTO exchange_minutes "
           "SELECT time_ms / 60000, min(id), max(id) FROM exchanges "
           "GROUP BY time_ms / 60000")


def resources_sql(col):
    arms = " ".join(f"WHEN {col} = {i} THEN '{name}'"
                    for i, name in enumerate(RESOURCES))
    return f"CASE {arms} END"


def fill_postgres(cluster, db, rows, now, chunk=1000000):
    start = now - SPAN_MS
    headers = ('[["Host","api.example"],["User-Agent","Mozilla/5.0 (X11; '
               'Linux x86_64)"],["Accept","application/json"],'
               '["X-Request-Id","\' || md5(g::text) || \'"]]')
    for lo in range(1, rows + 1, chunk):
        hi = min(rows, lo + chunk - 1)
        sql = f"""
INSERT INTO exchanges (time_ms, received_ms, sensor_host, instance,
    worker_pid, format, method, uri, status, client_ip, client_port,
    latency_ms, request_id, logging_level, request_headers,
    response_headers, request_body, response_body, request_body_truncated,
    response_body_truncated, meta, peer)
SELECT t, t + 5, 'web-' || lpad((g % 20 + 1)::text, 2, '0'), 'edge',
    1000 + g % 8, CASE WHEN g % 5 = 0 THEN 'response' ELSE 'merged' END,
    {METHOD}, CASE WHEN r % 1000 = 7 THEN '/static/app.' || (g % 50) || '.js'
        ELSE '/api/v1/' || {resources_sql('(r / 7) % 10')} || '/' || (g % 5000)
             || '?page=' || (g % 9) END,
    {STATUS}, '10.0.' || (g % 250) || '.' || (g % 199), 40000 + g % 20000,
    g % 300, md5(g::text), 'default',
    '{headers}',
    '[["Content-Type","application/json"],["Content-Length","320"]]',
    CASE WHEN r % 100 >= 70 AND r % 100 < 95
         THEN convert_to(repeat('{{"name":"bolt","qty":3}}', 8), 'UTF8') END,
    convert_to(repeat('{{"id":1,"name":"bolt"}}', 15), 'UTF8'),
    false, false, '{{}}', '10.1.0.' || (g % 20 + 1) || ':51000'
FROM (SELECT g, {start} + (g::bigint * {SPAN_MS}) / {rows} AS t,
             (hashint4(g) & 2147483647) % 10000 AS r
      FROM generate_series({lo}, {hi}) g) s
"""
        t = time.monotonic()
        cluster.psql(sql, db)
        print(f"  rows {lo}..{hi} in {time.monotonic() - t:.0f} s",
              flush=True)
    cluster.psql(MINUTES, db)
    cluster.psql("VACUUM ANALYZE exchanges", db)


def fill_sqlite(path, rows, now):
    start = now - SPAN_MS
    db = sqlite3.connect(path)
    resources = " ".join(f"WHEN (r / 7) % 10 = {i} THEN '{name}'"
                         for i, name in enumerate(RESOURCES))
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    db.execute("PRAGMA cache_size=-262144")
    chunk = 250000
    for lo in range(1, rows + 1, chunk):
        hi = min(rows, lo + chunk - 1)
        t = time.monotonic()
        db.execute(f"""
WITH RECURSIVE n(g) AS (SELECT {lo} UNION ALL SELECT g + 1 FROM n
                        WHERE g < {hi}),
s AS (SELECT g, {start} + (g * {SPAN_MS}) / {rows} AS t,
             ((g * 1103515245 + 12345) % 2147483647) % 10000 AS r FROM n)
INSERT INTO exchanges (time_ms, received_ms, sensor_host, instance,
    worker_pid, format, method, uri, status, client_ip, client_port,
    latency_ms, request_id, logging_level, request_headers,
    response_headers, request_body, response_body, request_body_truncated,
    response_body_truncated, meta, peer)
SELECT t, t + 5, 'web-' || substr('0' || (g % 20 + 1), -2), 'edge',
    1000 + g % 8, CASE WHEN g % 5 = 0 THEN 'response' ELSE 'merged' END,
    {METHOD}, CASE WHEN r % 1000 = 7 THEN '/static/app.' || (g % 50) || '.js'
        ELSE '/api/v1/' || CASE {resources} END || '/' || (g % 5000)
             || '?page=' || (g % 9) END,
    {STATUS}, '10.0.' || (g % 250) || '.' || (g % 199), 40000 + g % 20000,
    g % 300, hex(randomblob(16)), 'default',
    '[["Host","api.example"],["User-Agent","Mozilla/5.0 (X11; Linux x86_64)"],["Accept","application/json"],["X-Request-Id","' || g || '"]]',
    '[["Content-Type","application/json"],["Content-Length","320"]]',
    CASE WHEN r % 100 >= 70 AND r % 100 < 95
         THEN CAST(replace(hex(zeroblob(8)), '00', '{{"name":"bolt","qty":3}}') AS BLOB) END,
    CAST(replace(hex(zeroblob(15)), '00', '{{"id":1,"name":"bolt"}}') AS BLOB),
    0, 0, '{{}}', '10.1.0.' || (g % 20 + 1) || ':51000'
FROM s""")
        db.commit()
        print(f"  rows {lo}..{hi} in {time.monotonic() - t:.0f} s",
              flush=True)
    db.executescript(MINUTES + ";")
    db.execute("ANALYZE")
    db.commit()
    db.close()


def start_collector(build, db, work):
    log = open(work / "collector.log", "wb")
    proc = subprocess.Popen(
        [str(build / "bin/kestrelvanes-collector"), "--ingest", "127.0.0.1:0",
         "--console", "127.0.0.1:0", "--db", db, "--retain-rows",
         "1000000000", "--retain-days", "0", "--quiet"],
        stdout=log, stderr=log, start_new_session=True)
    deadline = time.monotonic() + 600  # a first start builds indexes
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit("collector exited:\n"
                             + (work / "collector.log").read_text())
        m = re.search(r"console on http://127\.0\.0\.1:(\d+)/",
                      (work / "collector.log").read_text())
        if m:
            return proc, int(m.group(1))
        time.sleep(0.2)
    raise SystemExit("collector did not start")


def measure(port, query, times):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    path = "/api/exchanges?limit=50" + (f"&{query}" if query else "")
    took, rows = [], 0
    for i in range(times + 3):
        t = time.perf_counter()
        conn.request("GET", path)
        res = conn.getresponse()
        body = res.read()
        dt = (time.perf_counter() - t) * 1000
        if res.status != 200:
            raise SystemExit(f"{path}: {res.status} {body[:200]!r}")
        if i >= 3:  # the first ones warm the caches
            took.append(dt)
        rows = len(json.loads(body))
    conn.close()
    took.sort()
    return (statistics.median(took), took[int(0.95 * (len(took) - 1))],
            took[-1], rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--backend", choices=("sqlite", "postgresql"),
                    required=True)
    ap.add_argument("--rows", type=int, default=1000000)
    ap.add_argument("--times", type=int, default=100)
    ap.add_argument("--build", default=str(REPO / "build"))
    ap.add_argument("--keep", action="store_true",
                    help="use the database a run before filled")
    args = ap.parse_args()
    build = Path(args.build)
    work = build / f"bench-queries-{args.backend}"
    work.mkdir(parents=True, exist_ok=True)
    state = work / "filled.json"
    filled = json.loads(state.read_text()) if (args.keep and
                                               state.exists()) else None
    if filled and filled["rows"] != args.rows:
        filled = None

    cluster = None
    if args.backend == "postgresql":
        cluster = pg_cluster.Cluster(build / "bench-pg")
        cluster.start(settings=PG_SETTINGS)
        if not filled:
            cluster.createdb("queries")
        db = cluster.uri("queries")
    else:
        db = str(work / "collector.db")
        if not filled:
            for suffix in ("", "-wal", "-shm"):
                Path(db + suffix).unlink(missing_ok=True)

    try:
        now = filled["now"] if filled else int(time.time() * 1000)
        if not filled:
            # the collector makes the schema (and today's partitions)
            proc, _ = start_collector(build, db, work)
            time.sleep(1)
            proc.send_signal(signal.SIGTERM)
            proc.wait()
            print(f"filling {args.rows} exchanges into {args.backend}",
                  flush=True)
            t = time.monotonic()
            if cluster:
                fill_postgres(cluster, "queries", args.rows, now)
            else:
                fill_sqlite(db, args.rows, now)
            print(f"filled in {time.monotonic() - t:.0f} s", flush=True)
            state.write_text(json.dumps({"rows": args.rows, "now": now}))

        if cluster:
            size = int(cluster.psql(
                "SELECT sum(pg_total_relation_size(inhrelid)) FROM "
                "pg_inherits WHERE inhparent = 'exchanges'::regclass",
                "queries")[0][0])
        else:
            size = sum(os.path.getsize(db + s) for s in ("", "-wal")
                       if os.path.exists(db + s))
        print(f"{args.rows} exchanges, {size / args.rows:.0f} bytes on disk "
              f"each (tables and indexes)")

        proc, port = start_collector(build, db, work)
        try:
            values = {"hour_ago": now - 3600000, "day_ago": now - DAY_MS,
                      "minute_from": now - DAY_MS,
                      "minute_to": now - DAY_MS + 60000}
            print(f"first page (50) of GET /api/exchanges, {args.times} "
                  f"times each, ms:")
            print(f"  {'filter':28} {'median':>8} {'p95':>8} {'worst':>8} "
                  f"{'rows':>5}")
            for name, query in FILTERS:
                med, p95, worst, rows = measure(port, query.format(**values),
                                                args.times)
                print(f"  {name:28} {med:8.1f} {p95:8.1f} {worst:8.1f} "
                      f"{rows:5d}", flush=True)
        finally:
            proc.send_signal(signal.SIGTERM)
            proc.wait()
    finally:
        if cluster:
            cluster.stop()


if __name__ == "__main__":
    main()
