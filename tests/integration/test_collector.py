"""The reference collector against real nginx with both modules: what a
request becomes in the database and in the API, how the collector steers
the sensor, and what it does with bad input and bad flags.
"""

import json
import socket
import sqlite3
import subprocess
import time

import pytest

from harness import wait_until
from harness.exchange import one_exchange, request_bytes
from harness.realcollector import RealCollector, collector_binary

APP = """
ext_instance itest;
ext_stats_server http://127.0.0.1:@INGEST@;
ext_heartbeat_period 5s;
ext_stats_period 5s;
ext_access_log_body_size 1k;
upstream collector { server 127.0.0.1:@INGEST@; keepalive 4; }
server {
    listen 127.0.0.1:@PORT@;
    location /m/ {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server @SCHEME@://127.0.0.1:@LOGPORT@;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /r/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_authorize;
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location = /_authorize {
        internal;
        proxy_pass http://collector/kestrelvanes/authorize;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
    }
}
"""


@pytest.fixture
def app(auth_server_factory):
    """The application behind nginx: answers what the test sets."""
    up = auth_server_factory()
    up.set_response(200, [("Content-Type", "application/json"),
                          ("X-App", "yes")], b'{"items":[1,2]}')
    return up


@pytest.fixture
def real_collector(make_prefix, request):
    made = []

    def make(**kw):
        c = RealCollector(make_prefix(), **kw)
        made.append(c)
        return c.start()

    yield make
    for c in made:
        rc = c.stop()
        if rc not in (0, None):
            pytest.fail(f"collector exited with {rc}:\n{c.log()[-3000:]}")


def start_nginx(nginx, collector, app, tls=False):
    nginx.start(APP, values={
        "INGEST": collector.ingest_port, "UP": app.port,
        "SCHEME": "https" if tls else "http",
        "LOGPORT": collector.tls_port if tls else collector.ingest_port})
    return nginx.worker_pids()[0]


def wait_heartbeats(collector, count, timeout=20.0):
    """Until the worker has sent count heartbeats."""
    def seen():
        for s in collector.get("/api/sensors"):
            if s["heartbeats"] >= count:
                return s
        return None
    return wait_until(seen, timeout, message=lambda: (
        f"no {count} heartbeats: {collector.get('/api/sensors')}"))


def test_exchanges_in_both_formats_reach_database_and_api(
        nginx, real_collector, app):
    collector = real_collector(args=["--auth-protect", "/r/private/"])
    pid = start_nginx(nginx, collector, app)

    body = b'{"name":"bolt","n":1}'
    resp, get_port = one_exchange(nginx.port, request_bytes(
        "GET", "/m/items?page=2", [("Host", "api.test"), ("X-Test", "1")]))
    assert resp.status == 200
    one_exchange(nginx.port, request_bytes(
        "POST", "/m/items", [("Host", "api.test"),
                             ("Content-Type", "application/json"),
                             ("Content-Length", str(len(body)))], body))
    resp, _ = one_exchange(nginx.port, request_bytes(
        "GET", "/r/items?id=7", [("Host", "api.test")]))
    assert resp.status == 200
    resp, _ = one_exchange(nginx.port, request_bytes(
        "GET", "/r/private/report", [("Host", "api.test")]))
    assert resp.status == 401
    assert resp.header("WWW-Authenticate").startswith("Bearer")
    app.set_response(200, [("Content-Type", "text/plain")], b"z" * 5000)
    one_exchange(nginx.port, request_bytes("GET", "/r/large",
                                           [("Host", "api.test")]))

    xs = collector.wait_exchanges(5)
    # the list carries metadata and sizes; one exchange its headers and
    # bodies
    for x in xs:
        assert "response_body" not in x and "request_headers" not in x
    by_uri = {x["uri"]: collector.exchange(x["id"]) for x in xs}
    sizes = {x["uri"]: x["response_body_size"] for x in xs}
    assert sizes["/m/items?page=2"] == len(b'{"items":[1,2]}')
    assert sizes["/r/large"] is None
    get = by_uri["/m/items?page=2"]
    assert get["format"] == "merged" and get["method"] == "GET"
    assert get["status"] == 200 and get["client_ip"] == "127.0.0.1"
    assert get["client_port"] == get_port
    assert ["X-Test", "1"] in get["request_headers"]
    assert ["X-App", "yes"] in get["response_headers"]
    assert json.loads(get["response_body"]) == {"items": [1, 2]}
    assert get["request_body"] is None
    assert get["instance"] == "itest" and get["worker_pid"] == pid
    assert get["request_id"].startswith(f"{pid:x}-")
    assert abs(get["time_ms"] / 1000 - time.time()) < 60
    assert get["latency_ms"] >= 0

    post = by_uri["/m/items"]
    assert post["request_body"] == body.decode()
    assert post["request_body_truncated"] is False

    resp_log = by_uri["/r/items?id=7"]
    assert resp_log["format"] == "response"
    assert resp_log["response_body"] == '{"items":[1,2]}'
    assert ["Host", "api.test"] in resp_log["request_headers"]
    assert resp_log["worker_pid"] == pid

    denied = by_uri["/r/private/report"]
    assert denied["status"] == 401 and denied["format"] == "response"

    large = by_uri["/r/large"]
    assert large["response_body"] is None
    assert large["response_body_truncated"] is True

    [listed] = [x for x in xs if x["id"] == post["id"]]
    assert {k: post[k] for k in listed} == listed
    assert [x["uri"] for x in collector.exchanges(method="POST")] == \
        ["/m/items"]
    assert len(collector.exchanges(status="4xx")) == 1
    assert len(collector.exchanges(path="/r/")) == 3

    # the same rows in the database, bodies as their bytes
    collector.stop()
    db = sqlite3.connect(collector.db)
    rows = db.execute("SELECT format, method, uri, status, response_body, "
                      "request_headers FROM exchanges ORDER BY id").fetchall()
    assert len(rows) == 5
    assert ("merged", "POST", "/m/items", 200) == rows[1][:4]
    assert rows[0][4] == b'{"items":[1,2]}'
    assert ["X-Test", "1"] in json.loads(rows[0][5])
    assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"


def test_collector_steers_the_sensor_through_heartbeats(
        nginx, real_collector, app):
    # Policies written so that the sensor's scanner could misread them: a
    # pattern and a header name with the word Type, a pattern ending in an
    # escaped backslash, quotes.
    control = {
        "url_bypass": {"version": "1", "patterns": [
            "^/m/Type/", "^/m/slash\\\\", '^/m/"q"']},
        "header_bypass": {"version": "1", "patterns": [
            {"Content-Type": "^application/x-skip$"},
            {"X-Skip": "^yes$"}]},
    }
    collector = real_collector(control=control)
    pid = start_nginx(nginx, collector, app)
    # a worker sends its next heartbeat only once it has applied the reply
    # to the last one
    wait_heartbeats(collector, 2)

    def get(path, headers=()):
        resp, _ = one_exchange(nginx.port, request_bytes(
            "GET", path, [("Host", "h")] + list(headers)))
        assert resp.status == 200

    get("/m/Type/a")
    get("/m/slash\\x")
    get('/m/"q"')
    get("/m/ct", [("Content-Type", "application/x-skip")])
    get("/m/hdr", [("X-Skip", "yes")])
    get("/m/kept")
    # one connection, one sender thread: what was not bypassed arrived
    # before /m/kept
    collector.wait_exchanges(1)
    assert [x["uri"] for x in collector.exchanges()] == ["/m/kept"]

    # repeated heartbeats carry the same versions; the sensor must read
    # them as unchanged, without a parse error, and say so in its counters
    start = time.time()
    wait_heartbeats(collector, 4)
    docs = wait_until(lambda: [d for d in collector.get("/api/stats")[
        "documents"] if d["time_ms"] / 1000 > start + 0.5] or None, 20)
    totals = {}
    for d in collector.get("/api/stats?limit=100")["documents"]:
        for k, v in d["access"].items():
            totals[k] = totals.get(k, 0) + v
    assert totals.get("uri_bypass_policy_updated") == 1, totals
    assert totals.get("header_bypass_policy_updated") == 1, totals
    for bad in ("policy_version_extract_errors", "url_policy_parse_errors",
                "header_policy_parse_errors", "policy_regex_compile_failed"):
        assert bad not in totals, totals
    assert docs[0]["pid"] == pid

    # the worker is known by its pid once it reported statistics
    [sensor] = collector.get("/api/sensors")
    assert sensor["pid"] == pid and sensor["mode"] == "default"
    assert sensor["instance"] == "itest"

    # a change from the console reaches the worker with its next heartbeat
    status, doc = collector.request("PUT", "/api/control",
                                    {"logging_level": "metadata"})
    assert status == 200 and doc["logging_level"] == "metadata"
    wait_heartbeats(collector, sensor["heartbeats"] + 2)
    get("/m/after")
    [listed] = collector.wait_exchanges(1, path="/m/after")
    after = collector.exchange(listed["id"])
    assert after["logging_level"] == "metadata"
    assert after["response_body"] is None
    assert ["X-App", "yes"] in after["response_headers"]
    assert json.loads(collector.control_file.read_text())[
        "logging_level"] == "metadata"


def test_tls_ingest(nginx, real_collector, app, tls_cert):
    collector = real_collector(tls=tls_cert)
    start_nginx(nginx, collector, app, tls=True)
    one_exchange(nginx.port, request_bytes("GET", "/m/over-tls",
                                           [("Host", "h")]))
    [x] = collector.wait_exchanges(1)
    assert x["uri"] == "/m/over-tls" and x["status"] == 200
    assert collector.counters()["tls_handshake_failed"] == 0


def test_bad_input_costs_only_itself(real_collector):
    collector = real_collector()
    reply = collector.send_raw(b"\x16\x03\x01\x00\x05hello garbage\r\n\r\n")
    assert reply.startswith(b"HTTP/1.1 400 Bad Request\r\n")
    assert b"Connection: close" in reply

    doc = (b'[{"request":{"headers":{},"method":"GET","uri":"/x"},'
           b'"response":{"headers":{},"status":200},"client_ip":"1.2.3.4",'
           b'"client_port":1,"started_at":1,"tries":[],"latencies":'
           b'{"request":1}}]')
    msg = (b"POST /mergedlog?sensor=nginx HTTP/1.1\r\nContent-Length: "
           + str(len(doc)).encode() + b"\r\n\r\n" + doc)
    collector.send_raw(msg[:40], read=False)        # dropped mid-message
    broken = msg.replace(b'"status":200', b'"status":"x"')
    reply = collector.send_raw(broken + msg)
    assert reply.count(b"HTTP/1.1 400") == 1 and reply.count(b"200 OK") == 1
    assert len(collector.wait_exchanges(1)) == 1

    c = wait_until(lambda: (lambda c: c if c["connections_open"] == 0 and
                            c["connections_cut_mid_message"] == 1 else None)(
        collector.counters()), 5)
    assert c["framing_errors"] == 1 and c["malformed_messages"] == 1
    assert collector.proc.poll() is None


def closed_without_reply(sock, timeout=10.0):
    """True when the collector closed sock having sent nothing."""
    sock.settimeout(timeout)
    try:
        return sock.recv(65536) == b""
    except ConnectionResetError:
        return True


def test_ingest_is_bounded_in_time_connections_and_memory(real_collector):
    collector = real_collector(args=[
        "--ingest-head-timeout", "500ms", "--max-connections", "4",
        "--max-connections-per-address", "3", "--ingest-memory", "256k"])
    port = collector.ingest_port

    # half a head, then nothing: cut at its time
    with socket.create_connection(("127.0.0.1", port)) as slow:
        slow.sendall(b"POST /mergedlog HTTP/1.1\r\nHost: c\r\nContent-Le")
        assert closed_without_reply(slow)

    # a body the shared budget cannot hold: cut, and told why
    with socket.create_connection(("127.0.0.1", port)) as big:
        try:
            big.sendall(b"POST /nginxlog HTTP/1.1\r\nX-Status: 200\r\n"
                        b"Content-Length: 1048576\r\n\r\n" + b"x" * 400000)
        except OSError:
            pass  # cut while sending
        big.settimeout(10)
        assert big.recv(65536).startswith(b"HTTP/1.1 503 ")

    # three connections from one address, then a fourth
    wait_until(lambda: collector.counters()["connections_open"] == 0, 10)
    held = [socket.create_connection(("127.0.0.1", port)) for _ in range(3)]
    with socket.create_connection(("127.0.0.1", port)) as extra:
        assert closed_without_reply(extra)
    for h in held:
        h.close()

    c = wait_until(lambda: (lambda c: c if c["connections_open"] == 0
                            else None)(collector.counters()), 10)
    assert c["head_timeouts"] == 1
    assert c["connections_cut_memory"] == 1
    assert c["connections_refused"] == 1
    assert c["buffered_bytes"] == 0
    reply = collector.send_raw(b"POST /kestrelvanes/heartbeat/v1 HTTP/1.1\r\n"
                               b"Host: c\r\n\r\n")
    assert reply.startswith(b"HTTP/1.1 200 OK\r\n")


def test_console_stays_small(real_collector):
    collector = real_collector()
    # clients that trickle their heads hold nothing others need
    trickling = []
    for _ in range(8):
        s = socket.create_connection(("127.0.0.1", collector.console_port))
        s.sendall(b"GET /api/control HTTP/1.1\r\nHo")
        trickling.append(s)
    assert collector.get("/api/control")["logging_level"] == "default"
    for s in trickling:
        s.close()

    # a request body has a limit
    status, doc = collector.request("PUT", "/api/control",
                                    b"{" + b" " * 200000 + b"}")
    assert status == 413 and "bytes" in doc["error"]
    assert collector.get("/api/control")["logging_level"] == "default"


def test_api_answers_and_refusals(real_collector):
    collector = real_collector()
    assert collector.request("GET", "/api/exchanges/12345")[0] == 404
    for bad in ("limit=0", "limit=abc", "status=6xx", "format=csv"):
        status, doc = collector.request("GET", f"/api/exchanges?{bad}")
        assert status == 400 and doc["error"], bad
    assert collector.request("GET", "/api/nothing")[0] == 404

    before = collector.get("/api/control")
    for change in (b"not json", {"logging_level": "loud"},
                   {"sampling_rate": 500},
                   {"url_bypass": {"version": "1", "patterns": ["(oops"]}}):
        status, doc = collector.request("PUT", "/api/control", change)
        assert status == 400 and doc["error"], change
    assert collector.get("/api/control") == before

    status, page = 0, b""
    with socket.create_connection(("127.0.0.1", collector.console_port)) as s:
        s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                  b"Connection: close\r\n\r\n")
        while chunk := s.recv(65536):
            page += chunk
    assert page.startswith(b"HTTP/1.1 200") and b"<title>kestrelvanes" in page


def test_bad_flags_and_busy_ports_exit_with_status_2(real_collector):
    def run(*args):
        return subprocess.run([collector_binary(), *args],
                              capture_output=True, text=True, timeout=20)

    res = run("--no-such-flag")
    assert res.returncode == 2 and "unknown option --no-such-flag" in res.stderr
    res = run("--ingest", "localhost")
    assert res.returncode == 2 and "HOST:PORT" in res.stderr
    res = run("--ingest-tls", "127.0.0.1:0")
    assert res.returncode == 2 and "--tls-cert" in res.stderr
    res = run("--retain-rows", "0")
    assert res.returncode == 2
    for flag, value in (("--ingest-head-timeout", "5x"),
                        ("--ingest-idle-timeout", "10ms"),
                        ("--ingest-memory", "1k"),
                        ("--max-connections", "0")):
        res = run(flag, value)
        assert res.returncode == 2 and flag in res.stderr, (flag, res.stderr)

    busy = real_collector()
    res = run("--ingest", f"127.0.0.1:{busy.ingest_port}", "--console",
              "127.0.0.1:0", "--db", str(busy.dir / "other.db"))
    assert res.returncode == 2
    assert f"cannot listen for sensors on 127.0.0.1:{busy.ingest_port}" \
        in res.stderr
    res = run("--ingest", "127.0.0.1:0", "--console",
              f"127.0.0.1:{busy.console_port}", "--db",
              str(busy.dir / "other.db"))
    assert res.returncode == 2 and "console" in res.stderr
    assert run("--help").returncode == 0
