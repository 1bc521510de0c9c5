/*
 * The shared store: one PostgreSQL database for any number of collectors.
 * The writer thread (QueuedStore) sends each batch with COPY in one
 * transaction; an exchange already stored (the same request id from the
 * same sensor in the same format, sent again after a reconnect) is
 * skipped and counted.  Exchanges live in one partition per day, made
 * ahead of need and dropped whole when retention by age passes them.
 * Reads come from any thread, each on one of a few connections of their
 * own.  While the database cannot be reached the writer keeps its batch
 * and tries again, and ingest's queue bounds what waits.
 */

#ifndef KV_STORE_PG_STORE_H
#define KV_STORE_PG_STORE_H

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "store/pg_connection.h"
#include "store/queued_store.h"

namespace kv {

class PgStore : public QueuedStore {
  public:
    struct Options {
        std::string uri;
        int64_t retain_days = 7; /* 0: keep everything */
        QueueLimits queue;
        int readers = 2;
        std::function<void(const std::string &)> log;
    };

    /* Connects and brings the schema up to date; nullptr and a reason on
     * failure. */
    static std::unique_ptr<PgStore> open(const Options &options,
                                         std::string &error);
    ~PgStore() override;

    std::vector<ExchangeRow> exchanges(const ExchangeQuery &q) override;
    std::optional<ExchangeRow> exchange(int64_t id, BodyWindow window) override;
    std::vector<SensorRow> sensors(const SensorQuery &q) override;
    std::vector<StatsRow> stats(const StatsQuery &q) override;
    std::optional<StoredControl> control_settings() override;
    bool replace_control_settings(int64_t expected_version,
                                  const std::string &settings, int64_t now_ms,
                                  const ControlChangeRow *change) override;
    int64_t add_control_change(const ControlChangeRow &change) override;
    std::vector<ControlChangeRow>
    control_changes(const ControlChangeQuery &q) override;
    std::string redaction_key(const std::string &fresh) override;
    std::string describe() const override;
    /* pg_inventory.cpp */
    void save_inventory(const std::vector<InventoryRow> &rows) override;
    std::vector<InventoryRow> inventory() override;
    void put_declared_api(const DeclaredApiRow &row) override;
    bool delete_declared_api(const std::string &host) override;
    std::vector<DeclaredApiRow> declared_apis() override;

    /* The day partitions there are (days since the epoch), from the
     * database; for tests and tools. */
    std::vector<int64_t> partition_days();

  protected:
    void write_batch(std::vector<Record> &batch) override;
    void maintain() override;

  private:
    class Reader;

    explicit PgStore(const Options &options);
    PgConnection &writer();
    void write_chunk(std::vector<Record> &batch, size_t begin, size_t end);
    void write_sensor(PgConnection &db, const StatsDoc &s);
    void write_sensor(PgConnection &db, const Heartbeat &h);
    void make_partitions(std::vector<Record> &batch, size_t begin, size_t end);
    void make_partition(int64_t day);
    void apply_retention();
    void log(const std::string &text) const;

    std::unique_ptr<Reader> reader();
    void give_back(std::unique_ptr<PgConnection> db);

    Options options_;
    std::unique_ptr<PgConnection> writer_;
    std::set<int64_t> days_; /* partitions known to be there */
    int64_t next_retention_ms_ = 0;
    bool unreachable_ = false;

    std::mutex readers_lock_;
    std::condition_variable reader_free_;
    std::vector<std::unique_ptr<PgConnection>> free_readers_;
    int readers_out_ = 0;
};

/* A connection borrowed for one read or one
 * direct write; a broken one is not given back. */
class PgStore::Reader {
  public:
    Reader(PgStore &store, std::unique_ptr<PgConnection> db)
        : store_(store), db_(std::move(db))
    {
    }
    ~Reader() { store_.give_back(std::move(db_)); }
    PgConnection &get() { return *db_; }

  private:
    PgStore &store_;
    std::unique_ptr<PgConnection> db_;
};

/* The partition of a day (days since the epoch, UTC): exchanges_YYYYMMDD. */
std::string partition_name(int64_t day);

} // namespace kv

#endif
