"""Fixtures shared by the integration tests.

    nginx                 an unstarted Nginx with its own prefix; call
                          nginx.start(http_body, workers=..., ...)
    nginx_factory()       more instances in one test
    check_config(body, values=None, **options) -> ConfigCheck (nginx -t)
    collector             a started plain-TCP FakeCollector
    tls_collector         a started TLS FakeCollector (self-signed cert)
    collector_factory(tls=False, start=True, port=None, cert=None)
    auth_server           a started FakeAuthServer
    auth_server_factory(start=True, port=None, tls=False)
    tls_cert              (certfile, keyfile) made once per session
    pg_cluster            a PostgreSQL server made once per session
    fault_matrix          outcomes of the selected fault cases of every
                          module that defines fault_case(), run side by
                          side once per session (harness/faults.py)

A test that relies on what only newer nginx releases do is marked
``@pytest.mark.needs_nginx("1.21.0", "why")``: on an older nginx under test
it is skipped with that reason, never left failing.

Every nginx instance is stopped with ``nginx -s quit`` at teardown (SIGTERM
when that takes over TEARDOWN_QUIT seconds).  A stop that needed SIGKILL, or
an [alert]/[emerg] entry or a worker killed by a signal in the error log,
fails the test (``nginx.check_log = False`` or ``nginx.allowed_log_problems``
for tests that provoke them).
When a test fails, the tail of each instance's error log and a summary of
what the fakes saw are added to the failure report.

Against a sanitized build (``KV_SANITIZER_LOGS`` set, see harness/nginx.py)
a report from any process of an instance fails the test that started it,
and at the end of the session any report file at all, whoever wrote it,
fails the run and is printed.
"""

import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from harness import (MODULE_FILES, FakeAuthServer, FakeCollector, Nginx,
                     make_self_signed)
from harness.nginx import (modules_dir, nginx_binary, sanitizer_reports,
                           ub_reports)

LOG_TAIL = 200
# An idle nginx quits in milliseconds.  Past this, teardown falls back to a
# fast shutdown; test_startup checks the graceful path's promptness itself.
TEARDOWN_QUIT = 0.5


@pytest.fixture(scope="session")
def nginx_bin():
    path = nginx_binary()
    if not os.access(path, os.X_OK):
        pytest.fail(f"nginx binary {path} not found: build it with make "
                    f"or set NGINX_BIN", pytrace=False)
    return path


@pytest.fixture(scope="session")
def kv_modules():
    path = modules_dir()
    missing = [f for f in MODULE_FILES.values()
               if not os.path.isfile(os.path.join(path, f))]
    if missing:
        pytest.fail(f"modules {missing} not in {path}: build them with make "
                    f"or set KV_MODULES", pytrace=False)
    return path


def _track(request, obj):
    request.node.__dict__.setdefault("_kv_tracked", []).append(obj)


@pytest.fixture
def make_prefix():
    """Fresh prefix directories outside pytest's private tmp tree.

    When the tests run as root, nginx workers run as nobody; they must be
    able to reach the prefix (temp files, served files), which pytest's
    0700 base directory would forbid.
    """
    made = []

    def make():
        path = Path(tempfile.mkdtemp(prefix="kv-nginx-"))
        path.chmod(0o755)
        made.append(path)
        return path

    yield make
    if not os.environ.get("KV_KEEP_PREFIX"):
        for path in made:
            shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def nginx_factory(request, nginx_bin, kv_modules, make_prefix):
    instances = []

    def make(values=None):
        inst = Nginx(make_prefix(), nginx_bin, kv_modules, values)
        instances.append(inst)
        _track(request, inst)
        return inst

    yield make

    problems = []
    for inst in instances:
        inst.stop(timeout=TEARDOWN_QUIT)
        if inst.forced_stop:
            problems.append(f"nginx in {inst.prefix} did not stop, even on "
                            f"SIGTERM, and was killed")
        if inst.check_log:
            problems += [f"nginx error.log: {line}"
                         for line in inst.log_problems()]
        problems += inst.sanitizer_problems()
        inst.keep_final_log()
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def nginx(nginx_factory):
    return nginx_factory()


class _CheckRecord:
    def __init__(self):
        self.results = []


@pytest.fixture
def check_config(request, nginx_bin, kv_modules, make_prefix):
    """Run ``nginx -t``; options as for render_config (modules=, omit_pools=,
    main_lines=, pools=, workers=)."""
    record = _CheckRecord()
    _track(request, record)
    instances = []

    def run(http_body, values=None, **options):
        inst = Nginx(make_prefix(), nginx_bin, kv_modules)
        instances.append(inst)
        result = inst.check(http_body, values, **options)
        record.results.append(result)
        return result

    yield run
    problems = [p for inst in instances for p in inst.sanitizer_problems()]
    problems += [f"undefined behaviour (nginx -t {r.conf_path}):\n{ub}"
                 for r in record.results for ub in ub_reports(r.output)]
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture(scope="session")
def tls_cert(tmp_path_factory):
    return make_self_signed(tmp_path_factory.mktemp("tls"))


@pytest.fixture(scope="session")
def pg_cluster():
    """A PostgreSQL server of this session's own (tools/pg_cluster.py),
    under build/pg; each test makes its databases on it."""
    from harness.stores import cluster_dir, pg_cluster as pg
    cluster = pg.Cluster(cluster_dir())
    cluster.start(fast=True)
    yield cluster
    cluster.stop()


@pytest.fixture(scope="session")
def fault_matrix(request, tls_cert, nginx_bin, kv_modules):
    from harness.faults import run_selected
    return run_selected(request.session, tls_cert)


@pytest.fixture
def collector_factory(request):
    made = []

    def make(tls=False, start=True, port=None, cert=None):
        """``cert``: a (certfile, keyfile) pair to serve TLS with, instead
        of the session's self-signed one."""
        if cert is None and tls:
            cert = request.getfixturevalue("tls_cert")
        c = FakeCollector(port=port, tls=cert)
        made.append(c)
        _track(request, c)
        if start:
            c.start()
        return c

    yield make
    for c in made:
        c.stop()


@pytest.fixture
def collector(collector_factory):
    return collector_factory()


@pytest.fixture
def tls_collector(collector_factory):
    return collector_factory(tls=True)


@pytest.fixture
def auth_server_factory(request):
    made = []

    def make(start=True, port=None, tls=False):
        cert = request.getfixturevalue("tls_cert") if tls else None
        s = FakeAuthServer(port=port, tls=cert)
        made.append(s)
        _track(request, s)
        if start:
            s.start()
        return s

    yield make
    for s in made:
        s.stop()


@pytest.fixture
def auth_server(auth_server_factory):
    return auth_server_factory()


def _sections(obj):
    if isinstance(obj, Nginx):
        out = []
        text = obj.output().strip()
        if text:
            out.append((f"nginx output ({obj.prefix})", text[-8000:]))
        out.append((f"nginx error.log ({obj.prefix}), last {LOG_TAIL} lines",
                    obj.error_log_tail(LOG_TAIL)))
        out.append((f"nginx error.log ({obj.prefix}), last {LOG_TAIL // 2} "
                    f"entries of level notice and above",
                    "\n".join(obj.log_lines(min_level="notice")
                              [-LOG_TAIL // 2:])))
        return out
    if isinstance(obj, _CheckRecord):
        return [(f"nginx -t {r.conf_path} (rc={r.returncode})",
                 r.output + "\n--- configuration ---\n" + r.conf_text)
                for r in obj.results[-3:]]
    if isinstance(obj, (FakeCollector, FakeAuthServer)):
        return [(f"fake {obj.name} on port {obj.port}", obj.describe())]
    return []


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    setattr(item, "rep_" + rep.when, rep)
    if not rep.failed or getattr(item, "_kv_reported", False):
        return
    tracked = item.__dict__.get("_kv_tracked", [])
    if tracked:
        item._kv_reported = True
    for obj in tracked:
        for title, text in _sections(obj):
            rep.sections.append((title, text))


def pytest_sessionfinish(session, exitstatus):
    # Reports of processes no fixture looked at (a case of the fault
    # matrix, a worker that wrote its report after its test had ended)
    # fail the run here.  Under xdist only the controller looks.
    where = os.environ.get("KV_SANITIZER_LOGS")
    if not where or hasattr(session.config, "workerinput"):
        return
    reports = sanitizer_reports(os.path.join(where, ""), "*")
    if not reports:
        return
    tr = session.config.pluginmanager.get_plugin("terminalreporter")
    for path, text in reports:
        if tr is not None:
            tr.write_sep("=", f"sanitizer report {path}", red=True)
            tr.write_line(text[-20000:])
    if tr is not None:
        tr.write_sep("=", f"{len(reports)} sanitizer report(s) in {where}",
                     red=True)
    session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_collection_modifyitems(config, items):
    # Under pytest-xdist (--dist loadgroup), the fault matrix's cases stay
    # on one worker: its session fixture runs every selected case at once,
    # and would do so again on each worker that got one of them.
    if not config.pluginmanager.hasplugin("xdist"):
        return
    group = pytest.mark.xdist_group("fault_matrix")
    for item in items:
        if "fault_matrix" in getattr(item, "fixturenames", ()):
            item.add_marker(group)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "needs_nginx(release, reason): skipped on older nginx")
    # the release matrix and the sanitized builds change nginx, not the
    # collector: tests that never start nginx are left out of them
    config.addinivalue_line(
        "markers", "collector_only: no nginx runs in this test")


def _release(text):
    return tuple(int(n) for n in text.split("."))


_NGINX_RELEASE = {}


def nginx_release():
    """The release of the nginx under test, as a tuple of numbers."""
    if "release" not in _NGINX_RELEASE:
        out = subprocess.run([nginx_binary(), "-v"], capture_output=True,
                             text=True, check=False).stderr
        found = re.search(r"nginx/(\d+(?:\.\d+)+)", out)
        _NGINX_RELEASE["release"] = _release(found.group(1)) if found else None
    return _NGINX_RELEASE["release"]


def pytest_runtest_setup(item):
    for mark in item.iter_markers(name="needs_nginx"):
        wanted, reason = mark.args
        have = nginx_release()
        if have is not None and have < _release(wanted):
            pytest.skip(f"needs nginx {wanted} or later ({reason}); "
                        f"this is {'.'.join(map(str, have))}")
