/*
 * An OpenAPI 3.1 document of what one host served, from the inventory:
 * paths and their parameters, request bodies, responses with their JSON
 * Schemas, and the security schemes requests used.  Reads the inventory
 * on the thread that owns it; the document is the caller's.
 */

#ifndef KV_ANALYSIS_OPENAPI_H
#define KV_ANALYSIS_OPENAPI_H

#include <string>
#include <string_view>

#include <boost/json/value.hpp>

#include "analysis/inventory.h"

namespace kv::analysis {

struct OpenApiOptions {
    std::string title; /* default: "<host> (observed)" */
    std::string version = "observed";
    std::string server_url; /* e.g. "https://api.example.com" */
};

/* Methods OpenAPI has no place for (e.g. PROPFIND) are left out and
 * counted in the document's "x-kv-unlisted-operations". */
boost::json::value openapi_document(const Inventory &inventory,
                                    std::string_view host,
                                    const OpenApiOptions &options = {});

/* "Not Found" for 404; "" for codes without a standard phrase. */
const char *reason_phrase(int status);

} // namespace kv::analysis

#endif
