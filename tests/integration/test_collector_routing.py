"""Each exchange goes to the collector its location names, and to no other.

Operators keep collectors apart by tenant, team or data class: a message
on another collector's connection hands one tenant's traffic, bodies and
credentials included, to another.  Every test sends exchanges to several
locations over several client connections, lets nginx quit (a graceful
exit sends everything it holds), and then finds each exchange at its own
collector, once, and nowhere else.
"""

import pytest

from harness import wait_until
from harness.exchange import ClientConnection, one_exchange, request_bytes
from harness.sensorlogs import merged_logs, response_logs

CLIENTS = 8
PER_CLIENT = 3


def merged_location(path, url):
    return f"""
    location {path} {{
        kestrelvanes_http_access_enable on;
        ext_auth_log_server {url};
        return 200 "{path}";
    }}"""


def server(locations, extra=""):
    return f"""
{extra}
server {{
    listen 127.0.0.1:@PORT@;
    {"".join(locations)}
}}
"""


def send_exchanges(nginx, paths, tag):
    """PER_CLIENT requests to every path over each of CLIENTS keep-alive
    connections; returns {path: [uri, ...]}."""
    sent = {p: [] for p in paths}
    for n in range(CLIENTS):
        with ClientConnection(nginx.port) as c:
            for i in range(PER_CLIENT):
                for p in paths:
                    uri = f"{p}{tag}-c{n}-r{i}"
                    r = c.exchange(request_bytes("GET", uri, [("Host", "h")]))
                    assert r.status == 200
                    sent[p].append(uri)
    return sent


def stop_and_flush(nginx):
    """nginx quits gracefully: every worker sends what it holds first."""
    nginx.stop(timeout=20)
    assert not nginx.quit_timed_out


def received_uris(collector):
    return sorted(log.uri for log in merged_logs(collector))


def assert_each_gets_its_own(expected):
    """expected: [(collector, [uri, ...])]; every uri once, at its own."""
    for collector, uris in expected:
        got = received_uris(collector)
        assert got == sorted(uris), (collector.port, len(got), len(uris))


@pytest.mark.parametrize("conns", [1, 4])
@pytest.mark.parametrize("names", [("plain", "plain"),
                                   ("plain", "plain", "tls")],
                         ids=["two", "three-one-tls"])
def test_each_location_reaches_its_own_collector_only(
        nginx, collector_factory, names, conns):
    collectors = [collector_factory(tls=n == "tls") for n in names]
    paths = [f"/loc{i}/" for i in range(len(collectors))]
    nginx.start(server([merged_location(p, c.url)
                        for p, c in zip(paths, collectors)],
                       f"ext_num_socket_conns {conns};"),
                workers=2, pools={"access": {"threads": 2}})

    sent = send_exchanges(nginx, paths, "x")
    stop_and_flush(nginx)

    assert_each_gets_its_own([(c, sent[p])
                              for p, c in zip(paths, collectors)])
    for c, name in zip(collectors, names):
        conns_used = c.connections
        # the connections of each worker to this collector, at most
        assert 1 <= len(conns_used) <= 2 * conns, conns_used
        if conns > 1:
            # eight client connections spread over every slot of a worker
            assert len(conns_used) >= conns, conns_used
        for conn in conns_used:
            # TLS where the URL says so, and plain HTTP where it does not
            assert bool(conn.tls_version) == (name == "tls"), conn
            assert conn.tls_error is None and conn.parse_error is None, conn


def test_both_formats_and_response_logs_go_back_to_the_authorizer_that_answered(
        nginx, collector_factory, auth_server_factory):
    authorizers = [auth_server_factory(), auth_server_factory()]
    collectors = [collector_factory(), collector_factory()]
    upstream = auth_server_factory()

    def protected(path, auth):
        name = "/_auth" + path.strip("/")
        return f"""
    location = {name} {{
        internal;
        proxy_pass http://127.0.0.1:{auth.port};
    }}
    location {path} {{
        kestrelvanes_http_auth_enable on;
        ext_auth_request {name};
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:{upstream.port};
    }}"""

    locations = [protected("/ra/", authorizers[0]),
                 protected("/rb/", authorizers[1]),
                 merged_location("/ma/", collectors[0].url),
                 merged_location("/mb/", collectors[1].url)]
    nginx.start(server(locations, "ext_num_socket_conns 2;"), workers=2)

    sent = send_exchanges(nginx, ["/ra/", "/rb/", "/ma/", "/mb/"], "f")
    stop_and_flush(nginx)

    for auth, path in zip(authorizers, ["/ra/", "/rb/"]):
        logs = response_logs(auth)
        assert sorted(log.value("X-Req-Uri") for log in logs) == \
            sorted(sent[path])
    assert_each_gets_its_own([(collectors[0], sent["/ma/"]),
                              (collectors[1], sent["/mb/"])])


def test_reload_that_moves_one_location_sends_each_exchange_to_the_collector_of_its_time(
        nginx, collector_factory):
    a, b, c = (collector_factory() for _ in range(3))
    before = [merged_location("/a/", a.url), merged_location("/b/", b.url)]
    after = [merged_location("/a/", a.url), merged_location("/b/", c.url)]
    nginx.start(server(before, "ext_num_socket_conns 2;"), workers=2)

    first = send_exchanges(nginx, ["/a/", "/b/"], "before")
    nginx.reload(server(after, "ext_num_socket_conns 2;"))
    second = send_exchanges(nginx, ["/a/", "/b/"], "after")
    stop_and_flush(nginx)

    assert_each_gets_its_own([(a, first["/a/"] + second["/a/"]),
                              (b, first["/b/"]),
                              (c, second["/b/"])])


def test_many_collectors_keep_a_worker_to_64_connections(nginx,
                                                         collector_factory):
    # a collector whose lanes hold nothing, used least recently, is
    # closed for the 65th; it gets a new connection when needed again
    collectors = [collector_factory() for _ in range(66)]
    nginx.start(server([merged_location(f"/c{i}/", c.url)
                        for i, c in enumerate(collectors)]), workers=1)

    for i, c in enumerate(collectors):
        r, _ = one_exchange(nginx.port, request_bytes(
            "GET", f"/c{i}/first", [("Host", "h")]))
        assert r.status == 200
        merged_logs(c, count=1, timeout=10)

    def closed():
        return [c for c in collectors
                if c.connections and all(x.closed for x in c.connections)]

    wait_until(lambda: len(closed()) >= 2, timeout=10)
    open_now = [c for c in collectors
                if any(not x.closed for x in c.connections)]
    assert len(open_now) <= 64
    # closed by the sensor, cleanly: nothing it had sent was cut off
    assert all(x.closed_by == "peer" for c in closed() for x in c.connections)

    again = closed()[0]
    index = collectors.index(again)
    one_exchange(nginx.port, request_bytes("GET", f"/c{index}/again",
                                           [("Host", "h")]))
    stop_and_flush(nginx)

    for i, c in enumerate(collectors):
        want = [f"/c{i}/first"] + ([f"/c{i}/again"] if c is again else [])
        assert received_uris(c) == sorted(want)
