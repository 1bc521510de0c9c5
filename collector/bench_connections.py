#!/usr/bin/python3
"""What idle and half-open connections cost the collector: a fresh collector
on free loopback ports, N connections that each send half a request head
and stop, the collector's resident memory before, while they are open, and
after they are closed.

    /usr/bin/python3 collector/bench_connections.py [--build build]
        [--connections 5000] [-- extra collector options]
"""

import argparse
import os
import re
import resource
import socket
import subprocess
import sys
import tempfile
import time

HALF_HEAD = (b"POST /mergedlog?sensor=nginx HTTP/1.1\r\nHost: c\r\n"
             b"Content-Type: application/json\r\nContent-Le")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--connections", type=int, default=5000)
    ap.add_argument("extra", nargs="*", help="collector options")
    args = ap.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = args.connections + 64
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))

    work = tempfile.mkdtemp(prefix="kv-conn-bench-")
    log_path = os.path.join(work, "collector.log")
    with open(log_path, "wb") as log:
        proc = subprocess.Popen(
            [os.path.join(args.build, "bin/kestrelvanes-collector"),
             "--ingest", "127.0.0.1:0", "--console", "127.0.0.1:0", "--db",
             os.path.join(work, "collector.db"), *args.extra],
            stdout=log, stderr=log)
    try:
        port = None
        deadline = time.monotonic() + 10
        while port is None and time.monotonic() < deadline:
            m = re.search(r"sensors on 127\.0\.0\.1:(\d+)",
                          open(log_path).read())
            port = int(m.group(1)) if m else None
            time.sleep(0.05)
        if port is None:
            sys.exit("collector did not start:\n" + open(log_path).read())
        time.sleep(0.2)
        before = rss_kib(proc.pid)

        socks = []
        started = time.monotonic()
        for _ in range(args.connections):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(HALF_HEAD)
            socks.append(s)
        # every connection's bytes read by the collector (it holds a
        # descriptor for each one it kept)
        deadline = time.monotonic() + 20
        held = 0
        while time.monotonic() < deadline:
            held = open_fds(proc.pid)
            time.sleep(0.2)
            if open_fds(proc.pid) == held:
                break
        time.sleep(0.5)
        during = rss_kib(proc.pid)
        opened_in = time.monotonic() - started

        for s in socks:
            s.close()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and open_fds(proc.pid) > 32:
            time.sleep(0.1)
        # the collector gives memory back within a second or two
        time.sleep(3)
        after = rss_kib(proc.pid)

        print(f"{args.connections} half-open connections in "
              f"{opened_in:.1f} s, {held} descriptors held by the collector")
        print(f"collector RSS: {before / 1024:.1f} MiB before, "
              f"{during / 1024:.1f} MiB with them open, "
              f"{after / 1024:.1f} MiB after they closed")
    finally:
        proc.terminate()
        proc.wait(10)


if __name__ == "__main__":
    main()
