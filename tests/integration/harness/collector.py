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
"""

import collections
import ssl
import threading

from .httpwire import Reply
from .servers import LoopbackServer, reset_close

HEARTBEAT_PREFIX = "/kestrelvanes/heartbeat/v1"
MODES = ("normal", "refuse", "silent", "slow", "reset", "close_idle",
         "tls_fail")


class FakeCollector(LoopbackServer):
    name = "collector"

    def __init__(self, port=None, tls=None):
        """``tls``: a (certfile, keyfile) pair to serve TLS with, or None."""
        ctx = None
        if tls is not None:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*tls)
            ctx.sni_callback = self._remember_sni
        super().__init__(port=port, ssl_context=ctx)
        self._lock = threading.Lock()
        self.mode = "normal"
        self.delay = 1.0
        self.idle = 1.0
        self.tls_fail_style = "close"
        self.default_reply = Reply(200)
        self.heartbeat_reply = Reply(200)
        self._heartbeat_queue = collections.deque()
        self.responder = None

    # policy

    def set_mode(self, mode, *, delay=None, idle=None, tls_fail_style=None):
        """Switch behaviour for new requests and connections.

        "refuse" closes the listening socket; any other mode listens again
        on the same port.
        """
        if mode not in MODES:
            raise ValueError(f"unknown collector mode {mode!r}")
        with self._lock:
            self.mode = mode
            if delay is not None:
                self.delay = delay
            if idle is not None:
                self.idle = idle
            if tls_fail_style is not None:
                self.tls_fail_style = tls_fail_style
        if mode == "refuse":
            super().stop()
        else:
            self.start()
        return self

    def start(self):
        if self.mode == "refuse":
            self.mode = "normal"
        return super().start()

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
        reply = self.reply_for(msg)
        wait = reply.delay + (self.delay if mode == "slow" else 0.0)
        if wait and self.wait_interruptible(wait):
            return False
        data = reply.to_bytes(head_only=msg.method == "HEAD")
        try:
            self.send(conn, data)
        except OSError:
            conn.closed_by = "error"
            return False
        msg.reply = data
        if reply.close:
            conn.closed_by = "server"
            return False
        return True
