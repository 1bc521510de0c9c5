"""The collector's databases for a test, on either backend, and nginx's
stream module as the balancer in front of several collectors.

    StoreDb(backend, workdir, cluster)  .arg (what --db gets), .rows(sql)
    start_balancer(nginx, ports)        a stream-only nginx spreading TCP
                                        connections over 127.0.0.1:ports;
                                        returns its port

PostgreSQL comes from tools/pg_cluster.py: one server per test session
(per xdist worker), a database of its own per test.
"""

import itertools
import os
import sqlite3
import sys
from pathlib import Path

from .net import free_port

REPO = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "tools"))
import pg_cluster  # noqa: E402

BACKENDS = ("sqlite", "postgresql")
_names = itertools.count()


def cluster_dir():
    """build/pg/<session>: one server per pytest process.  KV_PG_DIR
    names another folder, for suites that run side by side on one build
    (the release matrix), which would otherwise start servers on one data
    folder."""
    if os.environ.get("KV_PG_DIR"):
        return Path(os.environ["KV_PG_DIR"])
    build = Path(os.environ.get("KV_BIN") or REPO / "build/bin").parent
    worker = os.environ.get("PYTEST_XDIST_WORKER", "main")
    return build / "pg" / f"integration-{worker}"


class StoreDb:
    """One database for one test."""

    def __init__(self, backend, workdir, cluster=None):
        self.backend = backend
        self.cluster = cluster
        if backend == "sqlite":
            self.path = Path(workdir) / "collector.db"
            self.arg = str(self.path)
        else:
            self.name = f"kvit_{os.getpid()}_{next(_names)}"
            self.arg = cluster.createdb(self.name)

    @property
    def postgres(self):
        return self.backend == "postgresql"

    def rows(self, sql):
        """The rows of one statement, each a list of strings (None for
        NULL)."""
        if self.postgres:
            return [[None if v == "" else v for v in row]
                    for row in self.cluster.psql(sql, self.name)]
        db = sqlite3.connect(self.path, timeout=10)
        try:
            cur = db.execute(sql)
            out = [[None if v is None else str(v) for v in row]
                   for row in cur.fetchall()]
            db.commit()
            return out
        finally:
            db.close()

    def script(self, sql):
        """Statements without results."""
        if self.postgres:
            self.cluster.psql(sql, self.name)
            return
        db = sqlite3.connect(self.path, timeout=10)
        try:
            db.executescript(sql)
        finally:
            db.close()

    def count(self, sql):
        return int(self.rows(sql)[0][0])

    def drop(self):
        if self.postgres:
            self.cluster.dropdb(self.name)


def start_balancer(nginx, ports, **kw):
    """nginx with only its stream module, in front of 127.0.0.1:ports.

    A collector that is down is passed over (a refused connection tries
    the next one) and left alone for a few seconds; connections live as
    long as their sensor keeps them.
    """
    port = free_port()
    servers = "\n".join(f"        server 127.0.0.1:{p} max_fails=1 "
                        f"fail_timeout=3s;" for p in ports)
    stream = f"""stream {{
    upstream collectors {{
{servers}
    }}
    server {{
        listen 127.0.0.1:{port};
        proxy_pass collectors;
        proxy_connect_timeout 1s;
        proxy_timeout 10m;
    }}
}}"""
    nginx.start("", modules=(), omit_pools=("access", "monitoring"),
                main_lines=stream.splitlines(), wait_ports=[port], **kw)
    return port
