/*
 * What the collector keeps of a sensor's messages, as typed records: an
 * exchange (from either log format), a statistics document and a
 * heartbeat.  The protocol layer makes them, the ingest pipeline passes
 * them on, a store keeps them.  Plain values: any thread may own one.
 * All text in a record is valid UTF-8; bodies are raw bytes.
 */

#ifndef KV_MODEL_RECORDS_H
#define KV_MODEL_RECORDS_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

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

using Record = std::variant<Exchange, StatsDoc, Heartbeat>;

/*
 * A step records pass through between decoding and storing, in the order
 * they arrived on one connection.  A step may change a record or remove
 * it from the vector; it runs on the ingest thread that read them, so it
 * must not block, and several ingest threads may call it at once.
 */
class RecordStage {
  public:
    virtual ~RecordStage() = default;
    virtual void process(std::vector<Record> &records) = 0;
};

} // namespace kv

#endif
