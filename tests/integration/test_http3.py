"""Capture and authorization over HTTP/3 (QUIC), on releases built with it.

nginx speaks HTTP/3 from 1.25 on, when built --with-http_v3_module (tools/
build.sh does so wherever the release has it).  The client is Debian's
ngtcp2 example client (gtlsclient).  Where either is missing the tests are
skipped; the release matrix sets KV_REQUIRE_HTTP3=1, which makes that a
failure instead, so the matrix cannot pass without having spoken HTTP/3.
"""

import os
import re
import shutil
import subprocess

import pytest

from harness import Reply
from harness.nginx import nginx_binary
from harness.sensorlogs import merged_by_uri, merged_logs, response_logs

CLIENT = "gtlsclient"

CONF = """
server {
    listen 127.0.0.1:@PORT@ ssl;
    listen 127.0.0.1:@PORT@ quic;
    ssl_certificate %(cert)s;
    ssl_certificate_key %(key)s;
    client_body_buffer_size 4k;

    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
    # merged logs to the collector
    location /api/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        proxy_pass http://127.0.0.1:@UP@;
    }
    # response logs to the authorization server that answered
    location /v1/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
"""

STATUS = re.compile(r"^http: stream 0x0 \[:status: (\d+)\]$", re.M)


def http3_missing():
    """Why HTTP/3 cannot be tried here, or None."""
    out = subprocess.run([nginx_binary(), "-V"], capture_output=True,
                         text=True, check=False).stderr
    if "--with-http_v3_module" not in out:
        return "nginx is not built --with-http_v3_module"
    if shutil.which(CLIENT) is None:
        return f"no HTTP/3 client ({CLIENT}, Debian's ngtcp2-client)"
    return None


@pytest.fixture(scope="module", autouse=True)
def needs_http3():
    why = http3_missing()
    if why is None:
        return
    if os.environ.get("KV_REQUIRE_HTTP3"):
        pytest.fail(f"HTTP/3 is required here: {why}", pytrace=False)
    pytest.skip(why)


@pytest.fixture
def upstream(auth_server_factory):
    up = auth_server_factory()
    up.set_response(200, [("X-App", "h3")], b"served over h3")
    return up


def h3(port, path, tmp_path, body=None):
    """One HTTP/3 request; (status, response body)."""
    down = tmp_path / f"down{len(list(tmp_path.iterdir()))}"
    down.mkdir()
    args = [CLIENT, "--exit-on-all-streams-close", "--no-quic-dump",
            "--timeout=10s", f"--download={down}"]
    if body is not None:
        src = down / "request.body"
        src.write_bytes(body)
        args += ["-m", "POST", "-d", str(src)]
    args += ["127.0.0.1", str(port), f"https://127.0.0.1:{port}{path}"]
    out = subprocess.run(args, capture_output=True, text=True,
                         errors="replace", timeout=30, check=False)
    found = STATUS.search(out.stdout + out.stderr)
    assert found, (out.returncode, (out.stdout + out.stderr)[-3000:])
    # saved under the path's last part, query included
    got = down / path.rsplit("/", 1)[-1]
    return int(found.group(1)), got.read_bytes() if got.exists() else b""


def test_capture_and_authorization_over_http3(nginx, collector, auth_server,
                                              upstream, tls_cert, tmp_path):
    cert, key = tls_cert
    auth_server.responder = lambda msg: Reply(
        403 if msg.header("X-Req-Uri") == "/api/deny" else 200)
    nginx.start(CONF % {"cert": cert, "key": key},
                values={"AUTH": auth_server.port, "UP": upstream.port,
                        "COLLECTOR": collector.port})
    body = bytes((i * 13) % 256 for i in range(3000))

    assert h3(nginx.port, "/api/get?x=1", tmp_path) == (200, b"served over h3")
    assert h3(nginx.port, "/api/post", tmp_path, body) == (
        200, b"served over h3")
    assert h3(nginx.port, "/api/deny", tmp_path)[0] == 403
    assert h3(nginx.port, "/v1/items", tmp_path) == (200, b"served over h3")

    # the authorizer saw each request as the client sent it
    asked = {m.header("X-Req-Uri"): m
             for m in auth_server.wait_requests(4, path_prefix="/_auth")}
    assert set(asked) == {"/api/get?x=1", "/api/post", "/api/deny",
                          "/v1/items"}
    assert asked["/api/post"].body == body
    assert asked["/api/post"].header("X-Method") == "POST"
    assert {m.header("X-Forwarded-Proto") for m in asked.values()} == {
        "https"}
    assert asked["/api/get?x=1"].header("X-Req-Host") == \
        f"127.0.0.1:{nginx.port}"
    served = {m.target: m for m in upstream.requests}
    assert set(served) == {"/api/get?x=1", "/api/post", "/v1/items"}
    assert served["/api/post"].body == body

    # merged logs: both sides of each exchange
    logs = merged_by_uri(merged_logs(collector, count=3, timeout=10))
    assert set(logs) == {"/api/get?x=1", "/api/post", "/api/deny"}
    assert [logs[u].response["status"] for u in (
        "/api/get?x=1", "/api/post", "/api/deny")] == [200, 200, 403]
    assert logs["/api/post"].request["method"] == "POST"
    assert logs["/api/post"].req_body() == body
    assert logs["/api/get?x=1"].resp_body() == b"served over h3"
    assert logs["/api/get?x=1"].doc["client_ip"] == "127.0.0.1"
    assert logs["/api/get?x=1"].doc["client_port"] > 0
    # the host, which HTTP/3 names in ":authority" outside the header list
    assert logs["/api/get?x=1"].req_headers["Host"] == \
        f"127.0.0.1:{nginx.port}"

    # the response log goes to the authorization server that answered
    [rlog] = response_logs(auth_server, count=1, timeout=10)
    assert rlog.value("X-Req-Uri") == "/v1/items"
    assert rlog.value("X-Req-Host") == f"127.0.0.1:{nginx.port}"
    assert rlog.value("X-Status").strip() == "200"
    assert rlog.body == b"served over h3"
    assert nginx.log_problems() == []
