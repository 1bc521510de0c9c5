"""Waiting for a condition with a deadline instead of sleeping blindly."""

import time


class WaitTimeout(AssertionError):
    """A condition did not come true in time (an assertion failure for pytest)."""


class Deadline:
    """A point in monotonic time that loops check against."""

    def __init__(self, timeout):
        self.timeout = timeout
        self.end = time.monotonic() + timeout

    def remaining(self):
        return max(0.0, self.end - time.monotonic())

    def expired(self):
        return time.monotonic() >= self.end


def wait_until(predicate, timeout=5.0, interval=0.02, message=None):
    """Poll ``predicate`` until it returns something truthy and return that.

    Raises WaitTimeout once ``timeout`` seconds have passed; the predicate is
    evaluated one last time at the deadline so a slow poll cannot miss a
    condition that became true just before it.
    """
    __tracebackhide__ = True
    deadline = Deadline(timeout)
    while True:
        result = predicate()
        if result:
            return result
        if deadline.expired():
            break
        time.sleep(min(interval, deadline.remaining()) or 0.001)
    result = predicate()
    if result:
        return result
    what = message() if callable(message) else message
    raise WaitTimeout(what or f"condition not met within {timeout:.1f}s")
