"""The endpoint inventory through real traffic: nginx with the sensor in
front of the sample API, the real collector behind it.  The templates it
infers are the API's own routes, the sensitive data it names is there
while nothing of it is kept, it comes back after a restart, both exports
pass validators from npm, and a declared API marks shadows, zombies and
undeclared statuses.  Every new route sits behind the console's gate.
"""

import importlib
import json
import shutil
import subprocess
import sys
import urllib.parse

import pytest

from harness import free_ports, wait_until
from harness.net import port_accepts
from harness.realcollector import REPO, RealCollector, bin_dir

APP = """
ext_instance apis;
ext_stats_server http://127.0.0.1:@INGEST@;
ext_heartbeat_period 5s;
ext_stats_period 5s;
ext_access_log_body_size 4k;
server {
    listen 127.0.0.1:@PORT@;
    location /api/ {
        kestrelvanes_http_access_enable on;
        ext_auth_log_server http://127.0.0.1:@INGEST@;
        proxy_pass http://127.0.0.1:@UP@;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
    }
}
"""

TOKEN = "inventory-test-token-0123456789"
CARD = "4111111111111111"  # what the sample API's account returns
PASSWORD = "correct horse battery staple"


def load_stack():
    """collector/stack.py: the sample API's requests, its route table and
    how templates are held against it, as `make demo` uses them."""
    sys.path.insert(0, str(REPO / "collector"))
    try:
        return importlib.import_module("stack")
    finally:
        sys.path.pop(0)


stack = load_stack()


@pytest.fixture
def sample_api():
    (port,) = free_ports(1)
    proc = subprocess.Popen(
        [str(bin_dir() / "kestrelvanes-sample-api"), "--listen",
         f"127.0.0.1:{port}"], stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: proc.poll() is not None or port_accepts(port), 10)
        assert proc.poll() is None, "the sample API exited"
        yield port
    finally:
        proc.terminate()
        proc.wait(10)


@pytest.fixture
def real_collector(make_prefix):
    made = []

    def make(workdir=None, **kw):
        c = RealCollector(workdir or make_prefix(), token=TOKEN, **kw)
        made.append(c)
        return c.start()

    yield make
    for c in made:
        rc = c.stop()
        if rc not in (0, None):
            pytest.fail(f"collector exited with {rc}:\n{c.log()[-3000:]}")


def endpoints(collector, host, **filters):
    query = urllib.parse.urlencode({"host": host, "limit": 1000, **filters})
    return collector.get(f"/api/endpoints?{query}")["endpoints"]


def drive_shop(nginx):
    """Every route of the sample API through nginx; the host the inventory
    keys them by and how many exchanges were sent."""
    # /v1/ is the demo's response-log location, not served here
    # and the two routes only `make demo`'s first requests use
    requests = [r for r in stack.api_requests() if r[1].startswith("/api/")]
    requests += [("GET", "/api/large?size=100", None, {}, 200),
                 ("GET", "/api/private/report", None,
                  {"Authorization": f"Bearer {stack.TOKEN}"}, 200)]
    driven = stack.drive(f"http://127.0.0.1:{nginx.port}", requests)
    wrong = [d for d in driven if d[2] != d[3]]
    assert not wrong, wrong
    return f"127.0.0.1:{nginx.port}", len(driven)


def wait_counted(collector, host, count):
    return wait_until(
        lambda: (lambda eps: eps if sum(e["count"] for e in eps) >= count
                 else None)(endpoints(collector, host)), 20,
        message=lambda: f"the inventory of {host} holds fewer than {count}")


def raw(collector, method, path, body=None, headers=None):
    """A console call with the caller's own headers only."""
    import urllib.request
    req = urllib.request.Request(collector.url(path), data=body,
                                 method=method, headers=headers or {})
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(req, timeout=10) as res:
            return res.status
    except urllib.error.HTTPError as e:
        return e.code


def validators():
    """The npm validators the analysis tests install under the collector's
    build tree; installed here the same way when they are not there yet."""
    npm_dir = bin_dir().parent / "collector/npm-validators"
    if not (npm_dir / "node_modules/har-validator").is_dir() or not (
            npm_dir / "node_modules/@seriousme/openapi-schema-validator"
    ).is_dir():
        if shutil.which("npm") is None:
            pytest.fail("npm is needed (tools/deps.sh installs it)",
                        pytrace=False)
        npm_dir.mkdir(parents=True, exist_ok=True)
        subprocess.run(["npm", "install", "--prefix", str(npm_dir),
                        "--no-audit", "--no-fund", "--silent",
                        "@seriousme/openapi-schema-validator@2.11.0",
                        "har-validator@5.1.5"], check=True, timeout=300)
    shutil.copy(REPO / "collector/tests/analysis/validate_exports.mjs",
                npm_dir)
    return npm_dir


def test_inventory_from_nginx_traffic(nginx, real_collector, sample_api,
                                      make_prefix):
    work = make_prefix()
    collector = real_collector(work)
    nginx.start(APP, values={"INGEST": collector.ingest_port,
                             "UP": sample_api})
    host, count = drive_shop(nginx)
    eps = wait_counted(collector, host, count)

    # the templates are the API's routes, exactly
    found, wrong, missing = stack.templates_against_routes(
        eps, stack.sample_routes(bin_dir().parent))
    assert (wrong, missing) == ([], []), (wrong, missing)
    assert ("GET", "/api/users/{id}/orders/{orderId}") in found
    by = {(e["method"], e["path"]): e for e in eps}
    products = by[("GET", "/api/products/{id}")]
    assert products["count"] == 5 * 17  # 85 slugs, one row

    # what it saw, named: a password sent, an e-mail and a card returned,
    # a JWT as the bearer token
    login = collector.get(f"/api/endpoints/{by[('POST', '/api/login')]['id']}")
    assert "secret" in login["sensitive"]
    account = by[("GET", "/api/account")]
    assert {"email", "card"} <= set(account["sensitive"])
    assert "jwt" in account["auth"]
    assert account["status_classes"]["2xx"] == 1
    assert account["status_classes"]["4xx"] == 1
    crash = by[("GET", "/api/fail/crash")]
    assert crash["error_rate"] == 1.0
    assert crash["latency_ms"]["p50"] is not None

    # saved through the store, and nothing of the values with it
    assert collector.stop() == 0
    disk = b"".join(p.read_bytes() for p in work.iterdir()
                    if p.name.startswith("collector.db"))
    assert b"api_inventory" in disk
    for secret in (CARD.encode(), PASSWORD.encode(),
                   stack.LOGIN_TOKEN.encode()):
        assert secret not in disk

    again = real_collector(work)
    back = endpoints(again, host)
    assert sorted((e["method"], e["path"], e["count"]) for e in back) == \
        sorted((e["method"], e["path"], e["count"]) for e in eps)


def test_exports_pass_validators(nginx, real_collector, sample_api,
                                 make_prefix):
    collector = real_collector()
    nginx.start(APP, values={"INGEST": collector.ingest_port,
                             "UP": sample_api})
    host, count = drive_shop(nginx)
    wait_counted(collector, host, count)
    collector.wait_exchanges(count)

    out = make_prefix()
    doc = collector.get(f"/api/openapi?host={urllib.parse.quote(host)}")
    assert doc["openapi"].startswith("3.1")
    assert "/api/users/{id}/orders/{orderId}" in doc["paths"]
    (out / "shop.openapi.json").write_text(json.dumps(doc))
    har = collector.get("/api/exchanges.har?limit=1000")
    assert len(har["log"]["entries"]) == count
    (out / "all.har").write_text(json.dumps(har))
    # one endpoint's, with the list's filters
    login = next(e for e in endpoints(collector, host)
                 if e["path"] == "/api/login")
    har = collector.get(f"/api/exchanges.har?endpoint={login['id']}"
                        "&status=401")
    assert [e["response"]["status"] for e in har["log"]["entries"]] == [401]
    (out / "login.har").write_text(json.dumps(har))
    # what HAR holds is what was stored: redacted
    assert PASSWORD not in json.dumps(har)

    npm_dir = validators()
    res = subprocess.run(["node", str(npm_dir / "validate_exports.mjs"),
                          str(out)], capture_output=True, text=True,
                         timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    assert res.stdout.count("ok ") == 3, res.stdout


DECLARED = """openapi: 3.0.3
info: {title: shop, version: "1"}
paths:
  /api/items:
    get:
      responses: {"200": {description: items}}
  /api/items/{itemId}:
    get:
      parameters:
        - {name: itemId, in: path, required: true, schema: {type: integer}}
      responses: {"200": {description: one item}}
  /api/legacy/export:
    get:
      responses: {"200": {description: never served}}
"""


def test_declared_api_marks_drift(nginx, real_collector, sample_api):
    collector = real_collector(args=["--zombie-after", "1s"])
    nginx.start(APP, values={"INGEST": collector.ingest_port,
                             "UP": sample_api})
    host, count = drive_shop(nginx)
    wait_counted(collector, host, count)
    target = f"/api/declared?host={urllib.parse.quote(host)}"

    # the gate: no token, another origin
    assert raw(collector, "PUT", target, DECLARED.encode()) == 401
    assert raw(collector, "PUT", target, DECLARED.encode(), {
        "Authorization": f"Bearer {TOKEN}",
        "Origin": "http://evil.test"}) == 403
    assert raw(collector, "GET", "/api/endpoints") == 401
    assert raw(collector, "GET", "/api/exchanges.har") == 401

    status, doc = collector.request("PUT", target, DECLARED.encode(),
                                    {"Content-Type": "application/yaml"})
    assert status == 200, doc

    def marks():
        eps = endpoints(collector, host, drift=1)
        got = {(e["method"], e["path"]): set(e["drift"]) for e in eps}
        legacy = got.get(("GET", "/api/legacy/export"), set())
        return got if "zombie" in legacy else None
    got = wait_until(marks, 10, interval=0.2)
    # the item's 404 was not declared; login and the rest are shadows
    assert "undeclared_status" in got[("GET", "/api/items/{id}")]
    assert "shadow" in got[("POST", "/api/login")]
    assert "shadow" not in got.get(("GET", "/api/items"), set())
    shadows = endpoints(collector, host, shadow=1)
    assert len(shadows) == len(endpoints(collector, host)) - 2 - 1
    item = next(e for e in endpoints(collector, host)
                if (e["method"], e["path"]) == ("GET", "/api/items/{id}"))
    one = collector.get(f"/api/endpoints/{item['id']}")
    assert one["declared_path"] == "/api/items/{itemId}"
    assert one["undeclared_statuses"] == [{"status": 404, "count": 1}]

    # JSON is taken as well; a document that is not OpenAPI 3 is refused
    status, doc = collector.request("PUT", target, {"swagger": "2.0"})
    assert status == 400 and "OpenAPI 3" in doc["error"]
    assert collector.get(target)["operations"] == 3
