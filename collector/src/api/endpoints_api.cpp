/*
 * The console's view of the APIs behind the sensors: the endpoint
 * inventory as a filtered, paged list and one endpoint in full, its
 * OpenAPI and HAR exports, and the declared APIs drift is measured
 * against.  On the console server's worker threads; the inventory is read
 * under its lock for as short a time as a copy takes, and the store is
 * read outside it.
 */

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include <boost/json.hpp>

#include "analysis/drift.h"
#include "analysis/har.h"
#include "analysis/openapi.h"
#include "api/console_call.h"

namespace kv {

namespace json = boost::json;
namespace http = boost::beast::http;
using analysis::DriftReport;
using analysis::EndpointView;
using analysis::Inventory;

namespace {

constexpr int default_page = 100;
constexpr int max_page = 1000;
constexpr int default_har_entries = 100;
constexpr int max_har_entries = 1000;
/* of each body in a HAR, and of all of them together: what is over goes
 * without its body, and says so */
constexpr size_t har_body_window = 1u << 20;
constexpr size_t har_bodies_budget = 32u << 20;
/* finding an endpoint's exchanges in the store: the newest rows of its
 * method under its literal prefix are read, at most this many */
constexpr int examples_shown = 5;
constexpr int example_scan = 2000;

/* What drift says of one endpoint of the inventory. */
struct Marks {
    bool declared_host = false; /* its host has a declared API */
    std::string declared_path;  /* the operation it matched */
    bool shadow = false;
    bool zombie = false;
    std::vector<std::pair<int, uint64_t>> undeclared_statuses;
    std::vector<std::pair<std::string, std::string>> undeclared_members;

    bool any() const
    {
        return shadow || zombie || !undeclared_statuses.empty()
               || !undeclared_members.empty();
    }
};

/* An endpoint as the list shows it, copied out of the inventory. */
struct Row {
    std::string id, host, method, path;
    uint64_t count = 0;
    int64_t first_seen_ms = 0, last_seen_ms = 0;
    std::array<uint64_t, 6> classes{};
    int64_t p50 = -1, p95 = -1, p99 = -1;
    analysis::SensitiveSet sensitive = 0;
    uint32_t auth = 0;
    bool declared_only = false; /* a zombie never seen */
    Marks marks;

    double error_rate() const
    {
        uint64_t errors = classes[0] + classes[4] + classes[5];
        return count == 0 ? 0.0 : static_cast<double>(errors) / count;
    }
};

using Key = std::pair<std::string, std::string>; /* method, template */

/* Drift of one host, as marks per endpoint and the zombies never seen. */
struct HostDrift {
    std::map<Key, Marks> marks;
    std::vector<DriftReport::Zombie> unseen;
};

HostDrift
host_drift(const Inventory &inv, const ApiInventory::Declared &d,
           const std::string &host, int64_t zombie_after_ms)
{
    analysis::DriftOptions o;
    o.now_ms = now_ms();
    o.zombie_after_ms = zombie_after_ms;
    o.declared_at_ms = d.declared_ms;
    DriftReport r = analysis::compute_drift(d.api, inv, host, o);

    HostDrift out;
    std::set<Key> zombies;
    for (const auto &z : r.zombies) {
        if (z.last_seen_ms < 0) {
            out.unseen.push_back(z);
        } else {
            zombies.insert({z.method, z.path});
        }
    }
    for (const EndpointView &v : inv.endpoints(host)) {
        Marks &m = out.marks[{v.method, v.path_template}];
        m.declared_host = true;
        long i = analysis::match_declared(d.api, v.method, v.segments);
        if (i >= 0) {
            const auto &op = d.api.operations[static_cast<size_t>(i)];
            m.declared_path = op.path;
            m.zombie = zombies.count({op.method, op.path}) > 0;
        }
    }
    for (const auto &s : r.shadows) {
        out.marks[{s.method, s.path}].shadow = true;
    }
    for (const auto &s : r.undeclared_statuses) {
        out.marks[{s.method, s.path}].undeclared_statuses.emplace_back(s.status,
                                                                       s.count);
    }
    for (const auto &s : r.undeclared_members) {
        out.marks[{s.method, s.path}].undeclared_members.emplace_back(s.where,
                                                                      s.member);
    }
    return out;
}

Row
copy_row(const EndpointView &v)
{
    const analysis::Endpoint &e = *v.endpoint;
    Row r;
    r.id = ApiInventory::endpoint_id(v.host, v.method, v.path_template);
    r.host = v.host;
    r.method = v.method;
    r.path = v.path_template;
    r.count = e.count;
    r.first_seen_ms = e.first_seen_ms;
    r.last_seen_ms = e.last_seen_ms;
    r.classes = e.status_classes;
    if (e.latency.count() > 0) {
        r.p50 = e.latency.quantile(0.50);
        r.p95 = e.latency.quantile(0.95);
        r.p99 = e.latency.quantile(0.99);
    }
    r.sensitive = e.request_sensitive | e.response_sensitive;
    r.auth = e.auth;
    return r;
}

Row
zombie_row(const std::string &host, const DriftReport::Zombie &z)
{
    Row r;
    r.id = ApiInventory::endpoint_id(host, z.method, z.path);
    r.host = host;
    r.method = z.method;
    r.path = z.path;
    r.declared_only = true;
    r.marks.declared_host = true;
    r.marks.declared_path = z.path;
    r.marks.zombie = true;
    return r;
}

/* Every endpoint (of one host, when host is given) with its drift marks,
 * and the declared operations never seen that have become zombies. */
std::vector<Row>
all_rows(const ApiInventory &inventory, const std::string &host)
{
    int64_t zombie_after = inventory.options().zombie_after_ms;
    return inventory.read(
        [&](const Inventory &inv, const ApiInventory::DeclaredMap &declared) {
            std::vector<Row> rows;
            std::map<std::string, HostDrift> drift;
            for (const auto &[h, d] : declared) {
                if (host.empty() || h == host) {
                    drift[h] = host_drift(inv, d, h, zombie_after);
                }
            }
            for (const EndpointView &v : inv.endpoints(host)) {
                rows.push_back(copy_row(v));
                auto it = drift.find(v.host);
                if (it != drift.end()) {
                    rows.back().marks =
                        it->second.marks[{v.method, v.path_template}];
                    rows.back().marks.declared_host = true;
                }
            }
            for (const auto &[h, d] : drift) {
                for (const auto &z : d.unseen) {
                    rows.push_back(zombie_row(h, z));
                }
            }
            std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
                return std::tie(a.host, a.path, a.method)
                       < std::tie(b.host, b.path, b.method);
            });
            return rows;
        });
}

json::array
strings(const std::vector<std::string> &v)
{
    return json::array(v.begin(), v.end());
}

json::value
or_null(int64_t v)
{
    return v < 0 ? json::value(nullptr) : json::value(v);
}

void
put_marks(json::object &o, const Marks &m)
{
    json::array drift;
    if (m.shadow) {
        drift.emplace_back("shadow");
    }
    if (m.zombie) {
        drift.emplace_back("zombie");
    }
    if (!m.undeclared_statuses.empty()) {
        drift.emplace_back("undeclared_status");
    }
    if (!m.undeclared_members.empty()) {
        drift.emplace_back("undeclared_member");
    }
    o["drift"] = std::move(drift);
    /* null: nothing is declared for its host */
    o["declared"] = m.declared_host ? json::value(!m.shadow) : nullptr;
    o["declared_path"] = m.declared_path.empty() ? json::value(nullptr)
                                                 : json::value(m.declared_path);
}

json::object
row_json(const Row &r)
{
    static const char *const class_names[] = {"other", "1xx", "2xx",
                                              "3xx",   "4xx", "5xx"};
    json::object o;
    o["id"] = r.id;
    o["host"] = r.host;
    o["method"] = r.method;
    o["path"] = r.path;
    o["count"] = r.count;
    o["first_seen_ms"] = r.count ? json::value(r.first_seen_ms) : nullptr;
    o["last_seen_ms"] = r.count ? json::value(r.last_seen_ms) : nullptr;
    json::object classes;
    for (size_t i = 0; i < r.classes.size(); i++) {
        if (r.classes[i] != 0) {
            classes[class_names[i]] = r.classes[i];
        }
    }
    o["status_classes"] = std::move(classes);
    o["error_rate"] = r.error_rate();
    o["latency_ms"] = json::object{{"p50", or_null(r.p50)},
                                   {"p95", or_null(r.p95)},
                                   {"p99", or_null(r.p99)}};
    o["sensitive"] = strings(analysis::sensitive_type_names(r.sensitive));
    o["auth"] = strings(analysis::auth_kind_names(r.auth));
    o["declared_only"] = r.declared_only;
    put_marks(o, r.marks);
    return o;
}

json::object
series_json(const analysis::MinuteSeries &s)
{
    json::array minute, count, client, server;
    for (const auto &p : s.points()) {
        minute.emplace_back(int64_t{p.minute} * 60000);
        count.emplace_back(p.count);
        client.emplace_back(p.client_errors);
        server.emplace_back(p.server_errors);
    }
    return json::object{{"minute_ms", std::move(minute)},
                        {"count", std::move(count)},
                        {"client_errors", std::move(client)},
                        {"server_errors", std::move(server)}};
}

std::string_view
header_value(const HeaderList &headers, std::string_view name)
{
    for (const auto &[n, v] : headers) {
        if (iequals(n, name)) {
            return v;
        }
    }
    return {};
}

std::string
path_of(const std::string &uri)
{
    return uri.substr(0, uri.find('?'));
}

/* The start of a template before its first parameter: what every path
 * of it begins with. */
std::string
literal_prefix(const std::string &tmpl)
{
    size_t brace = tmpl.find('{');
    return brace == std::string::npos ? tmpl : tmpl.substr(0, brace);
}

/* Where an endpoint is, for finding its exchanges. */
struct Located {
    std::string host, method, path;
    bool declared_only = false;
};

std::optional<Located>
locate(const ApiInventory &inventory, const std::string &id)
{
    for (const Row &r : all_rows(inventory, "")) {
        if (r.id == id) {
            return Located{r.host, r.method, r.path, r.declared_only};
        }
    }
    return std::nullopt;
}

/*
 * Ids of the newest stored exchanges of an endpoint, at most want: rows of
 * its method under its literal prefix, whose path the inventory would
 * count in this very endpoint, whose Host is its host.  Bounded by the
 * rows it reads; an endpoint seen only long ago may have none left.
 */
std::vector<int64_t>
endpoint_exchanges(Store &store, const ApiInventory &inventory,
                   const Located &where, size_t want,
                   const ExchangeQuery &filters = {})
{
    std::vector<int64_t> out;
    if (where.declared_only || want == 0
        || (!filters.method.empty() && filters.method != where.method)) {
        return out;
    }
    /* the list's other filters narrow the endpoint's exchanges as they
     * narrow the list */
    ExchangeQuery q = filters;
    q.limit = static_cast<int>(
        std::max<size_t>(example_scan, std::min<size_t>(want * 4, 20000)));
    q.method = where.method;
    q.path = literal_prefix(where.path);
    if (filters.path.rfind(q.path, 0) == 0) {
        q.path = filters.path; /* narrower than the endpoint's prefix */
    } else if (q.path.rfind(filters.path, 0) != 0) {
        return out; /* a prefix of other paths */
    }
    std::vector<ExchangeRow> rows = store.exchanges(q);

    std::vector<int64_t> same_path;
    inventory.read(
        [&](const Inventory &inv, const ApiInventory::DeclaredMap &) {
            for (const ExchangeRow &row : rows) {
                auto t = inv.template_for(where.host, where.method,
                                          path_of(row.exchange.uri));
                if (t && *t == where.path) {
                    same_path.push_back(row.id);
                }
            }
            return 0;
        });
    /* the list has no headers: the Host of each is read with it */
    for (int64_t id : same_path) {
        if (out.size() >= want) {
            break;
        }
        auto row = store.exchange(id, BodyWindow{0, 0});
        if (row
            && ApiInventory::host_key(
                   header_value(row->exchange.request_headers, "host"))
                   == where.host) {
            out.push_back(id);
        }
    }
    return out;
}

/* A stored exchange as HAR wants it. */
analysis::ExchangeRecord
record_of(ExchangeRow &row)
{
    Exchange &x = row.exchange;
    analysis::ExchangeRecord r;
    r.method = x.method;
    analysis::split_target(x.uri, r.path, r.query);
    r.host = std::string(header_value(x.request_headers, "host"));
    r.status = x.status;
    r.request_headers = std::move(x.request_headers);
    r.response_headers = std::move(x.response_headers);
    /* cut by the sensor, or by the window here */
    auto body = [](std::optional<std::string> &from, std::string &to,
                   std::optional<int64_t> size, bool truncated) {
        if (from) {
            to = std::move(*from);
        }
        return truncated || (size && static_cast<size_t>(*size) > to.size());
    };
    r.request_body_truncated =
        body(x.request_body, r.request_body, row.request_body_size,
             x.request_body_truncated);
    r.response_body_truncated =
        body(x.response_body, r.response_body, row.response_body_size,
             x.response_body_truncated);
    r.start_ms = x.time_ms;
    r.latency_ms = x.latency_ms;
    r.client_address = x.client_ip.empty()
                           ? std::string()
                           : x.client_ip + ":" + std::to_string(x.client_port);
    return r;
}

HttpResponse
inventory_off()
{
    return send_error(404, "the endpoint inventory is off (--no-inventory)");
}

std::string
required_host(const ConsoleApi::Call &c)
{
    std::string host = ApiInventory::host_key(c.text("host"));
    if (host.empty()) {
        throw BadParameter{"host is needed: the Host the API is served as "
                           "(with its port, if requests name one)"};
    }
    return host;
}

json::object
declared_json(const std::string &host, const ApiInventory::Declared &d,
              bool with_document)
{
    json::object o;
    o["host"] = host;
    o["declared_ms"] = d.declared_ms;
    o["openapi"] = d.api.openapi_version;
    o["operations"] = d.api.operations.size();
    o["warnings"] = strings(d.api.warnings);
    if (with_document) {
        o["document"] = d.document;
    }
    return o;
}

} // namespace

HttpResponse
ConsoleApi::list_endpoints(const Call &c)
{
    if (inventory_ == nullptr) {
        return inventory_off();
    }
    std::string host = ApiInventory::host_key(c.text("host"));
    bool shadow = flag_param(c, "shadow");
    bool sensitive = flag_param(c, "sensitive");
    bool drift = flag_param(c, "drift");
    int64_t errors_over = int_param(c, "errors_over", 0, 100, -1);
    int64_t offset = int_param(c, "offset", 0, INT32_MAX, 0);
    int64_t limit = int_param(c, "limit", 1, max_page, default_page);

    std::vector<Row> rows = all_rows(*inventory_, host);
    std::vector<const Row *> kept;
    for (const Row &r : rows) {
        if ((shadow && !r.marks.shadow) || (sensitive && r.sensitive == 0)
            || (drift && !r.marks.any())
            || (errors_over >= 0
                && !(r.count > 0 && r.error_rate() * 100 > errors_over))) {
            continue;
        }
        kept.push_back(&r);
    }
    json::array page;
    for (size_t i = static_cast<size_t>(offset);
         i < kept.size() && page.size() < static_cast<size_t>(limit); i++) {
        page.push_back(row_json(*kept[i]));
    }

    json::object out;
    inventory_->read([&](const Inventory &inv,
                         const ApiInventory::DeclaredMap &declared) {
        std::set<std::string> hosts;
        for (const auto &h : inv.hosts()) {
            hosts.insert(h);
        }
        json::array declared_hosts;
        for (const auto &[h, d] : declared) {
            hosts.insert(h);
            declared_hosts.emplace_back(h);
        }
        out["hosts"] = json::array(hosts.begin(), hosts.end());
        out["declared_hosts"] = std::move(declared_hosts);
        const Inventory::Counters &k = inv.counters();
        out["inventory"] = json::object{
            {"endpoints", inv.endpoint_count()},
            {"exchanges", k.exchanges},
            {"dropped_host_cap", k.dropped_host_cap},
            {"dropped_endpoint_cap", k.dropped_endpoint_cap},
            {"dropped_too_deep", k.dropped_too_deep},
            {"failures", inventory_->failures()},
            {"max_endpoints_per_host", inv.options().max_endpoints_per_host},
            {"zombie_after_ms", inventory_->options().zombie_after_ms}};
        return 0;
    });
    out["total"] = kept.size();
    out["offset"] = offset;
    out["limit"] = limit;
    out["endpoints"] = std::move(page);
    return send_json(out);
}

HttpResponse
ConsoleApi::one_endpoint(const Call &c)
{
    if (inventory_ == nullptr) {
        return inventory_off();
    }
    int64_t zombie_after = inventory_->options().zombie_after_ms;
    std::optional<json::object> found;
    std::optional<Located> where;
    inventory_->read([&](const Inventory &inv,
                         const ApiInventory::DeclaredMap &declared) {
        for (const EndpointView &v : inv.endpoints()) {
            if (ApiInventory::endpoint_id(v.host, v.method, v.path_template)
                != c.key) {
                continue;
            }
            json::object o = Inventory::summary_json(v).as_object();
            Row r = copy_row(v);
            auto d = declared.find(v.host);
            if (d != declared.end()) {
                HostDrift hd = host_drift(inv, d->second, v.host, zombie_after);
                r.marks = hd.marks[{v.method, v.path_template}];
                r.marks.declared_host = true;
            }
            json::object brief = row_json(r);
            for (const char *k : {"id", "error_rate", "declared_only", "drift",
                                  "declared", "declared_path"}) {
                o[k] = brief[k];
            }
            json::array statuses, members;
            for (const auto &[code, n] : r.marks.undeclared_statuses) {
                statuses.push_back(
                    json::object{{"status", code}, {"count", n}});
            }
            for (const auto &[at, member] : r.marks.undeclared_members) {
                members.push_back(
                    json::object{{"where", at}, {"member", member}});
            }
            o["undeclared_statuses"] = std::move(statuses);
            o["undeclared_members"] = std::move(members);
            o["series"] = series_json(v.endpoint->series);
            found = std::move(o);
            where = Located{v.host, v.method, v.path_template, false};
            return 0;
        }
        return 0;
    });
    if (!found) {
        /* a declared operation never seen has a page too */
        auto loc = locate(*inventory_, c.key);
        if (!loc) {
            return send_error(404, "no endpoint " + c.key
                                       + " (templates change as paths are "
                                         "learnt: see /api/endpoints)");
        }
        for (const Row &r : all_rows(*inventory_, loc->host)) {
            if (r.id == c.key) {
                json::object o = row_json(r);
                o["series"] = series_json({});
                o["examples"] = json::array();
                return send_json(o);
            }
        }
        return send_error(404, "no endpoint " + c.key);
    }
    json::array examples;
    for (int64_t id :
         endpoint_exchanges(store_, *inventory_, *where, examples_shown)) {
        examples.emplace_back(id);
    }
    (*found)["examples"] = std::move(examples);
    return send_json(*found);
}

HttpResponse
ConsoleApi::openapi(const Call &c)
{
    if (inventory_ == nullptr) {
        return inventory_off();
    }
    std::string host = ApiInventory::host_key(c.text("host"));
    std::optional<json::value> doc;
    std::vector<std::string> hosts;
    inventory_->read(
        [&](const Inventory &inv, const ApiInventory::DeclaredMap &) {
            hosts = inv.hosts();
            if (host.empty() && hosts.size() == 1) {
                host = hosts[0];
            }
            if (std::find(hosts.begin(), hosts.end(), host) != hosts.end()) {
                doc = analysis::openapi_document(inv, host);
            }
            return 0;
        });
    if (!doc) {
        std::string known;
        for (const auto &h : hosts) {
            known += (known.empty() ? "" : ", ") + h;
        }
        return send_error(
            host.empty() ? 400 : 404,
            (host.empty() ? std::string("host is needed")
                          : "no endpoint seen for host " + host)
                + (known.empty() ? "" : "; hosts seen: " + known));
    }
    return send_json(*doc);
}

HttpResponse
ConsoleApi::exchanges_har(const Call &c)
{
    ExchangeQuery q = exchange_filters(c, max_har_entries);
    if (c.param("limit") == nullptr) {
        q.limit = default_har_entries;
    }
    std::vector<int64_t> ids;
    if (const std::string *endpoint = c.param("endpoint")) {
        if (inventory_ == nullptr) {
            return inventory_off();
        }
        auto where = locate(*inventory_, *endpoint);
        if (!where) {
            return send_error(404, "no endpoint " + *endpoint);
        }
        ids = endpoint_exchanges(store_, *inventory_, *where,
                                 static_cast<size_t>(q.limit), q);
    } else {
        for (const ExchangeRow &row : store_.exchanges(q)) {
            ids.push_back(row.id);
        }
    }

    /* oldest first, as a capture runs */
    std::reverse(ids.begin(), ids.end());
    std::vector<analysis::ExchangeRecord> records;
    size_t budget = har_bodies_budget;
    for (int64_t id : ids) {
        size_t window = std::min(har_body_window, budget / 2);
        auto row = store_.exchange(id, BodyWindow{window, window});
        if (!row) {
            continue; /* pruned since it was listed */
        }
        records.push_back(record_of(*row));
        budget -= std::min(budget, records.back().request_body.size()
                                       + records.back().response_body.size());
    }
    analysis::HarOptions options;
    HttpResponse res = send_json(analysis::har_document(records, options));
    res.set(http::field::content_disposition,
            "attachment; filename=\"exchanges.har\"");
    return res;
}

HttpResponse
ConsoleApi::get_declared(const Call &c)
{
    if (inventory_ == nullptr) {
        return inventory_off();
    }
    std::string host = ApiInventory::host_key(c.text("host"));
    int64_t zombie_after = inventory_->options().zombie_after_ms;
    return inventory_->read([&](const Inventory &inv,
                                const ApiInventory::DeclaredMap &declared) {
        if (host.empty()) {
            json::array all;
            for (const auto &[h, d] : declared) {
                all.push_back(declared_json(h, d, false));
            }
            return send_json(all);
        }
        auto it = declared.find(host);
        if (it == declared.end()) {
            return send_error(404, "no API is declared for host " + host);
        }
        json::object o = declared_json(host, it->second, true);
        analysis::DriftOptions opts;
        opts.now_ms = now_ms();
        opts.zombie_after_ms = zombie_after;
        opts.declared_at_ms = it->second.declared_ms;
        o["drift"] =
            analysis::compute_drift(it->second.api, inv, host, opts).to_json();
        return send_json(o);
    });
}

HttpResponse
ConsoleApi::put_declared(const Call &c)
{
    if (inventory_ == nullptr) {
        return inventory_off();
    }
    std::string host = required_host(c);
    std::string error;
    if (!inventory_->declare(store_, host, c.req.body(), now_ms(), error)) {
        return send_error(400, error);
    }
    return inventory_->read(
        [&](const Inventory &, const ApiInventory::DeclaredMap &declared) {
            auto it = declared.find(host);
            return it == declared.end()
                       ? send_error(409, "replaced while it was being declared")
                       : send_json(declared_json(host, it->second, false));
        });
}

HttpResponse
ConsoleApi::delete_declared(const Call &c)
{
    if (inventory_ == nullptr) {
        return inventory_off();
    }
    std::string host = required_host(c);
    if (!inventory_->undeclare(store_, host)) {
        return send_error(404, "no API is declared for host " + host);
    }
    return send_json(json::object{{"host", host}, {"deleted", true}});
}

} // namespace kv
