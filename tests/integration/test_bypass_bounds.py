"""Bypass patterns from the collector cannot crash or stall a worker, and
each request is judged against them once.

A collector that pushes a pattern with a nested group, or one with
exponential backtracking, must not take down workers serving ordinary
long URIs; such a search gives up at a limit, counts as no match, is
counted every time and reported once per pattern.
"""

import re
import time

from harness import wait_until
from harness.exchange import ClientConnection, request_bytes
from harness.monitoring import (header_policy, policy_body, tasks_completed,
                                url_policy)
from harness.sensorlogs import counters, merged_logs

NESTED = "^/((((a|b)|c)|d)|e)*$"
EXPONENTIAL = "^/(a+)+$"
LIMIT_LINE = re.compile(r"\[warn\] .*Bypass pattern \"(.*?)\"(?: for header "
                        r"(\S+))? gave up at its (\w+) limit")

STATS = """
ext_stats_server http://127.0.0.1:@COLLECTOR@;
ext_stats_period 5s;
ext_heartbeat_period 5s;
"""


def get(path, headers=()):
    return request_bytes("GET", path, [("Host", "h"), *headers])


def long_uri(unit, size=8192, tail=""):
    return "/" + (unit * size)[:size - 1 - len(tail)] + tail


def wait_policies(nginx):
    # each tick runs the statistics task, then the heartbeat, whose
    # completion applies the reply's policies
    wait_until(lambda: tasks_completed(nginx.error_log()) >= 2, 8)


def test_catastrophic_patterns_leave_workers_serving(nginx, collector):
    collector.set_heartbeat_reply(body=policy_body(
        url_policy("1", [NESTED, EXPONENTIAL, "^/skip/"]),
        header_policy("1", [("X-Probe", "^(a+)+$")])))
    nginx.start(STATS + """
large_client_header_buffers 4 16k;
server {
    listen 127.0.0.1:@PORT@;
    location / {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        return 200 "ok";
    }
}
""", values={"COLLECTOR": collector.port})
    [pid] = nginx.worker_pids()
    wait_policies(nginx)

    nested_uri = long_uri("abcde")
    a_uri = long_uri("a", tail="!")
    with ClientConnection(nginx.port) as c:
        for data in (get(nested_uri),                    # NESTED gives up
                     get(a_uri),                         # both give up
                     get("/x", [("X-Probe", "a" * 1000 + "!")]),
                     get("/skip/y"),                     # bypassed
                     get(nested_uri)):                   # NESTED again
            resp = c.exchange(data)
            assert (resp.status, resp.body) == (200, b"ok")
    done = time.monotonic()

    assert nginx.worker_pids() == [pid] and nginx.crashes() == []
    wait_until(lambda: len(merged_logs(collector)) >= 4, 5)
    assert [log.uri for log in merged_logs(collector)] == [
        nested_uri, a_uri, "/x", nested_uri]
    c, _ = counters(collector, done, pid=pid)
    assert c.get("policy_match_limit_hit") == 5, c
    assert c.get("uri_bypass_pattern_matched") == 1, c

    # one report per pattern, however often it gave up
    reports = LIMIT_LINE.findall(nginx.error_log())
    assert sorted(r[:2] for r in reports) == [
        ("^(a+)+$", "X-Probe"), (NESTED, ""), (EXPONENTIAL, "")], reports
    assert {r[2] for r in reports} <= {"step", "depth", "stack"}


BIG = """
server {
    listen 127.0.0.1:@PORT@;
    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
    location /big/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        root @PREFIX@/html;
        sendfile off;
        output_buffers 2 4k;
    }
}
"""


def test_one_decision_per_request(nginx, collector, auth_server):
    # The authorization handler decides, the header filter takes its
    # decision, the body filter (called once per few kilobytes of a large
    # static file here) decides nothing.  Each decision logs the URI it
    # checks at debug level.
    content = bytes(range(256)) * 800
    big = nginx.prefix / "html" / "big"
    big.mkdir(parents=True)
    for name in ("file.bin", "skip.bin"):
        (big / name).write_bytes(content)
    for p in (nginx.prefix / "html", big, *big.iterdir()):
        p.chmod(0o755 if p.is_dir() else 0o644)
    collector.set_heartbeat_reply(body=policy_body(
        url_policy("1", ["^/big/skip", "^/nothing/"])))
    nginx.start(STATS + BIG, values={"COLLECTOR": collector.port,
                                     "AUTH": auth_server.port})
    [pid] = nginx.worker_pids()
    wait_policies(nginx)

    mark = nginx.log_mark()
    with ClientConnection(nginx.port) as c:
        for path in ("/big/file.bin", "/big/skip.bin"):
            resp = c.exchange(get(path))
            assert (resp.status, resp.body) == (200, content), path
    done = time.monotonic()

    log = nginx.error_log(mark)
    for path in ("/big/file.bin", "/big/skip.bin"):
        checks = re.findall(r"check_url_match: uri %s$" % re.escape(path),
                            log, re.M)
        assert len(checks) == 1, (path, len(checks))
    # only the request that was not bypassed was authorized and logged
    assert [m.path for m in auth_server.requests] == ["/_auth"]
    [merged] = merged_logs(collector, count=1)
    assert merged.uri == "/big/file.bin"
    c, _ = counters(collector, done, pid=pid)
    assert c.get("uri_bypass_pattern_matched") == 1, c
    assert c["body_filter_hit"] > 20, c
    assert c.get("hdr_filter_hit") == 1, c
