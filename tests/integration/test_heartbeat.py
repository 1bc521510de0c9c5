"""Heartbeat replies steer the worker that sent the heartbeat: logging
level, backoff, sampling rate and bypass policies, and only from a whole
200 reply."""

import collections
import re

from harness import Reply
from harness.monitoring import (STATS_PATH, control_link_config,
                                header_policy, heartbeat_request,
                                is_heartbeat, parse_document, policy_body,
                                sensor_hostname, stats_docs, url_policy)
from harness.samples import head_and_body, sample

POLICIES = policy_body(url_policy("1", ["^/health"]),
                       header_policy("1", [("X-Internal", "^yes$")]))

APPLY = Reply(200, [("X-Kv-Logging-Level", "minimum"),
                    ("X-Kv-Backoff-Duration", "1234"),
                    ("X-Kv-Sampling-Rate", "42")], POLICIES)
# the held values and versions again, and numbers out of range
REPEAT = Reply(200, [("X-Kv-Logging-Level", "minimum"),
                     ("X-Kv-Backoff-Duration", "15001"),
                     ("X-Kv-Sampling-Rate", "101")], POLICIES)
# not a 200
REFUSED = Reply(503, [("X-Kv-Logging-Level", "nologging"),
                      ("X-Kv-Backoff-Duration", "99"),
                      ("X-Kv-Sampling-Rate", "7")], POLICIES)
# the body falls short of its Content-Length
TRUNCATED = Reply(raw=b"HTTP/1.1 200 OK\r\n"
                      b"X-Kv-Logging-Level: metadata\r\n"
                      b"X-Kv-Backoff-Duration: 88\r\n"
                      b"X-Kv-Sampling-Rate: 9\r\n"
                      b"Content-Length: %d\r\n\r\n" % (len(POLICIES) + 10)
                      + POLICIES)

SETTINGS = ("log_level_changed", "backoff_duration_changed",
            "sampling_rate_changed", "uri_bypass_policy_updated",
            "header_bypass_policy_updated", "log_level_msg_invalid",
            "backoff_duration_msg_invalid", "sampling_rate_msg_invalid",
            "policy_regex_compile_failed", "url_policy_parse_errors",
            "header_policy_parse_errors", "policy_version_extract_errors")
CHANGE_LINE = re.compile(r"^\S+ \S+ \[(\w+)\] (\d+)#\d+: "
                         r"((?:Logging mode|Backoff duration|Sampling rate) "
                         r"changed to .*)$", re.M)


def test_replies_apply_per_worker(nginx, collector):
    # Two workers, one monitoring thread each, so every tick runs the
    # statistics exchange before the heartbeat.  Worker A is sent new
    # settings and policies, then the same again with numbers out of
    # range; worker B only replies that must be ignored.
    nginx.start(control_link_config(), values={"URL": collector.url},
                workers=2)
    a, b = sorted(nginx.worker_pids())
    scripts = {a: [APPLY, REPEAT], b: [REFUSED, TRUNCATED]}

    # A connection belongs to the worker whose documents it carries; a
    # worker's heartbeat always follows its document on the same one.
    conn_pid = {}
    answered = collections.Counter()
    by_pid = collections.defaultdict(list)

    def responder(msg):
        if not is_heartbeat(msg):
            pid = parse_document(msg.body).pid
            conn_pid[msg.connection] = pid
            by_pid[pid].append(msg)
            return None
        pid = conn_pid.get(msg.connection)
        by_pid[pid].append(msg)
        n = answered[pid]
        answered[pid] += 1
        script = scripts.get(pid, [])
        return script[n] if n < len(script) else None

    collector.responder = responder

    def three_rounds(_):
        return all(len(by_pid[p]) >= 6 for p in (a, b))

    collector.wait_for(three_rounds, timeout=19)
    assert set(by_pid) == {a, b}, "a heartbeat came before any document"

    levels = {p: [] for p in (a, b)}
    for pid in (a, b):
        msgs = by_pid[pid][:6]
        assert [is_heartbeat(m) for m in msgs] == [False, True] * 3
        for h in msgs[1::2]:
            level = h.header("X-Kv-Sensor-Logging-Level")
            levels[pid].append(level)
            assert h.raw == heartbeat_request(level)
    assert levels == {a: ["default", "minimum", "minimum"],
                      b: ["default", "default", "default"]}

    da = stats_docs(by_pid[a][:6])
    assert da[0].steady() == {"task_callback": 1}
    assert da[1].steady() == {
        "msg_sent": 2, "task_callback": 2, "socket_connected": 1,
        "socket_reads": 2, "task_completed": 2,
        "backoff_duration_changed": 1, "log_level_changed": 1,
        "sampling_rate_changed": 1, "uri_bypass_policy_updated": 1,
        "header_bypass_policy_updated": 1}
    # the repeated reply changed nothing and counted nothing
    assert da[2].steady() == {
        "msg_sent": 2, "task_callback": 2, "socket_reads": 2,
        "task_completed": 2}
    for d in stats_docs(by_pid[b][:6]):
        assert not set(d.access) & set(SETTINGS), d.access

    changes = CHANGE_LINE.findall(nginx.error_log())
    assert sorted(changes) == sorted([
        ("info", str(a), "Logging mode changed to minimum (2)"),
        ("info", str(a), "Backoff duration changed to 1234"),
        ("info", str(a), "Sampling rate changed to 42")])
    for conn in collector.connections:
        assert conn.parse_error is None


def test_sample_exchange_of_the_protocol_table(nginx, collector):
    # The heartbeat, statistics request and heartbeat reply of
    # tests/protocol/ (which the unit tests of both sides read): this
    # worker sends them byte for byte, with its own host and counts, and
    # applies every setting and policy the sample reply carries.
    nginx.start(control_link_config(extra="ext_instance edge-eu-1;"),
                values={"URL": collector.url})
    reply = Reply(raw=sample("heartbeat_reply.http"))
    collector.responder = lambda msg: reply if is_heartbeat(msg) else None
    first, second = collector.wait_heartbeats(2, timeout=15)[:2]

    def with_this_host(raw):
        host = sensor_hostname().encode()
        if host:
            return raw.replace(b": web-1\r\n", b": " + host + b"\r\n")
        return re.sub(rb"X-Kv-Sensor-Host(name)?: web-1\r\n", b"", raw)

    assert first.raw == with_this_host(sample("heartbeat_request.http"))
    assert second.raw == with_this_host(
        sample("heartbeat_request.http").replace(b": default\r\n",
                                                 b": metadata\r\n"))

    def applied(doc):
        return "log_level_changed" in doc.access

    def reported(_):
        return any(applied(d) for d in stats_docs(collector.find_messages()))

    collector.wait_for(reported, timeout=15)
    stats_head, _ = head_and_body("stats_request.http")
    for m in collector.find_messages(STATS_PATH):
        want = ("\r\n".join(stats_head) + "\r\n\r\n").encode("latin-1")
        want = want.replace(b"Content-Length: 85",
                            b"Content-Length: %d" % len(m.body))
        assert m.raw == with_this_host(want) + m.body
    [doc] = [d for d in stats_docs(collector.find_messages()) if applied(d)]
    assert doc.steady().items() >= {
        "log_level_changed": 1, "backoff_duration_changed": 1,
        "sampling_rate_changed": 1, "uri_bypass_policy_updated": 1,
        "header_bypass_policy_updated": 1}.items()
