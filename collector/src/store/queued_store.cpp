#include "store/queued_store.h"

#include <pthread.h>

#include "base/text.h"

namespace kv {

namespace {

/* The batch vector keeps its size from one batch to the next, which are
 * alike under a steady load; once a burst is over and batches are a
 * fraction of it, what it took is given back. */
constexpr size_t kept_batch_capacity = 4096;

} // namespace

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

QueuedStore::~QueuedStore()
{
    stop();
}

void
QueuedStore::start()
{
    writer_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "kv-store");
        run();
    });
}

void
QueuedStore::stop()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    done_.notify_all();
}

bool
QueuedStore::stopping() const
{
    std::lock_guard<std::mutex> g(lock_);
    return stopping_;
}

void
QueuedStore::push(std::vector<Record> &records)
{
    if (records.empty()) {
        return;
    }
    size_t dropped = 0;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto &r : records) {
            size_t bytes = record_bytes(r);
            if (queue_.size() >= limits_.max_records
                || queue_bytes_ + bytes > limits_.max_bytes) {
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
QueuedStore::flush()
{
    std::unique_lock<std::mutex> g(lock_);
    uint64_t target = pushed_;
    done_.wait(g, [&] { return written_ >= target || !writer_.joinable(); });
}

size_t
QueuedStore::queued() const
{
    std::lock_guard<std::mutex> g(lock_);
    return queue_.size();
}

void
QueuedStore::run()
{
    std::vector<Record> batch;
    auto next_maintenance = std::chrono::steady_clock::now();
    for (;;) {
        if (std::chrono::steady_clock::now() >= next_maintenance) {
            maintain();
            next_maintenance =
                std::chrono::steady_clock::now() + maintain_interval;
        }
        {
            std::unique_lock<std::mutex> g(lock_);
            wake_.wait_until(g, next_maintenance,
                             [&] { return !queue_.empty() || stopping_; });
            if (queue_.empty() && stopping_) {
                return;
            }
            if (queue_.empty()) {
                continue;
            }
            batch.swap(queue_);
            queue_bytes_ = 0;
        }
        write_batch(batch);
        size_t n = batch.size();
        batch.clear();
        if (batch.capacity() > kept_batch_capacity
            && batch.capacity() > 4 * n) {
            std::vector<Record>().swap(batch);
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            written_ += n;
        }
        done_.notify_all();
    }
}

} // namespace kv
