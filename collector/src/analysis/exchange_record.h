/*
 * The exchange as the analysis units see it: a plain record the collector
 * fills from a decoded sensor message or from the store's rows.  Nothing
 * here owns anything but its strings; any thread may build one.
 */

#ifndef KV_ANALYSIS_EXCHANGE_RECORD_H
#define KV_ANALYSIS_EXCHANGE_RECORD_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kv::analysis {

using HeaderPairs = std::vector<std::pair<std::string, std::string>>;

struct ExchangeRecord {
    std::string method;          /* as sent, e.g. "GET" */
    std::string scheme = "http"; /* "http" or "https" */
    std::string host;            /* Host header or authority, port kept */
    std::string path;            /* undecoded, without the query */
    std::string query;           /* undecoded, without the '?' */
    std::string http_version = "HTTP/1.1";
    int status = 0;
    HeaderPairs request_headers; /* in the order sent */
    HeaderPairs response_headers;
    std::string request_body; /* raw bytes as captured */
    std::string response_body;
    bool request_body_truncated = false;
    bool response_body_truncated = false;
    int64_t start_ms = 0;    /* request start, Unix ms */
    int64_t latency_ms = -1; /* -1: the sensor did not report it */
    std::string client_address;
};

/* Splits a request target ("/a/b?x=1") into path and query. */
void split_target(std::string_view target, std::string &path,
                  std::string &query);

} // namespace kv::analysis

#endif
