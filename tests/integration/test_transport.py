"""The control link's connection to the collector when the collector is
down, closes connections, breaks TLS or never answers."""

import re
import time

from harness import pid_alive
from harness.monitoring import (RACY, control_link_config, heartbeat_request,
                                is_heartbeat, stats_docs, stats_head)

STATS_ONLY = control_link_config(stats="5s", heartbeat="0",
                                 extra="ext_stats_api /custom;")


def test_down_at_start_then_up_then_closing_idle(nginx, collector_factory):
    collector = collector_factory(start=False)
    nginx.start(STATS_ONLY, values={"URL": collector.url})
    pid = nginx.worker_pids()[0]

    # first tick: nobody listens; the document of that round is lost
    nginx.wait_log("access logging socket connect failed", timeout=8)
    assert not collector.connections
    collector.start()
    first = collector.wait_messages("/custom", 1, timeout=7)[0]
    # from now on the collector drops a connection a second after its
    # last reply, long before the next tick
    collector.set_mode("close_idle", idle=1.0)
    msgs = collector.wait_messages("/custom", 3, timeout=12)
    assert msgs[0] is first and len(msgs) == 3

    for m in msgs:
        # the configured path, no instance header without ext_instance
        assert m.raw == stats_head(len(m.body), path="/custom") + m.body
    docs = stats_docs(msgs, path="/custom")
    assert {d.pid for d in docs} == {pid}

    # the failed round, reported by the next document, with what the
    # document that never left held (its own task)
    assert docs[0].steady() == {
        "transport_init_failed": 1, "task_callback": 2,
        "stats_send_fail": 1, "socket_connect_fail": 1, "task_completed": 1}
    # reported once, then reset: only the first exchange's own counters
    assert docs[1].steady() == {
        "msg_sent": 1, "task_callback": 1, "socket_connected": 1,
        "socket_reads": 1, "task_completed": 1}
    # the closed connection was noticed before writing: replaced, not
    # written into
    assert docs[2].steady() == {
        "msg_sent": 1, "msg_send_failed": 1, "msg_retry": 1,
        "task_callback": 1, "socket_connected": 1, "socket_reads": 1,
        "task_completed": 1}
    # one post per tick; the lost document may have taken its own count
    assert 1 <= sum(d.access.get(RACY, 0) for d in docs) <= 4

    assert [len(c.messages) for c in collector.connections] == [1, 1, 1]
    assert [c.closed_by for c in collector.connections[:2]] == ["server"] * 2
    assert all(d.auth == {} for d in docs)


def test_tls_handshake_failure_recovery_and_close(nginx, tls_collector):
    collector = tls_collector
    collector.set_mode("tls_fail")
    # the first heartbeat that gets through is answered with new settings;
    # over TLS the reply is read through the TLS layer
    collector.queue_heartbeat_reply(200, [("X-Kv-Logging-Level", "metadata"),
                                          ("X-Kv-Sampling-Rate", "42")])
    nginx.start(control_link_config(), values={"URL": collector.url})

    # first tick: statistics and heartbeat each fail their handshake
    collector.wait_for(lambda c: len([x for x in c.connections
                                      if x.tls_error and x.closed]) == 2,
                       timeout=8)
    assert not collector.messages
    collector.set_mode("normal")

    s2, h2 = collector.wait_messages(count=2, timeout=9)
    # the reply waits behind the new connection's session tickets; reading
    # past them must not cost a poll interval each
    assert h2.started_at - s2.received_at <= 1.6
    # Now the collector closes idle connections the way TLS servers do,
    # with a close_notify alert: the alert must not pass for data, or the
    # next message is written into the dead connection and lost.
    collector.set_mode("close_idle", idle=2.5)
    msgs = collector.wait_messages(count=4, timeout=8)
    assert [is_heartbeat(m) for m in msgs] == [False, True, False, True]
    assert msgs[:2] == [s2, h2]
    s3, h3 = msgs[2:]

    assert len(collector.connections) == 4
    assert [m.connection for m in msgs] == [2, 2, 3, 3]
    assert collector.connections[2].closed_by == "server"
    for conn in collector.connections[2:]:
        assert conn.tls_version and not conn.tls_error
        assert conn.sni is None  # no server name is sent

    for s in (s2, s3):
        assert s.raw == stats_head(len(s.body)) + s.body
    assert h2.raw == heartbeat_request("default")
    assert h3.raw == heartbeat_request("metadata")

    d2, d3 = stats_docs(msgs)
    # with the counts of the document that failed its handshake
    assert d2.steady() == {"transport_init_failed": 2, "task_callback": 3,
                           "stats_send_fail": 1, "task_completed": 2}
    assert d3.steady() == {"msg_sent": 2, "task_callback": 2,
                           "socket_connected": 1, "socket_reads": 2,
                           "task_completed": 2, "log_level_changed": 1,
                           "sampling_rate_changed": 1}
    log = nginx.error_log()
    assert log.count("Logging mode changed to metadata (1)") == 1
    assert log.count("Sampling rate changed to 42") == 1


def test_refused_posts_counted(nginx, collector):
    # One monitoring thread, a queue of one, and a collector that never
    # answers: each exchange holds the thread for its whole five-second
    # wait, while every tick posts two messages.
    collector.set_mode("silent")
    nginx.start(control_link_config(), values={"URL": collector.url},
                pools={"monitoring": {"threads": 1, "max_queue": 1}})

    def refusal_reported(c):
        docs = stats_docs(c.find_messages())
        return [d for d in docs if d.access.get("task_post_failed")]

    collector.wait_for(refusal_reported, timeout=22)
    assert ('thread pool "kestrelvanes_monitoring_thread_pool" queue '
            'overflow') in nginx.error_log()
    # a closed connection ends the exchange under way at its next poll, so
    # the quit need not wait for the rest of the five
    collector.stop()
    assert nginx.stop(timeout=5) == 0
    assert not nginx.quit_timed_out


POSTED = 'added to thread pool "kestrelvanes_monitoring_thread_pool"'


def test_silent_collector_and_quit_with_queued_messages(nginx, collector):
    collector.set_mode("silent")
    nginx.start(control_link_config(), values={"URL": collector.url})
    master, workers = nginx.master_pid, nginx.worker_pids()

    # tick 1 posts statistics and heartbeat; the heartbeat goes out only
    # when the statistics exchange has waited out its five polls, on the
    # same connection
    s1, h1 = collector.wait_messages(count=2, timeout=13)
    assert not is_heartbeat(s1) and is_heartbeat(h1)
    assert 4.5 <= h1.started_at - s1.received_at <= 6.5
    assert len(collector.connections) == 1
    assert not collector.connections[0].closed
    assert h1.raw == heartbeat_request("default")

    # tick 2 has queued two more behind the heartbeat's exchange
    nginx.wait_log(re.compile(f"({re.escape(POSTED)}.*){{4}}", re.S),
                   timeout=3)
    assert len(collector.messages) == 2

    # A graceful quit now: the heartbeat exchange runs its course and the
    # queued messages are not sent; then the worker's last statistics
    # document follows on the same connection and waits out its own reply.
    t0 = time.monotonic()
    assert nginx.stop(timeout=16) == 0
    took = time.monotonic() - t0
    assert not nginx.quit_timed_out
    assert took <= 5.0 + 5.0 + 1.5, f"quit took {took:.1f}s"
    assert not [p for p in [master] + workers if pid_alive(p)]
    assert len(collector.messages) == 3
    [last] = stats_docs(collector.messages[2:])
    assert last.pid == workers[0]
    assert collector.messages[2].connection == s1.connection
    assert nginx.error_log().count(
        "ngx_ext_access_log_thread_handler exiting") == 2
