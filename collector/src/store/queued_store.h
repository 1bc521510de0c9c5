/*
 * The writing half every backend shares: a bounded queue that ingest
 * threads push records into without waiting, and one writer thread that
 * takes everything queued at once and hands it to the backend's
 * write_batch().  Memory a burst needed is given back once it is written.
 * The writer also calls the backend's maintain() every few seconds, busy
 * or not, for what must happen as time passes (retention by age).
 */

#ifndef KV_STORE_QUEUED_STORE_H
#define KV_STORE_QUEUED_STORE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "store/store.h"

namespace kv {

class QueuedStore : public Store {
  public:
    struct QueueLimits {
        size_t max_records = 200000;
        size_t max_bytes = 256u << 20;
    };

    /* Rows older than max_age_ms are dropped every interval_ms, by a
     * backend's maintain(); 0: kept whatever their age. */
    struct AgeLimit {
        int64_t max_age_ms = 0;
        int64_t interval_ms = 60000;
    };

    ~QueuedStore() override;

    void start() override;
    /* A backend's destructor calls it first: the writer calls into the
     * backend until it is stopped. */
    void stop() override;
    void push(std::vector<Record> &records) override;
    void flush() override;
    size_t queued() const override;
    const StoreCounters &counters() const override { return counters_; }

  protected:
    explicit QueuedStore(QueueLimits limits) : limits_(limits) {}

    /* On the writer thread: keeps what it can of batch and counts the
     * rest in counters_.write_errors. */
    virtual void write_batch(std::vector<Record> &batch) = 0;

    /* On the writer thread, every maintain_interval, and once before the
     * first batch. */
    virtual void maintain() {}
    std::chrono::milliseconds maintain_interval{5000};

    /* Whether stop() was called: a backend waiting for its database
     * gives up. */
    bool stopping() const;

    StoreCounters counters_;

  private:
    void run();

    QueueLimits limits_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<Record> queue_;
    size_t queue_bytes_ = 0;
    uint64_t pushed_ = 0;
    uint64_t written_ = 0;
    bool stopping_ = false;
    std::thread writer_;
};

/* What a record holds in memory, roughly, for the queue's bound. */
size_t record_bytes(const Record &r);

} // namespace kv

#endif
