#include "api/console_api.h"

#include <cstring>
#include <vector>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/url/parse.hpp>

#include "api/console_call.h"
#include "api/metrics.h"
#include "api/rows_json.h"
#include "api/web_assets.h"
#include "base/text.h"
#include "control/settings.h"

namespace kv {

namespace http = boost::beast::http;
namespace json = boost::json;

namespace {

using Handler = HttpResponse (ConsoleApi::*)(const ConsoleApi::Call &);

constexpr int max_exchanges = 1000;
constexpr int max_stats = 10000;
constexpr int max_sensors = 1000;
constexpr int max_changes = 1000;

/* Matches path against a pattern of segments where {id} stands for a
 * positive number, {key} for 16 hex digits and {part} for a body's
 * name. */
bool
matches(std::string_view pattern, std::string_view path, ConsoleApi::Call &c)
{
    while (!pattern.empty() || !path.empty()) {
        if (pattern.empty() || path.empty() || pattern[0] != '/'
            || path[0] != '/') {
            return false;
        }
        pattern.remove_prefix(1);
        path.remove_prefix(1);
        std::string_view want = pattern.substr(0, pattern.find('/'));
        std::string_view got = path.substr(0, path.find('/'));
        pattern.remove_prefix(want.size());
        path.remove_prefix(got.size());
        if (want == "{id}") {
            auto id = parse_digits(got);
            if (!id || *id == 0 || *id > static_cast<uint64_t>(INT64_MAX)) {
                return false;
            }
            c.id = static_cast<int64_t>(*id);
        } else if (want == "{key}") {
            if (got.size() != 16
                || got.find_first_not_of("0123456789abcdef")
                       != std::string_view::npos) {
                return false;
            }
            c.key = std::string(got);
        } else if (want == "{part}") {
            if (got != "request_body" && got != "response_body") {
                return false;
            }
            c.part = std::string(got);
        } else if (want != got) {
            return false;
        }
    }
    return true;
}

struct Route {
    http::verb method;
    const char *pattern;
    Handler handler;
};

} // namespace

HttpResponse
ConsoleApi::handle(const HttpRequest &req, const HttpPeer &peer)
{
    HttpResponse res = route(req, peer);
    AccessGate::secure(res);
    return res;
}

bool
ConsoleApi::admits(const HttpRequest &head, const HttpPeer &peer) const
{
    std::string_view target(head.target().data(), head.target().size());
    auto url = boost::urls::parse_origin_form(target);
    return url && !gate_.admit(head, peer, std::string(url->encoded_path()));
}

HttpResponse
ConsoleApi::route(const HttpRequest &req, const HttpPeer &peer)
{
    static const Route routes[] = {
        {http::verb::get, "/api/session", &ConsoleApi::session},
        {http::verb::post, "/api/session", &ConsoleApi::sign_in},
        {http::verb::delete_, "/api/session", &ConsoleApi::sign_out},
        {http::verb::get, "/api/exchanges", &ConsoleApi::list_exchanges},
        {http::verb::get, "/api/exchanges/{id}", &ConsoleApi::one_exchange},
        {http::verb::get, "/api/exchanges/{id}/{part}",
         &ConsoleApi::exchange_body},
        {http::verb::get, "/api/sensors", &ConsoleApi::sensors},
        {http::verb::get, "/api/stats", &ConsoleApi::stats},
        {http::verb::get, "/api/control", &ConsoleApi::get_control},
        {http::verb::put, "/api/control", &ConsoleApi::put_control},
        {http::verb::get, "/api/control/changes", &ConsoleApi::control_changes},
        {http::verb::get, "/api/collector", &ConsoleApi::collector},
        {http::verb::get, "/api/endpoints", &ConsoleApi::list_endpoints},
        {http::verb::get, "/api/endpoints/{key}", &ConsoleApi::one_endpoint},
        {http::verb::get, "/api/openapi", &ConsoleApi::openapi},
        {http::verb::get, "/api/exchanges.har", &ConsoleApi::exchanges_har},
        {http::verb::get, "/api/declared", &ConsoleApi::get_declared},
        {http::verb::put, "/api/declared", &ConsoleApi::put_declared},
        {http::verb::delete_, "/api/declared", &ConsoleApi::delete_declared},
        {http::verb::get, "/metrics", &ConsoleApi::metrics},
    };

    std::string_view target(req.target().data(), req.target().size());
    auto url = boost::urls::parse_origin_form(target);
    /* the gate sees the path routes are matched on */
    std::string path = url ? std::string(url->encoded_path()) : std::string();
    if (auto refusal = gate_.admit(req, peer, path)) {
        return std::move(*refusal);
    }
    if (!url) {
        return send_error(400, "not a request target");
    }
    Call c{req, peer, std::move(path), {}, 0, {}, {}};
    for (auto p : url->params(boost::urls::encoding_opts(true))) {
        c.params.emplace_back(p.key, p.value);
    }

    if (c.path.rfind("/api/", 0) != 0 && c.path != "/metrics") {
        if (req.method() != http::verb::get) {
            return send_error(405, "the console's pages are only read");
        }
        return asset(c);
    }
    bool path_known = false;
    for (const Route &r : routes) {
        if (!matches(r.pattern, c.path, c)) {
            continue;
        }
        path_known = true;
        if (r.method != req.method()) {
            continue;
        }
        try {
            return (this->*r.handler)(c);
        } catch (const BadParameter &e) {
            return send_error(400, e.message);
        }
    }
    return path_known ? send_error(405, "method not allowed here")
                      : send_error(404, "no such resource");
}

HttpResponse
ConsoleApi::asset(const Call &c)
{
    std::string name = c.path == "/" ? "index.html" : c.path.substr(1);
    for (size_t i = 0; i < web_assets_count; i++) {
        const WebAsset &a = web_assets[i];
        if (name == a.name) {
            return make_response(
                200,
                std::string(reinterpret_cast<const char *>(a.data), a.size),
                a.type);
        }
    }
    HttpResponse res = make_response(404, "not found\n", "text/plain");
    return res;
}

ExchangeQuery
exchange_filters(const ConsoleApi::Call &c, int max_limit)
{
    ExchangeQuery q;
    q.limit = static_cast<int>(
        int_param(c, "limit", 1, max_limit, std::min(q.limit, max_limit)));
    q.before_id = int_param(c, "before", 1, INT64_MAX, 0);
    q.since_ms = int_param(c, "since_ms", 0, INT64_MAX, 0);
    q.until_ms = int_param(c, "until_ms", 0, INT64_MAX, 0);
    q.method = text_param(c, "method");
    for (auto &ch : q.method) {
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    q.path = text_param(c, "path");
    q.format = c.text("format");
    q.sensor_host = text_param(c, "host");
    std::string status = c.text("status");
    if (!status.empty()) {
        /* a status, or a class written as 4xx */
        if (status.size() == 3 && status[0] >= '1' && status[0] <= '5'
            && (status.substr(1) == "xx" || status.substr(1) == "XX")) {
            q.status_class = status[0] - '0';
        } else {
            auto v = parse_digits(status);
            if (!v || *v < 100 || *v > 999) {
                throw BadParameter{"status must be a status code or a class "
                                   "such as 4xx"};
            }
            q.status = static_cast<int>(*v);
        }
    }
    if (!q.format.empty() && q.format != "merged" && q.format != "response") {
        throw BadParameter{"format must be merged or response"};
    }
    return q;
}

HttpResponse
ConsoleApi::list_exchanges(const Call &c)
{
    ExchangeQuery q = exchange_filters(c, max_exchanges);
    json::array out;
    for (const ExchangeRow &row : store_.exchanges(q)) {
        out.emplace_back(exchange_summary_json(row));
    }
    return send_json(out);
}

HttpResponse
ConsoleApi::one_exchange(const Call &c)
{
    auto window = static_cast<size_t>(
        int_param(c, "body_limit", 0, static_cast<int64_t>(max_body_window),
                  static_cast<int64_t>(default_body_window)));
    auto row = store_.exchange(c.id, BodyWindow{window, window});
    if (!row) {
        return send_error(404, "no exchange " + std::to_string(c.id));
    }
    return send_json(exchange_json(*row));
}

HttpResponse
ConsoleApi::exchange_body(const Call &c)
{
    bool request = c.part == "request_body";
    BodyWindow all{request ? SIZE_MAX : 0, request ? 0 : SIZE_MAX};
    auto row = store_.exchange(c.id, all);
    if (!row) {
        return send_error(404, "no exchange " + std::to_string(c.id));
    }
    const auto &body =
        request ? row->exchange.request_body : row->exchange.response_body;
    if (!body) {
        return send_error(404, "exchange " + std::to_string(c.id) + " has no "
                                   + (request ? "request" : "response")
                                   + " body");
    }
    /* the sensor's bytes, as a file: never shown by the browser as a page */
    HttpResponse res = make_response(200, *body, "application/octet-stream");
    res.set(http::field::content_disposition,
            "attachment; filename=\"exchange-" + std::to_string(c.id) + "-"
                + (request ? "request" : "response") + "-body.bin\"");
    res.set("X-Content-Type-Options", "nosniff");
    res.set(http::field::cache_control, "no-store");
    return res;
}

HttpResponse
ConsoleApi::sensors(const Call &c)
{
    SensorQuery q;
    q.limit = static_cast<int>(int_param(c, "limit", 1, max_sensors, q.limit));
    q.after = text_param(c, "after");
    json::array out;
    int64_t now = now_ms();
    for (const SensorRow &s : store_.sensors(q)) {
        out.emplace_back(sensor_json(s, now, info_.offline_after_ms));
    }
    return send_json(out);
}

HttpResponse
ConsoleApi::stats(const Call &c)
{
    StatsQuery q;
    q.limit = static_cast<int>(int_param(c, "limit", 1, max_stats, q.limit));
    q.since_ms = int_param(c, "since_ms", 0, INT64_MAX, 0);
    q.before_id = int_param(c, "before", 1, INT64_MAX, 0);
    q.pid = int_param(c, "pid", 1, INT32_MAX, 0);
    q.sensor_host = text_param(c, "host");
    q.instance = text_param(c, "instance");

    json::object collector = counters_json(counters_, store_);
    collector["uptime_ms"] = now_ms() - info_.started_ms;
    json::array documents;
    for (const StatsRow &s : store_.stats(q)) {
        documents.emplace_back(stats_json(s));
    }
    return send_json(json::object{{"collector", std::move(collector)},
                                  {"documents", std::move(documents)}});
}

HttpResponse
ConsoleApi::get_control(const Call &)
{
    return send_json(control_to_json(control_.current()->control));
}

HttpResponse
ConsoleApi::put_control(const Call &c)
{
    json::error_code ec;
    json::value change = json::parse(c.req.body(), ec);
    if (ec || !change.is_object()) {
        return send_error(400, "the body must be a JSON object");
    }
    /* the caller's word that it means to let requests skip
     * authorization; not a setting */
    bool confirmed = false;
    if (const json::value *confirm =
            change.get_object().if_contains("confirm")) {
        if (!confirm->is_string()
            || confirm->get_string() != "skip-authorization") {
            return send_error(400, "confirm must be \"skip-authorization\"");
        }
        confirmed = true;
        change.get_object().erase("confirm");
    }
    ControlState::Outcome out =
        control_.update(change, c.peer.address, confirmed);
    if (!out.openings.empty()) {
        json::array openings;
        for (const auto &o : out.openings) {
            openings.emplace_back(o);
        }
        return send_json(json::object{{"error", out.error},
                                      {"confirm", "skip-authorization"},
                                      {"openings", std::move(openings)}},
                         409);
    }
    if (!out.ok) {
        return send_error(out.server_error ? 503 : 400, out.error);
    }
    return send_json(control_to_json(control_.current()->control));
}

HttpResponse
ConsoleApi::control_changes(const Call &c)
{
    ControlChangeQuery q;
    q.limit = static_cast<int>(int_param(c, "limit", 1, max_changes, q.limit));
    q.before_id = int_param(c, "before", 1, INT64_MAX, 0);
    json::array out;
    for (const ControlChangeRow &row : store_.control_changes(q)) {
        out.emplace_back(control_change_json(row));
    }
    return send_json(out);
}

HttpResponse
ConsoleApi::session(const Call &c)
{
    return gate_.session(c.req);
}

HttpResponse
ConsoleApi::sign_in(const Call &c)
{
    return gate_.sign_in(c.req);
}

HttpResponse
ConsoleApi::sign_out(const Call &)
{
    return gate_.sign_out();
}

HttpResponse
ConsoleApi::collector(const Call &)
{
    json::object j;
    j["ingest"] = info_.ingest;
    j["ingest_tls"] = info_.ingest_tls.empty() ? json::value(nullptr)
                                               : json::value(info_.ingest_tls);
    j["db"] = store_.describe();
    j["control_file"] = info_.control_file.empty()
                            ? json::value(nullptr)
                            : json::value(info_.control_file);
    j["started_ms"] = info_.started_ms;
    j["started"] = iso8601(info_.started_ms);
    j["console_tls"] = info_.access.tls;
    j["token_required"] = gate_.token_required();
    json::array headers, keys;
    for (const auto &h : info_.redact_headers) {
        headers.emplace_back(h);
    }
    for (const auto &k : info_.redact_keys) {
        keys.emplace_back(k);
    }
    j["redaction"] = json::object{{"on", info_.redaction},
                                  {"extra_headers", std::move(headers)},
                                  {"extra_keys", std::move(keys)}};
    return send_json(j);
}

HttpResponse
ConsoleApi::metrics(const Call &)
{
    HttpResponse res = make_response(
        200,
        metrics_text(counters_, store_, now_ms() - info_.started_ms,
                     info_.offline_after_ms),
        "text/plain; version=0.0.4; charset=utf-8");
    res.set(http::field::cache_control, "no-store");
    return res;
}

} // namespace kv
