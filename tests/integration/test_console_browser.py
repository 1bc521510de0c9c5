"""The collector's console in a real browser (Debian's chromium, driven by
chromedriver through python3-selenium): an exchange the test sent shows in
the list and in full, the list pages back, a large body is shown in part
and downloads whole, counters are plotted, the control form loads, the
APIs view lists, filters and opens endpoints and its exports download,
and a page cannot write into the store through the browser.  Screenshots
are kept in build/artifacts/ (KV_ARTIFACTS).
"""

import base64
import contextlib
import http.server
import itertools
import json
import os
import shutil
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

import pytest

from harness import wait_until
from harness.realcollector import REPO, RealCollector

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.common.exceptions import (  # noqa: E402
    StaleElementReferenceException)
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
ARTIFACTS = Path(os.environ.get("KV_ARTIFACTS") or REPO / "build/artifacts")

BODY = {"tea": "earl grey", "cups": [1, 2, 3]}

pytestmark = pytest.mark.collector_only


_ids = itertools.count(1)


def merged_log(status, uri, body, pid=0x4d2):
    # every exchange has a request id of its own: the collector keeps one
    # exchange per id
    rid = f"{pid:x}-{next(_ids):027x}"
    doc = json.dumps([{
        "request": {"headers": {"Host": "shop.test", "Accept": "*/*",
                                "X-Request-Id": rid},
                    "method": "GET", "uri": uri},
        "response": {"headers": {"X-Request-Id": rid,
                                 "Content-Type": "application/json",
                                 "X-Kv-Sensor-Instance": "browser",
                                 "X-Kv-Sensor-Hostname": "web-7",
                                 "X-Kv-Sensor-Logging-Level": "default"},
                     "body64": base64.b64encode(
                         json.dumps(body).encode()).decode(),
                     "status": status},
        "client_ip": "192.0.2.10", "client_port": 51234,
        "started_at": 1700000000123, "tries": [],
        "latencies": {"request": 7}}], separators=(",", ":")).encode()
    return (b"POST /mergedlog?sensor=nginx HTTP/1.1\r\nHost:c\r\n"
            b"Connection:keep-alive\r\nContent-Type:application/json\r\n"
            b"Content-Length: %010d\r\n\r\n" % len(doc)) + doc


def stats_doc(pid, n):
    doc = json.dumps({"worker": {"pid": pid},
                      "access": {"hdr_filter_hit": 10 * n, "msg_sent": 5 * n,
                                 "tasks_enqueued": 5 * n},
                      "auth": {}}).encode()
    return (b"POST /nginxstats HTTP/1.1\r\nHost: c\r\n"
            b"X-Kv-Sensor-Host: web-7\r\nX-Kv-Sensor-Instance: browser\r\n"
            b"Content-Length: %d\r\n\r\n" % len(doc)) + doc


@pytest.fixture
def browser():
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        pytest.fail("chromium and chromium-driver are needed (tools/deps.sh "
                    "installs them)", pytrace=False)
    profile = tempfile.mkdtemp(prefix="kv-chromium-")
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu",
                "--disable-dev-shm-usage", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-sync",
                "--disable-component-update", f"--user-data-dir={profile}",
                "--window-size=1400,1000"):
        opts.add_argument(arg)
    # the console's messages, where a refused inline script would show
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    yield driver
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)


@pytest.fixture
def collector(make_prefix):
    c = RealCollector(make_prefix()).start()
    yield c
    assert c.stop() == 0


def shot(driver, name):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    path = ARTIFACTS / name
    driver.save_screenshot(str(path))
    assert path.stat().st_size > 1000
    return path


def settle(browser):
    # the list view redraws its rows every two seconds, so an element found
    # a moment ago may be gone by the time it is read: look again
    return WebDriverWait(browser, 20,
                         ignored_exceptions=(StaleElementReferenceException,))


def test_console_shows_an_exchange_and_its_body(browser, collector):
    stream = (merged_log(200, "/api/menu", {"ok": True})
              + merged_log(418, "/api/teapot?brew=1", BODY))
    reply = collector.send_raw(stream)
    assert reply.count(b"HTTP/1.1 200 OK") == 2
    collector.wait_exchanges(2)
    # statistics documents are stamped when they arrive; a rate needs two
    # of them a little apart
    for n in range(1, 4):
        sent = time.time()
        assert b"200 OK" in collector.send_raw(stats_doc(1234, n))
        wait_until(lambda: time.time() > sent + 0.05, 1, interval=0.01)

    wait = settle(browser)
    browser.get(collector.url("/"))
    cells = wait.until(lambda d: [td.text for td in d.find_element(
        By.XPATH, "//tr[@class='exchange'][td[contains(@class,'status') "
                  "and text()='418']]").find_elements(By.TAG_NAME, "td")])
    assert "/api/teapot?brew=1" in cells and "GET" in cells
    assert "merged" in cells
    shot(browser, "console-exchanges.png")

    # filtering keeps only what matches
    status = browser.find_element(By.NAME, "status")
    status.send_keys("4xx")
    browser.find_element(By.CSS_SELECTOR, "#filters button").click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR,
                                             "tr.exchange")) == 1)

    wait.until(lambda d: d.find_element(By.CSS_SELECTOR, "tr.exchange")
               .click() or True)
    wait.until(EC.text_to_be_present_in_element((By.ID, "exchange-status"),
                                                "418"))
    body = browser.find_element(By.ID, "response-body").text
    assert json.loads(body) == BODY
    assert '\n  "tea": "earl grey"' in body  # pretty-printed
    headers = browser.find_element(By.ID, "request-headers").text
    assert "shop.test" in headers
    assert browser.find_element(By.ID, "exchange-title").text == \
        "GET /api/teapot?brew=1"
    shot(browser, "console-exchange.png")
    browser.find_element(By.CSS_SELECTOR,
                         '.body-tools[data-for="response-body"] '
                         'button[data-mode="text"]').click()
    assert browser.find_element(By.ID, "response-body").text == \
        json.dumps(BODY)

    browser.get(collector.url("/#/counters"))
    wait.until(EC.presence_of_element_located((By.CSS_SELECTOR,
                                               "#chart canvas")))
    assert "web-7 browser pid 1234" in browser.find_element(
        By.ID, "counter-worker").text
    legend = browser.find_element(By.ID, "chart").text
    assert "msg_sent" in legend and "hdr_filter_hit" in legend
    shot(browser, "console-counters.png")

    browser.get(collector.url("/#/control"))
    wait.until(lambda d: d.find_element(By.NAME, "backoff_ms")
               .get_attribute("value") == "0")
    Select(browser.find_element(By.NAME, "logging_level")).select_by_value(
        "metadata")
    browser.find_element(By.CSS_SELECTOR, "#control-form button").click()
    wait.until(EC.text_to_be_present_in_element((By.ID, "control-status"),
                                                "Saved"))
    assert collector.get("/api/control")["logging_level"] == "metadata"
    shot(browser, "console-control.png")

    # a bypass that matches everything is refused; another one is sent
    # only once the operator has seen what it opens
    form = browser.find_element(By.ID, "control-form")
    form.find_element(By.NAME, "url_on").click()
    patterns = form.find_element(By.NAME, "url_patterns")
    patterns.send_keys(".")
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    wait.until(EC.text_to_be_present_in_element((By.ID, "control-status"),
                                                "skip authorization"))
    patterns.clear()
    patterns.send_keys("^/internal/")
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    warning = wait.until(EC.visibility_of_element_located(
        (By.ID, "control-confirm")))
    assert "^/internal/" in warning.text
    assert collector.get("/api/control")["url_bypass"] is None
    shot(browser, "console-control-confirm.png")
    browser.find_element(By.ID, "confirm-send").click()
    wait.until(EC.text_to_be_present_in_element((By.ID, "control-status"),
                                                "Saved"))
    assert collector.get("/api/control")["url_bypass"]["patterns"] == \
        ["^/internal/"]

    browser.get(collector.url("/#/changes"))
    rows = wait.until(lambda d: (lambda r: r if len(r) == 2 else None)(
        d.find_elements(By.CSS_SELECTOR, "#changes tbody tr")))
    newest = rows[0].find_elements(By.TAG_NAME, "td")
    assert newest[2].text == "127.0.0.1" and newest[3].text == "url_bypass"
    assert "^/internal/" in newest[5].text
    shot(browser, "console-changes.png")

    # nothing the console does needs what its policy forbids
    refused = [e["message"] for e in browser.get_log("browser")
               if "Content Security Policy" in e["message"]]
    assert refused == []


def test_console_shows_sensor_text_as_text(browser, collector):
    # headers and bodies come from the network: markup in them is shown,
    # never run
    evil = "<img src=x onerror=\"document.title='owned'\">"
    msg = merged_log(200, "/x?" + "<b>bold</b>", {"html": evil})
    collector.send_raw(msg)
    [x] = collector.wait_exchanges(1)
    browser.get(collector.url(f"/#/exchange/{x['id']}"))
    settle(browser).until(EC.text_to_be_present_in_element(
        (By.ID, "response-body"), "onerror"))
    assert browser.title != "owned"
    assert browser.find_elements(By.CSS_SELECTOR, "main img") == []
    assert "<b>bold</b>" in browser.find_element(By.ID, "exchange-title").text


def test_console_pages_back_and_downloads_whole_bodies(browser, collector):
    stream = b"".join(merged_log(200, f"/api/page/{n}", {"n": n})
                      for n in range(30))
    large = {"data": "x" * 100000}
    stream += merged_log(200, "/api/large", large)
    assert collector.send_raw(stream).count(b"HTTP/1.1 200 OK") == 31
    [big] = collector.wait_exchanges(31)[:1]

    wait = settle(browser)
    browser.get(collector.url("/"))
    Select(browser.find_element(By.NAME, "rows")).select_by_visible_text("25")
    browser.find_element(By.CSS_SELECTOR, "#filters button").click()

    def ids(d):
        # read in one script, so a redraw cannot fall between the rows
        return d.execute_script(
            "return Array.from(document.querySelectorAll('tr.exchange'),"
            " tr => Number(tr.dataset.id));")

    wait.until(lambda d: len(ids(d)) == 25)
    first = ids(browser)
    assert first == list(range(31, 6, -1))
    browser.find_element(By.ID, "page-older").click()
    wait.until(lambda d: ids(d) == list(range(6, 0, -1)))
    assert not browser.find_element(By.ID, "page-older").is_enabled()
    shot(browser, "console-older-page.png")
    browser.find_element(By.ID, "page-newer").click()
    wait.until(lambda d: ids(d) == first)
    assert not browser.find_element(By.ID, "page-newer").is_enabled()

    # the list shows a body's size, one exchange its first bytes and a
    # link to all of them
    def open_big(d):
        row = d.find_element(By.CSS_SELECTOR, f'tr[data-id="{big["id"]}"]')
        assert f"{big['response_body_size']} B" in row.text
        row.click()
        return True
    wait.until(open_big)
    note = wait.until(EC.presence_of_element_located(
        (By.CSS_SELECTOR, '.body-note[data-for="response-body"] a')))
    size = len(json.dumps(large).encode())
    assert note.text == f"Download all {size} bytes"
    assert "The first 65536 of" in browser.find_element(
        By.CSS_SELECTOR, '.body-note[data-for="response-body"]').text
    shown = browser.find_element(By.ID, "response-body").text
    assert shown.startswith('{"data": "xxx') and len(shown) < size
    href = note.get_attribute("href")
    assert href == collector.url(f"/api/exchanges/{big['id']}/response_body")
    with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(
            href, timeout=10) as res:
        assert res.read() == json.dumps(large).encode()
        assert res.headers["Content-Disposition"].startswith("attachment")
    shot(browser, "console-large-body.png")


def test_a_page_cannot_write_into_the_store(browser, collector):
    # any page the operator opens may send to the ingest port; a no-cors
    # request needs nobody's permission, but the browser marks it.  (The
    # console's own pages cannot send there at all: their policy allows
    # connections to the console alone.)
    with other_page() as url:
        browser.get(url)
        send_from_page(browser, collector)


@contextlib.contextmanager
def other_page():
    """A page of another origin on this machine, as any local web
    application the operator has open."""
    class Page(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = b"<!doctype html><p>another page</p>"
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()


def send_from_page(browser, collector):
    doc = merged_log(200, "/forged", {"forged": True})
    body = doc[doc.index(b"\r\n\r\n") + 4:].decode()
    outcome = browser.execute_async_script(
        """const done = arguments[arguments.length - 1];
        fetch(arguments[0], {method: "POST", mode: "no-cors",
                             body: arguments[1]})
          .then(() => done("sent"), (e) => done("failed: " + e));""",
        f"http://127.0.0.1:{collector.ingest_port}/mergedlog?sensor=nginx",
        body)
    assert outcome in ("sent", "failed: TypeError: Failed to fetch")
    wait_until(lambda: collector.counters()["browser_requests_refused"] >= 1,
               10)
    c = collector.counters()
    assert c["merged_logs"] == 0 and c["exchanges_stored"] == 0
    assert collector.exchanges() == []


TOKEN = "YnJvd3Nlci10ZXN0LXRva2VuLTAxMjM0NQ=="


@pytest.fixture
def guarded(make_prefix):
    c = RealCollector(make_prefix(), token=TOKEN).start()
    yield c
    assert c.stop() == 0


def sign_in(browser):
    browser.find_element(By.CSS_SELECTOR, "#signin button").click()


def status_of(browser, path):
    return browser.execute_async_script(
        """const done = arguments[arguments.length - 1];
        fetch(arguments[0]).then((r) => done(r.status),
                                 (e) => done(String(e)));""", path)


def test_sign_in_shows_exchanges_and_nothing_without_the_cookie(browser,
                                                                guarded):
    guarded.send_raw(merged_log(418, "/api/teapot", BODY))
    guarded.wait_exchanges(1)
    wait = WebDriverWait(browser, 20)

    browser.get(guarded.url("/"))
    wait.until(EC.url_contains("/signin.html"))
    field = browser.find_element(By.NAME, "token")
    field.send_keys("not-the-token-at-all")
    sign_in(browser)
    wait.until(EC.visibility_of_element_located((By.ID, "signin-error")))
    shot(browser, "console-signin-wrong.png")

    field = browser.find_element(By.NAME, "token")
    field.clear()
    field.send_keys(TOKEN)
    sign_in(browser)
    wait.until(EC.presence_of_element_located(
        (By.XPATH, "//tr[@class='exchange'][td[contains(@class,'status') "
                   "and text()='418']]")))
    shot(browser, "console-signed-in.png")
    # the token lives where no script of any page can read it
    assert browser.execute_script("return document.cookie") == ""
    cookie = browser.get_cookie("kv_console")
    assert cookie["httpOnly"] and cookie["sameSite"] == "Strict"
    assert status_of(browser, "/api/exchanges") == 200

    # without the cookie: refused, and the console goes back to sign-in
    browser.delete_all_cookies()
    assert status_of(browser, "/api/exchanges") == 401
    browser.get(guarded.url("/#/exchanges"))
    wait.until(EC.url_contains("/signin.html"))

    # signing out forgets the cookie
    browser.find_element(By.NAME, "token").send_keys(TOKEN)
    sign_in(browser)
    sign_out = wait.until(EC.visibility_of_element_located(
        (By.ID, "sign-out")))
    sign_out.click()
    wait.until(EC.url_contains("/signin.html"))
    assert browser.get_cookie("kv_console") is None
    assert status_of(browser, "/api/exchanges") == 401


def api_log(method, uri, status, body=None, started_ms=None, headers=()):
    """A merged log of one exchange of a small shop, now."""
    doc = json.dumps([{
        "request": {"headers": {"Host": "shop.test", "Accept": "*/*",
                                **dict(headers)},
                    "method": method, "uri": uri},
        "response": {"headers": {"Content-Type": "application/json"},
                     "body64": base64.b64encode(
                         json.dumps(body).encode()).decode(),
                     "status": status},
        "client_ip": "192.0.2.10", "client_port": 51234,
        "started_at": started_ms or int(time.time() * 1000), "tries": [],
        "latencies": {"request": 7}}], separators=(",", ":")).encode()
    return (b"POST /mergedlog?sensor=nginx HTTP/1.1\r\nHost:c\r\n"
            b"Content-Type:application/json\r\n"
            b"Content-Length: %d\r\n\r\n" % len(doc)) + doc


DECLARED = b"""openapi: 3.1.0
info: {title: shop, version: "1"}
paths:
  /shop/users/{userId}:
    get:
      responses: {"200": {description: a user}}
"""


def test_apis_view_lists_filters_and_opens_an_endpoint(browser, guarded):
    stream = b"".join(
        api_log("GET", f"/shop/users/{n}", 200,
                {"id": n, "email": f"u{n}@example.com", "active": True})
        for n in range(1, 13))
    stream += b"".join(api_log("GET", f"/shop/users/{n}/orders", 200, [])
                       for n in range(1, 4))
    stream += api_log("POST", "/shop/login", 401, {"error": "no"})
    stream += api_log("GET", "/shop/users/99", 500, {"error": "down"})
    assert guarded.send_raw(stream).count(b"HTTP/1.1 200 OK") == 17
    guarded.wait_exchanges(17)
    status, doc = guarded.request("PUT", "/api/declared?host=shop.test",
                                  DECLARED)
    assert status == 200, doc

    wait = settle(browser)
    browser.get(guarded.url("/"))
    wait.until(EC.url_contains("/signin.html"))
    browser.find_element(By.NAME, "token").send_keys(TOKEN)
    sign_in(browser)
    wait.until(EC.presence_of_element_located((By.ID, "filters")))
    browser.get(guarded.url("/#/apis"))

    def listed(d):
        return d.execute_script(
            "return Array.from(document.querySelectorAll('tr.endpoint'),"
            " tr => Array.from(tr.children, td => td.textContent));")

    rows = wait.until(lambda d: (lambda r: r if len(r) == 3 else None)(
        listed(d)))
    by = {(r[1], r[2]): r for r in rows}
    users = by[("GET", "/shop/users/{id}")]
    assert users[3] == "13" and users[4] == "7.7 %"
    assert "email" in users[9] and users[10] == "undeclared_status"
    assert "shadow" in by[("POST", "/shop/login")][10]
    shot(browser, "console-apis.png")

    # the filters: shadow only, errors over a threshold
    form = browser.find_element(By.ID, "api-filters")
    form.find_element(By.NAME, "shadow").click()
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    wait.until(lambda d: sorted(r[2] for r in listed(d)) ==
               ["/shop/login", "/shop/users/{id}/orders"])
    form.find_element(By.NAME, "shadow").click()
    form.find_element(By.NAME, "errors_over").send_keys("50")
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    wait.until(lambda d: [r[2] for r in listed(d)] == ["/shop/login"])

    # the exports download through the sign-in cookie
    href = browser.find_element(By.ID, "export-openapi").get_attribute("href")
    assert href == guarded.url("/api/openapi?host=shop.test")
    openapi = browser.execute_async_script(
        """const done = arguments[arguments.length - 1];
        fetch(arguments[0]).then((r) => r.json()).then(done,
                                 (e) => done(String(e)));""", href)
    assert "/shop/users/{id}" in openapi["paths"]

    # one endpoint: its numbers, chart, sensitive types, drift, schemas
    form.find_element(By.NAME, "errors_over").clear()
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    wait.until(lambda d: len(listed(d)) == 3)
    wait.until(lambda d: d.find_element(
        By.XPATH, "//tr[@class='endpoint'][td[text()='/shop/users/{id}']]")
        .click() or True)
    wait.until(EC.text_to_be_present_in_element((By.ID, "endpoint-title"),
                                                "GET /shop/users/{id}"))
    assert browser.find_element(By.ID, "endpoint-count").text == "13"
    wait.until(EC.presence_of_element_located(
        (By.CSS_SELECTOR, "#endpoint-chart canvas")))
    assert "email" in browser.find_element(By.ID, "endpoint-sensitive").text
    drift = browser.find_element(By.ID, "endpoint-drift").text
    assert "status 500 (1 times) is not declared" in drift
    schema = json.loads(browser.find_element(
        By.CSS_SELECTOR, '#endpoint-response-schemas pre[data-status="200"]')
        .text)
    assert schema["properties"]["email"]["format"] == "email"
    examples = browser.find_elements(By.CSS_SELECTOR,
                                     "#endpoint-examples a")
    assert len(examples) == 5
    har = browser.find_element(By.ID, "endpoint-har").get_attribute("href")
    entries = browser.execute_async_script(
        """const done = arguments[arguments.length - 1];
        fetch(arguments[0]).then((r) => r.json()).then(
          (h) => done(h.log.entries.length), (e) => done(String(e)));""",
        har)
    assert entries == 13
    shot(browser, "console-endpoint.png")
    examples[0].click()
    wait.until(EC.text_to_be_present_in_element((By.ID, "exchange-title"),
                                                "GET /shop/users/99"))

    refused = [e["message"] for e in browser.get_log("browser")
               if "Content Security Policy" in e["message"]]
    assert refused == []
