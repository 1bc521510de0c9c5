"""A threaded loopback TCP server that records everything it receives.

The fake collector and the fake authorization server are built on it.  Each
accepted connection gets a daemon thread; every byte read is kept with its
arrival time and the stream is split into HTTP requests as it comes.
"""

import socket
import ssl
import struct
import threading
import time

from .httpwire import RequestParser
from .net import HOST, free_port
from .wait import Deadline, WaitTimeout

POLL = 0.05  # how often blocking calls look at the stop flag


class Connection:
    """One accepted connection and everything that was read from it."""

    def __init__(self, index, peer):
        self.index = index
        self.peer = peer
        self.opened_at = time.monotonic()
        self.closed_at = None
        self.closed_by = None  # "peer", "server", "reset", "stop" or "error"
        self.chunks = []  # [(time.monotonic(), bytes)] as recv() returned them
        self.messages = []
        self.parse_error = None
        self.tls_error = None
        self.tls_version = None
        self.sni = None
        self.peer_cert = None  # the client's certificate, when asked for
        self.sock = None
        self.send_lock = threading.Lock()

    @property
    def raw(self):
        return b"".join(c for _, c in self.chunks)

    @property
    def closed(self):
        return self.closed_at is not None

    def __repr__(self):
        return (f"<Connection #{self.index} from {self.peer} "
                f"{len(self.raw)}B {len(self.messages)} msgs "
                f"closed_by={self.closed_by}>")


class LoopbackServer:
    """Base class: accept loop, per-connection reader, recording, waiting.

    Subclasses answer messages in ``handle_message`` and may take over a
    fresh connection in ``on_accept``.
    """

    name = "server"

    def __init__(self, port=None, ssl_context=None):
        self.host = HOST
        self.port = port or free_port()
        self.ssl_context = ssl_context
        self.connections = []
        self.messages = []
        self._cond = threading.Condition()
        self._listener = None
        self._accept_thread = None
        self._threads = []
        self._stop = threading.Event()
        self._stop.set()
        self._sni = {}

    # lifecycle

    @property
    def running(self):
        return not self._stop.is_set()

    @property
    def scheme(self):
        return "https" if self.ssl_context else "http"

    @property
    def url(self):
        return f"{self.scheme}://{self.host}:{self.port}"

    def start(self):
        """Listen on the (fixed) port; a no-op when already listening."""
        if self.running:
            return self
        lst = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # the port was picked free earlier; a connection of the previous run
        # in TIME_WAIT must not stop a restart on it
        lst.bind((self.host, self.port))
        lst.listen(128)
        lst.settimeout(POLL)
        self._listener = lst
        self._stop = threading.Event()
        self._accept_thread = threading.Thread(
            target=self._accept_loop, args=(lst, self._stop),
            name=f"{self.name}-accept", daemon=True)
        self._accept_thread.start()
        return self

    def stop(self, timeout=5.0):
        """Stop listening and close every open connection."""
        self._stop.set()
        if self._listener is not None:
            self._listener.close()
            self._listener = None
        if self._accept_thread is not None:
            self._accept_thread.join(timeout)
            self._accept_thread = None
        with self._cond:
            conns = list(self.connections)
        for conn in conns:
            _shutdown(conn.sock)
        deadline = Deadline(timeout)
        for t in list(self._threads):
            t.join(deadline.remaining())
        self._threads = [t for t in self._threads if t.is_alive()]
        with self._cond:
            self._cond.notify_all()

    def drop_connections(self):
        """Close every open connection and keep listening, so a mode that
        acts at connect meets the next connection."""
        with self._cond:
            conns = [c for c in self.connections if not c.closed]
        for conn in conns:
            conn.closed_by = conn.closed_by or "server"
            _shutdown(conn.sock)

    def restart(self):
        self.stop()
        return self.start()

    def clear(self):
        """Forget what was recorded so far (open connections keep going)."""
        with self._cond:
            self.messages.clear()
            for conn in self.connections:
                conn.messages.clear()

    # waiting

    def wait_for(self, predicate, timeout=5.0, message=None):
        """Wait until ``predicate(self)`` is truthy, woken by new traffic.

        ``message`` may be a callable, evaluated at the deadline so the
        report shows what had arrived by then."""
        __tracebackhide__ = True
        deadline = Deadline(timeout)
        with self._cond:
            while True:
                result = predicate(self)
                if result:
                    return result
                if deadline.expired():
                    break
                self._cond.wait(min(deadline.remaining(), 0.25))
        what = message() if callable(message) else message
        raise WaitTimeout(what or f"{self.name}: condition not met within "
                          f"{timeout:.1f}s; saw {self.describe()}")

    def find_messages(self, path_prefix=None, method=None):
        with self._cond:
            return [m for m in self.messages
                    if (path_prefix is None or m.path.startswith(path_prefix))
                    and (method is None or m.method == method)]

    def wait_messages(self, path_prefix=None, count=1, timeout=5.0,
                      method=None):
        """Wait for at least ``count`` requests whose path starts with
        ``path_prefix``; return all such requests in arrival order."""
        __tracebackhide__ = True
        def enough(_):
            found = self.find_messages(path_prefix, method)
            return found if len(found) >= count else None
        return self.wait_for(enough, timeout, message=lambda: (
            f"{self.name}: wanted {count} message(s) with prefix "
            f"{path_prefix!r} within {timeout:.1f}s; saw {self.describe()}"))

    def wait_connections(self, count=1, timeout=5.0):
        __tracebackhide__ = True
        return self.wait_for(
            lambda s: list(s.connections) if len(s.connections) >= count
            else None, timeout, message=lambda: (
                f"{self.name}: wanted {count} connection(s) within "
                f"{timeout:.1f}s; saw {self.describe()}"))

    def describe(self):
        with self._cond:
            msgs = [f"{m.method} {m.target}" for m in self.messages[-20:]]
            return (f"{len(self.connections)} connection(s), "
                    f"{len(self.messages)} message(s) {msgs}")

    # hooks for subclasses

    def on_accept(self, conn, sock):
        """Called before reading; return False to stop serving ``conn``."""
        return True

    def handle_message(self, conn, msg):
        """Answer ``msg``; return False to stop reading the connection."""
        return True

    def idle_limit(self):
        """Seconds of silence after which a connection is closed, or None."""
        return None

    def send(self, conn, data):
        with conn.send_lock:
            conn.sock.sendall(data)

    def wait_interruptible(self, seconds):
        """Sleep that a stop() cuts short; True when it was cut short."""
        return self._stop.wait(seconds)

    def stopping(self):
        return self._stop.is_set()

    def record(self, conn, parser, data, now=None):
        """Keep bytes read from ``conn`` and return the requests they end."""
        now = time.monotonic() if now is None else now
        msgs = parser.feed(data, now)
        with self._cond:
            conn.chunks.append((now, data))
            conn.parse_error = parser.error
            for m in msgs:
                m.connection = conn.index
                m.index = len(conn.messages)
                conn.messages.append(m)
                self.messages.append(m)
            self._cond.notify_all()
        return msgs

    # internals

    def _accept_loop(self, lst, stop):
        while not stop.is_set():
            try:
                sock, peer = lst.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            with self._cond:
                conn = Connection(len(self.connections), peer)
                conn.sock = sock
                self.connections.append(conn)
                self._cond.notify_all()
            t = threading.Thread(target=self._serve, args=(conn, sock, stop),
                                 name=f"{self.name}-conn{conn.index}",
                                 daemon=True)
            self._threads = [x for x in self._threads if x.is_alive()]
            self._threads.append(t)
            t.start()

    def _serve(self, conn, sock, stop):
        try:
            sock.settimeout(POLL)
            if not self.on_accept(conn, sock):
                return
            sock = conn.sock
            if self.ssl_context is not None:
                sock = self._handshake(conn, sock, stop)
                if sock is None:
                    return
            self._read_loop(conn, sock, stop)
        except Exception as exc:  # keep the thread quiet; the record says it
            conn.closed_by = conn.closed_by or f"error: {exc!r}"
        finally:
            if conn.closed_by is None:
                conn.closed_by = "stop" if stop.is_set() else "server"
            conn.closed_at = conn.closed_at or time.monotonic()
            _close(conn.sock)
            with self._cond:
                self._cond.notify_all()

    def _handshake(self, conn, sock, stop):
        sock.settimeout(5.0)
        tls = self.ssl_context.wrap_socket(sock, server_side=True,
                                           do_handshake_on_connect=False)
        conn.sock = tls
        try:
            tls.do_handshake()
        except (ssl.SSLError, OSError) as exc:
            conn.tls_error = repr(exc)
            conn.closed_by = "error"
            return None
        conn.tls_version = tls.version()
        conn.sni = self._sni.pop(id(tls), None)
        conn.peer_cert = tls.getpeercert() or None
        tls.settimeout(POLL)
        return tls

    def _remember_sni(self, sslobj, server_name, _ctx):
        self._sni[id(sslobj)] = server_name

    def _read_loop(self, conn, sock, stop):
        parser = RequestParser()
        last = time.monotonic()
        while not stop.is_set():
            try:
                data = sock.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                idle = self.idle_limit()
                if idle is not None and time.monotonic() - last >= idle:
                    conn.closed_by = "server"
                    _close_notify(sock)
                    return
                continue
            except ConnectionResetError:
                conn.closed_by = "reset"
                return
            except OSError:
                conn.closed_by = "stop" if stop.is_set() else "error"
                return
            now = time.monotonic()
            if not data:
                conn.closed_by = "peer"
                return
            last = now
            msgs = self.record(conn, parser, data, now)
            for m in msgs:
                if not self.handle_message(conn, m):
                    return
                last = time.monotonic()
                with self._cond:
                    self._cond.notify_all()


def _close_notify(sock):
    """Say goodbye as a real TLS server closing an idle connection does: a
    close_notify alert before the FIN."""
    if not isinstance(sock, ssl.SSLSocket):
        return
    try:
        sock.unwrap()
    except (OSError, ValueError):  # the peer's own close_notify is not awaited
        pass


def reset_close(sock):
    """Close so the peer sees a RST, not a FIN."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                        struct.pack("ii", 1, 0))
    except OSError:
        pass
    _close(sock)


def _shutdown(sock):
    if sock is None:
        return
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


def _close(sock):
    if sock is None:
        return
    try:
        sock.close()
    except OSError:
        pass
