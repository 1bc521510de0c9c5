#include "decode.h"

#include <nlohmann/json.hpp>

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

/*
 * Walks a merged log without building a document: the sensor writes one
 * object per exchange whose header objects may repeat a name (two
 * Set-Cookie lines), which a map would fold, and a DOM per message would
 * cost more than the rest of ingest together.
 */
class MergedSax : public nlohmann::json_sax<json> {
public:
    HeaderList req_headers, resp_headers;
    std::optional<std::string> req_body64, resp_body64;
    std::string method, uri, client_ip;
    std::optional<int64_t> status, client_port, started_at, latency;
    int exchanges = 0;
    std::string error;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t v) override { return number(v); }
    bool number_unsigned(number_unsigned_t v) override
    {
        return number(static_cast<int64_t>(v));
    }
    bool number_float(number_float_t, const string_t &) override
    {
        return true;
    }
    bool binary(binary_t &) override { return true; }

    bool string(string_t &v) override
    {
        switch (where()) {
        case Where::req_headers:
            req_headers.emplace_back(key(), std::move(v));
            break;
        case Where::resp_headers:
            resp_headers.emplace_back(key(), std::move(v));
            break;
        case Where::request:
            if (key() == "body64") {
                req_body64 = std::move(v);
            } else if (key() == "method") {
                method = std::move(v);
            } else if (key() == "uri") {
                uri = std::move(v);
            }
            break;
        case Where::response:
            if (key() == "body64") {
                resp_body64 = std::move(v);
            }
            break;
        case Where::top:
            if (key() == "client_ip") {
                client_ip = std::move(v);
            }
            break;
        default:
            break;
        }
        return true;
    }

    bool start_object(std::size_t) override
    {
        if (stack_.size() == 1) {
            exchanges++;
        }
        stack_.push_back({false, {}});
        return true;
    }
    bool end_object() override
    {
        stack_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override
    {
        stack_.push_back({true, {}});
        return true;
    }
    bool end_array() override
    {
        stack_.pop_back();
        return true;
    }
    bool key(string_t &k) override
    {
        stack_.back().key = std::move(k);
        return true;
    }
    bool parse_error(std::size_t, const std::string &,
                     const nlohmann::detail::exception &e) override
    {
        error = e.what();
        return false;
    }

private:
    enum class Where {
        other,
        top,
        request,
        response,
        latencies,
        req_headers,
        resp_headers
    };

    struct Frame {
        bool array;
        std::string key;
    };

    const std::string &key() const { return stack_.back().key; }

    Where where() const
    {
        if (stack_.empty() || !stack_[0].array || stack_.back().array) {
            return Where::other;
        }
        switch (stack_.size()) {
        case 2:
            return Where::top;
        case 3:
            if (stack_[1].key == "request") {
                return Where::request;
            }
            if (stack_[1].key == "response") {
                return Where::response;
            }
            if (stack_[1].key == "latencies") {
                return Where::latencies;
            }
            return Where::other;
        case 4:
            if (stack_[2].key != "headers") {
                return Where::other;
            }
            if (stack_[1].key == "request") {
                return Where::req_headers;
            }
            if (stack_[1].key == "response") {
                return Where::resp_headers;
            }
            return Where::other;
        default:
            return Where::other;
        }
    }

    bool number(int64_t v)
    {
        switch (where()) {
        case Where::response:
            if (key() == "status") {
                status = v;
            }
            break;
        case Where::latencies:
            if (key() == "request") {
                latency = v;
            }
            break;
        case Where::top:
            if (key() == "client_port") {
                client_port = v;
            } else if (key() == "started_at") {
                started_at = v;
            }
            break;
        default:
            break;
        }
        return true;
    }

    std::vector<Frame> stack_;
};

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

bool
parse_merged(std::string_view payload, MergedSax &sax)
{
    return json::sax_parse(payload.begin(), payload.end(), &sax,
                           json::input_format_t::json, true);
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

bool
decode_merged(const Request &req, Exchange &out, std::string &error)
{
    MergedSax sax;
    if (!parse_merged(req.body, sax)) {
        /* bytes that are not UTF-8 inside strings: read them the way the
         * sensor spells them once it escapes them, one code point each */
        std::string fixed = to_utf8(req.body);
        MergedSax again;
        if (fixed == req.body || !parse_merged(fixed, again)) {
            error = "merged log is not JSON: " + sax.error;
            return false;
        }
        sax = std::move(again);
    }
    if (sax.exchanges != 1 || !sax.status || sax.method.empty()) {
        error = "merged log does not hold one exchange";
        return false;
    }

    out.format = "merged";
    out.method = std::move(sax.method);
    out.uri = std::move(sax.uri);
    out.status = static_cast<int>(*sax.status);
    out.client_ip = std::move(sax.client_ip);
    out.client_port = static_cast<int>(sax.client_port.value_or(0));
    out.time_ms = sax.started_at.value_or(0);
    out.latency_ms = sax.latency.value_or(-1);
    out.request_headers = std::move(sax.req_headers);
    out.response_headers = std::move(sax.resp_headers);

    take_sensor_members(out.request_headers, req_truncated, out,
                        out.request_body_truncated);
    take_sensor_members(out.response_headers, resp_truncated, out,
                        out.response_body_truncated);
    out.worker_pid = pid_from_request_id(out.request_id);

    if (!decode_body(sax.req_body64, out.request_body, error, "request")
        || !decode_body(sax.resp_body64, out.response_body, error,
                        "response")) {
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
        "X-Status",          "X-Request-Id",         "X-Req-Time",
        "X-Resp-Time",       "X-Client-Addr",        "X-Req-Uri",
        "X-Req-Host",        "X-Req-Content-Len",    "X-Req-Content-Type",
        "X-Args",            "X-Method",             "X-Kv-Sensor-Hostname",
        "X-Kv-Sensor-Instance", "X-Kv-Sensor-Logging-Level",
        "X-Orig-Length",     "Content-Length",       "X-Kv-Resp-Truncated-Body",
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
    if (worker == doc.end() || !worker->is_object()
        || !worker->contains("pid") || !(*worker)["pid"].is_number_integer()) {
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
