/*
 * The embedded store: one SQLite file in WAL mode.  The writer thread
 * (QueuedStore) inserts in batched transactions and keeps each table to
 * its newest rows; reads come from any thread, each on one of a few
 * read-only connections, so a slow query holds up only its own caller.
 */

#ifndef KV_STORE_SQLITE_STORE_H
#define KV_STORE_SQLITE_STORE_H

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/queued_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kv {

class SqliteStore : public QueuedStore {
  public:
    struct Options {
        std::string path = "collector.db";
        int64_t retain_rows = 1000000;
        AgeLimit age; /* retention by age, next to retain_rows */
        QueueLimits queue;
        int readers = 2;
    };

    /* Opens (creating or upgrading when needed) the database; nullptr and
     * a reason on failure. */
    static std::unique_ptr<SqliteStore> open(const Options &options,
                                             std::string &error);
    ~SqliteStore() override;

    std::vector<ExchangeRow> exchanges(const ExchangeQuery &q) override;
    std::optional<ExchangeRow> exchange(int64_t id, BodyWindow window) override;
    std::vector<SensorRow> sensors(const SensorQuery &q) override;
    std::vector<StatsRow> stats(const StatsQuery &q) override;
    void save_inventory(const std::vector<InventoryRow> &rows) override;
    std::vector<InventoryRow> inventory() override;
    void put_declared_api(const DeclaredApiRow &row) override;
    bool delete_declared_api(const std::string &host) override;
    std::vector<DeclaredApiRow> declared_apis() override;
    std::optional<StoredControl> control_settings() override;
    bool replace_control_settings(int64_t expected_version,
                                  const std::string &settings, int64_t now_ms,
                                  const ControlChangeRow *change) override;
    int64_t add_control_change(const ControlChangeRow &change) override;
    std::vector<ControlChangeRow>
    control_changes(const ControlChangeQuery &q) override;
    std::string redaction_key(const std::string &fresh) override;
    std::string describe() const override;

  protected:
    void write_batch(std::vector<Record> &batch) override;
    void maintain() override;

  private:
    class Reader;

    explicit SqliteStore(const Options &options);
    bool init(std::string &error);
    void write(Exchange &e);
    void write(StatsDoc &s);
    void write(Heartbeat &h);
    void write_minutes();
    /* drops the exchanges and statistics documents that arrived before
     * cutoff_ms, and the workers last heard of before it */
    void prune_older_than(int64_t cutoff_ms);
    void prune();
    int64_t insert_change(const ControlChangeRow &c);

    std::vector<ExchangeRow> run_list(const std::string &sql,
                                      const std::vector<std::string> &texts);

    /* A free read-only connection, for the length of one read. */
    std::unique_ptr<Reader> reader();
    void give_back(sqlite3 *db);

    Options options_;
    sqlite3 *db_ = nullptr; /* the writer's */
    /* writes that cannot wait for the queue (control settings and their
     * changes, the key, the inventory, declared APIs), from any thread,
     * one at a time */
    std::mutex direct_lock_;
    sqlite3 *direct_ = nullptr;

    std::mutex readers_lock_;
    std::condition_variable reader_free_;
    std::vector<sqlite3 *> readers_; /* all of them */
    std::vector<sqlite3 *> free_readers_;

    sqlite3_stmt *insert_exchange_ = nullptr;
    sqlite3_stmt *insert_stats_ = nullptr;
    sqlite3_stmt *upsert_heartbeat_ = nullptr;
    sqlite3_stmt *upsert_stats_sensor_ = nullptr;
    sqlite3_stmt *fold_sensor_ = nullptr;
    sqlite3_stmt *delete_sensor_ = nullptr;
    sqlite3_stmt *upsert_minute_ = nullptr;
    /* this transaction's minutes: the least and greatest id each took */
    std::map<int64_t, std::pair<int64_t, int64_t>> minutes_;

    int64_t exchange_min_id_ = 0;
    int64_t exchange_max_id_ = 0;
    int64_t stats_min_id_ = 0;
    int64_t stats_max_id_ = 0;
    int64_t next_age_prune_ms_ = 0;
};

} // namespace kv

#endif
