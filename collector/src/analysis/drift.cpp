/*
 * Drift between the inventory and a declared API.  A pure function; on
 * the thread that owns the inventory.
 */

#include "analysis/drift.h"

#include <algorithm>
#include <set>

#include <boost/json.hpp>

#include "analysis/text.h"

namespace kv::analysis {

namespace json = boost::json;

namespace {

/* How well a declared path fits an inferred one: -1 when it does not;
 * otherwise a bit per position, earlier positions weighing more, set
 * where a literal matched. */
long long
fit(const std::vector<TemplateSegment> &declared,
    const std::vector<TemplateSegment> &seen)
{
    if (declared.size() != seen.size() || declared.size() > 62) {
        return -1;
    }
    long long score = 0;
    for (size_t i = 0; i < declared.size(); i++) {
        score <<= 1;
        if (declared[i].param) {
            continue;
        }
        if (seen[i].param || declared[i].literal != seen[i].literal) {
            return -1;
        }
        score |= 1;
    }
    return score;
}

bool
status_declared(const std::vector<std::string> &declared, int status)
{
    std::string code = std::to_string(status);
    for (const auto &d : declared) {
        if (d == code || d == "default") {
            return true;
        }
        if (d.size() == 3 && d[0] == code[0] && (d[1] == 'X' || d[1] == 'x')
            && (d[2] == 'X' || d[2] == 'x')) {
            return true;
        }
    }
    return false;
}

/* The declared schema for a status: exact, then its class, then default. */
const json::value *
declared_response(const DeclaredOperation &op, int status)
{
    std::string code = std::to_string(status);
    auto it = op.response_schemas.find(code);
    if (it != op.response_schemas.end()) {
        return &it->second;
    }
    for (const char *range : {"X", "x"}) {
        std::string r = code.substr(0, 1) + range + range;
        it = op.response_schemas.find(r);
        if (it != op.response_schemas.end()) {
            return &it->second;
        }
    }
    it = op.response_schemas.find("default");
    return it == op.response_schemas.end() ? nullptr : &it->second;
}

/*
 * Members a declared schema names, gathered through allOf, anyOf and oneOf
 * and references.  open is set when the schema does not list its members
 * (no properties anywhere, or additionalProperties allowed), in which case
 * nothing is undeclared.
 */
struct Members {
    std::vector<std::pair<std::string, const json::value *>> props;
    const json::value *additional = nullptr; /* a schema for the others */
    const json::value *items = nullptr;
    bool listed = false;
    bool open = false;
};

void
gather(const json::value &doc, const json::value &schema, Members &m, int depth)
{
    const json::value *s = resolve_ref(doc, schema);
    if (s == nullptr || depth > 16) {
        m.open = true; /* cannot tell: claim nothing */
        return;
    }
    const json::object *o = s->if_object();
    if (o == nullptr) {
        /* true: anything; false: nothing */
        m.open = m.open || (s->is_bool() && s->get_bool());
        return;
    }
    if (const auto *p = o->if_contains("properties"); p && p->is_object()) {
        m.listed = true;
        for (const auto &kv : p->get_object()) {
            m.props.emplace_back(std::string(kv.key().data(), kv.key().size()),
                                 &kv.value());
        }
    }
    if (const auto *a = o->if_contains("additionalProperties")) {
        if (a->is_object()) {
            m.additional = a;
        } else if (a->is_bool() && a->get_bool()) {
            m.open = true;
        }
    }
    if (o->contains("patternProperties")) {
        m.open = true;
    }
    if (const auto *i = o->if_contains("items"); i && m.items == nullptr) {
        m.items = i;
    }
    for (const char *k : {"allOf", "anyOf", "oneOf"}) {
        if (const auto *c = o->if_contains(k); c && c->is_array()) {
            for (const auto &sub : c->get_array()) {
                gather(doc, sub, m, depth + 1);
            }
        }
    }
}

void
compare(const json::value &doc, const SchemaNode &seen,
        const json::value &declared, const std::string &prefix,
        std::vector<std::string> &out, int depth)
{
    if (depth > 16 || out.size() >= 256) {
        return;
    }
    Members m;
    gather(doc, declared, m, 0);
    if (m.open) {
        return;
    }
    if ((seen.types & kTypeObject) && !seen.properties.empty()) {
        for (const auto &p : seen.properties) {
            const json::value *sub = nullptr;
            for (const auto &[name, schema] : m.props) {
                if (name == p.name) {
                    sub = schema;
                    break;
                }
            }
            std::string path = prefix.empty() ? p.name : prefix + "." + p.name;
            if (sub == nullptr) {
                sub = m.additional;
            }
            if (sub == nullptr) {
                if (m.listed || m.additional != nullptr) {
                    out.push_back(path);
                }
                continue;
            }
            if (p.schema) {
                compare(doc, *p.schema, *sub, path, out, depth + 1);
            }
        }
    }
    if (seen.additional && (seen.types & kTypeObject)) {
        /* members named by data (ids, addresses): one entry for all */
        std::string path = prefix.empty() ? "*" : prefix + ".*";
        if (m.additional != nullptr) {
            compare(doc, *seen.additional, *m.additional, path, out, depth + 1);
        } else if (m.listed) {
            out.push_back(path);
        }
    }
    if ((seen.types & kTypeArray) && seen.items && m.items != nullptr) {
        compare(doc, *seen.items, *m.items, prefix + "[]", out, depth + 1);
    }
}

} // namespace

long
match_declared(const DeclaredApi &api, std::string_view method,
               const std::vector<TemplateSegment> &segments)
{
    long best = -1;
    long long best_score = -1;
    for (int pass = 0; pass < 2 && best < 0; pass++) {
        /* a HEAD is served by a declared GET when no HEAD is declared */
        std::string_view m = pass == 0 ? method : std::string_view("GET");
        if (pass == 1 && !iequals(method, "HEAD")) {
            break;
        }
        for (size_t i = 0; i < api.operations.size(); i++) {
            const auto &op = api.operations[i];
            if (!iequals(op.method, m)) {
                continue;
            }
            long long score = fit(op.segments, segments);
            if (score > best_score) {
                best_score = score;
                best = static_cast<long>(i);
            }
        }
    }
    return best;
}

DriftReport
compute_drift(const DeclaredApi &api, const Inventory &inventory,
              std::string_view host, const DriftOptions &options)
{
    DriftReport r;
    std::vector<int64_t> last_seen(api.operations.size(), -1);
    for (const EndpointView &v : inventory.endpoints(host)) {
        const Endpoint &e = *v.endpoint;
        long i = match_declared(api, v.method, v.segments);
        if (i < 0) {
            r.shadows.push_back(
                {v.method, v.path_template, e.count, e.last_seen_ms});
            continue;
        }
        const DeclaredOperation &op = api.operations[static_cast<size_t>(i)];
        last_seen[static_cast<size_t>(i)] =
            std::max(last_seen[static_cast<size_t>(i)], e.last_seen_ms);
        if (!op.statuses.empty()) {
            for (const auto &[code, n] : e.statuses) {
                if (!status_declared(op.statuses, code)) {
                    r.undeclared_statuses.push_back(
                        {v.method, v.path_template, op.path, code, n});
                }
            }
        }
        std::vector<std::string> members;
        if (!op.request_schema.is_null() && e.request_schema.root()) {
            compare(api.document, *e.request_schema.root(), op.request_schema,
                    "", members, 0);
            for (auto &m : members) {
                r.undeclared_members.push_back({v.method, v.path_template,
                                                op.path, "request",
                                                std::move(m)});
            }
        }
        for (const auto &[code, schema] : e.response_schemas) {
            const json::value *declared = declared_response(op, code);
            if (declared == nullptr || !schema.root()) {
                continue;
            }
            members.clear();
            compare(api.document, *schema.root(), *declared, "", members, 0);
            for (auto &m : members) {
                r.undeclared_members.push_back(
                    {v.method, v.path_template, op.path,
                     "response " + std::to_string(code), std::move(m)});
            }
        }
    }
    /* one declared path may stand for several base paths: an operation
     * is a zombie when none of its copies was seen */
    std::map<std::pair<std::string, std::string>, int64_t> seen;
    std::vector<std::pair<std::string, std::string>> order;
    for (size_t i = 0; i < api.operations.size(); i++) {
        const auto &op = api.operations[i];
        auto key = std::make_pair(op.method, op.path);
        if (seen.emplace(key, last_seen[i]).second) {
            order.push_back(key);
        } else {
            seen[key] = std::max(seen[key], last_seen[i]);
        }
    }
    for (const auto &key : order) {
        int64_t last = seen[key];
        int64_t since = std::max(last, options.declared_at_ms);
        if (options.now_ms - since >= options.zombie_after_ms) {
            r.zombies.push_back({key.first, key.second, last});
        }
    }
    return r;
}

json::value
DriftReport::to_json() const
{
    json::array s, z, st, m;
    for (const auto &x : shadows) {
        s.push_back(json::object{{"method", x.method},
                                 {"path", x.path},
                                 {"count", x.count},
                                 {"last_seen_ms", x.last_seen_ms}});
    }
    for (const auto &x : zombies) {
        z.push_back(json::object{{"method", x.method},
                                 {"path", x.path},
                                 {"last_seen_ms", x.last_seen_ms}});
    }
    for (const auto &x : undeclared_statuses) {
        st.push_back(json::object{{"method", x.method},
                                  {"path", x.path},
                                  {"declared_path", x.declared_path},
                                  {"status", x.status},
                                  {"count", x.count}});
    }
    for (const auto &x : undeclared_members) {
        m.push_back(json::object{{"method", x.method},
                                 {"path", x.path},
                                 {"declared_path", x.declared_path},
                                 {"where", x.where},
                                 {"member", x.member}});
    }
    return json::object{{"shadow", std::move(s)},
                        {"zombie", std::move(z)},
                        {"undeclared_status", std::move(st)},
                        {"undeclared_member", std::move(m)}};
}

} // namespace kv::analysis
