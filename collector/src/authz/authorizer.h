/*
 * The example authorization service: nginx's authorization location may
 * proxy to the collector's ingest address, and this decides on the path
 * the sensor reports.  Holds only its rules; any ingest thread.
 */

#ifndef KV_AUTHZ_AUTHORIZER_H
#define KV_AUTHZ_AUTHORIZER_H

#include <string>
#include <vector>

#include "model/counters.h"
#include "protocol/http.h"

namespace kv {

struct AuthRules {
    std::string path = "/kestrelvanes/authorize";
    std::vector<std::string> protected_prefixes{"/api/private/"};
    std::string token = "demo-token";
};

class Authorizer {
  public:
    Authorizer(AuthRules rules, IngestCounters &counters)
        : rules_(std::move(rules)), counters_(counters)
    {
    }

    /* The ingest path it answers at. */
    const std::string &path() const { return rules_.path; }

    /* Appends the decision for the subrequest req to reply: 200 unless the
     * path is protected, then 401 without credentials, 403 with wrong
     * ones. */
    void answer(const Request &req, std::string &reply);

  private:
    AuthRules rules_;
    IngestCounters &counters_;
};

/* The request path an authorization subrequest is about: the sensor's own
 * X-Req-Uri (the last one; a client's header of that name comes first),
 * percent-decoded, without its query. */
std::string authorized_path(const Request &req);

} // namespace kv

#endif
