#!/usr/bin/python3
"""Records the byte streams the real sensor writes, for the collector's
unit tests (tests/data/*.bin).

Runs build/sbin/nginx with both modules against the integration harness's
fake collector and authorization server, sends a mix of exchanges and
writes every byte each log or control connection carried:

    merged_stream.bin    merged logs: GET, POST with a JSON body, repeated
                         and non-ASCII response headers, a body over the
                         capture limit
    response_stream.bin  response logs: full body, a body over the capture
                         limit, an empty body, and metadata level (the
                         bodiless form with its extra CR LF)
    control_stream.bin   a heartbeat and a statistics document

Run again after a change to what the sensor writes:
    /usr/bin/python3 collector/tests/capture_sensor_bytes.py
"""

import shutil
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests/integration"))

from harness import FakeAuthServer, FakeCollector, Nginx  # noqa: E402
from harness.exchange import one_exchange, request_bytes  # noqa: E402
from harness.sensorlogs import log_stream  # noqa: E402

OUT = Path(__file__).resolve().parent / "data"

MERGED = """
ext_instance capture;
ext_access_log_body_size 64;
server {
    listen 127.0.0.1:@PORT@;
    location / {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
"""

RESPONSE = """
ext_instance capture;
ext_access_log_body_size 64;
%(mode)s
server {
    listen 127.0.0.1:@PORT@;
    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
    location / {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
"""

CONTROL = """
ext_instance capture;
ext_stats_server http://127.0.0.1:@COLLECTOR@;
ext_heartbeat_period 5s;
ext_stats_period 5s;
server {
    listen 127.0.0.1:@PORT@;
    location / { return 204; }
}
"""


def nginx(prefix):
    return Nginx(tempfile.mkdtemp(prefix="kv-capture-", dir=prefix),
                 str(REPO / "build/sbin/nginx"), str(REPO / "build/modules"))


def wait(server, path, count, timeout=10.0):
    server.wait_messages(path, count, timeout)


def merged(prefix):
    collector, upstream = FakeCollector(), FakeAuthServer()
    collector.start()
    upstream.start()
    ng = nginx(prefix)
    try:
        ng.start(MERGED, values={"COLLECTOR": collector.port,
                                 "UP": upstream.port})
        upstream.set_response(200, [("Content-Type", "application/json")],
                              b'{"items":[1,2,3]}')
        one_exchange(ng.port, request_bytes(
            "GET", "/api/items?page=2",
            [("Host", "api.example"), ("Accept", "*/*")]))
        upstream.set_response(201, [("Content-Type", "application/json"),
                                    ("Location", "/api/items/4")],
                              b'{"id":4,"name":"bolt"}')
        body = b'{"name":"bolt","tags":["a\\"b"]}'
        one_exchange(ng.port, request_bytes(
            "POST", "/api/items", [("Host", "api.example"),
                                   ("Content-Type", "application/json"),
                                   ("Content-Length", str(len(body)))],
            body))
        upstream.set_response(200, [("Set-Cookie", "a=1"),
                                    ("Set-Cookie", "b=2"),
                                    ("X-Name", "caf\xe9 \xff\xfe")],
                              b"plain text")
        one_exchange(ng.port, request_bytes(
            "GET", "/cookies", [("Host", "api.example"),
                                ("X-Quote", 'say "hi" \\ there')]))
        upstream.set_response(200, [("Content-Type", "text/plain")],
                              b"x" * 1000)
        one_exchange(ng.port, request_bytes("GET", "/large",
                                            [("Host", "api.example")]))
        wait(collector, "/mergedlog", 4)
        return log_stream(collector, "/mergedlog")
    finally:
        ng.stop()
        collector.stop()
        upstream.stop()


def response(prefix, mode=""):
    auth, upstream = FakeAuthServer(), FakeAuthServer()
    auth.start()
    upstream.start()
    ng = nginx(prefix)
    try:
        ng.start(RESPONSE % {"mode": mode},
                 values={"AUTH": auth.port, "UP": upstream.port})
        upstream.set_response(200, [("X-Trace", 'a"b'),
                                    ("Content-Type", "application/json")],
                              b'{"ok":true}')
        one_exchange(ng.port, request_bytes(
            "GET", "/api/items?id=7", [("Host", "10.0.0.5"),
                                       ("Accept", "*/*")]))
        count = 1
        if not mode:
            upstream.set_response(200, [("Content-Type", "text/plain")],
                                  b"y" * 1000)
            one_exchange(ng.port, request_bytes("GET", "/large",
                                                [("Host", "h")]))
            upstream.set_response(204, [], b"")
            one_exchange(ng.port, request_bytes(
                "DELETE", "/api/items/3", [("Host", "h")]))
            upstream.set_response(200, [("Content-Type", "text/plain")],
                                  b"ok")
            one_exchange(ng.port, request_bytes(
                "GET", "/p%0d%0aX-Status:%20500", [("Host", "h")]))
            count = 4
        wait(auth, "/nginxlog", count)
        return log_stream(auth, "/nginxlog")
    finally:
        ng.stop()
        auth.stop()
        upstream.stop()


def control(prefix):
    collector = FakeCollector()
    collector.start()
    ng = nginx(prefix)
    try:
        ng.start(CONTROL, values={"COLLECTOR": collector.port})
        wait(collector, "/nginxstats", 1, timeout=20.0)
        wait(collector, "/kestrelvanes/heartbeat/v1", 1, timeout=20.0)
        conns = {m.connection for m in collector.find_messages("/nginxstats")}
        return b"".join(collector.connections[i].raw for i in sorted(conns))
    finally:
        ng.stop()
        collector.stop()


def main():
    OUT.mkdir(exist_ok=True)
    prefix = tempfile.mkdtemp(prefix="kv-capture-")
    Path(prefix).chmod(0o755)
    try:
        (OUT / "merged_stream.bin").write_bytes(merged(prefix))
        (OUT / "response_stream.bin").write_bytes(
            response(prefix) + response(prefix, "ext_initial_logging_mode "
                                                "metadata;"))
        (OUT / "control_stream.bin").write_bytes(control(prefix))
    finally:
        shutil.rmtree(prefix, ignore_errors=True)
    for f in sorted(OUT.glob("*.bin")):
        print(f"{f.name}: {f.stat().st_size} bytes")


if __name__ == "__main__":
    start = time.monotonic()
    main()
    print(f"captured in {time.monotonic() - start:.1f} s")
