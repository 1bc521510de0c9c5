"""The log messages the access-log module ships, as the receivers see them.

Merged logs (a JSON document per exchange) go to the location's
``ext_auth_log_server``; response logs (metadata in header lines, the raw
captured body as the request body) go to the authorization server that
answered the request.  The helpers here check the framing every message
must have and hand back the parts tests compare, plus the counters of
the statistics documents the same nginx sends.
"""

import base64
import json
import re

from .monitoring import (COLLECTOR_HOST, STATS_PATH, sensor_hostname,
                         stats_docs)

MERGED_PATH = "/mergedlog"
RESPONSE_PATH = "/nginxlog"

# A request identifier: the worker's pid in hex, a dash, then nginx's
# $request_id, cut to the 32 characters of the latter.
REQUEST_ID = re.compile(r"[0-9a-f]+-[0-9a-f]+")

_MERGED_HEAD = re.compile(
    rb"POST /mergedlog\?sensor=nginx HTTP/1\.1\r\n"
    rb"Host:(?P<host>[^\r\n]*)\r\n"
    rb"Connection:keep-alive\r\n"
    rb"Content-Type:application/json\r\n"
    rb"Content-Length: (?P<len>[0-9]{10})\r\n\r\n")


def request_id_of(pid):
    """A pattern for identifiers minted by worker ``pid``."""
    return re.compile(f"{pid:x}-[0-9a-f]{{{31 - len(f'{pid:x}')}}}")


def check_request_id(rid, pid):
    assert len(rid) == 32 and request_id_of(pid).fullmatch(rid), (rid, pid)


class Members(dict):
    """A JSON object that also keeps its members in order, duplicates
    included (``pairs``), which a plain dict would fold."""

    def __init__(self, pairs):
        super().__init__(pairs)
        self.pairs = list(pairs)

    def keys_folded(self):
        return [k.lower() for k, _ in self.pairs]


class Merged:
    """One merged log: the head checked, the document parsed."""

    def __init__(self, msg, strict_utf8=True):
        self.msg = msg
        m = _MERGED_HEAD.match(msg.raw)
        assert m, f"bad merged-log head: {msg.raw[:300]!r}"
        self.host = m.group("host").decode("latin-1")
        self.payload = msg.raw[m.end():]
        # the length line is patched after the document is written; its
        # ten digits must be exactly the document's length
        assert int(m.group("len")) == len(self.payload) == len(msg.body), (
            m.group("len"), len(self.payload))
        # json.loads of bytes lets encoded surrogates through: decode
        # first, as strictly as a collector's parser would
        text = self.payload.decode("utf-8" if strict_utf8 else "latin-1",
                                   errors="strict")
        doc = json.loads(text, object_pairs_hook=Members)
        assert isinstance(doc, list) and len(doc) == 1, doc
        self.doc = doc[0]
        assert list(self.doc) == ["request", "response", "client_ip",
                                  "client_port", "started_at", "tries",
                                  "latencies"], list(self.doc)
        self.request = self.doc["request"]
        self.response = self.doc["response"]
        self.req_headers = self.request["headers"]
        self.resp_headers = self.response["headers"]

    @property
    def request_id(self):
        return self.req_headers["X-Request-Id"]

    @property
    def uri(self):
        return self.request["uri"]

    def req_body(self):
        b = self.request.get("body64")
        return None if b is None else base64.b64decode(b, validate=True)

    def resp_body(self):
        b = self.response.get("body64")
        return None if b is None else base64.b64decode(b, validate=True)


def merged_logs(collector, count=None, timeout=5.0, strict_utf8=True):
    """Merged logs received so far (waiting for ``count`` of them)."""
    if count is not None:
        collector.wait_messages(MERGED_PATH, count, timeout)
    return [Merged(m, strict_utf8) for m in
            collector.find_messages(MERGED_PATH)]


def merged_by_uri(logs):
    out = {}
    for log in logs:
        assert log.uri not in out, f"two logs for {log.uri}"
        out[log.uri] = log
    return out


class ResponseLog:
    """One response log: its header lines in order and its body."""

    def __init__(self, msg, api=RESPONSE_PATH):
        self.msg = msg
        head = msg.head
        lines = head[:-4].split(b"\r\n")
        assert lines[0] == f"POST {api} HTTP/1.1".encode(), lines[0]
        assert lines[1] == f"Host: {COLLECTOR_HOST}".encode(), lines[1]
        self.lines = [ln.decode("latin-1") for ln in lines[2:]]
        self.body = msg.body

    def values(self, name):
        """Values of the lines ``name:`` (the text after the colon, as sent)."""
        prefix = name + ":"
        return [ln[len(prefix):] for ln in self.lines
                if ln.lower().startswith(prefix.lower())]

    def value(self, name):
        vals = self.values(name)
        assert len(vals) == 1, (name, self.lines)
        return vals[0]

    def names(self):
        return [ln.split(":", 1)[0] for ln in self.lines]


def response_logs(server, count=None, timeout=5.0, api=RESPONSE_PATH):
    if count is not None:
        server.wait_messages(api, count, timeout)
    return [ResponseLog(m, api) for m in server.find_messages(api)]


def log_stream(server, path_prefix):
    """Every byte of the connection(s) that carried messages with this path."""
    conns = {m.connection for m in server.find_messages(path_prefix)}
    return b"".join(server.connections[i].raw for i in sorted(conns))


# statistics documents


def counters(collector, after, timeout=12.0, pid=None):
    """Access and auth counters summed over every statistics document, once
    a document built after monotonic time ``after`` has arrived (counters
    are reset at each report, so the sum is everything since start-up)."""
    def ready(c):
        docs = stats_docs(c.find_messages(STATS_PATH))
        if pid is not None:
            docs = [d for d in docs if d.pid == pid]
        if any(d.msg.started_at > after + 0.3 for d in docs):
            return docs
        return None

    docs = collector.wait_for(ready, timeout, message=(
        f"no statistics document after the exchanges within {timeout}s"))
    access, auth = {}, {}
    for d in docs:
        for k, v in d.access.items():
            access[k] = access.get(k, 0) + v
        for k, v in d.auth.items():
            auth[k] = auth.get(k, 0) + v
    return access, auth


def hostname():
    return sensor_hostname()
