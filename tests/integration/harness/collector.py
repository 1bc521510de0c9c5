"""A fake collector: the service the access-log module ships exchanges to.

It records every connection byte for byte, splits the streams into HTTP
requests and answers them according to the mode the test sets:

    normal      answer every request (the default)
    refuse      not listening at all: open connections are closed and new
                connects refused (stop()/start() do the same)
    silent      accept and read, never answer
    slow        answer after ``delay`` seconds
    reset       read one request, then close with a RST
    close_idle  answer, and close a connection after ``idle`` quiet seconds
                (over TLS with a close_notify alert first, as real servers do)
    tls_fail    accept TCP, then break the TLS handshake (``tls_fail_style``
                "close": close at once; "garbage": send non-TLS bytes)
    trickle     answer every request one byte every ``trickle`` seconds; over
                TLS the bytes are those of the TLS records, so even one record
                takes that long to arrive whole
    trickle_handshake
                (TLS) after the ClientHello, send the start of a handshake
                record one byte every ``trickle`` seconds
    flood       answer a heartbeat with an endless stream of whole replies of
                ``FLOOD_REPLY_SIZE`` bytes each, until the connection breaks
    garbage     answer every request with bytes that are not HTTP
    never_read  accept, then never read: once the socket buffers are full
                (the receive buffer is kept small) the sensor's writes
                block; leaving the mode closes such connections

A reply with ``split`` set is written as head and body ``split`` seconds
apart, in every mode that answers normally.
"""

import collections
import socket
import ssl
import threading
import time

from .httpwire import Reply, RequestParser
from .servers import POLL, LoopbackServer, reset_close

HEARTBEAT_PREFIX = "/kestrelvanes/heartbeat/v1"
MODES = ("normal", "refuse", "silent", "slow", "reset", "close_idle",
         "tls_fail", "trickle", "trickle_handshake", "flood", "garbage",
         "never_read")
GARBAGE = b"\x00\x17 not a reply \xff\r\n\r\n" * 3
# receive buffer of never_read connections: the kernel doubles it
NEVER_READ_RCVBUF = 4096
# the sensor's reply buffer: a reply of exactly this size still fits
FLOOD_REPLY_SIZE = 8192


class FakeCollector(LoopbackServer):
    name = "collector"

    def __init__(self, port=None, tls=None, client_ca=None, host=None):
        """``tls``: a (certfile, keyfile) pair to serve TLS with, or None.
        ``client_ca``: a CA file; the handshake then requires a client
        certificate it signed.  ``host``: a loopback address other than
        127.0.0.1 to listen on."""
        ctx = None
        if tls is not None:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*tls)
            ctx.sni_callback = self._remember_sni
            if client_ca is not None:
                ctx.verify_mode = ssl.CERT_REQUIRED
                ctx.load_verify_locations(client_ca)
        super().__init__(port=port, ssl_context=ctx)
        if host is not None:
            self.host = host
        self._lock = threading.Lock()
        self.mode = "normal"
        self.delay = 1.0
        self.idle = 1.0
        self.tls_fail_style = "close"
        self.trickle = 1.0
        self.default_reply = Reply(200)
        self.heartbeat_reply = Reply(200)
        self._heartbeat_queue = collections.deque()
        self.responder = None

    # policy

    def set_mode(self, mode, *, delay=None, idle=None, tls_fail_style=None,
                 trickle=None):
        """Switch behaviour for new requests and connections.

        "refuse" closes the listening socket; any other mode listens again
        on the same port.
        """
        if mode not in MODES:
            raise ValueError(f"unknown collector mode {mode!r}")
        with self._lock:
            was, self.mode = self.mode, mode
            if delay is not None:
                self.delay = delay
            if idle is not None:
                self.idle = idle
            if tls_fail_style is not None:
                self.tls_fail_style = tls_fail_style
            if trickle is not None:
                self.trickle = trickle
        if mode == "refuse":
            super().stop()
        elif was == "never_read" and mode != was:
            self.restart()  # a listener with the kernel's own buffer sizes
        else:
            self.start()
        return self

    def start(self):
        if self.mode == "refuse":
            self.mode = "normal"
        super().start()
        if self.mode == "never_read":
            # accepted connections inherit it; it must be set before they
            # arrive (the window is negotiated at connect)
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF,
                                      NEVER_READ_RCVBUF)
        return self

    def set_heartbeat_reply(self, status=200, headers=(), body=b"", **kw):
        """The standing answer to heartbeats."""
        self.heartbeat_reply = Reply(status, list(headers), body, **kw)

    def queue_heartbeat_reply(self, status=200, headers=(), body=b"", **kw):
        """A one-shot answer used by the next heartbeat (queued in order)."""
        with self._lock:
            self._heartbeat_queue.append(
                Reply(status, list(headers), body, **kw))

    def set_default_reply(self, status=200, headers=(), body=b"", **kw):
        self.default_reply = Reply(status, list(headers), body, **kw)

    def heartbeats(self):
        return self.find_messages(HEARTBEAT_PREFIX)

    def wait_heartbeats(self, count=1, timeout=5.0):
        return self.wait_messages(HEARTBEAT_PREFIX, count, timeout)

    def reply_for(self, msg):
        if self.responder is not None:
            reply = self.responder(msg)
            if reply is not None:
                return reply
        if msg.path.startswith(HEARTBEAT_PREFIX):
            with self._lock:
                if self._heartbeat_queue:
                    return self._heartbeat_queue.popleft()
            return self.heartbeat_reply
        return self.default_reply

    # hooks

    def on_accept(self, conn, sock):
        if self.mode == "never_read":
            self._hold_unread(conn)
            return False
        if self.mode == "trickle":
            self._serve_trickling(conn, sock)
            return False
        if self.mode == "trickle_handshake":
            self._trickle_handshake(conn, sock)
            return False
        if self.mode != "tls_fail":
            return True
        conn.tls_error = f"tls_fail ({self.tls_fail_style})"
        if self.tls_fail_style == "garbage":
            try:
                sock.sendall(b"this is not a TLS record\r\n\r\n" * 4)
            except OSError:
                pass
        conn.closed_by = "server"
        return False

    def idle_limit(self):
        return self.idle if self.mode == "close_idle" else None

    def handle_message(self, conn, msg):
        mode = self.mode
        if mode == "silent":
            return True
        if mode == "reset":
            conn.closed_by = "reset"
            reset_close(conn.sock)
            return False
        if mode == "flood" and msg.path.startswith(HEARTBEAT_PREFIX):
            self._flood(conn)
            return False
        if mode == "garbage":
            try:
                self.send(conn, GARBAGE)
            except OSError:
                conn.closed_by = "error"
                return False
            msg.reply = GARBAGE
            return True
        reply = self.reply_for(msg)
        wait = reply.delay + (self.delay if mode == "slow" else 0.0)
        if wait and self.wait_interruptible(wait):
            return False
        head, body = reply.parts(head_only=msg.method == "HEAD")
        try:
            self.send(conn, head)
            if reply.split is not None and body:
                if self.wait_interruptible(reply.split):
                    return False
            if body:
                self.send(conn, body)
        except OSError:
            conn.closed_by = "error"
            return False
        msg.reply = head + body
        if reply.close:
            conn.closed_by = "server"
            return False
        return True

    def _hold_unread(self, conn):
        """Keep the connection open without reading, while the mode lasts."""
        while self.mode == "never_read" and not self.stopping():
            self.wait_interruptible(POLL)
        conn.closed_by = "reset"
        reset_close(conn.sock)

    # slow and endless answers

    def _flood(self, conn):
        """Whole replies, back to back, for as long as the sensor takes them."""
        head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n"
        size = FLOOD_REPLY_SIZE - len(head % 9999)
        one = head % size + b"[" + b" " * (size - 2) + b"]"
        assert len(one) == FLOOD_REPLY_SIZE
        blob = one * 16
        conn.sock.settimeout(None)  # stop() shuts the socket down
        try:
            while not self.stopping():
                self.send(conn, blob)
        except OSError:
            conn.closed_by = "peer"

    def _pause(self, conn, sock, seconds):
        """Wait ``seconds`` watching the socket: False when the sensor has
        closed the connection (or the server stops)."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if self.stopping():
                return False
            sock.settimeout(max(0.001, min(POLL, end - time.monotonic())))
            try:
                if sock.recv(1, socket.MSG_PEEK) == b"":
                    conn.closed_by = "peer"
                    return False
                self.wait_interruptible(POLL)  # data waiting: not ours yet
            except socket.timeout:
                continue
            except OSError:
                conn.closed_by = "peer"
                return False
        return True

    def _trickle_bytes(self, conn, sock, data):
        for i in range(len(data)):
            try:
                sock.sendall(data[i:i + 1])
            except OSError:
                conn.closed_by = "peer"
                return False
            if not self._pause(conn, sock, self.trickle):
                return False
        return True

    def _trickle_handshake(self, conn, sock):
        if self._recv(conn, sock, 30.0) is None:
            return
        conn.tls_error = "trickle_handshake"
        # a ServerHello record of 256 bytes, of which only the start comes
        record = b"\x16\x03\x03\x01\x00\x02\x00\x00\xfc\x03\x03" + b"\x00" * 245
        self._trickle_bytes(conn, sock, record)

    def _recv(self, conn, sock, timeout):
        """Bytes from the sensor, or None when it closed or nothing came."""
        end = time.monotonic() + timeout
        while not self.stopping() and time.monotonic() < end:
            sock.settimeout(POLL)
            try:
                data = sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                conn.closed_by = "peer"
                return None
            if not data:
                conn.closed_by = "peer"
                return None
            return data
        return None

    def _serve_trickling(self, conn, sock):
        tls = _BioTls(self.ssl_context, conn) if self.ssl_context else None
        if tls is not None and not tls.handshake(lambda: self._recv(
                conn, sock, 10.0), sock.sendall):
            return
        parser = RequestParser()
        while not self.stopping():
            raw = self._recv(conn, sock, 3600)
            if raw is None:
                return
            data = tls.feed(raw) if tls else raw
            for msg in self.record(conn, parser, data):
                reply = self.reply_for(msg).to_bytes()
                wire = tls.wrap(reply) if tls else reply
                if not self._trickle_bytes(conn, sock, wire):
                    return
                msg.reply = reply


class _BioTls:
    """A server-side TLS session over memory buffers, so the test decides
    when each byte of a record goes out."""

    def __init__(self, ctx, conn):
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.obj = ctx.wrap_bio(self.incoming, self.outgoing,
                                server_side=True)
        self.conn = conn

    def handshake(self, recv, send):
        while True:
            try:
                self.obj.do_handshake()
                break
            except ssl.SSLWantReadError:
                pending = self.outgoing.read()
                if pending:
                    send(pending)
                raw = recv()
                if raw is None:
                    return False
                self.incoming.write(raw)
            except (ssl.SSLError, OSError) as exc:
                self.conn.tls_error = repr(exc)
                self.conn.closed_by = "error"
                return False
        pending = self.outgoing.read()
        if pending:
            send(pending)
        self.conn.tls_version = self.obj.version()
        return True

    def feed(self, raw):
        self.incoming.write(raw)
        out = b""
        while True:
            try:
                out += self.obj.read(65536)
            except (ssl.SSLWantReadError, ssl.SSLZeroReturnError):
                return out

    def wrap(self, data):
        self.obj.write(data)
        return self.outgoing.read()
