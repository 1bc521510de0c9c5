/*
 * Drift between what a host serves (the inventory) and what its operator
 * declared (an OpenAPI document): shadow endpoints (served, not declared),
 * zombie endpoints (declared, not seen for a while), responses with
 * undeclared status codes, and request or response members the declared
 * schemas do not name.
 *
 * A pure function of an inventory, a declared API and the time; run it on
 * the thread that owns the inventory.
 */

#ifndef KV_ANALYSIS_DRIFT_H
#define KV_ANALYSIS_DRIFT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

#include "analysis/declared_api.h"
#include "analysis/inventory.h"

namespace kv::analysis {

struct DriftOptions {
    int64_t now_ms = 0;
    /* a declared operation not seen for this long is a zombie */
    int64_t zombie_after_ms = 30LL * 24 * 3600 * 1000;
    /* when the document was declared: an operation never seen is a
     * zombie only once this is zombie_after_ms old */
    int64_t declared_at_ms = 0;
};

struct DriftReport {
    struct Shadow {
        std::string method, path; /* the inventory's template */
        uint64_t count = 0;
        int64_t last_seen_ms = 0;
    };
    struct Zombie {
        std::string method, path;  /* as declared */
        int64_t last_seen_ms = -1; /* -1: never seen */
    };
    struct UndeclaredStatus {
        std::string method, path, declared_path;
        int status = 0;
        uint64_t count = 0;
    };
    struct UndeclaredMember {
        std::string method, path, declared_path;
        std::string where;  /* "request" or "response 200" */
        std::string member; /* "user.address.zip", "items[].id" */
    };
    std::vector<Shadow> shadows;
    std::vector<Zombie> zombies;
    std::vector<UndeclaredStatus> undeclared_statuses;
    std::vector<UndeclaredMember> undeclared_members;

    boost::json::value to_json() const;
};

/*
 * Matches each endpoint of host to the declared operation whose path fits
 * it best: literals must be equal, a declared parameter fits anything, an
 * inferred parameter fits only a declared one, and the most literal match
 * wins, as OpenAPI routes.  HEAD is covered by a declared GET.
 */
DriftReport compute_drift(const DeclaredApi &api, const Inventory &inventory,
                          std::string_view host, const DriftOptions &options);

/* Index of the declared operation for a method and template, or -1. */
long match_declared(const DeclaredApi &api, std::string_view method,
                    const std::vector<TemplateSegment> &segments);

} // namespace kv::analysis

#endif
