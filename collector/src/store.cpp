#include "store.h"

#include <chrono>

#include <sqlite3.h>

#include "text.h"

namespace kv {

namespace {

using nlohmann::ordered_json;

constexpr const char *schema = R"sql(
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
)sql";

constexpr const char *exchange_columns =
    "id, time_ms, sensor_host, instance, format, method, uri, status, "
    "client_ip, client_port, latency_ms, request_headers, response_headers, "
    "request_body, response_body, request_body_truncated, "
    "response_body_truncated, worker_pid, request_id, logging_level, "
    "received_ms, meta, peer";

/* A batch is one transaction up to this many records. */
constexpr size_t batch_records = 10000;

/* Workers are told apart by pid once a statistics document named it;
 * until then by the connection their heartbeats came on. */
std::string
worker_key(const std::string &host, const std::string &instance, int64_t pid,
           uint64_t connection, const std::string &peer)
{
    std::string k = host + '\n' + instance + '\n';
    /* connection numbers start again with each run of the collector: the
     * peer's address tells this run's connections from an earlier one's */
    k += pid > 0 ? "pid " + std::to_string(pid)
                 : "connection " + std::to_string(connection) + " " + peer;
    return k;
}

/* [[name, value], ...]: the headers in order, duplicates kept.  Written
 * by hand because it runs once per stored exchange; the strings are UTF-8
 * already, so escaping is all there is to it. */
void
append_json_string(std::string &out, const std::string &s)
{
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20) {
            out += "\\u00";
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

std::string
headers_json(const HeaderList &h)
{
    std::string out = "[";
    for (const auto &[n, v] : h) {
        if (out.size() > 1) {
            out.push_back(',');
        }
        out.push_back('[');
        append_json_string(out, n);
        out.push_back(',');
        append_json_string(out, v);
        out.push_back(']');
    }
    out.push_back(']');
    return out;
}

size_t
record_bytes(const Record &r)
{
    if (const auto *e = std::get_if<Exchange>(&r)) {
        size_t n = sizeof(Exchange) + e->uri.size() + e->meta.size();
        for (const auto &[k, v] : e->request_headers) {
            n += k.size() + v.size() + 32;
        }
        for (const auto &[k, v] : e->response_headers) {
            n += k.size() + v.size() + 32;
        }
        n += e->request_body ? e->request_body->size() : 0;
        n += e->response_body ? e->response_body->size() : 0;
        return n;
    }
    if (const auto *s = std::get_if<StatsDoc>(&r)) {
        return sizeof(StatsDoc) + s->access.size() + s->auth.size();
    }
    return sizeof(Heartbeat);
}

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

ordered_json
parse_stored(const std::string &text)
{
    ordered_json j = ordered_json::parse(text, nullptr, false);
    return j.is_discarded() ? ordered_json() : j;
}

/* A body as the API shows it: text, with the exact bytes in base64 beside
 * it when they are not UTF-8 (the text then shows each such byte as the
 * character of the same number). */
void
put_body(ordered_json &j, sqlite3_stmt *st, int col, const char *name)
{
    if (sqlite3_column_type(st, col) == SQLITE_NULL) {
        j[name] = nullptr;
        return;
    }
    std::string bytes(static_cast<const char *>(sqlite3_column_blob(st, col))
                          ?: "",
                      static_cast<size_t>(sqlite3_column_bytes(st, col)));
    if (valid_utf8(bytes)) {
        j[name] = bytes;
        return;
    }
    j[name] = to_utf8(bytes);
    j[std::string(name) + "_base64"] = base64_encode(bytes);
}

ordered_json
exchange_row(sqlite3_stmt *st)
{
    ordered_json j;
    j["id"] = sqlite3_column_int64(st, 0);
    j["time_ms"] = sqlite3_column_int64(st, 1);
    j["sensor_host"] = column_text(st, 2);
    j["instance"] = column_text(st, 3);
    j["format"] = column_text(st, 4);
    j["method"] = column_text(st, 5);
    j["uri"] = column_text(st, 6);
    j["status"] = sqlite3_column_int(st, 7);
    j["client_ip"] = column_text(st, 8);
    j["client_port"] = sqlite3_column_int(st, 9);
    int64_t latency = sqlite3_column_int64(st, 10);
    j["latency_ms"] = latency < 0 ? ordered_json() : ordered_json(latency);
    j["request_headers"] = parse_stored(column_text(st, 11));
    j["response_headers"] = parse_stored(column_text(st, 12));
    put_body(j, st, 13, "request_body");
    put_body(j, st, 14, "response_body");
    j["request_body_truncated"] = sqlite3_column_int(st, 15) != 0;
    j["response_body_truncated"] = sqlite3_column_int(st, 16) != 0;
    int64_t pid = sqlite3_column_int64(st, 17);
    j["worker_pid"] = pid > 0 ? ordered_json(pid) : ordered_json();
    j["request_id"] = column_text(st, 18);
    j["logging_level"] = column_text(st, 19);
    j["received_ms"] = sqlite3_column_int64(st, 20);
    j["request_body_size"] = sqlite3_column_type(st, 13) == SQLITE_NULL
                                 ? ordered_json()
                                 : ordered_json(sqlite3_column_bytes(st, 13));
    j["response_body_size"] = sqlite3_column_type(st, 14) == SQLITE_NULL
                                  ? ordered_json()
                                  : ordered_json(sqlite3_column_bytes(st, 14));
    j["meta"] = parse_stored(column_text(st, 21));
    j["peer"] = column_text(st, 22);
    return j;
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

int64_t
scalar(sqlite3 *db, const char *sql)
{
    Statement st(db, sql);
    if (st.get() && sqlite3_step(st.get()) == SQLITE_ROW) {
        return sqlite3_column_int64(st.get(), 0);
    }
    return 0;
}

} // namespace

Store::Store(const Options &options) : options_(options) {}

std::unique_ptr<Store>
Store::open(const Options &options, std::string &error)
{
    std::unique_ptr<Store> s(new Store(options));
    if (!s->init(error)) {
        return nullptr;
    }
    return s;
}

bool
Store::init(std::string &error)
{
    const std::string &path = options_.path;
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
        || !exec(db_, "PRAGMA cache_size=-32768", &why)
        || !exec(db_, schema, &why)) {
        error = "cannot set up database " + path + ": " + why;
        return false;
    }
    if (sqlite3_open_v2(path.c_str(), &reader_,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr)
        != SQLITE_OK) {
        error = "cannot open database " + path + " for reading";
        return false;
    }
    sqlite3_busy_timeout(reader_, 5000);

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
                "?17, ?18, ?19, ?20, ?21, ?22)")
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
                   "last_stats_ms, peer, first_seen_ms) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?5) "
                   "ON CONFLICT (key) DO UPDATE SET last_stats_ms = ?5, "
                   "peer = ?6")
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

Store::~Store()
{
    stop();
    for (sqlite3_stmt *st :
         {insert_exchange_, insert_stats_, upsert_heartbeat_,
          upsert_stats_sensor_, fold_sensor_, delete_sensor_}) {
        sqlite3_finalize(st);
    }
    sqlite3_close(reader_);
    sqlite3_close(db_);
}

void
Store::start()
{
    writer_ = std::thread([this] { run(); });
}

void
Store::stop()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
}

void
Store::push(std::vector<Record> &records)
{
    if (records.empty()) {
        return;
    }
    size_t dropped = 0;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto &r : records) {
            size_t bytes = record_bytes(r);
            if (queue_.size() >= options_.max_queue_records
                || queue_bytes_ + bytes > options_.max_queue_bytes) {
                dropped++;
                continue;
            }
            queue_bytes_ += bytes;
            queue_.push_back(std::move(r));
            pushed_++;
        }
    }
    records.clear();
    counters_.queue_dropped += dropped;
    wake_.notify_one();
}

void
Store::flush()
{
    std::unique_lock<std::mutex> g(lock_);
    uint64_t target = pushed_;
    done_.wait(g, [&] { return written_ >= target || !writer_.joinable(); });
}

size_t
Store::queued() const
{
    std::lock_guard<std::mutex> g(lock_);
    return queue_.size();
}

void
Store::run()
{
    std::vector<Record> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> g(lock_);
            wake_.wait(g, [&] { return !queue_.empty() || stopping_; });
            if (queue_.empty() && stopping_) {
                return;
            }
            batch.swap(queue_);
            queue_bytes_ = 0;
        }
        write_batch(batch);
        {
            std::lock_guard<std::mutex> g(lock_);
            written_ += batch.size();
        }
        batch.clear();
        done_.notify_all();
    }
}

void
Store::write_batch(std::vector<Record> &batch)
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
        prune();
        if (!exec(db_, "COMMIT")) {
            exec(db_, "ROLLBACK");
            counters_.write_errors += end - start;
        }
        counters_.transactions++;
    }
}

void
Store::write(Exchange &e)
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
    if (sqlite3_step(st) == SQLITE_DONE) {
        exchange_max_id_ = sqlite3_last_insert_rowid(db_);
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
Store::write(StatsDoc &s)
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
Store::write(Heartbeat &h)
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

/* Keeps each table to the newest retain_rows rows.  Ids only grow, so the
 * oldest rows are those below a cut-off id. */
void
Store::prune()
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
            t.min_id = cut;
        }
    }
}

ordered_json
Store::exchanges(const ExchangeQuery &q)
{
    std::string sql =
        std::string("SELECT ") + exchange_columns + " FROM exchanges WHERE 1";
    std::vector<std::string> texts;
    if (q.before_id > 0) {
        sql += " AND id < " + std::to_string(q.before_id);
    }
    if (q.status > 0) {
        sql += " AND status = " + std::to_string(q.status);
    } else if (q.status_class > 0) {
        sql += " AND status >= " + std::to_string(q.status_class * 100)
               + " AND status < " + std::to_string(q.status_class * 100 + 100);
    }
    if (!q.method.empty()) {
        texts.push_back(q.method);
        sql += " AND method = ?" + std::to_string(texts.size());
    }
    if (!q.path.empty()) {
        texts.push_back(q.path);
        std::string n = std::to_string(texts.size());
        sql += " AND substr(uri, 1, length(?" + n + ")) = ?" + n;
    }
    if (!q.format.empty()) {
        texts.push_back(q.format);
        sql += " AND format = ?" + std::to_string(texts.size());
    }
    if (!q.sensor_host.empty()) {
        texts.push_back(q.sensor_host);
        sql += " AND sensor_host = ?" + std::to_string(texts.size());
    }
    sql += " ORDER BY id DESC LIMIT " + std::to_string(q.limit);

    ordered_json out = ordered_json::array();
    std::lock_guard<std::mutex> g(reader_lock_);
    Statement st(reader_, sql);
    if (!st.get()) {
        return out;
    }
    for (size_t i = 0; i < texts.size(); i++) {
        bind_text(st.get(), static_cast<int>(i + 1), texts[i]);
    }
    while (sqlite3_step(st.get()) == SQLITE_ROW) {
        out.push_back(exchange_row(st.get()));
    }
    return out;
}

std::optional<ordered_json>
Store::exchange(int64_t id)
{
    std::string sql = std::string("SELECT ") + exchange_columns
                      + " FROM exchanges WHERE id = ?1";
    std::lock_guard<std::mutex> g(reader_lock_);
    Statement st(reader_, sql);
    if (!st.get()) {
        return std::nullopt;
    }
    sqlite3_bind_int64(st.get(), 1, id);
    if (sqlite3_step(st.get()) != SQLITE_ROW) {
        return std::nullopt;
    }
    return exchange_row(st.get());
}

ordered_json
Store::sensors()
{
    ordered_json out = ordered_json::array();
    std::lock_guard<std::mutex> g(reader_lock_);
    Statement st(reader_,
                 "SELECT host, instance, pid, mode, last_heartbeat_ms, "
                 "heartbeats, last_stats_ms, peer, first_seen_ms FROM sensors "
                 "ORDER BY host, instance, "
                 "max(coalesce(last_heartbeat_ms, 0), "
                 "coalesce(last_stats_ms, 0)) DESC");
    if (!st.get()) {
        return out;
    }
    auto nullable = [&](int col) {
        return sqlite3_column_type(st.get(), col) == SQLITE_NULL
                   ? ordered_json()
                   : ordered_json(sqlite3_column_int64(st.get(), col));
    };
    while (sqlite3_step(st.get()) == SQLITE_ROW) {
        ordered_json j;
        j["host"] = column_text(st.get(), 0);
        j["instance"] = column_text(st.get(), 1);
        j["pid"] = nullable(2);
        j["mode"] = sqlite3_column_type(st.get(), 3) == SQLITE_NULL
                        ? ordered_json()
                        : ordered_json(column_text(st.get(), 3));
        j["last_heartbeat_ms"] = nullable(4);
        j["heartbeats"] = sqlite3_column_int64(st.get(), 5);
        j["last_stats_ms"] = nullable(6);
        j["peer"] = column_text(st.get(), 7);
        j["first_seen_ms"] = sqlite3_column_int64(st.get(), 8);
        out.push_back(std::move(j));
    }
    return out;
}

ordered_json
Store::stats(const StatsQuery &q)
{
    std::string sql = "SELECT id, time_ms, sensor_host, instance, pid, "
                      "access, auth FROM stats WHERE time_ms >= "
                      + std::to_string(q.since_ms);
    std::vector<std::string> texts;
    if (!q.sensor_host.empty()) {
        texts.push_back(q.sensor_host);
        sql += " AND sensor_host = ?" + std::to_string(texts.size());
    }
    if (!q.instance.empty()) {
        texts.push_back(q.instance);
        sql += " AND instance = ?" + std::to_string(texts.size());
    }
    if (q.pid > 0) {
        sql += " AND pid = " + std::to_string(q.pid);
    }
    sql += " ORDER BY id DESC LIMIT " + std::to_string(q.limit);

    ordered_json out = ordered_json::array();
    std::lock_guard<std::mutex> g(reader_lock_);
    Statement st(reader_, sql);
    if (!st.get()) {
        return out;
    }
    for (size_t i = 0; i < texts.size(); i++) {
        bind_text(st.get(), static_cast<int>(i + 1), texts[i]);
    }
    while (sqlite3_step(st.get()) == SQLITE_ROW) {
        ordered_json j;
        j["id"] = sqlite3_column_int64(st.get(), 0);
        j["time_ms"] = sqlite3_column_int64(st.get(), 1);
        j["sensor_host"] = column_text(st.get(), 2);
        j["instance"] = column_text(st.get(), 3);
        j["pid"] = sqlite3_column_int64(st.get(), 4);
        j["access"] = parse_stored(column_text(st.get(), 5));
        j["auth"] = parse_stored(column_text(st.get(), 6));
        out.push_back(std::move(j));
    }
    return out;
}

} // namespace kv
