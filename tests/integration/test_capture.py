"""Which exchanges are captured, where their logs go, and what capturing
leaves of the response: the module switch, the destination, the sampler,
bypass policies, logging levels, backoff, header-only and long responses.
"""

import re
import socket
import threading
import time

import pytest

from harness import Reply, wait_until
from harness.exchange import ClientConnection, one_exchange, request_bytes
from harness.monitoring import (header_policy, policy_body, tasks_completed,
                                url_policy)
from harness.sensorlogs import (counters, merged_by_uri, merged_logs,
                               response_logs)

STATS = """
ext_stats_server http://127.0.0.1:@COLLECTOR@;
ext_stats_period 5s;
ext_heartbeat_period %s;
"""

MERGED = """
%(http)s
server {
    listen 127.0.0.1:@PORT@;
    location / {
        kestrelvanes_http_access_enable %(switch)s;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        %(location)s
    }
    %(more)s
}
"""


def merged_config(http="", location='return 200 "ok";', more="",
                  heartbeat="0", switch="on"):
    return MERGED % {"http": (STATS % heartbeat) + http, "switch": switch,
                     "location": location, "more": more}


def get(path, headers=()):
    return request_bytes("GET", path, [("Host", "h"), *headers])


@pytest.fixture
def upstream(auth_server_factory):
    up = auth_server_factory()
    up.set_response(200, [("X-App", "1")], b"app")
    return up


def test_logs_go_where_the_location_says(nginx, collector, upstream,
                                         auth_server_factory):
    # Without ext_auth_log_server a location's logs go to the authorization
    # server that answered the request, over TLS when it was reached over
    # TLS; with it, to that address.  No destination, no log.
    plain = auth_server_factory()
    tls = auth_server_factory(tls=True)
    auth = """
    location = /_auth_%(n)s {
        internal;
        proxy_pass %(scheme)s://127.0.0.1:%(port)s;
    }
    location /%(n)s/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth_%(n)s;
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
        %(extra)s
    }"""
    more = "".join(auth % {"n": n, "scheme": s.scheme, "port": s.port,
                           "extra": extra}
                   for n, s, extra in (
                       ("plain", plain, ""), ("tls", tls, ""),
                       ("merged", plain, "ext_auth_log_server "
                        "http://127.0.0.1:@COLLECTOR@;")))
    more += """
    location /nowhere/ {
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /early/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth_plain;
        kestrelvanes_http_access_enable on;
        return 200 "answered before authorization";
    }"""
    nginx.start(merged_config(location="proxy_pass http://127.0.0.1:@UP@;",
                              more=more),
                values={"COLLECTOR": collector.port, "UP": upstream.port})
    with ClientConnection(nginx.port) as c:
        for path in ("/plain/a", "/tls/a", "/merged/a", "/nowhere/a",
                     "/early/a", "/direct"):
            assert c.exchange(get(path)).status == 200, path

    [p] = response_logs(plain, count=1)
    [t] = response_logs(tls, count=1)
    assert p.value("X-Req-Uri") == "/plain/a" and p.body == b"app"
    assert t.value("X-Req-Uri") == "/tls/a" and t.body == b"app"
    tls_conn = tls.connections[t.msg.connection]
    assert tls_conn.tls_version is not None
    # the authorization subrequests themselves are not logged
    assert sorted(m.path for m in plain.requests) == [
        "/_auth_merged", "/_auth_plain", "/nginxlog"]
    logs = merged_by_uri(merged_logs(collector, count=2))
    assert set(logs) == {"/merged/a", "/direct"}
    assert logs["/merged/a"].host == f"127.0.0.1:{collector.port}"
    # nothing else arrives anywhere
    one_exchange(nginx.port, get("/direct2"))
    merged_logs(collector, count=3)
    assert len(response_logs(plain)) == len(response_logs(tls)) == 1


def test_sampler_admits_evenly_within_each_second(nginx_factory, collector):
    # Rate 10 admits requests 1, 11, 21 of a second, rate 50 the odd ones;
    # the first request of the next second is admitted again.  The
    # requests are pipelined on one connection so nginx handles each burst
    # within one of its seconds.
    instances = {}
    for rate in (10, 50):
        inst = nginx_factory()
        inst.start(merged_config(http=f"ext_sampling_rate {rate};"),
                   values={"COLLECTOR": collector.port})
        instances[rate] = (inst, inst.worker_pids()[0])

    def burst(inst, tag):
        with ClientConnection(inst.port) as c:
            c.send(b"".join(get(f"/{tag}/{i}") for i in range(1, 26)))
            for _ in range(25):
                assert c.read_response().status == 200

    wait_until(lambda: time.time() % 1 < 0.3, 1.5, interval=0.005)
    second = int(time.time())
    for rate, (inst, _) in instances.items():
        burst(inst, rate)
    assert int(time.time()) == second, "the bursts straddled a second"
    wait_until(lambda: time.time() >= second + 1.05, 2, interval=0.005)
    for rate, (inst, _) in instances.items():
        one_exchange(inst.port, get(f"/{rate}/next"))
    done = time.monotonic()

    logs = merged_logs(collector, count=3 + 13 + 2)
    by_rate = {10: set(), 50: set()}
    for log in logs:
        _, rate, n = log.uri.split("/")
        by_rate[int(rate)].add(n)
    assert by_rate[10] == {"1", "11", "21", "next"}
    assert by_rate[50] == {str(i) for i in range(1, 26, 2)} | {"next"}
    for rate, skipped in ((10, 22), (50, 12)):
        c, _ = counters(collector, done, pid=instances[rate][1])
        assert c.get("log_skipped_in_sampling") == skipped, (rate, c)
        assert c["logs_sent"] == 26 - skipped, (rate, c)


def test_bypass_policies_from_a_heartbeat_reply(nginx, collector):
    collector.set_heartbeat_reply(body=policy_body(
        url_policy("1", ["^/skip/"]),
        header_policy("1", [("X-Internal", "^yes$")])))
    nginx.start(merged_config(heartbeat="5s"),
                values={"COLLECTOR": collector.port})
    pid = nginx.worker_pids()[0]
    one_exchange(nginx.port, get("/skip/early"))
    merged_logs(collector, count=1)

    # the reply is applied by the time its task completes, the second one
    # of the first tick (statistics go first)
    wait_until(lambda: tasks_done(nginx) >= 2, 8)
    with ClientConnection(nginx.port) as c:
        for data in (get("/skip/a"), get("/b", [("X-Internal", "yes")]),
                     get("/c", [("x-internal", "no")]), get("/noskip/d")):
            assert c.exchange(data).body == b"ok"
    done = time.monotonic()
    wait_until(lambda: len(merged_logs(collector)) >= 3, 5)
    assert [log.uri for log in merged_logs(collector)] == [
        "/skip/early", "/c", "/noskip/d"]
    c, _ = counters(collector, done, pid=pid)
    assert c.get("uri_bypass_pattern_matched") == 1, c
    assert c.get("header_bypass_pattern_matched") == 1, c
    assert c["hdr_filter_hit"] == 3 and c["logs_sent"] == 3, c


def tasks_done(nginx, pool="monitoring"):
    """Tasks a pool of the sensor has finished so far, completion included."""
    return tasks_completed(nginx.error_log(), pool)


def test_switched_off_and_nologging_log_nothing(nginx_factory, collector):
    quiet = nginx_factory()
    quiet.start(merged_config(http="ext_initial_logging_mode nologging;"),
                values={"COLLECTOR": collector.port})
    mixed = nginx_factory()
    mixed.start(merged_config(more="""
    location /off/ {
        kestrelvanes_http_access_enable off;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        return 200 "off";
    }"""), values={"COLLECTOR": collector.port})
    for inst in (quiet, mixed):
        with ClientConnection(inst.port) as c:
            for path in ("/a", "/off/b", "/c"):
                assert c.exchange(get(path)).status == 200
    done = time.monotonic()
    quiet_c, _ = counters(collector, done, pid=quiet.worker_pids()[0])
    mixed_c, _ = counters(collector, done, pid=mixed.worker_pids()[0])
    assert [log.uri for log in merged_logs(collector)] == ["/a", "/c"]
    assert quiet_c.get("logging_disabled") == 3, quiet_c
    # the body filter finds no capture to fill
    assert quiet_c["body_filter_hit"] == quiet_c["ctx_lookup_fail"] == 3
    for key in ("hdr_filter_hit", "logs_sent"):
        assert key not in quiet_c, quiet_c
    assert mixed_c["hdr_filter_hit"] == mixed_c["logs_sent"] == 2, mixed_c


def test_backoff_when_the_collector_is_down(nginx, collector):
    # A log that finds its collector down starts a backoff of two seconds:
    # the exchange in it is not captured; the first one after it is, and
    # finds the collector down again.
    down = socket.socket()
    down.bind(("127.0.0.1", 0))
    port = down.getsockname()[1]
    down.close()        # nobody listens there
    nginx.start(merged_config(
        http="ext_initial_backoff_duration 2000;",
        more="""
    location /down/ {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@DOWN@;
        return 200 "ok";
    }"""), values={"COLLECTOR": collector.port, "DOWN": port})
    pid = nginx.worker_pids()[0]
    failed = "[KESTRELVANES] thread_handler: send failed, ret=-1"
    with ClientConnection(nginx.port) as c:
        assert c.exchange(get("/down/1")).status == 200
        nginx.wait_log(failed, timeout=5)
        began = time.monotonic()
        assert c.exchange(get("/down/2")).status == 200
        wait_until(lambda: time.monotonic() - began > 2.2, 3)
        assert c.exchange(get("/down/3")).status == 200
        nginx.wait_log(re.compile(f"({re.escape(failed)}.*){{2}}", re.S),
                       timeout=5)
    done = time.monotonic()
    c, _ = counters(collector, done, pid=pid)
    assert c.get("hdr_filter_hit") == 2, c          # 1 and 3
    assert c.get("log_skipped_in_backoff") == 1, c  # 2
    assert c.get("logs_send_fail") == 2, c
    assert c.get("transport_init_failed") == 2, c
    assert "task_post_failed" not in c, c


def test_head_and_long_responses(nginx, collector, upstream):
    big = bytes(range(256)) * 390 + b"0123456789" * 16      # 100000 bytes
    assert len(big) == 100000
    answers = {
        "/long": Reply(200, [], big),
        "/chunked": Reply(200, [("Transfer-Encoding", "chunked")],
                          b"".join(b"%x\r\n%s\r\n" % (n, big[i:i + n])
                                   for i, n in ((0, 30000), (30000, 70000)))
                          + b"0\r\n\r\n"),
    }
    answers["/nothing"] = Reply(204, [("X-Why", "empty")])
    upstream.responder = lambda m: answers.get(m.path)
    upstream.set_response(200, [("Content-Type", "text/plain")],
                          b"x" * 11)
    nginx.start(merged_config(
        location="proxy_pass http://127.0.0.1:@UP@;",
        more="""
    location /unbuffered/ {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        proxy_buffering off;
        proxy_pass http://127.0.0.1:@UP@/;
    }
    location /empty/ {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        return 204;
    }"""), values={"COLLECTOR": collector.port, "UP": upstream.port})
    pid = nginx.worker_pids()[0]
    with ClientConnection(nginx.port) as c:
        head = c.exchange(request_bytes("HEAD", "/h", [("Host", "h")]),
                          head_only=True)
        assert head.status == 200 and head.header("Content-Length") == "11"
        assert c.exchange(get("/nothing")).status == 204
        assert c.exchange(get("/empty/")).status == 204
        for path in ("/long", "/chunked", "/unbuffered/long",
                     "/unbuffered/chunked"):
            assert c.exchange(get(path)).body == big, path
    done = time.monotonic()

    # responses without a body are logged too, once
    logs = merged_by_uri(merged_logs(collector, count=7))
    h = logs["/h"]
    assert h.request["method"] == "HEAD" and h.response["status"] == 200
    assert h.resp_body() is None
    assert h.resp_headers["Content-Length"] == "11"
    nothing = logs["/nothing"]
    assert nothing.response["status"] == 204
    assert nothing.resp_headers["X-Why"] == "empty"
    assert nothing.resp_body() is None
    assert logs["/empty/"].response["status"] == 204
    for path in ("/long", "/chunked", "/unbuffered/long",
                 "/unbuffered/chunked"):
        log = logs[path]
        # the capture keeps the first 28k; the merged log does not mark
        # what the capture limit cut
        assert log.resp_body() == big[:28672], path
        assert "X-Kv-Resp-Truncated-Body" not in log.resp_headers
    c, _ = counters(collector, done, pid=pid)
    # HEAD and the 204 nginx answers itself have no body at all; the
    # proxied 204 ends with an empty last buffer like any response
    assert c.get("hdr_only") == 2 and c["logs_sent"] == 7, c


def test_level_recorded_at_authorization_wins(nginx, collector, upstream,
                                              auth_server_factory):
    # Two requests wait in authorization while a heartbeat reply lowers
    # the level to minimum: they were admitted at the default level and
    # are logged in full (reporting the sensor's level now); requests
    # authorized afterwards are logged at the minimum.
    auth = auth_server_factory()
    collector.set_heartbeat_reply(headers=[("X-Kv-Logging-Level", "minimum")])
    changed = "Logging mode changed to minimum"

    def hold(msg):
        if (msg.header("X-Req-Uri") or "").startswith("/held"):
            wait_until(lambda: changed in nginx.error_log(), 12)
        return None
    auth.responder = hold
    more = """
    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }"""
    for prefix, extra in (("held", ""), ("after", ""),
                          ("held-merged", "ext_auth_log_server "
                           "http://127.0.0.1:@COLLECTOR@;"),
                          ("after-merged", "ext_auth_log_server "
                           "http://127.0.0.1:@COLLECTOR@;")):
        more += f"""
    location /{prefix}/ {{
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
        {extra}
    }}"""
    nginx.start(merged_config(heartbeat="5s", more=more),
                values={"COLLECTOR": collector.port, "UP": upstream.port,
                        "AUTH": auth.port})

    results = {}

    def fetch(path):
        results[path] = one_exchange(nginx.port, get(path), timeout=15)[0]
    held = [threading.Thread(target=fetch, args=(p,))
            for p in ("/held/x", "/held-merged/x")]
    for t in held:
        t.start()
    for t in held:
        t.join(15)
    assert changed in nginx.error_log()
    for path in ("/after/x", "/after-merged/x"):
        fetch(path)
    assert all(r.status == 200 and r.body == b"app"
               for r in results.values()), results

    logs = {log.value("X-Req-Uri"): log
            for log in response_logs(auth, count=2)}
    full, least = logs["/held/x"], logs["/after/x"]
    assert full.value("X-App") == "1" and full.body == b"app"
    assert full.values("X-Req-Time") and full.value("X-Orig-Length") == " 3"
    assert least.values("X-App") == [] and least.values("X-Req-Time") == []
    assert least.body == b"" and least.values("X-Orig-Length") == []
    for log in (full, least):
        assert log.value("X-Kv-Sensor-Logging-Level") == "minimum"

    merged = merged_by_uri(merged_logs(collector, count=2))
    full, least = merged["/held-merged/x"], merged["/after-merged/x"]
    assert full.req_headers["Host"] == "h" and full.resp_body() == b"app"
    assert full.resp_headers["X-App"] == "1"
    assert list(least.req_headers) == ["X-Request-Id"]
    assert least.resp_body() is None and "X-App" not in least.resp_headers
    for log in (full, least):
        assert log.resp_headers["X-Kv-Sensor-Logging-Level"] == "minimum"


def test_clients_get_the_same_responses_with_the_sensor_on(
        nginx_factory, collector, upstream):
    big = bytes(range(256)) * 1200                       # 307200 bytes
    answers = {
        "/big": Reply(200, [("Content-Type", "application/octet-stream"),
                            ("ETag", '"e1"')], big),
        "/chunked": Reply(200, [("Transfer-Encoding", "chunked")],
                          b"".join(b"%x\r\n%s\r\n" % (n, big[i:i + n])
                                   for i, n in ((0, 1), (1, 50000),
                                                (50001, 60000)))
                          + b"0\r\n\r\n"),
        "/none": Reply(204, [("X-Why", "none")]),
        "/moved": Reply(302, [("Location", "/elsewhere")], b"moved"),
    }
    upstream.responder = lambda m: answers.get(m.path)
    instances = []
    for switch in ("on", "off"):
        inst = nginx_factory()
        inst.start(merged_config(
            switch=switch, location="proxy_pass http://127.0.0.1:@UP@;",
            more="""
    location /own/ {
        kestrelvanes_http_access_enable %s;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        return 200 "nginx itself";
    }""" % switch), values={"COLLECTOR": collector.port,
                            "UP": upstream.port})
        instances.append(inst)

    requests = [(get(p), False) for p in
                ("/big", "/chunked", "/none", "/moved", "/small", "/own/")]
    requests += [(request_bytes("HEAD", "/big", [("Host", "h")]), True),
                 (request_bytes("POST", "/small", [
                     ("Host", "h"), ("Content-Length", "5")], b"hello"),
                  False)]
    seen = []
    for inst in instances:
        with ClientConnection(inst.port) as c:
            seen.append([c.exchange(data, head_only) for data, head_only
                         in requests])
    on, off = seen
    for a, b in zip(on, off):
        assert (a.status, a.headers_without("Date"), a.body) == (
            b.status, b.headers_without("Date"), b.body)
        if a.header("Transfer-Encoding") is None:
            assert a.raw.split(b"\r\n", 2)[0] == b.raw.split(b"\r\n", 2)[0]
    assert on[0].body == big and on[1].body == big[:110001]
    # the sensor was on for one of them: every exchange was logged
    assert len(merged_logs(collector, count=len(requests))) == len(requests)
