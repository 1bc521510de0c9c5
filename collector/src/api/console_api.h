/*
 * The console: a small web application and the JSON API behind it.  One
 * function from a request to its response, called on the console server's
 * worker threads; it keeps no state of its own between requests.  Every
 * request passes the access gate (api/access.h) before it is routed.
 */

#ifndef KV_API_CONSOLE_API_H
#define KV_API_CONSOLE_API_H

#include <string>

#include "api/access.h"
#include "control/state.h"
#include "ingest/api_inventory.h"
#include "model/counters.h"
#include "network/http_server.h"
#include "store/store.h"

namespace kv {

struct ConsoleInfo {
    std::string ingest;
    std::string ingest_tls;
    std::string db;
    std::string control_file;
    int64_t started_ms = 0;
    /* a worker not heard from for this long is shown offline */
    int64_t offline_after_ms = 90000;
    AccessOptions access;
    /* redaction at ingest: on or off, and the names it masks beyond its
     * own */
    bool redaction = true;
    std::vector<std::string> redact_headers;
    std::vector<std::string> redact_keys;
};

class ConsoleApi {
  public:
    /* bodies shown with one exchange, unless the request asks otherwise */
    static constexpr size_t default_body_window = 64 * 1024;
    static constexpr size_t max_body_window = 1 << 20;

    /* inventory: the endpoint inventory, or nullptr when it is off */
    ConsoleApi(Store &store, ControlState &control, IngestCounters &counters,
               ConsoleInfo info, ApiInventory *inventory = nullptr)
        : store_(store), control_(control), counters_(counters),
          info_(std::move(info)), gate_(info_.access), inventory_(inventory)
    {
    }

    /* PUT /api/declared takes a whole OpenAPI document */
    static constexpr size_t declared_body_limit = 4u << 20;

    HttpResponse handle(const HttpRequest &req, const HttpPeer &peer);
    /* Whether the gate lets a request with this head through; the
     * console server reads a large body only for one it does. */
    bool admits(const HttpRequest &head, const HttpPeer &peer) const;

    /* One request, taken apart. */
    struct Call;

  private:
    HttpResponse route(const HttpRequest &req, const HttpPeer &peer);
    HttpResponse asset(const Call &c);
    HttpResponse session(const Call &c);
    HttpResponse sign_in(const Call &c);
    HttpResponse sign_out(const Call &c);
    HttpResponse control_changes(const Call &c);
    HttpResponse list_exchanges(const Call &c);
    HttpResponse one_exchange(const Call &c);
    HttpResponse exchange_body(const Call &c);
    HttpResponse sensors(const Call &c);
    HttpResponse stats(const Call &c);
    HttpResponse get_control(const Call &c);
    HttpResponse put_control(const Call &c);
    HttpResponse collector(const Call &c);
    HttpResponse metrics(const Call &c);
    /* endpoints_api.cpp: the inventory, its exports and declared APIs */
    HttpResponse list_endpoints(const Call &c);
    HttpResponse one_endpoint(const Call &c);
    HttpResponse openapi(const Call &c);
    HttpResponse exchanges_har(const Call &c);
    HttpResponse get_declared(const Call &c);
    HttpResponse put_declared(const Call &c);
    HttpResponse delete_declared(const Call &c);

    Store &store_;
    ControlState &control_;
    IngestCounters &counters_;
    ConsoleInfo info_;
    AccessGate gate_;
    ApiInventory *inventory_;
};

} // namespace kv

#endif
