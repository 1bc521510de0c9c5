#include "ingest/dispatcher.h"

#include "base/text.h"
#include "kv_protocol.h"
#include "protocol/decode.h"

namespace kv {

namespace {

constexpr std::string_view heartbeat_path = kv_protocol::heartbeat_path;
constexpr std::string_view merged_path = kv_protocol::merged_log_path;

/* Headers a browser adds to what a page sends, and a sensor never does. */
constexpr std::string_view browser_headers[] = {"Origin", "Sec-Fetch-Site",
                                                "Sec-Fetch-Mode"};

bool
from_a_browser(const Request &req)
{
    for (const auto &h : req.headers) {
        for (std::string_view name : browser_headers) {
            if (iequals(h.name, name)) {
                return true;
            }
        }
    }
    return false;
}

bool
looks_like_stats(std::string_view body)
{
    size_t i = body.find_first_not_of(" \t\r\n");
    return i != std::string_view::npos
           && body.compare(i, 10, "{\"worker\":") == 0;
}

} // namespace

std::string
Dispatcher::framing_error_reply(const std::string &why)
{
    return text_reply(400, "Bad Request", why, true);
}

bool
Dispatcher::handle(const Request &req, ConnectionInfo &conn, int64_t now,
                   std::string &reply, std::vector<Record> &records)
{
    bump(counters_.messages);
    std::string_view path = req.path();
    size_t before = reply.size();
    std::string error;

    if (path == authorizer_.path()) {
        /* a decision on a client's request, which carries that client's
         * own headers, whatever its browser added; nothing is stored */
        authorizer_.answer(req, reply);

    } else if (from_a_browser(req)) {
        /* a page in a browser the operator uses can send requests here,
         * and a no-cors request needs no permission: never store them */
        bump(counters_.browser_requests_refused);
        reply += text_reply(403, "Forbidden", "not a sensor", true);
        return false;

    } else if (path == heartbeat_path) {
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

    } else if (path == merged_path || looks_like_stats(req.body)
               || req.has_header(kv_protocol::status)) {
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
