"""Merged logs as the collector receives them: one POST per exchange whose
body is a JSON document with both sides of the exchange.

The collector parses these documents, so every one of them must be JSON
whose length is the one announced, whatever the client sent; bodies that
do not fit the configured buffer are left out and said to be left out.
"""

import re
import subprocess
import time

import pytest

from harness import Reply
from harness.exchange import one_exchange, request_bytes
from harness.samples import sample
from harness.sensorlogs import (Merged, check_request_id, counters,
                               hostname, merged_by_uri, merged_logs)

# The documented example, byte for byte (tests/protocol/merged_log.http,
# which the collector's tests decode): a GET of /api/items?id=7 from
# 192.0.2.10:51234, request id 3f2a9c, 7 ms, answered with X-Trace: a"b and
# an 11-byte JSON body, by sensor web01 of instance edge-1.
_SAMPLE = sample("merged_log.http")
_END = _SAMPLE.index(b"\r\n\r\n") + 4
EXAMPLE_HEAD = _SAMPLE[:_END]
EXAMPLE_JSON = _SAMPLE[_END:].decode()
EXAMPLE_REQUEST = (b"GET /api/items?id=7 HTTP/1.1\r\n"
                   b"Host: 10.0.0.5\r\nAccept: */*\r\n\r\n")
EXAMPLE_ANSWER = ([("X-Trace", 'a"b'), ("Content-Type", "application/json")],
                  b'{"ok":true}')

BASIC = """
ext_instance edge-1;
%(http)s
server {
    listen 127.0.0.1:@PORT@;
    %(server)s
    location / {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        proxy_pass http://127.0.0.1:@UP@;
        %(location)s
    }
    %(more)s
}
"""


def start(nginx, collector, upstream, http="", server="", location="",
          more="", **options):
    nginx.start(BASIC % {"http": http, "server": server,
                         "location": location, "more": more},
                values={"COLLECTOR": collector.port, "UP": upstream.port},
                **options)
    return nginx.worker_pids()[0]


@pytest.fixture
def upstream(auth_server_factory):
    """The application nginx proxies to."""
    up = auth_server_factory()
    up.set_response(200, *EXAMPLE_ANSWER)
    return up


def example_variant(mode):
    """The example document in each logging level."""
    doc = EXAMPLE_JSON.replace('"X-Kv-Sensor-Logging-Level":"default"',
                               f'"X-Kv-Sensor-Logging-Level":"{mode}"')
    if mode in ("metadata", "minimum"):
        doc = doc.replace('"body64":"eyJvayI6dHJ1ZX0=",', "")
    if mode == "minimum":
        doc = doc.replace('"Host":"10.0.0.5","Accept":"*/*",', "")
        doc = doc.replace('"X-Trace":"a\\"b",', "")
    return doc


@pytest.mark.parametrize("mode", ["default", "metadata", "minimum"])
def test_documented_example_byte_for_byte(nginx, collector, upstream, mode):
    assert len(EXAMPLE_JSON) == 496
    pid = start(nginx, collector, upstream,
                http=f"ext_initial_logging_mode {mode};")
    before = time.time()
    resp, port = one_exchange(nginx.port, EXAMPLE_REQUEST)
    after = time.time()
    assert resp.status == 200 and resp.body == b'{"ok":true}'

    [msg] = collector.wait_messages("/mergedlog", 1)
    text = msg.raw.decode("latin-1")
    rid = re.search(r'"X-Request-Id":"([^"]*)"', text).group(1)
    check_request_id(rid, pid)
    started = int(re.search(r'"started_at":(\d+),', text).group(1))
    assert before * 1000 - 1000 <= started <= after * 1000 + 10
    latency = int(re.search(r'"latencies":\{"request":(\d+)\}', text).group(1))
    assert 0 <= latency <= (after - before) * 1000 + 10

    doc = (example_variant(mode)
           .replace("3f2a9c", rid).replace("192.0.2.10", "127.0.0.1")
           .replace("51234", str(port)).replace("web01", hostname())
           .replace("1700000000123", str(started))
           .replace('"request":7}', f'"request":{latency}}}')).encode()
    head = (EXAMPLE_HEAD.replace(b"10.1.2.3:9000",
                                 f"127.0.0.1:{collector.port}".encode())
            .replace(b"0000000496", b"%010d" % len(doc)))
    assert msg.raw == head + doc
    # nothing else on the connection: no stray bytes between messages
    assert collector.connections[msg.connection].raw == head + doc


def test_request_bodies_in_memory_chunked_and_in_temporary_files(
        nginx_factory, collector, upstream):
    # One nginx reads temporary files back, the other does not; the
    # statistics of the second count the bodies it had to leave out.
    upstream.set_response(200, [], b"ok")
    common = dict(server="client_body_buffer_size 1k;",
                  http="ext_stats_server http://127.0.0.1:@COLLECTOR@;\n"
                       "ext_stats_period 5s;")
    off, on = nginx_factory(), nginx_factory()
    pid_off = start(off, collector, upstream, **common)
    pid_on = start(on, collector, upstream,
                   http=common["http"] + "\next_force_read_payload_file on;",
                   server=common["server"])

    small = bytes(range(256)) * 2            # 512 bytes: stays in memory
    large = bytes(range(251)) * 40           # 10040 bytes: a temporary file
    chunks = [b"abc", bytes(range(256)), b"\r\n\x00end"]

    def chunked(parts):
        return b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in parts) + \
            b"0\r\n\r\n"

    sent = {}
    for inst, tag in ((off, "off"), (on, "on")):
        cases = {
            f"/{tag}/mem": ([("Content-Length", str(len(small)))], small,
                            small),
            f"/{tag}/chunked": ([("Transfer-Encoding", "chunked")],
                                chunked(chunks), b"".join(chunks)),
            f"/{tag}/file": ([("Content-Length", str(len(large)))], large,
                             large),
            f"/{tag}/chunked-file": ([("Transfer-Encoding", "chunked")],
                                     chunked([large[:6000], large[6000:]]),
                                     large),
        }
        for path, (headers, wire, body) in cases.items():
            resp, _ = one_exchange(inst.port, request_bytes(
                "POST", path, [("Host", "x")] + headers, wire))
            assert resp.status == 200, path
            sent[path] = body
    done = time.monotonic()

    logs = merged_by_uri(merged_logs(collector, count=8))
    # the upstream got every body whole, sensor or not
    got = {m.path: m.body for m in upstream.requests}
    assert got == sent

    for tag in ("off", "on"):
        for kind in ("mem", "chunked"):
            log = logs[f"/{tag}/{kind}"]
            assert log.req_body() == sent[f"/{tag}/{kind}"], kind
            assert "X-Kv-Req-Truncated-Body" not in log.req_headers
    for kind in ("file", "chunked-file"):
        left_out = logs[f"/off/{kind}"]
        assert left_out.req_body() is None
        assert left_out.req_headers["X-Kv-Req-Truncated-Body"] == "true"
        assert list(left_out.req_headers)[-1] == "X-Kv-Req-Truncated-Body"
        read_back = logs[f"/on/{kind}"]
        assert read_back.req_body() == large, kind
        assert "X-Kv-Req-Truncated-Body" not in read_back.req_headers
        # the response side is untouched by the request's body
        assert read_back.resp_body() == left_out.resp_body() == b"ok"

    off_counts, _ = counters(collector, done, pid=pid_off)
    on_counts, _ = counters(collector, done, pid=pid_on)
    assert off_counts.get("body_in_temp_file") == 2, off_counts
    assert "body_in_temp_file" not in on_counts, on_counts
    for c in (off_counts, on_counts):
        for bad in ("file_open_fail", "file_size_read_fail",
                    "file_payload_too_big", "packet_too_big"):
            assert bad not in c, (bad, c)
        assert c["logs_sent"] == 4 and c["msg_sent"] >= 4, c


def test_http2_request_body_in_a_temporary_file_is_read_back(
        nginx, collector, upstream, tmp_path):
    # HTTP/2 reads request bodies by code of its own, which writes the
    # temporary file differently on 1.20 than on later releases.
    upstream.set_response(200, [], b"ok")
    start(nginx, collector, upstream,
          http="ext_force_read_payload_file on;",
          server="client_body_buffer_size 1k;\n"
                 "    listen 127.0.0.1:@PORT2@ http2;")
    large = bytes((i * 13) % 256 for i in range(20_000))  # under 28k
    src = tmp_path / "body.bin"
    src.write_bytes(large)
    out = subprocess.run(
        ["curl", "-sS", "--http2-prior-knowledge", "-o", "/dev/null",
         "-w", "%{http_code} %{http_version}", "--data-binary", f"@{src}",
         f"http://127.0.0.1:{nginx.port_n(2)}/h2/file"],
        capture_output=True, text=True, timeout=20, check=False)
    assert (out.returncode, out.stdout) == (0, "200 2"), out.stderr

    [log] = merged_logs(collector, count=1)
    assert log.req_body() == large
    assert "X-Kv-Req-Truncated-Body" not in log.req_headers
    [served] = upstream.wait_requests(1)
    assert served.body == large


def test_total_size_leaves_out_the_body_that_does_not_fit(nginx, collector,
                                                          upstream):
    # 8k of buffer: each 6000-byte body fits alone (8000 bytes of base64)
    # but never next to the other one.
    big, small = bytes(range(200)) * 30, b"s" * 100
    answers = {"/req-big": small, "/resp-big": big, "/both-big": big,
               "/fits": small}
    upstream.responder = lambda msg: Reply(200, [], answers[msg.path])
    pid = start(nginx, collector, upstream,
                http="ext_stats_server http://127.0.0.1:@COLLECTOR@;\n"
                     "ext_stats_period 5s;",
                location="ext_access_log_total_size 8k;")
    bodies = {"/req-big": big, "/resp-big": small, "/both-big": big,
              "/fits": small}
    for path, body in bodies.items():
        resp, _ = one_exchange(nginx.port, request_bytes(
            "POST", path, [("Host", "x"), ("Content-Length", str(len(body)))],
            body))
        assert resp.status == 200 and resp.body == answers[path]
    done = time.monotonic()
    logs = merged_by_uri(merged_logs(collector, count=4))

    def shape(log):
        return (log.req_body() is not None,
                log.req_headers.get("X-Kv-Req-Truncated-Body"),
                log.resp_body() is not None,
                log.resp_headers.get("X-Kv-Resp-Truncated-Body"))

    # the larger body goes; with equal sizes the response goes first and
    # the request follows when it cannot stay alone either
    assert shape(logs["/req-big"]) == (False, "true", True, None)
    assert logs["/req-big"].resp_body() == small
    assert shape(logs["/resp-big"]) == (True, None, False, "true")
    assert logs["/resp-big"].req_body() == small
    assert shape(logs["/both-big"]) == (False, "true", False, "true")
    assert shape(logs["/fits"]) == (True, None, True, None)
    for log in logs.values():
        assert len(log.msg.raw) < 8192
        # the truncation member closes its headers object
        for headers, key in ((log.req_headers, "X-Kv-Req-Truncated-Body"),
                             (log.resp_headers, "X-Kv-Resp-Truncated-Body")):
            if key in headers:
                assert list(headers).index(key) == \
                    list(headers).index("X-Request-Id") + 1

    c, _ = counters(collector, done, pid=pid)
    assert c.get("packet_too_big") == 3, c


@pytest.mark.parametrize("mode,answer", [("default", b""),
                                         ("metadata", b"a body not logged")])
def test_a_large_response_head_alone_leaves_nothing_out(nginx, collector,
                                                       upstream, mode, answer):
    # The space check reserves the response head twice: with 3.9k of it
    # the reserve alone passes 8k, yet there is no body to leave out and
    # the whole exchange fits, so nothing is said to be too big.
    pad = "p" * 3900
    upstream.set_response(200, [("X-Fill", pad)], answer)
    pid = start(nginx, collector, upstream,
                http=f"ext_initial_logging_mode {mode};\n"
                     "ext_stats_server http://127.0.0.1:@COLLECTOR@;\n"
                     "ext_stats_period 5s;",
                location="ext_access_log_total_size 8k;")
    mark = nginx.log_mark()
    resp, _ = one_exchange(nginx.port, request_bytes(
        "GET", "/big-head", [("Host", "x")]))
    assert resp.status == 200 and resp.body == answer
    done = time.monotonic()

    log = merged_logs(collector, count=1)[0]
    assert log.resp_headers["X-Fill"] == pad
    assert "X-Kv-Resp-Truncated-Body" not in log.resp_headers
    assert "X-Kv-Req-Truncated-Body" not in log.req_headers
    assert log.req_body() is None and log.resp_body() is None
    c, _ = counters(collector, done, pid=pid)
    assert c.get("packet_too_big", 0) == 0, c
    assert c["logs_sent"] == 1, c
    assert "Not enough space" not in nginx.error_log(mark)


# What nginx itself writes into every response or uses for framing; the
# log reports the response's own headers.
FRAMING = {"server", "date", "connection", "keep-alive", "transfer-encoding"}
SENSOR = {"x-request-id", "x-kv-sensor-instance", "x-kv-sensor-hostname",
          "x-kv-sensor-logging-level"}


def test_headers_are_escaped_once_each_and_as_the_client_saw_them(
        nginx, collector, upstream):
    resp_headers = [
        ("X-Resp-Quote", 'a"b\\c\x01d\x7f'),
        ("X-Empty-Resp", ""),
        # built-in headers as an application may spell them: each must
        # appear once, whatever its case
        ("location", "http://example.test/next"),
        ("ETAG", '"v1"'),
        ("last-modified", "Wed, 21 Oct 2015 07:28:00 GMT"),
        ("Content-Encoding", "identity"),
        ("WWW-Authenticate", 'Basic realm="x\\y"'),
        ("Refresh", "5; url=/r"),
        # a name hashing as Content-Type's does hides neither header
        ("Contep6-Type", "x"),
        # the expires directive below replaces both: nginx keeps the
        # first element with a new value and deletes the second, which
        # the client never sees and the log must not report either
        ("Cache-Control", "no-store"),
        ("Cache-Control", "private"),
        ("Content-Type", "text/plain; charset=\"utf-8\""),
    ]
    upstream.set_response(302, resp_headers, b"moved")
    start(nginx, collector, upstream, server="ignore_invalid_headers off;",
          location='expires 1h;\nadd_header X-Added "v\\\\1" always;')

    req_headers = [
        ("Host", "h.test"),
        ("X-Quote", 'say "hi"'),
        ("X-Back", "C:\\dir\\"),
        ("X-Ctl", "a\x01b\x1fc\td\x7fe"),
        ("X-Empty", ""),
        ('X-Odd"Name\\', "v"),
        ("X-Utf8", "caf\u00e9".encode()),
        ("X-Dup", "1"),
        ("X-Dup", "2"),
    ]
    resp, _ = one_exchange(nginx.port, request_bytes(
        "GET", '/h?x=1&y="q"\\', req_headers))
    resp2, _ = one_exchange(nginx.port, request_bytes(
        "GET", "/plain", [("Host", "h.test")]))
    assert resp.status == resp2.status == 302
    logs = merged_by_uri(merged_logs(collector, count=2))

    log = logs['/h?x=1&y="q"\\']
    assert log.request["method"] == "GET"
    expected_req = [(n if isinstance(n, str) else n.decode(),
                     v.decode() if isinstance(v, bytes) else v)
                    for n, v in req_headers if v != ""]
    assert log.req_headers.pairs == expected_req + [
        ("X-Request-Id", log.request_id)]
    # the raw text: escapes are the short ones and lower-case \u00XX
    raw = log.payload
    assert b'"X-Ctl":"a\\u0001b\\u001fc\\u0009d\x7fe"' in raw
    assert b'"X-Odd\\"Name\\\\":"v"' in raw
    assert b'"X-Quote":"say \\"hi\\""' in raw
    assert "caf\u00e9".encode() in raw

    # the response headers: what the client got, each once
    seen = [(n.lower(), v) for n, v in log.resp_headers.pairs
            if n.lower() not in SENSOR]
    client = [(n.lower(), v) for n, v in resp.headers
              if n.lower() not in FRAMING]
    # empty values are left out
    assert ("x-empty-resp", "") in client
    assert sorted(seen) == sorted(c for c in client if c[1])
    assert dict(client)["cache-control"] == "max-age=3600"
    assert dict(client)["x-added"] == "v\\1"
    assert "x-empty-resp" not in dict(seen)
    assert log.resp_headers["X-Request-Id"] == log.request_id
    assert log.response["status"] == 302
    assert log.resp_body() == b"moved"

    # no arguments: no question mark
    assert logs["/plain"].uri == "/plain"
    assert logs["/plain"].req_headers.pairs == [
        ("Host", "h.test"), ("X-Request-Id", logs["/plain"].request_id)]


LARGE_HEADERS = """
proxy_buffer_size 128k;
proxy_buffers 4 128k;
proxy_busy_buffers_size 256k;
large_client_header_buffers 4 16k;
"""


def test_every_document_is_json_of_its_announced_length(nginx, collector,
                                                        upstream):
    # Odd bytes wherever a client or an application can put them, and
    # response headers big enough to crowd the bodies out of the buffer
    # or not to fit at all.
    body = bytes(range(256)) * 80
    crowd = [(f"X-Crowd-{i}", '"\\' + "h" * 996) for i in range(40)]
    answers = {
        "/crowd-body": Reply(200, crowd, body[:20000]),
        "/crowd-drop": Reply(200, crowd + crowd, b"x" * 100),
    }
    upstream.responder = lambda msg: answers.get(msg.path)
    upstream.set_response(200, [("X-Resp", 'q"\\\x01\x1f\x7f\t')], body)
    pid = start(nginx, collector, upstream,
                http="ext_stats_server http://127.0.0.1:@COLLECTOR@;\n"
                     "ext_stats_period 5s;",
                server=LARGE_HEADERS)

    paths = {
        "/a%22b": '/a"b', "/c%5cd": "/c\\d", "/t%09ab": "/t\tab",
        "/x%01y": "/x\x01y", "/crlf%0d%0aX-Forged:%201":
        "/crlf\r\nX-Forged: 1", "/del%7f": "/del\x7f",
        "/utf%c3%a9": "/utf\u00e9", "/ctl%1f%1e": "/ctl\x1f\x1e",
        '/q?a="b\\c%22': '/q?a="b\\c%22', "/p%25": "/p%",
        "/crowd-body": "/crowd-body", "/crowd-drop": "/crowd-drop",
    }
    odd_headers = [("Host", "h"), ("X-Long", "L" * 7000),
                   ("X-Sp", "   "), ("X-Mix", 'a"b\\c\x01\x02\x1b[0m')]
    odd_headers += [(f"X-H{i}", f'v{i}"\\\x01') for i in range(50)]
    for path in paths:
        resp, _ = one_exchange(nginx.port, request_bytes(
            "GET", path, odd_headers))
        assert resp.status == 200, path
    # control bytes take six bytes each once escaped: these request
    # headers leave no room for the response body, which no estimate made
    # before writing foresees
    escaped_crowd = [("Host", "h"), ("X-C1", "\x01" * 4000),
                     ("X-C2", "\x02" * 4000)]
    resp, _ = one_exchange(nginx.port, request_bytes(
        "GET", "/escape-crowd", escaped_crowd))
    assert resp.status == 200
    # a bare HTTP/1.0 request, and bytes that are not UTF-8
    one_exchange(nginx.port, b"GET /old HTTP/1.0\r\n\r\n")
    one_exchange(nginx.port, request_bytes("GET", "/bin%ff%fe",
                                           [("Host", "h"), ("X-Bin", b"\xff\xfe\x80")]))
    done = time.monotonic()

    logs = merged_by_uri(merged_logs(collector, count=len(paths) + 2))
    # bytes that are not UTF-8 come out as the code points of their values
    binary = logs.pop("/bin\u00ff\u00fe")
    assert binary.req_headers["X-Bin"] == "\u00ff\u00fe\u0080"

    assert "/crowd-drop" not in logs
    assert set(logs) == (set(paths.values()) - {"/crowd-drop"}) | {
        "/old", "/escape-crowd"}
    squeezed = logs.pop("/escape-crowd")
    assert squeezed.req_headers.pairs == escaped_crowd + [
        ("X-Request-Id", squeezed.request_id)]
    assert squeezed.resp_body() is None
    assert squeezed.resp_headers["X-Kv-Resp-Truncated-Body"] == "true"
    assert "X-Kv-Req-Truncated-Body" not in squeezed.req_headers
    for path, log in logs.items():
        assert log.resp_headers["X-Request-Id"] == log.request_id
        if path == "/old":
            assert log.req_headers.pairs == [("X-Request-Id",
                                              log.request_id)]
            continue
        assert log.req_headers.pairs[:1] + log.req_headers.pairs[2:] == [

            (n, v) for n, v in odd_headers if n != "X-Sp" and n != "X-Long"
        ] + [("X-Request-Id", log.request_id)]
        assert log.req_headers["X-Long"] == "L" * 7000
        if path.startswith("/crowd"):
            continue
        assert log.resp_headers["X-Resp"] == 'q"\\\x01\x1f\x7f\t'
        assert log.resp_body() == body[:20480]

    crowded = logs["/crowd-body"]
    # the headers pushed the body out: it is said to be left out, and
    # the request, which had no body, is not said to have lost one
    assert crowded.resp_body() is None
    assert crowded.resp_headers["X-Kv-Resp-Truncated-Body"] == "true"
    assert "X-Kv-Req-Truncated-Body" not in crowded.req_headers
    assert crowded.resp_headers["X-Crowd-39"] == '"\\' + "h" * 996

    c, _ = counters(collector, done, pid=pid)
    # one for each body left out; the dropped exchange counts its bodies
    # and then itself
    assert c.get("packet_too_big") == 4, c
    assert c["logs_sent"] == len(paths) + 3, c


# Byte sequences a client or an application can put into a header, the URI
# or the arguments: well-formed UTF-8 of every length, and the ill-formed
# kinds a strict parser refuses.
UTF8_SAMPLES = [
    b"\xc3\xa9\xff\xfe",                              # valid, then two bad
    b"caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e",     # 2, 3 and 4 bytes
    b"\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf",  # range edges
    b"\xc0\xaf\xc1\xbf",                              # overlong 2 bytes
    b"\xe0\x80\xaf\xe0\x9f\xbf",                      # overlong 3 bytes
    b"\xf0\x80\x80\xaf\xf0\x8f\xbf\xbf",              # overlong 4 bytes
    b"\xed\xa0\x80\xed\xbf\xbf",                      # surrogates
    b"\xed\xa0\xbd\xed\xb2\xa9",                      # a surrogate pair
    b"\xf4\x90\x80\x80\xf5\x80\x80\x80",              # above U+10FFFF
    b"\xf8\x88\x80\x80\x80\xfc\x84\x80\x80\x80\x80",  # 5 and 6 byte forms
    b"\x80a\xbfb\xfe",                                # stray bytes
    b"\xe2\x82a\xf0\x9d\x84\xc3\xa9\xe2\xc3\xa9",     # cut short inside
    b"end\xe2\x82",                                   # cut short at the end
    b"end\xf0\x9d\x84",
    b"end\xc3",
]


def json_text(raw):
    """How the document must spell ``raw``: well-formed UTF-8 as it is,
    every other byte as \\u00XX.  Python's own strict decoder decides
    which bytes are which."""
    out = []
    for ch in raw.decode("utf-8", errors="surrogateescape"):
        if 0xDC80 <= ord(ch) <= 0xDCFF:
            out.append("\\u00%02x" % (ord(ch) - 0xDC00))
        else:
            out.append(ch)
    return "".join(out).encode("utf-8")


def decoded(raw):
    """What a JSON parser then reads back."""
    return "".join(chr(ord(ch) - 0xDC00) if 0xDC80 <= ord(ch) <= 0xDCFF
                   else ch
                   for ch in raw.decode("utf-8", errors="surrogateescape"))


def test_bytes_that_are_not_utf8_are_escaped_and_utf8_passes(
        nginx, collector, upstream):
    def latin(b):
        return b.decode("latin-1")

    upstream.set_response(200, [(f"X-R{i}", latin(v))
                                for i, v in enumerate(UTF8_SAMPLES)], b"ok")
    start(nginx, collector, upstream, server=LARGE_HEADERS,
          http="ext_instance inst\u00e9;")
    pct = "".join("%%%02x" % c for c in UTF8_SAMPLES[0])
    target = f"/u{pct}?a={latin(UTF8_SAMPLES[6])}"
    resp, _ = one_exchange(nginx.port, request_bytes("GET", target, [
        ("Host", "h")] + [(f"X-Q{i}", v) for i, v in enumerate(UTF8_SAMPLES)]))
    assert resp.status == 200

    [log] = merged_logs(collector, count=1)       # strict UTF-8, then JSON
    raw = log.payload
    for i, v in enumerate(UTF8_SAMPLES):
        for side in ("Q", "R"):
            assert b'"X-%s%d":"%s"' % (side.encode(), i, json_text(v)) \
                in raw, (side, i, v)
        assert log.req_headers[f"X-Q{i}"] == decoded(v)
        assert log.resp_headers[f"X-R{i}"] == decoded(v)
    assert b'"uri":"/u\xc3\xa9\\u00ff\\u00fe?a=\\u00ed\\u00a0\\u0080' \
        b'\\u00ed\\u00bf\\u00bf"' in raw
    assert log.resp_headers["X-Kv-Sensor-Instance"] == "inst\u00e9"
    assert log.resp_body() == b"ok"


def test_utf8_at_the_end_of_the_buffer_goes_whole_or_not_at_all(
        nginx, collector, upstream):
    # A request header ending in a four-byte character, grown so that the
    # document and then the character straddle the end of an 8k buffer:
    # each document arrives whole and strict, or not at all and counted.
    char = b"\xf0\x9d\x84\x9e"
    upstream.set_response(200, [], b"")
    pid = start(nginx, collector, upstream, server=LARGE_HEADERS,
                http="ext_stats_server http://127.0.0.1:@COLLECTOR@;\n"
                     "ext_stats_period 5s;",
                location="ext_access_log_total_size 8k;")

    def send(path, n):
        fill = b"\xff" + b"p" * n + char
        resp, _ = one_exchange(nginx.port, request_bytes(
            "GET", path, [("Host", "h"), ("X-Fill", fill)]))
        assert resp.status == 200

    send("/probe", 1000)
    [probe] = merged_logs(collector, count=1)
    at, total = probe.msg.raw.index(char), len(probe.msg.raw)
    collector.clear()

    # the document's end just inside or outside the buffer, then the
    # character's first byte at each of the buffer's last bytes
    shifts = sorted({8192 - total + k for k in range(-3, 3)}
                    | {8192 - at - k for k in range(1, 6)})
    for d in shifts:
        send(f"/d{d}", 1000 + d)
    done = time.monotonic()
    c, _ = counters(collector, done, pid=pid)
    logs = merged_by_uri(merged_logs(collector))
    assert len(logs) + c.get("packet_too_big", 0) == len(shifts), (logs, c)
    for d in shifts:
        log = logs.get(f"/d{d}")
        if log is None:
            assert total + d > 8189, d
            continue
        assert len(log.msg.raw) < 8192
        assert log.req_headers["X-Fill"] == (
            "\u00ff" + "p" * (1000 + d) + char.decode())
        assert b'"X-Fill":"\\u00ff' + b"p" * (1000 + d) + char + b'"' \
            in log.payload
    assert f"/d{min(shifts)}" in logs and f"/d{max(shifts)}" not in logs


def test_request_id_is_the_one_nginx_logs(nginx, collector, upstream):
    # The collector's id for an exchange is nginx's $request_id behind the
    # worker's pid, whoever drew it first: the sensor (/plain) or nginx,
    # for a header sent before the body (/early).  Ids stay unique.
    pid = start(nginx, collector, upstream,
                http='log_format ids "$uri $request_id";',
                server="access_log logs/ids.log ids;",
                more="""
    location /early {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        add_header X-Early $request_id;
        proxy_pass http://127.0.0.1:@UP@;
    }""")
    uris = [f"/plain/{i}" for i in range(300)] + ["/early/1", "/early/2"]
    early = {}
    for uri in uris:
        resp, _ = one_exchange(nginx.port, request_bytes(
            "GET", uri, headers=[("Host", "h.test")]))
        assert resp.status == 200
        if uri.startswith("/early"):
            early[uri] = resp.header("X-Early")
    logs = merged_by_uri(merged_logs(collector, count=len(uris)))
    logged = dict(line.split(" ") for line in
                  (nginx.prefix / "logs" / "ids.log").read_text().split("\n")
                  if line)
    assert sorted(logged) == sorted(uris)
    prefix = f"{pid:x}-"
    for uri in uris:
        rid = logs[uri].request_id
        check_request_id(rid, pid)
        assert re.fullmatch("[0-9a-f]{32}", logged[uri]), logged[uri]
        assert rid == prefix + logged[uri][:32 - len(prefix)], (uri, rid)
    assert early == {u: logged[u] for u in early}
    assert len(set(logged.values())) == len(uris)
