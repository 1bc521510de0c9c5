/*
 * The console: a small web application and the JSON API behind it.  One
 * function from a request to its response, called on the console server's
 * worker threads; it keeps no state of its own between requests.
 */

#ifndef KV_API_CONSOLE_API_H
#define KV_API_CONSOLE_API_H

#include <string>

#include "control/state.h"
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
};

class ConsoleApi {
  public:
    /* bodies shown with one exchange, unless the request asks otherwise */
    static constexpr size_t default_body_window = 64 * 1024;
    static constexpr size_t max_body_window = 1 << 20;

    ConsoleApi(Store &store, ControlState &control, IngestCounters &counters,
               ConsoleInfo info)
        : store_(store), control_(control), counters_(counters),
          info_(std::move(info))
    {
    }

    HttpResponse handle(const HttpRequest &req);

    /* One request, taken apart. */
    struct Call;

  private:
    HttpResponse asset(const Call &c);
    HttpResponse list_exchanges(const Call &c);
    HttpResponse one_exchange(const Call &c);
    HttpResponse exchange_body(const Call &c);
    HttpResponse sensors(const Call &c);
    HttpResponse stats(const Call &c);
    HttpResponse get_control(const Call &c);
    HttpResponse put_control(const Call &c);
    HttpResponse collector(const Call &c);

    Store &store_;
    ControlState &control_;
    IngestCounters &counters_;
    ConsoleInfo info_;
};

} // namespace kv

#endif
