"""A byte-exact HTTP/1.x client for tests that care about the wire.

``http_request`` goes through http.client, which adds headers of its own
and closes after one exchange; ``raw_exchange`` half-closes, which nginx's
proxy takes for a client that gave up.  ``ClientConnection`` sends exactly
the bytes it is given, keeps the connection open for more requests, and
reads each response whole by its framing (Content-Length, chunked, or
until EOF).
"""

import socket
from dataclasses import dataclass

from .net import HOST
from .wait import Deadline


@dataclass
class RawResponse:
    status: int
    headers: list  # [(name, value)] as received
    body: bytes  # decoded (chunk framing removed)
    raw: bytes  # every byte of the response as received

    def header(self, name, default=None):
        low = name.lower()
        for n, v in self.headers:
            if n.lower() == low:
                return v
        return default

    def headers_without(self, *names):
        drop = {n.lower() for n in names}
        return [(n, v) for n, v in self.headers if n.lower() not in drop]


class ClientConnection:
    def __init__(self, port, timeout=10.0, host=HOST):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.local_port = self.sock.getsockname()[1]
        self.timeout = timeout
        self._buf = bytearray()
        self._eof = False

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self, deadline):
        if self._eof:
            return False
        self.sock.settimeout(max(deadline.remaining(), 0.01))
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            raise AssertionError(f"no complete response within "
                                 f"{self.timeout}s; have {bytes(self._buf)[:300]!r}")
        if not chunk:
            self._eof = True
            return False
        self._buf += chunk
        return True

    def _take_until(self, marker, deadline):
        while True:
            i = self._buf.find(marker)
            if i >= 0:
                out = bytes(self._buf[:i + len(marker)])
                del self._buf[:i + len(marker)]
                return out
            if not self._fill(deadline):
                raise AssertionError(f"connection closed before {marker!r}; "
                                     f"have {bytes(self._buf)[:300]!r}")

    def _take(self, n, deadline):
        while len(self._buf) < n:
            if not self._fill(deadline):
                raise AssertionError("connection closed inside a body")
        out = bytes(self._buf[:n])
        del self._buf[:n]
        return out

    def read_response(self, head_only=False):
        """One response; ``head_only`` for answers to HEAD."""
        deadline = Deadline(self.timeout)
        head = self._take_until(b"\r\n\r\n", deadline)
        lines = head[:-4].decode("latin-1").split("\r\n")
        status = int(lines[0].split(" ", 2)[1])
        headers = []
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers.append((name, value.strip(" \t")))
        low = {n.lower(): v for n, v in headers}
        raw = bytearray(head)
        body = bytearray()
        if head_only or status in (204, 304) or 100 <= status < 200:
            pass
        elif "chunked" in low.get("transfer-encoding", "").lower():
            while True:
                size_line = self._take_until(b"\r\n", deadline)
                raw += size_line
                size = int(size_line.split(b";")[0].strip(), 16)
                if size == 0:
                    while True:
                        line = self._take_until(b"\r\n", deadline)
                        raw += line
                        if line == b"\r\n":
                            break
                    break
                data = self._take(size + 2, deadline)
                raw += data
                body += data[:-2]
        elif "content-length" in low:
            data = self._take(int(low["content-length"]), deadline)
            raw += data
            body += data
        else:
            while self._fill(deadline):
                pass
            raw += self._buf
            body += self._buf
            self._buf.clear()
        return RawResponse(status, headers, bytes(body), bytes(raw))

    def exchange(self, data, head_only=False):
        self.send(data)
        return self.read_response(head_only=head_only)


def request_bytes(method="GET", target="/", headers=(), body=None,
                  version="HTTP/1.1"):
    """A request exactly as given: no header is added, not even Host."""
    out = f"{method} {target} {version}\r\n".encode("latin-1")
    for name, value in headers:
        name = name.encode("latin-1") if isinstance(name, str) else name
        value = value.encode("latin-1") if isinstance(value, str) else value
        out += name + b": " + value + b"\r\n"
    out += b"\r\n"
    if body:
        out += body
    return out


def one_exchange(port, data, head_only=False, timeout=10.0):
    """Send ``data`` on a fresh connection; returns (RawResponse, local port)."""
    with ClientConnection(port, timeout) as c:
        return c.exchange(data, head_only), c.local_port
