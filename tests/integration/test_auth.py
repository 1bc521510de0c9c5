"""Authorization through an internal subrequest: what the authorization
service receives, how its answer decides the client's request, the
variables it leaves behind, and how the collector switches it off."""

import http.client
import json
import re
import socket
import subprocess
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from harness import (Deadline, Reply, Response, free_port, http_request,
                     wait_until)

# The identification headers, in the order they follow the client's own.
IDENT = ["X-Request-Id", "X-Req-Uri", "X-Method", "X-Req-Host",
         "X-Client-Addr", "X-Req-Time", "X-Forwarded-For",
         "X-Forwarded-Proto"]
# Request headers nginx's proxy replaces with its own (its default
# proxy_set_header list), so the authorization service never sees the
# client's copies of them.
PROXY_REPLACED = {"host", "connection", "content-length", "transfer-encoding",
                  "te", "keep-alive", "expect", "upgrade"}
# A client's own headers of these names would pose as the sensor's: they
# are not passed on (X-Request-Id is, ahead of the sensor's).
POSING = {n.lower() for n in IDENT} - {"x-request-id"}
STATS_PATH = "/nginxstats"

# The authorization location as a user writes it: proxied with the body.
AUTH_LOCATION = """
    location = /_auth {
        internal;
        proxy_pass %(auth_url)s;
        proxy_pass_request_body on;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        %(auth_extra)s
    }
"""

PROTECTED = """
server {
    listen 127.0.0.1:@PORT@;
    client_body_buffer_size %(body_buffer)s;
""" + AUTH_LOCATION + """
    location /api/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        add_header X-Rid $request_id always;
        add_header X-Opc "[$opc_endpoint]" always;
        %(api_extra)s
        proxy_pass http://127.0.0.1:@UP@;
    }
    %(more)s
}
"""


def _start(nginx, auth, upstream, *, body_buffer="16k", auth_extra="",
           api_extra="", more="", http_extra="", values=None, **options):
    conf = http_extra + PROTECTED % {
        "auth_url": f"{auth.scheme}://127.0.0.1:@AUTH@",
        "body_buffer": body_buffer, "auth_extra": auth_extra,
        "api_extra": api_extra, "more": more}
    nginx.start(conf, values={"AUTH": auth.port, "UP": upstream.port,
                              **(values or {})}, **options)
    return nginx


@pytest.fixture
def upstream(auth_server_factory):
    """The application behind the protected location."""
    up = auth_server_factory()
    up.set_response(200, [("X-App", "yes")], b"app")
    return up


def _request(port, method="GET", path="/api/x", headers=(), body=None,
             timeout=10.0):
    """One request on a fresh connection, headers exactly as given (no
    automatic Host); returns (Response, the client socket's local port)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.connect()
        local_port = conn.sock.getsockname()[1]
        conn.putrequest(method, path, skip_host=True,
                        skip_accept_encoding=True)
        for name, value in headers:
            conn.putheader(name, value)
        if body is not None:
            conn.putheader("Content-Length", str(len(body)))
        conn.endheaders(body)
        resp = conn.getresponse()
        data = resp.read()
        return (Response(resp.status, resp.reason, resp.getheaders(), data),
                local_port)
    finally:
        conn.close()


def _passed(msg):
    """What the authorization service got of the subrequest's header list:
    everything after the headers nginx's proxy puts first."""
    own = [n.lower() for n, _ in msg.headers[:2]]
    assert own[0] == "host", msg.headers
    skip = 2 if own[1:] == ["content-length"] else 1
    return msg.headers[skip:]


def _expected_passthrough(client_headers):
    return [(n, v) for n, v in client_headers
            if n.lower() not in PROXY_REPLACED | POSING]


def _ident(msg):
    """The eight identification headers: the last eight of the message."""
    tail = msg.headers[-8:]
    assert [n for n, _ in tail] == IDENT, msg.headers
    return dict(tail)


def _read_response(sock, timeout=10.0):
    """Read one Content-Length framed response (or until EOF)."""
    deadline = Deadline(timeout)
    out = b""
    while not deadline.expired():
        head, sep, rest = out.partition(b"\r\n\r\n")
        if sep:
            m = re.search(rb"(?im)^content-length:\s*(\d+)", head)
            if m and len(rest) >= int(m.group(1)):
                return out
        sock.settimeout(max(deadline.remaining(), 0.01))
        chunk = sock.recv(65536)
        if not chunk:
            return out
        out += chunk
    raise AssertionError(f"no whole response within {timeout}s: {out!r}")


def _exchange(port, data, timeout=10.0):
    """Send raw bytes and read until nginx closes.  Unlike raw_exchange the
    write side stays open: nginx takes a half-close for a client that went
    away and drops the request while it is being authorized."""
    deadline = Deadline(timeout)
    out = b""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        while not deadline.expired():
            s.settimeout(max(deadline.remaining(), 0.01))
            chunk = s.recv(65536)
            if not chunk:
                return out
            out += chunk
    raise AssertionError(f"connection not closed within {timeout}s: {out!r}")


def _status(raw):
    return int(raw.split(b" ", 2)[1])


# statistics documents


def _stats_docs(collector):
    return [json.loads(m.body) for m in collector.find_messages(STATS_PATH)]


def _stat_total(collector, section, key):
    return sum(doc[section].get(key, 0) for doc in _stats_docs(collector))


def _wait_stat(collector, section, key, at_least, timeout=12.0):
    """Wait until the statistics documents add up to ``at_least`` for the
    counter; return the total (counters reset at every document)."""
    __tracebackhide__ = True
    return collector.wait_for(
        lambda _: (lambda t: t if t >= at_least else None)(
            _stat_total(collector, section, key)),
        timeout, message=f"{section}.{key} never reached {at_least}: "
        f"{_stats_docs(collector)}")


STATS_CONF = """
ext_stats_server http://127.0.0.1:@COLLECTOR@;
ext_stats_period 5s;
ext_heartbeat_period %s;
"""


# what the authorization service receives


@pytest.mark.parametrize("method,body", [("POST", b"0123456789"),
                                         ("GET", None)],
                         ids=["post-10-bytes", "get-no-body"])
def test_subrequest_carries_client_request(nginx, auth_server, upstream,
                                           method, body):
    # The answer comes late so that an upstream contacted before the
    # decision would be seen before the answer went out.
    auth_server.set_response(200, [], b"", delay=0.3)
    _start(nginx, auth_server, upstream)
    client_headers = [
        ("Host", "shop.example"),
        ("User-Agent", "kv-test"),
        ("X-Request-Id", "client-chosen-id"),
        ("X-Dup", "one"),
        ("X-Forwarded-For", "127.0.0.9"),
        ("X-Dup", "two"),
        ("Accept", "*/*"),
    ]
    before_ms = int(time.time() * 1000)
    resp, client_port = _request(nginx.port, method, "/api/item?q=1&r=2",
                                 client_headers, body)
    after_ms = int(time.time() * 1000)
    assert resp.status == 200 and resp.body == b"app"

    [asked] = auth_server.wait_requests(1)
    assert (asked.method, asked.target) == ("POST", "/_auth")
    assert asked.body == (body or b"")
    assert asked.header("Content-Length") == (str(len(body)) if body
                                              else None)
    assert _passed(asked)[:-8] == _expected_passthrough(client_headers)

    ident = _ident(asked)
    worker = nginx.worker_pids()[0]
    rid = resp.header("X-Rid")
    assert re.fullmatch(r"[0-9a-f]{32}", rid)
    assert ident["X-Request-Id"] == f"{worker:x}-{rid}"[:32]
    assert ident["X-Req-Uri"] == "/api/item?q=1&r=2"
    assert ident["X-Method"] == method
    assert ident["X-Req-Host"] == "shop.example"
    assert ident["X-Client-Addr"] == f"127.0.0.1:{client_port}"
    # nginx stamps the start from its cached clock, which may trail the
    # wall clock by the time of one event loop turn
    assert before_ms - 50 <= int(ident["X-Req-Time"]) <= after_ms
    assert ident["X-Forwarded-For"] == "127.0.0.9, 127.0.0.1"
    assert ident["X-Forwarded-Proto"] == "http"
    # the client's own request id stays, ahead of the computed one; its
    # X-Forwarded-For is in the computed chain only
    assert asked.header_all("X-Request-Id") == ["client-chosen-id",
                                                ident["X-Request-Id"]]
    assert asked.header_all("X-Forwarded-For") == [ident["X-Forwarded-For"]]

    [served] = upstream.wait_requests(1)
    assert (served.method, served.target, served.body) == (
        method, "/api/item?q=1&r=2", body or b"")
    assert served.started_at >= asked.received_at + 0.3 - 0.02


def test_client_cannot_pose_as_identification(nginx, auth_server, upstream):
    # A client that sends the identification headers itself, in any case,
    # spread over nginx's header list parts of 20: the authorizer sees each
    # name once, with the sensor's value.
    _start(nginx, auth_server, upstream,
           http_extra="large_client_header_buffers 4 16k;\n")
    posing = [("x-req-uri", "/public"), ("X-METHOD", "GET"),
              ("X-Req-Host", "public.example"), ("x-client-addr", "10.9.9.9:1"),
              ("X-Req-Time", "1"), ("X-Forwarded-For", "10.1.1.1"),
              ("x-forwarded-for", "10.2.2.2"), ("X-Forwarded-Proto", "https"),
              ("X-Request-Id", "client-id")]
    fillers = [(f"X-F{i:02d}", f"f{i}") for i in range(30)]
    headers = [("Host", "shop.example")] + fillers[:15] + posing[:5] \
        + fillers[15:] + posing[5:]
    resp, port = _request(nginx.port, "DELETE", "/api/admin?all=1", headers)
    assert resp.status == 200
    [asked] = auth_server.wait_requests(1)
    assert _passed(asked)[:-8] == fillers + [("X-Request-Id", "client-id")]
    ident = _ident(asked)
    assert {k: v for k, v in ident.items() if k != "X-Req-Time"} == {
        "X-Request-Id": ident["X-Request-Id"],
        "X-Req-Uri": "/api/admin?all=1", "X-Method": "DELETE",
        "X-Req-Host": "shop.example", "X-Client-Addr": f"127.0.0.1:{port}",
        "X-Forwarded-For": "10.1.1.1, 10.2.2.2, 127.0.0.1",
        "X-Forwarded-Proto": "http"}
    assert int(ident["X-Req-Time"]) > 1
    assert asked.header_all("X-Request-Id") == ["client-id",
                                                ident["X-Request-Id"]]


@pytest.mark.parametrize("count", [1, 20, 21, 45],
                         ids=["host-only", "one-full-part", "two-parts",
                              "three-parts"])
def test_client_headers_without_posing_pass_whole(nginx, auth_server,
                                                  upstream, count):
    # Nothing to leave out: the client's list goes along as nginx holds it,
    # in one part of 20 or over several, in order and with duplicates, and
    # the identification headers follow it.
    _start(nginx, auth_server, upstream)
    fillers = [(f"X-F{i:02d}", f"f{i % 7}") for i in range(count - 1)]
    headers = [("Host", "shop.example")] + fillers
    resp, port = _request(nginx.port, "GET", "/api/list?n=1", headers)
    assert resp.status == 200
    [asked] = auth_server.wait_requests(1)
    assert _passed(asked)[:-8] == fillers
    ident = _ident(asked)
    assert (ident["X-Req-Uri"], ident["X-Method"], ident["X-Req-Host"],
            ident["X-Client-Addr"], ident["X-Forwarded-For"],
            ident["X-Forwarded-Proto"]) == (
        "/api/list?n=1", "GET", "shop.example", f"127.0.0.1:{port}",
        "127.0.0.1", "http")
    worker, rid = nginx.worker_pids()[0], resp.header("X-Rid")
    assert ident["X-Request-Id"] == f"{worker:x}-{rid}"[:32]


def test_proxy_set_header_replaces_identification(nginx, auth_server,
                                                 upstream):
    # A header the authorization location sets itself replaces the
    # subrequest's header of that name, the added ones as much as the
    # client's, whatever the proxy's header table looks like.
    _start(nginx, auth_server, upstream, auth_extra="""
        proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
        proxy_set_header X-Forwarded-Proto $scheme;
        proxy_set_header X-Request-Id "proxy-$request_id";
        proxy_set_header X-Method "";
        proxy_set_header X-Req-Time "";
""")
    resp, _ = _request(nginx.port, "POST", "/api/r",
                       [("Host", "h"), ("X-Request-Id", "client"),
                        ("X-Forwarded-For", "127.0.0.9")], b"body")
    assert resp.status == 200
    [asked] = auth_server.wait_requests(1)
    names = [n.lower() for n, _ in asked.headers]
    for name in ("x-forwarded-for", "x-forwarded-proto", "x-request-id"):
        assert names.count(name) == 1, asked.headers
    assert "x-method" not in names and "x-req-time" not in names
    assert asked.header("X-Request-Id") == "proxy-" + resp.header("X-Rid")
    assert asked.header("X-Forwarded-For") == "127.0.0.9, 127.0.0.1"
    assert [n for n in names if n.startswith("x-req-")] == [
        "x-req-uri", "x-req-host"]
    assert asked.body == b"body"


@pytest.mark.parametrize("size,expect", [(10, False), (300_000, True)],
                         ids=["in-memory", "temp-file-expect-100"])
def test_body_read_whole_before_subrequest(nginx, auth_server, upstream,
                                           size, expect):
    _start(nginx, auth_server, upstream, body_buffer="1k")
    body = bytes(i % 251 for i in range(size))
    head = (f"PUT /api/upload HTTP/1.1\r\nHost: h\r\n"
            f"Content-Length: {size}\r\n"
            + ("Expect: 100-continue\r\n" if expect else "")
            + "\r\n").encode()
    mark = nginx.log_mark()
    with socket.create_connection(("127.0.0.1", nginx.port),
                                  timeout=10) as s:
        s.sendall(head)
        if expect:
            s.settimeout(5)
            assert s.recv(100).startswith(b"HTTP/1.1 100 Continue\r\n")
        half = size // 2
        s.sendall(body[:half])
        # nginx is waiting for the rest of the body: nothing was asked yet
        nginx.wait_log("ngx_http_read_client_request_body returned NGX_AGAIN",
                       since=mark)
        assert auth_server.requests == []
        s.sendall(body[half:])
        reply = _read_response(s)
    assert _status(reply) == 200, reply[:300]

    [asked] = auth_server.wait_requests(1)
    assert asked.header("Content-Length") == str(size)
    assert asked.body == body
    [served] = upstream.wait_requests(1)
    assert served.body == body
    if size > 1024:
        assert "a client request body is buffered to a temporary file" in \
            nginx.error_log(mark)


def test_header_list_copied_whole_in_order(nginx, auth_server, upstream):
    # nginx keeps request headers in parts of 20; counts around the part
    # boundaries and the one spare slot of the copy
    _start(nginx, auth_server, upstream,
           http_extra="large_client_header_buffers 4 16k;\n")
    for count in (19, 20, 21, 25, 40, 41, 60):
        auth_server.clear()
        headers = [("Host", "h")] + [(f"X-H{i:02d}", f"v{i}")
                                     for i in range(1, count)]
        resp, _ = _request(nginx.port, "GET", f"/api/n{count}", headers)
        assert resp.status == 200
        [asked] = auth_server.wait_requests(1)
        assert [n for n, _ in _passed(asked)] == (
            [n for n, _ in headers[1:]] + IDENT), count
        assert _passed(asked)[:count - 1] == headers[1:], count
        assert _ident(asked)["X-Req-Uri"] == f"/api/n{count}"


@pytest.mark.parametrize("size", [11, 300_000], ids=["in-memory",
                                                     "temp-file"])
def test_chunked_body_read_before_authorization(nginx, auth_server, upstream,
                                                size):
    # like a body with a length: the authorizer sees the whole body, and
    # nothing is asked before its last chunk has arrived
    _start(nginx, auth_server, upstream, body_buffer="1k")
    body = bytes(i % 253 for i in range(size))
    half = size // 2
    mark = nginx.log_mark()
    with socket.create_connection(("127.0.0.1", nginx.port),
                                  timeout=10) as s:
        s.sendall(b"POST /api/stream HTTP/1.1\r\nHost: h\r\n"
                  b"Transfer-Encoding: chunked\r\n\r\n"
                  + b"%x\r\n" % half + body[:half] + b"\r\n")
        nginx.wait_log("ngx_http_read_client_request_body returned NGX_AGAIN",
                       since=mark)
        assert auth_server.requests == []
        s.sendall(b"%x\r\n" % (size - half) + body[half:]
                  + b"\r\n0\r\n\r\n")
        reply = _read_response(s)
    assert _status(reply) == 200, reply[:300]
    [asked] = auth_server.wait_requests(1)
    assert asked.body == body and not asked.chunked
    assert asked.header("Content-Length") == str(size)
    assert asked.header("Transfer-Encoding") is None
    [served] = upstream.wait_requests(1)
    assert served.body == body


def test_http10_without_host(nginx, auth_server, upstream):
    _start(nginx, auth_server, upstream)
    out = _exchange(nginx.port, b"GET /api/old HTTP/1.0\r\n\r\n")
    assert _status(out) == 200
    [asked] = auth_server.wait_requests(1)
    assert ("X-Req-Host", "") in asked.headers
    assert _ident(asked)["X-Req-Host"] == ""


def test_keepalive_and_pipelined_requests(nginx, auth_server, upstream):
    # each request of a connection is authorized on its own, with its own
    # body, also when the next request already sits in nginx's buffer
    _start(nginx, auth_server, upstream)
    reqs = [b"POST /api/p1 HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\n"
            b"one",
            b"GET /api/p2 HTTP/1.1\r\nHost: h\r\n\r\n",
            b"POST /api/p3 HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n"
            b"Connection: close\r\n\r\nthree"]
    out = _exchange(nginx.port, b"".join(reqs))
    assert out.count(b"HTTP/1.1 200 ") == 3, out
    asked = auth_server.wait_requests(3)
    assert [(_ident(m)["X-Req-Uri"], m.body) for m in asked] == [
        ("/api/p1", b"one"), ("/api/p2", b""), ("/api/p3", b"three")]
    served = upstream.wait_requests(3)
    assert [(m.target, m.body) for m in served] == [
        ("/api/p1", b"one"), ("/api/p2", b""), ("/api/p3", b"three")]


@pytest.mark.parametrize("stage", ["reading-body", "awaiting-answer"])
def test_client_gone_before_decision(nginx, auth_server, upstream, stage):
    auth_server.set_response(200, delay=0.5 if stage == "awaiting-answer"
                             else 0.0)
    _start(nginx, auth_server, upstream)
    mark = nginx.log_mark()
    with socket.create_connection(("127.0.0.1", nginx.port),
                                  timeout=5) as s:
        if stage == "reading-body":
            s.sendall(b"POST /api/gone HTTP/1.1\r\nHost: h\r\n"
                      b"Content-Length: 100\r\n\r\npartial")
            nginx.wait_log("ngx_http_read_client_request_body returned "
                           "NGX_AGAIN", since=mark)
        else:
            s.sendall(b"POST /api/gone HTTP/1.1\r\nHost: h\r\n"
                      b"Content-Length: 4\r\n\r\nbody")
            auth_server.wait_requests(1)
    nginx.wait_log("client prematurely closed connection", since=mark)
    if stage == "awaiting-answer":
        # the late answer finds the request gone
        wait_until(lambda: auth_server.requests[0].reply is not None
                   or auth_server.connections[0].closed, timeout=3)
    # the worker carries on, and the broken request never went upstream
    assert http_request(nginx.port, "/api/after").status == 200
    assert [m.target for m in upstream.wait_requests(1)] == ["/api/after"]
    assert [_ident(m)["X-Req-Uri"] for m in auth_server.requests] == (
        ["/api/after"] if stage == "reading-body"
        else ["/api/gone", "/api/after"])


def test_settings_inherited_from_server(nginx, auth_server, upstream):
    # The authorization location inherits the switch too; subrequests
    # never pass the access phase, so it is not asked about itself.
    auth_server.set_response(200, [("X-User", "bob")])
    nginx.start("""
server {
    listen 127.0.0.1:@PORT@;
    kestrelvanes_http_auth_enable on;
    ext_auth_request /_auth;
    ext_auth_request_set $auth_user $upstream_http_x_user;
    add_header X-User "[$auth_user]" always;
    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
    location / {
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /public/ {
        kestrelvanes_http_auth_enable off;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /other/ {
        ext_auth_request off;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
""", values={"AUTH": auth_server.port, "UP": upstream.port})
    got = {p: http_request(nginx.port, p) for p in ("/x", "/public/x",
                                                    "/other/x")}
    assert {p: (r.status, r.header("X-User")) for p, r in got.items()} == {
        "/x": (200, "[bob]"), "/public/x": (200, "[]"),
        "/other/x": (200, "[]")}
    assert [_ident(m)["X-Req-Uri"] for m in auth_server.requests] == ["/x"]
    assert len(upstream.requests) == 3


# the decision


DECISION_MORE = """
    location /strict/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        ext_auth_fail_allow off;
        add_header X-Opc "[$opc_endpoint]" always;
        proxy_pass http://127.0.0.1:@UP@;
    }
"""


@pytest.mark.parametrize("status,headers,open_status,strict_status", [
    (200, [], 200, 200),
    (204, [], 200, 200),
    (299, [], 200, 200),
    (403, [], 403, 403),
    (401, [("WWW-Authenticate", 'Bearer realm="kv", error="expired"')],
     401, 401),
    (401, [], 401, 401),
    (302, [("Location", "http://127.0.0.1:1/login")], 200, 500),
    (404, [], 200, 500),
    # the authorization location's own fail-open turns 5xx into a pass
    (500, [], 200, 200),
    (503, [], 200, 200),
])
def test_answer_decides(nginx, auth_server, upstream, status, headers,
                        open_status, strict_status):
    auth_server.set_response(status, headers, b"auth says no" * 100)
    _start(nginx, auth_server, upstream, more=DECISION_MORE)
    www = dict(headers).get("WWW-Authenticate")
    for path, want in (("/api/a", open_status), ("/strict/a", strict_status)):
        upstream.clear()
        mark = nginx.log_mark()
        resp = http_request(nginx.port, path)
        assert resp.status == want, path
        assert resp.header_all("WWW-Authenticate") == (
            [www] if want == 401 and www else []), path
        # the authorization answer's body never reaches the client
        assert b"auth says no" not in resp.body
        assert bool(upstream.requests) == (want == 200), path
        if status in (302, 404):
            assert (f"auth request unexpected status: {status}"
                    in nginx.error_log(mark)), path


def test_fail_allow_words_in_any_case(nginx, auth_server, upstream):
    # "OFF" is off, like nginx's own flags; it once meant fail-open
    auth_server.set_response(404)
    _start(nginx, auth_server, upstream, more="""
    location /upper-off/ {
        kestrelvanes_http_auth_enable ON;
        ext_auth_request /_auth;
        ext_auth_fail_allow OFF;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /mixed-on/ {
        kestrelvanes_http_auth_enable On;
        ext_auth_request /_auth;
        kestrelvanes_http_auth_fail_allow oN;
        proxy_pass http://127.0.0.1:@UP@;
    }
""")
    assert http_request(nginx.port, "/upper-off/x").status == 500
    assert http_request(nginx.port, "/mixed-on/x").status == 200
    assert len(auth_server.requests) == 2
    assert [m.target for m in upstream.requests] == ["/mixed-on/x"]


SATISFY = """
server {
    listen 127.0.0.1:@PORT@;
    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
    location = /_auth_down {
        internal;
        proxy_pass http://127.0.0.1:@DOWN@;
    }
    location /any/ {
        satisfy any;
        auth_basic "kv";
        auth_basic_user_file @PREFIX@/htpasswd;
        %(guard)s
    }
    location /all/ {
        satisfy all;
        auth_basic "kv";
        auth_basic_user_file @PREFIX@/htpasswd;
        %(guard)s
    }
    location /deny/ {
        satisfy any;
        deny all;
        %(guard)s
    }
}
"""
GUARD = """
        kestrelvanes_http_auth_enable on;
        ext_auth_request %s;
        proxy_pass http://127.0.0.1:@UP@;
"""
ALICE = [("Authorization", "Basic YWxpY2U6c2VjcmV0")]  # alice:secret


# Only the service's 2xx authorizes: whatever else lets a request through
# leaves it to the location's other access rules.  Columns: satisfy any
# without and with credentials, satisfy all without and with, satisfy any
# with "deny all".
@pytest.mark.parametrize("case,expected", [
    ("granted", (200, 200, 401, 200, 200)),
    ("denied", (401, 200, 403, 403, 403)),
    ("nologging", (401, 200, 401, 200, 403)),
    ("service-down", (401, 200, 401, 200, 403)),
    ("unexpected-status", (401, 200, 401, 200, 403)),
])
def test_satisfy_with_other_access_rules(nginx, auth_server, upstream, case,
                                         expected):
    (nginx.prefix / "htpasswd").write_text("alice:{PLAIN}secret\n")
    (nginx.prefix / "htpasswd").chmod(0o644)
    auth_server.set_response({"granted": 200, "denied": 403,
                              "unexpected-status": 404}.get(case, 200))
    uri = "/_auth_down" if case == "service-down" else "/_auth"
    http_extra = ("ext_initial_logging_mode nologging;\n"
                  if case == "nologging" else "")
    nginx.start(http_extra + SATISFY % {"guard": GUARD % uri},
                values={"AUTH": auth_server.port, "UP": upstream.port,
                        "DOWN": free_port()})
    got = tuple(http_request(nginx.port, path, headers=dict(creds)).status
                for path, creds in (("/any/x", []), ("/any/x", ALICE),
                                    ("/all/x", []), ("/all/x", ALICE),
                                    ("/deny/x", [])))
    assert got == expected
    assert len(auth_server.requests) == (0 if case in ("nologging",
                                                       "service-down")
                                         else 5)
    assert len(upstream.requests) == expected.count(200)


def test_answers_over_kept_alive_connections(nginx, auth_server, upstream):
    # The README's authorizer setup: keep-alive connections to the
    # service.  The answer's body is never read (the subrequest is
    # header-only), so it must not be taken for the start of the next
    # answer on a reused connection.
    nginx.start("""
upstream authorizer { server 127.0.0.1:@AUTH@; keepalive 16; }
server {
    listen 127.0.0.1:@PORT@;
    location /api/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_authorize;
        ext_auth_fail_allow off;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location = /_authorize {
        internal;
        proxy_pass http://authorizer/v1/check;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
    }
}
""", values={"AUTH": auth_server.port, "UP": upstream.port})
    answers = [403, 200, 204, 204, 403, 401, 200, 204, 403, 200]
    for status in answers:
        auth_server.queue_response(
            status, [], b"" if status == 204 else b"HTTP/1.1 200 OK\r\n\r\n")
    got = [http_request(nginx.port, f"/api/k{i}", method="POST",
                        body=b"abc").status for i in range(len(answers))]
    assert got == [200 if s in (200, 204) else s for s in answers]
    asked = auth_server.wait_requests(len(answers))
    assert [(m.target, m.body) for m in asked] == [("/v1/check", b"abc")] \
        * len(answers)
    # answers without a body leave their connection for the next request
    assert len(auth_server.connections) < len(answers)


UNREACHABLE = """
    location = /_auth_down {
        internal;
        proxy_pass http://127.0.0.1:@DOWN@;
    }
    location = /_auth_down_strict {
        internal;
        ext_auth_fail_allow off;
        proxy_pass http://127.0.0.1:@DOWN@;
    }
    # the authorization location lets its own failure pass
    location /a/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth_down;
        ext_auth_fail_allow off;
        proxy_pass http://127.0.0.1:@UP@;
    }
    # nobody lets it pass
    location /b/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth_down_strict;
        ext_auth_fail_allow off;
        proxy_pass http://127.0.0.1:@UP@;
    }
    # the protected location lets the unexpected status pass
    location /c/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth_down_strict;
        proxy_pass http://127.0.0.1:@UP@;
    }
"""


def test_unreachable_authorization_server(nginx, collector, auth_server,
                                          upstream):
    _start(nginx, auth_server, upstream, more=UNREACHABLE,
           http_extra=STATS_CONF % "0",
           values={"DOWN": free_port(), "COLLECTOR": collector.port})
    got = {p: [http_request(nginx.port, f"{p}x{i}").status for i in range(2)]
           for p in ("/a/", "/b/", "/c/")}
    assert got == {"/a/": [200, 200], "/b/": [500, 500], "/c/": [200, 200]}
    assert [m.target for m in upstream.requests] == [
        "/a/x0", "/a/x1", "/c/x0", "/c/x1"]
    assert nginx.error_log().count("auth request unexpected status: 502") \
        == 4
    # only the overrides of the authorization location count
    assert _wait_stat(collector, "auth", "failure_overridden", 2) == 2
    assert _stat_total(collector, "auth", "sr_sent") == 6


# variables


def test_request_set_variables(nginx, auth_server, upstream):
    more = """
    location /deny/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        ext_auth_request_set $auth_user $upstream_http_x_user;
        add_header X-User "[$auth_user]" always;
        proxy_pass http://127.0.0.1:@UP@;
    }
"""
    api = """
        ext_auth_request_set $auth_user $upstream_http_x_user;
        ext_auth_request_set $auth_status "$upstream_status/$upstream_http_x_user";
        ext_auth_request_set $args $upstream_http_x_args;
        add_header X-User "[$auth_user]" always;
        add_header X-Auth-Status "[$auth_status]" always;
        add_header X-Upstream-User "[$upstream_http_x_user]" always;
"""
    _start(nginx, auth_server, upstream, api_extra=api, more=more)
    upstream.set_response(200, [("X-User", "from-app")], b"app")

    auth_server.set_response(200, [("X-User", "alice"),
                                   ("X-Args", "role=admin&id=7")])
    resp = http_request(nginx.port, "/api/v?orig=1")
    assert resp.status == 200
    assert resp.header_all("X-User") == ["from-app", "[alice]"]
    assert resp.header("X-Auth-Status") == "[200/alice]"
    assert resp.header("X-Upstream-User") == "[from-app]"
    # $args has a setter: the request goes on with the new arguments
    assert [m.target for m in upstream.wait_requests(1)] == [
        "/api/v?role=admin&id=7"]

    auth_server.set_response(403, [("X-User", "mallory")])
    resp = http_request(nginx.port, "/deny/v")
    assert resp.status == 403
    assert resp.header("X-User") == "[mallory]"


# the authorization server's address


OPC_MORE = """
    location = /_auth_local {
        internal;
        return 204;
    }
    location /local/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth_local;
        add_header X-Opc "[$opc_endpoint]" always;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /open/ {
        add_header X-Opc "[$opc_endpoint]" always;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location = /_auth_pool {
        internal;
        proxy_pass %s://authpool;
    }
    location /pool/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth_pool;
        add_header X-Opc "[$opc_endpoint]" always;
        proxy_pass http://127.0.0.1:@UP@;
    }
"""
# the first server refuses: the one that answered is named
AUTH_POOL = """
upstream authpool {
    server 127.0.0.1:@DOWN@;
    server 127.0.0.1:@AUTH@;
}
"""


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_opc_endpoint(nginx, auth_server_factory, upstream, tls):
    auth = auth_server_factory(tls=tls)
    _start(nginx, auth, upstream, more=OPC_MORE % auth.scheme,
           http_extra=AUTH_POOL, values={"DOWN": free_port()})
    prefix = "https://" if tls else ""
    resp = http_request(nginx.port, "/api/x")
    assert resp.status == 200
    assert resp.header("X-Opc") == f"[{prefix}127.0.0.1:{auth.port}]"
    resp = http_request(nginx.port, "/pool/x")
    assert (resp.status, resp.header("X-Opc")) == (
        200, f"[{prefix}127.0.0.1:{auth.port}]")
    assert "connect() failed (111: Connection refused)" in nginx.error_log()
    assert auth.wait_requests(1)[0].header("X-Forwarded-Proto") == "http"
    if tls:
        assert auth.connections[0].tls_version is not None
    # a 403 answer goes out with the header too (add_header ... always)
    auth.set_response(403)
    resp = http_request(nginx.port, "/api/y")
    assert (resp.status, resp.header("X-Opc")) == (
        403, f"[{prefix}127.0.0.1:{auth.port}]")
    # no subrequest went upstream: not found
    for path in ("/local/x", "/open/x"):
        resp = http_request(nginx.port, path)
        assert (resp.status, resp.header("X-Opc")) == (200, "[]"), path


# internal redirects after authorization


REDIRECT_MORE = """
    location /static/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        root @PREFIX@/html;
        error_page 404 = @fallback;
    }
    location @fallback {
        return 200 "fallback opc=[$opc_endpoint]";
    }
    location /guarded-fallback/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        root @PREFIX@/html;
        error_page 404 = @guarded;
    }
    location @guarded {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        add_header X-Opc "[$opc_endpoint]" always;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /intercept/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        proxy_intercept_errors on;
        error_page 503 = @upstream_error;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location @upstream_error {
        return 200 "upstream error opc=[$opc_endpoint]";
    }
    location /intercept-guarded/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        proxy_intercept_errors on;
        error_page 503 = @guarded;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /ssi/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        root @PREFIX@/html;
        ssi on;
    }
    location = /ssi-part {
        return 200 "part opc=[$opc_endpoint]";
    }
"""


def test_internal_redirects_after_authorization(nginx, auth_server,
                                                upstream):
    html = nginx.prefix / "html"
    (html / "static").mkdir(parents=True)
    (html / "static" / "here.txt").write_text("static file")
    (html / "ssi").mkdir()
    # set= makes SSI install its own post-subrequest record on the part:
    # $opc_endpoint there must not read it as an authorization context
    (html / "ssi" / "page.html").write_text(
        '<<!--# include virtual="/ssi-part" set="part" -->'
        '<!--# echo var="part" -->>')
    for p in [html] + list(html.rglob("*")):
        p.chmod(0o755 if p.is_dir() else 0o644)
    _start(nginx, auth_server, upstream, more=REDIRECT_MORE)
    opc = f"[127.0.0.1:{auth_server.port}]"

    resp = http_request(nginx.port, "/static/here.txt")
    assert (resp.status, resp.body) == (200, b"static file")
    assert len(auth_server.wait_requests(1)) == 1

    auth_server.clear()
    resp = http_request(nginx.port, "/static/missing.txt")
    assert (resp.status, resp.body) == (200, b"fallback opc=" +
                                        opc.encode())
    assert len(auth_server.wait_requests(1)) == 1

    # a protected target of the redirect asks again
    auth_server.clear()
    resp = http_request(nginx.port, "/guarded-fallback/missing")
    assert (resp.status, resp.header("X-Opc")) == (200, opc)
    assert [_ident(m)["X-Req-Uri"] for m in auth_server.wait_requests(2)] \
        == ["/guarded-fallback/missing"] * 2

    upstream.set_response(503, [], b"down")
    resp = http_request(nginx.port, "/intercept/x")
    assert (resp.status, resp.body) == (200, b"upstream error opc=" +
                                        opc.encode())

    # the redirected request is asked about again, with its body
    auth_server.clear()
    upstream.clear()
    upstream.queue_response(503, [], b"down")
    upstream.set_response(200, [], b"second try")
    resp = http_request(nginx.port, "/intercept-guarded/x", method="POST",
                        body=b"payload")
    assert (resp.status, resp.body, resp.header("X-Opc")) == (
        200, b"second try", opc)
    assert [(_ident(m)["X-Req-Uri"], m.body)
            for m in auth_server.wait_requests(2)] == [
        ("/intercept-guarded/x", b"payload")] * 2
    assert [m.body for m in upstream.wait_requests(2)] == [b"payload"] * 2

    resp = http_request(nginx.port, "/ssi/page.html")
    assert (resp.status, resp.body) == (200, b"<part opc=[]>")


# HTTP/2


def test_http2_with_body(nginx, auth_server, upstream, tls_cert, tmp_path):
    cert, key = tls_cert
    more = f"""
    }}
    server {{
        listen 127.0.0.1:@PORT2@ ssl http2;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        client_body_buffer_size 4k;
""" + AUTH_LOCATION % {"auth_url": "http://127.0.0.1:@AUTH@",
                       "auth_extra": ""} + """
        location /api/ {
            kestrelvanes_http_auth_enable on;
            ext_auth_request /_auth;
            add_header X-Opc "[$opc_endpoint]" always;
            proxy_pass http://127.0.0.1:@UP@;
        }
"""
    _start(nginx, auth_server, upstream, more=more)
    results = {}
    # "stream": read from a pipe, sent without a length; like a chunked
    # HTTP/1.1 body it is read whole before it is authorized
    for name, size in (("small", 10), ("large", 100_000), ("stream", 5000)):
        auth_server.clear()
        upstream.clear()
        body = bytes((i * 7) % 256 for i in range(size))
        src = tmp_path / f"{name}.bin"
        src.write_bytes(body)
        upload = (["-T", "-"] if name == "stream"
                  else ["--data-binary", f"@{src}"])
        out = subprocess.run(
            ["curl", "-sS", "-k", "--http2", "-o", "/dev/null",
             "-D", str(tmp_path / f"{name}.hdr"),
             "-w", "%{http_code} %{http_version}",
             "-H", "X-Client: h2", *upload,
             f"https://127.0.0.1:{nginx.port_n(2)}/api/h2?x=1"],
            input=body, capture_output=True, timeout=20, check=False)
        assert out.returncode == 0, out.stderr
        results[name] = out.stdout.decode()
        [asked] = auth_server.wait_requests(1)
        assert asked.body == body, name
        ident = _ident(asked)
        assert (ident["X-Method"], ident["X-Req-Uri"],
                ident["X-Forwarded-Proto"]) == (
            "PUT" if name == "stream" else "POST", "/api/h2?x=1", "https")
        assert ident["X-Req-Host"] == f"127.0.0.1:{nginx.port_n(2)}"
        assert asked.header("x-client") == "h2"
        [served] = upstream.wait_requests(1)
        assert served.body == body, name
        hdr = (tmp_path / f"{name}.hdr").read_text().lower()
        assert f"x-opc: [127.0.0.1:{auth_server.port}]" in hdr
    assert results == {"small": "200 2", "large": "200 2",
                       "stream": "200 2"}

    # streams of one connection, each waiting for its own answer at once
    auth_server.clear()
    upstream.clear()
    auth_server.set_response(200, delay=0.3)
    urls = [f"https://127.0.0.1:{nginx.port_n(2)}/api/par{i}"
            for i in range(4)]
    out = subprocess.run(
        ["curl", "-sS", "-k", "--http2", "-Z", "--data-binary", "same",
         "-w", "%{http_code} %{http_version} %{num_connects}\n"]
        + [a for u in urls for a in ("-o", "/dev/null", u)],
        capture_output=True, text=True, timeout=20, check=False)
    assert out.returncode == 0, out.stderr
    assert sorted(out.stdout.split("\n")) == ["", "200 2 0", "200 2 0",
                                              "200 2 0", "200 2 1"]
    asked = auth_server.wait_requests(4)
    assert sorted(_ident(m)["X-Req-Uri"] for m in asked) == [
        f"/api/par{i}" for i in range(4)]
    assert all(m.body == b"same" for m in asked)
    assert max(m.received_at for m in asked) < min(
        m.received_at for m in asked) + 0.3
    assert sorted((m.target, m.body) for m in upstream.wait_requests(4)) \
        == [(f"/api/par{i}", b"same") for i in range(4)]


# the collector switches authorization off


STEERED = """
    location /skip/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        add_header X-Opc "[$opc_endpoint]" always;
        proxy_pass http://127.0.0.1:@UP@;
    }
"""
POLICY = (b'{"Type":"urlbypass","Version":"1","Patterns":["^/skip/"]}')


def test_collector_logging_mode_and_bypass(nginx, collector, auth_server,
                                           upstream):
    # The first heartbeat turns logging off and installs a bypass policy;
    # the second turns logging back on, to its lowest level, with the same
    # policy: only "nologging" spares the subrequest.
    collector.queue_heartbeat_reply(
        200, [("X-Kv-Logging-Level", "nologging")], POLICY)
    collector.set_heartbeat_reply(
        200, [("X-Kv-Logging-Level", "minimum")], POLICY)
    auth_server.set_response(403)
    _start(nginx, auth_server, upstream, more=STEERED,
           http_extra=STATS_CONF % "5s",
           values={"COLLECTOR": collector.port})

    assert http_request(nginx.port, "/api/before").status == 403
    assert len(auth_server.requests) == 1

    nginx.wait_log("Logging mode changed to nologging", timeout=10)
    for i in range(3):
        resp = http_request(nginx.port, f"/api/off{i}")
        assert (resp.status, resp.header("X-Opc")) == (200, "[]")
    assert len(auth_server.requests) == 1
    assert _wait_stat(collector, "auth", "logging_disabled", 3) == 3

    nginx.wait_log("Logging mode changed to minimum", timeout=10)
    mark = nginx.log_mark()
    assert http_request(nginx.port, "/api/on").status == 403
    assert len(auth_server.requests) == 2
    resp = http_request(nginx.port, "/skip/me")
    assert (resp.status, resp.header("X-Opc")) == (200, "[]")
    assert len(auth_server.requests) == 2
    assert "Auth: Request bypassed" in nginx.error_log(mark)
    assert [m.target for m in upstream.requests] == [
        "/api/off0", "/api/off1", "/api/off2", "/skip/me"]


def test_backoff_declines(nginx, collector, auth_server, upstream):
    # The monitoring pool's one thread takes a task only while idle
    # (max_queue=0).  Every tick posts the statistics document and then the
    # heartbeat; the heartbeat finds the thread busy with the document
    # (whose answer the collector delays), is refused, and the refusal
    # starts a backoff.
    overflow = 'thread pool "kestrelvanes_monitoring_thread_pool" queue ' \
               'overflow'
    collector.set_default_reply(200, delay=0.5)
    auth_server.set_response(403)
    _start(nginx, auth_server, upstream,
           http_extra=STATS_CONF % "5s"
           + "ext_initial_backoff_duration 2000;\n",
           values={"COLLECTOR": collector.port},
           pools={"monitoring": {"threads": 1, "max_queue": 0}})
    assert http_request(nginx.port, "/api/before").status == 403

    # An answer that comes only once the backoff runs still decides: the
    # request that waited for it gets the 403; only requests that arrive
    # during the backoff are let through unasked.
    def hold_until_backoff(msg):
        nginx.wait_log(overflow, timeout=10)
        return Reply(403)
    auth_server.responder = hold_until_backoff
    resp = http_request(nginx.port, "/api/across", timeout=15)
    auth_server.responder = None
    assert resp.status == 403
    assert http_request(nginx.port, "/api/during").status == 200
    assert [_ident(m)["X-Req-Uri"] for m in auth_server.requests] == [
        "/api/before", "/api/across"]
    assert [m.target for m in upstream.requests] == ["/api/during"]

    # the backoff ends by itself, before the next tick starts another
    passed = []

    def authorized_again():
        status = http_request(nginx.port, "/api/after").status
        passed.append(status)
        return status == 403
    wait_until(authorized_again, timeout=4)
    skipped = 1 + passed.count(200)
    assert passed.count(200) == len(passed) - 1
    # the document of the next tick counts every declined pass
    assert _wait_stat(collector, "auth", "log_skipped_in_backoff",
                      skipped) == skipped
    assert nginx.error_log().count("ngx_http_auth_request_handler: skipping "
                                   "logs due to backoff") == skipped


def test_policy_update_while_subrequest_runs(nginx, collector, auth_server,
                                             upstream):
    # A bypass policy that arrives while the authorizer thinks it over
    # does not turn its refusal into an allow.
    collector.set_heartbeat_reply(200, [], b"")
    _start(nginx, auth_server, upstream, http_extra=STATS_CONF % "5s",
           values={"COLLECTOR": collector.port})
    collector.wait_heartbeats(1, timeout=10)
    www = [("WWW-Authenticate", 'Basic realm="kv"')]
    answers = {"/api/held403": Reply(403), "/api/held401": Reply(401, www)}
    policy_active = threading.Event()

    def hold_held(msg):
        reply = answers.get(_ident(msg)["X-Req-Uri"])
        if reply is not None:
            policy_active.wait(30)
        return reply
    auth_server.responder = hold_held
    with ThreadPoolExecutor(2) as pool:
        held = {path: pool.submit(http_request, nginx.port, path, timeout=40)
                for path in answers}
        auth_server.wait_requests(2)
        collector.set_heartbeat_reply(200, [], b'{"Type":"urlbypass",'
                                      b'"Version":"2","Patterns":'
                                      b'["^/api/held","^/api/probe"]}')

        def probe_bypassed():
            before = len(auth_server.requests)
            http_request(nginx.port, "/api/probe")
            return len(auth_server.requests) == before
        wait_until(probe_bypassed, timeout=15)
        policy_active.set()
        got = {path: f.result(timeout=20) for path, f in held.items()}
    assert {p: (r.status, r.header_all("WWW-Authenticate"))
            for p, r in got.items()} == {
        "/api/held403": (403, []),
        "/api/held401": (401, ['Basic realm="kv"'])}
    assert not [m for m in upstream.requests if "held" in m.target]
    # the policy holds for the next request
    assert http_request(nginx.port, "/api/held403").status == 200
