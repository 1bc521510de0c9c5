/*
 * The console's API on a real store, without sockets: a list is metadata
 * and sizes and pages backwards, one exchange shows its bodies up to a
 * limit with links to all of them, and every refusal is JSON.
 */

#include <gtest/gtest.h>

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
    Rig()
    {
        char dir[] = "/tmp/kv-api-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        kv::SqliteStore::Options opt;
        opt.path = std::string(dir) + "/collector.db";
        std::string error;
        store = kv::SqliteStore::open(opt, error);
        EXPECT_TRUE(store) << error;
        store->start();
        api = std::make_unique<kv::ConsoleApi>(*store, control, counters,
                                               kv::ConsoleInfo{});
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

    kv::HttpResponse call(const std::string &target,
                          http::verb method = http::verb::get,
                          const std::string &body = "")
    {
        kv::HttpRequest req{method, target, 11};
        req.body() = body;
        return api->handle(req);
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
