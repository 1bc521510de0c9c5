"""Collectors given by host name.

The name is resolved when nginx reads its configuration, and again by each
worker in the background through nginx's own resolver (the http block's
`resolver`), whose lookups are UDP exchanges on the event loop with their
own deadline (`resolver_timeout`): no sender thread ever waits on a name
server.  A lookup that fails or times out keeps the last good address; a
new address is taken at the next message.

The name server here is the test's own, on a loopback UDP port, given to
nginx by the `resolver` directive.  It answers as told, or drops every
query as a name server that never answers does.  "localhost" resolves at
load from the hosts file, to 127.0.0.1.
"""

import pytest

from harness.dns import FakeNameServer
from harness.exchange import one_exchange, request_bytes
from harness.sensorlogs import merged_logs

CONFIG = """
resolver 127.0.0.1:@DNS@ valid=1s ipv6=off;
resolver_timeout 1s;
server {
    listen 127.0.0.1:@PORT@;
    location / {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://localhost:@COLLECTOR@;
        return 200 "named";
    }
}
"""


@pytest.fixture
def name_server():
    ns = FakeNameServer().start()
    yield ns
    ns.stop()


def send(nginx, tag, count=4):
    uris = [f"/{tag}/{i}" for i in range(count)]
    for uri in uris:
        r, _ = one_exchange(nginx.port, request_bytes("GET", uri,
                                                      [("Host", "h")]))
        assert r.status == 200
    return uris


def uris_at(collector):
    return sorted(log.uri for log in merged_logs(collector))


def test_silent_name_server_keeps_the_address_found_at_load(
        nginx, collector, name_server):
    nginx.start(CONFIG, values={"DNS": name_server.port,
                                "COLLECTOR": collector.port})

    # the worker asks at once, and its lookup runs out of time
    name_server.wait_queries(1)
    nginx.wait_log('collector host "localhost" could not be resolved '
                   '(110: Operation timed out); its last address is kept',
                   timeout=10)

    # exchanges made while lookups go unanswered reach the collector
    uris = send(nginx, "silent")
    merged_logs(collector, count=len(uris), timeout=10)
    assert uris_at(collector) == sorted(uris)


def test_new_address_is_taken_and_kept_while_the_name_server_is_silent(
        nginx, collector, collector_factory, name_server):
    old = collector
    new = collector_factory(port=old.port, host="127.0.0.2")
    nginx.start(CONFIG, values={"DNS": name_server.port,
                                "COLLECTOR": old.port})
    name_server.wait_queries(1)

    first = send(nginx, "first")
    merged_logs(old, count=len(first), timeout=10)

    mark = nginx.log_mark()
    name_server.answer("127.0.0.2")
    nginx.wait_log(f'collector "http://localhost:{old.port}" is now at '
                   f'127.0.0.2:{old.port}', timeout=10, since=mark)
    second = send(nginx, "second")
    merged_logs(new, count=len(second), timeout=10)

    # the answer expires and no other comes: the new address stays
    mark = nginx.log_mark()
    name_server.drop()
    nginx.wait_log("could not be resolved", timeout=10, since=mark)
    third = send(nginx, "third")

    nginx.stop(timeout=20)
    assert uris_at(old) == sorted(first)
    assert uris_at(new) == sorted(second + third)
    # the move ended the old connection from the sensor's side, cleanly
    assert all(c.closed_by == "peer" for c in old.connections), \
        old.connections
