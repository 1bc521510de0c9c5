"""What the collector is told about an exchange, however nginx serves it:
the URI the client asked for through rewrites and internal redirects, one
message per client request whatever subrequests make its response, one
message for an exchange that never ends normally, request bodies larger
than the message, and bodies nginx sends from files.
"""

import base64
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
from harness.wait import wait_until

STATS = """
ext_stats_server http://127.0.0.1:@COLLECTOR@;
ext_stats_period 5s;
ext_heartbeat_period 0;
"""

MERGED = """
kestrelvanes_http_access_enable on;
ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
"""

AUTH_LOCATION = """
location = /_auth {
    internal;
    proxy_pass http://127.0.0.1:@AUTH@;
}
"""

# response logs go to the authorization server that answered
AUTHORIZED = """
kestrelvanes_http_auth_enable on;
ext_auth_request /_auth;
kestrelvanes_http_access_enable on;
"""


def get(path, headers=()):
    return request_bytes("GET", path, [("Host", "h"), *headers])


def www(nginx, files):
    root = nginx.prefix / "www"
    for name, data in files.items():
        path = root / name.lstrip("/")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return root


@pytest.fixture
def upstream(auth_server_factory):
    up = auth_server_factory()
    up.set_response(200, [], b"app")
    return up


@pytest.fixture
def auth(auth_server_factory):
    a = auth_server_factory()
    a.set_response(200, [], b"")
    return a


def test_redirects_log_the_uri_the_client_asked_for(nginx, collector,
                                                    upstream, auth):
    # try_files, X-Accel-Redirect, error_page and rewrite each change the
    # request's URI; the logs keep what the client sent, decoded as nginx
    # decodes it, and its arguments as they came.
    www(nginx, {"index.json": b"index", "nf.json": b"not found",
                "internal/data.json": b"data"})
    upstream.responder = lambda m: Reply(
        200, [("X-Accel-Redirect", "/internal/data.json")], b"")
    nginx.start(STATS + """
server {
    listen 127.0.0.1:@PORT@;
    root @PREFIX@/www;
    %(auth)s
    location /tf/ {
        %(merged)s
        try_files $uri /index.json;
    }
    location = /index.json { %(merged)s }
    location /xa/ {
        %(merged)s
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /internal/ { internal; %(merged)s }
    location /e404/ {
        %(merged)s
        error_page 404 /nf.json;
    }
    location = /nf.json { %(merged)s }
    location /rw/ { rewrite ^/rw/(.*)$ /target/$1?via=rw last; }
    location /target/ {
        %(merged)s
        return 200 "target $uri $args";
    }
    location /ra/ { rewrite ^/ra/(.*)$ /rb/$1 last; }
    location /rb/ {
        %(authorized)s
        alias @PREFIX@/www/;
    }
}
""" % {"auth": AUTH_LOCATION, "merged": MERGED, "authorized": AUTHORIZED},
        values={"COLLECTOR": collector.port, "UP": upstream.port,
                "AUTH": auth.port})
    pid = nginx.worker_pids()[0]
    expected = {
        "/tf/nothing.json": (200, b"index"),
        "/tf/./no%74hing.json?q=%41&r": (200, b"index"),
        "/xa/report?fmt=json": (200, b"data"),
        "/e404/gone": (404, b"not found"),
        "/rw/x%2Fy?keep=1": (200, b"target /target/x/y via=rw&keep=1"),
    }
    with ClientConnection(nginx.port) as c:
        for target, (status, body) in expected.items():
            r = c.exchange(get(target))
            assert (r.status, r.body) == (status, body), target
        r = c.exchange(get("/ra/ind%65x.json?k=v"))
        assert (r.status, r.body) == (200, b"index")
    done = time.monotonic()

    logs = merged_by_uri(merged_logs(collector, count=len(expected)))
    assert set(logs) == {
        "/tf/nothing.json", "/tf/nothing.json?q=%41&r",
        "/xa/report?fmt=json", "/e404/gone", "/rw/x/y?keep=1"}
    assert logs["/e404/gone"].response["status"] == 404
    assert logs["/e404/gone"].resp_body() == b"not found"
    assert logs["/xa/report?fmt=json"].resp_body() == b"data"

    [log] = response_logs(auth, count=1)
    assert log.value("X-Req-Uri") == "/ra/index.json"
    assert log.value("X-Args") == "k=v"

    c, _ = counters(collector, done, pid=pid)
    assert c["hdr_filter_hit"] == c["logs_sent"] == 6, c


def test_a_page_made_of_subrequests_is_one_exchange(nginx, collector):
    # The SSI page's include is a subrequest: its output is part of the
    # page's response, not an exchange of its own.  The capture holds what
    # the page's own content passes through the filter: the template.
    template = b'A<!--# include virtual="/part" -->B'
    www(nginx, {"s/page.html": template})
    nginx.start(STATS + """
server {
    listen 127.0.0.1:@PORT@;
    root @PREFIX@/www;
    %(merged)s
    location /s/ { ssi on; }
    location = /part { return 200 "PART"; }
}
""" % {"merged": MERGED}, values={"COLLECTOR": collector.port})
    pid = nginx.worker_pids()[0]
    r, port = one_exchange(nginx.port, get("/s/page.html"))
    assert (r.status, r.body) == (200, b"APARTB")
    done = time.monotonic()

    c, _ = counters(collector, done, pid=pid)
    [log] = merged_logs(collector)
    assert log.uri == "/s/page.html" and log.doc["client_port"] == port
    assert log.resp_body() == template
    assert c["hdr_filter_hit"] == c["logs_sent"] == 1, c


def small_buffers_socket(port, rcvbuf=16384):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(10)
    s.connect(("127.0.0.1", port))
    return s


def read_at_least(sock, n):
    got = b""
    while len(got) < n:
        chunk = sock.recv(65536)
        assert chunk, f"closed after {len(got)} bytes"
        got += chunk
    return got


def h2_reset_after(port, path, n):
    """An HTTP/2 stream that reads ``n`` bytes of its answer and resets;
    the window is never opened, so nginx can send no more than 64 KB.
    Returns the open socket."""
    conn = h2.connection.H2Connection(config=h2.config.H2Configuration(
        client_side=True, header_encoding=None))
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    conn.initiate_connection()
    sid = conn.get_next_available_stream_id()
    conn.send_headers(sid, [(":method", "GET"), (":path", path),
                            (":scheme", "http"), (":authority", "h")],
                      end_stream=True)
    sock.sendall(conn.data_to_send())
    got = 0
    while got < n:
        chunk = sock.recv(65536)
        assert chunk, f"closed after {got} bytes"
        for ev in conn.receive_data(chunk):
            if isinstance(ev, h2.events.DataReceived):
                got += len(ev.data)
        sock.sendall(conn.data_to_send())
    conn.reset_stream(sid)
    sock.sendall(conn.data_to_send())
    return sock


def test_exchanges_that_never_end_normally_are_logged_once_and_marked(
        nginx, collector, upstream, auth):
    # A client that goes away mid-download (HTTP/1.1: the connection;
    # HTTP/2: the stream), an upstream that breaks off mid-body and a
    # client that stops reading until send_timeout: each is one message
    # with what was captured, its body marked as cut, in both formats.  A download that ends normally, over HTTP/1.1 and HTTP/2, is
    # not marked.
    big = bytes((i * 7) % 251 for i in range(8 << 20))
    www(nginx, {"big.bin": big})
    partial = b"x" * 20000
    upstream.responder = lambda m: Reply(
        raw=b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + partial,
        close=True)
    nginx.start(STATS + """
server {
    listen 127.0.0.1:@PORT@ sndbuf=32k;
    listen 127.0.0.1:@PORT2@ http2;
    root @PREFIX@/www;
    sendfile off;
    send_timeout 1s;
    ext_access_log_body_size 32k;
    %(auth)s
    location /gone/ { %(merged)s alias @PREFIX@/www/; }
    location /stall/ { %(merged)s alias @PREFIX@/www/; }
    location /whole/ { %(merged)s alias @PREFIX@/www/; }
    location /broken/ {
        %(merged)s
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /rgone/ {
        %(authorized)s
        alias @PREFIX@/www/;
    }
}
""" % {"auth": AUTH_LOCATION, "merged": MERGED, "authorized": AUTHORIZED},
        values={"COLLECTOR": collector.port, "UP": upstream.port,
                "AUTH": auth.port})
    pid = nginx.worker_pids()[0]

    # the clients that go away after 64 KB
    for path in ("/gone/big.bin", "/rgone/big.bin"):
        s = small_buffers_socket(nginx.port)
        s.sendall(get(path))
        read_at_least(s, 65536)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                     b"\x01\x00\x00\x00\x00\x00\x00\x00")
        s.close()

    # the HTTP/2 stream reset by its client, the connection kept
    h2_sock = h2_reset_after(nginx.port_n(2), "/gone/big.bin?h2", 16384)
    # (the HTTP/1.1 client's message and this one)
    collector.wait_messages("/mergedlog", 2, timeout=10)
    h2_sock.close()

    # the upstream that resets after 20000 of its 100000 bytes
    s = small_buffers_socket(nginx.port)
    s.sendall(get("/broken/x"))
    got = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
    s.close()
    assert got.endswith(partial) and b" 200 OK" in got

    # the client that stops reading: nginx gives up after send_timeout
    stalled = small_buffers_socket(nginx.port)
    stalled.sendall(get("/stall/big.bin"))
    read_at_least(stalled, 1000)
    nginx.wait_log("timed out", timeout=10)
    stalled.close()

    # whole downloads
    r, _ = one_exchange(nginx.port, get("/whole/big.bin"), timeout=30)
    assert r.body == big
    out = subprocess.run(
        ["curl", "-sS", "--http2-prior-knowledge", "-o", "/dev/null",
         "-w", "%{http_code} %{http_version} %{size_download}",
         f"http://127.0.0.1:{nginx.port_n(2)}/whole/big.bin?h2"],
        capture_output=True, text=True, timeout=30, check=False)
    assert out.stdout == f"200 2 {len(big)}", out.stderr
    done = time.monotonic()

    logs = merged_by_uri(merged_logs(collector, count=6))
    for uri in ("/gone/big.bin", "/gone/big.bin?h2", "/stall/big.bin"):
        log = logs[uri]
        assert log.response["status"] == 200
        assert log.resp_headers["X-Kv-Resp-Truncated-Body"] == "true", uri
        assert log.resp_body() == big[:32768], uri
    broken = logs["/broken/x"]
    assert broken.resp_headers["X-Kv-Resp-Truncated-Body"] == "true"
    assert broken.resp_body() == partial
    for uri in ("/whole/big.bin", "/whole/big.bin?h2"):
        assert "X-Kv-Resp-Truncated-Body" not in logs[uri].resp_headers, uri
        assert logs[uri].resp_body() == big[:32768], uri

    [rlog] = response_logs(auth, count=1)
    assert rlog.value("X-Req-Uri") == "/rgone/big.bin"
    assert rlog.lines[-2:] == ["Content-Length: 0",
                               "X-Kv-Resp-Truncated-Body: true"]
    assert rlog.body == b""

    c, _ = counters(collector, done, pid=pid)
    assert c["hdr_filter_hit"] == c["logs_sent"] == 7, c
    assert c.get("logs_cut") == 5, c
    assert "logs_unsent" not in c, c


@pytest.mark.parametrize("kept", ["temporary-file", "memory"])
def test_request_bodies_past_the_space_keep_their_first_bytes(
        nginx, collector, upstream, kept):
    # A 5 MB upload under a 32k body size and a 256k message keeps its
    # first 32k, marked as cut, wherever nginx kept the body.
    body = bytes((i * 31) % 256 for i in range(5 << 20))
    upstream.set_response(200, [], b"stored")
    buffer = "client_body_buffer_size 8m;" if kept == "memory" else ""
    nginx.start(STATS + """
ext_force_read_payload_file on;
server {
    listen 127.0.0.1:@PORT@;
    client_max_body_size 10m;
    %(buffer)s
    location / {
        %(merged)s
        ext_access_log_body_size 32k;
        ext_access_log_total_size 256k;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
""" % {"merged": MERGED, "buffer": buffer},
        values={"COLLECTOR": collector.port, "UP": upstream.port})
    pid = nginx.worker_pids()[0]
    mark = nginx.log_mark()
    r, _ = one_exchange(nginx.port, request_bytes(
        "POST", "/upload", [("Host", "h"), ("Content-Length", str(len(body)))],
        body), timeout=30)
    assert (r.status, r.body) == (200, b"stored")
    done = time.monotonic()

    [log] = merged_logs(collector, count=1)
    assert log.req_body() == body[:32768]
    assert log.req_headers["X-Kv-Req-Truncated-Body"] == "true"
    assert log.resp_body() == b"stored"
    assert "X-Kv-Resp-Truncated-Body" not in log.resp_headers
    assert "Not enough space" not in nginx.error_log(mark)
    [served] = upstream.wait_requests(1)
    assert served.body == body
    c, _ = counters(collector, done, pid=pid)
    assert "packet_too_big" not in c and "file_payload_too_big" not in c, c


def test_bodies_sent_from_files_are_captured(nginx, collector, upstream,
                                             auth):
    # With sendfile on, static files and upstream responses kept in
    # temporary files reach the filter as file ranges, which the capture
    # reads up to the body size.  The client gets every byte unchanged.
    large = bytes((i * 11) % 253 for i in range(100000))
    small = b"small file " * 400
    www(nginx, {"large.bin": large, "small.txt": small})
    proxied = bytes((i * 5) % 249 for i in range(3 << 20))
    upstream.set_response(200, [("Content-Type", "application/x-big")],
                          proxied)
    nginx.start(STATS + """
server {
    listen 127.0.0.1:@PORT@;
    root @PREFIX@/www;
    sendfile on;
    %(auth)s
    location /f/ { %(merged)s alias @PREFIX@/www/; }
    location /rf/ {
        %(authorized)s
        alias @PREFIX@/www/;
    }
    location /p/ {
        %(merged)s
        proxy_buffers 4 4k;
        proxy_buffer_size 4k;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
""" % {"auth": AUTH_LOCATION, "merged": MERGED, "authorized": AUTHORIZED},
        values={"COLLECTOR": collector.port, "UP": upstream.port,
                "AUTH": auth.port})
    pid = nginx.worker_pids()[0]
    with ClientConnection(nginx.port, timeout=30) as c:
        assert c.exchange(get("/f/large.bin")).body == large
        assert c.exchange(get("/f/small.txt")).body == small
        part = c.exchange(get("/f/large.bin?range",
                              [("Range", "bytes=1000-2999")]))
        assert (part.status, part.body) == (206, large[1000:3000])
        assert c.exchange(get("/rf/small.txt")).body == small
        assert c.exchange(get("/p/big")).body == proxied
    done = time.monotonic()

    logs = merged_by_uri(merged_logs(collector, count=4))
    assert logs["/f/large.bin"].resp_body() == large[:28672]
    assert logs["/f/small.txt"].resp_body() == small
    assert logs["/f/large.bin?range"].resp_body() == large[1000:3000]
    assert logs["/p/big"].resp_body() == proxied[:28672]
    for log in logs.values():
        assert "X-Kv-Resp-Truncated-Body" not in log.resp_headers

    [rlog] = response_logs(auth, count=1)
    assert rlog.body == small
    assert rlog.value("Content-Length") == f" {len(small)}"
    c, _ = counters(collector, done, pid=pid)
    assert c["logs_sent"] == 5 and "logs_cut" not in c, c
