"""Sensors that prove who they are: a client certificate on every TLS
connection to collectors, for collectors that admit only sensors whose
certificates their CA signed.  Made by the tests: a CA for sensors, a
sensor's certificate it signed, and one another CA signed."""

import pytest

from harness import make_ca, make_signed
from harness.sensorlogs import merged_logs

from harness.exchange import one_exchange, request_bytes

SENSOR = "sensor-7.edge"


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    d = tmp_path_factory.mktemp("client-pki")
    ca = make_ca(d / "ca", "Sensor CA")
    stranger = make_ca(d / "stranger", "Someone Else")
    return {
        "ca": ca[0],
        "sensor": make_signed(d / "sensor", ca, [SENSOR], stem="sensor",
                              usage="clientAuth"),
        "other sensor": make_signed(d / "other", ca, ["other.edge"],
                                    stem="other", usage="clientAuth"),
        "stranger": make_signed(d / "stranger-cert", stranger, [SENSOR],
                                stem="stranger", usage="clientAuth"),
    }


def certificate_lines(cert, key, names="access"):
    prefix = {"short": "ext_collector_ssl_",
              "access": "kestrelvanes_http_access_collector_ssl_",
              "auth": "kestrelvanes_http_auth_collector_ssl_"}[names]
    return f"{prefix}certificate {cert};\n{prefix}certificate_key {key};\n"


def config(lines):
    return f"""
{lines}
ext_stats_server @URL@;
ext_heartbeat_period 5s;
ext_stats_period 0;
server {{
    listen 127.0.0.1:@PORT@;
    location / {{
        kestrelvanes_http_access_enable on;
        ext_auth_log_server @URL@;
        return 200 "ok";
    }}
}}
"""


def subject_cn(conn):
    return dict(field for rdn in conn.peer_cert["subject"]
                for field in rdn)["commonName"]


@pytest.mark.parametrize("names", ["short", "access", "auth"])
def test_collector_that_requires_a_certificate_gets_logs_and_heartbeats(
        nginx, collector_factory, pki, names):
    collector = collector_factory(client_ca=pki["ca"])
    nginx.start(config(certificate_lines(*pki["sensor"], names)),
                values={"URL": collector.url})

    r, _ = one_exchange(nginx.port, request_bytes("GET", "/proved",
                                                  [("Host", "h")]))
    assert r.status == 200
    [log] = merged_logs(collector, count=1, timeout=10)
    assert log.uri == "/proved"
    collector.wait_heartbeats(1, timeout=10)

    assert collector.connections
    for conn in collector.connections:
        assert conn.tls_error is None, conn
        assert subject_cn(conn) == SENSOR


@pytest.mark.parametrize("cert", [None, "stranger"])
def test_sensor_without_a_certificate_the_collector_trusts_sends_nothing(
        nginx, collector_factory, pki, cert):
    collector = collector_factory(client_ca=pki["ca"])
    lines = certificate_lines(*pki[cert]) if cert else ""
    nginx.start(config(lines), values={"URL": collector.url})

    one_exchange(nginx.port, request_bytes("GET", "/refused",
                                           [("Host", "h")]))
    # the sensor learns of the refusal before it writes anything, though
    # TLS 1.3 ends its handshake first, and counts the message as failed
    nginx.wait_log("collector refused the connection after the TLS "
                   "handshake", timeout=10)
    nginx.wait_log("failed to init peer", timeout=10)
    assert not collector.messages
    assert all(c.tls_error for c in collector.connections)


def test_certificate_settings_are_checked_at_load(check_config, pki,
                                                  tmp_path):
    server = "server { listen 127.0.0.1:@PORT@; }"
    cert, key = pki["sensor"]
    _, other_key = pki["other sensor"]

    res = check_config(f"ext_collector_ssl_certificate {cert};\n" + server)
    assert res.returncode != 0
    assert ('"ext_collector_ssl_certificate" and '
            '"ext_collector_ssl_certificate_key" go together: the '
            'certificate is given without the other') in res.output

    res = check_config(
        f"kestrelvanes_http_auth_collector_ssl_certificate_key {key};\n"
        + server)
    assert res.returncode != 0
    assert "the key is given without the other" in res.output

    missing = tmp_path / "missing.pem"
    res = check_config(certificate_lines(missing, key) + server)
    assert res.returncode != 0
    assert (f'cannot load collector client certificate "{missing}"'
            in res.output), res.output

    # OpenSSL checks the key against the certificate as it loads it
    res = check_config(certificate_lines(cert, other_key) + server)
    assert res.returncode != 0
    assert (f'cannot load collector client certificate key "{other_key}"'
            in res.output and "key values mismatch" in res.output), \
        res.output

    # the whole process proves itself one way: http level only
    res = check_config("server { listen 127.0.0.1:@PORT@; "
                       f"ext_collector_ssl_certificate {cert}; }}")
    assert res.returncode != 0
    assert ('"ext_collector_ssl_certificate" directive is not allowed here'
            in res.output)

    res = check_config(certificate_lines(cert, key, "short") + server)
    assert res.returncode == 0, res.output
