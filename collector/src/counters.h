/*
 * The collector's own counters: what ingest saw, including every message
 * and connection it gave up on.
 */

#ifndef KV_COLLECTOR_COUNTERS_H
#define KV_COLLECTOR_COUNTERS_H

#include <atomic>
#include <cstdint>

#include <nlohmann/json.hpp>

namespace kv {

#define KV_INGEST_COUNTERS(X)                                                  \
    X(connections_accepted)                                                    \
    X(connections_open)                                                        \
    X(connections_closed)                                                      \
    X(connections_failed)                                                      \
    X(connections_cut_mid_message)                                             \
    X(tls_handshake_failed)                                                    \
    X(framing_errors)                                                          \
    X(bytes_received)                                                          \
    X(messages)                                                                \
    X(merged_logs)                                                             \
    X(response_logs)                                                           \
    X(heartbeats)                                                              \
    X(stats_documents)                                                         \
    X(authorizations_allowed)                                                  \
    X(authorizations_denied)                                                   \
    X(unknown_messages)                                                        \
    X(malformed_messages)                                                      \
    X(control_updates)                                                         \
    X(control_errors)

struct IngestCounters {
#define KV_DECLARE(name) std::atomic<uint64_t> name{0};
    KV_INGEST_COUNTERS(KV_DECLARE)
#undef KV_DECLARE

    nlohmann::ordered_json to_json() const
    {
        nlohmann::ordered_json j;
#define KV_PUT(name) j[#name] = name.load(std::memory_order_relaxed);
        KV_INGEST_COUNTERS(KV_PUT)
#undef KV_PUT
        return j;
    }
};

inline void
bump(std::atomic<uint64_t> &c, uint64_t n = 1)
{
    c.fetch_add(n, std::memory_order_relaxed);
}

} // namespace kv

#endif
