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
import ssl
import subprocess
import urllib.error
import urllib.request
from pathlib import Path

from .wait import wait_until

REPO = Path(__file__).resolve().parents[3]
LISTENING = re.compile(
    r"sensors on 127\.0\.0\.1:(\d+)(?: and 127\.0\.0\.1:(\d+) \(TLS\))?, "
    r"console on (https?)://[^\s/]*?:(\d+)/")
_OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))
# a console over TLS in a test has a certificate the test made
_UNVERIFIED = ssl.create_default_context()
_UNVERIFIED.check_hostname = False
_UNVERIFIED.verify_mode = ssl.CERT_NONE
_TLS_OPENER = urllib.request.build_opener(
    urllib.request.ProxyHandler({}),
    urllib.request.HTTPSHandler(context=_UNVERIFIED))


def bin_dir():
    return Path(os.environ.get("KV_BIN") or REPO / "build/bin")


def collector_binary():
    return str(bin_dir() / "kestrelvanes-collector")


class RealCollector:
    def __init__(self, workdir, control=None, tls=None, args=(), db=None,
                 control_file=True, token=None, console_tls=None):
        """``control``: settings written to the control file first;
        ``tls``: (certfile, keyfile) to listen for TLS too; ``db``: what
        --db gets (a SQLite path or a postgresql:// URI), by default a
        file of its own; ``control_file``: False for none; ``token``: the
        console token, which the API calls below then send;
        ``console_tls``: (certfile, keyfile) for a console over HTTPS."""
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.db = Path(db) if db and "://" not in str(db) else (
            db or self.dir / "collector.db")
        self.use_control_file = control_file
        self.control_file = self.dir / "control.json"
        if control is not None:
            self.control_file.write_text(json.dumps(control))
        self.log_path = self.dir / "collector.log"
        self.tls = tls
        self.token = token
        self.console_tls = console_tls
        self.scheme = "http"
        self.args = list(args)
        self.proc = None
        self.ingest_port = self.tls_port = self.console_port = None

    def command(self):
        cmd = [collector_binary(), "--ingest", "127.0.0.1:0", "--console",
               "127.0.0.1:0", "--db", str(self.db)]
        if self.use_control_file:
            cmd += ["--control", str(self.control_file)]
        if self.tls:
            cmd += ["--ingest-tls", "127.0.0.1:0", "--tls-cert",
                    str(self.tls[0]), "--tls-key", str(self.tls[1])]
        if self.token:
            token_file = self.dir / "console-token"
            token_file.write_text(self.token + "\n")
            token_file.chmod(0o600)
            cmd += ["--console-token-file", str(token_file)]
        if self.console_tls:
            cmd += ["--console-tls-cert", str(self.console_tls[0]),
                    "--console-tls-key", str(self.console_tls[1])]
        return cmd + self.args

    def start(self, timeout=10.0):
        # a restart appends to the log: only this run's lines count
        seen = len(self.log())
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen(self.command(),
                                         stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log,
                                         start_new_session=True)

        def listening():
            if self.proc.poll() is not None:
                raise AssertionError(f"collector exited ({self.proc.returncode}):"
                                     f"\n{self.log()}")
            m = LISTENING.search(self.log()[seen:])
            return m

        m = wait_until(listening, timeout, message=lambda: (
            f"collector did not start:\n{self.log()}"))
        self.ingest_port = int(m.group(1))
        self.tls_port = int(m.group(2)) if m.group(2) else None
        self.scheme = m.group(3)
        self.console_port = int(m.group(4))
        return self

    def log(self):
        try:
            return self.log_path.read_text(errors="replace")
        except OSError:
            return ""

    def kill(self):
        """SIGKILL: gone without writing what it holds."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

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
        return f"{self.scheme}://127.0.0.1:{self.console_port}{path}"

    def request(self, method, path, body=None, headers=None):
        data = None if body is None else (
            body if isinstance(body, bytes) else json.dumps(body).encode())
        sent = {"Content-Type": "application/json"}
        if self.token:
            sent["Authorization"] = f"Bearer {self.token}"
        sent.update(headers or {})
        req = urllib.request.Request(self.url(path), data=data, method=method,
                                     headers=sent)
        opener = _TLS_OPENER if self.scheme == "https" else _OPENER
        try:
            with opener.open(req, timeout=10) as res:
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

    def text(self, path):
        """A page that is not JSON (/metrics): (status, text)."""
        headers = {"Authorization": f"Bearer {self.token}"} if self.token \
            else {}
        req = urllib.request.Request(self.url(path), headers=headers)
        opener = _TLS_OPENER if self.scheme == "https" else _OPENER
        try:
            with opener.open(req, timeout=10) as res:
                return res.status, res.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode(errors="replace")

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
