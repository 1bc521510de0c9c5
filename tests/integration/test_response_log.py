"""Response logs: in a location without ext_auth_log_server every captured
exchange is posted, as header lines plus the raw captured body, to the
authorization server that answered the request.

These lines travel as an HTTP request of their own, so whatever a client or
an application puts into them must not end a line or add one.
"""

import re
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from harness import Reply, wait_until
from harness.exchange import ClientConnection, one_exchange, request_bytes
from harness.samples import head_and_body
from harness.sensorlogs import (check_request_id, counters, hostname,
                               log_stream, response_logs)

EXAMPLE_REQUEST = (b"GET /api/items?id=7 HTTP/1.1\r\n"
                   b"Host: 10.0.0.5\r\nAccept: */*\r\n\r\n")
EXAMPLE_ANSWER = ([("X-Trace", 'a"b'), ("Content-Type", "application/json")],
                  b'{"ok":true}')
# The documented example (tests/protocol/response_log.http, which the
# collector's tests decode) after its first two lines: request id 3f2a9c,
# client 192.0.2.10:51234, started at 1700000000.123 s, answered in 7 ms,
# sensor web01 of instance edge-1.
_SAMPLE_HEAD, _SAMPLE_BODY = head_and_body("response_log.http")
EXAMPLE_LINES = _SAMPLE_HEAD[2:]
assert _SAMPLE_HEAD[:2] == ["POST /nginxlog HTTP/1.1",
                            "Host: kestrelvanes-collector"]
assert _SAMPLE_BODY == EXAMPLE_ANSWER[1]

AUTHORIZED = """
ext_instance edge-1;
%(http)s
server {
    listen 127.0.0.1:@PORT@;
    %(server)s
    location = /_auth {
        internal;
        proxy_pass %(auth_scheme)s://127.0.0.1:@AUTH@;
    }
    location / {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
        %(location)s
    }
    %(more)s
}
"""


def config(http="", server="", location="", more="", auth_scheme="http"):
    return AUTHORIZED % {"http": http, "server": server, "location": location,
                         "more": more, "auth_scheme": auth_scheme}


def start(nginx, auth, upstream, values=None, **parts):
    nginx.start(config(auth_scheme=auth.scheme, **parts),
                values={"AUTH": auth.port, "UP": upstream.port,
                        **(values or {})})
    return nginx.worker_pids()[0]


def wait_stream(server, expected, path="/nginxlog", timeout=2.0):
    """Until the log connection(s) carried exactly ``expected``."""
    try:
        server.wait_for(lambda s: log_stream(s, path) == expected or None,
                        timeout)
    except AssertionError:
        pass
    assert log_stream(server, path) == expected


@pytest.fixture
def upstream(auth_server_factory):
    up = auth_server_factory()
    up.set_response(200, *EXAMPLE_ANSWER)
    return up


def example_variant(mode):
    lines = [ln.replace(":default", f":{mode}") for ln in EXAMPLE_LINES]
    if mode == "default":
        return lines, b"\r\n" + b'{"ok":true}'
    # neither body nor length lines: the head ends with an empty line
    # after the last header line's own end
    lines = lines[:-2]
    if mode == "minimum":
        dropped = ("X-Trace:", "Content-Type:", "X-Req-Time:", "X-Resp-Time:",
                   "X-Client-Addr:", "X-Req-Host:", "X-Req-Content-Len:")
        lines = [ln for ln in lines if not ln.startswith(dropped)]
    if mode == "metadata":
        lines.append("X-Resp-Content-Len: 11")
    return lines, b"\r\n\r\n"


@pytest.mark.parametrize("mode", ["default", "metadata", "minimum"])
def test_documented_example_byte_for_byte(nginx, auth_server, upstream, mode):
    pid = start(nginx, auth_server, upstream,
                http=f"ext_initial_logging_mode {mode};")
    before = time.time()
    resp, port = one_exchange(nginx.port, EXAMPLE_REQUEST)
    after = time.time()
    assert resp.status == 200 and resp.body == b'{"ok":true}'

    [log] = response_logs(auth_server, count=1)
    text = log.msg.raw.decode("latin-1")
    rid = re.search(r"X-Request-Id: (\S+)\r\n", text).group(1)
    check_request_id(rid, pid)
    subst = [("3f2a9c", rid), ("192.0.2.10:51234", f"127.0.0.1:{port}"),
             ("web01", hostname())]
    if mode != "minimum":
        started = int(re.search(r"X-Req-Time: (\d+)\r\n", text).group(1))
        assert before * 1000 - 1000 <= started <= after * 1000 + 10
        latency = int(re.search(r"X-Resp-Time: (\d+)\r\n", text).group(1))
        assert 0 <= latency <= (after - before) * 1000 + 10
        subst += [("1700000000123", str(started)),
                  ("X-Resp-Time: 7", f"X-Resp-Time: {latency}")]

    lines, tail = example_variant(mode)
    expected = ("POST /nginxlog HTTP/1.1\r\nHost: kestrelvanes-collector\r\n"
                + "".join(ln + "\r\n" for ln in lines))
    for old, new in subst:
        expected = expected.replace(old, new)
    expected = expected.encode() + tail

    # every byte the log connection carried, the trailing empty line of the
    # bodiless forms included
    wait_stream(auth_server, expected)


def test_response_headers_copied_except_reserved_and_unsafe(
        nginx, auth_server, upstream):
    # No location has ext_auth_log_server here, as in a deployment that
    # only uses response logs: the reserved names must be left out all
    # the same, whoever set them.
    long_name = "X-" + "n" * 198          # 200 bytes: too long
    just_fits = "X-" + "m" * 197          # 199 bytes
    reserved = [("X-Forwarded-For", "10.9.9.9"), ("X-Request-Id", "forged"),
                ("x-orig-length", "99"), ("X-Method", "PUT"),
                ("X-Req-Uri", "/elsewhere"), ("X-Client-Addr", "1.2.3.4:5"),
                ("X-Req-Host", "evil"), ("X-Forwarded-Proto", "ftp")]
    upstream.set_response(200, reserved + [
        ("X-Keep", 'v "quoted" \\ \x01'),
        ("X-Empty", ""),
        (long_name, "long"),
        (just_fits, "fits"),
        ("Transfer-Encoding", "chunked"),
        ("Cache-Control", "no-store"),
        ("Cache-Control", "private"),
    ], b"5\r\nhello\r\n0\r\n\r\n")
    start(nginx, auth_server, upstream,
          location='expires 1h;\n'
                   'add_header X-Request-Id "app-$request_id";\n'
                   'add_header X-Forwarded-For "203.0.113.1";')
    resp, _ = one_exchange(nginx.port, request_bytes(
        "GET", "/p%0d%0aX-Status:%20500%0d%0a%0d%0aBODY",
        [("Host", "h")]))
    assert resp.status == 200 and resp.body == b"hello"

    [log] = response_logs(auth_server, count=1)
    names = [n.lower() for n in log.names()]
    for name, _ in reserved:
        assert names.count(name.lower()) == (1 if name.lower() in (
            "x-request-id", "x-orig-length", "x-method", "x-req-uri",
            "x-client-addr", "x-req-host") else 0), (name, log.lines)
    assert log.value("X-Request-Id").strip() != "forged"
    assert not log.value("X-Request-Id").strip().startswith("app-")
    assert log.value("X-Keep") == 'v "quoted" \\ %01'
    assert log.values("X-Empty") == [] and log.values(long_name) == []
    assert log.value(just_fits) == "fits"
    assert "transfer-encoding" not in names
    # what expires deleted stays deleted
    assert log.values("Cache-Control") == ["max-age=3600"]
    # a decoded path cannot end a line of the log, nor the log itself
    assert log.value("X-Req-Uri") == "/p%0D%0AX-Status: 500%0D%0A%0D%0ABODY"
    assert log.value("X-Status") == " 200"
    assert log.body == b"hello"
    assert log.value("X-Orig-Length") == " -1"


def test_copied_header_names_are_read_whole(nginx, auth_server, upstream):
    # A name with a colon would be read short by the collector, one with
    # blanks as another name by a lenient parser ("Content-Length :"):
    # add_header can set such names (an upstream cannot), so their
    # colons and blanks are encoded as control bytes are.
    upstream.set_response(200, [], b"fine")
    start(nginx, auth_server, upstream,
          location='add_header "X-Status:500" a;\n'
                   'add_header "X-Status " b;\n'
                   'add_header "X-Tab\\tName" c;')
    resp, _ = one_exchange(nginx.port, request_bytes("GET", "/n",
                                                     [("Host", "h")]))
    assert resp.status == 200 and resp.body == b"fine"

    [log] = response_logs(auth_server, count=1)
    assert log.value("X-Status%3A500") == "a", log.lines
    assert log.value("X-Status%20") == "b", log.lines
    assert log.value("X-Tab%09Name") == "c", log.lines
    # the sensor's own lines are there once, as the only ones of their name
    assert log.values("X-Status") == [" 200"], log.lines
    assert log.value("Content-Length") == " 4"
    assert log.body == b"fine"


def authorized_location(prefix, extra):
    return f"""
    location {prefix} {{
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
        {extra}
    }}"""


def test_request_lines_targets_and_body_forms(nginx, auth_server, upstream,
                                              collector):
    big = bytes(range(256)) * 20
    answers = {"/small/x": big, "/tiny/x": big[:2000]}
    upstream.responder = lambda m: (Reply(200, [], answers[m.path])
                                    if m.path in answers else None)
    upstream.set_response(200, [], b"fine")
    more = (authorized_location("/v2/", "ext_access_log_api /collect/v2;")
            + authorized_location("/small/", "ext_access_log_body_size 1k;")
            + authorized_location("/tiny/", "ext_access_log_total_size 1k;"))
    pid = start(nginx, auth_server, upstream,
                http="ext_stats_server http://127.0.0.1:@COLLECTOR@;\n"
                     "ext_stats_period 5s;",
                more=more, values={"COLLECTOR": collector.port})

    with ClientConnection(nginx.port) as c:
        for data in (
            request_bytes("POST", "/form?x=1&y=%22", [
                ("Host", "h"), ("Content-Type", "text/plain; q=\"1\""),
                ("Content-Length", "5")], b"hello"),
            request_bytes("POST", "/chunked", [
                ("Host", "h"), ("Transfer-Encoding", "chunked")],
                b"5\r\nhello\r\n0\r\n\r\n"),
            request_bytes("GET", "/v2/x", [("Host", "h")]),
            request_bytes("GET", "/small/x", [("Host", "h")]),
            request_bytes("GET", "/tiny/x", [("Host", "h")]),
        ):
            assert c.exchange(data).status == 200
    resp, _ = one_exchange(nginx.port, b"GET /old HTTP/1.0\r\n\r\n")
    assert resp.status == 200
    done = time.monotonic()

    logs = {log.value("X-Req-Uri"): log
            for log in response_logs(auth_server, count=4)}
    [v2] = response_logs(auth_server, count=1, api="/collect/v2")
    assert set(logs) == {"/form", "/chunked", "/small/x", "/old"}

    form = logs["/form"]
    assert form.value("X-Args") == "x=1&y=%22"
    assert form.value("X-Method") == "POST"
    assert form.value("X-Req-Content-Len") == " 5"
    assert form.value("X-Req-Content-Type") == 'text/plain; q="1"'
    assert form.value("X-Req-Host") == "h"
    assert form.body == b"fine"
    assert form.value("X-Orig-Length") == " 4"

    chunked = logs["/chunked"]
    # nginx sets the length once it has read a chunked body whole
    assert chunked.value("X-Req-Content-Len") == " 5"
    assert chunked.values("X-Args") == []

    old = logs["/old"]
    # no Host header, no arguments: no lines for them
    assert old.values("X-Req-Host") == [] and old.values("X-Args") == []
    assert old.value("X-Method") == "GET"

    assert v2.value("X-Req-Uri") == "/v2/x" and v2.body == b"fine"

    # a body longer than the capture is not sent at all
    small = logs["/small/x"]
    assert small.msg.raw.endswith(
        b"\r\nX-Kv-Sensor-Logging-Level:default\r\n"
        b"X-Orig-Length: 5120\r\nContent-Length: 0\r\n"
        b"X-Kv-Resp-Truncated-Body: true\r\n\r\n")
    assert small.body == b"" and small.msg.leading == b""

    c, _ = counters(collector, done, pid=pid)
    assert c.get("packet_too_big") == 1, c          # /tiny/x
    assert c["logs_sent"] == 6, c
    # every message went out whole, none of them framed wrongly
    assert all(conn.parse_error is None for conn in auth_server.connections)


def test_body_that_just_does_not_fit_drops_the_message(nginx, auth_server,
                                                       upstream, collector):
    # The body goes out only when the room left after the head is larger
    # than the body plus its Content-Length line.  Measure the head once,
    # then give five locations buffers around that boundary.
    body = bytes(range(256)) * 11 + b"0123456789abcdef"      # 2832 bytes
    need = len(body) + len(str(len(body))) + 20
    # The head holds the exchange's latency in milliseconds, the one part
    # of it that varies: a slow first exchange of a new worker (10 ms
    # where the probe took 9) made its head a byte longer.  An upstream
    # that answers after a second keeps every latency at four digits.
    upstream.set_response(200, [], body, delay=1.0)
    # long arguments make the log's head much longer than the response's
    target = "/e{}/x?" + "a" * 1500
    stats = ("ext_stats_server http://127.0.0.1:@COLLECTOR@;\n"
             "ext_stats_period 5s;")
    start(nginx, auth_server, upstream, http=stats,
          values={"COLLECTOR": collector.port})
    one_exchange(nginx.port, request_bytes("GET", target.format(9),
                                           [("Host", "h")]))
    [probe] = response_logs(auth_server, count=1)
    head = probe.msg.raw
    head_len = head.index(b"Content-Length: ")
    boundary = head_len + need + 1          # room left == need: dropped

    totals = {i: boundary + i - 2 for i in range(5)}
    more = "".join(authorized_location(
        f"/e{i}/", f"ext_access_log_total_size {t};")
        for i, t in totals.items())
    mark = nginx.log_mark()
    [pid] = nginx.reload(config(http=stats, more=more))
    auth_server.clear()

    def exchange(i):
        with ClientConnection(nginx.port) as c:
            return c.exchange(request_bytes("GET", target.format(i),
                                            [("Host", "h")]))

    # side by side, so that the upstream's delay is waited once
    with ThreadPoolExecutor(len(totals)) as pool:
        for resp in pool.map(exchange, totals):
            assert resp.status == 200 and resp.body == body

    # The message is built in the log phase, after the answer went out, so
    # a drop's line and a sent log both come later: wait until each of the
    # five exchanges is one or the other.
    def drop_lines():
        return {int(m.group(2)): int(m.group(1)) for m in re.finditer(
            r"No space left to send body header size (\d+) body size "
            + str(len(body)) + r'.*request: "GET /e(\d)/x',
            nginx.error_log(mark))}

    def accounted():
        found = drop_lines()
        sent = response_logs(auth_server)
        return (found, sent) if len(found) + len(sent) >= 5 else None

    drops, sent = wait_until(accounted, timeout=10.0)
    done = time.monotonic()
    logs = {int(log.value("X-Req-Uri")[2]): log for log in sent}
    assert sorted(list(logs) + list(drops)) == list(range(5)), (logs, drops)
    for i, log in logs.items():
        assert totals[i] - 1 - log.msg.raw.index(b"Content-Length: ") > need
        assert log.body == body
    for i, header_size in drops.items():
        assert totals[i] - 1 - header_size <= need
    # every head as long as the probe's: dropped with exactly the room the
    # body needs, sent with one byte more
    heads = {i: log.msg.raw.index(b"Content-Length: ")
             for i, log in logs.items()}
    assert {**heads, **drops} == {i: head_len for i in totals}, (
        head_len, heads, drops)
    assert sorted(logs) == [3, 4] and sorted(drops) == [0, 1, 2]
    c, _ = counters(collector, done, pid=pid)
    assert c.get("no_buffer_space_left") == len(drops), c
    assert "packet_too_big" not in c, c


def test_header_lines_carry_no_control_bytes(nginx, auth_server, upstream):
    # Every byte below 0x20 but TAB, and DEL, are percent-encoded in every
    # line, whoever put them there: the client (path, request headers) or
    # the application (response headers).
    # what an upstream can put into a header value (not CR, LF or NUL)
    ctl = "".join(chr(c) for c in range(1, 0x20) if c not in (0x0A, 0x0D))
    ctl += "\x7f"
    upstream.set_response(200, [("X-Ctl", "v" + ctl + "w")], b"fine")
    start(nginx, auth_server, upstream)
    resp, _ = one_exchange(nginx.port, request_bytes(
        "GET", "/r/a%01b%7fc%09d%1fe?q=%01", [
            ("Host", "h"), ("Content-Type", "t\x01\x1b[0m\tx\x7f")]))
    assert resp.status == 200

    [log] = response_logs(auth_server, count=1)
    head = log.msg.head
    assert not [c for c in head[:-4].replace(b"\r\n", b"")
                if (c < 0x20 and c != 0x09) or c == 0x7F], head
    assert log.value("X-Req-Uri") == "/r/a%01b%7Fc\td%1Fe"
    assert log.value("X-Args") == "q=%01"
    assert log.value("X-Req-Content-Type") == "t%01%1B[0m\tx%7F"
    assert log.value("X-Ctl") == ("v" + "".join(
        "%%%02X" % ord(c) if c != "\t" else c for c in ctl) + "w")
    assert log.body == b"fine"


def test_message_that_does_not_fit_is_never_cut(nginx, auth_server, upstream,
                                                collector):
    # An 8k buffer and a path grown byte by byte so that first the message's
    # end, then the X-Req-Uri line, then the lines before it cross the
    # buffer's end.  Each message arrives with every line whole, or it is
    # dropped and counted; nothing is cut short.
    stats = ("ext_stats_server http://127.0.0.1:@COLLECTOR@;\n"
             "ext_stats_period 5s;")
    upstream.set_response(200, [("X-App", "a" * 300)], b"fine")
    pid = start(nginx, auth_server, upstream, http=stats,
                location="ext_access_log_total_size 8k;",
                server="large_client_header_buffers 4 16k;",
                values={"COLLECTOR": collector.port})

    def send(n):
        # path bytes that the log must encode take three bytes each
        target = "/s/" + "%01" * 50 + "p" * n + "?arg=1"
        resp, _ = one_exchange(nginx.port, request_bytes(
            "GET", target, [("Host", "h"), ("Content-Type", "text/x")]))
        assert resp.status == 200 and resp.body == b"fine"

    send(1000)
    [probe] = response_logs(auth_server, count=1)
    raw = probe.msg.raw
    total = len(raw)
    uri_end = raw.index(b"\r\n", raw.index(b"X-Req-Uri:")) + 2
    app_end = raw.index(b"\r\n", raw.index(b"X-App:")) + 2
    auth_server.clear()

    # the shift that puts each of these ends on each of the buffer's last
    # bytes, and one beyond
    shifts = sorted({8192 - end + k for end in (total, uri_end, app_end)
                     for k in range(-3, 2)} | {8192 - total - 6})
    for d in shifts:
        send(1000 + d)
    done = time.monotonic()

    c, _ = counters(collector, done, pid=pid)
    logs = {len(log.value("X-Req-Uri")): log
            for log in response_logs(auth_server)}
    dropped = c.get("packet_too_big", 0) + c.get("no_buffer_space_left", 0)
    assert len(logs) + dropped == len(shifts), (sorted(logs), c)
    assert all(conn.parse_error is None for conn in auth_server.connections)
    # the smallest fits with room to spare, whatever the latency's digits
    assert len(probe.value("X-Req-Uri")) + min(shifts) in logs
    for d in shifts:
        log = logs.pop(len(probe.value("X-Req-Uri")) + d, None)
        if log is None:
            assert total + d > 8189, (d, total)
            continue
        assert len(log.msg.raw) < 8192
        assert log.names() == probe.names()
        assert log.value("X-Req-Uri") == "/s/" + "%01" * 50 + "p" * (1000 + d)
        assert log.value("X-Args") == "arg=1"
        assert log.value("X-App") == "a" * 300
        assert log.body == b"fine"
    assert not logs
