#!/usr/bin/python3
"""A PostgreSQL server of our own under build/, for tests, the fleet demo
and the benchmarks: Debian's postgresql binaries, initdb into a folder,
listening on a free loopback port, trusting local connections, run as an
unprivileged user (PostgreSQL refuses root: run as root, as CI does, a
system user kestrelvanes-pg is made for it once).

    pg_cluster.py start DIR [--port N] [--fast]   prints the server's URI
    pg_cluster.py stop DIR
    pg_cluster.py createdb DIR NAME                prints the database's URI

--fast turns durability off (fsync, synchronous commit): for tests, never
for figures.  From Python: Cluster(DIR).start(fast=True), .createdb(name),
.psql(sql, db), .stop().
"""

import argparse
import glob
import os
import pwd
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

USER = "kestrelvanes-pg"
SUPERUSER = "kv"


def bin_dir():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]))
    if not found:
        raise RuntimeError("Debian's postgresql is not installed "
                           "(tools/deps.sh installs it)")
    return Path(found[-1]).parent


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def server_user():
    """(uid, gid) to run the server as: ourselves, or as root a system
    user of its own."""
    if os.geteuid() != 0:
        return os.getuid(), os.getgid()
    try:
        pw = pwd.getpwnam(USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--user-group",
                        "--no-create-home", "--home-dir", "/nonexistent",
                        "--shell", "/usr/sbin/nologin", USER], check=True,
                       capture_output=True)
        pw = pwd.getpwnam(USER)
    return pw.pw_uid, pw.pw_gid


class Cluster:
    def __init__(self, where):
        self.dir = Path(where).resolve()
        self.data = self.dir / "data"
        self.log = self.dir / "server.log"
        self.port = None

    # --- running as the server's user -------------------------------------

    def _run(self, argv, check=True, **kw):
        uid, gid = server_user()

        def drop():
            if os.geteuid() == 0:
                os.setgroups([])
                os.setgid(gid)
                os.setuid(uid)

        env = dict(os.environ, LC_ALL="C.UTF-8", PGTZ="UTC")
        env.pop("PGDATA", None)
        return subprocess.run(argv, preexec_fn=drop, env=env, check=check,
                              capture_output=True, text=True, **kw)

    def start(self, port=None, fast=False, settings=None):
        """initdb when the folder is new, then start the server; returns
        its URI."""
        uid, gid = server_user()
        self.dir.mkdir(parents=True, exist_ok=True)
        os.chown(self.dir, uid, gid)
        self.dir.chmod(0o700)
        binaries = bin_dir()
        if not (self.data / "PG_VERSION").exists():
            shutil.rmtree(self.data, ignore_errors=True)
            self._run([str(binaries / "initdb"), "-D", str(self.data),
                       "-U", SUPERUSER, "--auth=trust", "-E", "UTF8",
                       "--locale=C.UTF-8", "--no-instructions"])
        options = {
            "listen_addresses": "'127.0.0.1'",
            "unix_socket_directories": "''",
            "max_connections": "200",
            "log_min_messages": "warning",
            "log_timezone": "'UTC'",
            "timezone": "'UTC'",
        }
        if fast:
            options.update(fsync="off", synchronous_commit="off",
                           full_page_writes="off")
        options.update(settings or {})
        for attempt in range(5):
            self.port = port or free_port()
            argv = [str(binaries / "pg_ctl"), "-D", str(self.data), "-l",
                    str(self.log), "-w", "-t", "60", "-o",
                    " ".join([f"-p {self.port}"] +
                             [f"-c {k}={v}" for k, v in options.items()]),
                    "start"]
            res = self._run(argv, check=False)
            if res.returncode == 0:
                (self.dir / "port").write_text(str(self.port))
                return self.uri()
            if port is not None or attempt == 4:
                raise RuntimeError(f"PostgreSQL did not start:\n{res.stdout}"
                                   f"{res.stderr}\n{self.tail()}")

    def tail(self, lines=40):
        try:
            return "\n".join(self.log.read_text(errors="replace")
                             .splitlines()[-lines:])
        except OSError:
            return ""

    def stop(self):
        if (self.data / "postmaster.pid").exists():
            self._run([str(bin_dir() / "pg_ctl"), "-D", str(self.data), "-m",
                       "fast", "-w", "stop"], check=False)

    # --- clients -----------------------------------------------------------

    def known_port(self):
        if self.port is None:
            self.port = int((self.dir / "port").read_text())
        return self.port

    def uri(self, db="postgres"):
        return f"postgresql://{SUPERUSER}@127.0.0.1:{self.known_port()}/{db}"

    def psql(self, sql, db="postgres", check=True):
        """Runs sql; the rows as lists of strings (tab-separated output)."""
        res = subprocess.run(
            [str(bin_dir() / "psql"), "-X", "-q", "-At", "-F", "\t",
             "-v", "ON_ERROR_STOP=1", "-d", self.uri(db), "-c", sql],
            capture_output=True, text=True, env=dict(os.environ,
                                                     PGCONNECT_TIMEOUT="10"))
        if check and res.returncode != 0:
            raise RuntimeError(f"psql: {sql[:200]}: {res.stderr.strip()}")
        return [line.split("\t") for line in res.stdout.splitlines()]

    def createdb(self, name):
        self.psql(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')
        self.psql(f'CREATE DATABASE "{name}"')
        return self.uri(name)

    def dropdb(self, name):
        self.psql(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)',
                  check=False)

    def wait_ready(self, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.psql("SELECT 1")
                return
            except RuntimeError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    p = sub.add_parser("start")
    p.add_argument("dir")
    p.add_argument("--port", type=int)
    p.add_argument("--fast", action="store_true")
    p = sub.add_parser("stop")
    p.add_argument("dir")
    p = sub.add_parser("createdb")
    p.add_argument("dir")
    p.add_argument("name")
    args = ap.parse_args()
    cluster = Cluster(args.dir)
    try:
        if args.command == "start":
            print(cluster.start(port=args.port, fast=args.fast))
        elif args.command == "stop":
            cluster.stop()
        else:
            print(cluster.createdb(args.name))
    except (RuntimeError, subprocess.CalledProcessError) as e:
        detail = getattr(e, "stderr", "") or ""
        print(f"pg_cluster: {e}\n{detail}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
