/*
 * The inventory as JSON: the full state for the store and for merging
 * collectors' inventories, and the summary people read.  to_json() and
 * summary_json() only read; from_json() replaces.  On the thread that owns
 * the inventory.
 */

#include "analysis/inventory.h"

#include <boost/json.hpp>

#include "analysis/text.h"

namespace kv::analysis {

namespace json = boost::json;

namespace {

constexpr int64_t format_version = 1;

json::array
strings(const std::vector<std::string> &v)
{
    json::array a;
    for (const auto &s : v) {
        a.emplace_back(s);
    }
    return a;
}

std::vector<std::string>
read_strings(const json::object &o, const char *key, size_t cap)
{
    std::vector<std::string> out;
    const json::value *v = o.if_contains(key);
    if (v == nullptr || !v->is_array()) {
        return out;
    }
    for (const auto &e : v->get_array()) {
        if (e.is_string() && out.size() < cap) {
            out.emplace_back(e.get_string().data(), e.get_string().size());
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

template <typename T>
T
read_number(const json::object &o, const char *key, T fallback = 0)
{
    const json::value *v = o.if_contains(key);
    if (v == nullptr || !v->is_number()) {
        return fallback;
    }
    json::error_code ec;
    T r = v->to_number<T>(ec);
    return ec ? fallback : r;
}

json::value
endpoint_to_json(const Endpoint &e)
{
    json::object o;
    o["method"] = e.method;
    o["count"] = e.count;
    o["first_seen_ms"] = e.first_seen_ms;
    o["last_seen_ms"] = e.last_seen_ms;
    json::array classes;
    for (uint64_t c : e.status_classes) {
        classes.emplace_back(c);
    }
    o["status_classes"] = std::move(classes);
    json::array statuses;
    for (const auto &[code, n] : e.statuses) {
        statuses.push_back(json::array{code, n});
    }
    o["statuses"] = std::move(statuses);
    o["latency"] = e.latency.to_json();
    o["series"] = e.series.to_json();
    o["request_types"] = strings(e.request_types);
    o["response_types"] = strings(e.response_types);
    o["query_names"] = strings(e.query_names);
    o["auth"] = strings(auth_kind_names(e.auth));
    o["api_key_headers"] = strings(e.api_key_headers);
    o["cookie_names"] = strings(e.cookie_names);
    o["request_sensitive"] = strings(sensitive_type_names(e.request_sensitive));
    o["response_sensitive"] =
        strings(sensitive_type_names(e.response_sensitive));
    o["request_schema"] = e.request_schema.to_json();
    json::array schemas;
    for (const auto &[code, s] : e.response_schemas) {
        schemas.push_back(json::array{code, s.to_json()});
    }
    o["response_schemas"] = std::move(schemas);
    return o;
}

bool
endpoint_from_json(Endpoint &e, const json::value &v, std::string &error)
{
    const json::object *o = v.if_object();
    const json::value *m = o ? o->if_contains("method") : nullptr;
    if (m == nullptr || !m->is_string() || m->get_string().empty()
        || m->get_string().size() > 32) {
        error = "an endpoint without a method";
        return false;
    }
    e.method.assign(m->get_string().data(), m->get_string().size());
    e.count = read_number<uint64_t>(*o, "count");
    e.first_seen_ms = read_number<int64_t>(*o, "first_seen_ms");
    e.last_seen_ms = read_number<int64_t>(*o, "last_seen_ms");
    if (const auto *c = o->if_contains("status_classes"); c && c->is_array()) {
        const auto &a = c->get_array();
        for (size_t i = 0; i < a.size() && i < e.status_classes.size(); i++) {
            json::error_code ec;
            uint64_t n = a[i].is_number() ? a[i].to_number<uint64_t>(ec) : 0;
            e.status_classes[i] = ec ? 0 : n;
        }
    }
    if (const auto *s = o->if_contains("statuses"); s && s->is_array()) {
        for (const auto &p : s->get_array()) {
            const json::array *a = p.if_array();
            if (a == nullptr || a->size() != 2 || !(*a)[0].is_number()
                || !(*a)[1].is_number()) {
                continue;
            }
            json::error_code ec1, ec2;
            int code = (*a)[0].to_number<int>(ec1);
            uint64_t n = (*a)[1].to_number<uint64_t>(ec2);
            if (ec1 || ec2 || code < 100 || code > 599
                || e.statuses.size() >= endpoint_max_status_codes) {
                continue;
            }
            e.statuses.emplace_back(code, n);
        }
        std::sort(e.statuses.begin(), e.statuses.end());
    }
    if (const auto *l = o->if_contains("latency");
        l && !e.latency.from_json(*l)) {
        error = "a malformed latency histogram";
        return false;
    }
    /* inventories saved before series were kept have none */
    if (const auto *m = o->if_contains("series");
        m && !e.series.from_json(*m)) {
        error = "a malformed series of minutes";
        return false;
    }
    e.request_types =
        read_strings(*o, "request_types", endpoint_max_content_types);
    e.response_types =
        read_strings(*o, "response_types", endpoint_max_content_types);
    e.query_names = read_strings(*o, "query_names", endpoint_max_query_names);
    e.auth = auth_kinds_from_names(read_strings(*o, "auth", 16));
    e.api_key_headers =
        read_strings(*o, "api_key_headers", endpoint_max_credential_names);
    e.cookie_names =
        read_strings(*o, "cookie_names", endpoint_max_credential_names);
    e.request_sensitive =
        sensitive_set_from_names(read_strings(*o, "request_sensitive", 16));
    e.response_sensitive =
        sensitive_set_from_names(read_strings(*o, "response_sensitive", 16));
    if (const auto *s = o->if_contains("request_schema");
        s && !e.request_schema.from_json(*s)) {
        error = "a malformed request schema";
        return false;
    }
    if (const auto *s = o->if_contains("response_schemas");
        s && s->is_array()) {
        for (const auto &p : s->get_array()) {
            const json::array *a = p.if_array();
            if (a == nullptr || a->size() != 2 || !(*a)[0].is_number()) {
                error = "a malformed response schema";
                return false;
            }
            json::error_code ec;
            int code = (*a)[0].to_number<int>(ec);
            if (ec || code < 100 || code > 599
                || e.response_schemas.size() >= endpoint_max_schema_statuses) {
                continue;
            }
            SchemaBuilder b(e.request_schema.limits());
            if (!b.from_json((*a)[1])) {
                error = "a malformed response schema";
                return false;
            }
            e.response_schemas.emplace_back(code, std::move(b));
        }
        std::sort(
            e.response_schemas.begin(), e.response_schemas.end(),
            [](const auto &x, const auto &y) { return x.first < y.first; });
    }
    return true;
}

/* A template and the kinds of value seen at each parameter. */
json::object
template_json(const std::vector<TemplateSegment> &segments)
{
    json::object o;
    o["path"] = render_template(segments);
    json::array kinds;
    for (const auto &s : segments) {
        if (s.param) {
            kinds.push_back(strings(segment_kind_names(s.kinds)));
        }
    }
    o["param_kinds"] = std::move(kinds);
    return o;
}

bool
read_template(const json::object &o, size_t max_segments,
              std::vector<TemplateSegment> &segments, std::string &error)
{
    const json::value *p = o.if_contains("path");
    if (p == nullptr || !p->is_string() || p->get_string().empty()
        || p->get_string()[0] != '/') {
        error = "a template without a path";
        return false;
    }
    segments = parse_template(
        std::string_view(p->get_string().data(), p->get_string().size()));
    if (segments.size() > max_segments) {
        error = "a template deeper than templates go";
        return false;
    }
    const json::value *k = o.if_contains("param_kinds");
    const json::array *kinds = k ? k->if_array() : nullptr;
    size_t i = 0;
    for (auto &s : segments) {
        if (!s.param) {
            continue;
        }
        if (kinds != nullptr && i < kinds->size()) {
            std::vector<std::string> names;
            if (const json::array *a = (*kinds)[i].if_array()) {
                for (const auto &n : *a) {
                    if (n.is_string()) {
                        names.emplace_back(n.get_string().data(),
                                           n.get_string().size());
                    }
                }
            }
            s.kinds = segment_kinds_from_names(names);
        }
        if (s.kinds == 0) {
            s.kinds = kind_bit(SegmentKind::other);
        }
        i++;
    }
    return true;
}

} // namespace

json::value
Inventory::host_json(const Host &h) const
{
    json::array endpoints, collapsed;
    h.tree.visit([&](const Tree::Node &n) {
        if (n.collapsed) {
            collapsed.push_back(template_json(h.tree.segments_of(&n)));
        }
        for (const auto &e : n.slot.list) {
            json::value ev = endpoint_to_json(*e);
            json::object t = template_json(h.tree.segments_of(&n));
            ev.as_object()["path"] = std::move(t["path"]);
            ev.as_object()["param_kinds"] = std::move(t["param_kinds"]);
            endpoints.push_back(std::move(ev));
        }
    });
    json::object ho;
    ho["endpoints"] = std::move(endpoints);
    /* positions made parameters by their many values: they stay
     * parameters when read back or merged */
    ho["collapsed"] = std::move(collapsed);
    return ho;
}

json::value
Inventory::to_json(std::string_view host) const
{
    json::object hosts;
    if (const Host *h = find_host(host)) {
        for (const auto &[name, held] : hosts_) {
            if (held.get() == h) {
                hosts[name] = host_json(*h);
            }
        }
    }
    json::object out;
    out["inventory_version"] = format_version;
    out["counters"] = json::object{};
    out["hosts"] = std::move(hosts);
    return out;
}

json::value
Inventory::to_json() const
{
    json::object hosts;
    for (const auto &[name, h] : hosts_) {
        hosts[name] = host_json(*h);
    }
    json::object counters;
    counters["exchanges"] = counters_.exchanges;
    counters["dropped_host_cap"] = counters_.dropped_host_cap;
    counters["dropped_endpoint_cap"] = counters_.dropped_endpoint_cap;
    counters["dropped_too_deep"] = counters_.dropped_too_deep;
    json::object out;
    out["inventory_version"] = format_version;
    out["counters"] = std::move(counters);
    out["hosts"] = std::move(hosts);
    return out;
}

bool
Inventory::read_host(Host &h, const json::value &v, std::string &error)
{
    const json::object *o = v.if_object();
    const json::value *eps = o ? o->if_contains("endpoints") : nullptr;
    if (eps == nullptr || !eps->is_array()) {
        error = "a host without an endpoints array";
        return false;
    }
    std::vector<TemplateSegment> segments;
    for (const auto &ev : eps->get_array()) {
        const json::object *eo = ev.if_object();
        if (eo == nullptr) {
            error = "an endpoint that is not an object";
            return false;
        }
        if (!read_template(*eo, options_.templates.max_segments, segments,
                           error)) {
            return false;
        }
        auto e = std::make_unique<Endpoint>(options_.schemas);
        if (!endpoint_from_json(*e, ev, error)) {
            return false;
        }
        bool collapsed = false;
        Tree::Node *n = h.tree.insert_template(segments, &collapsed);
        if (collapsed) {
            recount(h);
        }
        bool exists =
            std::any_of(n->slot.list.begin(), n->slot.list.end(),
                        [&](const auto &m) { return m->method == e->method; });
        if (!exists
            && (h.endpoints >= options_.max_endpoints_per_host
                || endpoints_ >= options_.max_endpoints)) {
            counters_.dropped_endpoint_cap += e->count;
            continue;
        }
        Endpoints one;
        one.list.push_back(std::move(e));
        n->slot.absorb(std::move(one));
        if (!exists) {
            h.endpoints++;
            endpoints_++;
        }
    }
    if (const auto *c = o->if_contains("collapsed"); c && c->is_array()) {
        for (const auto &cv : c->get_array()) {
            const json::object *co = cv.if_object();
            if (co == nullptr
                || !read_template(*co, options_.templates.max_segments,
                                  segments, error)) {
                error = "a malformed collapsed position";
                return false;
            }
            Tree::Node *n = h.tree.insert_template(segments);
            if (!n->collapsed) {
                h.tree.collapse(n);
            }
        }
    }
    recount(h);
    return true;
}

bool
Inventory::from_json(const json::value &v, std::string &error)
{
    hosts_.clear();
    endpoints_ = 0;
    counters_ = {};
    const json::object *o = v.if_object();
    if (o == nullptr
        || read_number<int64_t>(*o, "inventory_version", -1)
               != format_version) {
        error = "not an inventory (inventory_version 1)";
        return false;
    }
    if (const auto *c = o->if_contains("counters"); c && c->is_object()) {
        const auto &co = c->get_object();
        counters_.exchanges = read_number<uint64_t>(co, "exchanges");
        counters_.dropped_host_cap =
            read_number<uint64_t>(co, "dropped_host_cap");
        counters_.dropped_endpoint_cap =
            read_number<uint64_t>(co, "dropped_endpoint_cap");
        counters_.dropped_too_deep =
            read_number<uint64_t>(co, "dropped_too_deep");
    }
    const json::value *hv = o->if_contains("hosts");
    if (hv == nullptr || !hv->is_object()) {
        error = "an inventory without hosts";
        return false;
    }
    for (const auto &m : hv->get_object()) {
        Outcome why;
        Host *h = host_for(std::string_view(m.key().data(), m.key().size()),
                           true, why);
        if (h == nullptr) {
            counters_.dropped_host_cap++;
            continue;
        }
        if (!read_host(*h, m.value(), error)) {
            hosts_.clear();
            endpoints_ = 0;
            counters_ = {};
            return false;
        }
    }
    return true;
}

json::value
Inventory::summary_json(const EndpointView &v)
{
    const Endpoint &e = *v.endpoint;
    json::object o;
    o["host"] = v.host;
    o["method"] = v.method;
    o["path"] = v.path_template;
    json::array params;
    std::vector<std::string> names = template_names(v.segments);
    for (size_t i = 0; i < v.segments.size(); i++) {
        if (v.segments[i].param) {
            json::object p;
            p["name"] = names[i];
            p["kinds"] = strings(segment_kind_names(v.segments[i].kinds));
            params.push_back(std::move(p));
        }
    }
    o["path_parameters"] = std::move(params);
    o["count"] = e.count;
    o["first_seen_ms"] = e.first_seen_ms;
    o["last_seen_ms"] = e.last_seen_ms;
    json::object classes;
    static const char *const class_names[] = {"other", "1xx", "2xx",
                                              "3xx",   "4xx", "5xx"};
    for (size_t i = 0; i < e.status_classes.size(); i++) {
        if (e.status_classes[i] != 0) {
            classes[class_names[i]] = e.status_classes[i];
        }
    }
    o["status_classes"] = std::move(classes);
    json::object statuses;
    for (const auto &[code, n] : e.statuses) {
        statuses[std::to_string(code)] = n;
    }
    o["statuses"] = std::move(statuses);
    json::object latency;
    latency["samples"] = e.latency.count();
    if (e.latency.count() > 0) {
        latency["p50"] = e.latency.quantile(0.50);
        latency["p95"] = e.latency.quantile(0.95);
        latency["p99"] = e.latency.quantile(0.99);
    }
    o["latency_ms"] = std::move(latency);
    o["request_content_types"] = strings(e.request_types);
    o["response_content_types"] = strings(e.response_types);
    o["query_parameters"] = strings(e.query_names);
    o["auth"] = strings(auth_kind_names(e.auth));
    o["api_key_headers"] = strings(e.api_key_headers);
    o["cookie_names"] = strings(e.cookie_names);
    o["sensitive"] = strings(
        sensitive_type_names(e.request_sensitive | e.response_sensitive));
    o["request_sensitive"] = strings(sensitive_type_names(e.request_sensitive));
    o["response_sensitive"] =
        strings(sensitive_type_names(e.response_sensitive));
    o["request_schema"] = e.request_schema.empty()
                              ? json::value(nullptr)
                              : e.request_schema.to_json_schema();
    json::object responses;
    for (const auto &[code, s] : e.response_schemas) {
        if (!s.empty()) {
            responses[std::to_string(code)] = s.to_json_schema();
        }
    }
    o["response_schemas"] = std::move(responses);
    return o;
}

} // namespace kv::analysis
