#include "store/sqlite_schema.h"

#include <sqlite3.h>

namespace kv {

namespace {

/*
 * Step 1 is the schema of the collectors that kept no version: written
 * with IF NOT EXISTS, it finds their tables in place and only stamps the
 * version.  Later steps change what is there; a step once released is
 * never edited, a new one is added.
 *
 * Step 2: the change log of the sensors' settings, and the collector's
 * keys (the one redaction hashes with).
 *
 * Step 3: an index for each filter of the exchange list (an index on a
 * column is in id order within each value, which is the list's order);
 * one row per exchange, the request id with the sensor and the format
 * naming it, so that a message sent again is not kept twice (what the
 * collectors before kept twice is kept once); what the metrics need of
 * each worker's latest statistics; the control settings, which the
 * database holds so that every collector of it hands out the same; the
 * span of ids of each minute's exchanges, which takes a time range to
 * its stretch of the id order (store/exchange_filter.h).
 */
const std::vector<Migration> steps = {
    {1, "exchanges, statistics documents and workers", R"sql(
CREATE TABLE IF NOT EXISTS exchanges (
    id INTEGER PRIMARY KEY,
    time_ms INTEGER NOT NULL,
    received_ms INTEGER NOT NULL,
    sensor_host TEXT NOT NULL,
    instance TEXT NOT NULL,
    worker_pid INTEGER NOT NULL,
    format TEXT NOT NULL,
    method TEXT NOT NULL,
    uri TEXT NOT NULL,
    status INTEGER NOT NULL,
    client_ip TEXT NOT NULL,
    client_port INTEGER NOT NULL,
    latency_ms INTEGER NOT NULL,
    request_id TEXT NOT NULL,
    logging_level TEXT NOT NULL,
    request_headers TEXT NOT NULL,
    response_headers TEXT NOT NULL,
    request_body BLOB,
    response_body BLOB,
    request_body_truncated INTEGER NOT NULL,
    response_body_truncated INTEGER NOT NULL,
    meta TEXT NOT NULL,
    peer TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS stats (
    id INTEGER PRIMARY KEY,
    time_ms INTEGER NOT NULL,
    sensor_host TEXT NOT NULL,
    instance TEXT NOT NULL,
    pid INTEGER NOT NULL,
    access TEXT NOT NULL,
    auth TEXT NOT NULL,
    peer TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS stats_worker ON stats (sensor_host, instance, pid);
CREATE TABLE IF NOT EXISTS sensors (
    key TEXT PRIMARY KEY,
    host TEXT NOT NULL,
    instance TEXT NOT NULL,
    pid INTEGER,
    mode TEXT,
    last_heartbeat_ms INTEGER,
    heartbeats INTEGER NOT NULL DEFAULT 0,
    last_stats_ms INTEGER,
    peer TEXT NOT NULL,
    first_seen_ms INTEGER NOT NULL
);
)sql"},
    {2, "control changes and the collector's keys", R"sql(
CREATE TABLE control_changes (
    id INTEGER PRIMARY KEY,
    time_ms INTEGER NOT NULL,
    caller TEXT NOT NULL,
    before TEXT NOT NULL,
    after TEXT NOT NULL
);
CREATE TABLE collector_keys (
    name TEXT PRIMARY KEY,
    value BLOB NOT NULL,
    created_ms INTEGER NOT NULL
);
)sql"},
    {3, "filters by index, each exchange once, the control settings",
     R"sql(
DELETE FROM exchanges WHERE request_id <> '' AND id NOT IN (
    SELECT min(id) FROM exchanges WHERE request_id <> ''
    GROUP BY request_id, sensor_host, instance, format);
CREATE UNIQUE INDEX exchanges_once
    ON exchanges (request_id, sensor_host, instance, format)
    WHERE request_id <> '';
CREATE INDEX exchanges_time ON exchanges (time_ms);
CREATE INDEX exchanges_status ON exchanges (status);
CREATE INDEX exchanges_class ON exchanges (status / 100);
CREATE INDEX exchanges_method ON exchanges (method);
CREATE INDEX exchanges_host ON exchanges (sensor_host);
CREATE INDEX exchanges_format ON exchanges (format);
CREATE INDEX exchanges_uri ON exchanges (uri);
CREATE INDEX stats_time ON stats (time_ms);
ALTER TABLE sensors ADD COLUMN previous_stats_ms INTEGER;
ALTER TABLE sensors ADD COLUMN last_access TEXT;
ALTER TABLE sensors ADD COLUMN last_auth TEXT;
CREATE TABLE control_settings (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    version INTEGER NOT NULL,
    settings TEXT NOT NULL,
    changed_ms INTEGER NOT NULL
);
CREATE TABLE exchange_minutes (
    minute INTEGER PRIMARY KEY,
    min_id INTEGER NOT NULL,
    max_id INTEGER NOT NULL
);
INSERT INTO exchange_minutes
    SELECT time_ms / 60000, min(id), max(id) FROM exchanges
    GROUP BY time_ms / 60000;
)sql"},
    {4, "the endpoint inventory and declared APIs", R"sql(
CREATE TABLE api_inventory (
    host TEXT PRIMARY KEY,
    state TEXT NOT NULL,
    saved_ms INTEGER NOT NULL
);
CREATE TABLE declared_apis (
    host TEXT PRIMARY KEY,
    document TEXT NOT NULL,
    declared_ms INTEGER NOT NULL
);
)sql"},
};

bool
exec(sqlite3 *db, const std::string &sql, std::string &error)
{
    char *msg = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
        error = msg ? msg : sqlite3_errmsg(db);
        sqlite3_free(msg);
        return false;
    }
    return true;
}

/* A table left by something else under the same name would take step 1
 * for done; the columns tell. */
bool
has_columns(sqlite3 *db, const char *table,
            std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        sqlite3_stmt *st = nullptr;
        std::string sql =
            std::string("SELECT count(*) FROM pragma_table_info('") + table
            + "') WHERE name = ?1";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr)
            != SQLITE_OK) {
            return false;
        }
        sqlite3_bind_text(st, 1, name, -1, SQLITE_STATIC);
        bool found =
            sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == 1;
        sqlite3_finalize(st);
        if (!found) {
            return false;
        }
    }
    return true;
}

bool
has_table(sqlite3 *db, const char *name)
{
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT count(*) FROM sqlite_master WHERE type = "
                           "'table' AND name = ?1",
                           -1, &st, nullptr)
        != SQLITE_OK) {
        return false;
    }
    sqlite3_bind_text(st, 1, name, -1, SQLITE_STATIC);
    bool found =
        sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) > 0;
    sqlite3_finalize(st);
    return found;
}

} // namespace

const std::vector<Migration> &
sqlite_migrations()
{
    return steps;
}

int
sqlite_schema_version(sqlite3 *db)
{
    sqlite3_stmt *st = nullptr;
    int v = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr)
            == SQLITE_OK
        && sqlite3_step(st) == SQLITE_ROW) {
        v = sqlite3_column_int(st, 0);
    }
    sqlite3_finalize(st);
    return v;
}

bool
migrate_sqlite(sqlite3 *db, const std::vector<Migration> &all,
               std::string &error)
{
    int at = sqlite_schema_version(db);
    if (at < 0) {
        error = std::string("cannot read the schema version: ")
                + sqlite3_errmsg(db);
        return false;
    }
    int newest = all.empty() ? 0 : all.back().version;
    if (at > newest) {
        error = "the database has schema version " + std::to_string(at)
                + ", newer than this collector knows (" + std::to_string(newest)
                + ")";
        return false;
    }
    /* Collectors built while steps 2 and 3 were numbered the other way
     * round stamped 2 on databases that hold step 3 and lack step 2: such
     * a database takes step 2 and is then at 3. */
    bool misnumbered = at == 2 && has_table(db, "control_settings")
                       && !has_table(db, "control_changes");
    if (misnumbered) {
        at = 1;
    }
    for (const Migration &m : all) {
        if (m.version <= at) {
            continue;
        }
        std::string why;
        if (!exec(db, "BEGIN IMMEDIATE", why)) {
            error = "cannot start schema step " + std::to_string(m.version)
                    + ": " + why;
            return false;
        }
        /* another collector opening the same file may have taken the step
         * while this one waited for the lock */
        int stamp = misnumbered && m.version == 2 ? 3 : m.version;
        int now_at = sqlite_schema_version(db);
        if (now_at >= stamp) {
            exec(db, "COMMIT", why);
            at = now_at;
            continue;
        }
        bool ok =
            exec(db, m.sql, why)
            && exec(db, "PRAGMA user_version = " + std::to_string(stamp), why);
        if (ok && m.version == 1
            && !has_columns(db, "exchanges",
                            {"id", "time_ms", "uri", "request_body",
                             "response_body", "meta", "peer"})) {
            why = "its exchanges table is not the collector's";
            ok = false;
        }
        if (!ok || !exec(db, "COMMIT", why)) {
            std::string ignored;
            exec(db, "ROLLBACK", ignored);
            error = "schema step " + std::to_string(m.version) + " (" + m.what
                    + "): " + why;
            return false;
        }
        at = stamp;
    }
    return true;
}

} // namespace kv
