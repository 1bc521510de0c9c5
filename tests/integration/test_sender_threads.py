"""Several sender threads sharing collector connections: every message
still arrives whole, once."""

import threading

from harness.exchange import ClientConnection, one_exchange, request_bytes
from harness.sensorlogs import merged_logs

CONFIG = """
ext_num_socket_conns 2;
server {
    listen 127.0.0.1:@PORT@;
    location / {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        return 200 "@BODY@";
    }
}
"""


def test_parallel_senders_never_interleave(nginx, collector):
    nginx.start(CONFIG, values={"COLLECTOR": collector.port, "BODY": "b" * 3000},
                pools={"access": {"threads": 4}})

    clients, per_client = 8, 25
    errors = []

    def client(n):
        for i in range(per_client):
            try:
                one_exchange(nginx.port,
                             request_bytes("GET", f"/c{n}/r{i}", [("Host", "h")]))
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors

    logs = merged_logs(collector, count=clients * per_client, timeout=20)
    uris = sorted(log.uri for log in logs)
    assert uris == sorted(f"/c{n}/r{i}" for n in range(clients)
                          for i in range(per_client))
    # two connections per worker at most: the request peers
    assert len(collector.connections) <= 2


def test_each_connection_keeps_its_order_across_threads(nginx, collector):
    # Requests of one client connection share a request peer; batches of
    # two peers go out on different threads at once, and each client's
    # logs still arrive in the order it was answered.
    nginx.start(CONFIG, values={"COLLECTOR": collector.port, "BODY": "o" * 500},
                pools={"access": {"threads": 4}})
    clients, per_client = 6, 40
    errors = []

    def client(n):
        try:
            with ClientConnection(nginx.port) as c:
                for i in range(per_client):
                    assert c.exchange(request_bytes(
                        "GET", f"/k{n}/{i}", [("Host", "h")])).status == 200
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=client, args=(n,))
               for n in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors

    logs = merged_logs(collector, count=clients * per_client, timeout=20)
    for n in range(clients):
        mine = [log for log in logs if log.uri.startswith(f"/k{n}/")]
        assert [log.uri for log in mine] == [f"/k{n}/{i}"
                                             for i in range(per_client)]
        assert len({log.msg.connection for log in mine}) == 1
    assert len(collector.connections) == 2
