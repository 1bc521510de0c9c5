"""nginx runs with both modules loaded and stays out of the way of traffic
that no authorization or capture feature acts on."""

import os
import signal
import socket
import threading

import pytest

from harness import Deadline, http_request, pid_alive, wait_until
from harness.monitoring import STATS_PATH, stats_docs
from harness.sensorlogs import check_request_id, merged_logs

SENSOR = """
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@COLLECTOR@;
"""

PROXY_BOTH = """
upstream backend {
    server 127.0.0.1:@UPSTREAM@;
}
server {
    listen 127.0.0.1:@PORT@;
    location /plain/ {
        proxy_pass http://backend;
    }
    location /sensor/ {
        %s
        proxy_pass http://backend;
    }
}
""" % SENSOR


def _start_proxy(nginx, collector, auth_server, body=PROXY_BOTH, **options):
    return nginx.start(body, values={"COLLECTOR": collector.port,
                                     "UPSTREAM": auth_server.port}, **options)


BIG = bytes(range(256)) * 800  # 200 KiB: several output buffers, temp file


@pytest.mark.parametrize("method,req_body,status,headers,body", [
    ("GET", None, 200, [("X-Up", "one"), ("X-Up", "two")], b"hello"),
    ("GET", None, 404, [("Content-Type", "text/plain")], b"not here"),
    ("GET", None, 503, [("Retry-After", "3")], b"busy"),
    ("GET", None, 200, [("Content-Type", "application/octet-stream")], BIG),
    ("GET", None, 204, [("X-Empty", "yes")], b""),
    ("POST", b'{"k": "v"}', 201, [("Location", "/r/1")], b"created"),
    ("PUT", BIG, 200, [], b"stored"),
    ("HEAD", None, 200, [("X-Head", "1")], b""),
], ids=["dup-headers", "404", "503", "large-body", "204", "post", "put-large",
        "head"])
def test_proxied_answer_unchanged(nginx, collector, auth_server, method,
                                  req_body, status, headers, body):
    auth_server.set_response(status, headers, body)
    _start_proxy(nginx, collector, auth_server)

    answers = {}
    for loc in ("plain", "sensor"):
        auth_server.clear()
        answers[loc] = http_request(nginx.port, f"/{loc}/item?q=1",
                                    method=method, body=req_body)
        seen = auth_server.wait_requests(1)
        assert len(seen) == 1
        assert (seen[0].method, seen[0].target) == (method,
                                                    f"/{loc}/item?q=1")
        assert seen[0].body == (req_body or b"")

    plain, sensor = answers["plain"], answers["sensor"]
    assert sensor.status == plain.status == status
    assert sensor.body == plain.body
    assert len(sensor.body) == (0 if method == "HEAD" else len(body))
    # everything but the per-response Date must match, order and repeats too
    strip = {"date"}
    assert ([h for h in sensor.headers if h[0].lower() not in strip]
            == [h for h in plain.headers if h[0].lower() not in strip])


@pytest.mark.parametrize("location", [
    SENSOR,
    "",
    SENSOR + "ext_auth_request off;",
    "kestrelvanes_http_auth_enable on;" + SENSOR,
], ids=["sensor-on", "modules-idle", "auth-off", "auth-enabled-no-uri"])
def test_variables_empty_before_any_authorization(nginx, collector,
                                                  auth_server, location):
    # The upstream does send X-User, so an $auth_user that leaked the
    # upstream's header instead of the authorization answer would show it.
    auth_server.set_response(200, [("X-User", "alice")], b"ok")
    body = """
upstream backend { server 127.0.0.1:@UPSTREAM@; }
server {
    listen 127.0.0.1:@PORT@;
    ext_auth_request_set $auth_user $upstream_http_x_user;
    location / {
        %s
        add_header X-Opc "[$opc_endpoint]" always;
        add_header X-Auth-User "[$auth_user]" always;
        add_header X-Upstream-User "[$upstream_http_x_user]" always;
        proxy_pass http://backend;
    }
    location /local {
        %s
        add_header X-Opc "[$opc_endpoint]" always;
        add_header X-Auth-User "[$auth_user]" always;
        return 200 "local";
    }
}
""" % (location, location)
    _start_proxy(nginx, collector, auth_server, body)

    proxied = http_request(nginx.port, "/x")
    assert proxied.status == 200 and proxied.body == b"ok"
    assert proxied.header("X-Upstream-User") == "[alice]"
    assert proxied.header("X-Opc") == "[]"
    assert proxied.header("X-Auth-User") == "[]"

    local = http_request(nginx.port, "/local")
    assert local.status == 200 and local.body == b"local"
    assert local.header("X-Opc") == "[]"
    assert local.header("X-Auth-User") == "[]"


def test_two_workers_serve(nginx, collector, auth_server):
    auth_server.set_response(200, [], b"ok")
    _start_proxy(nginx, collector, auth_server, workers=2,
                 pools={"access": {"threads": 2, "max_queue": 64},
                        "monitoring": {"threads": 2}})
    workers = nginx.worker_pids()
    assert len(set(workers)) == 2 and nginx.master_pid not in workers

    for i in range(20):
        r = http_request(nginx.port, f"/sensor/{i}")
        assert (r.status, r.body) == (200, b"ok")
    assert len(auth_server.wait_requests(20)) == 20
    assert sorted(nginx.worker_pids()) == sorted(workers)


# An idle worker leaves at once on quit; anything of ours that holds it
# (a timer nginx is told to wait for, a thread pool job) shows up here.
SHUTDOWN_DEADLINE = 2.0


@pytest.mark.parametrize("how", ["quit", "reload"])
def test_graceful_shutdown_is_prompt(nginx, collector, how):
    body = """
server {
    listen 127.0.0.1:@PORT@;
    location / {
        %s
        return 200 "up";
    }
}
""" % SENSOR
    nginx.start(body, values={"COLLECTOR": collector.port}, workers=2)
    master, workers = nginx.master_pid, nginx.worker_pids()
    assert http_request(nginx.port).body == b"up"

    if how == "quit":
        deadline = Deadline(SHUTDOWN_DEADLINE)
        assert nginx.stop(timeout=SHUTDOWN_DEADLINE) == 0
        assert not nginx.quit_timed_out, (
            f"nginx -s quit took over {SHUTDOWN_DEADLINE}s")
        assert not deadline.expired()
        assert not [p for p in [master] + workers if pid_alive(p)]
    else:
        nginx.reload(wait_old=False)
        wait_until(lambda: not any(pid_alive(p) for p in workers),
                   SHUTDOWN_DEADLINE, message=lambda: (
                       f"old workers still running {SHUTDOWN_DEADLINE}s "
                       f"after reload: {nginx.process_table()}"))
        assert http_request(nginx.port).body == b"up"


def test_reload_keeps_serving(nginx, collector, auth_server):
    body = """
server {
    listen 127.0.0.1:@PORT@;
    location / {
        %s
        return 200 "@WORD@";
    }
}
""" % SENSOR
    nginx.start(body, values={"COLLECTOR": collector.port, "WORD": "one"})
    master = nginx.master_pid
    assert http_request(nginx.port).body == b"one"

    # a client keeps asking through both reloads; none of its requests may
    # fail while workers are replaced
    stop = threading.Event()
    results = []

    def client():
        deadline = Deadline(15.0)
        while not stop.is_set() and not deadline.expired() \
                and len(results) < 50000:
            try:
                r = http_request(nginx.port, timeout=3.0)
                results.append((r.status, r.body))
            except OSError as exc:
                results.append(("error", repr(exc)))

    t = threading.Thread(target=client, daemon=True)
    t.start()
    try:
        wait_until(lambda: len(results) >= 5, 5.0)
        for word in ("two", "three"):
            old = set(nginx.worker_pids())
            # old workers may linger on open connections; serving is
            # what matters here
            new = nginx.reload(body, values={"COLLECTOR": collector.port,
                                             "WORD": word}, wait_old=False,
                               timeout=5.0)
            assert not old & set(new)
            assert nginx.master_pid == master
            n = len(results)
            wait_until(lambda: len(results) >= n + 5, 5.0)
            assert http_request(nginx.port).body == word.encode()
    finally:
        stop.set()
        t.join(5.0)

    failures = [r for r in results if r[0] != 200]
    assert not failures, failures[:5]
    assert {b for _, b in results} <= {b"one", b"two", b"three"}
    assert "[emerg]" not in nginx.error_log()
    assert "[alert]" not in nginx.error_log()


def test_worker_forked_after_a_failed_reload_still_logs(nginx, collector,
                                                        auth_server):
    # A reload that fails after the modules were configured (here: the
    # new listen cannot bind) leaves the running configuration in place;
    # a worker the master forks later must ship its logs, heartbeats and
    # statistics through that configuration's thread pools, not through
    # those of the configuration that failed.
    auth_server.set_response(200, [], b"ok")
    stats = ("ext_stats_server http://127.0.0.1:@COLLECTOR@;\n"
             "ext_stats_period 5s;\n")
    values = {"COLLECTOR": collector.port, "UPSTREAM": auth_server.port}
    _start_proxy(nginx, collector, auth_server, stats + PROXY_BOTH)
    [before] = nginx.worker_pids()
    assert http_request(nginx.port, "/sensor/before").status == 200
    collector.wait_messages("/mergedlog", 1)

    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen(1)
    busy = taken.getsockname()[1]
    try:
        nginx.allowed_log_problems += ["bind() to 127.0.0.1:%d" % busy,
                                       "still could not bind()"]
        nginx.write_config(
            stats + PROXY_BOTH + "server { listen 127.0.0.1:%d; }" % busy,
            values)
        mark = nginx.log_mark()
        rc, out = nginx.signal_cmd("reload")
        assert rc == 0, out
        nginx.wait_log("still could not bind()", timeout=15, since=mark)
    finally:
        taken.close()
    assert nginx.worker_pids() == [before]

    os.kill(before, signal.SIGTERM)
    after = wait_until(lambda: [p for p in nginx.worker_pids()
                                if p != before] or None, 10)[0]
    collector.clear()
    assert http_request(nginx.port, "/sensor/after").status == 200
    [log] = merged_logs(collector, count=1)
    assert log.uri == "/sensor/after"
    check_request_id(log.request_id, after)
    # the monitoring pool: the new worker's statistics arrive too
    collector.wait_for(lambda c: [d for d in stats_docs(
        c.find_messages(STATS_PATH)) if d.pid == after] or None, 12)
    assert not nginx.crashes()
