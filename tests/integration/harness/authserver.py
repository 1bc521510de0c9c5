"""A fake authorization server: a keep-alive HTTP/1.1 upstream on loopback.

Each test sets the answer (status, headers, body, delay); every request is
recorded with its ordered headers and decoded body.
"""

import collections
import ssl
import threading

from .httpwire import Reply
from .servers import LoopbackServer


class FakeAuthServer(LoopbackServer):
    name = "auth-server"

    def __init__(self, port=None, tls=None):
        """``tls``: a (certfile, keyfile) pair to serve HTTPS with, or None."""
        ctx = None
        if tls is not None:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*tls)
        super().__init__(port=port, ssl_context=ctx)
        self._lock = threading.Lock()
        self.reply = Reply(200)
        self._queue = collections.deque()
        self.responder = None

    @property
    def requests(self):
        return self.messages

    def set_response(self, status=200, headers=(), body=b"", delay=0.0, **kw):
        """The standing answer. ``headers``: list of (name, value) or dict."""
        self.reply = Reply(status, headers, body, delay=delay, **kw)

    def queue_response(self, status=200, headers=(), body=b"", delay=0.0,
                       **kw):
        """A one-shot answer for the next request (queued in order)."""
        with self._lock:
            self._queue.append(Reply(status, headers, body, delay=delay, **kw))

    def wait_requests(self, count=1, timeout=5.0, path_prefix=None):
        return self.wait_messages(path_prefix, count, timeout)

    def reply_for(self, msg):
        if self.responder is not None:
            reply = self.responder(msg)
            if reply is not None:
                return reply
        with self._lock:
            if self._queue:
                return self._queue.popleft()
        return self.reply

    def handle_message(self, conn, msg):
        reply = self.reply_for(msg)
        if reply.delay and self.wait_interruptible(reply.delay):
            return False
        data = reply.to_bytes(head_only=msg.method == "HEAD")
        try:
            self.send(conn, data)
        except OSError:
            conn.closed_by = "error"
            return False
        msg.reply = data
        if reply.close or msg.wants_close():
            conn.closed_by = "server"
            return False
        return True
