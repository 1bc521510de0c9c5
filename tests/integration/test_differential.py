"""Differential check: clients get the same bytes whether the sensor runs
or not.

One corpus of requests goes to an nginx without the modules and to
nginx with the sensor in each logging level (default, metadata, minimum,
nologging), each with a server that sends merged logs to a collector and
one whose requests are authorized and logged as response logs through the
authorization path.  Every response must equal the reference byte for
byte, apart from the Date header and the boundary of multipart range
answers (a random token of nginx's own: two stock nginx differ there too).

The corpus: every method with bodies from 0 B to 4 MiB, chunked uploads,
HEAD, 304 and range requests, gzip, pipelined keep-alive requests,
HTTP/2, static files and proxied answers larger than the proxy buffers,
buffered and not.
"""

import hashlib
import os
import re
import shutil
import socket
import tempfile
import threading
from email.utils import formatdate
from pathlib import Path

import h2.config
import h2.connection
import h2.events
import pytest

from harness import Reply, RequestParser
from harness.exchange import ClientConnection, request_bytes
from harness.faults import MERGED_PATH
from harness.sensorlogs import RESPONSE_PATH
from harness.wait import Deadline

MODES = ("default", "metadata", "minimum", "nologging")
KIB, MIB = 1 << 10, 1 << 20

LOCATIONS = """
    root @SHARED@;
    location /static/ {
        sendfile on;
    }
    location /plain/ {
        alias @SHARED@/static/;
        sendfile off;
        output_buffers 2 8k;
    }
    location /proxy/ {
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /unbuffered/ {
        proxy_pass http://127.0.0.1:@UP@;
        proxy_buffering off;
    }
    location = /own {
        return 200 "nginx itself\\n";
    }
"""

HTTP = """
client_max_body_size 8m;
client_body_buffer_size 16k;
proxy_buffers 4 4k;
proxy_buffer_size 4k;
proxy_busy_buffers_size 8k;
proxy_http_version 1.1;
proxy_set_header Connection "";
gzip on;
gzip_types application/json text/plain;
gzip_min_length 20;
gzip_vary on;
"""

REFERENCE = HTTP + """
server {
    listen 127.0.0.1:@PORT@;
    listen 127.0.0.1:@PORT2@ http2;
""" + LOCATIONS + """
}
"""

SENSOR = HTTP + """
ext_initial_logging_mode @MODE@;
ext_access_log_body_size 64k;
ext_access_log_total_size 256k;
server {
    listen 127.0.0.1:@PORT@;
    listen 127.0.0.1:@PORT2@ http2;
    kestrelvanes_http_access_enable on;
    ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
""" + LOCATIONS + """
}
server {
    listen 127.0.0.1:@PORT3@;
    listen 127.0.0.1:@PORT4@ http2;
    kestrelvanes_http_access_enable on;
    kestrelvanes_http_auth_enable on;
    ext_auth_request /_auth;
    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
""" + LOCATIONS + """
}
"""


def pattern(n, seed=0):
    block = hashlib.sha256(b"%d" % seed).digest() * 2048  # 64 KiB
    return (block * (n // len(block) + 1))[:n]


def upstream_answer(msg):
    """The application: deterministic answers, so every nginx gets the
    same from it."""
    path = msg.path
    if path == "/proxy/echo" or path == "/unbuffered/echo":
        digest = hashlib.sha256(msg.body).hexdigest()
        return Reply(200, [("Content-Type", "text/plain"),
                           ("X-Len", str(len(msg.body)))],
                     f"{msg.method} {msg.target} {len(msg.body)} {digest}\n")
    m = re.fullmatch(r"/(?:proxy|unbuffered)/large/(\d+)", path)
    if m:
        return Reply(200, [("Content-Type", "application/octet-stream"),
                           ("ETag", '"up-1"')], pattern(int(m.group(1)), 1))
    m = re.fullmatch(r"/(?:proxy|unbuffered)/chunked/(\d+)", path)
    if m:
        data = pattern(int(m.group(1)), 2)
        chunks = b"".join(b"%x\r\n%s\r\n" % (len(data[i:i + 7000]),
                                              data[i:i + 7000])
                          for i in range(0, len(data), 7000))
        return Reply(200, [("Transfer-Encoding", "chunked")],
                     chunks + b"0\r\n\r\n")
    if path.endswith("/json"):
        doc = b'{"items":[' + b",".join(b'{"id":%d,"name":"item %d"}' % (i, i)
                                        for i in range(3000)) + b"]}"
        return Reply(200, [("Content-Type", "application/json")], doc)
    if path.endswith("/notmodified"):
        return Reply(304, [("ETag", '"nm"')])
    return Reply(404, [("Content-Type", "text/plain")], b"no such thing\n")


@pytest.fixture(scope="module")
def shared_dir():
    """Files every nginx serves: one tree, so mtimes and ETags agree.
    Outside pytest's private tree, which workers running as nobody could
    not enter."""
    base = Path(tempfile.mkdtemp(prefix="kv-differential-"))
    static = base / "static"
    static.mkdir()
    files = {"small.txt": b"small static file\n" * 3,
             "text.txt": b"".join(b"line %d of a text file\n" % i
                                  for i in range(5000)),
             "file-1m.bin": pattern(MIB, 3),
             "file-4m.bin": pattern(4 * MIB, 4)}
    for name, data in files.items():
        (static / name).write_bytes(data)
    for p in (base, static, *static.iterdir()):
        os.chmod(p, 0o755 if p.is_dir() else 0o644)
    yield base
    shutil.rmtree(base, ignore_errors=True)


def etag_of(path):
    st = os.stat(path)
    return '"%x-%x"' % (int(st.st_mtime), st.st_size)


def get(target, headers=()):
    return request_bytes("GET", target, [("Host", "h"), *headers])


def with_body(method, target, body, headers=()):
    return request_bytes(method, target, [("Host", "h"), *headers,
                                          ("Content-Length", str(len(body)))],
                         body)


def chunked(target, body, size):
    data = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + size]), body[i:i + size])
                    for i in range(0, len(body), size)) + b"0\r\n\r\n"
    return request_bytes("POST", target, [("Host", "h"),
                                          ("Transfer-Encoding", "chunked")],
                         data)


def corpus(shared):
    """name -> (request bytes sent in one write, list of head_only flags:
    one per response expected on the connection)."""
    small = shared / "static" / "small.txt"
    one = {}
    for method in ("GET", "DELETE", "OPTIONS"):
        one[f"{method} no body"] = request_bytes(method, "/proxy/echo",
                                                 [("Host", "h")])
    for size in (0, 1, KIB, 64 * KIB, MIB, 4 * MIB):
        one[f"POST {size} B"] = with_body("POST", "/proxy/echo?a=1",
                                          pattern(size, 5))
    for size in (64 * KIB, 4 * MIB):
        one[f"PUT {size} B"] = with_body("PUT", "/proxy/echo",
                                         pattern(size, 6))
    one["PATCH 1 KiB"] = with_body("PATCH", "/proxy/echo", pattern(KIB, 7))
    one["POST unbuffered 1 MiB"] = with_body("POST", "/unbuffered/echo",
                                             pattern(MIB, 8))
    one["chunked upload, small chunks"] = chunked("/proxy/echo",
                                                  b"hello chunked world", 5)
    one["chunked upload, 1 MiB"] = chunked("/proxy/echo", pattern(MIB, 9),
                                           16 * KIB)
    for target in ("/static/small.txt", "/static/file-4m.bin",
                   "/plain/file-1m.bin", "/proxy/large/300000",
                   "/unbuffered/large/300000", "/proxy/chunked/200000",
                   "/unbuffered/chunked/200000", "/own", "/static/missing",
                   "/proxy/missing", "/proxy/notmodified"):
        one[f"GET {target}"] = get(target)
    one["304 If-None-Match"] = get("/static/small.txt",
                                   [("If-None-Match", etag_of(small))])
    one["304 If-Modified-Since"] = get(
        "/static/small.txt",
        [("If-Modified-Since", formatdate(os.stat(small).st_mtime,
                                          usegmt=True))])
    for ranges in ("bytes=0-99", "bytes=-100", "bytes=1000-",
                   "bytes=0-9,100-109", "bytes=5000000-"):
        one[f"range {ranges}"] = get("/static/file-1m.bin",
                                     [("Range", ranges)])
    one["range on a proxied answer"] = get("/proxy/large/300000",
                                           [("Range", "bytes=10-19")])
    for target in ("/static/text.txt", "/proxy/json", "/unbuffered/json"):
        one[f"gzip {target}"] = get(target, [("Accept-Encoding", "gzip")])
        one[f"identity {target}"] = get(target)

    out = {name: (data, [False]) for name, data in one.items()}
    for target in ("/static/file-1m.bin", "/proxy/large/300000", "/own"):
        head = request_bytes("HEAD", target, [("Host", "h")])
        out[f"HEAD {target}"] = (head, [True])
    pipelined = [(get("/static/small.txt"), False),
                 (with_body("POST", "/proxy/echo", b"in a pipeline"), False),
                 (request_bytes("HEAD", "/static/text.txt", [("Host", "h")]),
                  True),
                 (get("/own"), False),
                 (get("/proxy/large/50000"), False),
                 (get("/static/text.txt", [("Accept-Encoding", "gzip")]),
                  False)]
    out["keep-alive pipeline"] = (b"".join(d for d, _ in pipelined),
                                  [h for _, h in pipelined])
    return out


H2_CORPUS = [
    ("GET", "/static/small.txt", [], b""),
    ("GET", "/static/file-1m.bin", [], b""),
    ("GET", "/proxy/large/300000", [], b""),
    ("GET", "/proxy/chunked/200000", [], b""),
    ("HEAD", "/static/text.txt", [], b""),
    ("GET", "/static/file-1m.bin", [("range", "bytes=100-199")], b""),
    ("GET", "/proxy/json", [("accept-encoding", "gzip")], b""),
    ("POST", "/proxy/echo", [], pattern(200 * KIB, 10)),
    ("GET", "/own", [], b""),
]


DATE = re.compile(rb"\r\nDate: [^\r\n]*")
BOUNDARY = re.compile(rb"boundary=([0-9]+)")


def normalized(raw):
    raw = DATE.sub(b"\r\nDate: -", raw, count=1)
    m = BOUNDARY.search(raw)
    if m:
        raw = raw.replace(m.group(1), b"BOUNDARY")
    return raw


def http1(port, items):
    out = {}
    for name, (data, heads) in items.items():
        with ClientConnection(port, timeout=30) as c:
            c.send(data)
            out[name] = [normalized(c.read_response(head_only=h).raw)
                         for h in heads]
    return out


def http2(port):
    """Each request of H2_CORPUS on one HTTP/2 connection, one after the
    other: (status and headers without date, body) per request."""
    config = h2.config.H2Configuration(client_side=True, header_encoding=None)
    conn = h2.connection.H2Connection(config=config)
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    conn.initiate_connection()
    conn.increment_flow_control_window(16 * MIB)
    sock.sendall(conn.data_to_send())
    results = []
    try:
        for method, path, headers, body in H2_CORPUS:
            results.append(_h2_one(sock, conn, method, path, headers, body))
    finally:
        sock.close()
    return results


def _h2_one(sock, conn, method, path, headers, body):
    sid = conn.get_next_available_stream_id()
    conn.send_headers(sid, [(":method", method), (":path", path),
                            (":scheme", "http"), (":authority", "h"),
                            *headers], end_stream=not body)
    sock.sendall(conn.data_to_send())
    pending = body
    got_headers, data, ended = None, bytearray(), False
    deadline = Deadline(30)
    while not ended:
        while pending:
            room = min(conn.local_flow_control_window(sid),
                       conn.max_outbound_frame_size, len(pending))
            if room <= 0:
                break
            conn.send_data(sid, pending[:room],
                           end_stream=room == len(pending))
            pending = pending[room:]
        sock.sendall(conn.data_to_send())
        assert not deadline.expired(), f"HTTP/2 {method} {path}: no answer"
        chunk = sock.recv(65536)
        assert chunk, f"HTTP/2 {method} {path}: connection closed"
        for ev in conn.receive_data(chunk):
            mine = getattr(ev, "stream_id", None) == sid
            if isinstance(ev, h2.events.ResponseReceived) and mine:
                got_headers = [(n, v) for n, v in ev.headers if n != b"date"]
            elif isinstance(ev, h2.events.DataReceived) and mine:
                data += ev.data
                conn.acknowledge_received_data(ev.flow_controlled_length, sid)
            elif isinstance(ev, h2.events.StreamEnded) and mine:
                ended = True
            elif isinstance(ev, h2.events.StreamReset):
                raise AssertionError(f"HTTP/2 {method} {path}: reset")
        sock.sendall(conn.data_to_send())
    return got_headers, normalized(bytes(data))


@pytest.fixture(scope="module")
def answers(request, shared_dir):
    """The corpus's answers from the reference and from every sensor
    target, fetched side by side."""
    from harness import FakeAuthServer, FakeCollector
    from harness.faults import CaseContext, CaseOutcome

    items = corpus(shared_dir)
    outcome = CaseOutcome()
    ctx = CaseContext("differential", outcome)
    request.addfinalizer(ctx.close)
    up = ctx.server(FakeAuthServer())
    up.responder = upstream_answer

    ref = ctx.nginx()
    ref.start(REFERENCE, values={"SHARED": shared_dir, "UP": up.port},
              modules=(), omit_pools=("access", "monitoring"))
    targets = {"reference": (ref.port_n(1), ref.port_n(2))}
    sinks = {}
    for mode in MODES:
        collector = ctx.server(FakeCollector())
        auth = ctx.server(FakeAuthServer())
        inst = ctx.nginx()
        inst.start(SENSOR, values={"SHARED": shared_dir, "UP": up.port,
                                   "MODE": mode, "COLLECTOR": collector.port,
                                   "AUTH": auth.port})
        targets[f"{mode}, merged log"] = (inst.port_n(1), inst.port_n(2))
        targets[f"{mode}, response log"] = (inst.port_n(3), inst.port_n(4))
        sinks[mode] = (inst, collector, auth)

    got, errors = {}, {}

    def fetch(name, ports):
        try:
            got[name] = (http1(ports[0], items), http2(ports[1]))
        except Exception as exc:  # reported by the test
            errors[name] = exc

    threads = [threading.Thread(target=fetch, args=item, daemon=True)
               for item in targets.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join(300)
    request.node.__dict__.setdefault("_kv_tracked", []).extend(
        outcome.tracked)
    assert "reference" in got, errors.get("reference")
    # the reference served what it was asked for: a comparison of error
    # pages would prove nothing
    ref1, ref2 = got["reference"]
    statuses = {name: [r.split(b" ", 2)[1] for r in raws]
                for name, raws in ref1.items()}
    assert ref1["GET /static/file-4m.bin"][0].endswith(
        pattern(4 * MIB, 4)), statuses
    assert all(s in (b"200", b"206", b"304", b"404", b"416")
               for ss in statuses.values() for s in ss), statuses
    assert all(h[0] in ((b":status", b"200"), (b":status", b"206"))
               for h, _ in ref2), ref2
    return got, errors, sinks, outcome


TARGETS = [f"{m}, {f}" for m in MODES for f in ("merged log", "response log")]


@pytest.mark.parametrize("target", TARGETS)
def test_same_bytes_as_without_the_sensor(request, answers, target):
    got, errors, _, outcome = answers
    request.node.__dict__.setdefault("_kv_tracked", []).extend(
        outcome.tracked)
    for name in ("reference", target):
        if name in errors:
            raise errors[name]
    (ref1, ref2), (own1, own2) = got["reference"], got[target]
    assert list(own1) == list(ref1)
    differ = [name for name in ref1 if own1[name] != ref1[name]]
    assert not differ, (f"{len(differ)} HTTP/1.1 answers differ: {differ}; "
                        f"first: {own1[differ[0]][0][:600]!r} vs "
                        f"{ref1[differ[0]][0][:600]!r}")
    differ = [f"{m} {p}" for (m, p, _, _), a, b in zip(H2_CORPUS, own2, ref2)
              if a != b]
    assert not differ, f"HTTP/2 answers differ: {differ}"


def test_the_sensor_logged_every_exchange(answers, shared_dir):
    got, errors, sinks, _ = answers
    assert not errors, errors
    paths = [path for data, _ in corpus(shared_dir).values()
             for path in _request_paths(data)]
    paths += [path for _, path, _, _ in H2_CORPUS]
    # 'return' answers in the rewrite phase, before authorization: such
    # requests have no authorization server to log to
    authorized = [p for p in paths if p != "/own"]
    for mode, (inst, collector, auth) in sinks.items():
        assert inst.crashes() == [] and inst.log_problems() == []
        if mode == "nologging":
            assert not collector.messages and not auth.find_messages(
                RESPONSE_PATH)
            continue
        merged = collector.wait_messages(MERGED_PATH, len(paths), timeout=20)
        assert len(merged) == len(paths), mode
        logs = auth.wait_messages(RESPONSE_PATH, len(authorized), timeout=20)
        assert len(logs) == len(authorized), mode


def _request_paths(data):
    return [m.path for m in RequestParser().feed(data)]
