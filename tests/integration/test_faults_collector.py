"""Fault matrix, log delivery: the collector that takes the merged logs
refuses connections, resets them, stops reading, reads slowly, answers
garbage, breaks or stalls the TLS handshake, or restarts, or holds the
sender thread so long that the pool's queue fills, while clients keep
nginx busy.

In every case each client gets its right answer, the worker lives on
within stated memory and descriptor bounds, the statistics documents (sent
to a healthy collector of their own) account for every exchange as sent,
skipped, dropped or failed and show the fault, and logs flow again once
the collector is well.  The cases run side by side (see harness/faults.py).
"""

import time
from dataclasses import dataclass, field

import pytest

from harness import FakeCollector
from harness.accounting import accounts, describe, wait_accounted
from harness.faults import (WELL, Clients, at_connect, echo,
                            logged_uris, mode, report, restart_midway,
                            running_again)
from harness.procstat import (Bounds, Sampler, baseline, check_peaks,
                              wait_fds_settle)
from harness.sensorlogs import MERGED_PATH

BIG = bytes(range(256)) * 240  # 61440 bytes: messages of about 80 kB

CONF = """
ext_stats_server http://127.0.0.1:@MON@;
ext_stats_period 5s;
ext_heartbeat_period 0;
ext_initial_backoff_duration 1000;
%s
server {
    listen 127.0.0.1:@PORT@;
    kestrelvanes_http_access_enable on;
    ext_auth_log_server @LOG@;
    ext_access_log_body_size 64k;
    ext_access_log_total_size 128k;
    location / {
        return 200 "ok $request_uri\\n";
    }
    location /big/ {
        root @PREFIX@/html;
    }
}
"""


def expect(path):
    return (200, BIG) if path.startswith("/big/") else echo(path)


def small(n):
    return [f"/burst/{i}" for i in range(n)]


def big(n):
    return [f"/big/file.bin?{i}" for i in range(n)]


@dataclass
class LogFault:
    begin: object  # collector -> None: the fault starts
    end: object  # collector -> None: the collector is well again
    shows: dict  # counters the documents must show, at least this much
    paths: list = field(default_factory=lambda: small(200))
    tls: bool = False
    http: str = ""  # more http-level directives
    pools: dict = None  # thread pool settings
    lossless: bool = False  # every exchange reaches the collector, once
    bounds: Bounds = field(default_factory=lambda: Bounds(8, 12, 2))


FAULTS = {
    "refuse": LogFault(mode("refuse"), WELL,
                       {"socket_connect_fail": 1, "logs_send_fail": 1}),
    "reset": LogFault(mode("reset"), WELL, {"msg_retry": 1}),
    # the sensor's writes block; the worker's queue must stay within its
    # budget meanwhile
    "never_read": LogFault(at_connect("never_read"), WELL,
                           {"socket_send_failed": 1}, paths=big(400),
                           http="ext_access_log_queue_memory 4m;"),
    "slow": LogFault(mode("slow", delay=0.02), WELL, {}, lossless=True),
    "garbage": LogFault(mode("garbage"), WELL, {"socket_reads": 1},
                        lossless=True),
    "tls_fail": LogFault(at_connect("tls_fail"), WELL,
                         {"transport_init_failed": 1}, tls=True),
    "tls_stall": LogFault(at_connect("trickle_handshake", trickle=1.0), WELL,
                          {"transport_init_failed": 1}, tls=True),
    "restart": LogFault(restart_midway, running_again,
                        {"socket_connected": 2}),
    # writes to a collector that does not read hold the one sender thread
    # while the other connections' tasks queue: a pool that queues two
    # refuses the rest, and the sensor backs off
    "queue_full": LogFault(at_connect("never_read"), WELL,
                           {"task_post_failed": 1}, paths=big(200),
                           http="ext_num_socket_conns 8;\n"
                                "ext_access_log_queue_memory 4m;",
                           pools={"access": {"threads": 1, "max_queue": 2}}),
}

def shown(mon, pid, want):
    acct = accounts(mon).get(pid)
    return acct is not None and all(acct.get(k) >= n for k, n in want.items())


def run_log_fault(ctx, fault, tls_cert):
    mon = ctx.server(FakeCollector())
    log = ctx.server(FakeCollector(tls=tls_cert if fault.tls else None))
    nginx = ctx.nginx()
    (nginx.prefix / "html" / "big").mkdir(parents=True)
    (nginx.prefix / "html" / "big" / "file.bin").write_bytes(BIG)
    for p in ("html", "html/big", "html/big/file.bin"):
        (nginx.prefix / p).chmod(0o755 if "." not in p else 0o644)
    nginx.start(CONF % fault.http, values={"MON": mon.port, "LOG": log.url},
                pools=fault.pools)
    [pid] = nginx.worker_pids()
    clients = Clients(nginx.port, expect)

    # warm-up: the worker's pools, the collector connection and the first
    # capture buffers exist before the baseline is taken
    for n, path in enumerate(small(8) + big(2), 1):
        clients.one(path)
        log.wait_messages(MERGED_PATH, n, timeout=10)
    base = baseline([pid])

    with Sampler([pid]) as sampler:
        clients.start_trickle("/t/")
        fault.begin(log)
        clients.burst(fault.paths)
        # the sensor has met the fault before the collector gets well
        mon.wait_for(lambda _: shown(mon, pid, fault.shows), timeout=25,
                     message=lambda: f"the documents never showed "
                     f"{fault.shows}: {describe(accounts(mon))}")
        fault.end(log)
        ended = time.monotonic()
        # recovered: exchanges made since then reach the collector
        later = lambda: set(clients.sent_after(ended + 0.2))  # noqa: E731
        log.wait_for(lambda _: later() & set(logged_uris(log)), timeout=30,
                     message="no log of an exchange made after the "
                     "collector got well")
        clients.stop_trickle()

    clients.check()
    assert nginx.worker_pids() == [pid] and nginx.crashes() == []
    check_peaks(base, sampler.peaks, fault.bounds)
    wait_fds_settle(base, fault.bounds)
    accts = wait_accounted(mon, clients.count, timeout=30, pids={pid})
    acct = accts[pid]
    uris = logged_uris(log)
    assert len(uris) <= acct.outcome("sent"), describe(accts)
    if fault.lossless:
        assert sorted(uris) == sorted(a.path for a in clients.answers)
        assert acct.outcomes == {"sent": clients.count, "skipped": 0,
                                 "dropped": 0, "failed": 0}
    assert nginx.log_problems() == []
    return {"exchanges": clients.count, "outcomes": acct.outcomes,
            "received": len(uris), "base": base[pid],
            "peak_rss_kib": sampler.peaks.rss_kib[pid],
            "peak_fds": sampler.peaks.fds[pid]}


def fault_case(name, tls_cert):
    return lambda ctx: run_log_fault(ctx, FAULTS[name], tls_cert)


@pytest.mark.parametrize("case", list(FAULTS))
def test_log_delivery_fault(request, fault_matrix, case):
    report(request, fault_matrix[__name__, case])
