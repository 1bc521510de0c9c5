/*
 * The endpoint inventory as the collector keeps it: a pipeline step that
 * counts every exchange into analysis::Inventory as it arrives, before
 * redaction masks what telling a JWT or a card number needs, and the
 * operators' declared APIs that drift is measured against.  It saves the
 * hosts that changed through the store (main() calls save() every so
 * often and at exit) and reads them back at start.
 *
 * Any ingest thread calls process(); the console's worker threads read
 * through read().  One lock guards it all: a reader holds it while it
 * copies or renders what it needs, which holds up ingest for that long,
 * so readers take what they need and let go.
 */

#ifndef KV_INGEST_API_INVENTORY_H
#define KV_INGEST_API_INVENTORY_H

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "analysis/declared_api.h"
#include "analysis/inventory.h"
#include "model/records.h"
#include "store/store.h"

namespace kv {

class ApiInventory : public RecordStage {
  public:
    struct Options {
        analysis::InventoryOptions inventory;
        /* a declared operation not seen for this long is a zombie */
        int64_t zombie_after_ms = 30LL * 24 * 3600 * 1000;
        /* hosts that may have a declared API at once */
        size_t max_declared = 32;
    };

    struct Declared {
        analysis::DeclaredApi api;
        std::string document; /* as the operator gave it */
        int64_t declared_ms = 0;
    };
    /* by host, in lower case */
    using DeclaredMap = std::map<std::string, Declared, std::less<>>;

    explicit ApiInventory(Options options);

    void process(std::vector<Record> &records) override;

    /* Counts one exchange (tests, benchmarks); the exchange is left as it
     * was. */
    void observe(Exchange &x);

    /*
     * Reads the saved inventory and declared APIs back, before ingest
     * starts.  A row that does not read is skipped and said in warnings;
     * a store that cannot be read throws StoreError.
     */
    void load(Store &store, std::vector<std::string> &warnings);

    /* Writes the hosts that changed since they were last saved; returns
     * how many.  Throws StoreError, and those hosts are tried again at the
     * next save. */
    size_t save(Store &store, int64_t now_ms);

    /*
     * The operator's API for host: parsed, kept in the store, then used.
     * False and a message for a document that is not OpenAPI 3.x or one
     * host too many; throws StoreError when it cannot be kept.
     */
    bool declare(Store &store, const std::string &host, std::string document,
                 int64_t now_ms, std::string &error);
    bool undeclare(Store &store, const std::string &host);

    /* f(const analysis::Inventory &, const DeclaredMap &), under the lock. */
    template <typename F>
    auto read(F &&f) const
    {
        std::lock_guard<std::mutex> g(lock_);
        return f(inventory_, declared_);
    }

    const Options &options() const { return options_; }
    /* exchanges whose counting failed (out of memory): they were stored
     * all the same */
    uint64_t failures() const { return failures_.load(); }

    /* A stable name for an endpoint, 16 hex digits, from what keys it. */
    static std::string endpoint_id(std::string_view host,
                                   std::string_view method,
                                   std::string_view path_template);
    static std::string host_key(std::string_view host);

  private:
    void observe_locked(Exchange &x);

    Options options_;
    mutable std::mutex lock_;
    analysis::Inventory inventory_;
    DeclaredMap declared_;
    std::map<std::string, uint64_t, std::less<>> saved_; /* host: version */
    std::mutex save_lock_;    /* one save at a time */
    std::mutex declare_lock_; /* one change of declared APIs at a time */
    std::atomic<uint64_t> failures_{0};
};

} // namespace kv

#endif
