/*
 * OpenAPI 3.1 documents from the inventory.  Reads the inventory on the
 * thread that owns it.
 */

#include "analysis/openapi.h"

#include <set>

#include <boost/json.hpp>

#include "analysis/text.h"

namespace kv::analysis {

namespace json = boost::json;

namespace {

const char *const openapi_methods[] = {"get",     "put",  "post",  "delete",
                                       "options", "head", "patch", "trace"};

/* Component names allow [A-Za-z0-9._-]. */
std::string
component_name(std::string_view prefix, std::string_view name)
{
    std::string out(prefix);
    for (char c : name) {
        out.push_back(is_alnum(c) || c == '.' || c == '-' || c == '_' ? c
                                                                      : '_');
    }
    return out;
}

json::object
path_param_schema(SegmentKinds kinds)
{
    json::object s;
    if (kinds == kind_bit(SegmentKind::integer)) {
        s["type"] = "integer";
        return s;
    }
    s["type"] = "string";
    if (kinds == kind_bit(SegmentKind::uuid)) {
        s["format"] = "uuid";
    } else if (kinds == kind_bit(SegmentKind::email)) {
        s["format"] = "email";
    }
    return s;
}

std::string
operation_id(std::string_view method, std::string_view tmpl)
{
    std::string id = to_lower(method);
    bool sep = true;
    for (char c : tmpl) {
        if (is_alnum(c)) {
            if (sep) {
                id.push_back('_');
            }
            id.push_back(c);
            sep = false;
        } else {
            sep = true;
        }
    }
    return id;
}

} // namespace

const char *
reason_phrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 203:
        return "Non-Authoritative Information";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 406:
        return "Not Acceptable";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 411:
        return "Length Required";
    case 412:
        return "Precondition Failed";
    case 413:
        return "Content Too Large";
    case 414:
        return "URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 422:
        return "Unprocessable Content";
    case 429:
        return "Too Many Requests";
    case 499:
        return "Client Closed Request";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "";
    }
}

json::value
openapi_document(const Inventory &inventory, std::string_view host,
                 const OpenApiOptions &options)
{
    json::object paths;
    json::object schemes;
    std::set<std::string> operation_ids;
    uint64_t unlisted = 0;

    for (const EndpointView &v : inventory.endpoints(host)) {
        const Endpoint &e = *v.endpoint;
        std::string method = to_lower(v.method);
        bool listed = false;
        for (const char *m : openapi_methods) {
            listed = listed || method == m;
        }
        if (!listed) {
            unlisted++;
            continue;
        }
        json::object op;
        std::string id = operation_id(method, v.path_template);
        for (int n = 2; operation_ids.count(id) != 0; n++) {
            id =
                operation_id(method, v.path_template) + "_" + std::to_string(n);
        }
        operation_ids.insert(id);
        op["operationId"] = id;

        json::array params;
        std::vector<std::string> names = template_names(v.segments);
        for (size_t i = 0; i < v.segments.size(); i++) {
            if (!v.segments[i].param) {
                continue;
            }
            json::object p;
            p["name"] = names[i];
            p["in"] = "path";
            p["required"] = true;
            p["schema"] = path_param_schema(v.segments[i].kinds);
            params.push_back(std::move(p));
        }
        for (const auto &q : e.query_names) {
            json::object p;
            p["name"] = q;
            p["in"] = "query";
            p["required"] = false;
            p["schema"] = json::object{{"type", "string"}};
            params.push_back(std::move(p));
        }
        if (!params.empty()) {
            op["parameters"] = std::move(params);
        }

        if (!e.request_types.empty()) {
            json::object content;
            for (const auto &t : e.request_types) {
                json::object media;
                if (is_json_media_type(t) && !e.request_schema.empty()) {
                    media["schema"] = e.request_schema.to_json_schema();
                }
                content[t] = std::move(media);
            }
            json::object body;
            body["content"] = std::move(content);
            op["requestBody"] = std::move(body);
        }

        json::object responses;
        std::vector<std::string> json_types;
        for (const auto &t : e.response_types) {
            if (is_json_media_type(t)) {
                json_types.push_back(t);
            }
        }
        if (json_types.empty()) {
            json_types.push_back("application/json");
        }
        for (const auto &[code, n] : e.statuses) {
            json::object r;
            const char *phrase = reason_phrase(code);
            r["description"] = *phrase ? phrase : "Observed";
            for (const auto &[scode, schema] : e.response_schemas) {
                if (scode == code && !schema.empty()) {
                    json::object content;
                    for (const auto &t : json_types) {
                        content[t] =
                            json::object{{"schema", schema.to_json_schema()}};
                    }
                    r["content"] = std::move(content);
                }
            }
            r["x-kv-count"] = n;
            responses[std::to_string(code)] = std::move(r);
        }
        if (responses.empty()) {
            responses["default"] =
                json::object{{"description", "No status observed"}};
        }
        op["responses"] = std::move(responses);

        /* who could call it: one requirement per scheme seen, and an
         * empty one when requests also came without credentials */
        json::array security;
        auto require = [&](const std::string &name, json::object scheme) {
            schemes[name] = std::move(scheme);
            security.push_back(json::object{{name, json::array()}});
        };
        if (e.auth & kAuthBasic) {
            require("basicAuth",
                    json::object{{"type", "http"}, {"scheme", "basic"}});
        }
        if (e.auth & kAuthBearer) {
            require("bearerAuth",
                    json::object{{"type", "http"}, {"scheme", "bearer"}});
        }
        if (e.auth & kAuthJwt) {
            require("jwtAuth", json::object{{"type", "http"},
                                            {"scheme", "bearer"},
                                            {"bearerFormat", "JWT"}});
        }
        for (const auto &h : e.api_key_headers) {
            require(component_name("apiKey_", h),
                    json::object{
                        {"type", "apiKey"}, {"in", "header"}, {"name", h}});
        }
        if (e.auth & kAuthCookie) {
            for (const auto &c : e.cookie_names) {
                require(component_name("cookie_", c),
                        json::object{
                            {"type", "apiKey"}, {"in", "cookie"}, {"name", c}});
            }
        }
        if (!security.empty()) {
            if (e.auth & kAuthNone) {
                security.push_back(json::object());
            }
            op["security"] = std::move(security);
        }
        op["x-kv-count"] = e.count;
        op["x-kv-first-seen-ms"] = e.first_seen_ms;
        op["x-kv-last-seen-ms"] = e.last_seen_ms;
        std::vector<std::string> sensitive =
            sensitive_type_names(e.request_sensitive | e.response_sensitive);
        if (!sensitive.empty()) {
            json::array s;
            for (const auto &n : sensitive) {
                s.emplace_back(n);
            }
            op["x-kv-sensitive"] = std::move(s);
        }

        json::value &item = paths[v.path_template];
        if (!item.is_object()) {
            item = json::object();
        }
        item.as_object()[method] = std::move(op);
    }

    json::object info;
    info["title"] =
        options.title.empty()
            ? std::string(host.empty() ? "API" : host) + " (observed)"
            : options.title;
    info["version"] = options.version;
    json::object doc;
    doc["openapi"] = "3.1.0";
    doc["info"] = std::move(info);
    if (!options.server_url.empty()) {
        doc["servers"] = json::array{json::object{{"url", options.server_url}}};
    }
    doc["paths"] = std::move(paths);
    if (!schemes.empty()) {
        doc["components"] =
            json::object{{"securitySchemes", std::move(schemes)}};
    }
    if (unlisted != 0) {
        doc["x-kv-unlisted-operations"] = unlisted;
    }
    return doc;
}

} // namespace kv::analysis
