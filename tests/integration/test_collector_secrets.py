"""Other people's secrets in the reference collector: what nginx captures
is masked before it is stored (a real Authorization header, a JSON
password, cookies, a card number), nothing of them reaches the disk, the
database is its owner's alone, old rows age out, and on TLS ingest only
sensors with a certificate the operator's CA signed get in.
"""

import json
import os
import socket
import sqlite3
import ssl
import stat
import time

import pytest

from harness import make_ca, make_signed, wait_until
from harness.exchange import one_exchange, request_bytes
from harness.realcollector import RealCollector

APP = """
ext_instance secrets;
ext_stats_server http://127.0.0.1:@INGEST@;
ext_heartbeat_period 5s;
ext_stats_period 5s;
ext_access_log_body_size 4k;
upstream collector { server 127.0.0.1:@INGEST@; keepalive 4; }
server {
    listen 127.0.0.1:@PORT@;
    location /m/ {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@INGEST@;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /r/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_authorize;
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location = /_authorize {
        internal;
        proxy_pass http://collector/kestrelvanes/authorize;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
    }
}
"""

BEARER = "eyJhbGciOiJIUzI1NiJ9.c2VjcmV0LXVzZXI.sig-Very-Secret"
PASSWORD = "correct horse battery staple"
CARD = "4111111111111111"


@pytest.fixture
def real_collector(make_prefix):
    made = []

    def make(**kw):
        c = RealCollector(make_prefix(), **kw)
        made.append(c)
        return c.start()

    yield make
    for c in made:
        rc = c.stop()
        if rc not in (0, None):
            pytest.fail(f"collector exited with {rc}:\n{c.log()[-3000:]}")


@pytest.fixture
def app(auth_server_factory):
    up = auth_server_factory()
    up.set_response(200, [("Content-Type", "application/json"),
                          ("Set-Cookie", "session=s3ss10n-value; HttpOnly")],
                    b'{"access_token":"at-123456789","user":"ann"}')
    return up


def send_secrets(nginx):
    body = json.dumps({"user": "ann", "password": PASSWORD,
                       "card": {"number": CARD}}).encode()
    resp, _ = one_exchange(nginx.port, request_bytes(
        "POST", "/m/login", [("Host", "shop.test"),
                             ("Authorization", f"Bearer {BEARER}"),
                             ("Cookie", "session=s3ss10n-value; theme=dark"),
                             ("Content-Type", "application/json"),
                             ("Content-Length", str(len(body)))], body))
    assert resp.status == 200
    resp, _ = one_exchange(nginx.port, request_bytes(
        "GET", f"/r/pay?card={CARD}&note=tea",
        [("Host", "shop.test"), ("Authorization", f"Bearer {BEARER}")]))
    assert resp.status == 200


def disk_bytes(collector):
    return b"".join(p.read_bytes() for p in collector.dir.iterdir()
                    if p.name.startswith("collector.db"))


def test_secrets_are_masked_before_they_are_stored(nginx, real_collector,
                                                   app):
    collector = real_collector(args=["--redact-key", "note"])
    nginx.start(APP, values={"INGEST": collector.ingest_port, "UP": app.port})
    send_secrets(nginx)
    xs = collector.wait_exchanges(2)
    login = collector.exchange(next(x["id"] for x in xs
                                    if x["uri"] == "/m/login"))
    pay = collector.exchange(next(x["id"] for x in xs
                                  if x["format"] == "response"))

    headers = dict(login["request_headers"])
    scheme, mask = headers["Authorization"].split(" ")
    assert scheme == "Bearer" and mask.startswith("REDACTED:")
    assert len(mask) == len("REDACTED:") + 12
    assert headers["Cookie"].startswith("session=REDACTED:")
    assert "; theme=REDACTED:" in headers["Cookie"]
    body = json.loads(login["request_body"])
    assert body["user"] == "ann"
    assert body["password"].startswith("REDACTED:")
    assert body["card"]["number"].startswith("REDACTED:")
    assert json.loads(login["response_body"])["access_token"].startswith(
        "REDACTED:")
    assert dict(login["response_headers"])["Set-Cookie"].startswith(
        "session=REDACTED:")
    # the same secret is masked alike wherever it shows
    assert dict(pay["response_headers"]).get("Set-Cookie", "").startswith(
        "session=REDACTED:")
    assert CARD not in pay["uri"] and "note=REDACTED:" in pay["uri"]

    counters = collector.counters()
    assert counters["values_redacted"] >= 8
    # nothing of them is anywhere in the database, its log included
    collector.stop()
    on_disk = disk_bytes(collector)
    for secret in (BEARER, PASSWORD, CARD, "s3ss10n-value", "at-123456789"):
        assert secret.encode() not in on_disk, secret
    # and the key that hashed them is kept with the database, not served
    assert b"REDACTED:" in on_disk


def test_no_redact_keeps_secrets_and_says_so(nginx, real_collector, app):
    collector = real_collector(args=["--no-redact"])
    assert "redaction is off" in collector.log()
    assert collector.get("/api/collector")["redaction"]["on"] is False
    nginx.start(APP, values={"INGEST": collector.ingest_port, "UP": app.port})
    send_secrets(nginx)
    xs = collector.wait_exchanges(2)
    login = collector.exchange(next(x["id"] for x in xs
                                    if x["uri"] == "/m/login"))
    assert dict(login["request_headers"])["Authorization"] == \
        f"Bearer {BEARER}"
    assert json.loads(login["request_body"])["password"] == PASSWORD


def test_the_database_is_its_owners_alone(real_collector):
    was = os.umask(0o022)
    try:
        collector = real_collector()
    finally:
        os.umask(was)
    # something written, so that the WAL has content
    collector.request("PUT", "/api/control", {"sampling_rate": 5})
    for suffix in ("", "-wal", "-shm"):
        path = collector.dir / f"collector.db{suffix}"
        wait_until(path.exists, 5)
        assert stat.S_IMODE(path.stat().st_mode) == 0o600, suffix
    collector.stop()

    # a database an earlier collector left readable is closed at start
    os.chmod(collector.db, 0o644)
    collector.start()
    assert stat.S_IMODE(collector.db.stat().st_mode) == 0o600


def test_rows_and_workers_older_than_the_retention_age_out(real_collector):
    collector = real_collector()
    collector.stop()
    old = int(time.time() * 1000) - 3 * 86400 * 1000
    db = sqlite3.connect(collector.db)
    for n in range(3):
        db.execute(
            "INSERT INTO exchanges (time_ms, received_ms, sensor_host, "
            "instance, worker_pid, format, method, uri, status, client_ip, "
            "client_port, latency_ms, request_id, logging_level, "
            "request_headers, response_headers, request_body_truncated, "
            "response_body_truncated, meta, peer) VALUES (?, ?, 'h', 'i', 0, "
            "'merged', 'GET', ?, 200, '', 0, -1, '', 'default', '[]', '[]', "
            "0, 0, '{}', '')", (old, old, f"/old/{n}"))
    db.execute("INSERT INTO sensors (key, host, instance, peer, "
               "first_seen_ms, last_heartbeat_ms, heartbeats) VALUES "
               "('gone', 'gone.example', 'i', '', ?, ?, 3)", (old, old))
    db.commit()
    db.close()

    collector.args = ["--retain-days", "1"]
    collector.start()
    wait_until(lambda: collector.exchanges() == [] and
               collector.get("/api/sensors") == [], 10)
    assert collector.counters()["rows_pruned"] == 4


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    d = tmp_path_factory.mktemp("sensor-pki")
    ca = make_ca(d / "ca", "Sensor CA")
    stranger = make_ca(d / "stranger", "Someone Else")
    return {
        "ca": ca[0],
        "server": make_signed(d / "server", ca, ["127.0.0.1"]),
        "sensor": make_signed(d / "sensor", ca, ["sensor-1.edge"],
                              stem="sensor", usage="clientAuth"),
        "stranger": make_signed(d / "stranger-cert", stranger,
                                ["sensor-1.edge"], stem="stranger",
                                usage="clientAuth"),
    }


HEARTBEAT = (b"POST /kestrelvanes/heartbeat/v1?sensor=nginx HTTP/1.1\r\n"
             b"Host: c\r\nX-Kv-Sensor-Hostname: edge\r\n"
             b"X-Kv-Sensor-Instance: tls\r\nX-Kv-Sensor-Logging-Level: "
             b"default\r\nContent-Length: 0\r\n\r\n")


def heartbeat_over_tls(port, cert):
    """What the collector answers a heartbeat from a client showing cert
    (a (certfile, keyfile) pair, or None); b"" when it refused."""
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    if cert:
        ctx.load_cert_chain(*cert)
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
            with ctx.wrap_socket(raw) as s:
                s.sendall(HEARTBEAT)
                return s.recv(65536)
    except (ssl.SSLError, ConnectionResetError, BrokenPipeError):
        return b""


def test_tls_ingest_admits_only_sensors_the_ca_signed(real_collector, pki):
    collector = real_collector(tls=pki["server"],
                               args=["--tls-client-ca", pki["ca"]])
    assert heartbeat_over_tls(collector.tls_port, pki["sensor"]) \
        .startswith(b"HTTP/1.1 200 OK")
    for cert in (None, pki["stranger"]):
        assert heartbeat_over_tls(collector.tls_port, cert) == b""
    wait_until(lambda: collector.counters()["tls_handshake_failed"] >= 2, 10)
    assert collector.counters()["heartbeats"] == 1


def test_nginx_proves_itself_to_the_collector(nginx, real_collector, pki,
                                              check_config):
    probe = check_config(f"ext_collector_ssl_certificate {pki['sensor'][0]};"
                         f"\next_collector_ssl_certificate_key "
                         f"{pki['sensor'][1]};\n")
    if probe.returncode != 0 and "unknown directive" in probe.output:
        pytest.skip("these modules have no client-certificate directives")
    collector = real_collector(tls=pki["server"],
                               args=["--tls-client-ca", pki["ca"]])
    url = f"https://127.0.0.1:{collector.tls_port}"
    conf = f"""
ext_collector_ssl_certificate {pki['sensor'][0]};
ext_collector_ssl_certificate_key {pki['sensor'][1]};
ext_stats_server {url};
ext_heartbeat_period 5s;
server {{
    listen 127.0.0.1:@PORT@;
    location / {{
        kestrelvanes_http_access_enable on;
        ext_auth_log_server {url};
        return 200 "ok";
    }}
}}
"""
    nginx.start(conf)
    resp, _ = one_exchange(nginx.port, request_bytes(
        "GET", "/proved", [("Host", "h")]))
    assert resp.status == 200
    [x] = collector.wait_exchanges(1)
    assert x["uri"] == "/proved"
    wait_until(lambda: collector.counters()["heartbeats"] >= 1, 15)
    assert collector.counters()["tls_handshake_failed"] == 0
