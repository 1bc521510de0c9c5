/*
 * One request from a sensor connection: what kind of message it is, what
 * it becomes in the store, and the reply it gets.  Independent of the
 * network code so the tests can drive it with exact bytes.
 */

#ifndef KV_COLLECTOR_DISPATCH_H
#define KV_COLLECTOR_DISPATCH_H

#include <string>
#include <vector>

#include "control_state.h"
#include "counters.h"
#include "store.h"
#include "wire.h"

namespace kv {

/* The example authorization service: nginx's authorization location may
 * proxy to the collector's ingest address at this path. */
struct AuthRules {
    std::string path = "/kestrelvanes/authorize";
    std::vector<std::string> protected_prefixes{"/api/private/"};
    std::string token = "demo-token";
};

struct ConnectionInfo {
    uint64_t id = 0;
    std::string peer;
    int64_t pid = 0; /* the worker this statistics connection belongs to */
};

class Dispatcher {
  public:
    Dispatcher(ControlState &control, IngestCounters &counters, AuthRules rules)
        : control_(control), counters_(counters), rules_(std::move(rules))
    {
    }

    /*
     * Appends the reply to reply and what is to be stored to records.
     * Returns false when the connection is to be closed after the reply.
     * now_ms is the arrival time of the read that completed the request.
     */
    bool handle(const Request &req, ConnectionInfo &conn, int64_t now_ms,
                std::string &reply, std::vector<Record> &records);

    /* What a connection whose stream cannot be split any more is told
     * before it is closed. */
    static std::string framing_error_reply(const std::string &why);

  private:
    void authorize(const Request &req, std::string &reply);

    ControlState &control_;
    IngestCounters &counters_;
    AuthRules rules_;
};

/* The request path an authorization subrequest is about: the sensor's own
 * X-Req-Uri (the last one; a client's header of that name comes first),
 * percent-decoded, without its query. */
std::string authorized_path(const Request &req);

} // namespace kv

#endif
