#include "decode.h"

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "text.h"

namespace kv {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr std::string_view sensor_instance = "X-Kv-Sensor-Instance";
constexpr std::string_view sensor_hostname = "X-Kv-Sensor-Hostname";
constexpr std::string_view sensor_level = "X-Kv-Sensor-Logging-Level";
constexpr std::string_view request_id_name = "X-Request-Id";
constexpr std::string_view req_truncated = "X-Kv-Req-Truncated-Body";
constexpr std::string_view resp_truncated = "X-Kv-Resp-Truncated-Body";

/* Index of the last member named name, or -1. */
long
last_index(const HeaderList &h, std::string_view name)
{
    for (size_t i = h.size(); i-- > 0;) {
        if (iequals(h[i].first, name)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

/*
 * The sensor appends its own members behind the exchange's headers: the
 * request identifier, a truncation mark, and on responses its instance,
 * host name and level.  They are taken out so the lists hold what client
 * and server exchanged; a same-named header of the exchange itself comes
 * earlier and stays.
 */
void
take_sensor_members(HeaderList &h, std::string_view truncated_name,
                    Exchange &out, bool &truncated)
{
    long rid = last_index(h, request_id_name);
    if (rid < 0) {
        return;
    }
    if (out.request_id.empty()) {
        out.request_id = h[static_cast<size_t>(rid)].second;
    }
    HeaderList kept(h.begin(), h.begin() + rid);
    for (size_t i = static_cast<size_t>(rid) + 1; i < h.size(); i++) {
        const auto &[name, value] = h[i];
        if (iequals(name, truncated_name)) {
            truncated = value == "true";
        } else if (iequals(name, sensor_instance)) {
            out.instance = value;
        } else if (iequals(name, sensor_hostname)) {
            out.sensor_host = value;
        } else if (iequals(name, sensor_level)) {
            out.logging_level = value;
        } else {
            kept.push_back(h[i]);
        }
    }
    h = std::move(kept);
}

bool
decode_body(const std::optional<std::string> &b64,
            std::optional<std::string> &out, std::string &error,
            const char *what)
{
    if (!b64) {
        return true;
    }
    out = base64_decode(*b64);
    if (!out) {
        error = std::string(what) + " body is not base64";
        return false;
    }
    return true;
}

std::pair<std::string, int>
split_address(std::string_view addr)
{
    size_t colon = addr.rfind(':');
    if (colon == std::string_view::npos) {
        return {to_utf8(addr), 0};
    }
    auto port = parse_digits(addr.substr(colon + 1));
    std::string_view ip = addr.substr(0, colon);
    if (ip.size() >= 2 && ip.front() == '[' && ip.back() == ']') {
        ip = ip.substr(1, ip.size() - 2);
    }
    return {to_utf8(ip), port && *port <= 65535 ? static_cast<int>(*port) : 0};
}

} // namespace

int64_t
pid_from_request_id(std::string_view id)
{
    size_t dash = id.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 8) {
        return 0;
    }
    int64_t pid = 0;
    for (char c : id.substr(0, dash)) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                         : -1;
        if (d < 0) {
            return 0;
        }
        pid = pid * 16 + d;
    }
    return pid;
}

namespace {

namespace dom = simdjson::dom;

bool
take_headers(dom::element e, HeaderList &out)
{
    dom::object members;
    if (e.get_object().get(members)) {
        return false;
    }
    for (auto field : members) {
        std::string_view value;
        if (field.value.get_string().get(value)) {
            return false;
        }
        out.emplace_back(std::string(field.key), std::string(value));
    }
    return true;
}

bool
take_string(dom::element e, std::string &out)
{
    std::string_view v;
    if (e.get_string().get(v)) {
        return false;
    }
    out.assign(v);
    return true;
}

/* The members of one exchange object; names it does not know are left
 * alone, so a sensor that adds members does not break the collector. */
struct MergedFields {
    HeaderList req_headers, resp_headers;
    std::optional<std::string> req_body64, resp_body64;
    std::string method, uri, client_ip;
    std::optional<int64_t> status, client_port, started_at, latency;
};

bool
read_part(dom::element e, bool request, MergedFields &f)
{
    dom::object part;
    if (e.get_object().get(part)) {
        return false;
    }
    for (auto field : part) {
        std::string_view k = field.key;
        bool ok = true;
        if (k == "headers") {
            ok = take_headers(field.value,
                              request ? f.req_headers : f.resp_headers);
        } else if (k == "body64") {
            std::string b;
            ok = take_string(field.value, b);
            (request ? f.req_body64 : f.resp_body64) = std::move(b);
        } else if (request && k == "method") {
            ok = take_string(field.value, f.method);
        } else if (request && k == "uri") {
            ok = take_string(field.value, f.uri);
        } else if (!request && k == "status") {
            int64_t v = 0;
            ok = !field.value.get_int64().get(v);
            f.status = v;
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool
read_merged(dom::element doc, MergedFields &f)
{
    dom::array top;
    dom::object ex;
    if (doc.get_array().get(top) || top.size() != 1
        || top.at(0).get_object().get(ex)) {
        return false;
    }
    for (auto field : ex) {
        std::string_view k = field.key;
        bool ok = true;
        int64_t v = 0;
        if (k == "request" || k == "response") {
            ok = read_part(field.value, k == "request", f);
        } else if (k == "client_ip") {
            ok = take_string(field.value, f.client_ip);
        } else if (k == "client_port") {
            ok = !field.value.get_int64().get(v);
            f.client_port = v;
        } else if (k == "started_at") {
            ok = !field.value.get_int64().get(v);
            f.started_at = v;
        } else if (k == "latencies") {
            dom::object lat;
            ok = !field.value.get_object().get(lat);
            if (ok && !lat["request"].get_int64().get(v)) {
                f.latency = v;
            }
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

bool
decode_merged(const Request &req, Exchange &out, std::string &error)
{
    /* one parser per ingest thread: it keeps its buffers between messages */
    thread_local dom::parser parser;
    dom::element doc;
    auto err = parser.parse(req.body.data(), req.body.size()).get(doc);
    std::string fixed;
    if (err == simdjson::UTF8_ERROR) {
        /* bytes that are not UTF-8 inside strings: read them the way the
         * sensor spells them once it escapes them, one code point each */
        fixed = to_utf8(req.body);
        err = parser.parse(fixed).get(doc);
    }
    if (err) {
        error = std::string("merged log is not JSON: ")
                + simdjson::error_message(err);
        return false;
    }
    MergedFields f;
    if (!read_merged(doc, f) || !f.status || f.method.empty()) {
        error = "merged log does not hold one exchange";
        return false;
    }

    out.format = "merged";
    out.method = std::move(f.method);
    out.uri = std::move(f.uri);
    out.status = static_cast<int>(*f.status);
    out.client_ip = std::move(f.client_ip);
    out.client_port = static_cast<int>(f.client_port.value_or(0));
    out.time_ms = f.started_at.value_or(0);
    out.latency_ms = f.latency.value_or(-1);
    out.request_headers = std::move(f.req_headers);
    out.response_headers = std::move(f.resp_headers);

    take_sensor_members(out.request_headers, req_truncated, out,
                        out.request_body_truncated);
    take_sensor_members(out.response_headers, resp_truncated, out,
                        out.response_body_truncated);
    out.worker_pid = pid_from_request_id(out.request_id);

    if (!decode_body(f.req_body64, out.request_body, error, "request")
        || !decode_body(f.resp_body64, out.response_body, error, "response")) {
        return false;
    }

    /* A body cut at the capture limit carries no mark of its own in this
     * format; the declared length tells. */
    ordered_json meta = ordered_json::object();
    long cl = last_index(out.response_headers, "Content-Length");
    if (cl >= 0 && out.response_body) {
        auto declared = parse_digits(out.response_headers[cl].second);
        if (declared && *declared > out.response_body->size()) {
            out.response_body_truncated = true;
            meta["response_declared_length"] = *declared;
        }
    }
    out.meta = meta.dump();
    return true;
}

bool
decode_response_log(const Request &req, Exchange &out, std::string &error)
{
    static constexpr std::string_view metadata_names[] = {
        "X-Status",
        "X-Request-Id",
        "X-Req-Time",
        "X-Resp-Time",
        "X-Client-Addr",
        "X-Req-Uri",
        "X-Req-Host",
        "X-Req-Content-Len",
        "X-Req-Content-Type",
        "X-Args",
        "X-Method",
        "X-Kv-Sensor-Hostname",
        "X-Kv-Sensor-Instance",
        "X-Kv-Sensor-Logging-Level",
        "X-Orig-Length",
        "Content-Length",
        "X-Kv-Resp-Truncated-Body",
        "X-Resp-Content-Len"};
    auto is_metadata = [](std::string_view name) {
        for (auto m : metadata_names) {
            if (iequals(name, m)) {
                return true;
            }
        }
        return false;
    };

    /* The response's own headers come first and end at the sensor's
     * "Connection:keep-alive" line: a response's Connection header is
     * never copied, so the first one is the sensor's. */
    size_t split = req.headers.size();
    for (size_t i = 0; i < req.headers.size(); i++) {
        if (iequals(req.headers[i].name, "Connection")) {
            split = i;
            break;
        }
    }
    bool found_split = split < req.headers.size();

    ordered_json meta = ordered_json::object();
    ordered_json extra = ordered_json::array();
    std::string_view path, args, req_host, req_type;
    std::optional<int64_t> req_len, orig_len, resp_len;
    bool have_status = false;

    for (size_t i = 0; i < req.headers.size(); i++) {
        const Header &h = req.headers[i];
        bool metadata = found_split ? i > split : is_metadata(h.name);
        if (iequals(h.name, "Host") && i < split) {
            continue; /* the sensor's line naming the collector */
        }
        if (i == split) {
            continue;
        }
        if (!metadata) {
            out.response_headers.emplace_back(to_utf8(h.name),
                                              to_utf8(h.value));
            continue;
        }
        std::string_view n = h.name, v = h.value;
        if (iequals(n, "X-Status")) {
            auto s = parse_digits(v);
            if (!s || *s > 999) {
                error = "bad X-Status";
                return false;
            }
            out.status = static_cast<int>(*s);
            have_status = true;
        } else if (iequals(n, "X-Request-Id")) {
            out.request_id = to_utf8(v);
        } else if (iequals(n, "X-Req-Time")) {
            out.time_ms = parse_signed(v).value_or(0);
        } else if (iequals(n, "X-Resp-Time")) {
            out.latency_ms = parse_signed(v).value_or(-1);
        } else if (iequals(n, "X-Client-Addr")) {
            std::tie(out.client_ip, out.client_port) = split_address(v);
        } else if (iequals(n, "X-Req-Uri")) {
            path = v;
        } else if (iequals(n, "X-Req-Host")) {
            req_host = v;
        } else if (iequals(n, "X-Req-Content-Len")) {
            req_len = parse_signed(v);
        } else if (iequals(n, "X-Req-Content-Type")) {
            req_type = v;
        } else if (iequals(n, "X-Args")) {
            args = v;
        } else if (iequals(n, "X-Method")) {
            out.method = to_utf8(v);
        } else if (iequals(n, sensor_hostname)) {
            out.sensor_host = to_utf8(v);
        } else if (iequals(n, sensor_instance)) {
            out.instance = to_utf8(v);
        } else if (iequals(n, sensor_level)) {
            out.logging_level = to_utf8(v);
        } else if (iequals(n, "X-Orig-Length")) {
            orig_len = parse_signed(v);
        } else if (iequals(n, resp_truncated)) {
            out.response_body_truncated = v == "true";
        } else if (iequals(n, "X-Resp-Content-Len")) {
            resp_len = parse_signed(v);
        } else if (!iequals(n, "Content-Length")) {
            extra.push_back({to_utf8(n), to_utf8(v)});
        }
    }
    if (!have_status) {
        error = "response log without X-Status";
        return false;
    }

    out.format = "response";
    out.uri = to_utf8(path);
    if (!args.empty()) {
        out.uri += '?';
        out.uri += to_utf8(args);
    }
    out.worker_pid = pid_from_request_id(out.request_id);

    /* what the format keeps of the request's own headers */
    if (!req_host.empty()) {
        out.request_headers.emplace_back("Host", to_utf8(req_host));
    }
    if (!req_type.empty()) {
        out.request_headers.emplace_back("Content-Type", to_utf8(req_type));
    }
    if (req_len && *req_len > 0) {
        out.request_headers.emplace_back("Content-Length",
                                         std::to_string(*req_len));
    }

    if (req.has_header("Content-Length") && !out.response_body_truncated) {
        out.response_body = std::string(req.body);
    }
    if (req_len) {
        meta["request_content_length"] = *req_len;
    }
    if (orig_len) {
        meta["response_declared_length"] = *orig_len;
    }
    if (resp_len) {
        meta["response_captured_length"] = *resp_len;
    }
    if (!extra.empty()) {
        meta["other_lines"] = std::move(extra);
    }
    out.meta = meta.dump();
    return true;
}

bool
decode_stats(const Request &req, StatsDoc &out, std::string &error)
{
    ordered_json doc =
        ordered_json::parse(req.body.begin(), req.body.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = "statistics document is not a JSON object";
        return false;
    }
    auto worker = doc.find("worker");
    if (worker == doc.end() || !worker->is_object() || !worker->contains("pid")
        || !(*worker)["pid"].is_number_integer()) {
        error = "statistics document without worker pid";
        return false;
    }
    auto access = doc.find("access");
    auto auth = doc.find("auth");
    if (access == doc.end() || !access->is_object() || auth == doc.end()
        || !auth->is_object()) {
        error = "statistics document without access and auth counters";
        return false;
    }
    out.pid = (*worker)["pid"].get<int64_t>();
    out.access = access->dump();
    out.auth = auth->dump();
    out.sensor_host = to_utf8(req.header("X-Kv-Sensor-Host"));
    out.instance = to_utf8(req.header("X-Kv-Sensor-Instance"));
    return true;
}

void
decode_heartbeat(const Request &req, Heartbeat &out)
{
    out.sensor_host = to_utf8(req.header("X-Kv-Sensor-Hostname"));
    out.instance = to_utf8(req.header("X-Kv-Sensor-Instance"));
    out.logging_level = to_utf8(req.header("X-Kv-Sensor-Logging-Level"));
}

} // namespace kv
