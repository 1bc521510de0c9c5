#include "store/sqlite_schema.h"

#include <sqlite3.h>

namespace kv {

namespace {

/*
 * Step 1 is the schema of the collectors that kept no version: written
 * with IF NOT EXISTS, it finds their tables in place and only stamps the
 * version.  Later steps change what is there; a step once released is
 * never edited, a new one is added.
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
    {3, "the endpoint inventory and declared APIs", R"sql(
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
        bool ok =
            exec(db, m.sql, why)
            && exec(db, "PRAGMA user_version = " + std::to_string(m.version),
                    why);
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
        at = m.version;
    }
    return true;
}

} // namespace kv
