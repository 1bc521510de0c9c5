/*
 * /metrics: the collector's own counters and the latest counters of every
 * sensor worker the database knows, in Prometheus' text format
 * (prometheus-cpp's serializer).  Made anew on each scrape, on the
 * console's worker threads.
 */

#ifndef KV_API_METRICS_H
#define KV_API_METRICS_H

#include <string>

#include "model/counters.h"
#include "store/store.h"

namespace kv {

std::string metrics_text(const IngestCounters &ingest, Store &store,
                         int64_t uptime_ms, int64_t offline_after_ms);

} // namespace kv

#endif
