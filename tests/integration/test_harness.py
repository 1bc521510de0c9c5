"""The fakes behave as the feature tests rely on them to.

A fake that silently misframes a request or answers when told to stay quiet
would make a feature test pass or fail for the wrong reason, so each
behaviour is checked over real sockets.
"""

import socket
import ssl
import time

import pytest

from harness import Deadline, RequestParser, http_request, raw_exchange


PIPELINED = [
    b"POST /a?x=1 HTTP/1.1\r\nHost: h\r\nX-Dup: 1\r\nx-dup: 2\r\n"
    b"Content-Length: 5\r\n\r\nhello",
    b"PUT /b HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
    b"3;ext=1\r\nabc\r\n2\r\nde\r\n0\r\nTrailer-A: t\r\n\r\n",
    b"GET /c HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n",
]


@pytest.mark.parametrize("split", [1, 7, 10000], ids=["bytewise", "small",
                                                      "whole"])
def test_parser_frames_pipelined_stream(split):
    stream = b"".join(PIPELINED)
    parser = RequestParser()
    msgs = []
    for i in range(0, len(stream), split):
        msgs += parser.feed(stream[i:i + split])
    assert parser.error is None
    assert [m.raw for m in msgs] == PIPELINED
    a, b, c = msgs
    assert (a.method, a.path, a.query, a.body) == ("POST", "/a", "x=1",
                                                   b"hello")
    assert a.headers[1:3] == [("X-Dup", "1"), ("x-dup", "2")]
    assert a.header_all("X-DUP") == ["1", "2"]
    assert (b.body, b.chunked, b.trailers) == (b"abcde", True,
                                               [("Trailer-A", "t")])
    assert c.wants_close() and not a.wants_close()


def test_auth_server_keep_alive_and_records(auth_server):
    auth_server.set_response(201, [("X-A", "1"), ("X-A", "2")], b"body")
    auth_server.queue_response(403, [], b"first")
    out = raw_exchange(auth_server.port, b"".join(PIPELINED))
    replies = out.split(b"HTTP/1.1 ")[1:]
    assert [r.split(b" ", 1)[0] for r in replies] == [b"403", b"201", b"201"]
    assert out.endswith(b"body")
    reqs = auth_server.wait_requests(3)
    assert [m.raw for m in reqs] == PIPELINED
    assert len(auth_server.connections) == 1
    r = http_request(auth_server.port, "/x")
    assert r.header_all("X-A") == ["1", "2"] and r.body == b"body"


def test_auth_server_delay(auth_server):
    auth_server.set_response(200, [], b"late", delay=0.3)
    t0 = time.monotonic()
    assert http_request(auth_server.port).body == b"late"
    assert time.monotonic() - t0 >= 0.3


def _post(port, path="/kestrelvanes/heartbeat/v1/x", timeout=2.0,
          wrap=None):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    if wrap:
        s = wrap(s)
    s.sendall(f"POST {path} HTTP/1.1\r\nHost: c\r\nContent-Length: 2\r\n"
              f"\r\nhi".encode())
    return s


def _read_all(s, timeout):
    s.settimeout(timeout)
    out = b""
    deadline = Deadline(timeout)
    while not deadline.expired():
        try:
            chunk = s.recv(4096)
        except socket.timeout:
            return out, "timeout"
        if not chunk:
            return out, "eof"
        out += chunk
    return out, "timeout"


def _read_reply(s, timeout=2.0):
    """Read one HTTP response framed by Content-Length."""
    s.settimeout(timeout)
    out = b""
    deadline = Deadline(timeout)
    while not deadline.expired():
        head, sep, body = out.partition(b"\r\n\r\n")
        if sep:
            length = [int(line.split(b":")[1]) for line in head.split(b"\r\n")
                      if line.lower().startswith(b"content-length:")]
            if len(body) >= (length or [0])[0]:
                return out
        chunk = s.recv(4096)
        if not chunk:
            break
        out += chunk
    return out


def test_collector_heartbeat_replies(collector):
    collector.set_heartbeat_reply(200, [("X-Mode", "metadata")], b"standing")
    collector.queue_heartbeat_reply(503, [], b"once")
    with _post(collector.port) as s:
        first = _read_reply(s)
    with _post(collector.port) as s:
        second = _read_reply(s)
    with _post(collector.port, "/other") as s:
        other = _read_reply(s)
    assert first.startswith(b"HTTP/1.1 503 ") and first.endswith(b"once")
    assert b"X-Mode: metadata\r\n" in second and second.endswith(b"standing")
    assert other == b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
    assert len(collector.wait_heartbeats(2)) == 2
    assert [c.raw for c in collector.connections][2].startswith(
        b"POST /other ")


def test_collector_modes(collector):
    collector.set_mode("silent")
    with _post(collector.port) as s:
        assert _read_all(s, 0.3) == (b"", "timeout")
    collector.wait_messages(count=1)

    collector.set_mode("slow", delay=0.3)
    t0 = time.monotonic()
    with _post(collector.port) as s:
        assert _read_reply(s).startswith(b"HTTP/1.1 200")
    assert time.monotonic() - t0 >= 0.3

    collector.set_mode("reset")
    with _post(collector.port) as s:
        with pytest.raises(ConnectionResetError):
            _read_all(s, 2.0)

    collector.set_mode("close_idle", idle=0.2)
    with socket.create_connection(("127.0.0.1", collector.port)) as s:
        assert _read_all(s, 2.0) == (b"", "eof")

    collector.set_mode("refuse")
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", collector.port), timeout=1)

    collector.set_mode("normal")
    with _post(collector.port) as s:
        assert _read_reply(s).startswith(b"HTTP/1.1 200")


def test_collector_down_then_up(collector_factory):
    c = collector_factory(start=False)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", c.port), timeout=1)
    c.start()
    with _post(c.port) as s:
        assert _read_reply(s).startswith(b"HTTP/1.1 200")
    c.stop()
    c.start()
    with _post(c.port) as s:
        assert _read_reply(s).startswith(b"HTTP/1.1 200")
    assert len(c.wait_messages(count=2)) == 2


@pytest.mark.parametrize("style", ["close", "garbage"])
def test_tls_collector(tls_collector, tls_cert, style):
    ctx = ssl.create_default_context(cafile=tls_cert[0])
    wrap = lambda s: ctx.wrap_socket(s, server_hostname="localhost")  # noqa
    with _post(tls_collector.port, wrap=wrap) as s:
        assert _read_reply(s).startswith(b"HTTP/1.1 200")
    msg = tls_collector.wait_heartbeats(1)[0]
    assert msg.body == b"hi"
    assert tls_collector.connections[0].sni == "localhost"

    tls_collector.set_mode("tls_fail", tls_fail_style=style)
    with pytest.raises((ssl.SSLError, ConnectionError)):
        with _post(tls_collector.port, wrap=wrap) as s:
            _read_all(s, 1.0)
    assert tls_collector.connections[-1].tls_error


# Sanitizer reports as the runtimes write them (abridged): only a report
# whose every leak is the init cycle's pool made in main may be set aside;
# anything else must reach the test.
INIT_POOL_LEAK = """
=================================================================
==16521==ERROR: LeakSanitizer: detected memory leaks

Direct leak of 1024 byte(s) in 1 object(s) allocated from:
    #0 0x7f0270cb7ffd in __interceptor_posix_memalign asan_malloc_linux.cpp:145
    #1 0x55a6a383cb8e in ngx_memalign src/os/unix/ngx_alloc.c:57
    #2 0x55a6a373dfab in ngx_create_pool src/core/ngx_palloc.c:23
    #3 0x55a6a3733a27 in main src/core/nginx.c:253
    #4 0x7f026fc45249 in __libc_start_call_main libc_start_call_main.h:58

SUMMARY: AddressSanitizer: 1024 byte(s) leaked in 1 allocation(s).
"""
POOL_OF_OURS = """
    #2 0x55a6a373dfab in ngx_create_pool src/core/ngx_palloc.c:23
    #3 0x7fe13eb39a1c in ngx_ext_access_log_message_pool log_queue.cpp:564
    #4 0x55a6a3733a27 in main src/core/nginx.c:253
"""


def test_only_the_init_pool_leak_is_set_aside(tmp_path):
    from harness.nginx import sanitizer_reports
    cases = {
        "init": INIT_POOL_LEAK,
        # a second leak, from a pool the sensor made
        "ours": INIT_POOL_LEAK.replace(
            "\nSUMMARY", "\nIndirect leak of 896 byte(s) in 1 object(s) "
            "allocated from:" + POOL_OF_OURS + "\nSUMMARY"),
        # a memory error in the same process
        "error": "==1==ERROR: AddressSanitizer: heap-buffer-overflow\n"
                 + INIT_POOL_LEAK,
    }
    for name, text in cases.items():
        (tmp_path / f"kv-nginx-{name}.123").write_text(text)
    kept = [p for p, _ in sanitizer_reports(f"{tmp_path}/", "*")]
    assert sorted(kept) == [str(tmp_path / "kv-nginx-error.123"),
                            str(tmp_path / "kv-nginx-ours.123")]
    assert [p.name for p in (tmp_path / "ignored").iterdir()] == [
        "kv-nginx-init.123"]


def test_ub_reports_are_read_from_a_log_with_their_stacks():
    from harness.nginx import ub_reports
    log = ("2026/12/09 22:40:18 [debug] 1#1: *2 http uri: \"/\"\n"
           "modules/x.cpp:12:5: runtime error: signed integer overflow\n"
           "    #0 0x55d4f8be6432 in f modules/x.cpp:12\n"
           "    #1 0x55d4f8c34a0b in g modules/x.cpp:40\n"
           "2026/12/09 22:40:18 [debug] 1#1: *2 http args: \"\"\n")
    assert ub_reports(log) == [
        "modules/x.cpp:12:5: runtime error: signed integer overflow\n"
        "    #0 0x55d4f8be6432 in f modules/x.cpp:12\n"
        "    #1 0x55d4f8c34a0b in g modules/x.cpp:40"]
    assert ub_reports("2026/12/09 [error] 1#1: nothing here\n") == []
