"""HTTP/1.x request framing shared by the fake servers.

The parser works on a byte stream as it arrives and keeps, for each request,
exactly the bytes it was made of, so tests can assert on the wire format and
not only on what a lenient parser made of it.
"""

import http
import time
from dataclasses import dataclass, field

MAX_HEAD = 1 << 20


class ParseError(Exception):
    pass


@dataclass
class Message:
    """One HTTP request as received."""

    method: str
    target: str  # request-target as sent: path plus query
    version: str
    headers: list  # [(name, value)] in wire order, original case, duplicates kept
    body: bytes
    raw: bytes  # every byte of the message, head and framed body
    chunked: bool = False
    trailers: list = field(default_factory=list)
    connection: int = -1  # index of the connection it came on
    index: int = -1  # position within that connection
    started_at: float = 0.0  # time.monotonic() of the first byte's arrival
    received_at: float = 0.0  # time.monotonic() when the last byte arrived
    reply: bytes = None  # what the fake answered, None when it did not
    leading: bytes = b""  # empty lines skipped before the request line

    @property
    def path(self):
        return self.target.split("?", 1)[0]

    @property
    def query(self):
        parts = self.target.split("?", 1)
        return parts[1] if len(parts) == 2 else ""

    @property
    def head(self):
        """The request line and header block, up to and including CRLFCRLF."""
        return self.raw[: self.raw.index(b"\r\n\r\n") + 4]

    def header(self, name, default=None):
        """The first value of header ``name`` (case-insensitive)."""
        low = name.lower()
        for n, v in self.headers:
            if n.lower() == low:
                return v
        return default

    def header_all(self, name):
        low = name.lower()
        return [v for n, v in self.headers if n.lower() == low]

    def header_names(self):
        return [n for n, _ in self.headers]

    def wants_close(self):
        conn = (self.header("Connection") or "").lower()
        if self.version == "HTTP/1.0":
            return "keep-alive" not in conn
        return "close" in conn

    def __repr__(self):
        return (f"<Message {self.method} {self.target} conn={self.connection}"
                f" headers={len(self.headers)} body={len(self.body)}B>")


class RequestParser:
    """Incremental splitter of a connection's byte stream into Messages.

    After a framing error the parser stops producing messages; the bytes are
    still kept by the caller, and ``error`` says what went wrong.
    """

    def __init__(self, max_head=MAX_HEAD):
        self.buf = bytearray()
        self.error = None
        self.max_head = max_head
        self._first_byte_at = None
        self._leading = b""

    def feed(self, data, now=None):
        now = time.monotonic() if now is None else now
        if self.error:
            return []
        if data and not self.buf:
            self._first_byte_at = now
        self.buf += data
        out = []
        while self.buf and not self.error:
            try:
                msg = self._parse_one()
            except ParseError as exc:
                self.error = str(exc)
                break
            if msg is None:
                break
            msg.started_at = self._first_byte_at or now
            msg.received_at = now
            out.append(msg)
            self._first_byte_at = now if self.buf else None
        return out

    def _parse_one(self):
        buf = self.buf
        # a server ignores empty lines before a request line (RFC 9112
        # section 2.2); they are kept on the message that follows them
        while buf[:2] == b"\r\n":
            self._leading += b"\r\n"
            del buf[:2]
        if buf in (b"", b"\r"):
            return None
        end = buf.find(b"\r\n\r\n")
        if end < 0:
            if len(buf) > self.max_head:
                raise ParseError("header block too large")
            return None
        head = bytes(buf[:end]).decode("latin-1")
        lines = head.split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3 or not parts[2].startswith("HTTP/"):
            raise ParseError(f"bad request line {lines[0]!r}")
        method, target, version = parts
        headers = []
        for line in lines[1:]:
            name, sep, value = line.partition(":")
            if not sep or not name or name != name.strip():
                raise ParseError(f"bad header line {line!r}")
            headers.append((name, value.strip(" \t")))
        pos = end + 4

        te = ",".join(v for n, v in headers
                      if n.lower() == "transfer-encoding").lower()
        if "chunked" in te:
            parsed = _parse_chunked(buf, pos)
            if parsed is None:
                return None
            body, trailers, pos = parsed
            chunked = True
        else:
            lengths = [v for n, v in headers if n.lower() == "content-length"]
            if len(set(lengths)) > 1:
                raise ParseError(f"conflicting Content-Length {lengths}")
            length = 0
            if lengths:
                if not lengths[0].isdigit():
                    raise ParseError(f"bad Content-Length {lengths[0]!r}")
                length = int(lengths[0])
            if len(buf) < pos + length:
                return None
            body = bytes(buf[pos:pos + length])
            pos += length
            trailers = []
            chunked = False

        raw = bytes(buf[:pos])
        del buf[:pos]
        leading, self._leading = self._leading, b""
        return Message(method=method, target=target, version=version,
                       headers=headers, body=body, raw=raw, chunked=chunked,
                       trailers=trailers, leading=leading)


def _parse_chunked(buf, pos):
    """Decode a chunked body starting at ``pos``: (body, trailers, end) or None."""
    body = bytearray()
    while True:
        eol = buf.find(b"\r\n", pos)
        if eol < 0:
            return None
        size_text = bytes(buf[pos:eol]).split(b";", 1)[0].strip()
        try:
            size = int(size_text, 16)
        except ValueError:
            raise ParseError(f"bad chunk size {size_text!r}") from None
        pos = eol + 2
        if size == 0:
            break
        if len(buf) < pos + size + 2:
            return None
        body += buf[pos:pos + size]
        if buf[pos + size:pos + size + 2] != b"\r\n":
            raise ParseError("chunk not followed by CRLF")
        pos += size + 2
    trailers = []
    while True:
        eol = buf.find(b"\r\n", pos)
        if eol < 0:
            return None
        line = bytes(buf[pos:eol]).decode("latin-1")
        pos = eol + 2
        if not line:
            return bytes(body), trailers, pos
        name, _, value = line.partition(":")
        trailers.append((name, value.strip()))


@dataclass
class Reply:
    """An answer a fake server sends.

    Content-Length is added unless the headers frame the body themselves or
    ``raw`` gives the exact bytes to send.  ``delay`` is waited before
    sending; ``close`` closes the connection once it is sent.  ``split``
    writes the head and the body separately, that many seconds apart (two
    TCP segments, or two TLS records), as servers do for larger bodies.
    """

    status: int = 200
    headers: list = field(default_factory=list)
    body: bytes = b""
    delay: float = 0.0
    close: bool = False
    raw: bytes = None
    reason: str = None
    split: float = None

    def parts(self, head_only=False):
        """(head, body) as they go on the wire; for ``raw`` the split is
        after the first empty line."""
        data = self.to_bytes(head_only)
        end = data.find(b"\r\n\r\n")
        if end < 0:
            return data, b""
        return data[:end + 4], data[end + 4:]

    def to_bytes(self, head_only=False):
        if self.raw is not None:
            return self.raw
        body = self.body.encode() if isinstance(self.body, str) else self.body
        reason = self.reason
        if reason is None:
            try:
                reason = http.HTTPStatus(self.status).phrase
            except ValueError:
                reason = "Status"
        headers = list(self.headers.items() if isinstance(self.headers, dict)
                       else self.headers)
        names = {n.lower() for n, _ in headers}
        if ("content-length" not in names and "transfer-encoding" not in names
                and not (100 <= self.status < 200 or self.status in (204, 304))):
            headers.append(("Content-Length", str(len(body))))
        if self.close and "connection" not in names:
            headers.append(("Connection", "close"))
        out = f"HTTP/1.1 {self.status} {reason}\r\n"
        out += "".join(f"{n}: {v}\r\n" for n, v in headers)
        out += "\r\n"
        data = out.encode("latin-1")
        return data if head_only else data + body
