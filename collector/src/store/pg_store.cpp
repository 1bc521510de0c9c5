#include "store/pg_store.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <thread>

#include "base/text.h"
#include "store/exchange_filter.h"
#include "store/pg_schema.h"
#include "store/row_text.h"

namespace kv {

namespace {

constexpr int64_t day_ms = 86400000;

/* A batch is one transaction up to this many records. */
constexpr size_t batch_records = 10000;

/* Partitions are made for the days around today; rows of days further
 * off (a sensor's clock far wrong) go to exchanges_other, so that no
 * sensor can make the database hold thousands of partitions. */
constexpr int64_t days_back = 2;
constexpr int64_t days_ahead = 1;

/* A statement that keeps failing on a reachable database (not a
 * deadlock with another collector) costs its batch after this many
 * tries. */
constexpr int statement_tries = 3;

/* Retention by age runs once a minute. */
constexpr int64_t retention_every_ms = 60000;

constexpr const char *summary_columns =
    "id, time_ms, received_ms, sensor_host, instance, worker_pid, format, "
    "method, uri, status, client_ip, client_port, latency_ms, request_id, "
    "logging_level, request_body_truncated, response_body_truncated, peer, "
    "octet_length(request_body) AS request_body_size, "
    "octet_length(response_body) AS response_body_size";
constexpr int summary_count = 20;

/* The columns COPY fills, in this order; id comes from the sequence. */
constexpr const char *exchange_columns =
    "time_ms, received_ms, sensor_host, instance, worker_pid, format, "
    "method, uri, status, client_ip, client_port, latency_ms, request_id, "
    "logging_level, request_headers, response_headers, request_body, "
    "response_body, request_body_truncated, response_body_truncated, meta, "
    "peer";

constexpr const char *incoming_table = R"sql(
CREATE TEMP TABLE IF NOT EXISTS incoming_exchanges (
    ord INTEGER NOT NULL,
    time_ms BIGINT NOT NULL,
    received_ms BIGINT NOT NULL,
    sensor_host TEXT NOT NULL,
    instance TEXT NOT NULL,
    worker_pid BIGINT NOT NULL,
    format TEXT NOT NULL,
    method TEXT NOT NULL,
    uri TEXT NOT NULL,
    status INTEGER NOT NULL,
    client_ip TEXT NOT NULL,
    client_port INTEGER NOT NULL,
    latency_ms BIGINT NOT NULL,
    request_id TEXT NOT NULL,
    logging_level TEXT NOT NULL,
    request_headers TEXT NOT NULL,
    response_headers TEXT NOT NULL,
    request_body BYTEA,
    response_body BYTEA,
    request_body_truncated BOOLEAN NOT NULL,
    response_body_truncated BOOLEAN NOT NULL,
    meta TEXT NOT NULL,
    peer TEXT NOT NULL
) ON COMMIT DELETE ROWS
)sql";

int64_t
day_of(int64_t ms)
{
    return ms >= 0 ? ms / day_ms : -((-ms + day_ms - 1) / day_ms);
}

ExchangeRow
summary_row(const PgResult &r, int i)
{
    ExchangeRow row;
    Exchange &x = row.exchange;
    row.id = r.integer(i, 0);
    x.time_ms = r.integer(i, 1);
    x.received_ms = r.integer(i, 2);
    x.sensor_host = r.text(i, 3);
    x.instance = r.text(i, 4);
    x.worker_pid = r.integer(i, 5);
    x.format = r.text(i, 6);
    x.method = r.text(i, 7);
    x.uri = r.text(i, 8);
    x.status = static_cast<int>(r.integer(i, 9));
    x.client_ip = r.text(i, 10);
    x.client_port = static_cast<int>(r.integer(i, 11));
    x.latency_ms = r.integer(i, 12);
    x.request_id = r.text(i, 13);
    x.logging_level = r.text(i, 14);
    x.request_body_truncated = r.integer(i, 15) != 0;
    x.response_body_truncated = r.integer(i, 16) != 0;
    x.peer = r.text(i, 17);
    row.request_body_size = r.optional(i, 18);
    row.response_body_size = r.optional(i, 19);
    return row;
}

std::string
number(int64_t n)
{
    return std::to_string(n);
}

const SqlDialect &
dialect()
{
    static const SqlDialect d{[](size_t n) { return "$" + std::to_string(n); },
                              [](const std::string &column, size_t n) {
                                  return "starts_with(" + column + ", $"
                                         + std::to_string(n) + ")";
                              }};
    return d;
}

} // namespace

std::string
partition_name(int64_t day)
{
    std::time_t t = static_cast<std::time_t>(day * 86400);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char name[32];
    std::strftime(name, sizeof(name), "exchanges_%Y%m%d", &tm);
    return name;
}

PgStore::PgStore(const Options &options)
    : QueuedStore(options.queue), options_(options)
{
}

std::unique_ptr<PgStore>
PgStore::open(const Options &options, std::string &error)
{
    std::unique_ptr<PgStore> s(new PgStore(options));
    try {
        PgConnection &db = s->writer();
        std::string encoding = db.query("SHOW server_encoding", {}).text(0, 0);
        if (encoding != "UTF8") {
            error = "PostgreSQL " + masked_uri(options.uri)
                    + ": the database's encoding is " + encoding
                    + ", the collector needs UTF8";
            return nullptr;
        }
        std::string why;
        if (!migrate_pg(db, pg_migrations(), why)) {
            error = "PostgreSQL " + masked_uri(options.uri) + ": " + why;
            return nullptr;
        }
        db.exec(incoming_table);
        /* one reader at least, to find out now whether reads work */
        s->reader();
    } catch (const StoreError &e) {
        error = e.what();
        return nullptr;
    }
    return s;
}

PgStore::~PgStore()
{
    stop();
}

void
PgStore::log(const std::string &text) const
{
    if (options_.log) {
        options_.log(text);
    }
}

PgConnection &
PgStore::writer()
{
    if (!writer_ || !writer_->ok()) {
        writer_.reset();
        auto db = std::make_unique<PgConnection>(options_.uri);
        db->exec("SET application_name = 'kestrelvanes-collector'");
        if (pg_schema_version(*db) > 0) {
            db->exec(incoming_table);
        }
        writer_ = std::move(db);
    }
    return *writer_;
}

std::unique_ptr<PgStore::Reader>
PgStore::reader()
{
    std::unique_ptr<PgConnection> db;
    {
        std::unique_lock<std::mutex> g(readers_lock_);
        reader_free_.wait(g, [this] {
            return !free_readers_.empty()
                   || readers_out_ < std::max(1, options_.readers);
        });
        readers_out_++;
        if (!free_readers_.empty()) {
            db = std::move(free_readers_.back());
            free_readers_.pop_back();
        }
    }
    if (!db) {
        try {
            db = std::make_unique<PgConnection>(options_.uri);
        } catch (...) {
            std::lock_guard<std::mutex> g(readers_lock_);
            readers_out_--;
            reader_free_.notify_one();
            throw;
        }
    }
    return std::make_unique<Reader>(*this, std::move(db));
}

void
PgStore::give_back(std::unique_ptr<PgConnection> db)
{
    {
        std::lock_guard<std::mutex> g(readers_lock_);
        readers_out_--;
        if (db && db->ok()) {
            free_readers_.push_back(std::move(db));
        }
    }
    reader_free_.notify_one();
}

void
PgStore::write_batch(std::vector<Record> &batch)
{
    for (size_t start = 0; start < batch.size(); start += batch_records) {
        size_t end = std::min(batch.size(), start + batch_records);
        int failures = 0;
        std::chrono::milliseconds pause(100);
        for (;;) {
            try {
                make_partitions(batch, start, end);
                write_chunk(batch, start, end);
                if (unreachable_) {
                    unreachable_ = false;
                    log("store: PostgreSQL reachable again");
                }
                break;
            } catch (const StoreError &e) {
                bool reachable = writer_ && writer_->ok();
                if (!reachable && !unreachable_) {
                    unreachable_ = true;
                    log(std::string("store: ") + e.what() + "; trying again");
                } else if (reachable) {
                    log(std::string("store: ") + e.what());
                }
                /* a database that is down keeps the batch until it is
                 * back (ingest's queue bounds what waits meanwhile); a
                 * statement that fails on a live one costs its rows */
                if ((reachable && ++failures >= statement_tries)
                    || stopping()) {
                    counters_.write_errors += end - start;
                    break;
                }
                std::this_thread::sleep_for(pause);
                pause = std::min(pause * 2, std::chrono::milliseconds(2000));
            }
        }
    }
}

void
PgStore::make_partitions(std::vector<Record> &batch, size_t begin, size_t end)
{
    int64_t today = day_of(now_ms());
    std::set<int64_t> wanted;
    for (size_t i = begin; i < end; i++) {
        if (const auto *e = std::get_if<Exchange>(&batch[i])) {
            int64_t d = day_of(e->time_ms);
            if (d >= today - days_back && d <= today + days_ahead
                && days_.count(d) == 0) {
                wanted.insert(d);
            }
        }
    }
    for (int64_t d : wanted) {
        make_partition(d);
    }
}

/* Another collector may be making the same partition, or dropping an old
 * one: both happen under one advisory lock, and making one looks first
 * whether it is there.  Rows of its day that went to exchanges_other
 * before it existed move into it. */
void
PgStore::make_partition(int64_t day)
{
    PgConnection &db = writer();
    std::string name = partition_name(day);
    std::string lo = number(day * day_ms), hi = number((day + 1) * day_ms);
    db.exec("BEGIN");
    try {
        db.exec("SET LOCAL lock_timeout = '10s'");
        db.exec("SELECT pg_advisory_xact_lock(" + number(pg_partition_lock)
                + ")");
        bool there =
            db.query("SELECT to_regclass($1) IS NOT NULL", {name}).integer(0, 0)
            != 0;
        if (!there) {
            std::string range =
                " WHERE time_ms >= " + lo + " AND time_ms < " + hi;
            db.exec("CREATE TEMP TABLE moving ON COMMIT DROP AS SELECT * "
                    "FROM exchanges_other"
                    + range);
            db.exec("DELETE FROM exchanges_other" + range);
            db.exec("CREATE TABLE " + name
                    + " PARTITION OF exchanges FOR "
                      "VALUES FROM ("
                    + lo + ") TO (" + hi + ")");
            db.exec("INSERT INTO exchanges SELECT * FROM moving");
        }
        db.exec("COMMIT");
        if (!there) {
            counters_.partitions_created++;
        }
    } catch (const StoreError &) {
        try {
            db.exec("ROLLBACK");
        } catch (const StoreError &) {
        }
        throw;
    }
    days_.insert(day);
}

void
PgStore::write_chunk(std::vector<Record> &batch, size_t begin, size_t end)
{
    PgConnection &db = writer();
    CopyWriter exchanges, stats;
    for (size_t i = begin; i < end; i++) {
        if (const auto *e = std::get_if<Exchange>(&batch[i])) {
            exchanges.row(23);
            exchanges.integer4(static_cast<int32_t>(i - begin));
            exchanges.integer(e->time_ms);
            exchanges.integer(e->received_ms);
            exchanges.text(without_nul(e->sensor_host));
            exchanges.text(without_nul(e->instance));
            exchanges.integer(e->worker_pid);
            exchanges.text(without_nul(e->format));
            exchanges.text(without_nul(e->method));
            exchanges.text(without_nul(e->uri));
            exchanges.integer4(e->status);
            exchanges.text(without_nul(e->client_ip));
            exchanges.integer4(e->client_port);
            exchanges.integer(e->latency_ms);
            exchanges.text(without_nul(e->request_id));
            exchanges.text(without_nul(e->logging_level));
            exchanges.text(headers_json(e->request_headers));
            exchanges.text(headers_json(e->response_headers));
            exchanges.bytes(e->request_body);
            exchanges.bytes(e->response_body);
            exchanges.boolean(e->request_body_truncated);
            exchanges.boolean(e->response_body_truncated);
            exchanges.text(e->meta.empty() ? "{}" : without_nul(e->meta));
            exchanges.text(without_nul(e->peer));
        } else if (const auto *s = std::get_if<StatsDoc>(&batch[i])) {
            stats.row(7);
            stats.integer(s->time_ms);
            stats.text(without_nul(s->sensor_host));
            stats.text(without_nul(s->instance));
            stats.integer(s->pid);
            stats.text(without_nul(s->access));
            stats.text(without_nul(s->auth));
            stats.text(without_nul(s->peer));
        }
    }
    size_t exchange_rows = exchanges.rows(), stats_rows = stats.rows();

    db.exec("BEGIN");
    try {
        int64_t inserted = 0;
        if (exchange_rows > 0) {
            db.copy_in(std::string("COPY incoming_exchanges (ord, ")
                           + exchange_columns + ") FROM STDIN (FORMAT binary)",
                       exchanges.finish());
            /* the minutes' spans of ids grow with what went in; they
             * are locked in minute order, so that two collectors writing
             * the same minutes wait for each other rather than
             * deadlock */
            inserted =
                db.query(
                      std::string("WITH kept AS (INSERT INTO exchanges (")
                          + exchange_columns + ") SELECT " + exchange_columns
                          + " FROM incoming_exchanges ORDER BY ord "
                            "ON CONFLICT DO NOTHING RETURNING id, time_ms), "
                            "spans AS (INSERT INTO exchange_minutes "
                            "SELECT time_ms / 60000, min(id), max(id) FROM "
                            "kept GROUP BY 1 ORDER BY 1 ON CONFLICT (minute) "
                            "DO UPDATE SET min_id = least("
                            "exchange_minutes.min_id, excluded.min_id), "
                            "max_id = greatest(exchange_minutes.max_id, "
                            "excluded.max_id)) SELECT count(*) FROM kept",
                      {})
                    .integer(0, 0);
        }
        if (stats_rows > 0) {
            db.copy_in("COPY stats (time_ms, sensor_host, instance, pid, "
                       "access, auth, peer) FROM STDIN (FORMAT binary)",
                       stats.finish());
        }
        uint64_t heartbeats = 0;
        for (size_t i = begin; i < end; i++) {
            if (const auto *s = std::get_if<StatsDoc>(&batch[i])) {
                write_sensor(db, *s);
            } else if (const auto *h = std::get_if<Heartbeat>(&batch[i])) {
                write_sensor(db, *h);
                heartbeats++;
            }
        }
        db.exec("COMMIT");
        counters_.exchanges_stored += static_cast<uint64_t>(inserted);
        counters_.duplicates_ignored +=
            exchange_rows - static_cast<uint64_t>(inserted);
        counters_.stats_stored += stats_rows;
        counters_.heartbeats_stored += heartbeats;
        counters_.transactions++;
    } catch (const StoreError &) {
        if (db.ok()) {
            try {
                db.exec("ROLLBACK");
            } catch (const StoreError &) {
            }
        }
        throw;
    }
}

void
PgStore::write_sensor(PgConnection &db, const StatsDoc &s)
{
    std::string key = worker_key(s.sensor_host, s.instance, s.pid, 0, "");
    std::string by_connection =
        worker_key(s.sensor_host, s.instance, 0, s.connection, s.peer);
    db.query("INSERT INTO sensors (key, host, instance, pid, last_stats_ms, "
             "peer, first_seen_ms, last_access, last_auth) VALUES ($1, $2, "
             "$3, $4::bigint, $5::bigint, $6, $5::bigint, $7, $8) "
             "ON CONFLICT (key) DO UPDATE SET "
             "previous_stats_ms = sensors.last_stats_ms, "
             "last_stats_ms = excluded.last_stats_ms, peer = excluded.peer, "
             "last_access = excluded.last_access, "
             "last_auth = excluded.last_auth",
             {without_nul(key), without_nul(s.sensor_host),
              without_nul(s.instance), number(s.pid), number(s.time_ms),
              without_nul(s.peer), without_nul(s.access), without_nul(s.auth)});
    /* heartbeats seen before the pid was known move to its row */
    db.query("UPDATE sensors s SET mode = coalesce(s.mode, o.mode), "
             "last_heartbeat_ms = greatest(s.last_heartbeat_ms, "
             "o.last_heartbeat_ms), heartbeats = s.heartbeats + o.heartbeats, "
             "first_seen_ms = least(s.first_seen_ms, o.first_seen_ms) "
             "FROM sensors o WHERE s.key = $1 AND o.key = $2",
             {without_nul(key), without_nul(by_connection)});
    db.query("DELETE FROM sensors WHERE key = $1",
             {without_nul(by_connection)});
}

void
PgStore::write_sensor(PgConnection &db, const Heartbeat &h)
{
    std::string key =
        worker_key(h.sensor_host, h.instance, h.pid, h.connection, h.peer);
    db.query(
        "INSERT INTO sensors (key, host, instance, pid, mode, "
        "last_heartbeat_ms, heartbeats, peer, first_seen_ms) VALUES ($1, $2, "
        "$3, $4::bigint, $5, $6::bigint, 1, $7, $6::bigint) "
        "ON CONFLICT (key) DO UPDATE SET mode = excluded.mode, "
        "last_heartbeat_ms = greatest(sensors.last_heartbeat_ms, "
        "excluded.last_heartbeat_ms), heartbeats = sensors.heartbeats + 1, "
        "peer = excluded.peer",
        {without_nul(key), without_nul(h.sensor_host), without_nul(h.instance),
         h.pid > 0 ? std::optional<std::string>(number(h.pid)) : std::nullopt,
         without_nul(h.logging_level), number(h.time_ms), without_nul(h.peer)});
}

void
PgStore::maintain()
{
    try {
        /* what other collectors made or dropped */
        std::set<int64_t> there;
        for (int64_t d : partition_days()) {
            there.insert(d);
        }
        days_ = there;
        int64_t today = day_of(now_ms());
        for (int64_t d = today - 1; d <= today + days_ahead; d++) {
            if (days_.count(d) == 0) {
                make_partition(d);
            }
        }
        if (options_.retain_days > 0 && now_ms() >= next_retention_ms_) {
            next_retention_ms_ = now_ms() + retention_every_ms;
            apply_retention();
        }
    } catch (const StoreError &e) {
        if (!unreachable_) {
            log(std::string("store: maintenance: ") + e.what());
        }
    }
}

std::vector<int64_t>
PgStore::partition_days()
{
    auto db = reader();
    PgResult r = db->get().query(
        "SELECT c.relname::text FROM pg_inherits i JOIN pg_class c ON c.oid "
        "= i.inhrelid WHERE i.inhparent = 'exchanges'::regclass",
        {});
    std::vector<int64_t> out;
    for (int i = 0; i < r.rows(); i++) {
        std::string name = r.text(i, 0);
        std::tm tm{};
        if (name.size() != 18 || name.compare(0, 10, "exchanges_") != 0
            || strptime(name.c_str() + 10, "%Y%m%d", &tm) == nullptr) {
            continue;
        }
        out.push_back(day_of(static_cast<int64_t>(timegm(&tm)) * 1000));
    }
    std::sort(out.begin(), out.end());
    return out;
}

/* Whole days older than the limit go with their partition; what else is
 * that old (rows of exchanges_other, statistics documents, workers not
 * seen since) row by row. */
void
PgStore::apply_retention()
{
    PgConnection &db = writer();
    int64_t cutoff = now_ms() - options_.retain_days * day_ms;
    for (int64_t d : partition_days()) {
        if ((d + 1) * day_ms > cutoff) {
            continue;
        }
        db.exec("BEGIN");
        try {
            db.exec("SET LOCAL lock_timeout = '5s'");
            db.exec("SELECT pg_advisory_xact_lock(" + number(pg_partition_lock)
                    + ")");
            db.exec("DROP TABLE IF EXISTS " + partition_name(d));
            db.exec("COMMIT");
            counters_.partitions_dropped++;
            days_.erase(d);
        } catch (const StoreError &e) {
            try {
                db.exec("ROLLBACK");
            } catch (const StoreError &) {
            }
            log(std::string("store: retention: ") + e.what()
                + "; trying again later");
            return;
        }
    }
    std::string c = number(cutoff);
    int64_t gone =
        db.exec("DELETE FROM exchanges_other WHERE received_ms < " + c)
            .affected()
        + db.exec("DELETE FROM stats WHERE time_ms < " + c).affected();
    db.exec("DELETE FROM sensors WHERE greatest(last_heartbeat_ms, "
            "last_stats_ms, first_seen_ms) < "
            + c);
    /* the spans of minutes whose rows are all gone */
    db.exec("DELETE FROM exchange_minutes WHERE max_id < (SELECT "
            "coalesce(min(id), 0) FROM exchanges)");
    counters_.rows_pruned += static_cast<uint64_t>(gone);
}

std::vector<ExchangeRow>
PgStore::exchanges(const ExchangeQuery &q)
{
    IdSpan span;
    if (q.since_ms > 0 || q.until_ms > 0) {
        auto r = reader();
        PgResult res = r->get().query(span_query(q), {});
        if (res.null(0, 1)) {
            return {};
        }
        span = {res.integer(0, 0), res.integer(0, 1)};
    }
    ExchangeFilter f = exchange_filter(q, dialect(), span);
    std::vector<std::optional<std::string>> params;
    for (const auto &t : f.texts) {
        params.emplace_back(without_nul(t));
    }
    auto run = [&](const std::string &sql) {
        auto r = reader();
        PgResult res = r->get().query(sql, params);
        std::vector<ExchangeRow> out;
        out.reserve(static_cast<size_t>(res.rows()));
        for (int i = 0; i < res.rows(); i++) {
            out.push_back(summary_row(res, i));
        }
        return out;
    };
    if (f.probe_first) {
        auto rows = run(probe_query(q, f, summary_columns));
        if (rows.size() >= static_cast<size_t>(q.limit)) {
            return rows;
        }
    }
    return run(direct_query(q, f, summary_columns));
}

std::optional<ExchangeRow>
PgStore::exchange(int64_t id, BodyWindow window)
{
    auto length = [](size_t n) {
        return number(n > static_cast<size_t>(INT_MAX)
                          ? INT_MAX
                          : static_cast<int64_t>(n));
    };
    auto r = reader();
    PgResult res = r->get().query(
        std::string("SELECT ") + summary_columns
            + ", request_headers, response_headers, "
              "substring(request_body FROM 1 FOR $2::integer), "
              "substring(response_body FROM 1 FOR $3::integer), meta "
              "FROM exchanges WHERE id = $1::bigint",
        {number(id), length(window.request), length(window.response)});
    if (res.rows() == 0) {
        return std::nullopt;
    }
    ExchangeRow row = summary_row(res, 0);
    Exchange &x = row.exchange;
    int c = summary_count;
    x.request_headers = parse_headers(res.text(0, c));
    x.response_headers = parse_headers(res.text(0, c + 1));
    x.request_body = res.bytes(0, c + 2);
    x.response_body = res.bytes(0, c + 3);
    x.meta = res.text(0, c + 4);
    return row;
}

std::vector<SensorRow>
PgStore::sensors(const SensorQuery &q)
{
    auto r = reader();
    PgResult res = r->get().query(
        std::string("SELECT key, host, instance, pid, mode, "
                    "last_heartbeat_ms, heartbeats, last_stats_ms, peer, "
                    "first_seen_ms")
            + (q.with_counters
                   ? ", coalesce(last_access, ''), coalesce(last_auth, ''), "
                     "previous_stats_ms"
                   : "")
            + " FROM sensors WHERE key > $1 ORDER BY key LIMIT "
            + number(q.limit),
        {without_nul(q.after)});
    std::vector<SensorRow> out;
    for (int i = 0; i < res.rows(); i++) {
        SensorRow s;
        s.key = res.text(i, 0);
        s.host = res.text(i, 1);
        s.instance = res.text(i, 2);
        s.pid = res.optional(i, 3);
        if (!res.null(i, 4)) {
            s.mode = res.text(i, 4);
        }
        s.last_heartbeat_ms = res.optional(i, 5);
        s.heartbeats = res.integer(i, 6);
        s.last_stats_ms = res.optional(i, 7);
        s.peer = res.text(i, 8);
        s.first_seen_ms = res.integer(i, 9);
        if (q.with_counters) {
            s.last_access = res.text(i, 10);
            s.last_auth = res.text(i, 11);
            s.previous_stats_ms = res.optional(i, 12);
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<StatsRow>
PgStore::stats(const StatsQuery &q)
{
    std::vector<std::string> texts;
    std::string sql = stats_query(q, dialect(), texts);
    std::vector<std::optional<std::string>> params;
    for (const auto &t : texts) {
        params.emplace_back(without_nul(t));
    }
    auto r = reader();
    PgResult res = r->get().query(sql, params);
    std::vector<StatsRow> out;
    for (int i = 0; i < res.rows(); i++) {
        StatsRow s;
        s.id = res.integer(i, 0);
        s.time_ms = res.integer(i, 1);
        s.sensor_host = res.text(i, 2);
        s.instance = res.text(i, 3);
        s.pid = res.integer(i, 4);
        s.access = res.text(i, 5);
        s.auth = res.text(i, 6);
        out.push_back(std::move(s));
    }
    return out;
}

std::optional<StoredControl>
PgStore::control_settings()
{
    auto r = reader();
    PgResult res = r->get().query("SELECT version, settings, changed_ms "
                                  "FROM control_settings WHERE id = 1",
                                  {});
    if (res.rows() == 0) {
        return std::nullopt;
    }
    StoredControl c;
    c.version = res.integer(0, 0);
    c.settings = res.text(0, 1);
    c.changed_ms = res.integer(0, 2);
    return c;
}

namespace {

/* After a failure inside a transaction: a connection that cannot even
 * roll back is broken, and its borrower does not give it back. */
void
roll_back(PgConnection &db)
{
    try {
        db.exec("ROLLBACK");
    } catch (const StoreError &) {
    }
}

int64_t
insert_change(PgConnection &db, const ControlChangeRow &c)
{
    PgResult res =
        db.query("INSERT INTO control_changes (time_ms, caller, before, after) "
                 "VALUES ($1::bigint, $2, $3, $4) RETURNING id",
                 {number(c.time_ms), without_nul(c.caller),
                  without_nul(c.before), without_nul(c.after)});
    return res.integer(0, 0);
}

} // namespace

/* The settings and their change's record in one transaction: a change
 * that cannot be recorded is not made. */
bool
PgStore::replace_control_settings(int64_t expected, const std::string &settings,
                                  int64_t now, const ControlChangeRow *change)
{
    auto r = reader();
    PgConnection &db = r->get();
    db.exec("BEGIN");
    try {
        PgResult res =
            expected == 0
                ? db.query("INSERT INTO control_settings (id, version, "
                           "settings, changed_ms) VALUES (1, 1, $1, "
                           "$2::bigint) ON CONFLICT DO NOTHING",
                           {without_nul(settings), number(now)})
                : db.query(
                    "UPDATE control_settings SET version = "
                    "version + 1, settings = $1, changed_ms = "
                    "$2::bigint WHERE id = 1 AND version = "
                    "$3::bigint",
                    {without_nul(settings), number(now), number(expected)});
        bool done = res.affected() == 1;
        if (done && change != nullptr) {
            insert_change(db, *change);
        }
        db.exec(done ? "COMMIT" : "ROLLBACK");
        return done;
    } catch (const StoreError &) {
        roll_back(db);
        throw;
    }
}

int64_t
PgStore::add_control_change(const ControlChangeRow &c)
{
    auto r = reader();
    return insert_change(r->get(), c);
}

std::vector<ControlChangeRow>
PgStore::control_changes(const ControlChangeQuery &q)
{
    std::string sql = "SELECT id, time_ms, caller, before, after FROM "
                      "control_changes";
    if (q.before_id > 0) {
        sql += " WHERE id < " + std::to_string(q.before_id);
    }
    sql += " ORDER BY id DESC LIMIT " + std::to_string(q.limit);
    auto r = reader();
    PgResult res = r->get().query(sql, {});
    std::vector<ControlChangeRow> out;
    for (int i = 0; i < res.rows(); i++) {
        ControlChangeRow c;
        c.id = res.integer(i, 0);
        c.time_ms = res.integer(i, 1);
        c.caller = res.text(i, 2);
        c.before = res.text(i, 3);
        c.after = res.text(i, 4);
        out.push_back(std::move(c));
    }
    return out;
}

/* The first collector of a database to ask keeps its fresh key; every
 * other, at once or later, reads that one: the conflict makes the race
 * harmless. */
std::string
PgStore::redaction_key(const std::string &fresh)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex = "\\x";
    for (unsigned char ch : fresh) {
        hex += digits[ch >> 4];
        hex += digits[ch & 15];
    }
    auto r = reader();
    r->get().query("INSERT INTO collector_keys (name, value, created_ms) "
                   "VALUES ('redaction', $1::bytea, $2::bigint) "
                   "ON CONFLICT (name) DO NOTHING",
                   {hex, number(now_ms())});
    PgResult res = r->get().query(
        "SELECT value FROM collector_keys WHERE name = 'redaction'", {});
    if (res.rows() != 1) {
        throw StoreError("the redaction key is not in the database");
    }
    return res.text(0, 0);
}

std::string
PgStore::describe() const
{
    return "PostgreSQL " + masked_uri(options_.uri);
}

} // namespace kv
