/*
 * What the sensor's messages mean: merged logs (one JSON document per
 * exchange), response logs (metadata in header lines, the captured body
 * raw), statistics documents and heartbeats, turned into the records the
 * store keeps.  Pure functions; a thread-local parser per ingest thread.
 */

#ifndef KV_PROTOCOL_DECODE_H
#define KV_PROTOCOL_DECODE_H

#include <string>
#include <string_view>

#include "model/records.h"
#include "protocol/http.h"

namespace kv {

/* Each returns false with a reason when the message is not what its kind
 * must look like; out is then unspecified. */
bool decode_merged(const Request &req, Exchange &out, std::string &error);
bool decode_response_log(const Request &req, Exchange &out, std::string &error);
bool decode_stats(const Request &req, StatsDoc &out, std::string &error);
void decode_heartbeat(const Request &req, Heartbeat &out);

/* The worker's pid from a request identifier ("<pid in hex>-<id>"). */
int64_t pid_from_request_id(std::string_view id);

} // namespace kv

#endif
