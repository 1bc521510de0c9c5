"""Running the nginx build under test with both sensor modules loaded.

A configuration is rendered from a fixed main context (modules, logs, the
two thread pools the access-log module needs, events) around an ``http``
body the test writes.  Tokens of the form ``@NAME@`` in that body are filled
in: ``@PORT@``, ``@PORT2@``, ... are free loopback ports chosen for this
instance, ``@PREFIX@`` is its prefix directory, and any other name comes
from ``values``.  An unknown token is an error, so a typo cannot leave a
literal ``@X@`` for nginx to choke on.

nginx runs in the foreground (``daemon off``) as a child of the test
process, so the master can be waited for and its exit status checked.

Under a sanitized build (``make test SANITIZE=...``, which sets
``KV_SANITIZER_LOGS``) every process of an instance, ``nginx -t`` and
``nginx -s`` included, writes its sanitizer reports to files of its own
under that directory, named after the instance's prefix; ``sanitizer_
problems()`` returns them, and the fixtures fail the test that made them.
"""

import glob
import os
import re
import signal
import subprocess
from pathlib import Path

from .net import free_ports, port_accepts
from .wait import WaitTimeout, wait_until

REPO = Path(__file__).resolve().parents[3]

MODULE_FILES = {
    "auth": "ngx_kestrelvanes_http_auth.so",
    "access": "ngx_kestrelvanes_http_access.so",
}
THREAD_POOLS = {
    "access": "kestrelvanes_access_log_thread_pool",
    "monitoring": "kestrelvanes_monitoring_thread_pool",
}
DEFAULT_MODULES = ("auth", "access")  # the access module binds to auth's symbols

TOKEN = re.compile(r"@([A-Z][A-Z0-9_]*)@")
TERM_GRACE = 3.0  # after SIGTERM, how long before SIGKILL

LEVELS = ("emerg", "alert", "crit", "error", "warn", "notice", "info",
          "debug")
LOG_ENTRY = re.compile(r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d \[(\w+)\]")
LISTEN = re.compile(r"^\s*listen\s+127\.0\.0\.1:(\d+)", re.M)


SANITIZER_OPTIONS = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS",
                     "LSAN_OPTIONS")


def nginx_binary():
    return os.environ.get("NGINX_BIN") or str(REPO / "build/sbin/nginx")


def modules_dir():
    return os.environ.get("KV_MODULES") or str(REPO / "build/modules")


def sanitizer_report_base(tag):
    """The ``log_path`` for processes of instance ``tag``, or None when the
    build under test is not sanitized.  The runtimes add ``.PID``."""
    where = os.environ.get("KV_SANITIZER_LOGS")
    return os.path.join(where, tag) if where else None


def sanitizer_env(base, leaks=True):
    """os.environ with every sanitizer's reports sent to ``base``.PID (a
    later ``log_path`` in an options string overrides an earlier one).

    ``leaks=False`` for the one-shot commands, ``nginx -t`` and ``-s``:
    their main() returns with the whole configuration cycle allocated,
    which the leak check at exit would report every time."""
    if base is None:
        return None
    env = dict(os.environ)
    for var in SANITIZER_OPTIONS:
        extra = f"log_path={base}"
        if var == "ASAN_OPTIONS" and not leaks:
            extra += ":detect_leaks=0"
        env[var] = ":".join(filter(None, (env.get(var), extra)))
    return env


# UndefinedBehaviorSanitizer (gcc's, next to AddressSanitizer) writes to
# stderr whatever log_path says; nginx points a worker's stderr at the
# error log.  A report is its "FILE:LINE:COL: runtime error:" line and the
# stack under it.
UB_REPORT = re.compile(r"^\S+:\d+:\d+: runtime error: .*(?:\n    #\d+ .*)*",
                       re.M)


def ub_reports(text):
    return UB_REPORT.findall(text or "")


# nginx's main() returns on a configuration error (a refused start, a
# failed nginx -t) without destroying the init cycle's pool, made there
# before anything is configured.  LeakSanitizer can suppress a leak only by
# a frame anywhere in its stack, and main is in every stack, so such
# reports are recognised here: every leak is a pool that main itself made.
# They are moved aside to ignored/, still there to read.
FRAME = re.compile(r"^\s+#\d+ 0x[0-9a-f]+ in (\S+)", re.M)


def _init_pool_leak_only(text):
    if "ERROR: LeakSanitizer" not in text or "ERROR: AddressSanitizer" in text:
        return False
    leaks = [b for b in text.split("\n\n")
             if re.match(r"\s*(Direct|Indirect) leak", b)]
    for block in leaks:
        names = FRAME.findall(block)
        if "ngx_create_pool" not in names:
            return False
        i = names.index("ngx_create_pool")
        if names[i + 1:i + 2] != ["main"]:
            return False
    return bool(leaks) and "runtime error" not in text


def sanitizer_reports(base, pattern=".*"):
    """[(path, text)] of the reports written under ``base``.  ``pattern``
    is what follows it in the file names: ".PID" by default, ``"*"`` for
    every file of a directory given with a trailing "/"."""
    if base is None:
        return []
    out = []
    for path in sorted(glob.glob(glob.escape(base) + pattern)):
        if os.path.isdir(path):
            continue
        try:
            with open(path, errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        if _init_pool_leak_only(text):
            aside = os.path.join(os.path.dirname(path), "ignored")
            os.makedirs(aside, exist_ok=True)
            os.replace(path, os.path.join(aside, os.path.basename(path)))
            continue
        out.append((path, text))
    return out


class NginxStartError(AssertionError):
    def __init__(self, message, returncode=None, output="", error_log=""):
        super().__init__(f"{message}\n--- nginx output ---\n{output}"
                         f"\n--- error.log (tail) ---\n{error_log}")
        self.returncode = returncode
        self.output = output
        self.error_log = error_log


class NginxReloadError(AssertionError):
    pass


class ConfigCheck(tuple):
    """Result of ``nginx -t``: unpacks as (returncode, output).

    ``output`` is nginx's stdout and stderr together, where messages of
    level warn and above land.  Lower levels (info) reach only the error
    log file, kept in ``error_log``.
    """

    def __new__(cls, returncode, output, error_log, conf_path, conf_text):
        self = super().__new__(cls, (returncode, output))
        self.returncode = returncode
        self.output = output
        self.error_log = error_log
        self.conf_path = conf_path
        self.conf_text = conf_text
        return self

    def line_of(self, needle, nth=1):
        """1-based line of the ``nth`` configuration line containing needle."""
        seen = 0
        for no, line in enumerate(self.conf_text.splitlines(), 1):
            if needle in line:
                seen += 1
                if seen == nth:
                    return no
        raise ValueError(f"{needle!r} occurs fewer than {nth} times")

    def where(self, needle, nth=1):
        """nginx's ``in FILE:LINE`` suffix for that line."""
        return f"in {self.conf_path}:{self.line_of(needle, nth)}"

    def __repr__(self):
        return (f"ConfigCheck(rc={self.returncode}, output={self.output!r})")


def render_config(*, prefix, http_body, modules=DEFAULT_MODULES,
                  modules_path=None, workers=1, pools=None, omit_pools=(),
                  main_lines=(), events="worker_connections 1024;",
                  log_level="debug"):
    """The whole nginx.conf text (tokens in ``http_body`` already filled).

    ``modules``: keys of MODULE_FILES in load order (or absolute paths).
    ``pools``: {"access"|"monitoring": {"threads": n, "max_queue": m}}
    overriding the one-thread defaults; ``omit_pools`` leaves pools out.
    """
    modules_path = Path(modules_path or modules_dir())
    lines = []
    for m in modules:
        path = Path(m) if os.path.isabs(m) else modules_path / MODULE_FILES[m]
        lines.append(f"load_module {path};")
    lines += [
        f"error_log {prefix}/logs/error.log {log_level};",
        f"pid {prefix}/logs/nginx.pid;",
        f"worker_processes {workers};",
    ]
    pools = pools or {}
    for key, name in THREAD_POOLS.items():
        if key in omit_pools:
            continue
        opts = {"threads": 1, **pools.get(key, {})}
        line = f"thread_pool {name} threads={opts['threads']}"
        if opts.get("max_queue") is not None:
            line += f" max_queue={opts['max_queue']}"
        lines.append(line + ";")
    lines += list(main_lines)
    lines.append(f"events {{ {events} }}")
    lines.append("http {")
    lines += ["    " + line if line.strip() else ""
              for line in http_body.strip("\n").splitlines()]
    lines.append("}")
    return "\n".join(lines) + "\n"


class Nginx:
    """One nginx instance with its own prefix directory and ports."""

    def __init__(self, prefix, binary=None, modules_path=None, values=None):
        self.prefix = Path(prefix)
        self.binary = binary or nginx_binary()
        self.modules_path = modules_path or modules_dir()
        self.values = dict(values or {})
        self.ports = []
        self.proc = None
        self.options = {}
        self.http_body = None
        self.config_values = None
        self.conf_text = ""
        self.forced_stop = False
        self.quit_timed_out = False
        self.check_log = True  # teardown fails on log_problems()
        self.allowed_log_problems = []
        self.start_mark = 0
        self.started_mark = None  # log position of the last successful start
        self._known_pids = set()
        self._final_log = None
        self.sanitizer_base = sanitizer_report_base(self.prefix.name)
        self.env = sanitizer_env(self.sanitizer_base)
        self.oneshot_env = sanitizer_env(self.sanitizer_base, leaks=False)
        for d in ("logs", "conf"):
            (self.prefix / d).mkdir(parents=True, exist_ok=True)

    # paths and ports

    @property
    def conf_path(self):
        return self.prefix / "conf" / "nginx.conf"

    @property
    def error_log_path(self):
        return self.prefix / "logs" / "error.log"

    @property
    def stderr_path(self):
        return self.prefix / "logs" / "stderr.log"

    @property
    def port(self):
        """The first listen port (``@PORT@``)."""
        return self.port_n(1)

    def port_n(self, n):
        """The n-th port of this instance (``@PORTn@``), chosen on first use."""
        if n > len(self.ports):
            self.ports += free_ports(n - len(self.ports))
        return self.ports[n - 1]

    def url(self, path="/", port=None):
        return f"http://127.0.0.1:{port or self.port}{path}"

    # configuration

    def fill(self, template, values=None):
        merged = {**self.values, **(values or {}), "PREFIX": str(self.prefix)}

        def sub(match):
            name = match.group(1)
            if name in merged:
                return str(merged[name])
            m = re.fullmatch(r"PORT(\d*)", name)
            if m:
                return str(self.port_n(int(m.group(1) or 1)))
            raise ValueError(f"unknown token @{name}@ in configuration")

        return TOKEN.sub(sub, template)

    def write_config(self, http_body, values=None, **options):
        """Render and write nginx.conf; returns its text."""
        self.http_body = http_body
        self.config_values = values
        self.options = options
        text = render_config(prefix=self.prefix,
                             http_body=self.fill(http_body, values),
                             modules_path=self.modules_path, **options)
        self.conf_path.write_text(text)
        self.conf_text = text
        return text

    @property
    def workers(self):
        return self.options.get("workers", 1)

    def listen_ports(self):
        return sorted({int(p) for p in LISTEN.findall(self.conf_text)})

    def check(self, http_body, values=None, timeout=20, **options):
        """``nginx -t`` on a rendered configuration; returns ConfigCheck."""
        self.write_config(http_body, values, **options)
        res = subprocess.run(
            [self.binary, "-t", "-p", f"{self.prefix}/", "-c",
             str(self.conf_path)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            timeout=timeout, check=False, env=self.oneshot_env)
        return ConfigCheck(res.returncode,
                           res.stdout.decode("utf-8", "replace"),
                           self.error_log(), str(self.conf_path),
                           self.conf_text)

    # lifecycle

    @property
    def running(self):
        return self.proc is not None and self.proc.poll() is None

    @property
    def master_pid(self):
        return self.proc.pid if self.proc is not None else None

    def start(self, http_body=None, values=None, timeout=10.0, wait_ports=None,
              **options):
        """Write the configuration (when given one) and start nginx.

        Returns once every ``listen 127.0.0.1:N`` port (or ``wait_ports``)
        accepts connections and all workers are up.  Raises NginxStartError
        when nginx exits instead.
        """
        if self.running:
            raise RuntimeError("nginx is already running")
        if http_body is not None:
            self.write_config(http_body, values, **options)
        self.forced_stop = False
        self.quit_timed_out = False
        self.start_mark = self.log_mark()  # error log position at this start
        with open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen(
                [self.binary, "-p", f"{self.prefix}/", "-c",
                 str(self.conf_path), "-g", "daemon off;"],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                start_new_session=True, env=self.env)
        ports = self.listen_ports() if wait_ports is None else list(wait_ports)

        def ready():
            if self.proc.poll() is not None:
                return "exited"
            if len(self.worker_pids()) < self.workers:
                return False
            return all(port_accepts(p) for p in ports)

        try:
            state = wait_until(ready, timeout, interval=0.01)
        except WaitTimeout:
            self.kill()
            raise NginxStartError(f"nginx not ready within {timeout}s",
                                  None, self.output(),
                                  self.error_log_tail(60)) from None
        if state == "exited":
            rc = self.proc.returncode
            raise NginxStartError(f"nginx exited with status {rc} at start-up",
                                  rc, self.output(), self.error_log_tail(60))
        self._known_pids.update(self.all_pids())
        self.started_mark = self.start_mark
        return self

    def signal_cmd(self, name, timeout=10.0):
        """Run ``nginx -s NAME`` for this instance; returns (rc, output)."""
        res = subprocess.run(
            [self.binary, "-p", f"{self.prefix}/", "-c", str(self.conf_path),
             "-s", name],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            timeout=timeout, check=False, env=self.oneshot_env)
        return res.returncode, res.stdout.decode("utf-8", "replace")

    def reload(self, http_body=None, values=None, timeout=10.0,
               wait_old=True, **options):
        """``nginx -s reload``, optionally with a new http body, values or
        options (each defaults to what the last configuration used).

        Waits for a full new generation of workers (and, with ``wait_old``,
        for the previous ones to exit); returns the new worker pids.
        """
        __tracebackhide__ = True
        if http_body is not None or values is not None or options:
            self.write_config(
                self.http_body if http_body is None else http_body,
                self.config_values if values is None else values,
                **{**self.options, **options})
        mark = self.log_mark()
        old = set(self.worker_pids(include_exiting=True))
        rc, out = self.signal_cmd("reload")
        if rc != 0:
            raise NginxReloadError(f"nginx -s reload failed ({rc}): {out}")

        def new_generation():
            if "[emerg]" in self.error_log(since=mark):
                raise NginxReloadError(
                    "reload refused:\n" + self.error_log(since=mark)[-4000:])
            now = set(self.worker_pids())
            if len(now) >= self.workers and not now & old:
                return sorted(now)
            return None

        pids = wait_until(new_generation, timeout, message=lambda: (
            f"no new worker generation within {timeout}s: "
            f"{self.process_table()}; log since reload: "
            f"{self.log_lines(mark, 'error')}"))
        if wait_old:
            wait_until(lambda: not any(pid_alive(p) for p in old), timeout,
                       message=lambda: f"old workers {sorted(old)} still "
                       f"running: {self.process_table()}; log since reload: "
                       f"{self.log_lines(mark, 'error')}")
        self._known_pids.update(self.all_pids())
        return pids

    def stop(self, timeout=10.0):
        """Graceful ``nginx -s quit``, escalating only when it hangs.

        When the master has not exited ``timeout`` seconds after the quit,
        SIGTERM (fast shutdown) follows and ``quit_timed_out`` is set; when
        even that does not end every process, SIGKILL does and
        ``forced_stop`` is set.  Returns the master's exit status.
        """
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self._known_pids.update(self.all_pids())
            rc, _ = self.signal_cmd("quit")
            if rc != 0:  # e.g. the configuration on disk no longer parses
                _signal(self.proc.pid, signal.SIGQUIT)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.quit_timed_out = True
                _signal(self.proc.pid, signal.SIGTERM)
                try:
                    self.proc.wait(TERM_GRACE)
                except subprocess.TimeoutExpired:
                    self.forced_stop = True
                    self.kill()
        try:
            wait_until(lambda: not self.leftover_pids(), TERM_GRACE)
        except WaitTimeout:
            self.forced_stop = True
            self.kill()
        return self.proc.returncode

    def kill(self):
        """SIGKILL the master and every process it was seen to have."""
        pids = set(self._known_pids)
        if self.proc is not None:
            pids.update(self.all_pids())
        for pid in pids:
            _signal(pid, signal.SIGKILL)
        if self.proc is not None:
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                pass

    def leftover_pids(self):
        """Processes of this instance still alive (workers outlive a killed
        master as orphans)."""
        return sorted(p for p in self._known_pids if pid_alive(p))

    # processes

    def children(self):
        """[(pid, title)] of the master's live children, from /proc."""
        if not self.running:
            return []
        out = []
        master = self.proc.pid
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            st = _stat(int(entry))
            if st and st[1] == master and st[0] != "Z":
                out.append((int(entry), _cmdline(int(entry))))
        return sorted(out)

    def worker_pids(self, include_exiting=False):
        """Pids of worker processes; ``include_exiting`` adds those that are
        shutting down after a reload or quit."""
        return [pid for pid, title in self.children()
                if "worker process" in title
                and (include_exiting or "shutting down" not in title)]

    def all_pids(self):
        if not self.running:
            return []
        return [self.proc.pid] + [pid for pid, _ in self.children()]

    def process_table(self):
        return [(pid, _cmdline(pid)) for pid in self.all_pids()]

    # logs

    def output(self):
        """What nginx printed on stdout/stderr."""
        try:
            return self.stderr_path.read_text(errors="replace")
        except OSError:
            return ""

    def log_mark(self):
        """A position in the error log to read or wait from."""
        try:
            return self.error_log_path.stat().st_size
        except OSError:
            return 0

    def error_log(self, since=0):
        try:
            with open(self.error_log_path, "rb") as f:
                f.seek(since)
                return f.read().decode("utf-8", "replace")
        except OSError:
            return self._final_log or ""

    def error_log_tail(self, lines=200):
        text = self.error_log() or self._final_log or ""
        return "\n".join(text.splitlines()[-lines:])

    def wait_log(self, pattern, timeout=5.0, since=0):
        """Wait until the log (from ``since``) matches; returns the match.

        ``pattern``: a plain substring or a compiled regular expression.
        """
        __tracebackhide__ = True
        def found():
            text = self.error_log(since)
            if isinstance(pattern, re.Pattern):
                return pattern.search(text)
            return pattern in text
        return wait_until(found, timeout, message=lambda: (
            f"{pattern!r} not in error log within {timeout}s; tail:\n"
            + self.error_log_tail(40)))

    def log_lines(self, since=0, min_level="info"):
        """Log entries at ``min_level`` or more severe (continuation lines
        of multi-line debug entries are dropped)."""
        keep = LEVELS[:LEVELS.index(min_level) + 1]
        out = []
        for line in self.error_log(since).splitlines():
            m = LOG_ENTRY.match(line)
            if m and m.group(1) in keep:
                out.append(line)
        return out

    def crashes(self):
        """Log lines telling that a worker died by a signal."""
        return [line for line in self.error_log().splitlines()
                if "exited on signal" in line]

    def log_problems(self, since=None):
        """Entries no healthy run writes: alerts, emergencies, crashes.

        By default the log is read from the last successful start on (a
        start that failed has already told its story).  Substrings in
        ``allowed_log_problems`` are let through, for tests that provoke
        such entries on purpose.
        """
        if since is None:
            if self.started_mark is None:
                return []
            since = self.started_mark
        bad = self.log_lines(since, "alert")
        bad += [line for line in self.error_log(since).splitlines()
                if "exited on signal" in line and line not in bad]
        return [line for line in bad
                if not any(a in line for a in self.allowed_log_problems)]

    def sanitizer_problems(self):
        """The sanitizer reports of this instance's processes, one entry
        each (empty on a plain build)."""
        if self.sanitizer_base is None:
            return []
        out = [f"sanitizer report {path}:\n{text}"
               for path, text in sanitizer_reports(self.sanitizer_base)]
        for where, text in (("output", self.output()),
                            ("error.log", self.error_log())):
            out += [f"undefined behaviour (nginx {where}, {self.prefix}):\n"
                    f"{r}" for r in ub_reports(text)]
        return out

    def keep_final_log(self):
        """Remember the log before the prefix goes away (failure reports)."""
        self._final_log = self.error_log()


def _signal(pid, sig):
    try:
        os.kill(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def _stat(pid):
    """(state, ppid) of pid, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            data = f.read().decode("latin-1")
    except OSError:
        return None
    fields = data[data.rindex(")") + 2:].split()
    return fields[0], int(fields[1])


def _cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode("latin-1").strip()
    except OSError:
        return ""


def pid_alive(pid):
    """True while pid exists and is not a zombie."""
    st = _stat(pid)
    return st is not None and st[0] not in ("Z", "X")
