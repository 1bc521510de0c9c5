/*
 * Reading the operator's OpenAPI document.  YAML goes through yaml-cpp and
 * becomes the same JSON value a JSON document gives, with a bound on
 * nodes so that aliases cannot blow a small document up.  Pure functions;
 * any thread.
 */

#include "analysis/declared_api.h"

#include <cmath>
#include <cstdlib>

#include <boost/json.hpp>
#include <yaml-cpp/yaml.h>

#include "analysis/text.h"

namespace kv::analysis {

namespace json = boost::json;

namespace {

const char *const methods[] = {"get",     "put",  "post",  "delete",
                               "options", "head", "patch", "trace"};

/* Plain YAML scalars as YAML 1.2's core schema reads them. */
json::value
plain_scalar(const std::string &s)
{
    if (s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL") {
        return nullptr;
    }
    if (s == "true" || s == "True" || s == "TRUE") {
        return true;
    }
    if (s == "false" || s == "False" || s == "FALSE") {
        return false;
    }
    const char *b = s.c_str();
    char *end = nullptr;
    bool intlike = true;
    size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size()) {
        intlike = false;
    }
    for (; i < s.size(); i++) {
        intlike = intlike && is_digit(s[i]);
    }
    if (intlike) {
        errno = 0;
        long long v = std::strtoll(b, &end, 10);
        if (errno == 0 && *end == '\0') {
            return v;
        }
    }
    bool floatlike = s.find_first_not_of("0123456789+-.eE") == std::string::npos
                     && s.find_first_of("0123456789") != std::string::npos;
    if (floatlike) {
        errno = 0;
        double d = std::strtod(b, &end);
        if (errno == 0 && *end == '\0' && std::isfinite(d)) {
            return d;
        }
    }
    return json::string(s);
}

struct YamlConverter {
    size_t nodes = 0;
    std::string error;

    bool convert(const YAML::Node &n, json::value &out, size_t depth)
    {
        if (++nodes > declared_max_nodes) {
            error = "the document is too large once its YAML aliases are "
                    "expanded";
            return false;
        }
        if (depth > 256) {
            error = "the document nests too deeply";
            return false;
        }
        switch (n.Type()) {
        case YAML::NodeType::Null:
        case YAML::NodeType::Undefined:
            out = nullptr;
            return true;
        case YAML::NodeType::Scalar:
            /* quoted scalars are strings; plain ones may be other types */
            out = n.Tag() == "!" ? json::value(json::string(n.Scalar()))
                                 : plain_scalar(n.Scalar());
            return true;
        case YAML::NodeType::Sequence: {
            json::array a;
            for (const auto &e : n) {
                json::value v;
                if (!convert(e, v, depth + 1)) {
                    return false;
                }
                a.push_back(std::move(v));
            }
            out = std::move(a);
            return true;
        }
        case YAML::NodeType::Map: {
            json::object o;
            for (const auto &kv : n) {
                if (!kv.first.IsScalar()) {
                    error = "a mapping key that is not a scalar";
                    return false;
                }
                json::value v;
                if (!convert(kv.second, v, depth + 1)) {
                    return false;
                }
                o[kv.first.Scalar()] = std::move(v);
            }
            out = std::move(o);
            return true;
        }
        }
        return true;
    }
};

std::string
pointer_unescape(std::string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '~' && i + 1 < s.size()
            && (s[i + 1] == '0' || s[i + 1] == '1')) {
            out.push_back(s[i + 1] == '0' ? '~' : '/');
            i++;
        } else {
            out.push_back(s[i]);
        }
    }
    return percent_decode(out, false);
}

/* The JSON Schema of an operation's JSON content, or null. */
json::value
json_content_schema(const json::value &doc, const json::value &holder,
                    std::vector<std::string> &warnings,
                    const std::string &where)
{
    const json::value *h = resolve_ref(doc, holder);
    if (h == nullptr) {
        warnings.push_back(where + ": a reference that leads nowhere");
        return nullptr;
    }
    const json::object *o = h->if_object();
    const json::value *content = o ? o->if_contains("content") : nullptr;
    if (content == nullptr || !content->is_object()) {
        return nullptr;
    }
    const json::value *fallback = nullptr;
    for (const auto &m : content->get_object()) {
        std::string media =
            to_lower(trim(std::string_view(m.key().data(), m.key().size())));
        media = media.substr(0, media.find(';'));
        const json::object *mo = m.value().if_object();
        const json::value *schema = mo ? mo->if_contains("schema") : nullptr;
        if (schema == nullptr) {
            continue;
        }
        if (is_json_media_type(trim(media))) {
            return *schema;
        }
        if (media == "*/*" || media == "application/*") {
            fallback = schema;
        }
    }
    return fallback ? *fallback : json::value(nullptr);
}

} // namespace

const json::value *
resolve_ref(const json::value &document, const json::value &v)
{
    const json::value *cur = &v;
    for (int hops = 0; hops < 32; hops++) {
        const json::object *o = cur->if_object();
        const json::value *ref = o ? o->if_contains("$ref") : nullptr;
        if (ref == nullptr || !ref->is_string()) {
            return cur;
        }
        std::string_view r(ref->get_string().data(), ref->get_string().size());
        if (r.empty() || r[0] != '#') {
            return nullptr; /* another document: not followed */
        }
        r.remove_prefix(1);
        const json::value *target = &document;
        while (!r.empty()) {
            if (r[0] != '/') {
                return nullptr;
            }
            r.remove_prefix(1);
            size_t slash = r.find('/');
            std::string token = pointer_unescape(r.substr(0, slash));
            r = slash == std::string_view::npos ? std::string_view()
                                                : r.substr(slash);
            if (const json::object *to = target->if_object()) {
                target = to->if_contains(token);
            } else if (const json::array *ta = target->if_array()) {
                char *end = nullptr;
                unsigned long k = std::strtoul(token.c_str(), &end, 10);
                target = (*end == '\0' && k < ta->size()) ? &(*ta)[k] : nullptr;
            } else {
                target = nullptr;
            }
            if (target == nullptr) {
                return nullptr;
            }
        }
        cur = target;
    }
    return nullptr; /* a loop of references */
}

std::optional<json::value>
yaml_to_json(std::string_view text, std::string &error)
{
    YAML::Node root;
    try {
        root = YAML::Load(std::string(text));
    } catch (const YAML::Exception &e) {
        error = "not valid YAML: line " + std::to_string(e.mark.line + 1)
                + ", column " + std::to_string(e.mark.column + 1) + ": "
                + e.msg;
        return std::nullopt;
    }
    YamlConverter c;
    json::value out;
    try {
        if (!c.convert(root, out, 0)) {
            error = c.error;
            return std::nullopt;
        }
    } catch (const YAML::Exception &e) {
        error = std::string("not valid YAML: ") + e.what();
        return std::nullopt;
    }
    return out;
}

std::optional<DeclaredApi>
parse_declared_api(std::string_view text, std::string &error)
{
    if (text.size() > declared_max_bytes) {
        error = "the document is larger than 16 MiB";
        return std::nullopt;
    }
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        error = "the document is empty";
        return std::nullopt;
    }
    /* a UTF-8 byte order mark */
    if (text.compare(first, 3, "\xEF\xBB\xBF") == 0) {
        first += 3;
    }
    DeclaredApi api;
    if (text[first] == '{') {
        json::error_code ec;
        json::parse_options opt;
        opt.max_depth = 256;
        api.document = json::parse(text.substr(first), ec, {}, opt);
        if (ec) {
            /* the line of the error: parse again up to where it stopped */
            json::stream_parser p({}, opt);
            size_t used =
                p.write_some(text.data() + first, text.size() - first, ec);
            size_t line = 1;
            for (size_t i = first; i < first + used && i < text.size(); i++) {
                line += text[i] == '\n';
            }
            error = "not valid JSON: line " + std::to_string(line) + ": "
                    + ec.message();
            return std::nullopt;
        }
    } else {
        auto v = yaml_to_json(text, error);
        if (!v) {
            return std::nullopt;
        }
        api.document = std::move(*v);
    }

    const json::object *doc = api.document.if_object();
    if (doc == nullptr) {
        error = "the document is not an object";
        return std::nullopt;
    }
    if (doc->contains("swagger")) {
        error = "a Swagger 2.0 document: OpenAPI 3.0 or 3.1 is needed";
        return std::nullopt;
    }
    const json::value *ver = doc->if_contains("openapi");
    if (ver == nullptr || !ver->is_string()) {
        error = "no \"openapi\" version field: not an OpenAPI document";
        return std::nullopt;
    }
    api.openapi_version.assign(ver->get_string().data(),
                               ver->get_string().size());
    if (api.openapi_version.compare(0, 4, "3.0.") != 0
        && api.openapi_version.compare(0, 4, "3.1.") != 0
        && api.openapi_version != "3.0" && api.openapi_version != "3.1") {
        error = "OpenAPI version " + api.openapi_version
                + " is not supported (3.0 or 3.1)";
        return std::nullopt;
    }
    const json::value *paths = doc->if_contains("paths");
    if (paths == nullptr) {
        paths = nullptr; /* 3.1 allows a document of webhooks only */
    } else if (!paths->is_object()) {
        error = "\"paths\" is not an object";
        return std::nullopt;
    }

    /* the servers' paths prefix every declared path */
    std::vector<std::string> bases;
    if (const auto *servers = doc->if_contains("servers");
        servers && servers->is_array()) {
        for (const auto &s : servers->get_array()) {
            const json::object *so = s.if_object();
            const json::value *url = so ? so->if_contains("url") : nullptr;
            if (url == nullptr || !url->is_string()) {
                continue;
            }
            std::string_view u(url->get_string().data(),
                               url->get_string().size());
            size_t scheme = u.find("://");
            if (scheme != std::string_view::npos) {
                size_t path = u.find('/', scheme + 3);
                u = path == std::string_view::npos ? std::string_view("/")
                                                   : u.substr(path);
            }
            std::string base(u);
            while (!base.empty() && base.back() == '/') {
                base.pop_back();
            }
            if (base.find('{') != std::string::npos) {
                api.warnings.push_back("server " + std::string(u)
                                       + ": variables are not expanded");
                continue;
            }
            if (std::find(bases.begin(), bases.end(), base) == bases.end()) {
                bases.push_back(base);
            }
        }
    }
    if (bases.empty()) {
        bases.push_back("");
    }

    if (paths == nullptr) {
        return api;
    }
    for (const auto &p : paths->get_object()) {
        std::string path(p.key().data(), p.key().size());
        if (path.empty() || path[0] != '/') {
            error = "path \"" + path + "\" does not start with '/'";
            return std::nullopt;
        }
        const json::value *item = resolve_ref(api.document, p.value());
        if (item == nullptr || !item->is_object()) {
            error = "path \"" + path + "\" is not a path item object";
            return std::nullopt;
        }
        for (const char *m : methods) {
            const json::value *opv = item->get_object().if_contains(m);
            if (opv == nullptr) {
                continue;
            }
            if (!opv->is_object()) {
                error = "path \"" + path + "\", " + m + ": not an object";
                return std::nullopt;
            }
            const json::object &op = opv->get_object();
            for (const auto &base : bases) {
                DeclaredOperation d;
                d.method = m;
                for (char &c : d.method) {
                    c = static_cast<char>(c - 32);
                }
                d.path = base + path;
                d.segments = parse_template(d.path);
                std::string where = d.method + " " + d.path;
                if (const auto *rb = op.if_contains("requestBody")) {
                    d.request_schema = json_content_schema(api.document, *rb,
                                                           api.warnings, where);
                }
                if (const auto *rs = op.if_contains("responses")) {
                    if (!rs->is_object()) {
                        error = where + ": \"responses\" is not an object";
                        return std::nullopt;
                    }
                    for (const auto &r : rs->get_object()) {
                        std::string code(r.key().data(), r.key().size());
                        d.statuses.push_back(code);
                        json::value schema = json_content_schema(
                            api.document, r.value(), api.warnings,
                            where + " " + code);
                        if (!schema.is_null()) {
                            d.response_schemas[code] = std::move(schema);
                        }
                    }
                }
                api.operations.push_back(std::move(d));
            }
        }
    }
    return api;
}

} // namespace kv::analysis
