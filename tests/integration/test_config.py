"""Configuration handling of both modules, checked through ``nginx -t``.

Error tests assert nginx's own wording and that the reported file:line
points at the offending directive.
"""

import re
import subprocess
from pathlib import Path

import pytest

from harness import MODULE_FILES, NginxStartError, http_request

# short name -> long twin, for the access-log module's paired directives
ACCESS_TWINS = {
    "ext_access_log_body_size": "kestrelvanes_http_access_body_size",
    "ext_access_log_total_size": "kestrelvanes_http_access_total_size",
    "ext_auth_log_api": "kestrelvanes_http_access_auth_log_api",
    "ext_stats_server": "kestrelvanes_http_access_stats_server",
    "ext_auth_log_server": "kestrelvanes_http_access_auth_log_server",
    "ext_stats_api": "kestrelvanes_http_access_stats_api",
    "ext_num_socket_conns": "kestrelvanes_http_access_num_socket_conns",
    "ext_stats_period": "kestrelvanes_http_access_stats_period",
    "ext_heartbeat_period": "kestrelvanes_http_access_heartbeat_period",
    "ext_instance": "kestrelvanes_http_access_instance",
    "ext_initial_logging_mode":
        "kestrelvanes_http_access_initial_logging_mode",
    "ext_initial_backoff_duration":
        "kestrelvanes_http_access_initial_backoff_duration",
    "ext_force_read_payload_file":
        "kestrelvanes_http_access_force_read_payload_file",
    "ext_sampling_rate": "kestrelvanes_http_access_sampling_rate",
    "ext_thread_priority": "kestrelvanes_http_access_thread_priority",
    "ext_access_log_queue_memory": "kestrelvanes_http_access_queue_memory",
    "ext_access_log_batch_delay": "kestrelvanes_http_access_batch_delay",
}
AUTH_TWINS = {
    "ext_auth_request": "kestrelvanes_http_auth_request",
    "ext_auth_request_set": "kestrelvanes_http_auth_request_set",
    "ext_auth_fail_allow": "kestrelvanes_http_auth_fail_allow",
}
SINGLE_NAMES = ["ext_access_log_api", "kestrelvanes_http_access_enable",
                "kestrelvanes_http_auth_enable"]
ALL_NAMES = (list(ACCESS_TWINS) + list(ACCESS_TWINS.values())
             + list(AUTH_TWINS) + list(AUTH_TWINS.values()) + SINGLE_NAMES)
assert len(ALL_NAMES) == 43


def both_names(short):
    return [short, {**ACCESS_TWINS, **AUTH_TWINS}[short]]


def full_config(outer, inner):
    """Every directive once; ``outer``/``inner`` map a short name to the
    spelling used at http/server level and at location level.  The periods
    are once per http block, so each variant carries one spelling."""
    o, i = outer, inner
    return f"""
{o('ext_access_log_body_size')} 8k;
{o('ext_access_log_total_size')} 64k;
{o('ext_auth_log_api')} /auth;
{o('ext_stats_server')} http://127.0.0.1:@COLLECTOR@;
{o('ext_stats_api')} /nginxstats;
{o('ext_num_socket_conns')} 4;
{i('ext_num_socket_conns')} 2;
{o('ext_stats_period')} 10s;
{o('ext_heartbeat_period')} 5s;
{o('ext_instance')} sensor-a;
{o('ext_initial_logging_mode')} metadata;
{o('ext_initial_backoff_duration')} 700;
{o('ext_force_read_payload_file')} off;
{o('ext_sampling_rate')} 100;
{o('ext_thread_priority')} 10;
{o('ext_access_log_queue_memory')} 8m;
{o('ext_access_log_batch_delay')} 2ms;
kestrelvanes_http_access_enable off;
kestrelvanes_http_auth_enable off;
{o('ext_auth_fail_allow')} on;

server {{
    listen 127.0.0.1:@PORT@;
    {o('ext_auth_log_server')} http://127.0.0.1:@COLLECTOR@;
    {i('ext_sampling_rate')} 50;
    ext_access_log_api /log;
    {o('ext_auth_request')} off;
    {o('ext_auth_request_set')} $kv_outer $upstream_http_x_outer;

    location / {{
        {i('ext_access_log_body_size')} 4k;
        {i('ext_access_log_total_size')} 32k;
        {i('ext_auth_log_api')} /auth2;
        {i('ext_stats_server')} http://127.0.0.1:@COLLECTOR@;
        {i('ext_auth_log_server')} http://127.0.0.1:@COLLECTOR@;
        {i('ext_stats_api')} /stats2;
        {i('ext_instance')} sensor-b;
        {i('ext_initial_logging_mode')} MINIMUM;
        {i('ext_initial_backoff_duration')} 900;
        {i('ext_force_read_payload_file')} on;
        {i('ext_thread_priority')} 5;
        ext_access_log_api /log2;
        kestrelvanes_http_access_enable on;
        kestrelvanes_http_auth_enable on;
        {i('ext_auth_request')} /_auth;
        {i('ext_auth_request_set')} $kv_user $upstream_http_x_user;
        {i('ext_auth_fail_allow')} off;
        return 200 "full";
    }}
    location = /_auth {{
        internal;
        {i('ext_auth_request')} off;
        return 204;
    }}
}}
"""


def _short(name):
    return name


def _long(name):
    return {**ACCESS_TWINS, **AUTH_TWINS}[name]


FULL_VARIANTS = {"short-outside": (_short, _long),
                 "long-outside": (_long, _short)}
# the variants together must name every directive of both modules
assert {w for o, i in FULL_VARIANTS.values()
        for w in full_config(o, i).split()} >= set(ALL_NAMES)


@pytest.mark.parametrize("variant", list(FULL_VARIANTS))
def test_every_directive_accepted(nginx, check_config, collector, variant):
    body = full_config(*FULL_VARIANTS[variant])
    values = {"COLLECTOR": collector.port}
    rc, out = check_config(body, values)
    assert rc == 0, out
    assert "test is successful" in out

    # the same configuration must also run and serve
    nginx.start(body, values=values)
    r = http_request(nginx.port, "/")
    assert (r.status, r.body) == (200, b"full")


def _invalid_value_cases():
    bad = [("ext_sampling_rate", "x"), ("ext_num_socket_conns", "abc"),
           ("ext_thread_priority", "-5"),
           ("ext_initial_backoff_duration", "x"),
           ("ext_access_log_body_size", "1x"),
           ("ext_access_log_total_size", "zz"),
           ("ext_stats_period", "soon"), ("ext_heartbeat_period", "-1s"),
           ("ext_access_log_queue_memory", "lots"),
           ("ext_access_log_batch_delay", "soon")]
    for short, value in bad:
        for name in both_names(short):
            yield pytest.param(name, value, id=f"{name}={value}")


@pytest.mark.parametrize("name,value", _invalid_value_cases())
def test_invalid_value_rejected(check_config, name, value):
    # http-only and http/server directives sit at http level, so the value
    # is the only thing wrong
    res = check_config(f"""
{name} {value};
server {{ listen 127.0.0.1:@PORT@; location / {{ return 200; }} }}
""")
    assert res.returncode != 0
    assert (f'[emerg] "{name}" directive invalid value {res.where(name)}'
            in res.output), res.output


@pytest.mark.parametrize("value", ["offf", "yes", "1", "o", "on;off"])
@pytest.mark.parametrize("name", both_names("ext_force_read_payload_file"))
def test_on_off_switch_refuses_other_words_like_nginx(check_config, name,
                                                      value):
    res = check_config(f"""
{name} "{value}";
server {{ listen 127.0.0.1:@PORT@; location / {{ return 200; }} }}
""")
    assert res.returncode != 0
    assert (f'[emerg] invalid value "{value}" in "{name}" directive, it must '
            f'be "on" or "off" {res.where(name)}' in res.output), res.output


PATH_FAULT = "a path is not allowed, only scheme, host and port"
SCHEME_FAULT = "the scheme must be http:// or https://"


@pytest.mark.parametrize("name,url,fault", [
    *[(n, "http://127.0.0.1:9/x", PATH_FAULT)
      for n in both_names("ext_auth_log_server")],
    *[(n, "http://127.0.0.1:9/x", PATH_FAULT)
      for n in both_names("ext_stats_server")],
    *[(n, "ftp://127.0.0.1:9", SCHEME_FAULT)
      for n in both_names("ext_stats_server")],
    ("ext_auth_log_server", "ftp://127.0.0.1:9", SCHEME_FAULT),
    ("ext_auth_log_server", "http://127.0.0.1:108853", "invalid port"),
    ("ext_stats_server", "https://127.0.0.1:70000", "invalid port"),
])
def test_collector_url_no_collector_can_be_is_refused(check_config, name,
                                                     url, fault):
    # before, each of these loaded, and failed at every send
    res = check_config(f"""
server {{
    listen 127.0.0.1:@PORT@;
    location / {{ {name} {url}; }}
}}
""")
    assert res.returncode != 0
    assert (f'[emerg] "{name}" URL "{url}": {fault} {res.where(name)}'
            in res.output), res.output


@pytest.mark.parametrize("name", ["ext_access_log_api",
                                  *both_names("ext_stats_api")])
def test_empty_collector_path_is_refused(check_config, name):
    res = check_config(f"""
{name} "";
server {{ listen 127.0.0.1:@PORT@; }}
""")
    assert res.returncode != 0
    assert (f'[emerg] "{name}" must not be empty {res.where(name)}'
            in res.output), res.output


@pytest.mark.parametrize("name,words", [
    *[(n, "must be at least 1") for n in both_names("ext_num_socket_conns")],
    *[(n, "must be above 0")
      for n in both_names("ext_access_log_queue_memory")]])
def test_zero_rejected(check_config, name, words):
    res = check_config(f"""
{name} 0;
server {{ listen 127.0.0.1:@PORT@; }}
""")
    assert res.returncode != 0
    assert (f'[emerg] "{name}" {words} {res.where(name)}'
            in res.output), res.output


def _server(location_body, server_body=""):
    return f"""
server {{
    listen 127.0.0.1:@PORT@;
    {server_body}
    location / {{
        {location_body}
    }}
}}
"""


URL = "http://127.0.0.1:9"

DUPLICATES = [
    # (id, http body, directive reported, its occurrence that is reported)
    ("auth_log_server-twice", _server(
        f"ext_auth_log_server {URL}; ext_auth_log_server {URL};"),
     "ext_auth_log_server", 2),
    ("auth_log_server-twins", _server(
        f"ext_auth_log_server {URL};\n"
        f"kestrelvanes_http_access_auth_log_server {URL};"),
     "kestrelvanes_http_access_auth_log_server", 1),
    ("auth_log_server-twins-in-server", _server(
        "", f"kestrelvanes_http_access_auth_log_server {URL};\n"
            f"ext_auth_log_server {URL};"),
     "ext_auth_log_server", 1),
    ("stats_period-http-and-location",
     "ext_stats_period 10s;\n" + _server(
         "kestrelvanes_http_access_stats_period 10s;"),
     "kestrelvanes_http_access_stats_period", 1),
    ("stats_period-two-servers",
     _server("", "kestrelvanes_http_access_stats_period 10s;")
     + _server("", "ext_stats_period 20s;").replace("@PORT@", "@PORT2@"),
     "ext_stats_period", 1),
    ("heartbeat_period-twice", "ext_heartbeat_period 5s;\n" + _server(
        "", "ext_heartbeat_period 5s;"), "ext_heartbeat_period", 2),
    ("heartbeat_period-twins",
     "kestrelvanes_http_access_heartbeat_period 5s;\n" + _server(
         "ext_heartbeat_period 7s;"), "ext_heartbeat_period", 1),
    ("access_log_api-twice", _server(
        "ext_access_log_api /a; ext_access_log_api /b;"),
     "ext_access_log_api", 2),
    ("access_enable-twice", _server(
        "kestrelvanes_http_access_enable on;\n"
        "kestrelvanes_http_access_enable off;"),
     "kestrelvanes_http_access_enable", 2),
    ("auth_enable-twice", _server(
        "", "kestrelvanes_http_auth_enable on;\n"
            "kestrelvanes_http_auth_enable on;"),
     "kestrelvanes_http_auth_enable", 2),
    ("auth_request-twins", _server(
        "ext_auth_request /a;\nkestrelvanes_http_auth_request /b;"),
     "kestrelvanes_http_auth_request", 1),
    ("auth_request-off-then-uri", _server(
        "ext_auth_request off;\next_auth_request /x;"),
     "ext_auth_request", 2),
    ("auth_request-uri-then-off", _server(
        "", "kestrelvanes_http_auth_request /x;\n"
            "kestrelvanes_http_auth_request off;"),
     "kestrelvanes_http_auth_request", 2),
    ("fail_allow-twice", _server(
        "ext_auth_fail_allow on;\next_auth_fail_allow on;"),
     "ext_auth_fail_allow", 2),
    ("fail_allow-twins", _server(
        "kestrelvanes_http_auth_fail_allow off;\next_auth_fail_allow on;"),
     "ext_auth_fail_allow", 1),
    ("fail_allow-long-twice", _server(
        "", "kestrelvanes_http_auth_fail_allow off;\n"
            "kestrelvanes_http_auth_fail_allow off;"),
     "kestrelvanes_http_auth_fail_allow", 2),
]


@pytest.mark.parametrize("body,name,nth",
                         [pytest.param(*c[1:], id=c[0]) for c in DUPLICATES])
def test_duplicate_rejected(check_config, body, name, nth):
    res = check_config(body)
    assert res.returncode != 0
    # a twin's line also contains the short name: find the exact directive
    line = [no for no, text in enumerate(res.conf_text.splitlines(), 1)
            for stmt in text.split(";") if stmt.split()[:1] == [name]][nth - 1]
    assert (f'[emerg] "{name}" directive is duplicate in '
            f'{res.conf_path}:{line}' in res.output), res.output


@pytest.mark.parametrize("args,bad", [
    ("foo $host", "foo"),
    ("$ $host", "$"),
    ("auth_user $host", "auth_user"),
])
@pytest.mark.parametrize("name", both_names("ext_auth_request_set"))
def test_auth_request_set_needs_variable(check_config, name, args, bad):
    res = check_config(_server(f"{name} {args};"))
    assert res.returncode != 0
    assert (f'[emerg] invalid variable name "{bad}" {res.where(name)}'
            in res.output), res.output


@pytest.mark.parametrize("name,level", [
    (n, level)
    for short, level in [("ext_sampling_rate", "location"),
                         ("ext_num_socket_conns", "server"),
                         ("ext_num_socket_conns", "location")]
    for n in both_names(short)])
def test_directive_not_allowed_at_level(check_config, name, level):
    value = "50" if "sampling" in name else "2"
    stmt = f"{name} {value};"
    body = _server(stmt) if level == "location" else _server("", stmt)
    res = check_config(body)
    assert res.returncode != 0
    assert (f'[emerg] "{name}" directive is not allowed here '
            f'{res.where(name)}' in res.output), res.output


@pytest.mark.parametrize("stmt,message", [
    ("kestrelvanes_http_access_enable maybe;",
     'invalid value "maybe" in "kestrelvanes_http_access_enable" directive, '
     'it must be "on" or "off"'),
    ("kestrelvanes_http_auth_enable 1;",
     'invalid value "1" in "kestrelvanes_http_auth_enable" directive, '
     'it must be "on" or "off"'),
    ("ext_auth_request_set $a;",
     'invalid number of arguments in "ext_auth_request_set" directive'),
    ("kestrelvanes_http_auth_request_set $a b c;",
     'invalid number of arguments in "kestrelvanes_http_auth_request_set" '
     'directive'),
    ("ext_auth_request;",
     'invalid number of arguments in "ext_auth_request" directive'),
    ("kestrelvanes_http_access_instance a b;",
     'invalid number of arguments in "kestrelvanes_http_access_instance" '
     'directive'),
], ids=["access_enable-word", "auth_enable-number", "request_set-one-arg",
        "request_set-three-args", "auth_request-no-arg", "instance-two-args"])
def test_argument_shape_rejected(check_config, stmt, message):
    res = check_config(_server(stmt))
    assert res.returncode != 0
    assert message in res.output, res.output


# Accepted with a note: errors reach nginx's output and the log file, info
# entries only the log file (nginx -t logs at info).

def logged(log_text, level, message):
    """True when the error log has ``message`` at ``level``."""
    return re.search(rf"\[{level}\] \d+#\d+: {re.escape(message)}",
                     log_text) is not None


@pytest.mark.parametrize("value,effective,invalid", [
    ("150", 0, True), ("0", 0, True), ("101", 0, True),
    ("100", 100, False), ("1", 1, False), ("37", 37, False),
])
@pytest.mark.parametrize("name", both_names("ext_sampling_rate"))
def test_sampling_rate_range(check_config, name, value, effective, invalid):
    res = check_config(f"""
{name} {value};
server {{ listen 127.0.0.1:@PORT@; }}
""")
    assert res.returncode == 0, res.output
    where = res.where(name)
    complaint = f"Invalid sampling rate configured: {value} {where}"
    assert (f"[error] {complaint}" in res.output) == invalid, res.output
    assert logged(res.error_log, "error", complaint) == invalid
    assert logged(res.error_log, "info",
                  f"Sampling rate is: {effective} {where}")
    assert "Sampling rate is" not in res.output


@pytest.mark.parametrize("value,effective", [
    ("0", 5000), ("20000", 15000), ("15001", 15000), ("15000", 15000),
    ("700", 700), ("1", 1),
])
@pytest.mark.parametrize("name", both_names("ext_initial_backoff_duration"))
def test_backoff_duration_clamped(check_config, name, value, effective):
    res = check_config(f"""
{name} {value};
server {{ listen 127.0.0.1:@PORT@; }}
""")
    assert res.returncode == 0, res.output
    assert logged(res.error_log, "info",
                  f"Initial backoff duration is: {effective} "
                  f"{res.where(name)}"), res.error_log[-2000:]


@pytest.mark.parametrize("word", [
    "default", "METADATA", "Minimum", "nologging", "NoLogging", "bogus",
    "x" * 39, "y" * 40, "z" * 41, "x" * 64, "A" * 2000,
], ids=lambda w: w if len(w) < 20 else f"{w[0]}*{len(w)}")
@pytest.mark.parametrize("name", both_names("ext_initial_logging_mode"))
def test_logging_mode_words_accepted(check_config, name, word):
    res = check_config(_server(f"{name} {word};", f"{name} {word};"))
    assert res.returncode == 0, res.output
    assert "test is successful" in res.output


@pytest.mark.parametrize("body", [
    pytest.param(_server("ext_access_log_body_size 8k;\n"
                         "ext_access_log_body_size 4k;"), id="body-8k-4k"),
    pytest.param(_server("kestrelvanes_http_access_body_size 4k;\n"
                         "ext_access_log_body_size 8k;"), id="body-twins"),
    pytest.param(_server("ext_access_log_total_size 64k;\n"
                         "kestrelvanes_http_access_total_size 1m;"),
                 id="total-twins"),
    pytest.param(_server("ext_auth_fail_allow off;\next_auth_request /a;"),
                 id="fail_allow-before-request"),
    pytest.param(_server("ext_auth_request /a;\next_auth_fail_allow off;"),
                 id="fail_allow-after-request"),
    pytest.param(_server("ext_force_read_payload_file OFF;",
                         "kestrelvanes_http_access_force_read_payload_file "
                         "On;"), id="force_read-any-case"),
    pytest.param(_server("ext_auth_fail_allow OFF;"), id="fail_allow-OFF"),
    pytest.param(_server("kestrelvanes_http_auth_enable ON;\n"
                         "kestrelvanes_http_auth_fail_allow On;"),
                 id="auth-flags-any-case"),
    pytest.param(_server("ext_auth_request /a;",
                         "kestrelvanes_http_auth_request /b;"),
                 id="auth_request-per-level"),
    pytest.param(_server("ext_auth_request_set $u $upstream_http_x_u;\n"
                         "ext_auth_request_set $u $upstream_http_x_v;\n"
                         "kestrelvanes_http_auth_request_set $w \"a-$u\";"),
                 id="request_set-repeated"),
    pytest.param("ext_num_socket_conns 500;\n"
                 "ext_thread_priority 99;\n" + _server(""),
                 id="caps-above-limit"),
])
def test_accepted(check_config, body):
    rc, out = check_config(body)
    assert rc == 0, out


AUTH_FLAGS = ["kestrelvanes_http_auth_enable"] + both_names(
    "ext_auth_fail_allow")


@pytest.mark.parametrize("word", ["offf", "yes", "1", '""'])
@pytest.mark.parametrize("name", AUTH_FLAGS)
def test_auth_flag_refuses_other_words(check_config, name, word):
    # as nginx's own flags: a word that is neither on nor off is an error,
    # never read as one of them
    res = check_config(_server(f"{name} {word};"))
    assert res.returncode != 0
    shown = word.strip('"')
    assert (f'[emerg] invalid value "{shown}" in "{name}" directive, it '
            f'must be "on" or "off" {res.where(name)}' in res.output), \
        res.output


@pytest.mark.parametrize("modules", [("access", "auth"), ("access",)],
                         ids=["access-first", "access-alone"])
def test_access_module_needs_auth_loaded_first(nginx, modules):
    with pytest.raises(NginxStartError) as err:
        nginx.start(_server("return 200;"), modules=modules)
    assert err.value.returncode not in (0, None)
    text = err.value.output
    assert "[emerg] dlopen()" in text
    assert MODULE_FILES["access"] in text
    assert "undefined symbol" in text


@pytest.mark.parametrize("omit,missing", [
    ("monitoring", "kestrelvanes_monitoring_thread_pool"),
    ("access", "kestrelvanes_access_log_thread_pool"),
])
def test_thread_pools_required(check_config, omit, missing):
    rc, out = check_config(_server("return 200;"), omit_pools=(omit,))
    assert rc != 0
    assert f'[emerg] unknown thread pool "{missing}"' in out, out


def test_auth_module_alone_loads(check_config):
    # the authorization module carries the shared state and needs nothing
    rc, out = check_config(_server("ext_auth_request off;"),
                           modules=("auth",))
    assert rc == 0, out


README = Path(__file__).resolve().parents[2] / "README.md"


def test_readme_configurations_load_as_written(nginx):
    # Operators start from these: each whole configuration in the README
    # must pass nginx -t with nothing changed but where the modules are and
    # a port this test may bind.
    blocks = [b for b in re.findall(r"```nginx\n(.*?)```", README.read_text(),
                                    re.S) if "load_module" in b]
    assert len(blocks) >= 2
    for block in blocks:
        text = (block.replace("load_module modules/",
                              f"load_module {nginx.modules_path}/")
                .replace("listen 80;", f"listen 127.0.0.1:{nginx.port};"))
        nginx.conf_path.write_text(text)
        res = subprocess.run(
            [nginx.binary, "-t", "-p", f"{nginx.prefix}/", "-c",
             str(nginx.conf_path)], stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, timeout=20, check=False)
        assert res.returncode == 0, (res.stdout.decode(), block)
