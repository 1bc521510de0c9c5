#include "store/sqlite_store.h"

#include <climits>

#include <sys/stat.h>

#include <sqlite3.h>

#include "base/text.h"
#include "store/exchange_filter.h"
#include "store/row_text.h"
#include "store/sqlite_schema.h"

namespace kv {

namespace {

/* A batch is one transaction up to this many records. */
constexpr size_t batch_records = 10000;

/* What a list shows of an exchange: everything but headers, bodies and
 * meta, and the bodies' sizes (length() of a blob reads no more than the
 * row's header). */
constexpr const char *summary_columns =
    "id, time_ms, received_ms, sensor_host, instance, worker_pid, format, "
    "method, uri, status, client_ip, client_port, latency_ms, request_id, "
    "logging_level, request_body_truncated, response_body_truncated, peer, "
    "length(request_body) AS request_body_size, "
    "length(response_body) AS response_body_size";
constexpr int summary_count = 20;

void
bind_text(sqlite3_stmt *st, int i, const std::string &s)
{
    sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()),
                      SQLITE_STATIC);
}

void
bind_blob(sqlite3_stmt *st, int i, const std::optional<std::string> &b)
{
    if (!b) {
        sqlite3_bind_null(st, i);
        return;
    }
    sqlite3_bind_blob(st, i, b->data(), static_cast<int>(b->size()),
                      SQLITE_STATIC);
}

std::string
column_text(sqlite3_stmt *st, int i)
{
    const auto *p = sqlite3_column_text(st, i);
    return p ? std::string(reinterpret_cast<const char *>(p),
                           static_cast<size_t>(sqlite3_column_bytes(st, i)))
             : std::string();
}

std::optional<int64_t>
column_optional(sqlite3_stmt *st, int i)
{
    if (sqlite3_column_type(st, i) == SQLITE_NULL) {
        return std::nullopt;
    }
    return sqlite3_column_int64(st, i);
}

std::optional<std::string>
column_blob(sqlite3_stmt *st, int i)
{
    if (sqlite3_column_type(st, i) == SQLITE_NULL) {
        return std::nullopt;
    }
    const void *p = sqlite3_column_blob(st, i);
    size_t n = static_cast<size_t>(sqlite3_column_bytes(st, i));
    return p ? std::string(static_cast<const char *>(p), n) : std::string();
}

ExchangeRow
summary_row(sqlite3_stmt *st)
{
    ExchangeRow r;
    Exchange &x = r.exchange;
    r.id = sqlite3_column_int64(st, 0);
    x.time_ms = sqlite3_column_int64(st, 1);
    x.received_ms = sqlite3_column_int64(st, 2);
    x.sensor_host = column_text(st, 3);
    x.instance = column_text(st, 4);
    x.worker_pid = sqlite3_column_int64(st, 5);
    x.format = column_text(st, 6);
    x.method = column_text(st, 7);
    x.uri = column_text(st, 8);
    x.status = sqlite3_column_int(st, 9);
    x.client_ip = column_text(st, 10);
    x.client_port = sqlite3_column_int(st, 11);
    x.latency_ms = sqlite3_column_int64(st, 12);
    x.request_id = column_text(st, 13);
    x.logging_level = column_text(st, 14);
    x.request_body_truncated = sqlite3_column_int(st, 15) != 0;
    x.response_body_truncated = sqlite3_column_int(st, 16) != 0;
    x.peer = column_text(st, 17);
    r.request_body_size = column_optional(st, 18);
    r.response_body_size = column_optional(st, 19);
    return r;
}

class Statement {
  public:
    Statement(sqlite3 *db, const std::string &sql)
    {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st_, nullptr)
            != SQLITE_OK) {
            st_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    sqlite3_stmt *get() const { return st_; }

  private:
    sqlite3_stmt *st_ = nullptr;
};

bool
exec(sqlite3 *db, const char *sql, std::string *error = nullptr)
{
    char *msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        if (error) {
            *error = msg ? msg : "SQLite error";
        }
        sqlite3_free(msg);
        return false;
    }
    return true;
}

/* A prepared statement that must prepare: a read that cannot is an
 * error to report, not an empty answer. */
class Query : public Statement {
  public:
    Query(sqlite3 *db, const std::string &sql) : Statement(db, sql), db_(db)
    {
        if (get() == nullptr) {
            throw StoreError(std::string("cannot read the database: ")
                             + sqlite3_errmsg(db));
        }
    }
    /* the next row, or false at the end; throws on an error */
    bool step()
    {
        int rc = sqlite3_step(get());
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            throw StoreError(std::string("cannot read the database: ")
                             + sqlite3_errmsg(db_));
        }
        return false;
    }

  private:
    sqlite3 *db_;
};

int64_t
scalar(sqlite3 *db, const char *sql)
{
    Statement st(db, sql);
    if (st.get() && sqlite3_step(st.get()) == SQLITE_ROW) {
        return sqlite3_column_int64(st.get(), 0);
    }
    return 0;
}

const SqlDialect &
dialect()
{
    static const SqlDialect d{[](size_t n) { return "?" + std::to_string(n); },
                              [](const std::string &column, size_t n) {
                                  std::string p = "?" + std::to_string(n);
                                  return "substr(" + column + ", 1, length(" + p
                                         + ")) = " + p;
                              }};
    return d;
}

/* substr() takes its length as a 32-bit number */
int64_t
window_length(size_t n)
{
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int64_t>(n);
}

} // namespace

/* A read-only connection borrowed for one read. */
class SqliteStore::Reader {
  public:
    Reader(SqliteStore &store, sqlite3 *db) : store_(store), db_(db) {}
    ~Reader() { store_.give_back(db_); }
    sqlite3 *get() const { return db_; }

  private:
    SqliteStore &store_;
    sqlite3 *db_;
};

/* The database holds other people's secrets: only its owner may read it.
 * New files get no access for others (SQLite gives its -wal and -shm files
 * the database's own mode); files an earlier run left readable are
 * closed to others too. */
class OwnerOnly {
  public:
    explicit OwnerOnly(const std::string &path) : path_(path)
    {
        old_ = ::umask(077);
    }
    ~OwnerOnly()
    {
        ::umask(old_);
        for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
            std::string f = path_ + suffix;
            struct stat st;
            if (::stat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode)
                && (st.st_mode & 077) != 0) {
                ::chmod(f.c_str(), st.st_mode & 0700);
            }
        }
    }
    OwnerOnly(const OwnerOnly &) = delete;
    OwnerOnly &operator=(const OwnerOnly &) = delete;

  private:
    std::string path_;
    mode_t old_;
};

SqliteStore::SqliteStore(const Options &options)
    : QueuedStore(options.queue), options_(options)
{
    if (options.age.max_age_ms > 0) {
        maintain_interval = std::chrono::milliseconds(std::clamp<int64_t>(
            options.age.interval_ms, 1, maintain_interval.count()));
    }
}

std::unique_ptr<SqliteStore>
SqliteStore::open(const Options &options, std::string &error)
{
    std::unique_ptr<SqliteStore> s(new SqliteStore(options));
    if (!s->init(error)) {
        return nullptr;
    }
    return s;
}

bool
SqliteStore::init(std::string &error)
{
    const std::string &path = options_.path;
    /* before any thread of ours runs: the umask is the process's */
    OwnerOnly owner_only(path);
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                            | SQLITE_OPEN_NOMUTEX,
                        nullptr)
        != SQLITE_OK) {
        error = "cannot open database " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    std::string why;
    /* WAL: the console reads while the writer writes.  A checkpoint
     * syncs the disk; at the default of every 1000 pages a busy sensor
     * would have the writer waiting on syncs most of the time, so they
     * come every 64 MiB of log instead (4096 pages of 16 KiB), and the log
     * file is cut back to that size after each. */
    /* rows are a kilobyte or more: larger pages mean fewer writes per
     * row (this takes effect only when the file is created) */
    if (!exec(db_, "PRAGMA page_size=16384", &why)
        || !exec(db_, "PRAGMA journal_mode=WAL", &why)
        || !exec(db_, "PRAGMA synchronous=NORMAL", &why)
        || !exec(db_, "PRAGMA wal_autocheckpoint=4096", &why)
        || !exec(db_, "PRAGMA mmap_size=268435456", &why)
        || !exec(db_, "PRAGMA journal_size_limit=67108864", &why)
        || !exec(db_, "PRAGMA cache_size=-32768", &why)) {
        error = "cannot set up database " + path + ": " + why;
        return false;
    }
    if (!migrate_sqlite(db_, sqlite_migrations(), why)) {
        error = "database " + path + ": " + why;
        return false;
    }
    for (int i = 0; i < std::max(1, options_.readers); i++) {
        sqlite3 *r = nullptr;
        if (sqlite3_open_v2(path.c_str(), &r,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr)
            != SQLITE_OK) {
            sqlite3_close(r);
            error = "cannot open database " + path + " for reading";
            return false;
        }
        sqlite3_busy_timeout(r, 5000);
        readers_.push_back(r);
    }
    free_readers_ = readers_;
    if (sqlite3_open_v2(path.c_str(), &direct_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr)
        != SQLITE_OK) {
        error = "cannot open database " + path + ": "
                + (direct_ ? sqlite3_errmsg(direct_) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(direct_, 5000);

    auto prepare = [&](sqlite3_stmt **st, const char *sql) {
        return sqlite3_prepare_v2(db_, sql, -1, st, nullptr) == SQLITE_OK;
    };
    bool ok =
        prepare(&insert_exchange_,
                "INSERT INTO exchanges (time_ms, received_ms, sensor_host, "
                "instance, worker_pid, format, method, uri, status, "
                "client_ip, client_port, latency_ms, request_id, "
                "logging_level, request_headers, response_headers, "
                "request_body, response_body, request_body_truncated, "
                "response_body_truncated, meta, peer) VALUES (?1, ?2, ?3, "
                "?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, "
                "?17, ?18, ?19, ?20, ?21, ?22) ON CONFLICT DO NOTHING")
        && prepare(&insert_stats_,
                   "INSERT INTO stats (time_ms, sensor_host, instance, pid, "
                   "access, auth, peer) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
        && prepare(&upsert_heartbeat_,
                   "INSERT INTO sensors (key, host, instance, pid, mode, "
                   "last_heartbeat_ms, heartbeats, peer, first_seen_ms) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, 1, ?7, ?6) "
                   "ON CONFLICT (key) DO UPDATE SET mode = ?5, "
                   "last_heartbeat_ms = ?6, heartbeats = heartbeats + 1, "
                   "peer = ?7")
        && prepare(&upsert_stats_sensor_,
                   "INSERT INTO sensors (key, host, instance, pid, "
                   "last_stats_ms, peer, first_seen_ms, last_access, "
                   "last_auth) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?5, ?7, ?8) "
                   "ON CONFLICT (key) DO UPDATE SET "
                   "previous_stats_ms = last_stats_ms, last_stats_ms = ?5, "
                   "peer = ?6, last_access = ?7, last_auth = ?8")
        /* heartbeats seen before the pid was known move to its row */
        && prepare(&fold_sensor_,
                   "UPDATE sensors SET "
                   "mode = coalesce(mode, (SELECT mode FROM sensors "
                   "  WHERE key = ?2)), "
                   "last_heartbeat_ms = max(coalesce(last_heartbeat_ms, 0), "
                   "  coalesce((SELECT last_heartbeat_ms FROM sensors "
                   "  WHERE key = ?2), 0)), "
                   "heartbeats = heartbeats + coalesce((SELECT heartbeats "
                   "  FROM sensors WHERE key = ?2), 0), "
                   "first_seen_ms = min(first_seen_ms, coalesce((SELECT "
                   "  first_seen_ms FROM sensors WHERE key = ?2), "
                   "  first_seen_ms)) "
                   "WHERE key = ?1")
        && prepare(&delete_sensor_, "DELETE FROM sensors WHERE key = ?1");
    if (!ok) {
        error =
            std::string("cannot prepare statements: ") + sqlite3_errmsg(db_);
        return false;
    }

    exchange_min_id_ =
        scalar(db_, "SELECT coalesce(min(id), 0) FROM exchanges");
    exchange_max_id_ =
        scalar(db_, "SELECT coalesce(max(id), 0) FROM exchanges");
    stats_min_id_ = scalar(db_, "SELECT coalesce(min(id), 0) FROM stats");
    stats_max_id_ = scalar(db_, "SELECT coalesce(max(id), 0) FROM stats");
    prune();
    return true;
}

SqliteStore::~SqliteStore()
{
    stop();
    for (sqlite3_stmt *st :
         {insert_exchange_, insert_stats_, upsert_heartbeat_,
          upsert_stats_sensor_, fold_sensor_, delete_sensor_, upsert_minute_}) {
        sqlite3_finalize(st);
    }
    for (sqlite3 *r : readers_) {
        sqlite3_close(r);
    }
    sqlite3_close(direct_);
    sqlite3_close(db_);
}

std::unique_ptr<SqliteStore::Reader>
SqliteStore::reader()
{
    std::unique_lock<std::mutex> g(readers_lock_);
    reader_free_.wait(g, [this] { return !free_readers_.empty(); });
    sqlite3 *db = free_readers_.back();
    free_readers_.pop_back();
    return std::make_unique<Reader>(*this, db);
}

void
SqliteStore::give_back(sqlite3 *db)
{
    {
        std::lock_guard<std::mutex> g(readers_lock_);
        free_readers_.push_back(db);
    }
    reader_free_.notify_one();
}

void
SqliteStore::write_batch(std::vector<Record> &batch)
{
    for (size_t start = 0; start < batch.size(); start += batch_records) {
        size_t end = std::min(batch.size(), start + batch_records);
        if (!exec(db_, "BEGIN")) {
            counters_.write_errors += end - start;
            continue;
        }
        for (size_t i = start; i < end; i++) {
            std::visit([this](auto &r) { write(r); }, batch[i]);
        }
        write_minutes();
        prune();
        if (!exec(db_, "COMMIT")) {
            exec(db_, "ROLLBACK");
            counters_.write_errors += end - start;
        }
        counters_.transactions++;
    }
}

void
SqliteStore::write(Exchange &e)
{
    sqlite3_stmt *st = insert_exchange_;
    std::string req_h = headers_json(e.request_headers);
    std::string resp_h = headers_json(e.response_headers);
    sqlite3_bind_int64(st, 1, e.time_ms);
    sqlite3_bind_int64(st, 2, e.received_ms);
    bind_text(st, 3, e.sensor_host);
    bind_text(st, 4, e.instance);
    sqlite3_bind_int64(st, 5, e.worker_pid);
    bind_text(st, 6, e.format);
    bind_text(st, 7, e.method);
    bind_text(st, 8, e.uri);
    sqlite3_bind_int(st, 9, e.status);
    bind_text(st, 10, e.client_ip);
    sqlite3_bind_int(st, 11, e.client_port);
    sqlite3_bind_int64(st, 12, e.latency_ms);
    bind_text(st, 13, e.request_id);
    bind_text(st, 14, e.logging_level);
    bind_text(st, 15, req_h);
    bind_text(st, 16, resp_h);
    bind_blob(st, 17, e.request_body);
    bind_blob(st, 18, e.response_body);
    sqlite3_bind_int(st, 19, e.request_body_truncated ? 1 : 0);
    sqlite3_bind_int(st, 20, e.response_body_truncated ? 1 : 0);
    static const std::string no_meta = "{}";
    bind_text(st, 21, e.meta.empty() ? no_meta : e.meta);
    bind_text(st, 22, e.peer);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE && sqlite3_changes(db_) == 0) {
        counters_.duplicates_ignored++;
    } else if (rc == SQLITE_DONE) {
        exchange_max_id_ = sqlite3_last_insert_rowid(db_);
        auto [at, fresh] = minutes_.try_emplace(
            minute_of(e.time_ms), exchange_max_id_, exchange_max_id_);
        if (!fresh) {
            at->second.second = exchange_max_id_;
        }
        if (exchange_min_id_ == 0) {
            exchange_min_id_ = exchange_max_id_;
        }
        counters_.exchanges_stored++;
    } else {
        counters_.write_errors++;
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
}

void
SqliteStore::write(StatsDoc &s)
{
    sqlite3_stmt *st = insert_stats_;
    sqlite3_bind_int64(st, 1, s.time_ms);
    bind_text(st, 2, s.sensor_host);
    bind_text(st, 3, s.instance);
    sqlite3_bind_int64(st, 4, s.pid);
    bind_text(st, 5, s.access);
    bind_text(st, 6, s.auth);
    bind_text(st, 7, s.peer);
    if (sqlite3_step(st) == SQLITE_DONE) {
        stats_max_id_ = sqlite3_last_insert_rowid(db_);
        if (stats_min_id_ == 0) {
            stats_min_id_ = stats_max_id_;
        }
        counters_.stats_stored++;
    } else {
        counters_.write_errors++;
    }
    sqlite3_reset(st);

    std::string key = worker_key(s.sensor_host, s.instance, s.pid, 0, "");
    std::string by_connection =
        worker_key(s.sensor_host, s.instance, 0, s.connection, s.peer);
    st = upsert_stats_sensor_;
    bind_text(st, 1, key);
    bind_text(st, 2, s.sensor_host);
    bind_text(st, 3, s.instance);
    sqlite3_bind_int64(st, 4, s.pid);
    sqlite3_bind_int64(st, 5, s.time_ms);
    bind_text(st, 6, s.peer);
    bind_text(st, 7, s.access);
    bind_text(st, 8, s.auth);
    sqlite3_step(st);
    sqlite3_reset(st);

    st = fold_sensor_;
    bind_text(st, 1, key);
    bind_text(st, 2, by_connection);
    sqlite3_step(st);
    sqlite3_reset(st);
    st = delete_sensor_;
    bind_text(st, 1, by_connection);
    sqlite3_step(st);
    sqlite3_reset(st);
}

void
SqliteStore::write(Heartbeat &h)
{
    sqlite3_stmt *st = upsert_heartbeat_;
    std::string key =
        worker_key(h.sensor_host, h.instance, h.pid, h.connection, h.peer);
    bind_text(st, 1, key);
    bind_text(st, 2, h.sensor_host);
    bind_text(st, 3, h.instance);
    if (h.pid > 0) {
        sqlite3_bind_int64(st, 4, h.pid);
    } else {
        sqlite3_bind_null(st, 4);
    }
    bind_text(st, 5, h.logging_level);
    sqlite3_bind_int64(st, 6, h.time_ms);
    bind_text(st, 7, h.peer);
    if (sqlite3_step(st) == SQLITE_DONE) {
        counters_.heartbeats_stored++;
    } else {
        counters_.write_errors++;
    }
    sqlite3_reset(st);
}

/* The span of ids each minute's exchanges of this transaction took, added
 * to what exchange_minutes holds. */
void
SqliteStore::write_minutes()
{
    if (minutes_.empty()) {
        return;
    }
    if (upsert_minute_ == nullptr
        && sqlite3_prepare_v2(
               db_,
               "INSERT INTO exchange_minutes (minute, min_id, max_id) "
               "VALUES (?1, ?2, ?3) ON CONFLICT (minute) DO UPDATE SET "
               "min_id = min(min_id, ?2), max_id = max(max_id, ?3)",
               -1, &upsert_minute_, nullptr)
               != SQLITE_OK) {
        minutes_.clear();
        return;
    }
    for (const auto &[minute, ids] : minutes_) {
        sqlite3_bind_int64(upsert_minute_, 1, minute);
        sqlite3_bind_int64(upsert_minute_, 2, ids.first);
        sqlite3_bind_int64(upsert_minute_, 3, ids.second);
        sqlite3_step(upsert_minute_);
        sqlite3_reset(upsert_minute_);
    }
    minutes_.clear();
}

void
SqliteStore::maintain()
{
    const AgeLimit &age = options_.age;
    if (age.max_age_ms > 0 && now_ms() >= next_age_prune_ms_) {
        next_age_prune_ms_ = now_ms() + age.interval_ms;
        prune_older_than(now_ms() - age.max_age_ms);
    }
}

/* Keeps each table to the newest retain_rows rows.  Ids only grow, so the
 * oldest rows are those below a cut-off id. */
void
SqliteStore::prune()
{
    struct Table {
        const char *sql;
        int64_t &min_id;
        int64_t &max_id;
    };
    Table tables[] = {
        {"DELETE FROM exchanges WHERE id < ?1", exchange_min_id_,
         exchange_max_id_},
        {"DELETE FROM stats WHERE id < ?1", stats_min_id_, stats_max_id_},
    };
    for (auto &t : tables) {
        if (t.max_id == 0 || t.max_id - t.min_id + 1 <= options_.retain_rows) {
            continue;
        }
        int64_t cut = t.max_id - options_.retain_rows + 1;
        Statement st(db_, t.sql);
        if (!st.get()) {
            continue;
        }
        sqlite3_bind_int64(st.get(), 1, cut);
        if (sqlite3_step(st.get()) == SQLITE_DONE) {
            counters_.rows_pruned +=
                static_cast<uint64_t>(sqlite3_changes(db_));
            bool exchanges = &t.min_id == &exchange_min_id_;
            t.min_id = cut;
            if (exchanges) {
                /* the spans of minutes whose rows are all gone */
                Statement gone(db_, "DELETE FROM exchange_minutes WHERE "
                                    "max_id < ?1");
                if (gone.get()) {
                    sqlite3_bind_int64(gone.get(), 1, cut);
                    sqlite3_step(gone.get());
                }
            }
        }
    }
}

/*
 * Ids grow with arrival, so the rows older than the cut-off are those
 * below the first id that arrived at or after it: found by bisecting on
 * the id (a lookup by rowid each), where a scan of the time column would
 * read the whole table.  A row stamped a millisecond out of order at the
 * edge waits for the next pass.
 */
void
SqliteStore::prune_older_than(int64_t cutoff_ms)
{
    struct Table {
        const char *probe;
        const char *erase;
        int64_t &min_id;
        int64_t &max_id;
    };
    Table tables[] = {
        {"SELECT received_ms FROM exchanges WHERE id >= ?1 ORDER BY id "
         "LIMIT 1",
         "DELETE FROM exchanges WHERE id < ?1 AND received_ms < ?2",
         exchange_min_id_, exchange_max_id_},
        {"SELECT time_ms FROM stats WHERE id >= ?1 ORDER BY id LIMIT 1",
         "DELETE FROM stats WHERE id < ?1 AND time_ms < ?2", stats_min_id_,
         stats_max_id_},
    };
    if (!exec(db_, "BEGIN")) {
        return;
    }
    /* counted and taken as the new lowest ids once committed: a reader
     * that sees the count sees the rows gone */
    uint64_t gone = 0;
    int64_t new_min[2] = {exchange_min_id_, stats_min_id_};
    int at_table = -1;
    for (auto &t : tables) {
        at_table++;
        if (t.max_id == 0) {
            continue;
        }
        Statement probe(db_, t.probe);
        if (!probe.get()) {
            continue;
        }
        /* the first id whose row is not older than the cut-off; lo has
         * only older rows before it */
        auto time_at = [&](int64_t id) -> std::optional<int64_t> {
            sqlite3_reset(probe.get());
            sqlite3_bind_int64(probe.get(), 1, id);
            if (sqlite3_step(probe.get()) != SQLITE_ROW) {
                return std::nullopt;
            }
            return sqlite3_column_int64(probe.get(), 0);
        };
        int64_t lo = t.min_id, hi = t.max_id + 1;
        while (lo < hi) {
            int64_t mid = lo + (hi - lo) / 2;
            auto at = time_at(mid);
            if (at && *at < cutoff_ms) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        if (lo <= t.min_id) {
            continue;
        }
        Statement erase(db_, t.erase);
        if (!erase.get()) {
            continue;
        }
        sqlite3_bind_int64(erase.get(), 1, lo);
        sqlite3_bind_int64(erase.get(), 2, cutoff_ms);
        if (sqlite3_step(erase.get()) == SQLITE_DONE) {
            gone += static_cast<uint64_t>(sqlite3_changes(db_));
            new_min[at_table] = lo;
        }
    }
    Statement workers(db_, "DELETE FROM sensors WHERE max(first_seen_ms, "
                           "coalesce(last_heartbeat_ms, 0), "
                           "coalesce(last_stats_ms, 0)) < ?1");
    if (workers.get()) {
        sqlite3_bind_int64(workers.get(), 1, cutoff_ms);
        if (sqlite3_step(workers.get()) == SQLITE_DONE) {
            gone += static_cast<uint64_t>(sqlite3_changes(db_));
        }
    }
    /* the minutes that now point at no row */
    Statement minutes(db_, "DELETE FROM exchange_minutes WHERE max_id < ?1");
    if (minutes.get()) {
        sqlite3_bind_int64(minutes.get(), 1, new_min[0]);
        sqlite3_step(minutes.get());
    }
    if (!exec(db_, "COMMIT")) {
        exec(db_, "ROLLBACK");
        return;
    }
    exchange_min_id_ = new_min[0];
    stats_min_id_ = new_min[1];
    counters_.rows_pruned += gone;
}

/* With direct_lock_ held: the new row's id, 0 when it failed. */
int64_t
SqliteStore::insert_change(const ControlChangeRow &c)
{
    Statement st(direct_, "INSERT INTO control_changes (time_ms, caller, "
                          "before, after) VALUES (?1, ?2, ?3, ?4)");
    if (st.get() == nullptr) {
        return 0;
    }
    sqlite3_bind_int64(st.get(), 1, c.time_ms);
    bind_text(st.get(), 2, c.caller);
    bind_text(st.get(), 3, c.before);
    bind_text(st.get(), 4, c.after);
    if (sqlite3_step(st.get()) != SQLITE_DONE) {
        return 0;
    }
    return sqlite3_last_insert_rowid(direct_);
}

int64_t
SqliteStore::add_control_change(const ControlChangeRow &c)
{
    std::lock_guard<std::mutex> g(direct_lock_);
    int64_t id = insert_change(c);
    if (id == 0) {
        throw StoreError(std::string("cannot record the change: ")
                         + sqlite3_errmsg(direct_));
    }
    return id;
}

std::vector<ControlChangeRow>
SqliteStore::control_changes(const ControlChangeQuery &q)
{
    std::string sql = "SELECT id, time_ms, caller, before, after FROM "
                      "control_changes";
    if (q.before_id > 0) {
        sql += " WHERE id < " + std::to_string(q.before_id);
    }
    sql += " ORDER BY id DESC LIMIT " + std::to_string(q.limit);
    std::vector<ControlChangeRow> out;
    auto r = reader();
    Query st(r->get(), sql);
    while (st.step()) {
        ControlChangeRow c;
        c.id = sqlite3_column_int64(st.get(), 0);
        c.time_ms = sqlite3_column_int64(st.get(), 1);
        c.caller = column_text(st.get(), 2);
        c.before = column_text(st.get(), 3);
        c.after = column_text(st.get(), 4);
        out.push_back(std::move(c));
    }
    return out;
}

std::string
SqliteStore::redaction_key(const std::string &fresh)
{
    std::lock_guard<std::mutex> g(direct_lock_);
    auto fail = [this] {
        throw StoreError(std::string("cannot read the redaction key: ")
                         + sqlite3_errmsg(direct_));
    };
    {
        Statement st(direct_, "INSERT INTO collector_keys (name, value, "
                              "created_ms) VALUES ('redaction', ?1, ?2) "
                              "ON CONFLICT (name) DO NOTHING");
        if (st.get() == nullptr) {
            fail();
        }
        sqlite3_bind_blob(st.get(), 1, fresh.data(),
                          static_cast<int>(fresh.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st.get(), 2, now_ms());
        if (sqlite3_step(st.get()) != SQLITE_DONE) {
            fail();
        }
    }
    Statement st(direct_,
                 "SELECT value FROM collector_keys WHERE name = 'redaction'");
    if (st.get() == nullptr || sqlite3_step(st.get()) != SQLITE_ROW) {
        fail();
    }
    return column_blob(st.get(), 0).value_or(std::string());
}

std::vector<ExchangeRow>
SqliteStore::run_list(const std::string &sql,
                      const std::vector<std::string> &texts)
{
    std::vector<ExchangeRow> out;
    auto r = reader();
    Query st(r->get(), sql);
    for (size_t i = 0; i < texts.size(); i++) {
        bind_text(st.get(), static_cast<int>(i + 1), texts[i]);
    }
    while (st.step()) {
        out.push_back(summary_row(st.get()));
    }
    return out;
}

std::vector<ExchangeRow>
SqliteStore::exchanges(const ExchangeQuery &q)
{
    IdSpan span;
    if (q.since_ms > 0 || q.until_ms > 0) {
        auto r = reader();
        Query st(r->get(), span_query(q));
        if (!st.step() || sqlite3_column_type(st.get(), 1) == SQLITE_NULL) {
            return {};
        }
        span = {sqlite3_column_int64(st.get(), 0),
                sqlite3_column_int64(st.get(), 1)};
    }
    ExchangeFilter f = exchange_filter(q, dialect(), span);
    if (f.probe_first) {
        auto rows = run_list(probe_query(q, f, summary_columns), f.texts);
        if (rows.size() >= static_cast<size_t>(q.limit)) {
            return rows;
        }
    }
    return run_list(direct_query(q, f, summary_columns), f.texts);
}

std::optional<ExchangeRow>
SqliteStore::exchange(int64_t id, BodyWindow window)
{
    std::string sql = std::string("SELECT ") + summary_columns
                      + ", request_headers, response_headers, "
                        "substr(request_body, 1, ?2), "
                        "substr(response_body, 1, ?3), meta "
                        "FROM exchanges WHERE id = ?1";
    auto r = reader();
    Query st(r->get(), sql);
    sqlite3_bind_int64(st.get(), 1, id);
    sqlite3_bind_int64(st.get(), 2, window_length(window.request));
    sqlite3_bind_int64(st.get(), 3, window_length(window.response));
    if (!st.step()) {
        return std::nullopt;
    }
    ExchangeRow row = summary_row(st.get());
    Exchange &x = row.exchange;
    int c = summary_count;
    x.request_headers = parse_headers(column_text(st.get(), c));
    x.response_headers = parse_headers(column_text(st.get(), c + 1));
    x.request_body = column_blob(st.get(), c + 2);
    x.response_body = column_blob(st.get(), c + 3);
    /* substr() of an empty body is NULL: a body of no bytes is still one
     * that was sent */
    if (!x.request_body && row.request_body_size) {
        x.request_body.emplace();
    }
    if (!x.response_body && row.response_body_size) {
        x.response_body.emplace();
    }
    x.meta = column_text(st.get(), c + 4);
    return row;
}

std::vector<SensorRow>
SqliteStore::sensors(const SensorQuery &q)
{
    std::vector<SensorRow> out;
    auto r = reader();
    Query st(r->get(),
             std::string("SELECT key, host, instance, pid, mode, "
                         "last_heartbeat_ms, heartbeats, last_stats_ms, "
                         "peer, first_seen_ms")
                 + (q.with_counters ? ", last_access, last_auth, "
                                      "previous_stats_ms"
                                    : "")
                 + " FROM sensors WHERE key > ?1 ORDER BY key LIMIT "
                 + std::to_string(q.limit));
    bind_text(st.get(), 1, q.after);
    while (st.step()) {
        SensorRow s;
        sqlite3_stmt *row = st.get();
        s.key = column_text(row, 0);
        s.host = column_text(row, 1);
        s.instance = column_text(row, 2);
        s.pid = column_optional(row, 3);
        if (sqlite3_column_type(row, 4) != SQLITE_NULL) {
            s.mode = column_text(row, 4);
        }
        s.last_heartbeat_ms = column_optional(row, 5);
        s.heartbeats = sqlite3_column_int64(row, 6);
        s.last_stats_ms = column_optional(row, 7);
        s.peer = column_text(row, 8);
        s.first_seen_ms = sqlite3_column_int64(row, 9);
        if (q.with_counters) {
            s.last_access = column_text(row, 10);
            s.last_auth = column_text(row, 11);
            s.previous_stats_ms = column_optional(row, 12);
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<StatsRow>
SqliteStore::stats(const StatsQuery &q)
{
    std::vector<std::string> texts;
    std::string sql = stats_query(q, dialect(), texts);
    std::vector<StatsRow> out;
    auto r = reader();
    Query st(r->get(), sql);
    for (size_t i = 0; i < texts.size(); i++) {
        bind_text(st.get(), static_cast<int>(i + 1), texts[i]);
    }
    while (st.step()) {
        StatsRow s;
        s.id = sqlite3_column_int64(st.get(), 0);
        s.time_ms = sqlite3_column_int64(st.get(), 1);
        s.sensor_host = column_text(st.get(), 2);
        s.instance = column_text(st.get(), 3);
        s.pid = sqlite3_column_int64(st.get(), 4);
        s.access = column_text(st.get(), 5);
        s.auth = column_text(st.get(), 6);
        out.push_back(std::move(s));
    }
    return out;
}

std::optional<StoredControl>
SqliteStore::control_settings()
{
    auto r = reader();
    Query st(r->get(), "SELECT version, settings, changed_ms FROM "
                       "control_settings WHERE id = 1");
    if (!st.step()) {
        return std::nullopt;
    }
    StoredControl c;
    c.version = sqlite3_column_int64(st.get(), 0);
    c.settings = column_text(st.get(), 1);
    c.changed_ms = sqlite3_column_int64(st.get(), 2);
    return c;
}

/*
 * The settings and their change's record go in one transaction on the
 * direct connection (the writer's belongs to its thread): a change that
 * cannot be recorded is not made.
 */
bool
SqliteStore::replace_control_settings(int64_t expected,
                                      const std::string &settings, int64_t now,
                                      const ControlChangeRow *change)
{
    std::lock_guard<std::mutex> g(direct_lock_);
    auto fail = [this](const char *what) {
        std::string why = sqlite3_errmsg(direct_);
        exec(direct_, "ROLLBACK");
        throw StoreError(std::string(what) + why);
    };
    if (!exec(direct_, "BEGIN IMMEDIATE")) {
        throw StoreError(std::string("cannot write the control settings: ")
                         + sqlite3_errmsg(direct_));
    }
    const char *sql =
        expected == 0
            ? "INSERT INTO control_settings (id, version, settings, "
              "changed_ms) VALUES (1, 1, ?2, ?3) ON CONFLICT DO NOTHING"
            : "UPDATE control_settings SET version = version + 1, "
              "settings = ?2, changed_ms = ?3 WHERE id = 1 AND version = ?1";
    {
        Statement st(direct_, sql);
        if (st.get() == nullptr) {
            fail("cannot write the control settings: ");
        }
        if (expected != 0) {
            sqlite3_bind_int64(st.get(), 1, expected);
        }
        bind_text(st.get(), 2, settings);
        sqlite3_bind_int64(st.get(), 3, now);
        if (sqlite3_step(st.get()) != SQLITE_DONE) {
            fail("cannot write the control settings: ");
        }
    }
    if (sqlite3_changes(direct_) != 1) {
        exec(direct_, "ROLLBACK");
        return false;
    }
    if (change != nullptr && insert_change(*change) == 0) {
        fail("cannot record the change: ");
    }
    if (!exec(direct_, "COMMIT")) {
        fail("cannot write the control settings: ");
    }
    return true;
}

std::string
SqliteStore::describe() const
{
    return "SQLite " + options_.path;
}

} // namespace kv

namespace kv {

namespace {

/* A statement on the direct connection that must prepare and run; what
 * fails is thrown, with what was being done. */
class DirectStatement : public Statement {
  public:
    DirectStatement(sqlite3 *db, const char *sql, const char *doing)
        : Statement(db, sql), db_(db), doing_(doing)
    {
        if (get() == nullptr) {
            fail();
        }
    }
    void run()
    {
        if (sqlite3_step(get()) != SQLITE_DONE) {
            fail();
        }
        sqlite3_reset(get());
    }
    [[noreturn]] void fail()
    {
        throw StoreError(std::string("cannot ") + doing_ + ": "
                         + sqlite3_errmsg(db_));
    }

  private:
    sqlite3 *db_;
    const char *doing_;
};

} // namespace

void
SqliteStore::save_inventory(const std::vector<InventoryRow> &rows)
{
    if (rows.empty()) {
        return;
    }
    std::lock_guard<std::mutex> g(direct_lock_);
    const char *doing = "save the endpoint inventory";
    std::string why;
    if (!exec(direct_, "BEGIN IMMEDIATE", &why)) {
        throw StoreError(std::string("cannot ") + doing + ": " + why);
    }
    try {
        DirectStatement st(direct_,
                           "INSERT INTO api_inventory (host, state, saved_ms) "
                           "VALUES (?1, ?2, ?3) ON CONFLICT (host) DO UPDATE "
                           "SET state = ?2, saved_ms = ?3",
                           doing);
        for (const InventoryRow &r : rows) {
            bind_text(st.get(), 1, r.host);
            bind_text(st.get(), 2, r.state);
            sqlite3_bind_int64(st.get(), 3, r.saved_ms);
            st.run();
        }
        if (!exec(direct_, "COMMIT", &why)) {
            throw StoreError(std::string("cannot ") + doing + ": " + why);
        }
    } catch (...) {
        exec(direct_, "ROLLBACK");
        throw;
    }
}

std::vector<InventoryRow>
SqliteStore::inventory()
{
    std::vector<InventoryRow> out;
    auto r = reader();
    Query st(r->get(), "SELECT host, state, saved_ms FROM api_inventory "
                       "ORDER BY host");
    while (st.step()) {
        InventoryRow row;
        row.host = column_text(st.get(), 0);
        row.state = column_text(st.get(), 1);
        row.saved_ms = sqlite3_column_int64(st.get(), 2);
        out.push_back(std::move(row));
    }
    return out;
}

void
SqliteStore::put_declared_api(const DeclaredApiRow &row)
{
    std::lock_guard<std::mutex> g(direct_lock_);
    DirectStatement st(direct_,
                       "INSERT INTO declared_apis (host, document, "
                       "declared_ms) VALUES (?1, ?2, ?3) ON CONFLICT (host) "
                       "DO UPDATE SET document = ?2, declared_ms = ?3",
                       "keep the declared API");
    bind_text(st.get(), 1, row.host);
    bind_text(st.get(), 2, row.document);
    sqlite3_bind_int64(st.get(), 3, row.declared_ms);
    st.run();
}

bool
SqliteStore::delete_declared_api(const std::string &host)
{
    std::lock_guard<std::mutex> g(direct_lock_);
    DirectStatement st(direct_, "DELETE FROM declared_apis WHERE host = ?1",
                       "delete the declared API");
    bind_text(st.get(), 1, host);
    st.run();
    return sqlite3_changes(direct_) > 0;
}

std::vector<DeclaredApiRow>
SqliteStore::declared_apis()
{
    std::vector<DeclaredApiRow> out;
    auto r = reader();
    Query st(r->get(), "SELECT host, document, declared_ms FROM "
                       "declared_apis ORDER BY host");
    while (st.step()) {
        DeclaredApiRow row;
        row.host = column_text(st.get(), 0);
        row.document = column_text(st.get(), 1);
        row.declared_ms = sqlite3_column_int64(st.get(), 2);
        out.push_back(std::move(row));
    }
    return out;
}

} // namespace kv
