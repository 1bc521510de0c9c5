"""Collectors that answer in pieces, slowly or without end: a reply is read
until it is whole, and no exchange holds the monitoring thread (and the
statistics peer) past its deadline, nor a worker that stops fast."""

import socket

import pytest

from harness import Reply, wait_until
from harness.monitoring import (control_link_config, is_heartbeat,
                                policy_body, stats_docs, total, url_policy)


def _policies(version):
    return policy_body(url_policy(version, [f"^/skip{version}"]))


# head and body in separate writes: a few milliseconds apart, and far
# enough apart that an exchange that reads only once sees the head alone
SPLIT = [Reply(200, [("X-Kv-Sampling-Rate", "11")], _policies("1"), split=0.05),
         Reply(200, [("X-Kv-Sampling-Rate", "22")], _policies("2"), split=1.2)]


@pytest.mark.parametrize("tls", [False, True], ids=["tcp", "tls"])
def test_reply_written_in_two_parts_is_obeyed(nginx, collector_factory, tls):
    collector = collector_factory(tls=tls)
    for reply in SPLIT:
        collector.queue_heartbeat_reply(reply.status, reply.headers,
                                        reply.body, split=reply.split)
    nginx.start(control_link_config(), values={"URL": collector.url})

    # the third document reports what the second heartbeat's reply did
    msgs = collector.wait_for(
        lambda c: (m := c.find_messages()) and len(stats_docs(m)) >= 3 and m,
        timeout=22)
    docs = stats_docs(msgs)
    assert total(docs, "sampling_rate_changed") == 2
    assert total(docs, "uri_bypass_policy_updated") == 2
    # both replies accepted on the connection they came on
    assert total(docs, "msg_send_failed") == 0
    assert len(collector.connections) == 1
    log = nginx.error_log()
    assert log.count("Sampling rate changed to 11") == 1
    assert log.count("Sampling rate changed to 22") == 1


@pytest.mark.parametrize("tls", [False, True], ids=["tcp", "tls"])
def test_reply_trickling_a_byte_a_second_is_given_up(nginx, collector_factory,
                                                     tls):
    collector = collector_factory(tls=tls)
    collector.set_mode("trickle", trickle=1.0)
    nginx.start(control_link_config(), values={"URL": collector.url})

    # The statistics exchange of the first tick gives up on its reply and
    # drops the connection; the heartbeat queued behind it gets its turn.
    # Each step is waited for on its own, so a loaded machine only makes
    # the test slower: what proves the give-up is that the sensor closed
    # the connection while the reply (tens of bytes, a second each) was
    # still trickling in, not how soon it did.
    def first_request(c):
        return c.connections and c.connections[0].messages
    collector.wait_for(first_request, timeout=20)
    collector.wait_for(lambda c: c.connections[0].closed_by == "peer",
                       timeout=20)
    first = collector.connections[0]
    assert [is_heartbeat(m) for m in first.messages] == [False]
    assert [m.reply for m in first.messages] == [None]  # never whole

    def second_exchange_started(c):
        return len(c.connections) >= 2 and c.connections[1].messages
    collector.wait_for(second_exchange_started, timeout=20)
    second = collector.connections[1]
    assert [is_heartbeat(m) for m in second.messages] == [True]
    # nothing of the reply that trickled in was applied
    assert "changed to" not in nginx.error_log()


def test_tls_handshake_trickling_a_byte_a_second_is_given_up(nginx,
                                                             tls_collector):
    collector = tls_collector
    collector.set_mode("trickle_handshake", trickle=1.0)
    nginx.start(control_link_config(), values={"URL": collector.url})

    # one step at a time, as above: a 256-byte record at a byte a second
    # would take minutes, so any close by the sensor is a give-up
    collector.wait_for(lambda c: c.connections, timeout=20)
    collector.wait_for(lambda c: c.connections[0].closed_by == "peer",
                       timeout=20)
    collector.wait_for(lambda c: len(c.connections) >= 2, timeout=20)
    assert not collector.messages
    assert "failed to init peer" in nginx.error_log()


def test_endless_stream_of_whole_replies_does_not_hold_the_thread(
        nginx, collector):
    # every heartbeat is answered with whole 8192-byte replies, back to
    # back, for as long as the sensor reads them
    collector.set_mode("flood")
    nginx.start(control_link_config(), values={"URL": collector.url})

    # the next tick's exchanges go on: the flooded connection is dropped
    # and the statistics go out on a new one
    def next_tick_sent(c):
        conns = list(c.connections)
        return len(conns) >= 2 and conns[1].messages

    collector.wait_for(next_tick_sent, timeout=17)
    first, second = collector.connections[:2]
    assert [is_heartbeat(m) for m in first.messages] == [False, True]
    assert not is_heartbeat(second.messages[0])
    collector.wait_for(lambda c: c.connections[0].closed, timeout=5)


# --- a fast stop while an exchange waits on the collector ------------------
# After SIGTERM the master kills workers that have not exited within about
# a second and a half; a worker's exit waits for its thread pools, so a
# sender thread that sits out its 5 s wait gets the worker killed.

TCP_SYN_SENT = "02"


def _syn_sent_to(port):
    """True while a socket here waits for the answer to its SYN to port."""
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if (fields[3] == TCP_SYN_SENT
                    and int(fields[2].split(":")[1], 16) == port):
                return True
    return False


class BlackHole:
    """A loopback address that drops SYNs, as a filtered collector address
    does: a listener that never accepts, its accept queue full."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        # backlog 0 queues one connection; SYNs after it are dropped
        self.filler = socket.create_connection(("127.0.0.1", self.port), 5)
        self.url = f"http://127.0.0.1:{self.port}"

    def close(self):
        self.filler.close()
        self.listener.close()


@pytest.fixture
def black_hole():
    hole = BlackHole()
    yield hole
    hole.close()


def _fast_stop_is_clean(nginx):
    rc, out = nginx.signal_cmd("stop")
    assert rc == 0, out
    wait_until(lambda: nginx.proc.poll() is not None, 10)
    log = nginx.error_log()
    assert "exited on signal" not in log
    assert "worker process" in log and "exited with code 0" in log


def test_fast_stop_ends_the_wait_for_a_reply(nginx, collector):
    # the statistics request is read and never answered
    collector.set_mode("silent")
    nginx.start(control_link_config(), values={"URL": collector.url})
    collector.wait_messages(count=1, timeout=15)
    _fast_stop_is_clean(nginx)


def test_fast_stop_ends_a_connect_to_a_black_hole(nginx, black_hole):
    nginx.start(control_link_config(), values={"URL": black_hole.url})
    wait_until(lambda: _syn_sent_to(black_hole.port), 15,
               message="the first tick never tried to connect")
    _fast_stop_is_clean(nginx)

