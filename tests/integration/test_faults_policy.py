"""Fault matrix, bypass policies: heartbeat replies carry hostile policy
documents (a megabyte long, thousands of patterns, "Type" repeated all
over, strings that never end, patterns that do not compile, patterns that
backtrack), a new one at every heartbeat, while clients keep nginx busy
with requests some of them would match.

In every case each client gets its right answer, the worker lives on
within stated memory and descriptor bounds (replaced policies give their
memory back), the monitoring thread goes on to the next tick, the
documents count what the policies did and account for every exchange, and
a sane policy sent afterwards is obeyed.
"""

import json
import time
from dataclasses import dataclass, field

import pytest

from harness import FakeCollector, Reply
from harness.accounting import describe, wait_accounted
from harness.faults import Clients, echo, logged_uris, report
from harness.monitoring import (HEARTBEAT_PREFIX, HEARTBEAT_TARGET,
                                STATS_PATH, header_policy, policy_body,
                                url_policy)
from harness.procstat import (Bounds, Sampler, baseline, check_peaks,
                              wait_fds_settle)

CONF = """
ext_stats_server http://127.0.0.1:@C@;
ext_stats_period 5s;
ext_heartbeat_period 5s;
large_client_header_buffers 4 16k;
server {
    listen 127.0.0.1:@PORT@;
    kestrelvanes_http_access_enable on;
    ext_auth_log_server http://127.0.0.1:@C@;
    location / {
        return 200 "ok $request_uri\\n";
    }
}
"""

# the longest reply the sensor reads; what is longer is refused whole
REPLY_ROOM = 8192
HOSTILE_REPLIES = 3


def compact(*blocks):
    return json.dumps(list(blocks), separators=(",", ":")).encode()


def megabyte(n):
    return policy_body(url_policy(f"m{n}", ["^/never/" + "x" * 1000] * 1000))


def thousands(n):
    # as many one-character patterns as the reply has room for
    head = compact(url_policy(f"t{n}", []))
    count = (REPLY_ROOM - 64 - len(head)) // 4
    return compact(url_policy(f"t{n}", ["~"] * count))


def repeated_type(n):
    return b'{"Type":' * ((REPLY_ROOM - 64) // 8)


def unterminated(n):
    return (b'[{"Type":"headerbypass","Version":"h%d","Headers":[{"X-A":"^b'
            b'"}, {"X-B":"^c' % n
            + b'{"Type":"urlbypass","Version":"u%d","Patterns":["^/a' % n)


def bad_regex(n):
    return policy_body(url_policy(f"r{n}", ["(", "[z-a]", "a{2,1}", "^/rx/"]),
                       header_policy(f"r{n}", [("X-A", "(")]))


def backtracking(n):
    return policy_body(url_policy(f"b{n}", ["^/(a+)+$", "^/((a|b)*)*c$"]))


LONG_A = "/" + "a" * 4000 + "!"
LONG_AB = "/" + "ab" * 2000 + "!"


@dataclass
class PolicyFault:
    body: object  # n -> reply body of the n-th hostile heartbeat
    shows: dict  # counters the documents show, at least this much
    paths: list = field(default_factory=list)  # requests it meets
    bypassed: str = None  # paths with this in them are bypassed meanwhile
    bounds: Bounds = field(default_factory=lambda: Bounds(8, 12, 2))


FAULTS = {
    "megabyte": PolicyFault(megabyte, {}),
    "thousands": PolicyFault(thousands, {"uri_bypass_policy_updated": 3,
                                         "uri_bypass_pattern_matched": 1},
                             paths=[f"/tilde/~{i}" for i in range(20)],
                             bypassed="~"),
    "repeated_type": PolicyFault(repeated_type,
                                 {"policy_version_extract_errors": 100}),
    "unterminated": PolicyFault(unterminated, {"url_policy_parse_errors": 1,
                                               "header_policy_parse_errors":
                                               1}),
    "bad_regex": PolicyFault(bad_regex, {"policy_regex_compile_failed": 4,
                                         "uri_bypass_policy_updated": 1},
                             paths=[f"/rx/{i}" for i in range(20)],
                             bypassed="/rx/"),
    "backtracking": PolicyFault(backtracking, {"policy_match_limit_hit": 20},
                                paths=[LONG_A, LONG_AB] * 10),
}
SANE = compact(url_policy("sane", ["^/skip/"]))


class Script:
    """Heartbeat replies: plain ones, then hostile ones, then a sane one;
    remembers which heartbeat got which."""

    def __init__(self, fault):
        self.fault = fault
        self.phase = "plain"
        self.sent = []  # (phase, heartbeat message)

    def __call__(self, msg):
        if msg.target != HEARTBEAT_TARGET:
            return None
        if self.phase == "hostile":
            n = sum(1 for p, _ in self.sent if p == "hostile") + 1
            reply = Reply(200, [], self.fault.body(n))
        elif self.phase == "sane":
            reply = Reply(200, [], SANE)
        else:
            reply = Reply(200)
        self.sent.append((self.phase, msg))
        return reply

    def answered(self, phase):
        return [m for p, m in self.sent if p == phase]

    def done_with(self, collector, phase, count):
        """``count`` replies of ``phase`` went out and the worker's next
        exchange (on any connection) began after the last: it has finished
        with them."""
        got = self.answered(phase)
        if len(got) < count:
            return False
        last = got[count - 1]
        return any(m.started_at > last.received_at
                   for m in collector.find_messages()
                   if m.path in (STATS_PATH, HEARTBEAT_PREFIX))


def run_policy_fault(ctx, fault):
    c = ctx.server(FakeCollector())
    script = Script(fault)
    c.responder = script
    nginx = ctx.nginx()
    nginx.start(CONF, values={"C": c.port})
    [pid] = nginx.worker_pids()
    clients = Clients(nginx.port, echo)

    clients.burst([f"/warm/{i}" for i in range(8)], connections=2)
    c.wait_for(lambda _: script.done_with(c, "plain", 1), timeout=15)
    base = baseline([pid])

    with Sampler([pid]) as sampler:
        clients.start_trickle("/t/")
        script.phase = "hostile"
        c.wait_for(lambda _: script.answered("hostile"), timeout=10)
        clients.burst(fault.paths + [f"/burst/{i}" for i in range(40)])
        c.wait_for(lambda _: script.done_with(c, "hostile", HOSTILE_REPLIES),
                   timeout=5 * HOSTILE_REPLIES + 15)  # a heartbeat each tick
        clients.burst(fault.paths)
        script.phase = "sane"
        c.wait_for(lambda _: script.done_with(c, "sane", 1), timeout=15)
        clients.stop_trickle()
        sane_from = time.monotonic()
        clients.one("/skip/probe")
        clients.one("/after/probe")

    clients.check()
    assert nginx.worker_pids() == [pid] and nginx.crashes() == []
    check_peaks(base, sampler.peaks, fault.bounds)
    wait_fds_settle(base, fault.bounds)

    c.wait_for(lambda _: "/after/probe" in logged_uris(c), timeout=10)
    logged = logged_uris(c)
    assert "/skip/probe" not in logged
    for a in clients.answers:
        if a.sent_at < sane_from and (fault.bypassed is None
                                      or fault.bypassed not in a.path):
            assert a.path in logged, a.path

    accts = wait_accounted(c, clients.count, timeout=20, pids={pid})
    acct = accts[pid]
    for k, n in fault.shows.items():
        assert acct.get(k) >= n, (k, describe(accts))
    assert nginx.log_problems() == []
    return {"exchanges": clients.count, "outcomes": acct.outcomes,
            "base": base[pid], "peak_rss_kib": sampler.peaks.rss_kib[pid],
            "peak_fds": sampler.peaks.fds[pid]}


def fault_case(name, tls_cert):
    return lambda ctx: run_policy_fault(ctx, FAULTS[name])


@pytest.mark.parametrize("case", list(FAULTS))
def test_hostile_policy_document(request, fault_matrix, case):
    report(request, fault_matrix[__name__, case])
