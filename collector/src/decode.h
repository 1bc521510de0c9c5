/*
 * What the sensor's messages mean: merged logs (one JSON document per
 * exchange), response logs (metadata in header lines, the captured body
 * raw), statistics documents and heartbeats, turned into records the store
 * keeps.  All text in a record is valid UTF-8.
 */

#ifndef KV_COLLECTOR_DECODE_H
#define KV_COLLECTOR_DECODE_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "wire.h"

namespace kv {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Exchange {
    int64_t time_ms = 0;     /* request start, from the sensor */
    int64_t received_ms = 0; /* when the collector got it */
    std::string sensor_host;
    std::string instance;
    int64_t worker_pid = 0; /* 0: not known */
    std::string format;     /* "merged" or "response" */
    std::string method;
    std::string uri;
    int status = 0;
    std::string client_ip;
    int client_port = 0;
    int64_t latency_ms = -1; /* -1: not reported */
    std::string request_id;
    std::string logging_level;
    HeaderList request_headers;
    HeaderList response_headers;
    std::optional<std::string> request_body; /* raw bytes */
    std::optional<std::string> response_body;
    bool request_body_truncated = false;
    bool response_body_truncated = false;
    std::string meta; /* JSON object of what fits no column */
    std::string peer; /* sensor connection's address */
};

struct StatsDoc {
    int64_t time_ms = 0;
    std::string sensor_host;
    std::string instance;
    int64_t pid = 0;
    std::string access; /* JSON object, the sensor's key order */
    std::string auth;
    std::string peer;
    uint64_t connection = 0;
};

struct Heartbeat {
    int64_t time_ms = 0;
    std::string sensor_host;
    std::string instance;
    std::string logging_level;
    int64_t pid = 0; /* learnt from statistics on the same connection */
    std::string peer;
    uint64_t connection = 0;
};

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
