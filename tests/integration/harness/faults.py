"""Running fault cases: clients that check every answer, and many cases at
once.

A fault case starts its own nginx and fakes, keeps clients busy while a
peer misbehaves and then recovers, and checks what nginx and the sensor
did.  Most of a case is waiting (for timeouts, for statistics ticks), so
the cases of a matrix run side by side, each in a thread of its own, and
the test of each case reports its own outcome.
"""

import os
import re
import shutil
import tempfile
import threading
import time
import traceback
from dataclasses import dataclass, field
from pathlib import Path

from .exchange import ClientConnection, request_bytes
from .nginx import Nginx, modules_dir, nginx_binary
from .wait import Deadline, wait_until


MERGED_PATH = "/mergedlog"
_URI = re.compile(rb'"uri":"([^"]*)"')


def get(path, host="h"):
    return request_bytes("GET", path, [("Host", host)])


def echo(path):
    """The answer of a location with ``return 200 "ok $request_uri\\n"``."""
    return 200, b"ok " + path.encode() + b"\n"


def logged_uris(collector):
    """The URIs of the merged logs ``collector`` received, in order."""
    out = []
    for m in collector.find_messages(MERGED_PATH):
        found = _URI.search(m.body)
        if found:
            out.append(found.group(1).decode())
    return out


def closes(resp):
    return "close" in (resp.header("Connection") or "").lower()


@dataclass
class Answer:
    path: str
    status: int
    body: bytes
    sent_at: float


class Clients:
    """Requests to one nginx port, each answer checked by ``expect``
    (path -> (status, body)).  ``burst`` sends many at once over a few
    keep-alive connections; ``start_trickle`` keeps one request going
    every ``interval`` seconds in the background until ``stop_trickle``.
    Every exchange is counted, so the tests know how many the sensor saw.
    """

    def __init__(self, port, expect, timeout=30.0):
        self.port = port
        self.expect = expect
        self.timeout = timeout
        self.answers = []
        self.errors = []
        self._lock = threading.Lock()
        self._trickle = None
        self._stop = threading.Event()
        self._seq = 0

    @property
    def count(self):
        with self._lock:
            return len(self.answers) + len(self.errors)

    def _next(self, prefix):
        with self._lock:
            self._seq += 1
            return f"{prefix}{self._seq}"

    def _record(self, path, resp, sent_at):
        want = self.expect(path)
        got = (resp.status, resp.body)
        with self._lock:
            self.answers.append(Answer(path, resp.status, resp.body, sent_at))
            if got != want:
                self.errors.append(f"{path}: got {got[0]} "
                                   f"{got[1][:120]!r}, want {want[0]} "
                                   f"{want[1][:120]!r}")

    def _run(self, paths):
        c = ClientConnection(self.port, self.timeout)
        try:
            for path in paths:
                sent_at = time.monotonic()
                resp = c.exchange(get(path))
                self._record(path, resp, sent_at)
                if closes(resp):
                    c.close()
                    c = ClientConnection(self.port, self.timeout)
        finally:
            c.close()

    def burst(self, paths, connections=4):
        """Send ``paths`` spread over ``connections`` connections; returns
        once every answer is in (or raises on a lost one)."""
        paths = list(paths)
        failures = []

        def run(part):
            try:
                self._run(part)
            except Exception as exc:  # a lost answer is a failure
                failures.append(repr(exc))

        threads = [threading.Thread(target=run, args=(paths[i::connections],),
                                    daemon=True)
                   for i in range(connections)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(self.timeout * 2)
        assert not failures, failures

    def one(self, path):
        self._run([path])

    def start_trickle(self, prefix, interval=0.05):
        def run():
            try:
                while not self._stop.wait(interval):
                    self._run([self._next(prefix)])
            except Exception as exc:
                with self._lock:
                    self.errors.append(f"trickle stopped: {exc!r}")

        self._stop.clear()
        self._trickle = threading.Thread(target=run, daemon=True,
                                         name="trickle")
        self._trickle.start()

    def stop_trickle(self):
        self._stop.set()
        if self._trickle is not None:
            self._trickle.join(self.timeout)

    def sent_after(self, t):
        with self._lock:
            return [a.path for a in self.answers if a.sent_at > t]

    def check(self):
        __tracebackhide__ = True
        assert not self.errors, (f"{len(self.errors)} wrong or lost answers "
                                 f"of {self.count}: {self.errors[:10]}")


# how a fake collector starts and stops misbehaving


def mode(name, **kw):
    """The collector switches to mode ``name`` (harness/collector.py)."""
    return lambda c: c.set_mode(name, **kw)


def at_connect(name, **kw):
    """A mode that acts when a connection is made: the connections open so
    far are closed, and the sensor's next one meets the mode."""
    def begin(c):
        c.set_mode(name, **kw)
        c.drop_connections()
    return begin


def restart_midway(collector):
    """The collector goes away for a second, under load, and comes back."""
    collector.stop()
    threading.Timer(1.0, collector.start).start()


def running_again(collector):
    wait_until(lambda: collector.running, 5)


WELL = mode("normal")


# running many cases at once


@dataclass
class CaseOutcome:
    error: BaseException = None
    text: str = ""
    tracked: list = field(default_factory=list)  # for failure reports
    result: object = None


class CaseContext:
    """What one case gets: a place for its nginx instances and fakes, which
    are stopped at the end whatever happened."""

    def __init__(self, name, outcome):
        self.name = name
        self.outcome = outcome
        self._prefixes = []
        self._servers = []
        self._nginx = []

    def nginx(self, values=None):
        prefix = Path(tempfile.mkdtemp(prefix="kv-nginx-"))
        prefix.chmod(0o755)
        self._prefixes.append(prefix)
        inst = Nginx(prefix, nginx_binary(), modules_dir(), values)
        self._nginx.append(inst)
        self.outcome.tracked.append(inst)
        return inst

    def server(self, server, start=True):
        self._servers.append(server)
        self.outcome.tracked.append(server)
        if start:
            server.start()
        return server

    def close(self):
        """Stops everything; returns what went wrong in doing so."""
        problems = []
        for inst in self._nginx:
            inst.stop(timeout=5)
            inst.keep_final_log()
            if inst.quit_timed_out or inst.forced_stop:
                problems.append(f"nginx in {inst.prefix} did not quit "
                                f"within 5 s")
            problems += inst.sanitizer_problems()
        for s in self._servers:
            s.stop()
        if not os.environ.get("KV_KEEP_PREFIX"):
            for p in self._prefixes:
                shutil.rmtree(p, ignore_errors=True)
        return problems


def run_cases(cases, parallel=10):
    """Run ``cases`` (key -> function taking a CaseContext and returning
    a result), at most ``parallel`` at a time; returns key -> CaseOutcome.
    """
    outcomes = {name: CaseOutcome() for name in cases}
    slots = threading.Semaphore(parallel)

    def run(name, fn):
        with slots:
            ctx = CaseContext(name, outcomes[name])
            try:
                outcomes[name].result = fn(ctx)
            except BaseException as exc:  # reported by the case's test
                outcomes[name].error = exc
                outcomes[name].text = traceback.format_exc()
            finally:
                try:
                    problems = ctx.close()
                except Exception as exc:
                    problems = [f"stopping the case failed: {exc!r}"]
                if problems and outcomes[name].error is None:
                    outcomes[name].error = AssertionError("; ".join(problems))

    threads = [threading.Thread(target=run, args=(n, f), name=f"case-{n}",
                                daemon=True) for n, f in cases.items()]
    for t in threads:
        t.start()
    deadline = Deadline(600)
    for t in threads:
        t.join(deadline.remaining())
    for name, t in zip(cases, threads):
        if t.is_alive():
            outcomes[name].error = AssertionError(f"case {name} still "
                                                  f"running after 600 s")
    return outcomes


def run_selected(session, tls_cert, parallel=10):
    """Every selected case of every module that defines ``fault_case(name,
    tls_cert)`` (a function of a CaseContext), all side by side; returns
    (module name, case) -> CaseOutcome."""
    cases = {}
    for item in session.items:
        make = getattr(item.module, "fault_case", None)
        callspec = getattr(item, "callspec", None)
        if make is None or callspec is None or "case" not in callspec.params:
            continue
        key = (item.module.__name__, callspec.params["case"])
        cases[key] = make(key[1], tls_cert)
    return run_cases(cases, parallel)


def report(request, outcome):
    """Hand a case's outcome to its test: its nginx logs and fakes join the
    failure report, and its error is raised here."""
    __tracebackhide__ = True
    request.node.__dict__.setdefault("_kv_tracked", []).extend(
        outcome.tracked)
    if outcome.error is not None:
        raise outcome.error
    return outcome.result
