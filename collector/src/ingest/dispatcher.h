/*
 * One request from a sensor connection: what kind of message it is, what
 * it becomes in the store, and the reply it gets.  Independent of the
 * network code so the tests can drive it with exact bytes.  Shared by
 * every ingest thread; holds no state of its own but counters.
 */

#ifndef KV_INGEST_DISPATCHER_H
#define KV_INGEST_DISPATCHER_H

#include <string>
#include <vector>

#include "authz/authorizer.h"
#include "control/state.h"
#include "model/counters.h"
#include "model/records.h"
#include "protocol/http.h"

namespace kv {

struct ConnectionInfo {
    uint64_t id = 0;
    std::string peer;
    int64_t pid = 0; /* the worker this statistics connection belongs to */
};

class Dispatcher {
  public:
    Dispatcher(ControlState &control, IngestCounters &counters, AuthRules rules)
        : control_(control), counters_(counters),
          authorizer_(std::move(rules), counters)
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
    ControlState &control_;
    IngestCounters &counters_;
    Authorizer authorizer_;
};

} // namespace kv

#endif
