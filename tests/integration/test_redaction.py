"""ext_access_log_redact_header: the values of the named request and
response headers never leave the worker; both log formats carry a fixed
mask in their place, under the header's own name and at its own place.
"""

from harness.exchange import ClientConnection, request_bytes
from harness.sensorlogs import merged_by_uri, merged_logs, response_logs

MASK = "[REDACTED]"

CONFIG = """
server {
    listen 127.0.0.1:@PORT@;
    ext_access_log_redact_header authorization SET-COOKIE;
    kestrelvanes_http_access_redact_header Content-Type;
    location = /_auth {
        internal;
        proxy_pass http://127.0.0.1:@AUTH@;
    }
    location /m/ {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /own/ {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
        ext_access_log_redact_header X-Token;
        proxy_pass http://127.0.0.1:@UP@;
    }
    location /r/ {
        kestrelvanes_http_auth_enable on;
        ext_auth_request /_auth;
        kestrelvanes_http_access_enable on;
        proxy_pass http://127.0.0.1:@UP@;
    }
}
"""

REQUEST_HEADERS = [("Host", "h"), ("Authorization", "Bearer abc"),
                   ("Cookie", "c=1"), ("X-Token", "req-token"),
                   ("Content-Type", "text/x-secret")]


def test_named_headers_are_masked_in_both_formats(nginx, collector,
                                                  auth_server_factory):
    upstream = auth_server_factory()
    upstream.set_response(200, [("Set-Cookie", "sid=s3cr3t"),
                                ("X-Token", "t0k3n"),
                                ("Content-Type", "application/x-secret"),
                                ("X-Plain", "visible")], b"{}")
    auth = auth_server_factory()
    nginx.start(CONFIG, values={"COLLECTOR": collector.port,
                                "UP": upstream.port, "AUTH": auth.port})
    with ClientConnection(nginx.port) as c:
        for path in ("/m/a", "/own/a", "/r/a"):
            assert c.exchange(request_bytes("GET", path, REQUEST_HEADERS)
                              ).body == b"{}", path

    logs = merged_by_uri(merged_logs(collector, count=2))
    inherited, own = logs["/m/a"], logs["/own/a"]
    # names match in any case; each keeps its name and place
    assert inherited.req_headers.pairs[:5] == [
        ("Host", "h"), ("Authorization", MASK), ("Cookie", "c=1"),
        ("X-Token", "req-token"), ("Content-Type", MASK)]
    assert inherited.resp_headers.pairs[:3] == [
        ("Set-Cookie", MASK), ("X-Token", "t0k3n"), ("X-Plain", "visible")]
    # the type nginx keeps outside its header list is masked too
    assert inherited.resp_headers["Content-Type"] == MASK
    for secret in (b"Bearer abc", b"s3cr3t", b"x-secret"):
        assert secret not in inherited.msg.raw, secret

    # a location's own list replaces the one it would inherit
    assert own.req_headers["Authorization"] == "Bearer abc"
    assert own.req_headers["X-Token"] == own.resp_headers["X-Token"] == MASK
    assert own.resp_headers["Set-Cookie"] == "sid=s3cr3t"
    assert own.resp_headers["Content-Type"] == "application/x-secret"

    [log] = response_logs(auth, count=1)
    assert log.lines[:4] == ["Set-Cookie:" + MASK, "X-Token:t0k3n",
                             "X-Plain:visible", "Content-Type:" + MASK]
    assert log.value("X-Req-Content-Type") == MASK
    assert log.body == b"{}"
    for secret in (b"s3cr3t", b"x-secret"):
        assert secret not in log.msg.raw, secret
