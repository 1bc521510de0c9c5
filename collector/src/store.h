/*
 * SQLite storage: one writer thread that inserts what ingest hands it in
 * batched transactions (the database in WAL mode, so the console reads
 * while it writes), and the queries the console and API run.
 */

#ifndef KV_COLLECTOR_STORE_H
#define KV_COLLECTOR_STORE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "decode.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kv {

using Record = std::variant<Exchange, StatsDoc, Heartbeat>;

struct ExchangeQuery {
    int limit = 50;
    int64_t before_id = 0; /* 0: from the newest */
    std::string method;
    std::string path;     /* prefix of the URI */
    int status = 0;       /* exact status, or with status_class a class */
    int status_class = 0; /* 1..5 for 1xx..5xx */
    std::string format;
    std::string sensor_host;
};

struct StatsQuery {
    int limit = 500;
    int64_t since_ms = 0;
    std::string sensor_host;
    std::string instance;
    int64_t pid = 0;
};

struct StoreCounters {
    std::atomic<uint64_t> exchanges_stored{0};
    std::atomic<uint64_t> stats_stored{0};
    std::atomic<uint64_t> heartbeats_stored{0};
    std::atomic<uint64_t> rows_pruned{0};
    std::atomic<uint64_t> queue_dropped{0};
    std::atomic<uint64_t> write_errors{0};
    std::atomic<uint64_t> transactions{0};
};

class Store {
  public:
    struct Options {
        std::string path = "collector.db";
        int64_t retain_rows = 1000000;
        size_t max_queue_records = 200000;
        size_t max_queue_bytes = 256u << 20;
    };

    /* Opens (creating when needed) the database; nullptr and a reason on
     * failure. */
    static std::unique_ptr<Store> open(const Options &options,
                                       std::string &error);
    ~Store();

    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    void start();
    /* Writes what is queued, then stops the writer. */
    void stop();

    /*
     * Hands records to the writer without waiting for it.  What does not
     * fit the queue's bounds is dropped and counted: ingest must keep
     * answering sensors even when the disk falls behind.
     */
    void push(std::vector<Record> &records);

    /* Blocks until everything pushed so far is committed (tests, demo). */
    void flush();

    nlohmann::ordered_json exchanges(const ExchangeQuery &q);
    std::optional<nlohmann::ordered_json> exchange(int64_t id);
    nlohmann::ordered_json sensors();
    nlohmann::ordered_json stats(const StatsQuery &q);

    const StoreCounters &counters() const { return counters_; }
    size_t queued() const;
    const std::string &path() const { return options_.path; }

  private:
    explicit Store(const Options &options);
    bool init(std::string &error);
    void run();
    void write_batch(std::vector<Record> &batch);
    void write(Exchange &e);
    void write(StatsDoc &s);
    void write(Heartbeat &h);
    void prune();

    Options options_;
    sqlite3 *db_ = nullptr;     /* writer's */
    sqlite3 *reader_ = nullptr; /* console's, under reader_lock_ */
    std::mutex reader_lock_;

    sqlite3_stmt *insert_exchange_ = nullptr;
    sqlite3_stmt *insert_stats_ = nullptr;
    sqlite3_stmt *upsert_heartbeat_ = nullptr;
    sqlite3_stmt *upsert_stats_sensor_ = nullptr;
    sqlite3_stmt *fold_sensor_ = nullptr;
    sqlite3_stmt *delete_sensor_ = nullptr;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<Record> queue_;
    size_t queue_bytes_ = 0;
    uint64_t pushed_ = 0;
    uint64_t written_ = 0;
    bool stopping_ = false;
    std::thread writer_;

    int64_t exchange_min_id_ = 0;
    int64_t exchange_max_id_ = 0;
    int64_t stats_min_id_ = 0;
    int64_t stats_max_id_ = 0;

    StoreCounters counters_;
};

} // namespace kv

#endif
