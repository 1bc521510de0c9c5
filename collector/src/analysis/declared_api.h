/*
 * The operator's declared API: an OpenAPI 3.0 or 3.1 document, in JSON or
 * YAML, read into the operations drift compares with the inventory.
 * Local references ("#/components/...") are followed; what cannot be
 * followed is reported as a warning and left out of the comparison.
 *
 * Parsing is a pure function; the result is the caller's, on any thread.
 */

#ifndef KV_ANALYSIS_DECLARED_API_H
#define KV_ANALYSIS_DECLARED_API_H

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

#include "analysis/path_templates.h"

namespace kv::analysis {

struct DeclaredOperation {
    std::string method; /* upper case */
    std::string path;   /* as declared, base path included */
    std::vector<TemplateSegment> segments;
    /* "200", "2XX", "default" */
    std::vector<std::string> statuses;
    /* JSON Schemas of JSON bodies, references resolved one level (the
     * comparison follows deeper ones); null when none is declared */
    boost::json::value request_schema;
    std::map<std::string, boost::json::value> response_schemas;
};

struct DeclaredApi {
    std::string openapi_version; /* "3.0.3", "3.1.0" */
    std::vector<DeclaredOperation> operations;
    std::vector<std::string> warnings;
    /* the whole document, for following references */
    boost::json::value document;
};

/* Limits on what a declared document may be. */
constexpr size_t declared_max_bytes = 16u << 20;
constexpr size_t declared_max_nodes = 1000000; /* after YAML aliases */

/* JSON or YAML (told apart by the first character).  Returns nothing and
 * a message naming the problem (and its line for syntax errors) when the
 * text is not an OpenAPI 3.x document. */
std::optional<DeclaredApi> parse_declared_api(std::string_view text,
                                              std::string &error);

/* YAML to JSON, YAML 1.2's core schema for plain scalars.  Exposed for
 * tests. */
std::optional<boost::json::value> yaml_to_json(std::string_view text,
                                               std::string &error);

/* Follows "#/a/b" references (up to a bounded depth); nullptr when v is a
 * reference that leads nowhere. */
const boost::json::value *resolve_ref(const boost::json::value &document,
                                      const boost::json::value &v);

} // namespace kv::analysis

#endif
