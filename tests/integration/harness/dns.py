"""A name server for tests, on a loopback UDP port: it answers A queries
for any name with the address it is given, or drops every query, as a
name server that never answers does.  Every query is recorded."""

import socket
import struct
import threading

from .net import HOST
from .wait import wait_until

TYPE_A = 1
CLASS_IN = 1


def _question(packet):
    """(name, qtype, end offset) of a query's first question."""
    labels, i = [], 12
    while packet[i]:
        n = packet[i]
        labels.append(packet[i + 1:i + 1 + n].decode("ascii", "replace"))
        i += 1 + n
    qtype, _ = struct.unpack(">HH", packet[i + 1:i + 5])
    return ".".join(labels), qtype, i + 5


def reply_to(query, address, ttl):
    """The answer to ``query``: its question, and one A record when it
    asks for one."""
    _, qtype, end = _question(query)
    answers = b""
    if qtype == TYPE_A:
        answers = (b"\xc0\x0c" + struct.pack(">HHIH", TYPE_A, CLASS_IN, ttl, 4)
                   + socket.inet_aton(address))
    # response, recursion desired and available, no error
    head = query[:2] + struct.pack(">HHHHH", 0x8180, 1,
                                   1 if answers else 0, 0, 0)
    return head + query[12:end] + answers


class FakeNameServer:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, 0))
        self.sock.settimeout(0.05)
        self.port = self.sock.getsockname()[1]
        self.address = None  # None: every query is dropped
        self.ttl = 1
        self.queries = []  # (name, qtype)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = None

    def answer(self, address, ttl=1):
        with self._lock:
            self.address, self.ttl = address, ttl

    def drop(self):
        with self._lock:
            self.address = None

    def wait_queries(self, count, timeout=10.0):
        return wait_until(lambda: len(self.queries) >= count, timeout,
                          message=lambda: f"name server: {len(self.queries)} "
                          f"queries, wanted {count}")

    def start(self):
        self._thread = threading.Thread(target=self._serve, daemon=True,
                                        name="name-server")
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join(5)
        self.sock.close()

    def _serve(self):
        while not self._stop.is_set():
            try:
                packet, peer = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                name, qtype, _ = _question(packet)
            except (IndexError, struct.error):
                continue
            with self._lock:
                self.queries.append((name, qtype))
                address, ttl = self.address, self.ttl
            if address is not None:
                self.sock.sendto(reply_to(packet, address, ttl), peer)
