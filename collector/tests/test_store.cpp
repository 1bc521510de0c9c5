/*
 * The SQLite store: what it keeps and hands back as rows, retention, and
 * its schema steps, among them the upgrade of a database written by the
 * collector before schemas had versions.
 */

#include <gtest/gtest.h>

#include <filesystem>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ingest/dispatcher.h"
#include "store/sqlite_schema.h"
#include "store/sqlite_store.h"
#include "base/text.h"
#include "support.h"

using kvtest::data;
using kvtest::split_all;

namespace {

std::string
temp_dir()
{
    char dir[] = "/tmp/kv-store-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return dir;
}

std::unique_ptr<kv::SqliteStore>
open_store(const std::string &path, int64_t retain = 1000000)
{
    kv::SqliteStore::Options opt;
    opt.path = path;
    opt.retain_rows = retain;
    std::string error;
    auto store = kv::SqliteStore::open(opt, error);
    EXPECT_TRUE(store) << error;
    return store;
}

/* Records as ingest makes them from the recorded streams. */
std::vector<kv::Record>
records(const std::string &stream)
{
    kv::IngestCounters counters;
    kv::ControlState control{"", counters, [](const std::string &) {}};
    kv::Dispatcher dispatcher{control, counters, kv::AuthRules{}};
    kv::ConnectionInfo conn{1, "127.0.0.1:40000", 0};
    std::string replies;
    std::vector<kv::Record> out;
    for (const auto &req : split_all(stream)) {
        dispatcher.handle(req, conn, kv::now_ms(), replies, out);
    }
    return out;
}

int
schema_version(const std::string &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    int v = kv::sqlite_schema_version(db);
    sqlite3_close(db);
    return v;
}

} // namespace

TEST(Store, ExchangesAreKeptQueriedAndPruned)
{
    auto store = open_store(temp_dir() + "/collector.db", 6);
    ASSERT_TRUE(store);
    store->start();
    auto recs =
        records(data("merged_stream.bin") + data("response_stream.bin"));
    store->push(recs);
    store->flush();

    /* retention: the newest six of nine */
    auto all = store->exchanges(kv::ExchangeQuery{});
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(store->counters().rows_pruned.load(), 3u);
    EXPECT_GT(all[0].id, all[5].id);

    /* a list carries sizes, not the bodies and headers themselves */
    for (const auto &row : all) {
        EXPECT_TRUE(row.exchange.request_headers.empty());
        EXPECT_FALSE(row.exchange.response_body.has_value());
    }

    kv::ExchangeQuery q;
    q.method = "DELETE";
    auto del = store->exchanges(q);
    ASSERT_EQ(del.size(), 1u);
    EXPECT_EQ(del[0].exchange.status, 204);
    EXPECT_FALSE(del[0].response_body_size.has_value());
    q = {};
    q.status_class = 2;
    q.path = "/api/items";
    EXPECT_EQ(store->exchanges(q).size(), 3u);
    q = {};
    q.format = "merged";
    q.limit = 10;
    EXPECT_EQ(store->exchanges(q).size(), 1u);

    /* paging: what is before the oldest of a page follows it */
    q = {};
    q.limit = 4;
    auto first = store->exchanges(q);
    q.before_id = first.back().id;
    auto second = store->exchanges(q);
    ASSERT_EQ(first.size() + second.size(), 6u);
    EXPECT_LT(second.front().id, first.back().id);

    /* one exchange, in full or its bodies' first bytes */
    int64_t id = 0;
    for (const auto &row : all) {
        if (row.response_body_size && *row.response_body_size == 11) {
            id = row.id;
        }
    }
    ASSERT_NE(id, 0);
    auto one = store->exchange(id, kv::BodyWindow{100, 100});
    ASSERT_TRUE(one);
    EXPECT_EQ(one->exchange.response_headers.at(0).first, "X-Trace");
    EXPECT_EQ(one->exchange.response_body.value(), "{\"ok\":true}");
    auto cut = store->exchange(id, kv::BodyWindow{0, 4});
    EXPECT_EQ(cut->exchange.response_body.value(), "{\"ok");
    EXPECT_EQ(cut->response_body_size.value(), 11);
    EXPECT_FALSE(store->exchange(999999, kv::BodyWindow{}));

    /* bodies come back as the exact bytes */
    kv::Exchange bin;
    bin.format = "merged";
    bin.method = "GET";
    bin.response_body = std::string("\x89PNG\r\n\x1a\n\xff\0z", 11);
    std::vector<kv::Record> one_more;
    one_more.emplace_back(std::move(bin));
    store->push(one_more);
    store->flush();
    auto newest = store->exchanges(kv::ExchangeQuery{}).at(0);
    EXPECT_EQ(newest.response_body_size.value(), 11);
    auto full = store->exchange(newest.id, kv::BodyWindow{SIZE_MAX, SIZE_MAX});
    EXPECT_EQ(full->exchange.response_body.value(),
              std::string("\x89PNG\r\n\x1a\n\xff\0z", 11));
    store->stop();
}

TEST(Store, WorkersAreNamedOnceTheirPidIsKnown)
{
    auto store = open_store(temp_dir() + "/collector.db");
    ASSERT_TRUE(store);
    store->start();

    /* heartbeats before the first statistics document, then after it */
    std::string control = data("control_stream.bin");
    auto reqs = split_all(control);
    std::string heartbeats_first;
    for (const auto *r : {&reqs[1], &reqs[1], &reqs[0], &reqs[1]}) {
        heartbeats_first += std::string(r->head) + std::string(r->body);
    }
    auto recs = records(heartbeats_first);
    int64_t pid = std::get<kv::StatsDoc>(recs[2]).pid;
    store->push(recs);
    store->flush();

    auto sensors = store->sensors(kv::SensorQuery{});
    ASSERT_EQ(sensors.size(), 1u);
    EXPECT_EQ(sensors[0].pid, pid);
    EXPECT_EQ(sensors[0].heartbeats, 3);
    EXPECT_EQ(sensors[0].mode, "default");
    EXPECT_EQ(sensors[0].instance, "capture");
    EXPECT_TRUE(sensors[0].last_heartbeat_ms.has_value());

    auto stats = store->stats(kv::StatsQuery{});
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0].pid, pid);
    EXPECT_EQ(stats[0].access.front(), '{');
    store->stop();
}

TEST(Schema, DatabaseOfTheCollectorBeforeVersionsIsUpgradedWithItsData)
{
    /* written by the collector that kept no schema version: nine
     * exchanges, one statistics document, one worker */
    std::string dir = temp_dir();
    std::string path = dir + "/collector.db";
    std::filesystem::copy_file(
        std::string(KV_TEST_DATA) + "/unversioned_collector.db", path);
    ASSERT_EQ(schema_version(path), 0);

    auto newest = kv::sqlite_migrations().back().version;
    {
        auto store = open_store(path);
        ASSERT_TRUE(store);
        EXPECT_EQ(schema_version(path), newest);

        auto rows = store->exchanges(kv::ExchangeQuery{});
        ASSERT_EQ(rows.size(), 9u);
        EXPECT_EQ(rows.back().id, 1);
        auto post = store->exchange(2, kv::BodyWindow{SIZE_MAX, SIZE_MAX});
        ASSERT_TRUE(post);
        EXPECT_EQ(post->exchange.method, "POST");
        EXPECT_EQ(post->exchange.request_body.value(),
                  "{\"name\":\"bolt\",\"tags\":[\"a\\\"b\"]}");
        EXPECT_EQ(
            post->exchange.response_headers.front(),
            (std::pair<std::string, std::string>{"Location", "/api/items/4"}));
        ASSERT_EQ(store->sensors(kv::SensorQuery{}).size(), 1u);
        EXPECT_GT(store->sensors(kv::SensorQuery{})[0].pid.value_or(0), 0);
        ASSERT_EQ(store->stats(kv::StatsQuery{}).size(), 1u);

        /* and it goes on from where it was: what it holds already is
         * not kept again */
        store->start();
        auto more = records(data("merged_stream.bin"));
        kv::Exchange fresh = std::get<kv::Exchange>(more.front());
        fresh.request_id = "1-fresh";
        more.emplace_back(std::move(fresh));
        store->push(more);
        store->flush();
        EXPECT_EQ(store->exchanges(kv::ExchangeQuery{}).at(0).id, 10);
        EXPECT_EQ(store->counters().duplicates_ignored.load(), 4u);
        store->stop();
    }
    /* opening again changes nothing */
    auto again = open_store(path);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->exchanges(kv::ExchangeQuery{}).size(), 10u);
    EXPECT_EQ(schema_version(path), newest);
}

/* Two earlier builds numbered their second step differently: the change
 * log and keys, or the filters and control settings.  A database of
 * either, or of the step after, comes out with every step, its data
 * kept. */
TEST(Schema, EitherSecondStepIsUpgradedToBoth)
{
    const auto &all = kv::sqlite_migrations();
    ASSERT_EQ(all.size(), 4u);
    std::vector<std::vector<kv::Migration>> earlier = {
        {all[0], all[1]},
        {all[0], {2, all[2].what, all[2].sql}},
        {all[0], all[1], all[2]},
    };
    for (const auto &steps : earlier) {
        std::string path = temp_dir() + "/collector.db";
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        std::string error;
        ASSERT_TRUE(kv::migrate_sqlite(db, steps, error)) << error;
        ASSERT_EQ(kv::sqlite_schema_version(db), steps.back().version);
        ASSERT_EQ(sqlite3_exec(db,
                               "INSERT INTO stats (time_ms, sensor_host, "
                               "instance, pid, access, auth, peer) VALUES "
                               "(1, 'h', 'i', 7, '{}', '{}', 'p')",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);

        auto store = open_store(path);
        ASSERT_TRUE(store) << steps[1].what;
        EXPECT_EQ(schema_version(path), all.back().version);
        EXPECT_EQ(store->stats(kv::StatsQuery{}).size(), 1u);
        store->save_inventory({{"h:80", "{}", 5}});
        store->put_declared_api({"h:80", "{}", 5});
        EXPECT_EQ(store->inventory().size(), 1u);
        EXPECT_EQ(store->declared_apis().size(), 1u);
        EXPECT_FALSE(store->control_settings());
        kv::ControlChangeRow change{0, 5, "file", "{}", "{}"};
        EXPECT_TRUE(store->replace_control_settings(0, "{}", 5, &change));
        EXPECT_EQ(store->control_changes(kv::ControlChangeQuery{}).size(), 1u);
        EXPECT_EQ(store->redaction_key("k"), "k");
    }
}

TEST(Schema, StepsApplyWholeOrNotAtAll)
{
    std::string dir = temp_dir();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/steps.db").c_str(), &db), SQLITE_OK);
    std::string error;

    std::vector<kv::Migration> steps = kv::sqlite_migrations();
    int base = steps.back().version;
    ASSERT_TRUE(kv::migrate_sqlite(db, steps, error)) << error;
    ASSERT_EQ(sqlite3_exec(db,
                           "INSERT INTO stats (time_ms, sensor_host, "
                           "instance, pid, access, auth, peer) VALUES "
                           "(1, 'h', 'i', 7, '{}', '{}', 'p')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);

    /* a step that fails half-way leaves nothing of itself */
    steps.push_back({base + 1, "a broken step",
                     "CREATE TABLE half (x INTEGER); SELECT nothing FROM "
                     "nowhere;"});
    EXPECT_FALSE(kv::migrate_sqlite(db, steps, error));
    EXPECT_NE(error.find("a broken step"), std::string::npos) << error;
    EXPECT_EQ(kv::sqlite_schema_version(db), base);
    EXPECT_NE(sqlite3_exec(db, "SELECT * FROM half", nullptr, nullptr, nullptr),
              SQLITE_OK);

    /* a good one applies, and the data stays */
    steps.back() = {base + 1, "a column",
                    "ALTER TABLE stats ADD COLUMN note TEXT"};
    ASSERT_TRUE(kv::migrate_sqlite(db, steps, error)) << error;
    EXPECT_EQ(kv::sqlite_schema_version(db), base + 1);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "SELECT pid, note FROM stats", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 7);
    sqlite3_finalize(st);
    sqlite3_close(db);

    /* a collector never writes into a schema newer than it knows */
    std::string newer = dir + "/newer.db";
    ASSERT_EQ(sqlite3_open(newer.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version = 999", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    kv::SqliteStore::Options opt;
    opt.path = newer;
    EXPECT_FALSE(kv::SqliteStore::open(opt, error));
    EXPECT_NE(error.find("newer than this collector knows"), std::string::npos)
        << error;

    /* nor takes another program's table of the same name for its own */
    std::string foreign = dir + "/foreign.db";
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE exchanges (id INTEGER, rate REAL)", nullptr,
                 nullptr, nullptr);
    sqlite3_close(db);
    opt.path = foreign;
    EXPECT_FALSE(kv::SqliteStore::open(opt, error));
    EXPECT_EQ(schema_version(foreign), 0);
}

TEST(Store, OldRowsAndWorkersNotHeardOfAgeOut)
{
    std::string dir = temp_dir();
    kv::SqliteStore::Options opt;
    opt.path = dir + "/collector.db";
    opt.age.max_age_ms = 24 * 3600 * 1000;
    opt.age.interval_ms = 10;
    std::string error;
    auto store = kv::SqliteStore::open(opt, error);
    ASSERT_TRUE(store) << error;

    int64_t now = kv::now_ms();
    int64_t old = now - 3 * 24 * 3600 * 1000LL;
    std::vector<kv::Record> batch;
    auto exchange = [&](int64_t at, const char *uri) {
        kv::Exchange x;
        x.received_ms = at;
        x.time_ms = at;
        x.format = "merged";
        x.method = "GET";
        x.uri = uri;
        batch.emplace_back(std::move(x));
    };
    auto stats = [&](int64_t at, int64_t pid) {
        kv::StatsDoc s;
        s.time_ms = at;
        s.sensor_host = "h";
        s.instance = "i";
        s.pid = pid;
        s.access = s.auth = "{}";
        batch.emplace_back(std::move(s));
    };
    for (int i = 0; i < 5; i++) {
        exchange(old + i, "/old");
    }
    exchange(now, "/new");
    exchange(now, "/new");
    stats(old, 11); /* a worker gone for days */
    stats(now, 12); /* one still reporting */
    kv::Heartbeat hb;
    hb.time_ms = old;
    hb.sensor_host = "gone";
    hb.connection = 7;
    batch.emplace_back(hb);

    store->start();
    store->push(batch);
    store->flush();
    ASSERT_TRUE(kvtest::eventually([&] {
        return store->exchanges(kv::ExchangeQuery{}).size() == 2
               && store->stats(kv::StatsQuery{}).size() == 1
               && store->sensors(kv::SensorQuery{}).size() == 1;
    }));
    for (const auto &row : store->exchanges(kv::ExchangeQuery{})) {
        EXPECT_EQ(row.exchange.uri, "/new");
    }
    EXPECT_EQ(store->sensors(kv::SensorQuery{})[0].pid.value_or(0), 12);
    EXPECT_EQ(store->counters().rows_pruned.load(), 5u + 1u + 2u);

    /* and the rows after them go on being kept and numbered */
    exchange(now, "/newer");
    store->push(batch);
    store->flush();
    EXPECT_EQ(store->exchanges(kv::ExchangeQuery{}).size(), 3u);
    store->stop();
}

TEST(Store, ControlChangesAndTheRedactionKeyAreKept)
{
    std::string path = temp_dir() + "/collector.db";
    std::string key(32, '\x01');
    {
        auto store = open_store(path);
        for (int i = 1; i <= 3; i++) {
            kv::ControlChangeRow c;
            c.time_ms = 1000 * i;
            c.caller = i == 3 ? "file" : "127.0.0.1";
            c.before = "{\"sampling_rate\":" + std::to_string(i - 1) + "}";
            c.after = "{\"sampling_rate\":" + std::to_string(i) + "}";
            EXPECT_EQ(store->add_control_change(c), i);
        }
        kv::ControlChangeQuery q;
        q.limit = 2;
        auto page = store->control_changes(q);
        ASSERT_EQ(page.size(), 2u);
        EXPECT_EQ(page[0].id, 3);
        EXPECT_EQ(page[0].caller, "file");
        EXPECT_EQ(page[0].after, "{\"sampling_rate\":3}");
        q.before_id = page[1].id;
        page = store->control_changes(q);
        ASSERT_EQ(page.size(), 1u);
        EXPECT_EQ(page[0].time_ms, 1000);

        /* made once: a later key never replaces it */
        EXPECT_EQ(store->redaction_key(key), key);
        EXPECT_EQ(store->redaction_key(std::string(32, '\x02')), key);
    }
    auto again = open_store(path);
    EXPECT_EQ(again->redaction_key(std::string(32, '\x03')), key);
    EXPECT_EQ(again->control_changes(kv::ControlChangeQuery{}).size(), 3u);
}

TEST(Store, OnlyItsOwnerMayReadTheDatabase)
{
    std::string dir = temp_dir();
    mode_t was = umask(022);
    auto mode = [](const std::string &f) {
        struct stat st {};
        EXPECT_EQ(stat(f.c_str(), &st), 0) << f;
        return st.st_mode & 0777;
    };

    /* made by the store, written to: the database, its WAL and its
     * shared memory */
    std::string fresh = dir + "/fresh.db";
    {
        auto store = open_store(fresh);
        store->start();
        auto more = records(data("merged_stream.bin"));
        store->push(more);
        store->flush();
        for (const char *suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(mode(fresh + suffix), 0600u) << suffix;
        }
        store->stop();
    }

    /* left readable by an earlier run: closed at the next start */
    std::string earlier = dir + "/earlier.db";
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(earlier.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE t (x);",
                     nullptr, nullptr, nullptr);
        sqlite3_close(db);
        chmod(earlier.c_str(), 0644);
        ASSERT_EQ(mode(earlier), 0644u);
        auto store = open_store(earlier);
        EXPECT_EQ(mode(earlier), 0600u);
        EXPECT_EQ(mode(earlier + "-wal"), 0600u);
    }
    umask(was);
}

TEST(Store, ABodyOfNoBytesIsStillABody)
{
    auto store = open_store(temp_dir() + "/collector.db");
    store->start();
    std::vector<kv::Record> batch;
    kv::Exchange x;
    x.format = "response";
    x.request_body = std::string();
    batch.emplace_back(x);
    store->push(batch);
    store->flush();
    auto row = store->exchange(1, kv::BodyWindow{SIZE_MAX, SIZE_MAX});
    ASSERT_TRUE(row);
    EXPECT_EQ(row->exchange.request_body, std::optional<std::string>(""));
    EXPECT_EQ(row->exchange.response_body, std::nullopt);
    EXPECT_EQ(row->request_body_size, 0);
    store->stop();
}
