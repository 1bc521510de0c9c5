"""The reference collector binary (build/bin/kestrelvanes-collector) run
for a test: any free ports, its own database and control file.

It prints the addresses it got on one line at start-up; the ports are read
from there, so nothing can take them between choosing and binding.
"""

import json
import os
import re
import signal
import socket
import subprocess
import urllib.error
import urllib.request
from pathlib import Path

from .wait import wait_until

REPO = Path(__file__).resolve().parents[3]
LISTENING = re.compile(
    r"sensors on 127\.0\.0\.1:(\d+)(?: and 127\.0\.0\.1:(\d+) \(TLS\))?, "
    r"console on http://127\.0\.0\.1:(\d+)/")
_OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def bin_dir():
    return Path(os.environ.get("KV_BIN") or REPO / "build/bin")


def collector_binary():
    return str(bin_dir() / "kestrelvanes-collector")


class RealCollector:
    def __init__(self, workdir, control=None, tls=None, args=()):
        """``control``: settings written to the control file first;
        ``tls``: (certfile, keyfile) to listen for TLS too."""
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.db = self.dir / "collector.db"
        self.control_file = self.dir / "control.json"
        if control is not None:
            self.control_file.write_text(json.dumps(control))
        self.log_path = self.dir / "collector.log"
        self.tls = tls
        self.args = list(args)
        self.proc = None
        self.ingest_port = self.tls_port = self.console_port = None

    def command(self):
        cmd = [collector_binary(), "--ingest", "127.0.0.1:0", "--console",
               "127.0.0.1:0", "--db", str(self.db), "--control",
               str(self.control_file)]
        if self.tls:
            cmd += ["--ingest-tls", "127.0.0.1:0", "--tls-cert",
                    str(self.tls[0]), "--tls-key", str(self.tls[1])]
        return cmd + self.args

    def start(self, timeout=10.0):
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen(self.command(),
                                         stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log,
                                         start_new_session=True)

        def listening():
            if self.proc.poll() is not None:
                raise AssertionError(f"collector exited ({self.proc.returncode}):"
                                     f"\n{self.log()}")
            m = LISTENING.search(self.log())
            return m

        m = wait_until(listening, timeout, message=lambda: (
            f"collector did not start:\n{self.log()}"))
        self.ingest_port = int(m.group(1))
        self.tls_port = int(m.group(2)) if m.group(2) else None
        self.console_port = int(m.group(3))
        return self

    def log(self):
        try:
            return self.log_path.read_text(errors="replace")
        except OSError:
            return ""

    def stop(self, timeout=10.0):
        """SIGTERM; returns the exit status."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    # the JSON API

    def url(self, path):
        return f"http://127.0.0.1:{self.console_port}{path}"

    def request(self, method, path, body=None):
        data = None if body is None else (
            body if isinstance(body, bytes) else json.dumps(body).encode())
        req = urllib.request.Request(self.url(path), data=data, method=method,
                                     headers={"Content-Type":
                                              "application/json"})
        try:
            with _OPENER.open(req, timeout=10) as res:
                return res.status, json.loads(res.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b"null")

    def get(self, path):
        status, doc = self.request("GET", path)
        assert status == 200, (path, status, doc)
        return doc

    def exchanges(self, **filters):
        """The list: metadata and body sizes, newest first."""
        query = "&".join(f"{k}={v}" for k, v in {"limit": 1000,
                                                  **filters}.items())
        return self.get(f"/api/exchanges?{query}")

    def exchange(self, id, **params):
        """One exchange with its headers and (the first bytes of) its
        bodies."""
        query = "&".join(f"{k}={v}" for k, v in params.items())
        return self.get(f"/api/exchanges/{id}" + (f"?{query}" if query
                                                  else ""))

    def wait_exchanges(self, count, timeout=10.0, **filters):
        return wait_until(
            lambda: (lambda xs: xs if len(xs) >= count else None)(
                self.exchanges(**filters)),
            timeout, message=lambda: (
                f"fewer than {count} exchanges ({filters}) within {timeout}s:"
                f" {[(x['method'], x['uri']) for x in self.exchanges()]}"))

    def counters(self):
        return self.get("/api/stats?limit=1")["collector"]

    def send_raw(self, data, port=None, read=True, timeout=5.0):
        """Bytes to the ingest port; what came back until the collector
        closed or went quiet."""
        with socket.create_connection(("127.0.0.1", port or self.ingest_port),
                                      timeout=timeout) as s:
            s.sendall(data)
            if not read:
                return b""
            s.shutdown(socket.SHUT_WR)
            out = b""
            while True:
                try:
                    chunk = s.recv(65536)
                except socket.timeout:
                    break
                if not chunk:
                    break
                out += chunk
            return out
