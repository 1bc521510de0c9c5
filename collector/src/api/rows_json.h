/*
 * The API's JSON form of what the store hands back: exchanges (a list's
 * metadata, or one in full with its bodies cut to a window), workers,
 * statistics documents, control changes and the collector's own counters.  Pure functions.
 */

#ifndef KV_API_ROWS_JSON_H
#define KV_API_ROWS_JSON_H

#include <boost/json/object.hpp>

#include "model/counters.h"
#include "store/store.h"

namespace kv {

/* What a list shows: no headers, no bodies, their sizes. */
boost::json::object exchange_summary_json(const ExchangeRow &row);

/* One exchange in full, its bodies as far as they were read, with where
 * to download them whole. */
boost::json::object exchange_json(const ExchangeRow &row);

/* online: heard from (heartbeat or statistics) within offline_after_ms
 * of now */
boost::json::object sensor_json(const SensorRow &s, int64_t now_ms,
                                int64_t offline_after_ms);
boost::json::object stats_json(const StatsRow &s);
/* A control change, with the names of the settings it changed. */
boost::json::object control_change_json(const ControlChangeRow &c);

boost::json::object counters_json(const IngestCounters &ingest,
                                  const Store &store);

/* The path a body downloads from. */
std::string body_url(int64_t id, const char *part);

} // namespace kv

#endif
