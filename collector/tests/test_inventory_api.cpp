/*
 * The endpoint inventory in the collector: the pipeline step leaves every
 * exchange as it found it, the store keeps the inventory and declared APIs
 * across restarts (writing only hosts that changed), and the console's
 * endpoints, exports and declared-API routes answer, filter and refuse as
 * they say.
 */

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <unistd.h>

#include "api/console_api.h"
#include "base/text.h"
#include "ingest/api_inventory.h"
#include "store/sqlite_store.h"

namespace json = boost::json;
namespace http = boost::beast::http;

namespace {

std::string
temp_db()
{
    char dir[] = "/tmp/kv-inventory-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return std::string(dir) + "/collector.db";
}

std::unique_ptr<kv::SqliteStore>
open_store(const std::string &path)
{
    kv::SqliteStore::Options opt;
    opt.path = path;
    std::string error;
    auto store = kv::SqliteStore::open(opt, error);
    EXPECT_TRUE(store) << error;
    return store;
}

kv::Exchange
exchange(const std::string &host, const std::string &method,
         const std::string &uri, int status,
         std::optional<std::string> response = std::nullopt)
{
    kv::Exchange x;
    x.format = "merged";
    x.method = method;
    x.uri = uri;
    x.status = status;
    x.time_ms = kv::now_ms();
    x.latency_ms = 3;
    x.request_headers = {{"Host", host}, {"Accept", "*/*"}};
    if (response) {
        x.response_headers = {{"Content-Type", "application/json"}};
        x.response_body = std::move(response);
    }
    x.meta = "{}";
    return x;
}

/* A request as the console's own page on loopback sends it. */
kv::HttpResponse
ask(kv::ConsoleApi &api, const std::string &target,
    http::verb method = http::verb::get, const std::string &body = "")
{
    kv::HttpRequest req{method, target, 11};
    req.set(http::field::host, "127.0.0.1:8481");
    req.body() = body;
    return api.handle(req, kv::HttpPeer{"127.0.0.1", false});
}

const char *const declared_yaml = R"(openapi: 3.0.3
info: {title: shop, version: "1"}
paths:
  /users/{userId}:
    get:
      responses:
        "200":
          description: a user
          content:
            application/json:
              schema:
                type: object
                properties:
                  id: {type: integer}
  /health:
    get:
      responses:
        "200": {description: up}
)";

struct Rig {
    explicit Rig(int64_t zombie_after_ms = 30LL * 86400000)
    {
        path = temp_db();
        store = open_store(path);
        store->start();
        kv::ApiInventory::Options o;
        o.zombie_after_ms = zombie_after_ms;
        o.max_declared = 2;
        inventory = std::make_unique<kv::ApiInventory>(o);
        api = std::make_unique<kv::ConsoleApi>(
            *store, control, counters, kv::ConsoleInfo{}, inventory.get());
    }
    ~Rig() { store->stop(); }

    /* Through the inventory step and into the store, as ingest does. */
    void pass(std::vector<kv::Exchange> xs)
    {
        std::vector<kv::Record> records;
        for (auto &x : xs) {
            records.emplace_back(std::move(x));
        }
        inventory->process(records);
        store->push(records);
        store->flush();
    }

    kv::HttpResponse call(const std::string &target,
                          http::verb method = http::verb::get,
                          const std::string &body = "")
    {
        return ask(*api, target, method, body);
    }

    json::value get(const std::string &target, unsigned want = 200)
    {
        kv::HttpResponse res = call(target);
        EXPECT_EQ(res.result_int(), want) << target << ": " << res.body();
        return json::parse(res.body());
    }

    /* method and path of each endpoint a list gave */
    static std::vector<std::string> names(const json::value &list)
    {
        std::vector<std::string> out;
        for (const auto &e : list.at("endpoints").as_array()) {
            out.push_back(std::string(e.at("method").as_string()) + " "
                          + std::string(e.at("path").as_string()));
        }
        return out;
    }

    std::string path;
    kv::IngestCounters counters;
    kv::ControlState control{"", counters, [](const std::string &) {}};
    std::unique_ptr<kv::SqliteStore> store;
    std::unique_ptr<kv::ApiInventory> inventory;
    std::unique_ptr<kv::ConsoleApi> api;
};

/* Traffic of a small API on two hosts. */
void
shop_traffic(Rig &rig)
{
    std::vector<kv::Exchange> xs;
    for (int i = 1; i <= 20; i++) {
        xs.push_back(exchange(
            "shop.test", "GET", "/users/" + std::to_string(i) + "?expand=1",
            i % 4 == 0 ? 500 : 200, R"({"id":1,"email":"a@example.com"})"));
    }
    xs.push_back(exchange("shop.test", "GET", "/users/search", 200, "[]"));
    xs.push_back(exchange("shop.test", "POST", "/login", 401));
    xs.push_back(exchange("other.test", "GET", "/users/7", 200, "{}"));
    rig.pass(std::move(xs));
}

} // namespace

TEST(ApiInventory, CountsEveryExchangeAndLeavesItAsItWas)
{
    kv::ApiInventory inv({});
    kv::Exchange with = exchange("Shop.Test", "POST", "/a/1?q=2", 201, "{}");
    with.request_body = R"({"password":"p"})";
    with.request_body_truncated = true;
    kv::Exchange without = exchange("shop.test", "GET", "/a/2", 204);
    without.request_headers.clear();

    std::vector<kv::Record> records{with, without, kv::Heartbeat{}};
    inv.process(records);

    ASSERT_EQ(records.size(), 3u);
    for (size_t i = 0; i < 2; i++) {
        const auto &got = std::get<kv::Exchange>(records[i]);
        const auto &want = i == 0 ? with : without;
        EXPECT_EQ(got.method, want.method);
        EXPECT_EQ(got.uri, want.uri);
        EXPECT_EQ(got.request_headers, want.request_headers);
        EXPECT_EQ(got.response_headers, want.response_headers);
        EXPECT_EQ(got.request_body, want.request_body);
        EXPECT_EQ(got.response_body, want.response_body);
    }
    inv.read([](const kv::analysis::Inventory &i,
                const kv::ApiInventory::DeclaredMap &) {
        EXPECT_EQ(i.hosts(), (std::vector<std::string>{"", "shop.test"}));
        auto eps = i.endpoints("shop.test");
        EXPECT_EQ(eps.size(), 1u);
        EXPECT_EQ(eps[0].path_template, "/a/{id}");
        EXPECT_EQ(eps[0].endpoint->request_sensitive,
                  kv::analysis::kSensitiveSecret);
        EXPECT_EQ(eps[0].endpoint->query_names,
                  (std::vector<std::string>{"q"}));
        return 0;
    });
    EXPECT_EQ(inv.failures(), 0u);
}

TEST(ApiInventory, KeptAcrossRestartsWritingOnlyHostsThatChanged)
{
    std::string json_before;
    std::string path;
    {
        Rig rig;
        path = rig.path;
        shop_traffic(rig);
        EXPECT_EQ(rig.inventory->save(*rig.store, 1), 2u);
        EXPECT_EQ(rig.inventory->save(*rig.store, 2), 0u);
        rig.pass({exchange("other.test", "GET", "/users/8", 200)});
        EXPECT_EQ(rig.inventory->save(*rig.store, 3), 1u);
        std::string error;
        ASSERT_TRUE(rig.inventory->declare(*rig.store, "Shop.Test",
                                           declared_yaml, 5, error))
            << error;
        json_before = json::serialize(rig.get("/api/endpoints"));
    }
    auto store = open_store(path);
    auto rows = store->inventory();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].host, "other.test");
    EXPECT_EQ(rows[0].saved_ms, 3);
    EXPECT_EQ(rows[1].saved_ms, 1);

    /* read back as it was, declared API and drift included */
    kv::ApiInventory again({});
    std::vector<std::string> warnings;
    again.load(*store, warnings);
    EXPECT_TRUE(warnings.empty());
    kv::IngestCounters counters;
    kv::ControlState control{"", counters, [](const std::string &) {}};
    kv::ConsoleApi api(*store, control, counters, {}, &again);
    json::value after = json::parse(ask(api, "/api/endpoints").body());
    json::value before = json::parse(json_before);
    /* the counters of exchanges seen belong to a run, not to the hosts */
    before.as_object().erase("inventory");
    after.as_object().erase("inventory");
    EXPECT_EQ(before, after);
    EXPECT_EQ(again.save(*store, 9), 0u);

    /* a row that does not read costs that host only */
    store->save_inventory({{"broken.test", "{\"inventory_version\":1", 4}});
    kv::ApiInventory third({});
    warnings.clear();
    third.load(*store, warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("broken.test"), std::string::npos);
    third.read([](const kv::analysis::Inventory &i,
                  const kv::ApiInventory::DeclaredMap &d) {
        EXPECT_EQ(i.hosts(),
                  (std::vector<std::string>{"other.test", "shop.test"}));
        EXPECT_EQ(d.count("shop.test"), 1u);
        return 0;
    });
}

TEST(EndpointsApi, ListFiltersPagesAndMarksDrift)
{
    Rig rig(60000);
    shop_traffic(rig);

    /* by host, template and method */
    json::value all = rig.get("/api/endpoints");
    EXPECT_EQ(all.at("total"), 4);
    EXPECT_EQ(Rig::names(all), (std::vector<std::string>{
                                   "GET /users/{id}", "POST /login",
                                   "GET /users/search", "GET /users/{id}"}));
    const json::object &users = all.at("endpoints").at(3).as_object();
    EXPECT_EQ(users.at("host"), "shop.test");
    EXPECT_EQ(users.at("count"), 20);
    EXPECT_DOUBLE_EQ(users.at("error_rate").as_double(), 0.25);
    EXPECT_EQ(users.at("sensitive"), json::array{"email"});
    EXPECT_TRUE(users.at("declared").is_null());

    EXPECT_EQ(Rig::names(rig.get("/api/endpoints?host=OTHER.test")),
              std::vector<std::string>{"GET /users/{id}"});
    EXPECT_EQ(Rig::names(rig.get("/api/endpoints?sensitive=1&host=shop.test")),
              std::vector<std::string>{"GET /users/{id}"});
    /* errors: 100 % of /login, 25 % of /users/{id} */
    EXPECT_EQ(Rig::names(rig.get("/api/endpoints?errors_over=25")),
              std::vector<std::string>{"POST /login"});
    EXPECT_EQ(rig.get("/api/endpoints?errors_over=24").at("total"), 2);
    json::value page = rig.get("/api/endpoints?limit=2&offset=2");
    EXPECT_EQ(page.at("total"), 4);
    EXPECT_EQ(Rig::names(page), (std::vector<std::string>{"GET /users/search",
                                                          "GET /users/{id}"}));

    /* declared two minutes ago: /users/{userId} covers the users (and
     * /users/search, as a literal matches a declared parameter); /login is
     * a shadow; /health, never seen since, is a zombie */
    std::string error;
    ASSERT_TRUE(rig.inventory->declare(*rig.store, "shop.test", declared_yaml,
                                       kv::now_ms() - 120000, error))
        << error;
    json::value shadows = rig.get("/api/endpoints?shadow=1");
    EXPECT_EQ(Rig::names(shadows), std::vector<std::string>{"POST /login"});
    json::value drift = rig.get("/api/endpoints?drift=1&host=shop.test");
    std::map<std::string, json::value> by_name;
    for (const auto &e : drift.at("endpoints").as_array()) {
        by_name[std::string(e.at("method").as_string()) + " "
                + std::string(e.at("path").as_string())] = e.at("drift");
    }
    EXPECT_EQ(by_name["GET /health"], json::array{"zombie"});
    EXPECT_EQ(by_name["GET /users/{id}"],
              (json::array{"undeclared_status", "undeclared_member"}));
    EXPECT_EQ(by_name["POST /login"], json::array{"shadow"});
    /* the other host declared nothing: no marks, no drift */
    EXPECT_TRUE(rig.get("/api/endpoints?host=other.test")
                    .at("endpoints")
                    .at(0)
                    .at("declared")
                    .is_null());

    for (const char *bad :
         {"errors_over=101", "limit=0", "offset=-1", "shadow=maybe"}) {
        json::value e = rig.get(std::string("/api/endpoints?") + bad, 400);
        EXPECT_TRUE(e.at("error").is_string()) << bad;
    }
}

TEST(EndpointsApi, OneEndpointHasItsSeriesDriftAndExamplesOfItsOwn)
{
    Rig rig;
    shop_traffic(rig);
    std::string error;
    ASSERT_TRUE(rig.inventory->declare(*rig.store, "shop.test", declared_yaml,
                                       kv::now_ms(), error));
    std::string id;
    json::value listed = rig.get("/api/endpoints?host=shop.test");
    for (const auto &e : listed.at("endpoints").as_array()) {
        if (e.at("path") == "/users/{id}") {
            id = std::string(e.at("id").as_string());
        }
    }
    json::value one = rig.get("/api/endpoints/" + id);
    EXPECT_EQ(one.at("count"), 20);
    EXPECT_EQ(one.at("declared_path"), "/users/{userId}");
    EXPECT_EQ(one.at("undeclared_statuses"),
              (json::array{json::object{{"status", 500}, {"count", 5}}}));
    EXPECT_EQ(one.at("undeclared_members"),
              (json::array{json::object{{"where", "response 200"},
                                        {"member", "email"}}}));
    json::array counts = one.at("series").at("count").as_array();
    EXPECT_EQ(counts.back(), 20);
    EXPECT_TRUE(one.at("response_schemas").as_object().contains("200"));

    /* the newest five of its own: not /users/search, not other.test's */
    json::array examples = one.at("examples").as_array();
    ASSERT_EQ(examples.size(), 5u);
    kv::ExchangeQuery q;
    q.limit = 100;
    auto rows = rig.store->exchanges(q);
    for (size_t i = 0; i < examples.size(); i++) {
        auto row = rig.store->exchange(examples[i].as_int64(), {});
        ASSERT_TRUE(row);
        EXPECT_EQ(row->exchange.uri,
                  "/users/" + std::to_string(20 - i) + "?expand=1");
    }

    EXPECT_EQ(std::string(rig.get("/api/endpoints/0123456789abcdef", 404)
                              .at("error")
                              .as_string())
                  .substr(0, 11),
              "no endpoint");
    EXPECT_EQ(rig.call("/api/endpoints/xyz").result_int(), 404u);
}

TEST(EndpointsApi, ExportsAndDeclaredDocumentsAnswerAndRefuseClearly)
{
    Rig rig;
    shop_traffic(rig);

    /* OpenAPI: a host is needed when there are several */
    EXPECT_NE(rig.get("/api/openapi", 400)
                  .at("error")
                  .as_string()
                  .find("hosts seen: other.test, shop.test"),
              std::string::npos);
    EXPECT_EQ(rig.get("/api/openapi?host=nowhere.test", 404).at("error"),
              "no endpoint seen for host nowhere.test; hosts seen: "
              "other.test, shop.test");
    json::value doc = rig.get("/api/openapi?host=shop.test");
    EXPECT_EQ(doc.at("openapi"), "3.1.0");
    EXPECT_TRUE(doc.at("paths").as_object().contains("/users/{id}"));

    /* HAR: the list's filters, bounded, oldest first; or an endpoint's */
    json::value har = rig.get("/api/exchanges.har?limit=3&status=200");
    json::array entries = har.at("log").at("entries").as_array();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].at("request").at("url"),
              "http://shop.test/users/19?expand=1");
    EXPECT_EQ(entries[2].at("request").at("url"), "http://other.test/users/7");
    std::string login_id;
    json::value listed = rig.get("/api/endpoints");
    for (const auto &e : listed.at("endpoints").as_array()) {
        if (e.at("path") == "/login") {
            login_id = std::string(e.at("id").as_string());
        }
    }
    har = rig.get("/api/exchanges.har?endpoint=" + login_id);
    ASSERT_EQ(har.at("log").at("entries").as_array().size(), 1u);
    EXPECT_EQ(har.at("log").at("entries").at(0).at("response").at("status"),
              401);
    EXPECT_EQ(rig.call("/api/exchanges.har?limit=1001").result_int(), 400u);
    EXPECT_EQ(
        rig.call("/api/exchanges.har?endpoint=0000000000000000").result_int(),
        404u);

    /* declared documents: clear refusals, a cap on hosts */
    struct Bad {
        std::string target, body, says;
    } bads[] = {
        {"/api/declared", declared_yaml, "host is needed"},
        {"/api/declared?host=shop.test", "openapi: [", "not valid YAML: line"},
        {"/api/declared?host=shop.test", R"({"swagger":"2.0"})", "OpenAPI 3"},
        {"/api/declared?host=shop.test", "", ""},
    };
    for (const Bad &b : bads) {
        kv::HttpResponse res = rig.call(b.target, http::verb::put, b.body);
        EXPECT_EQ(res.result_int(), 400u) << b.body;
        EXPECT_NE(res.body().find(b.says), std::string::npos) << res.body();
    }
    EXPECT_EQ(rig.get("/api/declared?host=shop.test", 404).at("error"),
              "no API is declared for host shop.test");
    for (const char *host : {"shop.test", "other.test"}) {
        ASSERT_EQ(rig.call(std::string("/api/declared?host=") + host,
                           http::verb::put, declared_yaml)
                      .result_int(),
                  200u);
    }
    kv::HttpResponse third = rig.call("/api/declared?host=third.test",
                                      http::verb::put, declared_yaml);
    EXPECT_EQ(third.result_int(), 400u);
    EXPECT_NE(third.body().find("at most 2 hosts"), std::string::npos);

    json::value declared = rig.get("/api/declared?host=shop.test");
    EXPECT_EQ(declared.at("document"), declared_yaml);
    EXPECT_EQ(declared.at("operations"), 2);
    EXPECT_EQ(declared.at("drift").at("shadow").as_array().size(), 1u);
    EXPECT_EQ(rig.get("/api/declared").as_array().size(), 2u);
    EXPECT_EQ(rig.call("/api/declared?host=shop.test", http::verb::delete_)
                  .result_int(),
              200u);
    EXPECT_EQ(rig.call("/api/declared?host=shop.test", http::verb::delete_)
                  .result_int(),
              404u);
    EXPECT_EQ(rig.store->declared_apis().size(), 1u);
}

TEST(EndpointsApi, OffWithoutAnInventory)
{
    char dir[] = "/tmp/kv-inventory-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    auto store = open_store(std::string(dir) + "/c.db");
    kv::IngestCounters counters;
    kv::ControlState control{"", counters, [](const std::string &) {}};
    kv::ConsoleApi api(*store, control, counters, {});
    for (const char *target :
         {"/api/endpoints", "/api/openapi?host=a", "/api/declared"}) {
        kv::HttpResponse res = ask(api, target);
        EXPECT_EQ(res.result_int(), 404u);
        EXPECT_NE(res.body().find("--no-inventory"), std::string::npos);
    }
    /* the HAR of stored exchanges needs none */
    EXPECT_EQ(ask(api, "/api/exchanges.har").result_int(), 200u);
}
