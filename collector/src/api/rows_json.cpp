#include "api/rows_json.h"

#include <algorithm>

#include <boost/json/parse.hpp>

#include "base/text.h"

namespace kv {

namespace json = boost::json;

namespace {

json::value
nullable(const std::optional<int64_t> &v)
{
    return v ? json::value(*v) : json::value(nullptr);
}

/* The same time as a date, for people and tools that read dates. */
json::value
date(const std::optional<int64_t> &ms)
{
    return ms ? json::value(iso8601(*ms)) : json::value(nullptr);
}

/* A JSON document kept as text (meta, counters) back as a value; what is
 * not JSON (a row someone edited) reads as null. */
json::value
stored_json(const std::string &text)
{
    json::error_code ec;
    json::value v = json::parse(text, ec);
    return ec ? json::value(nullptr) : v;
}

json::array
headers_json(const HeaderList &headers)
{
    json::array a;
    a.reserve(headers.size());
    for (const auto &[name, value] : headers) {
        a.emplace_back(json::array{json::string(name), json::string(value)});
    }
    return a;
}

/* A cut at the window may fall inside a character: the bytes of that
 * character are left out rather than shown as something else. */
std::string_view
whole_characters(std::string_view s)
{
    if (valid_utf8(s)) {
        return s;
    }
    for (size_t drop = 1; drop <= 3 && drop < s.size(); drop++) {
        auto lead = static_cast<unsigned char>(s[s.size() - drop]);
        if (lead >= 0xC0 && valid_utf8(s.substr(0, s.size() - drop))) {
            return s.substr(0, s.size() - drop);
        }
    }
    return s;
}

/*
 * A body as the API shows it: text, with the exact bytes in base64 beside
 * it when they are not UTF-8 (the text then shows each such byte as the
 * character of the same number).  Partial when only its first bytes were
 * read; those end on a whole character.
 */
void
put_body(json::object &j, const char *name,
         const std::optional<std::string> &shown,
         const std::optional<int64_t> &size)
{
    std::string key(name);
    if (!shown) {
        j[key] = nullptr;
        return;
    }
    std::string_view bytes = *shown;
    if (size && static_cast<size_t>(*size) > shown->size()) {
        bytes = whole_characters(bytes);
    }
    if (valid_utf8(bytes)) {
        j[key] = json::string(bytes);
    } else {
        j[key] = to_utf8(bytes);
        j[key + "_base64"] = base64_encode(bytes);
    }
}

/* Whether more of the body is kept than is shown, and where all of it
 * downloads from. */
void
put_body_link(json::object &j, const char *name, int64_t id,
              const std::optional<std::string> &shown,
              const std::optional<int64_t> &size)
{
    std::string key(name);
    j[key + "_partial"] =
        shown && size && static_cast<size_t>(*size) > shown->size();
    j[key + "_url"] =
        shown ? json::value(body_url(id, name)) : json::value(nullptr);
}

void
put_summary(json::object &j, const ExchangeRow &row)
{
    const Exchange &x = row.exchange;
    j["id"] = row.id;
    j["time_ms"] = x.time_ms;
    j["sensor_host"] = x.sensor_host;
    j["instance"] = x.instance;
    j["format"] = x.format;
    j["method"] = x.method;
    j["uri"] = x.uri;
    j["status"] = x.status;
    j["client_ip"] = x.client_ip;
    j["client_port"] = x.client_port;
    j["latency_ms"] =
        x.latency_ms < 0 ? json::value(nullptr) : json::value(x.latency_ms);
}

void
put_tail(json::object &j, const ExchangeRow &row)
{
    const Exchange &x = row.exchange;
    j["request_body_truncated"] = x.request_body_truncated;
    j["response_body_truncated"] = x.response_body_truncated;
    j["worker_pid"] =
        x.worker_pid > 0 ? json::value(x.worker_pid) : json::value(nullptr);
    j["request_id"] = x.request_id;
    j["logging_level"] = x.logging_level;
    j["received_ms"] = x.received_ms;
    /* the two times as dates too */
    j["time"] = iso8601(x.time_ms);
    j["received"] = iso8601(x.received_ms);
    j["request_body_size"] = nullable(row.request_body_size);
    j["response_body_size"] = nullable(row.response_body_size);
}

} // namespace

std::string
body_url(int64_t id, const char *part)
{
    return "/api/exchanges/" + std::to_string(id) + "/" + part;
}

json::object
exchange_summary_json(const ExchangeRow &row)
{
    json::object j;
    j.reserve(22);
    put_summary(j, row);
    put_tail(j, row);
    j["peer"] = row.exchange.peer;
    return j;
}

json::object
exchange_json(const ExchangeRow &row)
{
    const Exchange &x = row.exchange;
    json::object j;
    j.reserve(36);
    put_summary(j, row);
    j["request_headers"] = headers_json(x.request_headers);
    j["response_headers"] = headers_json(x.response_headers);
    put_body(j, "request_body", x.request_body, row.request_body_size);
    put_body(j, "response_body", x.response_body, row.response_body_size);
    put_tail(j, row);
    j["meta"] = stored_json(x.meta);
    j["peer"] = x.peer;
    put_body_link(j, "request_body", row.id, x.request_body,
                  row.request_body_size);
    put_body_link(j, "response_body", row.id, x.response_body,
                  row.response_body_size);
    return j;
}

json::object
sensor_json(const SensorRow &s, int64_t now, int64_t offline_after_ms)
{
    int64_t seen =
        std::max(s.last_heartbeat_ms.value_or(0), s.last_stats_ms.value_or(0));
    json::object j;
    j["key"] = s.key;
    j["host"] = s.host;
    j["instance"] = s.instance;
    j["pid"] = nullable(s.pid);
    j["online"] = seen > 0 && now - seen <= offline_after_ms;
    j["mode"] = s.mode ? json::value(*s.mode) : json::value(nullptr);
    j["last_heartbeat_ms"] = nullable(s.last_heartbeat_ms);
    j["last_heartbeat"] = date(s.last_heartbeat_ms);
    j["heartbeats"] = s.heartbeats;
    j["last_stats_ms"] = nullable(s.last_stats_ms);
    j["last_stats"] = date(s.last_stats_ms);
    j["peer"] = s.peer;
    j["first_seen_ms"] = s.first_seen_ms;
    j["first_seen"] = iso8601(s.first_seen_ms);
    return j;
}

json::object
stats_json(const StatsRow &s)
{
    json::object j;
    j["id"] = s.id;
    j["time_ms"] = s.time_ms;
    j["time"] = iso8601(s.time_ms);
    j["sensor_host"] = s.sensor_host;
    j["instance"] = s.instance;
    j["pid"] = s.pid;
    j["access"] = stored_json(s.access);
    j["auth"] = stored_json(s.auth);
    return j;
}

json::object
control_change_json(const ControlChangeRow &c)
{
    auto settings = [](const std::string &text) {
        json::error_code ec;
        json::value v = json::parse(text, ec);
        return ec || !v.is_object() ? json::object() : v.get_object();
    };
    json::object before = settings(c.before);
    json::object after = settings(c.after);
    json::array changed;
    for (const auto &member : after) {
        const json::value *was = before.if_contains(member.key());
        if (was == nullptr || *was != member.value()) {
            changed.emplace_back(member.key());
        }
    }
    json::object j;
    j["id"] = c.id;
    j["time_ms"] = c.time_ms;
    j["caller"] = c.caller;
    j["changed"] = std::move(changed);
    j["before"] = std::move(before);
    j["after"] = std::move(after);
    return j;
}

json::object
counters_json(const IngestCounters &ingest, const Store &store)
{
    json::object j;
#define KV_PUT(name) j[#name] = ingest.name.load(std::memory_order_relaxed);
    KV_INGEST_COUNTERS(KV_PUT)
#undef KV_PUT
    const StoreCounters &sc = store.counters();
    j["exchanges_stored"] = sc.exchanges_stored.load();
    j["duplicates_ignored"] = sc.duplicates_ignored.load();
    j["stats_stored"] = sc.stats_stored.load();
    j["heartbeats_stored"] = sc.heartbeats_stored.load();
    j["rows_pruned"] = sc.rows_pruned.load();
    j["queue_dropped"] = sc.queue_dropped.load();
    j["write_errors"] = sc.write_errors.load();
    j["partitions_created"] = sc.partitions_created.load();
    j["partitions_dropped"] = sc.partitions_dropped.load();
    j["queued"] = store.queued();
    return j;
}

} // namespace kv
