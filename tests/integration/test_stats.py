"""The control link's schedule and wire format: statistics documents and
heartbeats as the collector receives them, per worker."""

import time

from harness.monitoring import (RACY, control_link_config, heartbeat_request,
                                is_heartbeat, parse_document, stats_docs,
                                stats_head)

INSTANCE = "edge-eu-1"


def test_periods_round_up_to_tick_and_requests_are_exact(nginx, collector):
    # 10s is a multiple of the tick, 7s is not: both must fire at 10s and
    # 20s, statistics first, and nothing at 5s or 15s.
    # The first heartbeat is answered only after its exchange gave up: that
    # late reply must not pass for the answer to the next request, or each
    # later heartbeat reply would go to a statistics exchange and be lost.
    collector.queue_heartbeat_reply(200, [], b"", delay=6.0)
    collector.set_heartbeat_reply(200, [("X-Kv-Logging-Level", "minimum")])
    t0 = time.monotonic()
    nginx.start(control_link_config(
        stats="10s", heartbeat="7s", extra=f"ext_instance {INSTANCE};"),
        values={"URL": collector.url})
    t1 = time.monotonic()
    pid = nginx.worker_pids()[0]

    msgs = collector.wait_messages(count=4, timeout=t0 + 24 - time.monotonic())
    assert [is_heartbeat(m) for m in msgs] == [False, True, False, True], msgs
    s1, h1, s2, h2 = msgs

    # the first tick is 5 s after the worker started, inside [t0, t1]
    assert t0 + 9.8 <= s1.started_at <= t1 + 10.8, s1.started_at - t0
    assert 9.5 <= s2.started_at - s1.started_at <= 10.5
    # posted after the statistics at the same tick, sent once that
    # exchange is over (which takes up to a second of polling)
    assert s1.received_at <= h1.started_at <= s1.started_at + 3.0
    assert s2.received_at <= h2.started_at <= s2.started_at + 3.0

    for s in (s1, s2):
        assert s.raw == stats_head(len(s.body), instance=INSTANCE) + s.body
    for h in (h1, h2):
        assert h.raw == heartbeat_request("default", instance=INSTANCE)

    d1, d2 = stats_docs(msgs)
    assert d1.pid == d2.pid == pid
    # d1 was written before anything was sent; d2 reports both exchanges of
    # the first round, counted once (the heartbeat's reply came too late)
    assert d1.steady() == {"task_callback": 1}
    assert d2.steady() == {"msg_sent": 2, "task_callback": 2,
                           "socket_connected": 1, "socket_reads": 1,
                           "task_completed": 2}
    assert 0 <= d1.access.get(RACY, 0) <= 2
    assert 2 <= d1.access.get(RACY, 0) + d2.access.get(RACY, 0) <= 4
    assert d1.auth == d2.auth == {}

    assert len(collector.connections) == 1
    assert not collector.connections[0].closed

    # the second heartbeat's own reply is the one applied
    nginx.wait_log("Logging mode changed to minimum (2)", timeout=4)


def test_two_workers_four_threads_take_turns(nginx, collector):
    # Four monitoring threads per worker run a tick's statistics and
    # heartbeat at once; on each worker's connection they must still go
    # one whole exchange after the other.  Replies come half a second
    # late: a request sent without waiting for them would follow its
    # predecessor at once, not after that half second.
    collector.set_mode("slow", delay=0.5)
    nginx.start(control_link_config(stats="5s", heartbeat="5s",
                                    extra=f"ext_instance {INSTANCE};"),
                values={"URL": collector.url}, workers=2,
                pools={"monitoring": {"threads": 4}})
    pids = set(nginx.worker_pids())
    assert len(pids) == 2

    def two_rounds_each(c):
        conns = [x for x in c.connections if len(x.messages) >= 4]
        return conns if len(conns) == 2 else None

    conns = collector.wait_for(two_rounds_each, timeout=15)
    assert len(collector.connections) == 2

    seen = set()
    for conn in conns:
        assert conn.parse_error is None, conn.parse_error
        msgs = conn.messages[:4]
        assert b"".join(m.raw for m in conn.messages) == conn.raw[
            :sum(len(m.raw) for m in conn.messages)]
        for m in msgs:
            if is_heartbeat(m):
                assert m.raw == heartbeat_request("default", INSTANCE)
            else:
                assert m.head == stats_head(len(m.body), instance=INSTANCE)
        # one statistics document and one heartbeat per round
        for rnd in (msgs[:2], msgs[2:]):
            assert sorted(is_heartbeat(m) for m in rnd) == [False, True], rnd
        # the next request only after the previous reply was read
        for a, b in zip(msgs, msgs[1:]):
            assert b.started_at - a.received_at >= 0.45, (a, b)
        docs = stats_docs(msgs)
        assert len({d.pid for d in docs}) == 1
        seen.add(docs[0].pid)
        # A document reports what was sent since the previous one was
        # built, and each is built just before it goes: the first counts
        # a heartbeat that won the first round's turn, the second every
        # message from the first document to itself, in whichever order
        # the threads took their turns.
        first, second = [i for i, m in enumerate(msgs) if not is_heartbeat(m)]
        assert docs[0].access.get("msg_sent", 0) == first
        assert docs[1].access["msg_sent"] == second - first
    assert seen == pids


def test_reload_forgets_removed_settings(nginx, collector_factory):
    first, second = collector_factory(), collector_factory()
    nginx.start(control_link_config(extra=f"""
ext_instance {INSTANCE};
ext_stats_api /old;
ext_initial_logging_mode metadata;
"""), values={"URL": first.url})
    # the new generation is told about another collector and nothing else
    nginx.reload(control_link_config(), values={"URL": second.url})
    s, h = second.wait_messages(count=2, timeout=8)
    assert h.raw == heartbeat_request("default")
    assert s.raw == stats_head(len(s.body)) + s.body
