"""Authorization that the collector cannot open, and fail-open that never
passes in silence.

A location with ``ext_auth_follow_collector off`` asks the authorization
service whatever the collector says (bypass policies, ``nologging``, a
backoff), while what is captured still follows the collector.  A body the
protected location accepted reaches the authorizer whatever the
authorization location's own limits.  Every request that fail-open lets
through is counted and logged.
"""

import re
import time

import pytest

from harness import free_port, http_request, wait_until
from harness.monitoring import header_policy, policy_body, url_policy
from harness.sensorlogs import counters, merged_logs

STATS = """
ext_stats_server http://127.0.0.1:@COLLECTOR@;
ext_stats_period 5s;
ext_heartbeat_period %s;
"""

PROTECTED = """
    location /%(name)s/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        %(extra)s
        proxy_pass http://127.0.0.1:@UP@;
    }
"""

STEERING = STATS % "5s" + """
ext_initial_backoff_duration 15000;
server {
    listen 127.0.0.1:@PORT@;
    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
""" + PROTECTED % {"name": "open", "extra": ""} + PROTECTED % {
    "name": "closed", "extra": "ext_auth_follow_collector off;"} + """
}
"""

POLICIES = policy_body(url_policy("1", ["^/(open|closed)/url-skip"]),
                       header_policy("1", [("X-Skip", "^yes$")]))
SKIP = [("X-Skip", "yes")]


@pytest.fixture
def upstream(auth_server_factory):
    up = auth_server_factory()
    up.set_response(200, [], b"app")
    return up


def asked(auth_server):
    return [m.header("X-Req-Uri") for m in auth_server.requests]


def status(nginx, path, headers=()):
    return http_request(nginx.port, path, headers=list(headers)).status


def test_unfollowed_location_asks_whatever_the_collector_says(
        nginx, collector, auth_server, upstream):
    # The service refuses everything: a 200 means nobody asked it.  The
    # collector installs bypass policies, then turns logging off, then
    # back on, and then goes away, which starts a backoff.
    auth_server.set_response(403)
    collector.set_heartbeat_reply(200, [], POLICIES)
    nginx.start(STEERING, values={"COLLECTOR": collector.port,
                                  "AUTH": auth_server.port,
                                  "UP": upstream.port})

    wait_until(lambda: status(nginx, "/open/url-skip/probe") == 200, 15)
    auth_server.clear()
    got = {path: status(nginx, path, headers) for path, headers in (
        ("/open/url-skip/1", ()), ("/open/header", SKIP),
        ("/closed/plain", ()), ("/closed/url-skip/1", ()),
        ("/closed/header", SKIP))}

    collector.set_heartbeat_reply(
        200, [("X-Kv-Logging-Level", "nologging")], POLICIES)
    nginx.wait_log("Logging mode changed to nologging", timeout=12)
    got.update({p: status(nginx, p) for p in ("/open/off", "/closed/off")})

    collector.set_heartbeat_reply(
        200, [("X-Kv-Logging-Level", "default")], POLICIES)
    nginx.wait_log("Logging mode changed to default", timeout=12)

    # what is captured still follows the collector: of the closed
    # location only the request nothing steered
    def closed_logs(_):
        uris = [log.uri for log in merged_logs(collector)
                if log.uri.startswith("/closed/")]
        return uris if uris else None
    assert collector.wait_for(closed_logs, 5) == ["/closed/plain"]

    collector.stop()
    mark = nginx.log_mark()
    got["/closed/last"] = status(nginx, "/closed/last")
    nginx.wait_log("send failed", timeout=10, since=mark)
    got.update({p: status(nginx, p)
                for p in ("/open/backoff", "/closed/backoff")})

    assert got == {
        "/open/url-skip/1": 200, "/open/header": 200,
        "/closed/plain": 403, "/closed/url-skip/1": 403,
        "/closed/header": 403, "/open/off": 200, "/closed/off": 403,
        "/closed/last": 403, "/open/backoff": 200, "/closed/backoff": 403}
    assert asked(auth_server) == [
        "/closed/plain", "/closed/url-skip/1", "/closed/header",
        "/closed/off", "/closed/last", "/closed/backoff"]
    assert sorted(m.target for m in upstream.requests
                  if "probe" not in m.target) == [
        "/open/backoff", "/open/header", "/open/off", "/open/url-skip/1"]
    assert "let through unauthorized" not in nginx.error_log()


BIG = """
server {
    listen 127.0.0.1:@PORT@;
    client_body_buffer_size 64k;
    location = /_auth {
        internal;
        %(auth_extra)s
        proxy_pass http://127.0.0.1:@AUTH@;
    }
    location = /_auth_next {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
    location /big/ {
        client_max_body_size 10m;
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
"""


def chunked(body, size=100_000):
    parts = [b"%x\r\n%s\r\n" % (len(body[i:i + size]), body[i:i + size])
             for i in range(0, len(body), size)]
    return b"".join(parts) + b"0\r\n\r\n"


@pytest.mark.parametrize("framing,auth_extra", [
    ("content-length", ""), ("chunked", ""),
    # the subrequest looks its location up a second time
    ("content-length", "rewrite ^ /_auth_next last;"),
], ids=["content-length", "chunked", "rewritten"])
def test_accepted_body_reaches_authorizer_past_its_location_limit(
        nginx, auth_server, upstream, framing, auth_extra):
    # The protected location takes 10 MB; the authorization locations keep
    # nginx's 1 MB default.  A 5 MB body is the authorizer's to judge: a
    # 413 of the authorization location would be a failure, and fail-open
    # (on by default) would let the request through unasked.
    nginx.start(BIG % {"auth_extra": auth_extra},
                values={"AUTH": auth_server.port, "UP": upstream.port})
    body = bytes((i * 31) % 251 for i in range(5 * 1024 * 1024))
    if framing == "chunked":
        headers, sent = [("Transfer-Encoding", "chunked")], chunked(body)
    else:
        headers, sent = [], body

    for answer in (403, 200):
        auth_server.clear()
        upstream.clear()
        auth_server.set_response(answer)
        resp = http_request(nginx.port, "/big/upload", method="POST",
                            headers=headers, body=sent, timeout=30)
        assert resp.status == answer
        [judged] = auth_server.wait_requests(1)
        assert judged.header("X-Req-Uri") == "/big/upload"
        assert judged.body == body
        served = upstream.wait_requests(1) if answer == 200 else []
        assert [m.body == body for m in served] == (
            [True] if answer == 200 else [])
    log = nginx.error_log()
    assert "too large body" not in log
    assert "let through unauthorized" not in log


FAIL_OPEN = STATS % "0" + """
server {
    listen 127.0.0.1:@PORT@;
    location = /_auth_down {
        internal;
        proxy_pass http://127.0.0.1:@DOWN@;
    }
    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
    # the authorization location lets its own 502 through
    location /down/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth_down;
        proxy_pass http://127.0.0.1:@UP@;
    }
    # the protected location lets an unexpected answer through
    location /odd/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /strict/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        ext_auth_fail_allow off;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
"""

WARNING = re.compile(
    r"^(\S+ \S+) \[warn\] \d+#\d+: \*\d+ authorization failed with status "
    r"(\d+), request let through unauthorized by ext_auth_fail_allow"
    r"(?: \((\d+) more since the last such message\))?(?: while [^,]*)?, "
    r"client: \S+, "
    r"server: \S*, request: \"GET (\S+) HTTP/1.1\"", re.M)


def test_every_request_let_through_by_fail_open_is_counted_and_logged(
        nginx, collector, auth_server, upstream):
    auth_server.set_response(404)
    nginx.start(FAIL_OPEN, values={"COLLECTOR": collector.port,
                                   "AUTH": auth_server.port,
                                   "UP": upstream.port, "DOWN": free_port()})
    paths = ([f"/down/{i}" for i in range(6)] + [f"/odd/{i}" for i in range(4)]
             + ["/strict/0", "/strict/1"])
    got = [status(nginx, p) for p in paths]
    burst_end = time.monotonic()
    assert got == [200] * 10 + [500, 500]

    # a second later the next one is logged again, with the count of
    # those that were not
    wait_until(lambda: time.monotonic() - burst_end > 1.1, 2)
    assert status(nginx, "/down/last") == 200
    nginx.wait_log(re.compile(r"let through unauthorized.*"
                              r"request: \"GET /down/last "), timeout=5)

    lines = WARNING.findall(nginx.error_log())
    assert lines[0][1:] == ("502", "", "/down/0")
    assert lines[-1][3] == "/down/last"
    # each one let through is a line or counted in the next one's
    assert sum(1 + int(more or 0) for _, _, more, _ in lines) == 11
    assert {code for _, code, _, _ in lines} <= {"502", "404"}
    # never two lines in one second
    stamps = [stamp for stamp, _, _, _ in lines]
    assert len(stamps) == len(set(stamps)), stamps

    # the strict location's failures were not let through: not counted
    _, auth = counters(collector, time.monotonic())
    assert auth.get("fail_open_passed") == 11, auth
