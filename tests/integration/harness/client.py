"""Small HTTP clients for talking to nginx under test."""

import http.client
import socket
from dataclasses import dataclass

from .net import HOST
from .wait import Deadline


@dataclass
class Response:
    status: int
    reason: str
    headers: list  # [(name, value)] as received, duplicates kept
    body: bytes

    def header(self, name, default=None):
        low = name.lower()
        for n, v in self.headers:
            if n.lower() == low:
                return v
        return default

    def header_all(self, name):
        low = name.lower()
        return [v for n, v in self.headers if n.lower() == low]


def http_request(port, path="/", method="GET", headers=None, body=None,
                 timeout=5.0, host=HOST):
    """One request on a fresh connection; returns a Response.

    ``headers`` may be a dict or a list of pairs (duplicates are sent as
    given).
    """
    conn = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        conn.putrequest(method, path, skip_accept_encoding=True)
        pairs = list(headers.items() if isinstance(headers, dict)
                     else headers or [])
        for name, value in pairs:
            conn.putheader(name, value)
        if body is not None and not any(n.lower() in ("content-length",
                                                       "transfer-encoding")
                                        for n, _ in pairs):
            conn.putheader("Content-Length", str(len(body)))
        conn.endheaders(body)
        resp = conn.getresponse()
        data = resp.read()
        return Response(resp.status, resp.reason, resp.getheaders(), data)
    finally:
        conn.close()


def raw_exchange(port, data, timeout=5.0, host=HOST):
    """Send raw bytes, half-close, and return everything read until EOF."""
    deadline = Deadline(timeout)
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        out = bytearray()
        while not deadline.expired():
            s.settimeout(max(deadline.remaining(), 0.01))
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            out += chunk
        return bytes(out)
