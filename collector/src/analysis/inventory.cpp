/*
 * The endpoint inventory's bookkeeping: finding an exchange's endpoint in
 * its host's path tree and updating it.  The common case (an endpoint
 * already known, a lower-case host) allocates nothing.  On the writer
 * thread that owns the inventory.
 */

#include "analysis/inventory.h"

#include <algorithm>

#include "analysis/text.h"

namespace kv::analysis {

namespace {

const char *const auth_names[] = {"none",    "basic",  "bearer", "jwt",
                                  "api_key", "cookie", "other"};
constexpr size_t auth_count = sizeof auth_names / sizeof auth_names[0];

constexpr std::string_view builtin_api_key_headers[] = {
    "x-api-key", "api-key", "apikey", "x-auth-token"};

/* The media type of a Content-Type value, without parameters: a view. */
std::string_view
media_view(std::string_view content_type)
{
    return trim(content_type.substr(0, content_type.find(';')));
}

/* Adds name to a sorted, bounded list; keeps the smallest names, so what
 * is kept does not depend on order.  Folds case when lower is set. */
void
add_name(std::vector<std::string> &list, std::string_view name, size_t cap,
         bool lower)
{
    if (name.empty() || name.size() > 128) {
        return;
    }
    auto less = [lower](const std::string &a, std::string_view b) {
        if (!lower) {
            return std::string_view(a) < b;
        }
        size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; i++) {
            char x = a[i], y = ascii_lower(b[i]);
            if (x != y) {
                return x < y;
            }
        }
        return a.size() < b.size();
    };
    auto it = std::lower_bound(list.begin(), list.end(), name, less);
    if (it != list.end()
        && (lower ? iequals(*it, name) : std::string_view(*it) == name)) {
        return;
    }
    if (list.size() >= cap) {
        if (it == list.end()) {
            return;
        }
        list.pop_back();
    }
    list.insert(it, lower ? to_lower(name) : std::string(name));
}

void
merge_names(std::vector<std::string> &into,
            const std::vector<std::string> &from, size_t cap)
{
    for (const auto &n : from) {
        add_name(into, n, cap, false);
    }
}

bool
json_media(std::string_view media)
{
    if (iequals(media, "application/json")) {
        return true;
    }
    return media.size() > 5 && iequals(media.substr(media.size() - 5), "+json");
}

bool
looks_like_json(std::string_view body)
{
    size_t i = body.find_first_not_of(" \t\r\n");
    return i != std::string_view::npos && (body[i] == '{' || body[i] == '[');
}

SensitiveSet
scan_params(std::string_view s, const SecretNames &secrets,
            std::vector<std::string> *names)
{
    SensitiveSet found = 0;
    for_each_param(s, [&](std::string_view name, std::string_view value) {
        std::string decoded_name;
        if (name.find_first_of("%+") != std::string_view::npos) {
            decoded_name = percent_decode(name, true);
            name = decoded_name;
        }
        if (names != nullptr) {
            add_name(*names, name, endpoint_max_query_names, false);
        }
        if (secrets.matches(name) && !value.empty()) {
            found |= kSensitiveSecret;
        }
        if (value.find_first_of("%+") != std::string_view::npos) {
            std::string v = percent_decode(value, true);
            found |= scan_text(v);
            if (is_phone_key(name) && is_phone_value(v)) {
                found |= kSensitivePhone;
            }
        } else {
            found |= scan_text(value);
            if (is_phone_key(name) && is_phone_value(value)) {
                found |= kSensitivePhone;
            }
        }
    });
    return found;
}

} // namespace

std::vector<std::string>
auth_kind_names(uint32_t kinds)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < auth_count; i++) {
        if (kinds & (1u << i)) {
            out.emplace_back(auth_names[i]);
        }
    }
    return out;
}

uint32_t
auth_kinds_from_names(const std::vector<std::string> &names)
{
    uint32_t kinds = 0;
    for (const auto &n : names) {
        for (size_t i = 0; i < auth_count; i++) {
            if (n == auth_names[i]) {
                kinds |= 1u << i;
            }
        }
    }
    return kinds;
}

void
Endpoint::merge(const Endpoint &o)
{
    if (o.count == 0) {
        return;
    }
    if (count == 0) {
        first_seen_ms = o.first_seen_ms;
        last_seen_ms = o.last_seen_ms;
    } else {
        first_seen_ms = std::min(first_seen_ms, o.first_seen_ms);
        last_seen_ms = std::max(last_seen_ms, o.last_seen_ms);
    }
    count += o.count;
    for (size_t i = 0; i < status_classes.size(); i++) {
        status_classes[i] += o.status_classes[i];
    }
    for (const auto &[code, n] : o.statuses) {
        auto it =
            std::lower_bound(statuses.begin(), statuses.end(), code,
                             [](const auto &p, int c) { return p.first < c; });
        if (it != statuses.end() && it->first == code) {
            it->second += n;
        } else if (statuses.size() < endpoint_max_status_codes) {
            statuses.insert(it, {code, n});
        }
    }
    latency.merge(o.latency);
    series.merge(o.series);
    merge_names(request_types, o.request_types, endpoint_max_content_types);
    merge_names(response_types, o.response_types, endpoint_max_content_types);
    merge_names(query_names, o.query_names, endpoint_max_query_names);
    auth |= o.auth;
    merge_names(api_key_headers, o.api_key_headers,
                endpoint_max_credential_names);
    merge_names(cookie_names, o.cookie_names, endpoint_max_credential_names);
    request_sensitive |= o.request_sensitive;
    response_sensitive |= o.response_sensitive;
    request_schema.merge(o.request_schema);
    for (const auto &[code, schema] : o.response_schemas) {
        auto it = std::lower_bound(
            response_schemas.begin(), response_schemas.end(), code,
            [](const auto &p, int c) { return p.first < c; });
        if (it != response_schemas.end() && it->first == code) {
            it->second.merge(schema);
        } else if (response_schemas.size() < endpoint_max_schema_statuses) {
            it = response_schemas.emplace(
                it, code, SchemaBuilder(request_schema.limits()));
            it->second.merge(schema);
        }
    }
}

void
Inventory::Endpoints::absorb(Endpoints &&other)
{
    for (auto &e : other.list) {
        auto mine = std::find_if(list.begin(), list.end(), [&](const auto &m) {
            return m->method == e->method;
        });
        if (mine == list.end()) {
            list.push_back(std::move(e));
        } else {
            (*mine)->merge(*e);
        }
    }
    other.list.clear();
}

Inventory::Inventory(InventoryOptions options)
    : options_(std::move(options)), secrets_(options_.secret_keys)
{
    for (auto &h : options_.api_key_headers) {
        h = to_lower(trim(h));
    }
}

Inventory::~Inventory() = default;
Inventory::Inventory(Inventory &&) noexcept = default;
Inventory &Inventory::operator=(Inventory &&) noexcept = default;

namespace {

/* Host names are case-insensitive; most arrive in lower case, which is
 * then used as it is.  buf holds a folded copy when one is needed. */
constexpr size_t max_host_name = 256;

std::string_view
fold_host(std::string_view name, char (&buf)[max_host_name])
{
    if (name.size() > max_host_name) {
        name = name.substr(0, max_host_name);
    }
    bool lower = true;
    for (char c : name) {
        lower = lower && ascii_lower(c) == c;
    }
    if (lower) {
        return name;
    }
    for (size_t i = 0; i < name.size(); i++) {
        buf[i] = ascii_lower(name[i]);
    }
    return std::string_view(buf, name.size());
}

} // namespace

const Inventory::Host *
Inventory::find_host(std::string_view name) const
{
    char buf[max_host_name];
    auto it = hosts_.find(fold_host(name, buf));
    return it == hosts_.end() ? nullptr : it->second.get();
}

uint64_t
Inventory::host_version(std::string_view host) const
{
    const Host *h = find_host(host);
    return h ? h->version : 0;
}

std::optional<std::string>
Inventory::template_for(std::string_view host, std::string_view method,
                        std::string_view path) const
{
    const Host *h = find_host(host);
    const Tree::Node *n = h ? h->tree.find(path) : nullptr;
    if (n == nullptr) {
        return std::nullopt;
    }
    for (const auto &e : n->slot.list) {
        if (e->method == method) {
            return h->tree.template_of(n);
        }
    }
    return std::nullopt;
}

Inventory::Host *
Inventory::host_for(std::string_view name, bool create, Outcome &why)
{
    char buf[max_host_name];
    name = fold_host(name, buf);
    auto it = hosts_.find(name);
    if (it != hosts_.end()) {
        return it->second.get();
    }
    if (!create) {
        return nullptr;
    }
    if (hosts_.size() >= options_.max_hosts) {
        why = Outcome::host_cap;
        return nullptr;
    }
    auto h = std::make_unique<Host>(options_.templates);
    Host *p = h.get();
    hosts_.emplace(std::string(name), std::move(h));
    return p;
}

void
Inventory::recount(Host &h)
{
    size_t n = 0;
    h.tree.visit([&n](const Tree::Node &node) { n += node.slot.list.size(); });
    endpoints_ = endpoints_ - h.endpoints + n;
    h.endpoints = n;
}

Endpoint *
Inventory::endpoint_for(Host &h, std::string_view path, std::string_view method,
                        Outcome &outcome, Tree::Node *&node)
{
    auto in = [&](Tree::Node *node) -> Endpoint * {
        for (auto &e : node->slot.list) {
            if (e->method == method) {
                return e.get();
            }
        }
        return nullptr;
    };
    node = h.tree.find(path);
    if (node != nullptr) {
        if (Endpoint *e = in(node)) {
            outcome = Outcome::counted;
            return e;
        }
    }
    if (h.endpoints >= options_.max_endpoints_per_host
        || endpoints_ >= options_.max_endpoints) {
        outcome = Outcome::endpoint_cap;
        return nullptr;
    }
    bool collapsed = false;
    node = h.tree.insert(path, &collapsed);
    if (node == nullptr) {
        outcome = Outcome::too_deep;
        return nullptr;
    }
    if (collapsed) {
        recount(h);
    }
    outcome = Outcome::new_endpoint;
    if (Endpoint *e = in(node)) {
        return e; /* the collapse merged it into an existing one */
    }
    node->slot.list.push_back(std::make_unique<Endpoint>(options_.schemas));
    Endpoint *e = node->slot.list.back().get();
    e->method.assign(method);
    h.endpoints++;
    endpoints_++;
    return e;
}

Inventory::Outcome
Inventory::observe(const ExchangeRecord &x)
{
    counters_.exchanges++;
    Outcome outcome = Outcome::counted;
    std::string_view host_name = x.host;
    if (host_name.empty()) {
        const std::string *h = find_header(x.request_headers, "host");
        host_name = h ? std::string_view(*h) : std::string_view();
    }
    Host *h = host_for(host_name, true, outcome);
    if (h == nullptr) {
        counters_.dropped_host_cap++;
        return outcome;
    }
    std::string_view method = x.method.size() > 32
                                  ? std::string_view(x.method).substr(0, 32)
                                  : std::string_view(x.method);
    Tree::Node *node = nullptr;
    Endpoint *e = endpoint_for(*h, x.path, method, outcome, node);
    if (e == nullptr) {
        (outcome == Outcome::too_deep ? counters_.dropped_too_deep
                                      : counters_.dropped_endpoint_cap)++;
        return outcome;
    }
    /* an e-mail address in the path is personal data the request carries */
    for (const Tree::Node *n = node; n != nullptr; n = n->parent) {
        if (n->kinds & kind_bit(SegmentKind::email)) {
            e->request_sensitive |= kSensitiveEmail;
            break;
        }
    }
    h->version++;
    update(*e, x);
    return outcome;
}

void
Inventory::update(Endpoint &e, const ExchangeRecord &x)
{
    if (e.count == 0 || x.start_ms < e.first_seen_ms) {
        e.first_seen_ms = x.start_ms;
    }
    if (e.count == 0 || x.start_ms > e.last_seen_ms) {
        e.last_seen_ms = x.start_ms;
    }
    e.count++;
    int cls = x.status >= 100 && x.status <= 599 ? x.status / 100 : 0;
    e.status_classes[static_cast<size_t>(cls)]++;
    if (cls != 0) {
        auto it =
            std::lower_bound(e.statuses.begin(), e.statuses.end(), x.status,
                             [](const auto &p, int c) { return p.first < c; });
        if (it != e.statuses.end() && it->first == x.status) {
            it->second++;
        } else if (e.statuses.size() < endpoint_max_status_codes) {
            e.statuses.insert(it, {x.status, 1});
        }
    }
    if (x.latency_ms >= 0) {
        e.latency.add(x.latency_ms);
    }
    e.series.add(x.start_ms, x.status);

    /* authentication */
    uint32_t auth = 0;
    for (const auto &[name, value] : x.request_headers) {
        if (iequals(name, "authorization")) {
            std::string_view v = trim(value);
            size_t sp = v.find(' ');
            std::string_view scheme = v.substr(0, sp);
            std::string_view cred = sp == std::string_view::npos
                                        ? std::string_view()
                                        : trim(v.substr(sp + 1));
            if (iequals(scheme, "basic")) {
                auth |= kAuthBasic;
            } else if (iequals(scheme, "bearer")) {
                auth |= is_jwt(cred) ? kAuthJwt : kAuthBearer;
            } else {
                auth |= kAuthOther;
            }
        } else if (iequals(name, "cookie")) {
            auth |= kAuthCookie;
            std::string_view rest = value;
            while (!rest.empty()) {
                size_t semi = rest.find(';');
                std::string_view part = trim(rest.substr(0, semi));
                add_name(e.cookie_names, trim(part.substr(0, part.find('='))),
                         endpoint_max_credential_names, false);
                if (semi == std::string_view::npos) {
                    break;
                }
                rest.remove_prefix(semi + 1);
            }
        } else {
            bool key = false;
            for (std::string_view k : builtin_api_key_headers) {
                key = key || iequals(name, k);
            }
            for (const auto &k : options_.api_key_headers) {
                key = key || iequals(name, k);
            }
            if (key) {
                auth |= kAuthApiKey;
                add_name(e.api_key_headers, name, endpoint_max_credential_names,
                         true);
            }
        }
    }
    e.auth |= auth == 0 ? kAuthNone : auth;

    /* query */
    if (!x.query.empty()) {
        e.request_sensitive |= scan_params(x.query, secrets_, &e.query_names);
    }

    /* bodies */
    auto body = [&](const HeaderPairs &headers, const std::string &b,
                    bool truncated, std::vector<std::string> &types,
                    SensitiveSet &sensitive, SchemaBuilder *schema) {
        const std::string *ct = find_header(headers, "content-type");
        std::string_view media = ct ? media_view(*ct) : std::string_view();
        if (!media.empty()) {
            add_name(types, media, endpoint_max_content_types, true);
        }
        if (b.empty()) {
            return;
        }
        const std::string *enc = find_header(headers, "content-encoding");
        if (enc != nullptr && !iequals(trim(*enc), "identity")) {
            return; /* compressed: nothing to read */
        }
        if (json_media(media) || (media.empty() && looks_like_json(b))) {
            bool complete;
            sensitive |= scan_json_sensitive(b, secrets_, complete);
            if (complete && !truncated && schema != nullptr
                && schema->wants_sample()) {
                schema->add_json(b, true, &secrets_);
            }
        } else if (iequals(media, "application/x-www-form-urlencoded")) {
            sensitive |= scan_params(b, secrets_, nullptr);
        } else {
            sensitive |= scan_text(b);
        }
    };
    body(x.request_headers, x.request_body, x.request_body_truncated,
         e.request_types, e.request_sensitive,
         x.status < 400 ? &e.request_schema : nullptr);
    SchemaBuilder *response_schema = nullptr;
    if (cls != 0) {
        auto it = std::lower_bound(
            e.response_schemas.begin(), e.response_schemas.end(), x.status,
            [](const auto &p, int c) { return p.first < c; });
        if (it != e.response_schemas.end() && it->first == x.status) {
            response_schema = &it->second;
        } else if (e.response_schemas.size() < endpoint_max_schema_statuses
                   && !x.response_body.empty()) {
            it = e.response_schemas.emplace(it, x.status,
                                            SchemaBuilder(options_.schemas));
            response_schema = &it->second;
        }
    }
    body(x.response_headers, x.response_body, x.response_body_truncated,
         e.response_types, e.response_sensitive, response_schema);
}

void
Inventory::merge(Inventory &&other)
{
    for (auto &[name, oh] : other.hosts_) {
        Outcome why;
        Host *h = host_for(name, true, why);
        if (h == nullptr) {
            counters_.dropped_host_cap += 1;
            continue;
        }
        /* graft other's tree node by node, by template shape */
        std::vector<std::pair<std::vector<TemplateSegment>, Tree::Node *>>
            nodes;
        oh->tree.visit_mutable([&](Tree::Node &n) {
            if (!n.slot.list.empty()) {
                nodes.emplace_back(oh->tree.segments_of(&n), &n);
            }
        });
        for (auto &[segments, n] : nodes) {
            bool collapsed = false;
            Tree::Node *mine = h->tree.insert_template(segments, &collapsed);
            if (mine == nullptr) {
                continue;
            }
            Endpoints moved;
            for (auto &e : n->slot.list) {
                bool exists = std::any_of(
                    mine->slot.list.begin(), mine->slot.list.end(),
                    [&](const auto &m) { return m->method == e->method; });
                if (exists
                    || (h->endpoints < options_.max_endpoints_per_host
                        && endpoints_ < options_.max_endpoints)) {
                    if (!exists) {
                        h->endpoints++;
                        endpoints_++;
                    }
                    moved.list.push_back(std::move(e));
                } else {
                    counters_.dropped_endpoint_cap += e->count;
                }
            }
            n->slot.list.clear();
            mine->slot.absorb(std::move(moved));
            if (collapsed) {
                recount(*h);
            }
        }
        h->version++;
        /* positions the other side made parameters stay parameters */
        std::vector<std::vector<TemplateSegment>> collapsed_at;
        oh->tree.visit([&](const Tree::Node &n) {
            if (n.collapsed) {
                collapsed_at.push_back(oh->tree.segments_of(&n));
            }
        });
        for (const auto &segments : collapsed_at) {
            Tree::Node *mine = h->tree.insert_template(segments);
            if (mine != nullptr && !mine->collapsed) {
                h->tree.collapse(mine);
            }
        }
        recount(*h);
    }
    counters_.exchanges += other.counters_.exchanges;
    counters_.dropped_host_cap += other.counters_.dropped_host_cap;
    counters_.dropped_endpoint_cap += other.counters_.dropped_endpoint_cap;
    counters_.dropped_too_deep += other.counters_.dropped_too_deep;
    other.hosts_.clear();
    other.endpoints_ = 0;
    other.counters_ = {};
}

std::vector<std::string>
Inventory::hosts() const
{
    std::vector<std::string> out;
    for (const auto &h : hosts_) {
        out.push_back(h.first);
    }
    return out;
}

std::vector<EndpointView>
Inventory::endpoints(std::string_view host) const
{
    std::vector<EndpointView> out;
    for (const auto &[name, h] : hosts_) {
        if (!host.empty() && !iequals(name, host)) {
            continue;
        }
        h->tree.visit([&](const Tree::Node &n) {
            for (const auto &e : n.slot.list) {
                EndpointView v;
                v.host = name;
                v.method = e->method;
                v.segments = h->tree.segments_of(&n);
                v.path_template = render_template(v.segments);
                v.endpoint = e.get();
                out.push_back(std::move(v));
            }
        });
    }
    std::sort(out.begin(), out.end(), [](const auto &a, const auto &b) {
        return std::tie(a.host, a.path_template, a.method)
               < std::tie(b.host, b.path_template, b.method);
    });
    return out;
}

} // namespace kv::analysis
