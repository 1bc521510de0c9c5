#include "dispatch.h"

#include "text.h"

namespace kv {

namespace {

constexpr std::string_view heartbeat_path = "/kestrelvanes/heartbeat/v1";
constexpr std::string_view merged_path = "/mergedlog";

constexpr std::string_view ok_reply =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

std::string
text_reply(int status, const char *reason, const std::string &text, bool close,
           const std::string &extra_headers = {})
{
    std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason
                    + "\r\nContent-Type: text/plain\r\n" + extra_headers;
    if (close) {
        r += "Connection: close\r\n";
    }
    r += "Content-Length: " + std::to_string(text.size() + 1) + "\r\n\r\n";
    r += text;
    r += '\n';
    return r;
}

std::string_view
last_header(const Request &req, std::string_view name)
{
    std::string_view v;
    for (const auto &h : req.headers) {
        if (iequals(h.name, name)) {
            v = h.value;
        }
    }
    return v;
}

bool
looks_like_stats(std::string_view body)
{
    size_t i = body.find_first_not_of(" \t\r\n");
    return i != std::string_view::npos
           && body.compare(i, 10, "{\"worker\":") == 0;
}

int
hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string
authorized_path(const Request &req)
{
    std::string_view uri = last_header(req, "X-Req-Uri");
    uri = uri.substr(0, uri.find('?'));

    std::string decoded;
    for (size_t i = 0; i < uri.size(); i++) {
        if (uri[i] == '%' && i + 2 < uri.size() && hex_value(uri[i + 1]) >= 0
            && hex_value(uri[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(hex_value(uri[i + 1]) * 16
                                                + hex_value(uri[i + 2])));
            i += 2;
        } else {
            decoded.push_back(uri[i]);
        }
    }

    /* nginx routes on the normalised path ("//" merged, "." and ".."
     * resolved), so that is the path to decide on */
    std::vector<std::string> segments;
    size_t pos = 0;
    while (pos <= decoded.size()) {
        size_t slash = decoded.find('/', pos);
        if (slash == std::string::npos) {
            slash = decoded.size();
        }
        std::string seg = decoded.substr(pos, slash - pos);
        if (seg == "..") {
            if (!segments.empty()) {
                segments.pop_back();
            }
        } else if (!seg.empty() && seg != ".") {
            segments.push_back(std::move(seg));
        }
        pos = slash + 1;
    }
    std::string path;
    for (const auto &s : segments) {
        path += '/';
        path += s;
    }
    bool trailing = !decoded.empty() && decoded.back() == '/';
    if (path.empty() || trailing) {
        path += '/';
    }
    return path;
}

std::string
Dispatcher::framing_error_reply(const std::string &why)
{
    return text_reply(400, "Bad Request", why, true);
}

void
Dispatcher::authorize(const Request &req, std::string &reply)
{
    std::string path = authorized_path(req);
    bool guarded = false;
    for (const auto &prefix : rules_.protected_prefixes) {
        guarded = guarded || path.compare(0, prefix.size(), prefix) == 0;
    }
    if (!guarded) {
        bump(counters_.authorizations_allowed);
        reply += "HTTP/1.1 200 OK\r\nX-Auth-User: anonymous\r\n"
                 "Content-Length: 0\r\n\r\n";
        return;
    }
    std::string_view auth = req.header("Authorization");
    std::string expected = "Bearer " + rules_.token;
    if (auth.empty()) {
        bump(counters_.authorizations_denied);
        reply += "HTTP/1.1 401 Unauthorized\r\n"
                 "WWW-Authenticate: Bearer realm=\"kestrelvanes-example\"\r\n"
                 "Content-Length: 0\r\n\r\n";
        return;
    }
    if (auth != expected) {
        bump(counters_.authorizations_denied);
        reply += "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
        return;
    }
    bump(counters_.authorizations_allowed);
    reply +=
        "HTTP/1.1 200 OK\r\nX-Auth-User: demo\r\nContent-Length: 0\r\n\r\n";
}

bool
Dispatcher::handle(const Request &req, ConnectionInfo &conn, int64_t now,
                   std::string &reply, std::vector<Record> &records)
{
    bump(counters_.messages);
    std::string_view path = req.path();
    size_t before = reply.size();
    std::string error;

    if (path == heartbeat_path) {
        bump(counters_.heartbeats);
        Heartbeat hb;
        decode_heartbeat(req, hb);
        hb.time_ms = now;
        hb.pid = conn.pid;
        hb.peer = conn.peer;
        hb.connection = conn.id;
        records.emplace_back(std::move(hb));
        /* the sensor applies a reply only when it arrives in one read:
         * it is appended whole and written with what precedes it */
        reply += control_.current()->heartbeat_reply;

    } else if (path == rules_.path) {
        authorize(req, reply);

    } else if (path == merged_path || looks_like_stats(req.body)
               || req.has_header("X-Status")) {
        bool merged = path == merged_path;
        bool stats = !merged && looks_like_stats(req.body);
        bool ok;
        if (stats) {
            StatsDoc doc;
            ok = decode_stats(req, doc, error);
            if (ok) {
                bump(counters_.stats_documents);
                doc.time_ms = now;
                doc.peer = conn.peer;
                doc.connection = conn.id;
                conn.pid = doc.pid;
                records.emplace_back(std::move(doc));
            }
        } else {
            Exchange e;
            ok = merged ? decode_merged(req, e, error)
                        : decode_response_log(req, e, error);
            if (ok) {
                bump(merged ? counters_.merged_logs : counters_.response_logs);
                e.received_ms = now;
                e.peer = conn.peer;
                records.emplace_back(std::move(e));
            }
        }
        if (ok) {
            reply += ok_reply;
        } else {
            bump(counters_.malformed_messages);
            reply += text_reply(400, "Bad Request", error, !req.keep_alive);
        }

    } else {
        bump(counters_.unknown_messages);
        reply += text_reply(404, "Not Found",
                            "not a message this collector knows", false);
    }

    if (!req.keep_alive) {
        /* HTTP/1.0 peers (nginx proxies by default) expect the close */
        if (reply.compare(before, 9, "HTTP/1.1 ") == 0
            && reply.find("Connection: close", before) == std::string::npos) {
            reply.insert(reply.find("\r\n", before) + 2,
                         "Connection: close\r\n");
        }
        return false;
    }
    return true;
}

} // namespace kv
