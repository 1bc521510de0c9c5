"""What the collector is told about an exchange, however nginx serves it:
the URI the client asked for through redirects, one message per client
request whatever subrequests build its response, one message marked as cut
for an exchange that never ends normally, long request bodies, and bodies
nginx sends from files.
"""

import socket
import subprocess
import time

import h2.config
import h2.connection
import h2.events
import pytest

from harness import Reply
from harness.exchange import ClientConnection, one_exchange, request_bytes
from harness.sensorlogs import (counters, merged_by_uri, merged_logs,
                               response_logs)

# %(M)s: a merged-log location; %(A)s: a response-log location, whose logs
# go to the authorization server that answered
SERVER = """
ext_stats_server http://127.0.0.1:@COLLECTOR@;
ext_stats_period 5s;
ext_heartbeat_period 0;
%(http)s
server {
    listen 127.0.0.1:@PORT@ %(listen)s;
    listen 127.0.0.1:@PORT2@ http2;
    root @PREFIX@/www;
    location = /_auth { internal; proxy_pass http://127.0.0.1:@AUTH@; }
    %(body)s
}
"""
M = ("kestrelvanes_http_access_enable on; "
     "ext_auth_log_server http://127.0.0.1:@COLLECTOR@;")
A = ("kestrelvanes_http_auth_enable on; ext_auth_request /_auth; "
     "kestrelvanes_http_access_enable on;")


def serve(nginx, collector, auth, upstream, body, files=(), http="",
          listen=""):
    root = nginx.prefix / "www"
    for name, data in dict(files).items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    nginx.start(SERVER % {"http": http, "listen": listen,
                          "body": body % {"M": M, "A": A}},
                values={"COLLECTOR": collector.port, "AUTH": auth.port,
                        "UP": upstream.port})
    return nginx.worker_pids()[0]


def get(path, headers=()):
    return request_bytes("GET", path, [("Host", "h"), *headers])


@pytest.fixture
def upstream(auth_server_factory):
    return auth_server_factory()


@pytest.fixture
def auth(auth_server_factory):
    return auth_server_factory()


def test_redirects_and_subrequests(nginx, collector, auth, upstream):
    # The logs name what the client asked for (decoded as nginx decodes it,
    # arguments as sent) whatever rewrite, try_files, X-Accel-Redirect or
    # error_page did.  An SSI include is part of its page's exchange; the
    # page's capture is the template its content passed through the filter.
    # A post_action runs after the exchange, which is logged all the same.
    template = b'A<!--# include virtual="/part" -->B'
    upstream.set_response(200, [("X-Accel-Redirect", "/in/data.json")], b"")
    pid = serve(nginx, collector, auth, upstream, """
    location /tf/ { %(M)s try_files $uri /index.json; }
    location = /index.json { %(M)s }
    location /xa/ { %(M)s proxy_pass http://127.0.0.1:@UP@; }
    location /in/ { internal; %(M)s }
    location /e404/ { %(M)s error_page 404 /nf.json; }
    location = /nf.json { %(M)s }
    location /rw/ { rewrite ^/rw/(.*)$ /rwt/$1?via=rw last; }
    location /rwt/ { %(M)s return 200 "$uri $args"; }
    location /ra/ { rewrite ^/ra/(.*)$ /rb/$1 last; }
    location /rb/ { %(A)s alias @PREFIX@/www/; }
    location /s/ { %(M)s ssi on; }
    location = /part { %(M)s return 200 "PART"; }
    location /pa/ { %(M)s post_action /after; }
    location = /after { %(M)s return 204; }
    """, files={"index.json": b"index", "nf.json": b"nf",
                "in/data.json": b"data", "s/page.html": template,
                "pa/index.json": b"index"})
    asked = {  # what the client sends: (logged uri, status, body)
        "/tf/nothing.json": ("/tf/nothing.json", 200, b"index"),
        "/tf/./no%74hing.json?q=%41&r": ("/tf/nothing.json?q=%41&r", 200,
                                         b"index"),
        "/tf/none.json?": ("/tf/none.json", 200, b"index"),
        "/xa/report?fmt=json": ("/xa/report?fmt=json", 200, b"data"),
        "/e404/gone": ("/e404/gone", 404, b"nf"),
        "/rw/x%2Fy?k=1": ("/rw/x/y?k=1", 200, b"/rwt/x/y via=rw&k=1"),
        "/s/page.html": ("/s/page.html", 200, b"APARTB"),
        "/ra/ind%65x.json?k=v": (None, 200, b"index"),
        "/pa/index.json": ("/pa/index.json", 200, b"index"),
    }
    with ClientConnection(nginx.port) as c:
        for target, (_, status, body) in asked.items():
            r = c.exchange(get(target))
            assert (r.status, r.body) == (status, body), target
    done = time.monotonic()

    logs = merged_by_uri(merged_logs(collector, count=len(asked) - 1))
    assert {uri: (log.response["status"], log.resp_body())
            for uri, log in logs.items()} == {
        uri: (status, template if uri == "/s/page.html" else body)
        for uri, status, body in asked.values() if uri}
    [rlog] = response_logs(auth, count=1)
    assert (rlog.value("X-Req-Uri"), rlog.value("X-Args")) == (
        "/ra/index.json", "k=v")
    c, _ = counters(collector, done, pid=pid)
    assert c["hdr_filter_hit"] == c["logs_sent"] == len(asked), c


def h2_reset_after(port, path, n):
    """An HTTP/2 stream that reads n bytes of its answer and resets, the
    connection kept; the window never opens past 64 KB."""
    conn = h2.connection.H2Connection(config=h2.config.H2Configuration(
        client_side=True, header_encoding=None))
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    conn.initiate_connection()
    sid = conn.get_next_available_stream_id()
    conn.send_headers(sid, [(":method", "GET"), (":path", path),
                            (":scheme", "http"), (":authority", "h")],
                      end_stream=True)
    got = 0
    while got < n:
        sock.sendall(conn.data_to_send())
        chunk = sock.recv(65536)
        assert chunk, f"closed after {got} bytes"
        got += sum(len(ev.data) for ev in conn.receive_data(chunk)
                   if isinstance(ev, h2.events.DataReceived))
    conn.reset_stream(sid)
    sock.sendall(conn.data_to_send())
    return sock


def client(port, path, read, rcvbuf=16384):
    """Asks for path on a small receive buffer and reads read bytes."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(10)
    s.connect(("127.0.0.1", port))
    s.sendall(get(path))
    got = b""
    while len(got) < read:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
    return s, got


def test_exchanges_that_never_end_normally(nginx, collector, auth, upstream):
    # A client that goes away mid-download (an HTTP/1.1 connection closed,
    # an HTTP/2 stream reset), an upstream that breaks off mid-body and a
    # client that stops reading until send_timeout: one message each, with
    # what was captured and the body marked as cut, in both formats.
    # Downloads that end normally are not marked.
    big = bytes((i * 7) % 251 for i in range(8 << 20))
    partial = b"x" * 20000
    upstream.responder = lambda m: Reply(raw=(
        b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + partial),
        close=True)
    pid = serve(nginx, collector, auth, upstream, """
    sendfile off;
    send_timeout 1s;
    ext_access_log_body_size 32k;
    location /f/ { %(M)s alias @PREFIX@/www/; }
    location /broken/ { %(M)s proxy_pass http://127.0.0.1:@UP@; }
    location /rf/ { %(A)s alias @PREFIX@/www/; }
    """, files={"big.bin": big}, listen="sndbuf=32k")

    for path in ("/f/big.bin?gone", "/rf/big.bin"):
        s, _ = client(nginx.port, path, 65536)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
        s.close()
    s = h2_reset_after(nginx.port_n(2), "/f/big.bin?h2-gone", 16384)
    collector.wait_messages("/mergedlog", 2, timeout=10)
    s.close()
    s, got = client(nginx.port, "/broken/", 1 << 30)
    s.close()
    assert got.endswith(b"\r\n\r\n" + partial)
    s, _ = client(nginx.port, "/f/big.bin?stall", 1000)
    nginx.wait_log("client timed out", timeout=10)
    s.close()
    assert one_exchange(nginx.port, get("/f/big.bin?whole"),
                        timeout=30)[0].body == big
    out = subprocess.run(
        ["curl", "-sS", "--http2-prior-knowledge", "-o", "/dev/null",
         "-w", "%{http_code} %{size_download}",
         f"http://127.0.0.1:{nginx.port_n(2)}/f/big.bin?h2-whole"],
        capture_output=True, text=True, timeout=30, check=False)
    assert out.stdout == f"200 {len(big)}", out.stderr
    done = time.monotonic()

    logs = merged_by_uri(merged_logs(collector, count=6))
    cut = {uri: log.resp_headers.get("X-Kv-Resp-Truncated-Body")
           for uri, log in logs.items()}
    assert cut == {"/f/big.bin?gone": "true", "/f/big.bin?h2-gone": "true",
                   "/broken/": "true", "/f/big.bin?stall": "true",
                   "/f/big.bin?whole": None, "/f/big.bin?h2-whole": None}
    assert logs.pop("/broken/").resp_body() == partial
    for uri, log in logs.items():
        assert log.resp_body() == big[:32768], uri
    [rlog] = response_logs(auth, count=1)
    assert rlog.lines[-2:] == ["Content-Length: 0",
                               "X-Kv-Resp-Truncated-Body: true"]
    c, _ = counters(collector, done, pid=pid)
    assert c["hdr_filter_hit"] == c["logs_sent"] == 7, c
    assert c.get("logs_cut") == 5 and "logs_unsent" not in c, c


@pytest.mark.parametrize("buffer", ["16k", "8m"], ids=["file", "memory"])
def test_long_request_bodies_keep_their_first_bytes(
        nginx, collector, auth, upstream, buffer):
    # A 5 MB upload under a 32k body size and a 256k message keeps its
    # first 32k, marked, whether nginx kept it in a file or in memory.
    body = bytes((i * 31) % 256 for i in range(5 << 20))
    upstream.set_response(200, [], b"stored")
    serve(nginx, collector, auth, upstream, """
    client_max_body_size 10m;
    client_body_buffer_size %s;
    ext_access_log_body_size 32k;
    ext_access_log_total_size 256k;
    location / { %%(M)s proxy_pass http://127.0.0.1:@UP@; }
    """ % buffer, http="ext_force_read_payload_file on;")
    r, _ = one_exchange(nginx.port, request_bytes(
        "POST", "/up", [("Host", "h"), ("Content-Length", str(len(body)))],
        body), timeout=30)
    assert r.body == b"stored" and upstream.requests[0].body == body
    [log] = merged_logs(collector, count=1)
    assert log.req_body() == body[:32768]
    assert log.req_headers["X-Kv-Req-Truncated-Body"] == "true"
    assert log.resp_body() == b"stored"
    assert "Not enough space" not in nginx.error_log()


def test_bodies_sent_from_files(nginx, collector, auth, upstream):
    # Under sendfile, static files and upstream answers kept in temporary
    # files reach the filter as file ranges; the capture reads them up to
    # the body size, a Range request its part.  Clients get every byte.
    large = bytes((i * 11) % 253 for i in range(100000))
    small = b"small file " * 400
    proxied = bytes((i * 5) % 249 for i in range(3 << 20))
    upstream.set_response(200, [], proxied)
    serve(nginx, collector, auth, upstream, """
    sendfile on;
    location /f/ { %(M)s alias @PREFIX@/www/; }
    location /rf/ { %(A)s alias @PREFIX@/www/; }
    location /p/ {
        %(M)s proxy_buffers 4 4k; proxy_buffer_size 4k;
        proxy_pass http://127.0.0.1:@UP@;
    }
    """, files={"large.bin": large, "small.txt": small})
    with ClientConnection(nginx.port, timeout=30) as c:
        assert c.exchange(get("/f/large.bin")).body == large
        assert c.exchange(get("/f/small.txt")).body == small
        part = c.exchange(get("/f/large.bin?r", [("Range", "bytes=1000-2999")]))
        assert (part.status, part.body) == (206, large[1000:3000])
        assert c.exchange(get("/rf/small.txt")).body == small
        assert c.exchange(get("/p/big")).body == proxied

    logs = merged_by_uri(merged_logs(collector, count=4))
    assert {uri: log.resp_body() for uri, log in logs.items()} == {
        "/f/large.bin": large[:28672], "/f/small.txt": small,
        "/f/large.bin?r": large[1000:3000], "/p/big": proxied[:28672]}
    [rlog] = response_logs(auth, count=1)
    assert rlog.body == small


def test_redacted_headers(nginx, collector, auth, upstream):
    # ext_access_log_redact_header masks the values of the named request
    # and response headers (any case; the kept-outside Content-Type too)
    # in both formats; each keeps its name and place.  A location's own
    # list replaces the one it would inherit.
    upstream.set_response(200, [("Set-Cookie", "sid=s3cr3t"),
                                ("X-Token", "t0k3n"),
                                ("Content-Type", "application/x-secret")],
                          b"{}")
    serve(nginx, collector, auth, upstream, """
    ext_access_log_redact_header authorization SET-COOKIE;
    kestrelvanes_http_access_redact_header Content-Type;
    location /m/ { %(M)s proxy_pass http://127.0.0.1:@UP@; }
    location /own/ {
        %(M)s ext_access_log_redact_header X-Token;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /r/ { %(A)s proxy_pass http://127.0.0.1:@UP@; }
    """)
    sent = [("Host", "h"), ("Authorization", "Bearer abc"),
            ("X-Token", "req-token"), ("Content-Type", "text/x-secret")]
    with ClientConnection(nginx.port) as c:
        for path in ("/m/a", "/own/a", "/r/a"):
            assert c.exchange(request_bytes("GET", path, sent)).body == b"{}"

    logs = merged_by_uri(merged_logs(collector, count=2))
    m, own = logs["/m/a"], logs["/own/a"]
    masked = "[REDACTED]"
    assert m.req_headers.pairs[:4] == [
        ("Host", "h"), ("Authorization", masked), ("X-Token", "req-token"),
        ("Content-Type", masked)]
    assert m.resp_headers.pairs[:2] == [("Set-Cookie", masked),
                                        ("X-Token", "t0k3n")]
    assert m.resp_headers["Content-Type"] == masked
    assert own.req_headers.pairs[1:3] == [("Authorization", "Bearer abc"),
                                          ("X-Token", masked)]
    assert own.resp_headers.pairs[:2] == [("Set-Cookie", "sid=s3cr3t"),
                                          ("X-Token", masked)]
    [r] = response_logs(auth, count=1)
    assert r.lines[:3] == ["Set-Cookie:" + masked, "X-Token:t0k3n",
                           "Content-Type:" + masked]
    assert r.value("X-Req-Content-Type") == masked
    for raw in (m.msg.raw, r.msg.raw):
        assert b"s3cr3t" not in raw and b"x-secret" not in raw


def test_host_named_in_the_request_target(nginx, collector, auth, upstream):
    # A request without a Host header may name its host in its target alone
    # (an absolute URI in HTTP/1.0; HTTP/3's ":authority", test_http3.py):
    # both formats still say which host it was for, as the authorization
    # service is told, and the host's mask covers it.
    upstream.set_response(200, [], b"ok")
    serve(nginx, collector, auth, upstream, """
    location /m/ { %(M)s proxy_pass http://127.0.0.1:@UP@; }
    location /x/ {
        %(M)s ext_access_log_redact_header Host;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /r/ { %(A)s proxy_pass http://127.0.0.1:@UP@; }
    """)
    for path in ("/m/a", "/x/a", "/r/a"):
        r, _ = one_exchange(nginx.port,
                            f"GET http://api.example{path} HTTP/1.0\r\n\r\n"
                            .encode())
        assert (r.status, r.body) == (200, b"ok")

    logs = merged_by_uri(merged_logs(collector, count=2))
    assert [n for n, _ in logs["/m/a"].req_headers.pairs] == [
        "Host", "X-Request-Id"]
    assert logs["/m/a"].req_headers["Host"] == "api.example"
    assert logs["/x/a"].req_headers["Host"] == "[REDACTED]"
    [r] = response_logs(auth, count=1)
    assert r.value("X-Req-Host") == "api.example"
    assert auth.wait_requests(1, path_prefix="/_auth")[0].header(
        "X-Req-Host") == "api.example"
