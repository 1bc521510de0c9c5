"""Fault matrix, authorization: the authorization service is down, slow
within and past the proxy's timeout, answers garbage, or closes in the
middle of its answer, under locations with ``ext_auth_fail_allow`` on and
off.

In every case each client gets the answer the setting promises (the
application's answer when failures let requests through, 500 when they do
not; a slow but timely answer decides as usual), no worker dies, memory
and descriptors stay within bounds, the counters tell how many
subrequests went out and how many failures were let through, every
exchange is accounted for, and once the service is well its decisions
apply again.
"""

from dataclasses import dataclass

import pytest

from harness import FakeAuthServer, FakeCollector, Reply
from harness.accounting import describe, wait_accounted
from harness.faults import Clients, get, report
from harness.exchange import ClientConnection
from harness.procstat import (Bounds, Sampler, baseline, check_peaks,
                              wait_fds_settle)

AUTH_LOCATION = """
    location = /_auth_%(flag)s {
        internal;
        ext_auth_fail_allow %(flag)s;
        proxy_pass http://127.0.0.1:@AUTH@;
        proxy_connect_timeout 2s;
        proxy_read_timeout 1s;
    }
    location /%(flag)s/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth_%(flag)s;
        ext_auth_fail_allow %(flag)s;
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@MON@;
        proxy_pass http://127.0.0.1:@UP@;
    }
"""

CONF = """
ext_stats_server http://127.0.0.1:@MON@;
ext_stats_period 5s;
ext_heartbeat_period 0;
server {
    listen 127.0.0.1:@PORT@;
    location = /_500 {
        return 500;
    }
    location = /_403 {
        return 403;
    }
""" + AUTH_LOCATION % {"flag": "on"} + AUTH_LOCATION % {"flag": "off"} + """
}
"""


def app(path):
    return b"app " + path.encode()


def decide(msg, delay=0.0):
    """The service when well: it denies what the client asked for under a
    path with "deny" in it."""
    uri = msg.header("X-Req-Uri") or ""
    return Reply(403 if "deny" in uri else 200, [], b"", delay=delay)


def cut_short(server):
    """The decision's head, then the connection closes 5 bytes into a body
    announced as 100."""
    def reply(msg):
        status = decide(msg).status
        return Reply(raw=b"HTTP/1.1 %d Decided\r\nContent-Length: 100\r\n"
                         b"\r\nshort" % status, close=True)
    server.responder = reply


def late(delay):
    def begin(server):
        server.responder = lambda msg: decide(msg, delay)
    return begin


def stop(server):
    server.stop()


def answer(reply):
    def begin(server):
        server.responder = lambda msg: reply
    return begin


@dataclass
class AuthFault:
    begin: object  # FakeAuthServer -> None
    fails: bool = True  # the authorization location answers 5xx meanwhile
    status: int = 502  # ... with this status


GARBAGE = b"\x00\x01 not http at all\r\n\r\n"
FAULTS = {
    "down": AuthFault(stop),
    "slow_in_time": AuthFault(late(0.3), fails=False),
    "slow_past_timeout": AuthFault(late(2.0), status=504),
    # nginx's proxy takes a headerless answer for HTTP/0.9 and leaves the
    # subrequest without a status: an unexpected one, not a 5xx
    "garbage": AuthFault(answer(Reply(raw=GARBAGE, close=True)), status=0),
    "closed_mid_head": AuthFault(answer(Reply(raw=b"HTTP/1.1 200 OK\r\nCont",
                                              close=True))),
    # the status was said: it decides
    "closed_mid_body": AuthFault(cut_short, fails=False),
}


def run_auth_fault(ctx, fault):
    mon = ctx.server(FakeCollector())
    auth = ctx.server(FakeAuthServer())
    auth.responder = decide
    up = ctx.server(FakeAuthServer())
    up.responder = lambda msg: Reply(200, [], app(msg.path))
    nginx = ctx.nginx()
    nginx.start(CONF, values={"MON": mon.port, "AUTH": auth.port,
                              "UP": up.port})
    [pid] = nginx.worker_pids()
    with ClientConnection(nginx.port) as c:
        page_403 = c.exchange(get("/_403")).body
    with ClientConnection(nginx.port) as c:
        page_500 = c.exchange(get("/_500")).body

    failing = {"now": False}

    def expect(path):
        flag = path.split("/")[1]
        if failing["now"]:
            # fail-open lets the request through, denied or not
            return (200, app(path)) if flag == "on" else (500, page_500)
        return (403, page_403) if "deny" in path else (200, app(path))

    clients = Clients(nginx.port, expect)

    def round_of(tag, n):
        return [f"/{flag}/{tag}{kind}{i}" for i in range(n)
                for flag in ("on", "off") for kind in ("", "deny-")]

    clients.burst(round_of("warm", 2), connections=2)
    base = baseline([pid])
    mark = nginx.log_mark()
    with Sampler([pid]) as sampler:
        fault.begin(auth)
        failing["now"] = fault.fails
        clients.burst(round_of("fault", 10))
        failed = 10 * 2 if fault.fails else 0
        # the service is well again
        auth.responder = decide
        auth.start()
        failing["now"] = False
        clients.burst(round_of("after", 3))

    clients.check()
    assert nginx.worker_pids() == [pid] and nginx.crashes() == []
    check_peaks(base, sampler.peaks, Bounds(8, 12, 2))
    wait_fds_settle(base, Bounds(8, 12, 2))

    accts = wait_accounted(mon, clients.count, timeout=20, pids={pid})
    acct = accts[pid]
    assert acct.outcomes["sent"] == clients.count, describe(accts)
    # one subrequest per request, failures let through only where allowed
    assert acct.auth.get("sr_sent") == clients.count, acct.auth
    # (nginx may run a subrequest's completion handler more than once)
    assert acct.auth.get("sr_callback") >= clients.count, acct.auth
    # a 5xx is let through by the authorization location, and counted;
    # any other failure by the protected one
    overridden = failed if fault.status >= 500 else 0
    assert acct.auth.get("failure_overridden", 0) == overridden, acct.auth
    unexpected = nginx.error_log(mark).count(
        f"auth request unexpected status: {fault.status}")
    assert unexpected == 2 * failed - overridden
    assert nginx.log_problems() == []
    return {"exchanges": clients.count, "auth": acct.auth,
            "peak_rss_kib": sampler.peaks.rss_kib[pid],
            "peak_fds": sampler.peaks.fds[pid], "base": base[pid]}


def fault_case(name, tls_cert):
    return lambda ctx: run_auth_fault(ctx, FAULTS[name])


@pytest.mark.parametrize("case", list(FAULTS))
def test_authorization_fault(request, fault_matrix, case):
    report(request, fault_matrix[__name__, case])
