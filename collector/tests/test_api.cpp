/*
 * The console's API on a real store, without sockets: a list is metadata
 * and sizes and pages backwards, one exchange shows its bodies up to a
 * limit with links to all of them, and every refusal is JSON.
 */

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <boost/json/parse.hpp>
#include <unistd.h>

#include "api/console_api.h"
#include "base/text.h"
#include "store/sqlite_store.h"
#include "support.h"

namespace json = boost::json;
namespace http = boost::beast::http;

namespace {

struct Rig {
    explicit Rig(kv::ConsoleInfo info = {})
    {
        char dir[] = "/tmp/kv-api-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        kv::SqliteStore::Options opt;
        opt.path = std::string(dir) + "/collector.db";
        std::string error;
        store = kv::SqliteStore::open(opt, error);
        EXPECT_TRUE(store) << error;
        store->start();
        control.set_journal([this](const kv::ControlChangeRow &c) {
            store->add_control_change(c);
        });
        api = std::make_unique<kv::ConsoleApi>(*store, control, counters,
                                               std::move(info));
    }
    ~Rig() { store->stop(); }

    /* Stores one exchange per body given; their ids, oldest first. */
    std::vector<int64_t> keep(std::vector<std::optional<std::string>> bodies)
    {
        std::vector<kv::Record> records;
        for (auto &b : bodies) {
            kv::Exchange x;
            x.format = "merged";
            x.method = "GET";
            x.uri = "/n/" + std::to_string(records.size());
            x.status = 200;
            x.request_headers = {{"Host", "h"}};
            x.response_body = std::move(b);
            x.meta = "{}";
            records.emplace_back(std::move(x));
        }
        store->push(records);
        store->flush();
        std::vector<int64_t> ids;
        kv::ExchangeQuery q;
        q.limit = 1000;
        for (const auto &row : store->exchanges(q)) {
            ids.insert(ids.begin(), row.id);
        }
        return ids;
    }

    kv::HttpResponse
    call(const std::string &target, http::verb method = http::verb::get,
         const std::string &body = "",
         std::vector<std::pair<std::string, std::string>> headers = {})
    {
        kv::HttpRequest req{method, target, 11};
        req.set(http::field::host, "127.0.0.1:8481");
        for (const auto &[name, value] : headers) {
            req.set(name, value);
        }
        req.body() = body;
        return api->handle(req, kv::HttpPeer{"192.0.2.1", false});
    }

    json::value get(const std::string &target, unsigned want = 200)
    {
        kv::HttpResponse res = call(target);
        EXPECT_EQ(res.result_int(), want) << target << ": " << res.body();
        EXPECT_EQ(res[http::field::content_type],
                  "application/json; charset=utf-8");
        return json::parse(res.body());
    }

    kv::IngestCounters counters;
    kv::ControlState control{"", counters, [](const std::string &) {}};
    std::unique_ptr<kv::SqliteStore> store;
    std::unique_ptr<kv::ConsoleApi> api;
};

std::vector<std::string>
keys(const json::object &o)
{
    std::vector<std::string> out;
    for (const auto &m : o) {
        out.emplace_back(m.key());
    }
    return out;
}

} // namespace

TEST(ConsoleApi, AListIsMetadataAndSizesAndPagesBackwards)
{
    Rig rig;
    auto ids = rig.keep(
        {std::string(300000, 'x'), std::nullopt, "small", "", "a", "b", "c"});

    json::array page = rig.get("/api/exchanges?limit=3").as_array();
    ASSERT_EQ(page.size(), 3u);
    const json::object &newest = page[0].as_object();
    EXPECT_EQ(newest.at("id"), ids.back());
    for (const char *absent : {"request_body", "response_body",
                               "request_headers", "response_headers", "meta"}) {
        EXPECT_FALSE(newest.contains(absent)) << absent;
    }
    auto names = keys(newest);
    ASSERT_GE(names.size(), 11u);
    EXPECT_EQ(
        std::vector<std::string>(names.begin(), names.begin() + 11),
        (std::vector<std::string>{"id", "time_ms", "sensor_host", "instance",
                                  "format", "method", "uri", "status",
                                  "client_ip", "client_port", "latency_ms"}));

    /* each page starts below the last id of the one before */
    std::vector<int64_t> seen;
    std::string target = "/api/exchanges?limit=3";
    for (;;) {
        json::array p = rig.get(target).as_array();
        if (p.empty()) {
            break;
        }
        for (const auto &x : p) {
            seen.push_back(x.at("id").as_int64());
        }
        target = "/api/exchanges?limit=3&before=" + std::to_string(seen.back());
    }
    EXPECT_EQ(seen, std::vector<int64_t>(ids.rbegin(), ids.rend()));

    /* sizes stand for the bodies: null without one, 0 for an empty one */
    json::array all = rig.get("/api/exchanges").as_array();
    EXPECT_EQ(all.back().at("response_body_size"), 300000);
    EXPECT_TRUE(all[all.size() - 2].at("response_body_size").is_null());
    EXPECT_EQ(all[all.size() - 4].at("response_body_size"), 0);
    EXPECT_TRUE(all.back().at("request_body_size").is_null());
}

TEST(ConsoleApi, OneExchangeShowsItsBodiesUpToALimitAndLinksToAllOfThem)
{
    Rig rig;
    /* "é" is two bytes: a limit of 10 falls inside the fifth */
    std::string accents = "a";
    for (int i = 0; i < 40000; i++) {
        accents += "\xc3\xa9";
    }
    std::string binary("\x89PNG\r\n\x1a\n\xff\0", 10);
    auto ids = rig.keep({accents, binary, std::nullopt});

    json::object x =
        rig.get("/api/exchanges/" + std::to_string(ids[0]) + "?body_limit=10")
            .as_object();
    EXPECT_EQ(x.at("response_body"), "a\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9");
    EXPECT_EQ(x.at("response_body_partial"), true);
    EXPECT_EQ(x.at("response_body_size"), 80001);
    std::string url =
        "/api/exchanges/" + std::to_string(ids[0]) + "/response_body";
    EXPECT_EQ(x.at("response_body_url"), json::value(url));
    EXPECT_EQ(x.at("request_body"), nullptr);
    EXPECT_EQ(x.at("request_body_url"), nullptr);
    EXPECT_EQ(x.at("request_headers").at(0).at(1), "h");
    /* the documented order, then what was added behind it */
    std::vector<std::string> want = {"id",
                                     "time_ms",
                                     "sensor_host",
                                     "instance",
                                     "format",
                                     "method",
                                     "uri",
                                     "status",
                                     "client_ip",
                                     "client_port",
                                     "latency_ms",
                                     "request_headers",
                                     "response_headers",
                                     "request_body",
                                     "response_body",
                                     "request_body_truncated",
                                     "response_body_truncated"};
    auto got = keys(x);
    ASSERT_GE(got.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 17), want);

    /* the default limit, and all of it for the download */
    x = rig.get("/api/exchanges/" + std::to_string(ids[0])).as_object();
    EXPECT_LE(x.at("response_body").as_string().size(),
              kv::ConsoleApi::default_body_window);
    kv::HttpResponse file = rig.call(url);
    EXPECT_EQ(file.result_int(), 200u);
    EXPECT_EQ(file.body(), accents);
    EXPECT_EQ(file[http::field::content_type], "application/octet-stream");
    EXPECT_EQ(file[http::field::content_disposition],
              "attachment; filename=\"exchange-" + std::to_string(ids[0])
                  + "-response-body.bin\"");
    EXPECT_EQ(file["X-Content-Type-Options"], "nosniff");

    /* bytes that are not text also come exactly, in base64 */
    x = rig.get("/api/exchanges/" + std::to_string(ids[1])).as_object();
    EXPECT_EQ(x.at("response_body_base64"),
              json::value(kv::base64_encode(binary)));
    EXPECT_EQ(x.at("response_body_partial"), false);
    EXPECT_EQ(
        rig.call("/api/exchanges/" + std::to_string(ids[1]) + "/response_body")
            .body(),
        binary);

    /* no body, no download; a limit out of range is refused */
    rig.get("/api/exchanges/" + std::to_string(ids[2]) + "/response_body", 404);
    rig.get("/api/exchanges/" + std::to_string(ids[2]) + "/request_body", 404);
    rig.get("/api/exchanges/" + std::to_string(ids[0]) + "?body_limit=-1", 400);
    rig.get("/api/exchanges/" + std::to_string(ids[0]) + "?body_limit=99999999",
            400);
    rig.get("/api/exchanges/999999", 404);
    rig.get("/api/exchanges/999999/response_body", 404);
}

TEST(ConsoleApi, RefusalsSayWhyInJson)
{
    Rig rig;
    for (const char *bad :
         {"/api/exchanges?limit=0", "/api/exchanges?limit=x",
          "/api/exchanges?status=6xx", "/api/exchanges?format=csv",
          "/api/stats?since_ms=-5"}) {
        EXPECT_FALSE(rig.get(bad, 400).at("error").as_string().empty()) << bad;
    }
    rig.get("/api/nothing", 404);
    rig.get("/api/exchanges/1/headers", 404);
    EXPECT_EQ(rig.call("/api/exchanges", http::verb::post).result_int(), 405u);

    json::value before = rig.get("/api/control");
    for (const char *change :
         {"not json", "{\"logging_level\": \"loud\"}", "[1]"}) {
        kv::HttpResponse res =
            rig.call("/api/control", http::verb::put, change);
        EXPECT_EQ(res.result_int(), 400u) << change;
        EXPECT_TRUE(json::parse(res.body()).at("error").is_string());
    }
    EXPECT_EQ(rig.get("/api/control"), before);
    kv::HttpResponse res =
        rig.call("/api/control", http::verb::put, "{\"sampling_rate\": 5}");
    EXPECT_EQ(res.result_int(), 200u);
    EXPECT_EQ(json::parse(res.body()).at("sampling_rate"), 5);

    /* the console's own files; filters decode as a browser encodes them */
    EXPECT_NE(rig.call("/").body().find("<title>kestrelvanes"),
              std::string::npos);
    EXPECT_EQ(rig.call("/app.js")[http::field::content_type],
              "text/javascript; charset=utf-8");
    EXPECT_EQ(rig.call("/nothing.js").result_int(), 404u);
    rig.keep({std::nullopt});
    EXPECT_EQ(
        rig.get("/api/exchanges?path=%2Fn%2F0&method=get").as_array().size(),
        1u);
}

TEST(ConsoleApi, MetricsCarryTheFleetsWorkersAndTheirRates)
{
    Rig rig;
    int64_t now = kv::now_ms();
    std::vector<kv::Record> records;
    /* a worker whose name needs escaping, heard from twice, 10 s apart */
    for (int n = 0; n < 2; n++) {
        kv::StatsDoc s;
        s.time_ms = now - 10000 + n * 10000;
        s.sensor_host = "web \"1\"";
        s.instance = "edge";
        s.pid = 77;
        s.access = n == 0 ? "{}"
                          : "{\"log_dropped_queue_full\":30,"
                            "\"log_dropped_thread\":10,\"logs_send_fail\":5,"
                            "\"msg_sent\":100}";
        s.auth =
            n == 0 ? "{}" : "{\"sr_send_fail\":2,\"failure_overridden\":3}";
        records.emplace_back(s);
    }
    /* and one long gone, which has no rates */
    kv::Heartbeat gone;
    gone.time_ms = now - 3600000;
    gone.sensor_host = "web-2";
    gone.instance = "edge";
    gone.pid = 5;
    gone.logging_level = "default";
    records.emplace_back(gone);
    rig.store->push(records);
    rig.store->flush();

    kv::HttpResponse res = rig.call("/metrics");
    EXPECT_EQ(res.result_int(), 200u);
    EXPECT_EQ(res[http::field::content_type],
              "text/plain; version=0.0.4; charset=utf-8");
    const std::string &text = res.body();
    auto has = [&](const std::string &line) {
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos)
            << line << "\n"
            << text;
    };
    std::string worker =
        "pid=\"77\",sensor_host=\"web \\\"1\\\"\",sensor_instance=\"edge\"";
    has("kestrelvanes_sensor_up{" + worker + "} 1");
    has("kestrelvanes_sensor_period_seconds{" + worker + "} 10");
    has("kestrelvanes_sensor_drops_per_second{" + worker + "} 4");
    has("kestrelvanes_sensor_send_failures_per_second{" + worker + "} 0.5");
    has("kestrelvanes_sensor_authorization_failures_per_second{" + worker
        + "} 0.5");
    has("kestrelvanes_sensor_period_events{counter=\"msg_sent\","
        "group=\"access\","
        + worker + "} 100");
    has("kestrelvanes_sensor_up{pid=\"5\",sensor_host=\"web-2\","
        "sensor_instance=\"edge\"} 0");
    EXPECT_EQ(text.find("kestrelvanes_sensor_drops_per_second{pid=\"5\""),
              std::string::npos);
    has("# TYPE kestrelvanes_collector_exchanges_stored_total counter");
    has("# TYPE kestrelvanes_collector_connections_open gauge");
}

TEST(ConsoleApi, WorkersPageWithTheirStateAndDates)
{
    Rig rig;
    kv::ConsoleInfo info;
    info.offline_after_ms = 60000;
    rig.api = std::make_unique<kv::ConsoleApi>(*rig.store, rig.control,
                                               rig.counters, info);
    int64_t now = kv::now_ms();
    std::vector<kv::Record> records;
    for (int pid : {1, 2, 3}) {
        kv::Heartbeat hb;
        hb.time_ms = pid == 3 ? now - 120000 : now;
        hb.sensor_host = "web";
        hb.instance = "edge";
        hb.pid = pid;
        hb.logging_level = "default";
        records.emplace_back(hb);
    }
    rig.store->push(records);
    rig.store->flush();

    json::array first = rig.get("/api/sensors?limit=2").as_array();
    ASSERT_EQ(first.size(), 2u);
    std::string after = std::string(first[1].at("key").as_string());
    std::string encoded;
    for (char c : after) {
        encoded += c == '\n'  ? std::string("%0A")
                   : c == ' ' ? std::string("%20")
                              : std::string(1, c);
    }
    json::array rest =
        rig.get("/api/sensors?limit=2&after=" + encoded).as_array();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(first[0].at("online"), true);
    EXPECT_EQ(rest[0].at("pid"), 3);
    EXPECT_EQ(rest[0].at("online"), false);
    EXPECT_EQ(rest[0].at("last_heartbeat"),
              json::value(kv::iso8601(now - 120000)));
    EXPECT_EQ(kv::iso8601(1700000000123), "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(kv::iso8601(0), "1970-01-01T00:00:00.000Z");
    rig.get("/api/sensors?limit=0", 400);
    rig.get("/api/exchanges?until_ms=x", 400);
    rig.get("/api/exchanges?path=%FF", 400);
}

namespace {

void
expect_strict_headers(const kv::HttpResponse &res, const std::string &what)
{
    std::string csp(res["Content-Security-Policy"]);
    EXPECT_NE(csp.find("script-src 'self'"), std::string::npos) << what;
    EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos) << what;
    EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << what;
    EXPECT_EQ(res["X-Frame-Options"], "DENY") << what;
    EXPECT_EQ(res["X-Content-Type-Options"], "nosniff") << what;
    EXPECT_EQ(res["Referrer-Policy"], "no-referrer") << what;
}

const std::string token = "Zm9vYmFyLXRva2VuLTAxMjM0NTY3ODk=";

kv::ConsoleInfo
with_token(bool tls = false)
{
    kv::ConsoleInfo info;
    info.access.token = token;
    info.access.tls = tls;
    return info;
}

} // namespace

TEST(ConsoleAccess, AHostNotOursGetsNothingButA421)
{
    kv::ConsoleInfo info;
    info.access.hosts = {"Console.Example"};
    info.access.listen_address = "192.0.2.10";
    Rig rig(info);
    for (const char *host :
         {"attacker.example:8481", "attacker.example", "localhost.:8481",
          "127.0.0.1.nip.io", "localhost.attacker.example", "192.0.2.11",
          "console.example.attacker.example", "", "[::1", "a:b:c"}) {
        kv::HttpResponse res =
            rig.call("/api/exchanges", http::verb::get, "", {{"Host", host}});
        EXPECT_EQ(res.result_int(), 421u) << host;
        EXPECT_TRUE(res.body().empty()) << host;
        expect_strict_headers(res, host);
        /* nor may it change anything */
        res = rig.call("/api/control", http::verb::put,
                       R"({"sampling_rate": 9})", {{"Host", host}});
        EXPECT_EQ(res.result_int(), 421u) << host;
    }
    EXPECT_EQ(rig.get("/api/control").at("sampling_rate"), 0);
    for (const char *host :
         {"localhost", "LOCALHOST:8481", "127.0.0.5", "[::1]:8481",
          "[::ffff:127.0.0.1]", "console.example:443", "192.0.2.10:8481"}) {
        EXPECT_EQ(
            rig.call("/api/exchanges", http::verb::get, "", {{"Host", host}})
                .result_int(),
            200u)
            << host;
    }
}

TEST(ConsoleAccess, ChangesFromAnotherOriginAreRefused)
{
    Rig rig;
    auto put = [&](const char *origin) {
        std::vector<std::pair<std::string, std::string>> h;
        if (origin) {
            h.emplace_back("Origin", origin);
        }
        return rig
            .call("/api/control", http::verb::put, R"({"sampling_rate": 7})", h)
            .result_int();
    };
    for (const char *foreign :
         {"http://attacker.example", "null", "http://127.0.0.1:9999",
          "https://127.0.0.1:8481", "http://localhost:8481",
          "http://127.0.0.1:8481/x", "127.0.0.1:8481"}) {
        EXPECT_EQ(put(foreign), 403u) << foreign;
    }
    EXPECT_EQ(rig.get("/api/control").at("sampling_rate"), 0);
    EXPECT_EQ(put("http://127.0.0.1:8481"), 200u);
    EXPECT_EQ(put(nullptr), 200u); /* curl and scripts send none */
    /* reads stay readable by the console's own pages only through the
     * browser's same-origin rule; the gate lets them pass */
    EXPECT_EQ(rig.call("/api/control", http::verb::get, "",
                       {{"Origin", "http://attacker.example"}})
                  .result_int(),
              200u);
    /* a page cannot sign anyone in either */
    EXPECT_EQ(rig.call("/api/session", http::verb::post, R"({"token": "x"})",
                       {{"Origin", "http://attacker.example"}})
                  .result_int(),
              403u);
}

TEST(ConsoleAccess, WithATokenOnlyTheSignInPageIsOpen)
{
    Rig rig(with_token());
    /* every route, and any route added later, is closed */
    for (const char *path : {"/api/exchanges", "/api/control", "/api/stats",
                             "/api/control/changes", "/api/not-yet", "/metrics",
                             "/app.js", "/uPlot.iife.min.js"}) {
        kv::HttpResponse res = rig.call(path);
        EXPECT_EQ(res.result_int(), 401u) << path;
        EXPECT_EQ(res[http::field::www_authenticate],
                  "Bearer realm=\"kestrelvanes\"");
        expect_strict_headers(res, path);
    }
    EXPECT_EQ(
        rig.call("/api/control", http::verb::put, R"({"sampling_rate": 7})")
            .result_int(),
        401u);
    kv::HttpResponse home = rig.call("/");
    EXPECT_EQ(home.result_int(), 303u);
    EXPECT_EQ(home[http::field::location], "/signin.html");
    for (const char *open : {"/signin.html", "/signin.js", "/style.css"}) {
        EXPECT_EQ(rig.call(open).result_int(), 200u) << open;
    }
    EXPECT_EQ(rig.get("/api/session"),
              json::parse(R"({"token_required":true,"signed_in":false})"));

    /* the token as a bearer, and nothing like it */
    auto with = [&](const std::string &name, const std::string &value) {
        return rig.call("/api/exchanges", http::verb::get, "", {{name, value}})
            .result_int();
    };
    EXPECT_EQ(with("Authorization", "Bearer " + token), 200u);
    EXPECT_EQ(with("Authorization", "bearer  " + token + " "), 200u);
    for (const std::string &bad :
         {"Bearer " + token.substr(0, token.size() - 1),
          "Bearer " + token + "x", std::string("Bearer"), "Basic " + token,
          token}) {
        EXPECT_EQ(with("Authorization", bad), 401u) << bad;
    }

    /* signing in sets the cookie the browser sends from then on */
    kv::HttpResponse wrong = rig.call("/api/session", http::verb::post,
                                      R"({"token": "not-the-token-at-all"})",
                                      {{"Content-Type", "application/json"}});
    EXPECT_EQ(wrong.result_int(), 401u);
    EXPECT_EQ(wrong.count(http::field::set_cookie), 0u);
    kv::HttpResponse in = rig.call("/api/session", http::verb::post,
                                   R"({"token": ")" + token + R"("})",
                                   {{"Content-Type", "application/json"}});
    EXPECT_EQ(in.result_int(), 200u);
    EXPECT_EQ(in[http::field::set_cookie],
              "kv_console=" + token + "; Path=/; HttpOnly; SameSite=Strict");
    EXPECT_EQ(with("Cookie", "kv_console=" + token), 200u);
    EXPECT_EQ(with("Cookie", "theme=dark; kv_console=" + token + "; x=1"),
              200u);
    EXPECT_EQ(with("Cookie", "kv_console=" + token + "0"), 401u);
    EXPECT_EQ(with("Cookie", "kv_console_x=" + token), 401u);

    kv::HttpResponse out = rig.call("/api/session", http::verb::delete_);
    EXPECT_NE(out[http::field::set_cookie].find("Max-Age=0"),
              std::string::npos);

    /* over HTTPS the cookie is never sent in the clear */
    Rig tls(with_token(true));
    kv::HttpResponse secure = tls.call("/api/session", http::verb::post,
                                       R"({"token": ")" + token + R"("})");
    EXPECT_NE(secure[http::field::set_cookie].find("; Secure"),
              std::string::npos);
}

TEST(ConsoleAccess, TokenFilesHoldABearerTokenOfSomeLength)
{
    char dir[] = "/tmp/kv-token-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/token";
    std::string got, error;
    EXPECT_FALSE(kv::read_console_token(file, got, error));
    struct Case {
        const char *text;
        bool ok;
    } cases[] = {
        {"Zm9vYmFyLXRva2VuLTAxMjM0NTY3ODk=\n", true},
        {"  abcdefghijklmnop  \r\nsecond line\n", true},
        {"short\n", false},
        {"", false},
        {"has a space in the middle\n", false},
        {"abcdefghijklmnop;x\n", false},
        {"==abcdefghijklmnop\n", false},
    };
    for (const auto &c : cases) {
        std::ofstream(file, std::ios::trunc) << c.text;
        got.clear();
        EXPECT_EQ(kv::read_console_token(file, got, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(got.find_first_of(" \r\n"), std::string::npos);
            EXPECT_GE(got.size(), 16u);
        }
    }
    std::remove(file.c_str());
    rmdir(dir);
}

TEST(ConsoleApi, ChangesThatOpenAuthorizationWaitForConfirmationAndAreListed)
{
    Rig rig;
    kv::HttpResponse res = rig.call("/api/control", http::verb::put,
                                    R"({"logging_level": "nologging"})");
    EXPECT_EQ(res.result_int(), 409u);
    json::value refused = json::parse(res.body());
    EXPECT_EQ(refused.at("confirm"), "skip-authorization");
    EXPECT_EQ(refused.at("openings").as_array().size(), 1u);
    EXPECT_EQ(rig.get("/api/control").at("logging_level"), "default");
    EXPECT_EQ(rig.call("/api/control", http::verb::put,
                       R"({"logging_level": "nologging", "confirm": "yes"})")
                  .result_int(),
              400u);
    EXPECT_EQ(rig.call("/api/control", http::verb::put,
                       R"({"logging_level": "nologging",
                           "confirm": "skip-authorization"})")
                  .result_int(),
              200u);
    for (int rate = 1; rate <= 3; rate++) {
        ASSERT_EQ(rig.call("/api/control", http::verb::put,
                           "{\"sampling_rate\": " + std::to_string(rate) + "}")
                      .result_int(),
                  200u);
    }

    json::array page = rig.get("/api/control/changes?limit=3").as_array();
    ASSERT_EQ(page.size(), 3u);
    const json::object &newest = page[0].as_object();
    EXPECT_EQ(newest.at("caller"), "192.0.2.1");
    EXPECT_EQ(newest.at("changed"), json::parse(R"(["sampling_rate"])"));
    EXPECT_EQ(newest.at("before").at("sampling_rate"), 2);
    EXPECT_EQ(newest.at("after").at("sampling_rate"), 3);
    EXPECT_EQ(keys(newest),
              (std::vector<std::string>{"id", "time_ms", "caller", "changed",
                                        "before", "after"}));
    int64_t last = page[2].at("id").as_int64();
    json::array older =
        rig.get("/api/control/changes?before=" + std::to_string(last))
            .as_array();
    ASSERT_EQ(older.size(), 1u);
    EXPECT_EQ(older[0].at("changed"), json::parse(R"(["logging_level"])"));
    EXPECT_EQ(older[0].at("after").at("logging_level"), "nologging");
    rig.get("/api/control/changes?limit=0", 400);

    /* what the console says of redaction and sign-in */
    json::value about = rig.get("/api/collector");
    EXPECT_EQ(about.at("redaction").at("on"), true);
    EXPECT_EQ(about.at("token_required"), false);
}
