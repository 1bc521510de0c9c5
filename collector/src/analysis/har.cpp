/*
 * HAR 1.2 documents.  A pure function; any thread.
 */

#include "analysis/har.h"

#include <ctime>

#include <boost/json.hpp>

#include "analysis/openapi.h"
#include "analysis/text.h"

namespace kv::analysis {

namespace json = boost::json;

namespace {

json::array
header_list(const HeaderPairs &headers)
{
    json::array a;
    for (const auto &[n, v] : headers) {
        a.push_back(json::object{{"name", to_valid_utf8(n)},
                                 {"value", to_valid_utf8(v)}});
    }
    return a;
}

/* Cookie: a=1; b=2 */
json::array
request_cookies(const HeaderPairs &headers)
{
    json::array a;
    for (const auto &[n, v] : headers) {
        if (!iequals(n, "cookie")) {
            continue;
        }
        std::string_view rest = v;
        while (!rest.empty()) {
            size_t semi = rest.find(';');
            std::string_view part = trim(rest.substr(0, semi));
            size_t eq = part.find('=');
            if (!part.empty()) {
                a.push_back(json::object{
                    {"name", to_valid_utf8(trim(part.substr(0, eq)))},
                    {"value", eq == std::string_view::npos
                                  ? std::string()
                                  : to_valid_utf8(trim(part.substr(eq + 1)))}});
            }
            if (semi == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(semi + 1);
        }
    }
    return a;
}

/* Set-Cookie: a=1; Path=/; HttpOnly */
json::array
response_cookies(const HeaderPairs &headers)
{
    json::array a;
    for (const auto &[n, v] : headers) {
        if (!iequals(n, "set-cookie")) {
            continue;
        }
        std::string_view rest = v;
        size_t semi = rest.find(';');
        std::string_view pair = trim(rest.substr(0, semi));
        size_t eq = pair.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        json::object c{{"name", to_valid_utf8(trim(pair.substr(0, eq)))},
                       {"value", to_valid_utf8(trim(pair.substr(eq + 1)))}};
        while (semi != std::string_view::npos) {
            rest.remove_prefix(semi + 1);
            semi = rest.find(';');
            std::string_view attr = trim(rest.substr(0, semi));
            size_t aeq = attr.find('=');
            std::string name = to_lower(trim(attr.substr(0, aeq)));
            std::string_view value = aeq == std::string_view::npos
                                         ? std::string_view()
                                         : trim(attr.substr(aeq + 1));
            if (name == "path") {
                c["path"] = to_valid_utf8(value);
            } else if (name == "domain") {
                c["domain"] = to_valid_utf8(value);
            } else if (name == "httponly") {
                c["httpOnly"] = true;
            } else if (name == "secure") {
                c["secure"] = true;
            }
        }
        a.push_back(std::move(c));
    }
    return a;
}

json::array
query_list(std::string_view query)
{
    json::array a;
    for_each_param(query, [&a](std::string_view n, std::string_view v) {
        a.push_back(
            json::object{{"name", to_valid_utf8(percent_decode(n, true))},
                         {"value", to_valid_utf8(percent_decode(v, true))}});
    });
    return a;
}

std::string
header_or(const HeaderPairs &headers, std::string_view name,
          std::string_view fallback)
{
    const std::string *v = find_header(headers, name);
    return to_valid_utf8(v ? std::string_view(*v) : fallback);
}

/* text, or base64 when the bytes are not UTF-8 */
void
put_text(json::object &o, const std::string &body, bool truncated,
         bool encoding_field)
{
    if (is_valid_utf8(body)) {
        o["text"] = body;
    } else {
        o["text"] = base64_encode(body);
        /* postData has no "encoding" in HAR 1.2: a custom field and a
         * comment say it there */
        o[encoding_field ? "encoding" : "_encoding"] = "base64";
    }
    if (truncated) {
        o["comment"] = "body truncated by the sensor's capture limit";
    }
}

} // namespace

std::string
iso8601_ms(int64_t unix_ms)
{
    int64_t secs = unix_ms >= 0 ? unix_ms / 1000 : (unix_ms - 999) / 1000;
    int ms = static_cast<int>(unix_ms - secs * 1000);
    std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, ms);
    return buf;
}

json::value
har_document(const std::vector<ExchangeRecord> &records,
             const HarOptions &options)
{
    json::array entries;
    for (const ExchangeRecord &x : records) {
        std::string url =
            (x.scheme.empty() ? "http" : x.scheme) + "://"
            + (x.host.empty() ? header_or(x.request_headers, "host", "unknown")
                              : x.host)
            + (x.path.empty() ? "/" : x.path);
        if (!x.query.empty()) {
            url += "?" + x.query;
        }
        json::object request;
        request["method"] = to_valid_utf8(x.method);
        request["url"] = to_valid_utf8(url);
        request["httpVersion"] = x.http_version;
        request["cookies"] = request_cookies(x.request_headers);
        request["headers"] = header_list(x.request_headers);
        request["queryString"] = query_list(x.query);
        if (!x.request_body.empty()) {
            json::object post;
            post["mimeType"] = header_or(x.request_headers, "content-type",
                                         "application/octet-stream");
            put_text(post, x.request_body, x.request_body_truncated, false);
            request["postData"] = std::move(post);
        }
        request["headersSize"] = -1;
        request["bodySize"] = static_cast<int64_t>(x.request_body.size());

        json::object content;
        content["size"] = static_cast<int64_t>(x.response_body.size());
        content["mimeType"] =
            header_or(x.response_headers, "content-type", "x-unknown");
        if (!x.response_body.empty()) {
            put_text(content, x.response_body, x.response_body_truncated, true);
        }
        json::object response;
        response["status"] = x.status;
        response["statusText"] = reason_phrase(x.status);
        response["httpVersion"] = x.http_version;
        response["cookies"] = response_cookies(x.response_headers);
        response["headers"] = header_list(x.response_headers);
        response["content"] = std::move(content);
        response["redirectURL"] = header_or(x.response_headers, "location", "");
        response["headersSize"] = -1;
        response["bodySize"] = static_cast<int64_t>(x.response_body.size());

        /* the sensor measures the whole exchange, not its phases */
        int64_t total = x.latency_ms >= 0 ? x.latency_ms : 0;
        json::object timings{{"send", 0}, {"wait", total}, {"receive", 0}};
        json::object entry;
        entry["startedDateTime"] = iso8601_ms(x.start_ms);
        entry["time"] = total;
        entry["request"] = std::move(request);
        entry["response"] = std::move(response);
        entry["cache"] = json::object();
        entry["timings"] = std::move(timings);
        if (!x.client_address.empty()) {
            entry["_clientAddress"] = to_valid_utf8(x.client_address);
        }
        entries.push_back(std::move(entry));
    }
    json::object creator{{"name", options.creator_name},
                         {"version", options.creator_version}};
    json::object log{{"version", "1.2"},
                     {"creator", std::move(creator)},
                     {"entries", std::move(entries)}};
    return json::object{{"log", std::move(log)}};
}

} // namespace kv::analysis
