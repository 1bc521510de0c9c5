"""`make demo` and `make run`: the whole stack (collector, sample API, nginx
with examples/nginx.conf) as a user starts it.
"""

import json
import os
import re
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from harness import free_ports, wait_until
from harness.realcollector import REPO

OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def clean_env():
    """The environment without the outer make's, so an inner make starts
    afresh."""
    return {k: v for k, v in os.environ.items()
            if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "MAKEOVERRIDES")}


def descendants(pid):
    """Every process below pid, by parent links in /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = open(f"/proc/{entry}/stat").read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            out.append(child)
            todo.append(child)
    return out


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def test_make_demo_prints_what_it_captured(make_prefix):
    work = make_prefix()
    res = subprocess.run(
        ["make", "-s", "demo", f"RUN_FLAGS=--work {work}"], cwd=REPO,
        env=clean_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        text=True, timeout=600)
    out = res.stdout
    assert res.returncode == 0, out
    table = out[out.index("What the collector stored"):]
    rows = [ln.split() for ln in table.splitlines()
            if re.match(r"^\d+\s", ln)]
    # (format, method, uri, status) of every stored exchange
    seen = {(r[1], r[2], r[3], r[4]) for r in rows}
    assert ("merged", "GET", "/api/items", "200") in seen, table
    assert ("merged", "POST", "/api/items", "201") in seen, table
    assert ("merged", "GET", "/api/private/report", "401") in seen, table
    assert ("response", "GET", "/v1/items/2", "200") in seen, table
    assert not any(r[3] == "/health" for r in rows), table
    assert "GET /health is not there" in out
    large = [ln for ln in table.splitlines() if "/api/large" in ln]
    assert large and "cut" in large[0], table
    assert "left out (too large)" in table
    # the POST's JSON body is shown
    assert '{"name": "bolt"' in table or '{"name":"bolt"' in table, table
    # the inventory: the sample API's routes, every one inferred, none wrong
    assert "The endpoint inventory of" in out
    assert re.search(r"under /api/\): (\d+) of \1 found, 0 wrong", out), out
    assert "/api/users/{id}/orders/{orderId}" in out
    # nothing of the stack is left running
    assert not mentioning(str(work))


def mentioning(text):
    """Live processes whose command line contains text."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if text in cmd and alive(int(entry)):
            found.append((entry, cmd))
    return found


def test_make_run_serves_until_ctrl_c(make_prefix):
    work = make_prefix()
    nginx, ingest, console, api = free_ports(4)
    proc = subprocess.Popen(
        [sys.executable, str(REPO / "collector/stack.py"), "run", "--work",
         str(work), "--nginx-port", str(nginx), "--ingest-port", str(ingest),
         "--console-port", str(console), "--api-port", str(api)],
        cwd=REPO, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        text=True, start_new_session=True)
    lines = []
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            lines.append(line)
            if "Ctrl-C stops everything" in line:
                break
        text = "".join(lines)
        assert "Ctrl-C stops everything" in text, text
        assert f"console     http://127.0.0.1:{console}/" in text
        assert f"curl http://127.0.0.1:{nginx}/api/items" in text
        # the console asks for the token the banner names
        token = (work / "console-token").read_text().strip()
        assert token in text
        assert oct((work / "console-token").stat().st_mode & 0o777) == "0o600"
        with pytest.raises(urllib.error.HTTPError) as refused:
            OPENER.open(f"http://127.0.0.1:{console}/api/exchanges",
                        timeout=10)
        assert refused.value.code == 401
        bearer = {"Authorization": f"Bearer {token}"}

        with OPENER.open(f"http://127.0.0.1:{nginx}/api/items",
                         timeout=10) as res:
            assert res.status == 200 and json.loads(res.read())

        def stored():
            with OPENER.open(urllib.request.Request(
                    f"http://127.0.0.1:{console}/api/exchanges"
                    f"?path=/api/items", headers=bearer), timeout=10) as res:
                return json.loads(res.read()) or None
        assert wait_until(stored, 10)[0]["status"] == 200

        # Nothing a client sends skips authorization under the shipped
        # settings.  A worker sends its next heartbeat only once it has
        # applied the last reply: by the second, it has them.
        def heartbeats():
            with OPENER.open(urllib.request.Request(
                    f"http://127.0.0.1:{console}/api/sensors",
                    headers=bearer), timeout=10) as res:
                return sum(s["heartbeats"] for s in json.loads(res.read()))
        wait_until(lambda: heartbeats() >= 2, 20)
        for headers in ({}, {"X-Kv-Skip": "yes"}):
            req = urllib.request.Request(
                f"http://127.0.0.1:{nginx}/api/private/report",
                headers=headers)
            with pytest.raises(urllib.error.HTTPError) as refused:
                OPENER.open(req, timeout=10)
            assert refused.value.code == 401, headers

        stack = descendants(proc.pid)
        assert len(stack) >= 4, stack  # collector, API, nginx and a worker
    finally:
        proc.send_signal(signal.SIGINT)  # what Ctrl-C sends
        try:
            rest, _ = proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            raise
    assert proc.returncode == 0, rest
    assert "Stopped" in rest
    left = [p for p in stack if alive(p)]
    assert not left, f"still running after Ctrl-C: {left}"
