/*
 * Where records are kept: one interface for every backend, what it hands
 * back as typed rows, and the queries the console asks.  A backend takes
 * records from ingest without making it wait (push) and answers reads from
 * any thread; each read either answers or throws StoreError.  Several
 * collectors may share one database (PostgreSQL): everything a console
 * shows, the control settings among it, comes from the database, never
 * from one collector's memory.
 */

#ifndef KV_STORE_STORE_H
#define KV_STORE_STORE_H

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/records.h"

namespace kv {

struct ExchangeQuery {
    int limit = 50;
    int64_t before_id = 0; /* 0: from the newest */
    int64_t since_ms = 0;  /* time_ms at or after it; 0: any */
    int64_t until_ms = 0;  /* time_ms before it; 0: any */
    std::string method;
    std::string path;     /* prefix of the URI */
    int status = 0;       /* exact status, or with status_class a class */
    int status_class = 0; /* 1..5 for 1xx..5xx */
    std::string format;
    std::string sensor_host;
};

struct StatsQuery {
    int limit = 500;
    int64_t before_id = 0; /* 0: from the newest */
    int64_t since_ms = 0;
    std::string sensor_host;
    std::string instance;
    int64_t pid = 0;
};

/* How much of each body a read of one exchange brings back. */
struct BodyWindow {
    size_t request = 0;
    size_t response = 0;
};

/* An exchange as kept.  Lists carry no headers, bodies or meta; a read of
 * one exchange carries them, its bodies cut to the window asked for. */
struct ExchangeRow {
    int64_t id = 0;
    Exchange exchange;
    std::optional<int64_t> request_body_size; /* nullopt: no body sent */
    std::optional<int64_t> response_body_size;
};

/* Workers in the order of their keys, a page at a time. */
struct SensorQuery {
    int limit = 100;
    std::string after;          /* the key of the last row of the page before */
    bool with_counters = false; /* the latest statistics document too */
};

struct SensorRow {
    std::string key; /* stable while the worker lives; pages go by it */
    std::string host;
    std::string instance;
    std::optional<int64_t> pid; /* known once the worker sent statistics */
    std::optional<std::string> mode;
    std::optional<int64_t> last_heartbeat_ms;
    int64_t heartbeats = 0;
    std::optional<int64_t> last_stats_ms;
    std::string peer;
    int64_t first_seen_ms = 0;
    /* with_counters: the latest statistics document's counters (JSON
     * objects, empty before the first) and when the one before it came */
    std::string last_access;
    std::string last_auth;
    std::optional<int64_t> previous_stats_ms;
};

struct StatsRow {
    int64_t id = 0;
    int64_t time_ms = 0;
    std::string sensor_host;
    std::string instance;
    int64_t pid = 0;
    std::string access; /* JSON objects, as the sensor sent them */
    std::string auth;
};

/* One host's part of the endpoint inventory, as the inventory writes it
 * (a JSON document), and when it was saved. */
struct InventoryRow {
    std::string host;
    std::string state;
    int64_t saved_ms = 0;
};

/* The API an operator declared for one host: the document as it was
 * given (OpenAPI, JSON or YAML) and when. */
struct DeclaredApiRow {
    std::string host;
    std::string document;
    int64_t declared_ms = 0;
};

/* The control settings every collector of one database hands out. */
struct StoredControl {
    int64_t version = 0;  /* grows by one with each change */
    std::string settings; /* JSON object */
    int64_t changed_ms = 0;
};

/*
 * One change of the sensors' settings: when, who (the console client's
 * address, or "file" for an edit of the control file) and the settings
 * before and after, each as the JSON object the control file holds.
 */
struct ControlChangeRow {
    int64_t id = 0;
    int64_t time_ms = 0;
    std::string caller;
    std::string before;
    std::string after;
};

struct ControlChangeQuery {
    int limit = 50;
    int64_t before_id = 0; /* 0: from the newest */
};

struct StoreCounters {
    std::atomic<uint64_t> exchanges_stored{0};
    /* exchanges already stored under the same request id, from the same
     * sensor, in the same format: a message sent again */
    std::atomic<uint64_t> duplicates_ignored{0};
    std::atomic<uint64_t> stats_stored{0};
    std::atomic<uint64_t> heartbeats_stored{0};
    std::atomic<uint64_t> rows_pruned{0};
    std::atomic<uint64_t> queue_dropped{0};
    std::atomic<uint64_t> write_errors{0};
    std::atomic<uint64_t> transactions{0};
    std::atomic<uint64_t> partitions_created{0};
    std::atomic<uint64_t> partitions_dropped{0};
};

class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Store {
  public:
    virtual ~Store() = default;

    /* The writer: started once, stopped after writing what is queued. */
    virtual void start() = 0;
    virtual void stop() = 0;

    /*
     * Hands records to the writer without waiting for it.  What does not
     * fit the queue's bounds is dropped and counted: ingest must keep
     * answering sensors even when the disk falls behind.
     */
    virtual void push(std::vector<Record> &records) = 0;

    /* Blocks until everything pushed so far is written (tests, demo). */
    virtual void flush() = 0;

    virtual size_t queued() const = 0;
    virtual const StoreCounters &counters() const = 0;

    /* Newest first. */
    virtual std::vector<ExchangeRow> exchanges(const ExchangeQuery &q) = 0;
    virtual std::optional<ExchangeRow> exchange(int64_t id,
                                                BodyWindow window) = 0;
    virtual std::vector<SensorRow> sensors(const SensorQuery &q) = 0;
    /* Newest first. */
    virtual std::vector<StatsRow> stats(const StatsQuery &q) = 0;

    /* The settings stored last; nullopt before the first are stored. */
    virtual std::optional<StoredControl> control_settings() = 0;
    /*
     * Stores settings as the next version, when the stored version is
     * still expected_version (0: none stored yet), and with them, in the
     * same transaction, the change's record when there is one: a change
     * that cannot be recorded is not made.  False, with nothing written,
     * when another collector changed them first: the caller reads them
     * again and decides anew.  Throws StoreError.
     */
    virtual bool
    replace_control_settings(int64_t expected_version,
                             const std::string &settings, int64_t now_ms,
                             const ControlChangeRow *change = nullptr) = 0;

    /*
     * Keeps a control change at once, not through the queue.  Returns its
     * id; throws StoreError.
     */
    virtual int64_t add_control_change(const ControlChangeRow &change) = 0;
    /* Newest first. */
    virtual std::vector<ControlChangeRow>
    control_changes(const ControlChangeQuery &q) = 0;

    /*
     * The key that redaction hashes secrets with: one per database, made
     * once and kept in it, so that masks of equal secrets stay equal
     * across restarts and across collectors sharing a database.  The
     * first call on a database keeps fresh and returns it; every later
     * call, from any collector, returns what was kept.  Throws StoreError.
     */
    virtual std::string redaction_key(const std::string &fresh) = 0;

    /*
     * The endpoint inventory lives in memory and is saved from time to
     * time, a row per host: rows replace those of the same hosts, in one
     * transaction, at once rather than through the queue.  Throws
     * StoreError; on a throw nothing was written.
     */
    virtual void save_inventory(const std::vector<InventoryRow> &rows) = 0;
    virtual std::vector<InventoryRow> inventory() = 0;

    /* Declared APIs, one per host; a new one replaces the host's last.
     * Written at once; throws StoreError. */
    virtual void put_declared_api(const DeclaredApiRow &row) = 0;
    /* True when there was one to delete. */
    virtual bool delete_declared_api(const std::string &host) = 0;
    virtual std::vector<DeclaredApiRow> declared_apis() = 0;

    /* Which backend and database, without secrets, for people to read. */
    virtual std::string describe() const = 0;
};

} // namespace kv

#endif
