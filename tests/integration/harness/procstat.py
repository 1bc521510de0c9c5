"""What a worker process costs, read from /proc: resident memory and open
descriptors.

Tests that provoke faults sample the workers while the fault lasts and
check the peaks against bounds they state, measured from a baseline taken
once the worker has warmed up (its first requests allocate pools and
connections that stay).
"""

import os
import threading
from dataclasses import dataclass, field

from .wait import wait_until

# An instrumented build (make test SANITIZE=...) keeps freed memory in
# quarantine and shadow memory besides: its RSS says nothing of the
# sensor's, so memory bounds are checked on plain builds only.
INSTRUMENTED = bool(os.environ.get("KV_SANITIZE"))


def vm_rss_kib(pid):
    """VmRSS of ``pid`` in KiB, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/status", "rb") as f:
            for line in f:
                if line.startswith(b"VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def fd_count(pid):
    """Open descriptors of ``pid``, or None when it is gone."""
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return None


def fd_targets(pid):
    """What the descriptors point at (sockets as socket:[inode]), for
    failure messages."""
    out = []
    try:
        names = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return out
    for name in sorted(names, key=int):
        try:
            out.append(os.readlink(f"/proc/{pid}/fd/{name}"))
        except OSError:
            pass
    return out


@dataclass
class Usage:
    rss_kib: int
    fds: int


def usage(pid):
    rss, fds = vm_rss_kib(pid), fd_count(pid)
    if rss is None or fds is None:
        return None
    return Usage(rss, fds)


@dataclass
class Peaks:
    """Highest values seen per pid while a ``Sampler`` ran."""

    rss_kib: dict = field(default_factory=dict)
    fds: dict = field(default_factory=dict)
    samples: int = 0

    def add(self, pid, u):
        self.rss_kib[pid] = max(self.rss_kib.get(pid, 0), u.rss_kib)
        self.fds[pid] = max(self.fds.get(pid, 0), u.fds)


class Sampler:
    """Samples the given pids every ``interval`` seconds in a thread of its
    own until stopped; ``peaks`` holds the maxima.  Use as a context
    manager around the part of a test that provokes the fault."""

    def __init__(self, pids, interval=0.05):
        self.pids = list(pids)
        self.interval = interval
        self.peaks = Peaks()
        self._stop = threading.Event()
        self._thread = None

    def sample(self):
        for pid in self.pids:
            u = usage(pid)
            if u is not None:
                self.peaks.add(pid, u)
        self.peaks.samples += 1

    def _run(self):
        while not self._stop.is_set():
            self.sample()
            self._stop.wait(self.interval)

    def __enter__(self):
        self.sample()
        self._thread = threading.Thread(target=self._run, daemon=True,
                                        name="procstat-sampler")
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)
        self.sample()


@dataclass
class Bounds:
    """Growth a worker may show over its baseline: ``rss_mib`` of resident
    memory at any moment, ``fds`` descriptors at any moment, and
    ``fds_after`` descriptors once the fault is over and the sensor has
    recovered (connections to a peer that failed must not pile up)."""

    rss_mib: float
    fds: int
    fds_after: int = 1


def baseline(pids):
    out = {}
    for pid in pids:
        u = usage(pid)
        assert u is not None, f"worker {pid} is gone"
        out[pid] = u
    return out


def check_peaks(base, peaks, bounds):
    """Assert the sampled peaks stayed within ``bounds`` of ``base``."""
    __tracebackhide__ = True
    for pid, b in base.items():
        rss = peaks.rss_kib.get(pid, b.rss_kib)
        fds = peaks.fds.get(pid, b.fds)
        assert INSTRUMENTED or rss - b.rss_kib <= bounds.rss_mib * 1024, (
            f"worker {pid}: RSS grew from {b.rss_kib} KiB to {rss} KiB, "
            f"more than {bounds.rss_mib} MiB")
        assert fds - b.fds <= bounds.fds, (
            f"worker {pid}: {fds} descriptors at the peak, {b.fds} at the "
            f"start; bound +{bounds.fds}")


def wait_fds_settle(base, bounds, timeout=8.0):
    """Wait until each worker's descriptors are back within
    ``bounds.fds_after`` of the baseline (idle keep-alive connections and
    reconnects settle within a few seconds)."""
    __tracebackhide__ = True

    def settled():
        return all((fd_count(pid) or 0) - b.fds <= bounds.fds_after
                   for pid, b in base.items())

    wait_until(settled, timeout, interval=0.1, message=lambda: "; ".join(
        f"worker {pid}: {fd_count(pid)} descriptors, {b.fds} at the start "
        f"(bound +{bounds.fds_after}): {fd_targets(pid)}"
        for pid, b in base.items()))
