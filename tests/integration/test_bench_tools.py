"""The bench's own tools: the sink's counts are the bench's delivery figures,
the load generator's requests must be the ones wrk sends, and the policy
documents of the memory run must be ones the sensor applies."""

import json
import os
import socket
import subprocess
import sys
import time

import pytest

from harness.net import free_ports
from harness.wait import wait_until

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "bench"))

import bench  # noqa: E402
import report  # noqa: E402


@pytest.fixture(scope="session")
def bench_tools(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench-tools")
    tools = {}
    for name in ("sink", "loadgen"):
        tools[name] = str(out / name)
        subprocess.run(["g++", "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-o",
                        tools[name], os.path.join(TOP, "bench", f"{name}.cpp")], check=True)
    return tools


class Sink:
    def __init__(self, binary, stats_file):
        self.port, self.never_port = free_ports(2)
        self.stats_file = stats_file
        self.proc = subprocess.Popen(
            [binary, "--port", str(self.port), "--never-port", str(self.never_port),
             "--stats-file", str(stats_file)], stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "ready"

    def get(self, path):
        with socket.create_connection(("127.0.0.1", self.port)) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            data = b""
            while b"}" not in data:
                data += s.recv(65536)
        return json.loads(data.split(b"\r\n\r\n", 1)[1])

    def counters(self):
        return self.get("/_sink/counters")


@pytest.fixture
def sink(bench_tools, tmp_path):
    s = Sink(bench_tools["sink"], tmp_path / "stats.log")
    yield s
    s.proc.kill()
    s.proc.wait()


def post(path, body, extra=b""):
    head = (f"POST {path} HTTP/1.1\r\nHost:127.0.0.1:9000\r\n"
            f"Content-Length: {len(body):010d}\r\n").encode()
    return head + extra + b"\r\n" + body


def read_replies(sock, count):
    data = b""
    sock.settimeout(5)
    while data.count(b"HTTP/1.1 ") < count:
        chunk = sock.recv(65536)
        assert chunk, f"connection closed after {data!r}"
        data += chunk
    return data


def test_sink_frames_every_message_the_sensor_and_nginx_send_however_split(sink):
    merged = post("/mergedlog?sensor=nginx", b'[{"request":{"method":"GET"}}]')
    response = b"POST /nginxlog HTTP/1.1\r\nHost: c\r\nX-Status: 200\r\nContent-Length: 11\r\n\r\n{\"ok\":true}"
    # the bodiless form ends its head with one CR LF too many
    bodiless = b"POST /nginxlog HTTP/1.1\r\nHost: c\r\nX-Status: 204\r\n\r\n\r\n"
    heartbeat = b"POST /kestrelvanes/heartbeat/v1?sensor=nginx HTTP/1.1\r\nHost: c\r\n\r\n"
    stats = post("/nginxstats", b'{"worker":{"pid":7 },"access":{"msg_sent":3},"auth":{}}')
    mirror = (b"POST /mirror/api/orders HTTP/1.1\r\nHost: sink\r\nTransfer-Encoding: chunked\r\n\r\n"
              b"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n")
    auth = b"POST /auth HTTP/1.1\r\nHost: sink\r\nContent-Length: 3\r\n\r\nabc"
    backend = b"GET /backend HTTP/1.1\r\nHost: sink\r\n\r\n"
    stream = [merged, response, bodiless, merged, heartbeat, stats, mirror, auth, backend]
    data = b"".join(stream)

    with socket.create_connection(("127.0.0.1", sink.port)) as s:
        sizes = [1, 2, 3, 5, 7, 11, 13, 64, 1000]
        pos, i = 0, 0
        while pos < len(data):
            s.sendall(data[pos:pos + sizes[i % len(sizes)]])
            pos += sizes[i % len(sizes)]
            i += 1
            time.sleep(0.001)
        replies = read_replies(s, len(stream))

    assert replies.count(b"HTTP/1.1 200 OK") == len(stream) - 1
    assert replies.count(b"HTTP/1.1 204 No Content") == 1
    assert bench.API_BODY.encode() in replies
    c = sink.counters()
    assert (c["merged"], c["response"], c["heartbeat"], c["stats"], c["mirror"], c["auth"],
            c["backend"], c["other"], c["bad"]) == (2, 2, 1, 1, 1, 1, 1, 0, 0)
    # every byte belongs to the message it came with
    assert c["merged_bytes"] == 2 * len(merged)
    assert c["response_bytes"] == len(response) + len(bodiless) - 2
    assert c["mirror_bytes"] == len(mirror)


def test_sink_drops_a_connection_that_is_not_http_and_keeps_the_others(sink):
    with socket.create_connection(("127.0.0.1", sink.port)) as good, \
            socket.create_connection(("127.0.0.1", sink.port)) as bad:
        bad.sendall(b"garbage\r\n\r\n")
        bad.settimeout(5)
        assert bad.recv(100) == b""
        good.sendall(post("/mergedlog?sensor=nginx", b"[]"))
        assert read_replies(good, 1).startswith(b"HTTP/1.1 200 OK")
    c = sink.counters()
    assert (c["bad"], c["merged"]) == (1, 1)


def test_sink_keeps_each_statistics_document_with_its_arrival_time(sink):
    doc = b'{"worker":{"pid":4242 },"access":{"task_post_failed":9},"auth":{}}'
    before = time.monotonic()
    with socket.create_connection(("127.0.0.1", sink.port)) as s:
        s.sendall(post("/nginxstats", doc))
        read_replies(s, 1)
    after = time.monotonic()
    at, _, text = sink.stats_file.read_text().strip().partition(" ")
    assert before <= float(at) <= after
    assert text.encode() == doc
    assert sink.counters()["last_stats_at"] == pytest.approx(float(at), abs=1e-5)


def test_sink_never_port_accepts_and_never_reads(sink):
    with socket.create_connection(("127.0.0.1", sink.never_port)) as s:
        s.setblocking(False)
        sent = 0
        with pytest.raises(BlockingIOError):
            for _ in range(100000):
                sent += s.send(b"x" * 65536)
    assert sent > 0
    c = sink.counters()
    assert (c["never_conns"], c["other"], c["bad"]) == (1, 0, 0)


def test_heartbeat_policies_with_new_versions_are_applied_by_the_sensor(sink, nginx):
    sink.get("/_sink/policy/rotate")
    nginx.start(f"""
ext_stats_server http://127.0.0.1:{sink.port};
ext_heartbeat_period 5s;
ext_stats_period 5s;
server {{
    listen 127.0.0.1:@PORT@;
    location / {{ return 204; }}
}}
""", workers=1)

    def applied():
        text = sink.stats_file.read_text() if sink.stats_file.exists() else ""
        docs = [json.loads(line.partition(" ")[2]) for line in text.splitlines()]
        access = [d["access"] for d in docs]
        return any(a.get("uri_bypass_policy_updated") for a in access) and \
            any(a.get("header_bypass_policy_updated") for a in access) and \
            not any(a.get("policy_regex_compile_failed") or a.get("url_policy_parse_errors")
                    or a.get("header_policy_parse_errors") for a in access)

    # the first tick's heartbeat applies them, the second tick's document counts it
    wait_until(applied, timeout=15, message="no statistics document counted a policy update")
    assert sink.counters()["policy_version"] >= 1


def expected_request(port, path, post_bytes):
    """The request wrk sends for bench/wrk.lua with WRK_POST_BYTES."""
    body = '{"data":"' + "x" * (post_bytes - 12) + '"}\n'
    body += " " * (post_bytes - len(body))
    return (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Length: "
            f"{len(body)}\r\nContent-Type: application/json\r\n\r\n{body}").encode()


def test_loadgen_closed_loop_sends_exactly_the_requests_asked_for(sink, bench_tools):
    out = subprocess.run([bench_tools["loadgen"], "--port", str(sink.port), "--path", "/backend",
                          "--post-bytes", "2048", "--conns", "4", "--requests", "300"],
                         capture_output=True, text=True, check=True)
    result = json.loads(out.stdout)
    assert (result["requests"], result["errors"], result["non2xx"]) == (300, 0, 0)
    c = sink.counters()
    assert c["backend"] == 300
    request = expected_request(sink.port, "/backend", 2048)
    assert len(json.loads(request.split(b"\r\n\r\n", 1)[1])["data"]) == 2048 - 12
    assert c["backend_bytes"] == 300 * len(request)


def test_loadgen_keeps_requests_due_while_the_server_is_stuck(sink, bench_tools):
    # open loop: one request per connection goes out, the rest wait and count
    out = subprocess.run([bench_tools["loadgen"], "--port", str(sink.never_port), "--path", "/",
                          "--conns", "2", "--rate", "1000", "--duration", "0.3"],
                         capture_output=True, text=True, check=True)
    result = json.loads(out.stdout)
    assert (result["requests"], result["issued"]) == (0, 2)
    assert result["max_backlog"] > 0


def test_ratios_to_stock_are_taken_within_each_round():
    def run(scenario, rnd, rps, cpu):
        return {"scenario": scenario, "method": "GET", "kind": "sat", "round": rnd, "rps": rps,
                "cpu_us_per_req": cpu, "errors": 0, "non2xx": 0}

    # stock drifts between rounds; the sensor keeps half of it in each
    results = [run("stock", 1, 100.0, 10.0), run("merged-default", 1, 50.0, 20.0),
               run("stock", 2, 60.0, 10.0), run("merged-default", 2, 30.0, 25.0),
               run("stock", 3, 80.0, 10.0), run("merged-default", 3, 40.0, 30.0)]
    agg = report.aggregate(results)
    row = agg[("sat", "GET", "merged-default")]
    assert row["ratio"] == pytest.approx(0.5)
    assert row["cpu_ratio"] == pytest.approx(2.5)
    assert row["rps"] == 40.0 and row["rounds"] == 3
