/*
 * The collector's own counters: what ingest saw, including every message
 * and connection it gave up on.  Relaxed atomics, bumped from any ingest
 * thread and read by the console; KV_INGEST_COUNTERS lists them once for
 * whoever shows them.
 */

#ifndef KV_MODEL_COUNTERS_H
#define KV_MODEL_COUNTERS_H

#include <atomic>
#include <cstdint>

namespace kv {

#define KV_INGEST_COUNTERS(X)                                                  \
    X(connections_accepted)                                                    \
    X(connections_open)                                                        \
    X(connections_closed)                                                      \
    X(connections_failed)                                                      \
    X(connections_cut_mid_message)                                             \
    X(connections_refused)                                                     \
    X(connections_cut_memory)                                                  \
    X(head_timeouts)                                                           \
    X(idle_timeouts)                                                           \
    X(tls_handshake_failed)                                                    \
    X(framing_errors)                                                          \
    X(bytes_received)                                                          \
    X(buffered_bytes)                                                          \
    X(messages)                                                                \
    X(merged_logs)                                                             \
    X(response_logs)                                                           \
    X(heartbeats)                                                              \
    X(stats_documents)                                                         \
    X(authorizations_allowed)                                                  \
    X(authorizations_denied)                                                   \
    X(unknown_messages)                                                        \
    X(malformed_messages)                                                      \
    X(browser_requests_refused)                                                \
    X(control_updates)                                                         \
    X(control_errors)                                                          \
    X(values_redacted)                                                         \
    X(bodies_not_redacted)

struct IngestCounters {
#define KV_DECLARE(name) std::atomic<uint64_t> name{0};
    KV_INGEST_COUNTERS(KV_DECLARE)
#undef KV_DECLARE
};

inline void
bump(std::atomic<uint64_t> &c, uint64_t n = 1)
{
    c.fetch_add(n, std::memory_order_relaxed);
}

} // namespace kv

#endif
