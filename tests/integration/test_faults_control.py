"""Fault matrix, control link: the collector that takes heartbeats and
statistics refuses, resets, stops reading, answers late or with garbage,
breaks or stalls the TLS handshake, or restarts, while clients keep nginx
busy and logs go to a healthy collector of their own.

In every case each client gets its right answer, every exchange's log
still arrives (the two links share nothing a fault could block), the
worker lives on within stated memory and descriptor bounds, each exchange
with the faulty collector ends (the monitoring thread goes on to the next
tick), and once the collector is well its heartbeat replies are obeyed
again and the first documents tell what failed meanwhile.
"""

import re
import time
from dataclasses import dataclass, field

import pytest

from harness import FakeCollector
from harness.accounting import wait_accounted
from harness.faults import (WELL, Clients, at_connect, echo,
                            logged_uris, mode, report, restart_midway,
                            running_again)
from harness.monitoring import STATS_PATH, stats_docs
from harness.procstat import (Bounds, Sampler, baseline, check_peaks,
                              wait_fds_settle)

CONF = """
ext_stats_server @CTL@;
ext_stats_period 5s;
ext_heartbeat_period 5s;
server {
    listen 127.0.0.1:@PORT@;
    kestrelvanes_http_access_enable on;
    ext_auth_log_server http://127.0.0.1:@LOG@;
    location / {
        return 200 "ok $request_uri\\n";
    }
}
"""

MONITORING_DONE = re.compile(r'complete task #\d+ in thread pool '
                             r'"kestrelvanes_monitoring_thread_pool"')
RECOVERED = "Sampling rate changed to 100"


@dataclass
class ControlFault:
    begin: object
    end: object
    shows: dict  # counters the first documents after recovery show
    tls: bool = False
    # every document either reached the collector or never left the
    # worker (and gave its counts back): the documents account for every
    # exchange.  Not so when documents went into a connection the
    # collector then dropped unread.
    accounted: bool = True
    bounds: Bounds = field(default_factory=lambda: Bounds(8, 12, 2))


FAULTS = {
    # two ticks' documents never left: the first one after the recovery
    # reports what they held, and their failures
    "refuse": ControlFault(mode("refuse"), WELL,
                           {"stats_send_fail": 2, "socket_connect_fail": 2}),
    "reset": ControlFault(mode("reset"), WELL,
                          {"socket_read_fail": 1, "msg_send_failed": 1}),
    # the request fits the socket buffers: the exchange waits out its
    # deadline for a reply, as with a late one
    "never_read": ControlFault(at_connect("never_read"), WELL, {},
                               accounted=False),
    "slow": ControlFault(mode("slow", delay=6.0), WELL, {}),
    "garbage": ControlFault(mode("garbage"), WELL, {"msg_send_failed": 1}),
    "tls_fail": ControlFault(at_connect("tls_fail"), WELL,
                             {"stats_send_fail": 2,
                              "transport_init_failed": 2}, tls=True),
    "tls_stall": ControlFault(at_connect("trickle_handshake", trickle=1.0),
                              WELL, {"stats_send_fail": 2,
                                     "transport_init_failed": 2},
                              tls=True),
    "restart": ControlFault(restart_midway, running_again, {},
                            accounted=False),
}


def run_control_fault(ctx, fault, tls_cert):
    log = ctx.server(FakeCollector())
    ctl = ctx.server(FakeCollector(tls=tls_cert if fault.tls else None))
    nginx = ctx.nginx()
    nginx.start(CONF, values={"CTL": ctl.url, "LOG": log.port})
    [pid] = nginx.worker_pids()
    clients = Clients(nginx.port, echo)

    # warm-up: a first tick's exchanges have set up the control connection
    clients.burst([f"/warm/{i}" for i in range(8)], connections=2)
    ctl.wait_heartbeats(1, timeout=12)
    base = baseline([pid])

    with Sampler([pid]) as sampler:
        clients.start_trickle("/t/")
        mark = nginx.log_mark()
        fault.begin(ctl)
        clients.burst([f"/burst/{i}" for i in range(100)])
        # two ticks' exchanges with the faulty collector have run their
        # course: none holds the monitoring thread
        nginx.wait_log(re.compile(f"({MONITORING_DONE.pattern}.*){{4}}",
                                  re.S), timeout=30, since=mark)
        ctl.set_heartbeat_reply(200, [("X-Kv-Sampling-Rate", "100")])
        fault.end(ctl)
        ended = time.monotonic()
        mark = nginx.log_mark()
        nginx.wait_log(RECOVERED, timeout=30, since=mark)
        clients.stop_trickle()

    clients.check()
    assert nginx.worker_pids() == [pid] and nginx.crashes() == []
    check_peaks(base, sampler.peaks, fault.bounds)
    wait_fds_settle(base, fault.bounds)
    # every exchange was logged, once, whatever the control link did
    log.wait_for(lambda _: len(logged_uris(log)) >= clients.count,
                 timeout=10)
    assert sorted(logged_uris(log)) == sorted(a.path for a in clients.answers)
    # the documents that follow the recovery tell what failed
    def after(c):
        docs = [d for d in stats_docs(c.find_messages(STATS_PATH))
                if d.msg.started_at > ended]
        return docs if len(docs) >= 2 else None

    docs = ctl.wait_for(after, timeout=15)
    told = {}
    for d in docs:
        for k, v in d.access.items():
            told[k] = told.get(k, 0) + v
    for k, n in fault.shows.items():
        assert told.get(k, 0) >= n, (k, told)
    if fault.accounted:
        wait_accounted(ctl, clients.count, timeout=15, pids={pid})
    assert nginx.log_problems() == []
    return {"exchanges": clients.count, "told": told, "base": base[pid],
            "peak_rss_kib": sampler.peaks.rss_kib[pid],
            "peak_fds": sampler.peaks.fds[pid]}


def fault_case(name, tls_cert):
    return lambda ctx: run_control_fault(ctx, FAULTS[name], tls_cert)


@pytest.mark.parametrize("case", list(FAULTS))
def test_control_link_fault(request, fault_matrix, case):
    report(request, fault_matrix[__name__, case])
