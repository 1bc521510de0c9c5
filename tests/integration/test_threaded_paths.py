"""Everything the sensor's threads share, at once: sender threads of the
access-log pool writing batches over several collector connections,
statistics and heartbeats on two monitoring threads, and every heartbeat
reply bringing a new policy version while client traffic is matched
against the one before.

``make test SANITIZE=thread`` runs these under ThreadSanitizer; on any
build they check that none of it loses, doubles or misjudges an exchange.
"""

import threading

import pytest

from harness import Reply
from harness.accounting import total, wait_accounted
from harness.exchange import ClientConnection, request_bytes
from harness.monitoring import is_heartbeat, policy_body, url_policy
from harness.sensorlogs import merged_logs
from harness.wait import Deadline

CONFIG = """
ext_stats_server http://127.0.0.1:@MONITOR@;
ext_stats_period 5s;
ext_heartbeat_period 5s;
ext_num_socket_conns 3;
server {
    listen 127.0.0.1:@PORT@;
    location / {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        return 200 "ok";
    }
}
"""
CLIENTS = 4
HEARTBEATS = 4  # policy versions handed out while the clients run


class PolicyFeed:
    """Answers each heartbeat with a new policy version.  Every version
    bypasses /skip/; they differ in a pattern no request matches, so each
    is compiled and swapped in anew."""

    def __init__(self):
        self.lock = threading.Lock()
        self.versions = 0

    def __call__(self, msg):
        if not is_heartbeat(msg):
            return None
        with self.lock:
            self.versions += 1
            v = self.versions
        return Reply(200, [], policy_body(
            url_policy(str(v), ["^/skip/", f"^/none/v{v}(a|b)+$"])))


def drive(port, n, stop, results):
    """Keep-alive requests, /keep/ and /skip/ in turn, until ``stop``;
    paced so that a slow (sanitized) worker keeps up."""
    sent = []
    try:
        with ClientConnection(port) as c:
            i = 0
            while not stop.is_set():
                uri = f"/{'skip' if i % 2 else 'keep'}/c{n}/{i}"
                resp = c.exchange(request_bytes("GET", uri, [("Host", "h")]))
                assert (resp.status, resp.body) == (200, b"ok"), uri
                sent.append(uri)
                i += 1
                stop.wait(0.01)
    except Exception as e:  # noqa: BLE001 - reported by the test
        results[n] = e
        return
    results[n] = sent


@pytest.mark.parametrize("threads", [2, 4])
def test_policy_updates_under_traffic_on_thread_pools(
        nginx, collector_factory, threads):
    logs, monitor = collector_factory(), collector_factory()
    feed = PolicyFeed()
    monitor.responder = feed
    nginx.start(CONFIG, values={"COLLECTOR": logs.port,
                                "MONITOR": monitor.port},
                workers=2, pools={"access": {"threads": threads},
                                  "monitoring": {"threads": 2}})
    pids = sorted(nginx.worker_pids())

    stop = threading.Event()
    results = {}
    clients = [threading.Thread(target=drive, args=(nginx.port, n, stop,
                                                    results))
               for n in range(CLIENTS)]
    for t in clients:
        t.start()
    try:
        monitor.wait_for(lambda _: feed.versions >= HEARTBEATS, timeout=30)
    finally:
        stop.set()
        deadline = Deadline(30)
        for t in clients:
            t.join(deadline.remaining())
    errors = [r for r in results.values() if isinstance(r, Exception)]
    assert not errors, errors
    assert len(results) == CLIENTS
    sent = [uri for r in results.values() for uri in r]
    keep = sorted(u for u in sent if u.startswith("/keep/"))
    skip = {u for u in sent if u.startswith("/skip/")}

    # every exchange has exactly one outcome in its worker's documents
    accts = wait_accounted(monitor, len(sent), timeout=30, pids=pids)
    assert {p: a.outcome("dropped") + a.outcome("failed")
            for p, a in accts.items()} == {p: 0 for p in pids}
    bypassed = total(accts, "uri_bypass_pattern_matched")
    assert total(accts, "uri_bypass_policy_updated") >= 2

    # every /keep/ exchange arrived once, whole; of /skip/ only those
    # served before their worker's first policy, none of them twice
    got = merged_logs(logs, count=len(sent) - bypassed, timeout=30)
    uris = [log.uri for log in got]
    assert len(uris) == len(set(uris))
    assert sorted(u for u in uris if u.startswith("/keep/")) == keep
    skipped_logged = {u for u in uris if u.startswith("/skip/")}
    assert skipped_logged <= skip
    assert len(skipped_logged) + bypassed == len(skip)
    assert bypassed > 0
    assert 1 <= len(logs.connections) <= 3 * len(pids)
