"""The two shared objects' dynamic symbols: what nginx and the other object
may bind to, and nothing more.

nginx opens modules with RTLD_GLOBAL, so every exported name shares one
namespace with nginx and every other module: a generic name exported by us
could capture another module's references, or theirs ours.
"""

import os
import re
import subprocess

import pytest

from harness import MODULE_FILES

# what nginx looks up in every dynamic module
MODULE_TABLES = {"ngx_modules", "ngx_module_names", "ngx_module_order"}
CORE = "kestrelvanes::core::"
# what a sanitized build's instrumentation adds: entry points of the
# sanitizer runtimes, which nginx links in
SANITIZER_RUNTIME = ("__asan_", "__ubsan_", "__tsan_", "__sanitizer_",
                     "__lsan_")


def _symbols(path, *flags):
    """{name: kind} of nm's listing, names demangled."""
    out = subprocess.run(["nm", "-D", "-C", *flags, path], check=True,
                         capture_output=True, text=True).stdout
    syms = {}
    for line in out.splitlines():
        # an address column (blank when undefined), the kind, the name;
        # demangled names may hold blanks
        _, kind, name = line[:16], line[17:18], line[19:]
        if not name.startswith(SANITIZER_RUNTIME):
            syms[name] = kind
    return syms


def _defined(path):
    return set(_symbols(path, "--defined-only"))


def _undefined(path):
    # weak references (w, v) may stay unresolved by design
    return {name for name, kind in _symbols(path, "--undefined-only").items()
            if kind == "U"}


@pytest.fixture(scope="module")
def objects(kv_modules):
    return {key: os.path.join(kv_modules, f)
            for key, f in MODULE_FILES.items()}


def test_each_object_exports_only_its_module_and_the_shared_core(objects):
    assert _defined(objects["access"]) == MODULE_TABLES | {
        "ngx_kestrelvanes_http_access"}

    auth = _defined(objects["auth"])
    stray = sorted(n for n in auth - MODULE_TABLES - {
        "ngx_kestrelvanes_http_auth"} if not n.startswith(CORE))
    assert stray == [], "exported outside kestrelvanes::core"
    # the shared state itself is among them
    assert {CORE + "log_stats", CORE + "auth_stats",
            CORE + "t_peer_stats"} <= auth


def _sanitizer_runtimes(path):
    """The sanitizer runtimes a sanitized build links ``path`` against:
    they define the C library's functions they intercept, unversioned."""
    out = subprocess.run(["ldd", path], check=True, capture_output=True,
                         text=True).stdout
    return re.findall(r"=> (\S*lib(?:a|t|ub)san\.so\S*)", out)


def test_access_object_needs_only_nginx_libraries_and_the_auth_core(
        objects, nginx_bin):
    runtime = set()
    for lib in _sanitizer_runtimes(objects["access"]):
        runtime |= _defined(lib)
    provided = _defined(nginx_bin) | _defined(objects["auth"]) | runtime
    # symbols of the C and C++ runtimes come versioned from their libraries
    needs = {n for n in _undefined(objects["access"]) if "@" not in n}
    assert sorted(needs - provided) == []
    # the core alone: the authorization module's request state comes
    # through the core, never from that module's own symbols
    from_auth = needs - _defined(nginx_bin) - runtime
    assert from_auth and all(n.startswith(CORE) for n in from_auth), \
        sorted(n for n in from_auth if not n.startswith(CORE))


def test_access_module_loaded_first_fails_on_an_undefined_core_symbol(
        check_config):
    res = check_config("", modules=("access", "auth"))
    assert res.returncode != 0
    # nginx reports the dynamic loader's message with the mangled name
    assert "undefined symbol: _ZN12kestrelvanes4core" in res.output, \
        res.output
