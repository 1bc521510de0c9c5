/*
 * The endpoint inventory: per host, method and path template, what was
 * served (counts, first and last seen, status classes, latency
 * percentiles, content types, query parameter names, authentication,
 * sensitive data kinds, JSON Schemas of bodies), updated exchange by
 * exchange and never by re-reading stored ones.  Memory is bounded: hosts,
 * endpoints per host and in all, names per endpoint and schema nodes are
 * capped, and a high-cardinality path position becomes a parameter (see
 * path_templates.h).  An inventory can be saved as JSON, read back and
 * merged with another, which is how several collectors combine theirs.
 *
 * Feed it exchanges before redaction: it keeps no values, but telling a
 * JWT from another bearer token and seeing card numbers needs them.
 *
 * Owned by one thread (the collector's writer, which sees every exchange
 * it stores); no locking.  Readers get copies through to_json().
 */

#ifndef KV_ANALYSIS_INVENTORY_H
#define KV_ANALYSIS_INVENTORY_H

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/value.hpp>

#include "analysis/detectors.h"
#include "analysis/exchange_record.h"
#include "analysis/latency_sketch.h"
#include "analysis/minute_series.h"
#include "analysis/path_templates.h"
#include "analysis/schema.h"

namespace kv::analysis {

/* How requests authenticated, as bits. */
enum AuthKind : uint32_t {
    kAuthNone = 1u << 0,
    kAuthBasic = 1u << 1,
    kAuthBearer = 1u << 2, /* a bearer token that is not a JWT */
    kAuthJwt = 1u << 3,
    kAuthApiKey = 1u << 4, /* an API key header */
    kAuthCookie = 1u << 5,
    kAuthOther = 1u << 6, /* another Authorization scheme */
};
/* "none", "basic", "bearer", "jwt", "api_key", "cookie", "other". */
std::vector<std::string> auth_kind_names(uint32_t kinds);
uint32_t auth_kinds_from_names(const std::vector<std::string> &names);

struct InventoryOptions {
    size_t max_hosts = 256;
    size_t max_endpoints_per_host = 1000;
    size_t max_endpoints = 20000; /* all hosts together */
    TemplateLimits templates;
    SchemaLimits schemas;
    /* header names carrying API keys, besides X-Api-Key, Api-Key, ApiKey,
     * X-Auth-Token */
    std::vector<std::string> api_key_headers;
    /* member names whose values are secrets, besides the built-in ones
     * (the same list as redaction's) */
    std::vector<std::string> secret_keys;
};

/* Bounds of an endpoint's name lists; what does not fit is dropped, the
 * smallest names kept, so the lists do not depend on arrival order. */
constexpr size_t endpoint_max_query_names = 64;
constexpr size_t endpoint_max_content_types = 8;
constexpr size_t endpoint_max_credential_names = 4;
constexpr size_t endpoint_max_status_codes = 24;
constexpr size_t endpoint_max_schema_statuses = 8;

struct Endpoint {
    std::string method;
    uint64_t count = 0;
    int64_t first_seen_ms = 0;
    int64_t last_seen_ms = 0;
    /* [0] no or odd status, [1] 1xx ... [5] 5xx */
    std::array<uint64_t, 6> status_classes{};
    std::vector<std::pair<int, uint64_t>> statuses; /* sorted by code */
    LatencySketch latency;
    MinuteSeries series; /* exchanges and failures per minute, last hour */
    std::vector<std::string> request_types; /* media types, sorted */
    std::vector<std::string> response_types;
    std::vector<std::string> query_names; /* sorted */
    uint32_t auth = 0;
    std::vector<std::string> api_key_headers; /* lower case, sorted */
    std::vector<std::string> cookie_names;    /* sorted */
    SensitiveSet request_sensitive = 0;       /* path, query and body */
    SensitiveSet response_sensitive = 0;
    /* request bodies of exchanges that did not fail (status < 400) */
    SchemaBuilder request_schema;
    std::vector<std::pair<int, SchemaBuilder>> response_schemas;

    explicit Endpoint(SchemaLimits limits = {}) : request_schema(limits) {}
    void merge(const Endpoint &other);
};

/* An endpoint and where it is, for readers. */
struct EndpointView {
    std::string host;
    std::string method;
    std::string path_template;
    std::vector<TemplateSegment> segments;
    const Endpoint *endpoint = nullptr;
};

class Inventory {
  public:
    enum class Outcome {
        counted,      /* an existing endpoint */
        new_endpoint, /* a new one (or a path position became a param) */
        host_cap,     /* dropped: too many hosts */
        endpoint_cap, /* dropped: too many endpoints */
        too_deep,     /* dropped: more path segments than templates hold */
    };
    struct Counters {
        uint64_t exchanges = 0;
        uint64_t dropped_host_cap = 0;
        uint64_t dropped_endpoint_cap = 0;
        uint64_t dropped_too_deep = 0;
    };

    explicit Inventory(InventoryOptions options = {});
    ~Inventory();
    Inventory(Inventory &&) noexcept;
    Inventory &operator=(Inventory &&) noexcept;

    Outcome observe(const ExchangeRecord &x);

    /* Adds what other learnt; other is left empty. */
    void merge(Inventory &&other);

    std::vector<std::string> hosts() const;
    /* Sorted by host, template, method; one host when host is given. */
    std::vector<EndpointView> endpoints(std::string_view host = {}) const;
    size_t endpoint_count() const { return endpoints_; }
    const Counters &counters() const { return counters_; }
    const InventoryOptions &options() const { return options_; }

    /* The full state, counts and sketches included: what the store keeps
     * and what merging reads.  With a host, that host's part alone and no
     * counters: what the collector keeps a row of per host. */
    boost::json::value to_json() const;
    boost::json::value to_json(std::string_view host) const;

    /* Grows each time an exchange of host is counted; 0 for a host not
     * held.  Tells which hosts changed since they were last saved. */
    uint64_t host_version(std::string_view host) const;

    /* The template of the endpoint an exchange of host, method and path
     * would be counted in, or nullopt when it would make a new one. */
    std::optional<std::string> template_for(std::string_view host,
                                            std::string_view method,
                                            std::string_view path) const;
    /* Replaces this inventory's contents; false and a reason when v is
     * not an inventory. */
    bool from_json(const boost::json::value &v, std::string &error);

    /* For people: counts, percentiles, names and JSON Schemas. */
    static boost::json::value summary_json(const EndpointView &e);

  private:
    struct Endpoints {
        std::vector<std::unique_ptr<Endpoint>> list;
        void absorb(Endpoints &&other);
    };
    using Tree = PathTree<Endpoints>;
    struct Host {
        Tree tree;
        size_t endpoints = 0;
        uint64_t version = 0;
        explicit Host(TemplateLimits l) : tree(l) {}
    };

    Host *host_for(std::string_view name, bool create, Outcome &why);
    const Host *find_host(std::string_view name) const;
    boost::json::value host_json(const Host &h) const;
    Endpoint *endpoint_for(Host &h, std::string_view path,
                           std::string_view method, Outcome &outcome,
                           Tree::Node *&node);
    void recount(Host &h);
    void update(Endpoint &e, const ExchangeRecord &x);
    bool read_host(Host &h, const boost::json::value &v, std::string &error);

    InventoryOptions options_;
    SecretNames secrets_;
    std::map<std::string, std::unique_ptr<Host>, std::less<>> hosts_;
    size_t endpoints_ = 0;
    Counters counters_;
};

} // namespace kv::analysis

#endif
