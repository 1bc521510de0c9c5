/*
 * The same cases on both stores, SQLite and PostgreSQL: an exchange sent
 * again is kept once, every filter of the list finds what it should and
 * pages, workers page by key with their latest counters, the control
 * settings change only on the version a change read, and two collectors
 * of one database hand out the same settings.  Then what only PostgreSQL
 * does: day partitions, rows moved into a partition made late, retention
 * by age, schema steps from the one before, many collectors starting at
 * once.  PostgreSQL comes from KV_TEST_PG (a server's URI; make
 * collector-unit starts one), and each case gets a database of its own.
 */

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <unistd.h>

#include <boost/json/parse.hpp>

#include "base/text.h"
#include "control/state.h"
#include "store/exchange_filter.h"
#include "store/pg_schema.h"
#include "store/pg_store.h"
#include "store/sqlite_store.h"
#include "support.h"

namespace {

constexpr int64_t day_ms = 86400000;

std::string
temp_dir()
{
    char dir[] = "/tmp/kv-backends-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return dir;
}

/* A database of one case's own: a SQLite file, or a PostgreSQL database
 * made on the test server and dropped after. */
class Database {
  public:
    explicit Database(const std::string &backend) : backend_(backend)
    {
        if (backend == "sqlite") {
            where_ = temp_dir() + "/collector.db";
            return;
        }
        const char *server = std::getenv("KV_TEST_PG");
        if (server == nullptr || *server == '\0') {
            return;
        }
        static std::atomic<int> made{0};
        name_ =
            "kvt_" + std::to_string(getpid()) + "_" + std::to_string(made++);
        server_ = server;
        kv::PgConnection admin(server_);
        admin.exec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        admin.exec("CREATE DATABASE " + name_);
        std::string base = server_.substr(0, server_.rfind('/') + 1);
        where_ = base + name_;
    }
    ~Database()
    {
        if (!name_.empty()) {
            try {
                kv::PgConnection admin(server_);
                admin.exec("DROP DATABASE IF EXISTS " + name_
                           + " WITH (FORCE)");
            } catch (const kv::StoreError &) {
            }
        }
    }
    bool available() const { return !where_.empty(); }
    bool postgres() const { return backend_ == "postgresql"; }
    const std::string &where() const { return where_; }

    std::unique_ptr<kv::QueuedStore> open(int64_t retain_days = 0,
                                          std::string *error = nullptr)
    {
        std::string why;
        std::unique_ptr<kv::QueuedStore> s;
        if (postgres()) {
            kv::PgStore::Options o;
            o.uri = where_;
            o.retain_days = retain_days;
            s = kv::PgStore::open(o, why);
        } else {
            kv::SqliteStore::Options o;
            o.path = where_;
            s = kv::SqliteStore::open(o, why);
        }
        if (error) {
            *error = why;
        } else {
            EXPECT_TRUE(s) << why;
        }
        return s;
    }

    /* SQL straight to the PostgreSQL database */
    kv::PgConnection connect() { return kv::PgConnection(where_); }

  private:
    std::string backend_;
    std::string server_, name_, where_;
};

kv::Exchange
exchange(const std::string &request_id, const std::string &method,
         const std::string &uri, int status, int64_t time_ms = kv::now_ms())
{
    kv::Exchange x;
    x.time_ms = time_ms;
    x.received_ms = kv::now_ms();
    x.sensor_host = "web-1";
    x.instance = "edge";
    x.worker_pid = 42;
    x.format = "merged";
    x.method = method;
    x.uri = uri;
    x.status = status;
    x.client_ip = "192.0.2.1";
    x.client_port = 1234;
    x.latency_ms = 3;
    x.request_id = request_id;
    x.logging_level = "default";
    x.request_headers = {{"Host", "api.test"}, {"X-A", "1"}, {"X-A", "2"}};
    x.meta = "{}";
    x.peer = "127.0.0.1:1";
    return x;
}

void
keep(kv::Store &store, std::vector<kv::Record> records)
{
    store.push(records);
    store.flush();
}

std::vector<std::string>
uris(const std::vector<kv::ExchangeRow> &rows)
{
    std::vector<std::string> out;
    for (const auto &r : rows) {
        out.push_back(r.exchange.uri);
    }
    return out;
}

class Backend : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override
    {
        db = std::make_unique<Database>(GetParam());
        if (!db->available()) {
            GTEST_SKIP() << "KV_TEST_PG names no PostgreSQL server";
        }
    }
    std::unique_ptr<Database> db;
};

TEST_P(Backend, AnExchangeSentAgainIsKeptOnceAndEveryFilterFindsItsOwn)
{
    auto store = db->open();
    ASSERT_TRUE(store);
    store->start();
    int64_t t0 = kv::now_ms() - 60000;
    std::vector<kv::Record> recs;
    recs.emplace_back(exchange("a-1", "GET", "/api/items?page=1", 200, t0));
    recs.emplace_back(exchange("a-2", "POST", "/api/orders", 201, t0 + 1000));
    recs.emplace_back(exchange("a-3", "GET", "/api/ordersX", 404, t0 + 2000));
    recs.emplace_back(
        exchange("a-4", "DELETE", "/caf\xc3\xa9/x", 503, t0 + 3000));
    recs.emplace_back(exchange("a-5", "GET", "/caf\xc3\xa9s", 500, t0 + 4000));
    auto other = exchange("a-6", "GET", "/other", 200, t0 + 5000);
    other.sensor_host = "web-2";
    other.format = "response";
    other.response_body = std::string("\x89PNG\0\xff", 6);
    recs.emplace_back(other);
    keep(*store, recs);

    /* the same messages again, and the same request id from another
     * sensor or in the other format, which are other exchanges */
    std::vector<kv::Record> again;
    again.emplace_back(exchange("a-1", "GET", "/api/items?page=1", 200, t0));
    again.emplace_back(other);
    auto elsewhere = exchange("a-1", "GET", "/api/items?page=1", 200, t0);
    elsewhere.instance = "edge-2";
    again.emplace_back(elsewhere);
    auto as_response = exchange("a-2", "POST", "/api/orders", 201, t0 + 1000);
    as_response.format = "response";
    again.emplace_back(as_response);
    /* exchanges without a request id are never taken for each other */
    again.emplace_back(exchange("", "GET", "/no-id", 200, t0 + 6000));
    again.emplace_back(exchange("", "GET", "/no-id", 200, t0 + 6000));
    keep(*store, again);
    EXPECT_EQ(store->counters().duplicates_ignored.load(), 2u);
    EXPECT_EQ(store->counters().exchanges_stored.load(), 10u);

    auto list = [&](kv::ExchangeQuery q) {
        q.limit = q.limit == 50 ? 100 : q.limit;
        return uris(store->exchanges(q));
    };
    using V = std::vector<std::string>;
    kv::ExchangeQuery q;
    q.method = "POST";
    EXPECT_EQ(list(q), (V{"/api/orders", "/api/orders"}));
    q = {};
    q.status = 404;
    EXPECT_EQ(list(q), (V{"/api/ordersX"}));
    q = {};
    q.status_class = 5;
    EXPECT_EQ(list(q), (V{"/caf\xc3\xa9s", "/caf\xc3\xa9/x"}));
    q = {};
    q.sensor_host = "web-2";
    EXPECT_EQ(list(q), (V{"/other"}));
    q = {};
    q.format = "response";
    EXPECT_EQ(list(q), (V{"/api/orders", "/other"}));
    /* a prefix is a prefix, its last character multibyte or not */
    q = {};
    q.path = "/api/orders";
    EXPECT_EQ(list(q), (V{"/api/orders", "/api/ordersX", "/api/orders"}));
    q.path = "/caf\xc3\xa9";
    EXPECT_EQ(list(q), (V{"/caf\xc3\xa9s", "/caf\xc3\xa9/x"}));
    q.path = "/nothing";
    EXPECT_TRUE(list(q).empty());
    /* a time range: from since_ms, before until_ms */
    q = {};
    q.since_ms = t0 + 1000;
    q.until_ms = t0 + 4000;
    EXPECT_EQ(list(q), (V{"/api/orders", "/caf\xc3\xa9/x", "/api/ordersX",
                          "/api/orders"}));
    /* pages, with a filter and without */
    q = {};
    q.limit = 3;
    auto first = store->exchanges(q);
    ASSERT_EQ(first.size(), 3u);
    q.before_id = first.back().id;
    auto second = store->exchanges(q);
    ASSERT_EQ(second.size(), 3u);
    EXPECT_LT(second.front().id, first.back().id);
    q = {};
    q.method = "GET";
    q.limit = 2;
    auto gets = store->exchanges(q);
    q.before_id = gets.back().id;
    auto older = list(q);
    EXPECT_EQ(uris(gets), (V{"/no-id", "/no-id"}));
    EXPECT_EQ(older, (V{"/api/items?page=1", "/other"}));

    /* one exchange in full: headers in order, bytes as they were */
    q = {};
    q.sensor_host = "web-2";
    auto row = store->exchange(store->exchanges(q).at(0).id,
                               kv::BodyWindow{SIZE_MAX, 3});
    ASSERT_TRUE(row);
    EXPECT_EQ(row->exchange.response_body.value(), std::string("\x89PNG", 3));
    EXPECT_EQ(row->response_body_size.value(), 6);
    EXPECT_FALSE(row->exchange.request_body.has_value());
    EXPECT_EQ(row->exchange.request_headers.at(2),
              (std::pair<std::string, std::string>{"X-A", "2"}));
    EXPECT_EQ(row->exchange.time_ms, t0 + 5000);
    EXPECT_TRUE(row->exchange.request_body_truncated == false);
    store->stop();
}

TEST_P(Backend, ManyRecentExchangesAndARareOneAreFoundByPrefix)
{
    /* more than a look among the newest reads: the common prefix is found
     * among them, the rare one through its index */
    auto store = db->open();
    ASSERT_TRUE(store);
    store->start();
    std::vector<kv::Record> recs;
    recs.emplace_back(exchange("r-0", "GET", "/rare/one", 200));
    for (int i = 1; i <= kv::probe_rows + 100; i++) {
        recs.emplace_back(exchange("r-" + std::to_string(i), "GET",
                                   "/common/" + std::to_string(i), 200));
    }
    keep(*store, recs);
    kv::ExchangeQuery q;
    q.path = "/rare/";
    EXPECT_EQ(uris(store->exchanges(q)), std::vector<std::string>{"/rare/one"});
    q.path = "/common/";
    q.limit = 2;
    EXPECT_EQ(uris(store->exchanges(q)),
              (std::vector<std::string>{
                  "/common/" + std::to_string(kv::probe_rows + 100),
                  "/common/" + std::to_string(kv::probe_rows + 99)}));
    q = {};
    q.until_ms = kv::now_ms() - day_ms;
    EXPECT_TRUE(store->exchanges(q).empty());

    /* an exchange that arrives late, its time long before the others',
     * its id after theirs: a time range finds it first all the same */
    int64_t two_hours_ago = kv::now_ms() - 7200000;
    std::vector<kv::Record> late;
    late.emplace_back(exchange("late", "GET", "/late", 200, two_hours_ago));
    late.emplace_back(exchange("later", "GET", "/later", 200));
    keep(*store, late);
    q = {};
    q.until_ms = two_hours_ago + 1;
    EXPECT_EQ(uris(store->exchanges(q)), std::vector<std::string>{"/late"});
    q.since_ms = two_hours_ago;
    EXPECT_EQ(uris(store->exchanges(q)), std::vector<std::string>{"/late"});
    q = {};
    q.since_ms = two_hours_ago + 1;
    q.limit = 1;
    EXPECT_EQ(uris(store->exchanges(q)), std::vector<std::string>{"/later"});
    store->stop();
}

TEST_P(Backend, WorkersPageByKeyWithTheirLatestCounters)
{
    auto store = db->open();
    ASSERT_TRUE(store);
    store->start();
    std::vector<kv::Record> recs;
    for (int pid = 1; pid <= 5; pid++) {
        kv::Heartbeat hb;
        hb.time_ms = 1000 * pid;
        hb.sensor_host = "web-1";
        hb.instance = "edge";
        hb.logging_level = "default";
        hb.pid = pid;
        hb.peer = "127.0.0.1:" + std::to_string(pid);
        recs.emplace_back(hb);
    }
    for (int n = 1; n <= 2; n++) {
        kv::StatsDoc s;
        s.time_ms = 60000 * n;
        s.sensor_host = "web-1";
        s.instance = "edge";
        s.pid = 3;
        s.access = "{\"msg_sent\":" + std::to_string(n) + "}";
        s.auth = "{}";
        s.peer = "127.0.0.1:3";
        s.connection = 9;
        recs.emplace_back(s);
    }
    keep(*store, recs);

    kv::SensorQuery q;
    q.limit = 2;
    std::vector<int64_t> pids;
    for (;;) {
        auto page = store->sensors(q);
        for (const auto &s : page) {
            pids.push_back(s.pid.value_or(0));
        }
        if (page.size() < 2u) {
            break;
        }
        q.after = page.back().key;
    }
    EXPECT_EQ(pids, (std::vector<int64_t>{1, 2, 3, 4, 5}));

    q = {};
    q.with_counters = true;
    for (const auto &s : store->sensors(q)) {
        if (s.pid == 3) {
            EXPECT_EQ(s.last_access, "{\"msg_sent\":2}");
            EXPECT_EQ(s.previous_stats_ms.value_or(0), 60000);
            EXPECT_EQ(s.last_stats_ms.value_or(0), 120000);
            EXPECT_EQ(s.heartbeats, 1);
        } else {
            EXPECT_EQ(s.last_access, "");
            EXPECT_FALSE(s.previous_stats_ms);
        }
    }
    store->stop();
}

TEST_P(Backend, TwoCollectorsOfOneDatabaseHandOutTheSameSettings)
{
    auto a_store = db->open();
    auto b_store = db->open();
    ASSERT_TRUE(a_store && b_store);

    /* a change is stored only on the version it was made on */
    EXPECT_FALSE(a_store->control_settings());
    EXPECT_TRUE(a_store->replace_control_settings(0, "{}", 5));
    EXPECT_FALSE(b_store->replace_control_settings(0, "{}", 6));
    EXPECT_TRUE(b_store->replace_control_settings(1, "{\"x\":1}", 7));
    EXPECT_FALSE(a_store->replace_control_settings(1, "{\"x\":2}", 8));
    auto stored = a_store->control_settings();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->version, 2);
    EXPECT_EQ(stored->settings, "{\"x\":1}");

    /* from nothing stored, with a collector that has a control file */
    Database fresh(GetParam());
    a_store = fresh.open();
    b_store = fresh.open();
    ASSERT_TRUE(a_store && b_store);
    std::string dir = temp_dir();
    std::string file = dir + "/control.json";
    std::ofstream(file) << "{\"logging_level\": \"metadata\"}\n";
    kv::IngestCounters counters;
    std::vector<std::string> logs;
    auto log = [&](const std::string &s) { logs.push_back(s); };
    kv::ControlState a(file, counters, log, a_store.get());
    kv::ControlState b("", counters, log, b_store.get());
    std::string error;
    ASSERT_TRUE(a.load(error)) << error;
    ASSERT_TRUE(b.load(error)) << error;
    /* the file's settings went to the database, and so to b */
    EXPECT_EQ(b.current()->control.logging_level, "metadata");

    /* a change on b reaches a at its next poll, and a's file with it */
    auto out = b.update(boost::json::parse("{\"sampling_rate\": 50}"),
                        "192.0.2.8", false);
    ASSERT_TRUE(out.ok) << out.error;
    a.poll();
    EXPECT_EQ(a.current()->control.sampling_rate, 50);
    EXPECT_EQ(a.current()->control.logging_level, "metadata");
    EXPECT_EQ(a.current()->heartbeat_reply, b.current()->heartbeat_reply);
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"sampling_rate\": 50"), std::string::npos) << text;

    /* two changes made at once on both: neither is lost */
    std::thread t1([&] {
        EXPECT_TRUE(a.update(boost::json::parse("{\"backoff_ms\": 100}"),
                             "192.0.2.7", true)
                        .ok);
    });
    std::thread t2([&] {
        EXPECT_TRUE(
            b.update(boost::json::parse("{\"logging_level\": \"minimum\"}"),
                     "192.0.2.8", false)
                .ok);
    });
    t1.join();
    t2.join();
    a.poll();
    b.poll();
    for (const auto *s : {&a, &b}) {
        EXPECT_EQ(s->current()->control.backoff_ms, 100);
        EXPECT_EQ(s->current()->control.logging_level, "minimum");
    }

    /* an edit of the file is a change like any other */
    std::ofstream(file + ".new") << "{\"logging_level\": \"nologging\"}\n";
    ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
    a.poll();
    b.poll();
    EXPECT_EQ(b.current()->control.logging_level, "nologging");
    EXPECT_EQ(b.current()->control.backoff_ms, 0);

    /* every change, from either collector or the file, is in the one log
     * with the settings it was made on */
    auto changes = b_store->control_changes(kv::ControlChangeQuery{});
    std::vector<std::string> callers;
    for (const auto &c : changes) {
        callers.push_back(c.caller);
    }
    ASSERT_EQ(changes.size(), 5u);
    EXPECT_EQ(callers.front(), "file");
    EXPECT_EQ(callers.back(), "file");
    EXPECT_EQ(std::count(callers.begin(), callers.end(), "192.0.2.8"), 2);
    EXPECT_EQ(boost::json::parse(changes[0].after).at("logging_level"),
              "nologging");
    EXPECT_EQ(boost::json::parse(changes[0].before).at("backoff_ms"), 100);

    /* what would open authorization is judged on the stored settings and
     * refused unconfirmed on any collector; nothing is stored or logged */
    out = a.update(boost::json::parse("{\"backoff_ms\": 500}"), "192.0.2.7",
                   false);
    EXPECT_FALSE(out.ok);
    EXPECT_FALSE(out.server_error);
    EXPECT_EQ(out.openings.size(), 1u);
    EXPECT_EQ(a_store->control_settings()->version,
              b_store->control_settings()->version);
    EXPECT_EQ(b_store->control_changes(kv::ControlChangeQuery{}).size(), 5u);
    b.poll();
    EXPECT_EQ(b.current()->control.backoff_ms, 0);
}

TEST_P(Backend, CollectorsOfOneDatabaseMaskWithOneKey)
{
    auto a_store = db->open();
    auto b_store = db->open();
    ASSERT_TRUE(a_store && b_store);
    std::string first(32, '\0'), second(32, '\xff');
    first[5] = '\x7f';
    std::string kept = a_store->redaction_key(first);
    EXPECT_EQ(kept, first) << "the bytes as made, NUL and high bytes too";
    EXPECT_EQ(b_store->redaction_key(second), first);
    b_store.reset();
    EXPECT_EQ(db->open()->redaction_key(second), first);
}

TEST_P(Backend, CollectorsOfOneDatabaseKeepEachHostsInventoryAndDeclaredApi)
{
    auto a = db->open();
    auto b = db->open();
    ASSERT_TRUE(a && b);
    auto hosts = [](const std::vector<kv::InventoryRow> &rows) {
        std::vector<std::string> out;
        for (const auto &r : rows) {
            out.push_back(r.host + "=" + r.state + "@"
                          + std::to_string(r.saved_ms));
        }
        return out;
    };

    /* each collector's save replaces the hosts it names and leaves the
     * other's alone, whichever order the rows come in */
    a->save_inventory({{"b.test:80", "{\"a\":1}", 1}, {"a.test:80", "{}", 1}});
    b->save_inventory(
        {{"c.test:443", "{\"b\":1}", 2}, {"b.test:80", "{\"b\":2}", 2}});
    EXPECT_EQ(
        hosts(a->inventory()),
        (std::vector<std::string>{"a.test:80={}@1", "b.test:80={\"b\":2}@2",
                                  "c.test:443={\"b\":1}@2"}));
    a->save_inventory({});
    EXPECT_EQ(b->inventory().size(), 3u);

    /* saves at once from both, over the same hosts: every one lands whole
     * and the rows are one of the two saves' */
    std::vector<kv::InventoryRow> from_a, from_b;
    for (int i = 0; i < 50; i++) {
        std::string host = "h" + std::to_string(i) + ".test:80";
        from_a.push_back({host, "\"a\"", 10});
        from_b.insert(from_b.begin(), {host, "\"b\"", 11});
    }
    std::thread ta([&] {
        for (int i = 0; i < 5; i++) {
            EXPECT_NO_THROW(a->save_inventory(from_a));
        }
    });
    std::thread tb([&] {
        for (int i = 0; i < 5; i++) {
            EXPECT_NO_THROW(b->save_inventory(from_b));
        }
    });
    ta.join();
    tb.join();
    auto rows = a->inventory();
    ASSERT_EQ(rows.size(), 53u);
    for (const auto &r : rows) {
        if (r.host[0] == 'h') {
            EXPECT_TRUE((r.state == "\"a\"" && r.saved_ms == 10)
                        || (r.state == "\"b\"" && r.saved_ms == 11))
                << r.host << " " << r.state << " " << r.saved_ms;
        }
    }

    /* a declared API is one per host, replaced, deleted once, and seen
     * by every collector of the database */
    std::string yaml = "openapi: 3.1.0\ninfo: {title: t, version: '1'}\n"
                       "paths: {}\n";
    a->put_declared_api({"a.test:80", "{}", 5});
    b->put_declared_api({"a.test:80", yaml, 6});
    b->put_declared_api({"b.test:80", "{\"x\": \"\u00e9\"}", 7});
    auto declared = a->declared_apis();
    ASSERT_EQ(declared.size(), 2u);
    EXPECT_EQ(declared[0].host, "a.test:80");
    EXPECT_EQ(declared[0].document, yaml);
    EXPECT_EQ(declared[0].declared_ms, 6);
    EXPECT_EQ(declared[1].document, "{\"x\": \"\u00e9\"}");
    EXPECT_TRUE(a->delete_declared_api("a.test:80"));
    EXPECT_FALSE(b->delete_declared_api("a.test:80"));
    EXPECT_FALSE(b->delete_declared_api("nowhere.test:80"));
    ASSERT_EQ(b->declared_apis().size(), 1u);
    EXPECT_EQ(b->declared_apis()[0].host, "b.test:80");

    /* and they outlive the collectors */
    a.reset();
    b.reset();
    auto again = db->open();
    EXPECT_EQ(again->inventory().size(), 53u);
    EXPECT_EQ(again->declared_apis().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Stores, Backend,
                         ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

/* What only PostgreSQL does. */
class Postgres : public ::testing::Test {
  protected:
    void SetUp() override
    {
        db = std::make_unique<Database>("postgresql");
        if (!db->available()) {
            GTEST_SKIP() << "KV_TEST_PG names no PostgreSQL server";
        }
    }
    std::unique_ptr<Database> db;
};

TEST_F(Postgres, DaysHavePartitionsMadeLateOnesTakeTheirRowsOldOnesGo)
{
    int64_t today = kv::now_ms() / day_ms;
    {
        auto store = db->open();
        ASSERT_TRUE(store);
        store->start();
        store->flush();
        store->stop();
        /* made ahead: yesterday, today, tomorrow */
        auto days = static_cast<kv::PgStore &>(*store).partition_days();
        EXPECT_EQ(days, (std::vector<int64_t>{today - 1, today, today + 1}));
    }
    auto sql = db->connect();
    /* a day two back has no partition yet: its rows wait in
     * exchanges_other, a day far off stays there */
    sql.exec("DROP TABLE " + kv::partition_name(today - 1));
    auto row = [&](const std::string &id, int64_t time_ms) {
        sql.exec("INSERT INTO exchanges (time_ms, received_ms, sensor_host, "
                 "instance, worker_pid, format, method, uri, status, "
                 "client_ip, client_port, latency_ms, request_id, "
                 "logging_level, request_headers, response_headers, "
                 "request_body_truncated, response_body_truncated, meta, "
                 "peer) VALUES ("
                 + std::to_string(time_ms) + ", " + std::to_string(time_ms)
                 + ", 'h', 'i', 1, 'merged', 'GET', '/', 200, '', 0, 0, '" + id
                 + "', 'default', '[]', '[]', false, false, '{}', '')");
    };
    int64_t yesterday = (today - 1) * day_ms + 1000;
    row("early", yesterday);
    row("ancient", (today - 30) * day_ms);
    auto count = [&](const std::string &table) {
        return sql.query("SELECT count(*) FROM " + table, {}).integer(0, 0);
    };
    EXPECT_EQ(count("exchanges_other"), 2);

    /* the retention of 10 days: an old day's partition goes whole */
    sql.exec("CREATE TABLE " + kv::partition_name(today - 20)
             + " PARTITION OF exchanges FOR VALUES FROM ("
             + std::to_string((today - 20) * day_ms) + ") TO ("
             + std::to_string((today - 19) * day_ms) + ")");
    row("old", (today - 20) * day_ms + 5);
    sql.exec("INSERT INTO stats (time_ms, sensor_host, instance, pid, "
             "access, auth, peer) VALUES (1000, 'h', 'i', 1, '{}', '{}', '')");

    auto store = db->open(10);
    ASSERT_TRUE(store);
    store->start();
    std::vector<kv::Record> recs;
    recs.emplace_back(exchange("late", "GET", "/late", 200, yesterday + 1));
    keep(*store, recs);
    store->stop();

    EXPECT_EQ(count(kv::partition_name(today - 1)), 2);
    EXPECT_EQ(count("exchanges_other"), 0); /* the ancient one: received
                                                longer ago than retention */
    EXPECT_EQ(sql.query("SELECT to_regclass($1) IS NULL",
                        {kv::partition_name(today - 20)})
                  .integer(0, 0),
              1);
    EXPECT_EQ(count("stats"), 0);
    EXPECT_EQ(store->counters().partitions_dropped.load(), 1u);
}

TEST_F(Postgres, ADatabaseAtTheStepBeforeIsUpgradedWithItsData)
{
    {
        auto sql = db->connect();
        std::vector<kv::Migration> first(kv::pg_migrations().begin(),
                                         kv::pg_migrations().begin() + 1);
        std::string error;
        ASSERT_TRUE(kv::migrate_pg(sql, first, error)) << error;
        EXPECT_EQ(kv::pg_schema_version(sql), 1);
        for (const char *id : {"x-1", "x-1", "x-2"}) {
            sql.exec("INSERT INTO exchanges (time_ms, received_ms, "
                     "sensor_host, instance, worker_pid, format, method, "
                     "uri, status, client_ip, client_port, latency_ms, "
                     "request_id, logging_level, request_headers, "
                     "response_headers, request_body_truncated, "
                     "response_body_truncated, meta, peer) VALUES (5, 5, "
                     "'h', 'i', 1, 'merged', 'GET', '/', 200, '', 0, 0, '"
                     + std::string(id)
                     + "', 'default', '[]', '[]', false, false, '{}', '')");
        }
    }
    /* many collectors at once: one applies the steps, the others wait */
    std::vector<std::thread> starting;
    std::atomic<int> opened{0};
    for (int i = 0; i < 4; i++) {
        starting.emplace_back([&] {
            std::string error;
            if (db->open(0, &error)) {
                opened++;
            } else {
                ADD_FAILURE() << error;
            }
        });
    }
    for (auto &t : starting) {
        t.join();
    }
    EXPECT_EQ(opened.load(), 4);
    auto sql = db->connect();
    EXPECT_EQ(kv::pg_schema_version(sql), kv::pg_migrations().back().version);
    /* what was kept twice is kept once, the rest as it was */
    EXPECT_EQ(sql.query("SELECT count(*) FROM exchanges", {}).integer(0, 0), 2);

    /* a database from a newer collector, or another program's table, is
     * refused */
    sql.exec("INSERT INTO kv_schema_steps VALUES (999, 'future', 0)");
    std::string error;
    EXPECT_FALSE(db->open(0, &error));
    EXPECT_NE(error.find("newer than this collector knows"), std::string::npos)
        << error;
    Database foreign("postgresql");
    foreign.connect().exec("CREATE TABLE exchanges (id INTEGER)");
    EXPECT_FALSE(foreign.open(0, &error));
    EXPECT_NE(error.find("not the collector's"), std::string::npos) << error;
}

TEST_F(Postgres, TextThePostgresqlCannotHoldIsKeptAsNearAsItCan)
{
    auto store = db->open();
    ASSERT_TRUE(store);
    store->start();
    std::vector<kv::Record> recs;
    recs.emplace_back(exchange("n-1", "GET", std::string("/a\0b", 4), 200));
    keep(*store, recs);
    EXPECT_EQ(store->counters().write_errors.load(), 0u);
    auto rows = store->exchanges(kv::ExchangeQuery{});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].exchange.uri, "/a\xef\xbf\xbd"
                                    "b");
    store->stop();
}

} // namespace
