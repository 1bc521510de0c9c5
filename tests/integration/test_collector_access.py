"""Who may read and steer through the reference collector's console: a
page on a foreign name (DNS rebinding) gets nothing, a page on another
origin cannot change anything, a token guards a console that leaves
loopback, the console speaks HTTPS when told, and a change that lets
requests skip authorization needs a confirmation and is recorded, as is
an edit of the control file.
"""

import json
import socket
import ssl
import subprocess

import pytest

from harness import make_ca, make_signed, wait_until
from harness.realcollector import RealCollector, collector_binary

TOKEN = "dGVzdC10b2tlbi1mb3ItdGhlLWNvbnNvbGU="

pytestmark = pytest.mark.collector_only


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


def raw(port, method, path, headers, body=b"", tls=False):
    """(status, headers as a lower-cased dict, body) of one request sent
    exactly as given: no Host of our own."""
    head = f"{method} {path} HTTP/1.1\r\n" + "".join(
        f"{k}: {v}\r\n" for k, v in headers) + \
        f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n"
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    if tls:
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        s = ctx.wrap_socket(s)
    with s:
        s.sendall(head.encode() + body)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    fields = {}
    for line in lines[1:]:
        k, _, v = line.partition(":")
        fields[k.strip().lower()] = v.strip()
    return int(lines[0].split()[1]), fields, rest


def test_a_foreign_host_is_answered_421_and_nothing_else(real_collector):
    collector = real_collector(args=["--console-host", "console.example"])
    port = collector.console_port
    # what a page on attacker.example, rebound to 127.0.0.1, would send
    for host in ("attacker.example", f"attacker.example:{port}",
                 "localhost.", "127.0.0.1.nip.io"):
        for method, path, body in (("GET", "/api/exchanges", b""),
                                   ("GET", "/", b""),
                                   ("PUT", "/api/control",
                                    b'{"logging_level": "minimum"}')):
            status, fields, got = raw(port, method, path, [("Host", host)],
                                      body)
            assert (status, got) == (421, b""), (host, method, path)
            assert fields["x-frame-options"] == "DENY"
    assert collector.get("/api/control")["logging_level"] == "default"
    for host in (f"127.0.0.1:{port}", "localhost", f"[::1]:{port}",
                 "console.example"):
        status, _, got = raw(port, "GET", "/api/exchanges", [("Host", host)])
        assert status == 200 and got == b"[]", host


def test_another_origin_cannot_change_anything(real_collector):
    collector = real_collector()
    port = collector.console_port
    own = f"http://127.0.0.1:{port}"
    change = b'{"sampling_rate": 10}'
    for origin in ("http://attacker.example", "null",
                   f"http://localhost:{port}", f"https://127.0.0.1:{port}"):
        status, fields, body = raw(port, "PUT", "/api/control",
                                   [("Host", f"127.0.0.1:{port}"),
                                    ("Origin", origin),
                                    ("Content-Type", "application/json")],
                                   change)
        assert status == 403, origin
        assert "Origin" in json.loads(body)["error"]
    assert collector.get("/api/control")["sampling_rate"] == 0
    status, _, _ = raw(port, "PUT", "/api/control",
                       [("Host", f"127.0.0.1:{port}"), ("Origin", own)],
                       change)
    assert status == 200
    assert collector.get("/api/control")["sampling_rate"] == 10


def test_off_loopback_only_with_a_token(real_collector, tmp_path):
    # without a token: refused at start, with a message and status 2
    proc = subprocess.run(
        [collector_binary(), "--ingest", "127.0.0.1:0", "--console",
         "0.0.0.0:0", "--db", str(tmp_path / "c.db")],
        capture_output=True, text=True, timeout=20)
    assert proc.returncode == 2
    assert "is not a loopback address" in proc.stderr
    assert "--console-token-file" in proc.stderr
    assert not (tmp_path / "c.db").exists()
    # a token file with too little in it is refused too
    short = tmp_path / "short"
    short.write_text("abc\n")
    proc = subprocess.run(
        [collector_binary(), "--console", "0.0.0.0:0", "--ingest",
         "127.0.0.1:0", "--db", str(tmp_path / "c.db"),
         "--console-token-file", str(short)],
        capture_output=True, text=True, timeout=20)
    assert proc.returncode == 2 and "at least 16" in proc.stderr

    collector = real_collector(token=TOKEN,
                               args=["--console", "0.0.0.0:0"])
    # the harness reads 127.0.0.1 from the log line; the port is the same
    port = collector.console_port
    host = [("Host", f"127.0.0.1:{port}")]
    status, fields, _ = raw(port, "GET", "/api/exchanges", host)
    assert status == 401 and fields["www-authenticate"].startswith("Bearer")
    for path in ("/api/stats", "/api/control/changes", "/api/what-comes-next",
                 "/metrics"):
        assert raw(port, "GET", path, host)[0] == 401, path
    assert raw(port, "GET", "/api/exchanges",
               host + [("Authorization", "Bearer " + TOKEN[:-1])])[0] == 401
    assert raw(port, "GET", "/api/exchanges",
               host + [("Authorization", "Bearer " + TOKEN)])[0] == 200
    assert collector.get("/api/collector")["token_required"] is True


def test_console_over_tls(real_collector, tmp_path):
    ca = make_ca(tmp_path / "ca")
    cert = make_signed(tmp_path / "console", ca, ["127.0.0.1"])
    collector = real_collector(token=TOKEN, console_tls=cert)
    assert collector.scheme == "https"
    port = collector.console_port
    assert collector.get("/api/collector")["console_tls"] is True
    # signing in over HTTPS: the cookie is never sent in the clear
    status, fields, _ = raw(port, "POST", "/api/session",
                            [("Host", f"127.0.0.1:{port}"),
                             ("Content-Type", "application/json")],
                            json.dumps({"token": TOKEN}).encode(), tls=True)
    assert status == 200
    cookie = fields["set-cookie"]
    assert "HttpOnly" in cookie and "SameSite=Strict" in cookie
    assert "Secure" in cookie
    # and the console speaks nothing but TLS
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"GET /api/exchanges HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        s.settimeout(10)
        try:
            reply = s.recv(100)
        except (ConnectionResetError, socket.timeout):
            reply = b""
    assert not reply.startswith(b"HTTP/1.1 200")


def test_steering_that_opens_authorization_needs_a_confirmation(
        real_collector):
    collector = real_collector()
    # a pattern that matches everything is never taken
    for pattern in (".", ".*", "^", "/"):
        status, doc = collector.request("PUT", "/api/control", {
            "url_bypass": {"version": "9", "patterns": [pattern]},
            "confirm": "skip-authorization"})
        assert status == 400 and "skip authorization" in doc["error"], pattern

    change = {"url_bypass": {"version": "9", "patterns": ["^/api/private/"]}}
    status, doc = collector.request("PUT", "/api/control", change)
    assert status == 409
    assert doc["confirm"] == "skip-authorization"
    assert doc["openings"] == ["url_bypass pattern ^/api/private/: paths it "
                               "matches skip authorization"]
    assert collector.get("/api/control")["url_bypass"] is None
    status, doc = collector.request("PUT", "/api/control",
                                    {**change, "confirm": "skip-authorization"})
    assert status == 200
    assert doc["url_bypass"]["patterns"] == ["^/api/private/"]
    for level in ("nologging",):
        assert collector.request("PUT", "/api/control",
                                 {"logging_level": level})[0] == 409
    assert collector.request("PUT", "/api/control", {"backoff_ms": 2000})[0] \
        == 409
    # narrowing needs no word
    assert collector.request("PUT", "/api/control",
                             {"url_bypass": None})[0] == 200

    # an edit of the file is the file's change
    collector.control_file.write_text(json.dumps({"sampling_rate": 40}))
    changes = wait_until(
        lambda: (lambda c: c if c and c[0]["caller"] == "file" else None)(
            collector.get("/api/control/changes")), 10)
    assert changes[0]["changed"] == ["sampling_rate"]
    assert changes[0]["after"]["sampling_rate"] == 40
    assert [c["caller"] for c in changes] == ["file", "127.0.0.1",
                                              "127.0.0.1"]
    assert changes[1]["before"]["url_bypass"]["patterns"] == \
        ["^/api/private/"]
    assert changes[1]["after"]["url_bypass"] is None
    older = collector.get(f"/api/control/changes?limit=1&before="
                          f"{changes[1]['id']}")
    assert [c["id"] for c in older] == [changes[2]["id"]]
