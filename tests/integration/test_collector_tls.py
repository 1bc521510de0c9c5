"""Opt-in checks of the collector's certificate: trust, name and SNI.

Off by default, a TLS collector is used whatever its certificate (the
other TLS tests rely on that with a self-signed one)."""

import pytest

from harness import make_ca, make_signed
from harness.monitoring import control_link_config, heartbeat_request

NAME = "collector.test"


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    d = tmp_path_factory.mktemp("pki")
    ca = make_ca(d / "ca", "Collector CA")
    stranger = make_ca(d / "stranger", "Someone Else")
    return {
        "ca": ca[0],
        "good": make_signed(d / "good", ca, [NAME, "127.0.0.1"]),
        "wrong name": make_signed(d / "wrong", ca, ["other.test"]),
        "unknown CA": make_signed(d / "unknown", stranger, [NAME, "127.0.0.1"]),
    }


def verifying(ca, name=None, long_names=False):
    prefix = "kestrelvanes_http_access_collector_ssl_" if long_names \
        else "ext_collector_ssl_"
    lines = [f"{prefix}verify on;", f"{prefix}trusted_certificate {ca};"]
    if name:
        lines.append(f"{prefix}name {name};")
    return control_link_config(stats="0", extra="\n".join(lines))


@pytest.mark.parametrize("name,sni,long_names", [
    (NAME, NAME, False),
    # without a name the URL's host is checked: an address, which TLS
    # does not carry as SNI
    (None, None, True),
], ids=["configured-name", "url-address"])
def test_good_certificate_is_verified(nginx, collector_factory, pki, name,
                                      sni, long_names):
    collector = collector_factory(cert=pki["good"])
    nginx.start(verifying(pki["ca"], name, long_names),
                values={"URL": collector.url})

    h = collector.wait_heartbeats(1, timeout=8)[0]
    assert h.raw == heartbeat_request("default")
    conn = collector.connections[h.connection]
    assert conn.tls_version and not conn.tls_error
    assert conn.sni == sni
    assert "not verified" not in nginx.error_log()


@pytest.mark.parametrize("cert,reason", [
    ("wrong name", "hostname mismatch"),
    ("unknown CA", "unable to get local issuer certificate"),
])
def test_collector_failing_verification_gets_nothing(nginx, collector_factory,
                                                     pki, cert, reason):
    collector = collector_factory(cert=pki[cert])
    nginx.start(verifying(pki["ca"], NAME), values={"URL": collector.url})

    nginx.wait_log(f'collector certificate not verified for "{NAME}": '
                   f'{reason}', timeout=8)
    assert "failed to init peer" in nginx.error_log()
    # the sensor broke off the handshake: nothing was sent
    collector.wait_for(lambda c: c.connections and c.connections[0].closed,
                       timeout=5)
    assert collector.connections[0].tls_error
    assert not collector.messages


def test_configuration_errors(check_config, tmp_path, pki):
    server = "server { listen 127.0.0.1:@PORT@; }"

    res = check_config("ext_collector_ssl_verify on;\n" + server)
    assert res.returncode != 0
    assert ('"ext_collector_ssl_verify" is on but no '
            '"ext_collector_ssl_trusted_certificate" is given') in res.output

    missing = tmp_path / "missing.pem"
    res = check_config(
        f"ext_collector_ssl_trusted_certificate {missing};\n" + server)
    assert res.returncode != 0
    assert (f'cannot load collector CA certificates from "{missing}"'
            in res.output), res.output

    res = check_config("kestrelvanes_http_access_collector_ssl_verify yes;\n"
                       + server)
    assert res.returncode != 0
    assert ('invalid value "yes" in '
            '"kestrelvanes_http_access_collector_ssl_verify" directive, '
            'it must be "on" or "off"') in res.output

    # process-wide settings: http level only
    res = check_config("server { listen 127.0.0.1:@PORT@; "
                       "ext_collector_ssl_name x; }")
    assert res.returncode != 0
    assert '"ext_collector_ssl_name" directive is not allowed here' \
        in res.output

    # off needs no CA
    res = check_config("ext_collector_ssl_verify off;\n" + server)
    assert res.returncode == 0, res.output
