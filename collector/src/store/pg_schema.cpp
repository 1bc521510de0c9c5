#include "store/pg_schema.h"

namespace kv {

namespace {

/*
 * Step 1: the tables SQLite's step 1 has.  Exchanges are partitioned by
 * the day of time_ms (UTC), so that retention by age drops a day's
 * partition whole instead of deleting rows; the store makes each day's
 * partition (exchanges_YYYYMMDD) as it needs it, and rows of days far from
 * today go to exchanges_other.  Text the filters compare is in byte
 * order (COLLATE "C"), whatever the database's collation, so that a path
 * prefix is a range of an index.
 *
 * Step 2, as SQLite's: an index for each filter of the list, one row per
 * exchange (request id, sensor, format; the partition key too, as
 * PostgreSQL requires of a unique index), what the metrics need of each
 * worker's latest statistics, the control settings, the span of ids of
 * each minute's exchanges (store/exchange_filter.h).  Request ids are
 * random: an index led by them takes each insert to a random page, which
 * costs several times what one led by the time (which only grows) does.
 * Time ranges use a BRIN index, nearly free to keep, since rows arrive
 * about in time order.
 *
 * A step once released is never edited; a new one is added.
 */
const std::vector<Migration> steps = {
    {1, "exchanges, statistics documents and workers", R"sql(
CREATE TABLE exchanges (
    id BIGINT NOT NULL DEFAULT nextval('exchanges_id_seq'),
    time_ms BIGINT NOT NULL,
    received_ms BIGINT NOT NULL,
    sensor_host TEXT COLLATE "C" NOT NULL,
    instance TEXT COLLATE "C" NOT NULL,
    worker_pid BIGINT NOT NULL,
    format TEXT COLLATE "C" NOT NULL,
    method TEXT COLLATE "C" NOT NULL,
    uri TEXT COLLATE "C" NOT NULL,
    status INTEGER NOT NULL,
    client_ip TEXT NOT NULL,
    client_port INTEGER NOT NULL,
    latency_ms BIGINT NOT NULL,
    request_id TEXT COLLATE "C" NOT NULL,
    logging_level TEXT NOT NULL,
    request_headers TEXT NOT NULL,
    response_headers TEXT NOT NULL,
    request_body BYTEA,
    response_body BYTEA,
    request_body_truncated BOOLEAN NOT NULL,
    response_body_truncated BOOLEAN NOT NULL,
    meta TEXT NOT NULL,
    peer TEXT NOT NULL
) PARTITION BY RANGE (time_ms);
CREATE TABLE exchanges_other PARTITION OF exchanges DEFAULT;
CREATE INDEX exchanges_id ON exchanges (id);
CREATE TABLE stats (
    id BIGSERIAL PRIMARY KEY,
    time_ms BIGINT NOT NULL,
    sensor_host TEXT COLLATE "C" NOT NULL,
    instance TEXT COLLATE "C" NOT NULL,
    pid BIGINT NOT NULL,
    access TEXT NOT NULL,
    auth TEXT NOT NULL,
    peer TEXT NOT NULL
);
CREATE INDEX stats_worker ON stats (sensor_host, instance, pid, id);
CREATE TABLE sensors (
    key TEXT COLLATE "C" PRIMARY KEY,
    host TEXT NOT NULL,
    instance TEXT NOT NULL,
    pid BIGINT,
    mode TEXT,
    last_heartbeat_ms BIGINT,
    heartbeats BIGINT NOT NULL DEFAULT 0,
    last_stats_ms BIGINT,
    peer TEXT NOT NULL,
    first_seen_ms BIGINT NOT NULL
);
)sql"},
    {2, "filters by index, each exchange once, the control settings",
     R"sql(
DELETE FROM exchanges a USING exchanges b
    WHERE a.request_id <> '' AND a.request_id = b.request_id
    AND a.sensor_host = b.sensor_host AND a.instance = b.instance
    AND a.format = b.format AND a.id > b.id;
CREATE UNIQUE INDEX exchanges_once
    ON exchanges (time_ms, request_id, sensor_host, instance, format)
    WHERE request_id <> '';
CREATE INDEX exchanges_time ON exchanges USING brin (time_ms);
CREATE INDEX exchanges_status ON exchanges (status, id);
CREATE INDEX exchanges_class ON exchanges ((status / 100), id);
CREATE INDEX exchanges_method ON exchanges (method, id);
CREATE INDEX exchanges_host ON exchanges (sensor_host, id);
CREATE INDEX exchanges_format ON exchanges (format, id);
CREATE INDEX exchanges_uri ON exchanges (uri);
CREATE INDEX stats_time ON stats (time_ms);
ALTER TABLE sensors ADD COLUMN previous_stats_ms BIGINT,
    ADD COLUMN last_access TEXT, ADD COLUMN last_auth TEXT;
CREATE TABLE control_settings (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    version BIGINT NOT NULL,
    settings TEXT NOT NULL,
    changed_ms BIGINT NOT NULL
);
CREATE TABLE exchange_minutes (
    minute BIGINT PRIMARY KEY,
    min_id BIGINT NOT NULL,
    max_id BIGINT NOT NULL
);
INSERT INTO exchange_minutes
    SELECT time_ms / 60000, min(id), max(id) FROM exchanges
    GROUP BY time_ms / 60000;
)sql"},
    {3, "control changes and the collector's keys", R"sql(
CREATE TABLE control_changes (
    id BIGSERIAL PRIMARY KEY,
    time_ms BIGINT NOT NULL,
    caller TEXT NOT NULL,
    before TEXT NOT NULL,
    after TEXT NOT NULL
);
CREATE TABLE collector_keys (
    name TEXT PRIMARY KEY,
    value BYTEA NOT NULL,
    created_ms BIGINT NOT NULL
);
)sql"},
    {4, "the endpoint inventory and declared APIs", R"sql(
CREATE TABLE api_inventory (
    host TEXT PRIMARY KEY,
    state TEXT NOT NULL,
    saved_ms BIGINT NOT NULL
);
CREATE TABLE declared_apis (
    host TEXT PRIMARY KEY,
    document TEXT NOT NULL,
    declared_ms BIGINT NOT NULL
);
)sql"},
};

/* Step 1 names a sequence its table's default uses: made first, so the
 * step's text stays one statement list. */
constexpr const char *before_first_step =
    "CREATE SEQUENCE IF NOT EXISTS exchanges_id_seq";

} // namespace

const std::vector<Migration> &
pg_migrations()
{
    return steps;
}

int
pg_schema_version(PgConnection &db)
{
    if (db.query("SELECT to_regclass('kv_schema_steps') IS NULL", {})
            .integer(0, 0)
        != 0) {
        return 0;
    }
    return static_cast<int>(
        db.query("SELECT coalesce(max(version), 0) FROM kv_schema_steps", {})
            .integer(0, 0));
}

bool
migrate_pg(PgConnection &db, const std::vector<Migration> &all,
           std::string &error)
{
    int newest = all.empty() ? 0 : all.back().version;
    std::string step_name;
    try {
        /* session lock: held across the steps' transactions */
        db.exec("SELECT pg_advisory_lock(" + std::to_string(pg_schema_lock)
                + ")");
        struct Unlock {
            PgConnection &db;
            ~Unlock()
            {
                try {
                    db.exec("SELECT pg_advisory_unlock("
                            + std::to_string(pg_schema_lock) + ")");
                } catch (const StoreError &) {
                    /* the session ends with the connection */
                }
            }
        } unlock{db};

        int at = pg_schema_version(db);
        if (at > newest) {
            error = "the database has schema version " + std::to_string(at)
                    + ", newer than this collector knows ("
                    + std::to_string(newest) + ")";
            return false;
        }
        if (at == 0
            && db.query("SELECT to_regclass('exchanges') IS NOT NULL", {})
                       .integer(0, 0)
                   != 0) {
            error = "its exchanges table is not the collector's";
            return false;
        }
        for (const Migration &m : all) {
            if (m.version <= at) {
                continue;
            }
            step_name = "schema step " + std::to_string(m.version) + " ("
                        + m.what + "): ";
            db.exec("BEGIN");
            try {
                if (m.version == 1) {
                    db.exec(before_first_step);
                }
                db.exec("CREATE TABLE IF NOT EXISTS kv_schema_steps ("
                        "version INTEGER PRIMARY KEY, what TEXT NOT NULL, "
                        "applied_ms BIGINT NOT NULL)");
                db.exec(m.sql);
                db.query("INSERT INTO kv_schema_steps VALUES ($1, $2, "
                         "(extract(epoch FROM now()) * 1000)::bigint)",
                         {std::to_string(m.version), std::string(m.what)});
                db.exec("COMMIT");
            } catch (const StoreError &) {
                try {
                    db.exec("ROLLBACK");
                } catch (const StoreError &) {
                }
                throw;
            }
            at = m.version;
        }
    } catch (const StoreError &e) {
        error = step_name + e.what();
        return false;
    }
    return true;
}

} // namespace kv
