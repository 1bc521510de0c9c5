"""Collectors that answer in pieces, slowly or without end: a reply is read
until it is whole, and no exchange holds the monitoring thread (and the
statistics peer) past its deadline."""

import pytest

from harness import Reply
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

    # the statistics exchange of the first tick gives up on its reply and
    # drops the connection; the heartbeat queued behind it gets its turn
    def second_exchange_started(c):
        conns = list(c.connections)
        return (len(conns) >= 2 and conns[0].closed_by == "peer"
                and conns[1].messages)

    collector.wait_for(second_exchange_started, timeout=17)
    first, second = collector.connections[:2]
    assert [is_heartbeat(m) for m in first.messages] == [False]
    assert [is_heartbeat(m) for m in second.messages] == [True]
    # nothing of the reply that trickled in was applied
    assert "changed to" not in nginx.error_log()


def test_tls_handshake_trickling_a_byte_a_second_is_given_up(nginx,
                                                             tls_collector):
    collector = tls_collector
    collector.set_mode("trickle_handshake", trickle=1.0)
    nginx.start(control_link_config(), values={"URL": collector.url})

    def second_handshake_started(c):
        conns = list(c.connections)
        return len(conns) >= 2 and conns[0].closed_by == "peer"

    collector.wait_for(second_handshake_started, timeout=17)
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
