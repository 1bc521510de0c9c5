#include "protocol/decode.h"

#include <cmath>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include "base/text.h"
#include "kv_protocol.h"

namespace kv {

namespace json = boost::json;

namespace {

namespace wire = kv_protocol;

constexpr std::string_view sensor_instance = wire::sensor_instance;
constexpr std::string_view sensor_hostname = wire::sensor_hostname;
constexpr std::string_view sensor_level = wire::sensor_logging_level;
constexpr std::string_view request_id_name = wire::request_id;
constexpr std::string_view req_truncated = wire::req_truncated_body;
constexpr std::string_view resp_truncated = wire::resp_truncated_body;

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

/* The members of one exchange object; names it does not know are left
 * alone, so a sensor that adds members does not break the collector. */
struct MergedFields {
    MergedFields()
    {
        req_headers.reserve(8);
        resp_headers.reserve(8);
    }
    HeaderList req_headers, resp_headers;
    std::optional<std::string> req_body64, resp_body64;
    std::string method, uri, client_ip;
    std::optional<int64_t> status, client_port, started_at, latency;
};

/*
 * Reads a merged log as Boost.JSON's parser walks it, without building a
 * document: a header object may name the same header twice (Set-Cookie),
 * and each one is kept, in order.  Members are told apart once, at their
 * name; only header names are kept as text.
 */
class MergedHandler {
  public:
    static constexpr size_t max_array_size = -1;
    static constexpr size_t max_object_size = -1;
    static constexpr size_t max_string_size = -1;
    static constexpr size_t max_key_size = -1;

    void begin(MergedFields *f)
    {
        f_ = f;
        levels_.clear();
        items_ = 0;
        shape_error_ = false;
        part_.clear();
    }
    bool shape_error() const { return shape_error_; }
    bool one_exchange() const { return items_ == 1; }

    bool on_document_begin(json::error_code &) { return true; }
    bool on_document_end(json::error_code &) { return true; }

    bool on_array_begin(json::error_code &ec)
    {
        if (levels_.empty()) {
            levels_.push_back({Role::top, Member::other});
            return true;
        }
        return open(Kind::array, ec);
    }
    bool on_array_end(size_t, json::error_code &) { return close(); }
    bool on_object_begin(json::error_code &ec)
    {
        if (levels_.empty()) {
            return bad(ec);
        }
        return open(Kind::object, ec);
    }
    bool on_object_end(size_t, json::error_code &) { return close(); }

    bool on_key_part(json::string_view s, size_t, json::error_code &)
    {
        part_.append(s.data(), s.size());
        return true;
    }
    bool on_key(json::string_view s, size_t, json::error_code &)
    {
        std::string_view key(s.data(), s.size());
        if (!part_.empty()) {
            part_.append(key);
            key = part_;
        }
        Level &l = levels_.back();
        l.member = member(l.role, key);
        if (l.role == Role::req_headers || l.role == Role::resp_headers) {
            name_.assign(key);
        }
        part_.clear();
        return true;
    }
    bool on_string_part(json::string_view s, size_t, json::error_code &)
    {
        part_.append(s.data(), s.size());
        return true;
    }
    bool on_string(json::string_view s, size_t, json::error_code &ec)
    {
        std::string_view text(s.data(), s.size());
        if (!part_.empty()) {
            part_.append(text);
            text = part_;
        }
        bool ok = scalar(Kind::string, 0, text, ec);
        part_.clear();
        return ok;
    }
    bool on_number_part(json::string_view, json::error_code &) { return true; }
    bool on_int64(int64_t i, json::string_view, json::error_code &ec)
    {
        return scalar(Kind::integer, i, {}, ec);
    }
    bool on_uint64(uint64_t u, json::string_view, json::error_code &ec)
    {
        return u > static_cast<uint64_t>(INT64_MAX)
                   ? scalar(Kind::other, 0, {}, ec)
                   : scalar(Kind::integer, static_cast<int64_t>(u), {}, ec);
    }
    bool on_double(double, json::string_view, json::error_code &ec)
    {
        return scalar(Kind::other, 0, {}, ec);
    }
    bool on_bool(bool, json::error_code &ec)
    {
        return scalar(Kind::other, 0, {}, ec);
    }
    bool on_null(json::error_code &ec)
    {
        return scalar(Kind::other, 0, {}, ec);
    }
    bool on_comment_part(json::string_view, json::error_code &) { return true; }
    bool on_comment(json::string_view, json::error_code &) { return true; }

  private:
    enum class Role {
        top,
        exchange,
        request,
        response,
        latencies,
        req_headers,
        resp_headers,
        skip
    };
    enum class Member {
        other,
        request,
        response,
        latencies,
        client_ip,
        client_port,
        started_at,
        headers,
        body64,
        method,
        uri,
        status,
        latency,
        header
    };
    enum class Kind { object, array, string, integer, other };

    struct Level {
        Role role;
        Member member; /* the one being read; other in arrays */
    };

    static Member member(Role role, std::string_view k)
    {
        switch (role) {
        case Role::exchange:
            return k == "request"       ? Member::request
                   : k == "response"    ? Member::response
                   : k == "latencies"   ? Member::latencies
                   : k == "client_ip"   ? Member::client_ip
                   : k == "client_port" ? Member::client_port
                   : k == "started_at"  ? Member::started_at
                                        : Member::other;
        case Role::request:
            return k == "headers"  ? Member::headers
                   : k == "body64" ? Member::body64
                   : k == "method" ? Member::method
                   : k == "uri"    ? Member::uri
                                   : Member::other;
        case Role::response:
            return k == "headers"  ? Member::headers
                   : k == "body64" ? Member::body64
                   : k == "status" ? Member::status
                                   : Member::other;
        case Role::latencies:
            return k == "request" ? Member::latency : Member::other;
        case Role::req_headers:
        case Role::resp_headers:
            return Member::header;
        default:
            return Member::other;
        }
    }

    /* What a member must be, or other for anything. */
    static Kind expected(Role role, Member m)
    {
        if (role == Role::top) {
            return Kind::object;
        }
        switch (m) {
        case Member::request:
        case Member::response:
        case Member::latencies:
        case Member::headers:
            return Kind::object;
        case Member::client_ip:
        case Member::body64:
        case Member::method:
        case Member::uri:
        case Member::header:
            return Kind::string;
        case Member::client_port:
        case Member::started_at:
        case Member::status:
        case Member::latency:
            return Kind::integer;
        default:
            return Kind::other;
        }
    }

    bool bad(json::error_code &ec)
    {
        shape_error_ = true;
        ec = json::error::syntax;
        return false;
    }

    bool open(Kind kind, json::error_code &ec)
    {
        const Level &l = levels_.back();
        if (l.role == Role::top && ++items_ > 1) {
            return bad(ec);
        }
        Kind want = expected(l.role, l.member);
        /* a latency that is not a number is left out */
        bool lenient = l.role == Role::latencies;
        if (want != Kind::other && want != kind && !lenient) {
            return bad(ec);
        }
        Role role = Role::skip;
        if (kind == Kind::object && want == Kind::object) {
            switch (l.member) {
            case Member::request:
                role = Role::request;
                break;
            case Member::response:
                role = Role::response;
                break;
            case Member::latencies:
                role = Role::latencies;
                break;
            case Member::headers:
                role = l.role == Role::request ? Role::req_headers
                                               : Role::resp_headers;
                break;
            default:
                role = l.role == Role::top ? Role::exchange : Role::skip;
            }
        }
        levels_.push_back({role, Member::other});
        return true;
    }

    bool close()
    {
        levels_.pop_back();
        return true;
    }

    bool scalar(Kind kind, int64_t n, std::string_view text,
                json::error_code &ec)
    {
        if (levels_.empty()) {
            return bad(ec);
        }
        const Level &l = levels_.back();
        Kind want = expected(l.role, l.member);
        if (l.role == Role::top) {
            return bad(ec);
        }
        if (want == Kind::other) {
            return true;
        }
        if (want != kind) {
            return l.role == Role::latencies || bad(ec);
        }
        bool request = l.role == Role::request;
        switch (l.member) {
        case Member::client_ip:
            f_->client_ip.assign(text);
            break;
        case Member::client_port:
            f_->client_port = n;
            break;
        case Member::started_at:
            f_->started_at = n;
            break;
        case Member::body64:
            (request ? f_->req_body64 : f_->resp_body64) = std::string(text);
            break;
        case Member::method:
            f_->method.assign(text);
            break;
        case Member::uri:
            f_->uri.assign(text);
            break;
        case Member::status:
            f_->status = n;
            break;
        case Member::latency:
            f_->latency = n;
            break;
        case Member::header:
            (l.role == Role::req_headers ? f_->req_headers : f_->resp_headers)
                .emplace_back(name_, text);
            break;
        default:
            break;
        }
        return true;
    }

    MergedFields *f_ = nullptr;
    std::vector<Level> levels_;
    std::string name_; /* of the header whose value comes next */
    std::string part_; /* a key or string the parser gave in pieces */
    int items_ = 0;
    bool shape_error_ = false;
};

/* false with the parser's reason, or with shape set when the document is
 * JSON but not one exchange */
bool
parse_merged(std::string_view body, MergedFields &f, bool &shape,
             std::string &why)
{
    /* one parser per ingest thread: it keeps its buffers between messages */
    thread_local json::basic_parser<MergedHandler> parser{
        json::parse_options{}};
    parser.reset();
    parser.handler().begin(&f);
    json::error_code ec;
    parser.write_some(false, body.data(), body.size(), ec);
    shape = parser.handler().shape_error();
    if (!ec && !parser.handler().one_exchange()) {
        shape = true;
        return false;
    }
    if (ec) {
        why = ec.message();
        return false;
    }
    return true;
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
    MergedFields f;
    bool shape = false;
    std::string why;
    bool ok = parse_merged(req.body, f, shape, why);
    if (!ok && !shape && !valid_utf8(req.body)) {
        /* bytes that are not UTF-8 inside strings: read them the way the
         * sensor spells them once it escapes them, one code point each */
        f = MergedFields();
        ok = parse_merged(to_utf8(req.body), f, shape, why);
    }
    if (!ok && !shape) {
        error = "merged log is not JSON: " + why;
        return false;
    }
    if (!ok || !f.status || f.method.empty()) {
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
    out.meta = "{}";
    long cl = last_index(out.response_headers, "Content-Length");
    if (cl >= 0 && out.response_body) {
        auto declared = parse_digits(out.response_headers[cl].second);
        if (declared && *declared > out.response_body->size()) {
            out.response_body_truncated = true;
            out.meta = "{\"response_declared_length\":"
                       + std::to_string(*declared) + "}";
        }
    }
    return true;
}

bool
decode_response_log(const Request &req, Exchange &out, std::string &error)
{
    static constexpr std::string_view metadata_names[] = {
        wire::status,
        wire::request_id,
        wire::req_time,
        wire::resp_time,
        wire::client_addr,
        wire::req_uri,
        wire::req_host,
        wire::req_content_len,
        wire::req_content_type,
        wire::args,
        wire::method,
        wire::sensor_hostname,
        wire::sensor_instance,
        wire::sensor_logging_level,
        wire::orig_length,
        "Content-Length",
        wire::resp_truncated_body,
        wire::resp_content_len};
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

    json::object meta;
    json::array extra;
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
        if (iequals(n, wire::status)) {
            auto s = parse_digits(v);
            if (!s || *s > 999) {
                error = "bad X-Status";
                return false;
            }
            out.status = static_cast<int>(*s);
            have_status = true;
        } else if (iequals(n, wire::request_id)) {
            out.request_id = to_utf8(v);
        } else if (iequals(n, wire::req_time)) {
            out.time_ms = parse_signed(v).value_or(0);
        } else if (iequals(n, wire::resp_time)) {
            out.latency_ms = parse_signed(v).value_or(-1);
        } else if (iequals(n, wire::client_addr)) {
            std::tie(out.client_ip, out.client_port) = split_address(v);
        } else if (iequals(n, wire::req_uri)) {
            path = v;
        } else if (iequals(n, wire::req_host)) {
            req_host = v;
        } else if (iequals(n, wire::req_content_len)) {
            req_len = parse_signed(v);
        } else if (iequals(n, wire::req_content_type)) {
            req_type = v;
        } else if (iequals(n, wire::args)) {
            args = v;
        } else if (iequals(n, wire::method)) {
            out.method = to_utf8(v);
        } else if (iequals(n, sensor_hostname)) {
            out.sensor_host = to_utf8(v);
        } else if (iequals(n, sensor_instance)) {
            out.instance = to_utf8(v);
        } else if (iequals(n, sensor_level)) {
            out.logging_level = to_utf8(v);
        } else if (iequals(n, wire::orig_length)) {
            orig_len = parse_signed(v);
        } else if (iequals(n, resp_truncated)) {
            out.response_body_truncated = v == wire::truncated_value.view();
        } else if (iequals(n, wire::resp_content_len)) {
            resp_len = parse_signed(v);
        } else if (!iequals(n, "Content-Length")) {
            extra.push_back(json::array{json::string(to_utf8(n)),
                                        json::string(to_utf8(v))});
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
    out.meta = json::serialize(meta);
    return true;
}

namespace {

bool
finite_numbers(const json::value &v)
{
    switch (v.kind()) {
    case json::kind::double_:
        return std::isfinite(v.get_double());
    case json::kind::array:
        for (const auto &item : v.get_array()) {
            if (!finite_numbers(item)) {
                return false;
            }
        }
        return true;
    case json::kind::object:
        for (const auto &member : v.get_object()) {
            if (!finite_numbers(member.value())) {
                return false;
            }
        }
        return true;
    default:
        return true;
    }
}

} // namespace

bool
decode_stats(const Request &req, StatsDoc &out, std::string &error)
{
    json::error_code ec;
    json::value doc =
        json::parse(json::string_view(req.body.data(), req.body.size()), ec);
    const json::object *top = ec ? nullptr : doc.if_object();
    if (top == nullptr) {
        error = "statistics document is not a JSON object";
        return false;
    }
    const json::value *worker = top->if_contains("worker");
    const json::value *pid = worker && worker->is_object()
                                 ? worker->as_object().if_contains("pid")
                                 : nullptr;
    if (pid == nullptr || !(pid->is_int64() || pid->is_uint64())) {
        error = "statistics document without worker pid";
        return false;
    }
    const json::value *access = top->if_contains("access");
    const json::value *auth = top->if_contains("auth");
    if (access == nullptr || !access->is_object() || auth == nullptr
        || !auth->is_object()) {
        error = "statistics document without access and auth counters";
        return false;
    }
    /* a number too large for a double would be kept as text that no
     * JSON reader takes back; a sensor's counters are integers */
    if (!finite_numbers(*access) || !finite_numbers(*auth)) {
        error = "statistics document with a number out of range";
        return false;
    }
    out.pid = pid->is_int64() ? pid->as_int64()
                              : static_cast<int64_t>(pid->as_uint64());
    out.access = json::serialize(*access);
    out.auth = json::serialize(*auth);
    out.sensor_host = to_utf8(req.header(wire::sensor_host));
    out.instance = to_utf8(req.header(wire::sensor_instance));
    return true;
}

void
decode_heartbeat(const Request &req, Heartbeat &out)
{
    out.sensor_host = to_utf8(req.header(wire::sensor_hostname));
    out.instance = to_utf8(req.header(wire::sensor_instance));
    out.logging_level = to_utf8(req.header(wire::sensor_logging_level));
}

} // namespace kv
