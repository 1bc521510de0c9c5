/*
 * What the collector's fuzz targets share: the check that stops a run, a
 * store on a temporary file that every input's records go through and
 * are read back from, a redactor, and the comparison of an exchange with
 * what came back.  Each target runs on libFuzzer's one thread.
 */
#ifndef KV_FUZZ_COLLECTOR_SUPPORT_H
#define KV_FUZZ_COLLECTOR_SUPPORT_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <boost/json/parse.hpp>

#include "analysis/redaction.h"
#include "base/text.h"
#include "store/sqlite_store.h"

namespace kvfuzz {

/* A property that does not hold: said on stderr, and the run stops. */
[[noreturn]] inline void
fail(const char *what, const std::string &detail = std::string())
{
    std::fprintf(stderr, "\nPROPERTY FAILED: %s\n", what);
    if (!detail.empty()) {
        std::fwrite(detail.data(), 1, std::min<size_t>(detail.size(), 4096),
                    stderr);
        std::fputc('\n', stderr);
    }
    std::abort();
}

#define KV_REQUIRE(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            kvfuzz::fail(#cond, ##__VA_ARGS__);                                \
        }                                                                      \
    } while (0)

/* The store records go through: a database file on tmpfs when there is
 * one, kept small, started once for the run. */
inline kv::SqliteStore &
store()
{
    static std::unique_ptr<kv::SqliteStore> s = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string dir = base + "/kv-fuzz-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr) {
            fail("no temporary directory");
        }
        kv::SqliteStore::Options opt;
        opt.path = dir + "/collector.db";
        opt.retain_rows = 200;
        std::string error;
        auto opened = kv::SqliteStore::open(opt, error);
        if (!opened) {
            fail("cannot open the store", error);
        }
        opened->start();
        return opened;
    }();
    return *s;
}

inline kv::analysis::Redactor &
redactor()
{
    static kv::analysis::Redactor r([] {
        kv::analysis::RedactionOptions o;
        o.key = "fuzz-key";
        o.extra_keys = {"note"};
        return o;
    }());
    return r;
}

inline std::string
headers_text(const kv::HeaderList &h)
{
    std::string out;
    for (const auto &[n, v] : h) {
        out += n + ": " + v + "\n";
    }
    return out;
}

/* Every text member of a record is UTF-8: the store keeps headers as
 * JSON, and the console shows them. */
inline void
require_utf8(const kv::Exchange &x, const char *when)
{
    for (const std::string *s :
         {&x.sensor_host, &x.instance, &x.format, &x.method, &x.uri,
          &x.client_ip, &x.request_id, &x.logging_level, &x.meta, &x.peer}) {
        if (!kv::valid_utf8(*s)) {
            fail(when, *s);
        }
    }
    for (const auto *list : {&x.request_headers, &x.response_headers}) {
        for (const auto &[n, v] : *list) {
            if (!kv::valid_utf8(n) || !kv::valid_utf8(v)) {
                fail(when, n + ": " + v);
            }
        }
    }
}

/* The exchange as the store hands it back after keeping it. */
inline kv::ExchangeRow
kept(const kv::Exchange &x)
{
    /* the store keeps an exchange once per request id: inputs that repeat
     * one (every replay of a seed) get an id of their own, given back
     * after */
    static unsigned long long sent = 0;
    kv::Exchange own = x;
    own.request_id = "fuzz-" + std::to_string(++sent);
    std::vector<kv::Record> one;
    one.emplace_back(std::move(own));
    kv::SqliteStore &s = store();
    s.push(one);
    s.flush();
    kv::ExchangeQuery q;
    q.limit = 1;
    auto newest = s.exchanges(q);
    KV_REQUIRE(newest.size() == 1, "not stored");
    auto row = s.exchange(newest[0].id, kv::BodyWindow{SIZE_MAX, SIZE_MAX});
    KV_REQUIRE(row.has_value(), "not read back");
    KV_REQUIRE(row->exchange.request_id == "fuzz-" + std::to_string(sent),
               "another exchange read back");
    row->exchange.request_id = x.request_id;
    return *row;
}

/* A stored exchange reads back as it was sent to the store. */
inline void
require_kept_as_sent(const kv::Exchange &x)
{
    kv::ExchangeRow row = kept(x);
    const kv::Exchange &y = row.exchange;
#define KV_SAME(m) KV_REQUIRE(x.m == y.m, #m " differs after the store")
    KV_SAME(time_ms);
    KV_SAME(received_ms);
    KV_SAME(sensor_host);
    KV_SAME(instance);
    KV_SAME(worker_pid);
    KV_SAME(format);
    KV_SAME(method);
    KV_SAME(uri);
    KV_SAME(status);
    KV_SAME(client_ip);
    KV_SAME(client_port);
    KV_SAME(latency_ms);
    KV_SAME(request_id);
    KV_SAME(logging_level);
    auto body = [](const std::optional<std::string> &b) {
        return b ? "\"" + *b + "\" (" + std::to_string(b->size()) + " bytes)"
                 : std::string("none");
    };
    KV_REQUIRE(x.request_body == y.request_body,
               body(x.request_body) + " came back as " + body(y.request_body));
    KV_REQUIRE(x.response_body == y.response_body, body(x.response_body)
                                                       + " came back as "
                                                       + body(y.response_body));
    KV_SAME(request_body_truncated);
    KV_SAME(response_body_truncated);
    KV_SAME(peer);
#undef KV_SAME
    KV_REQUIRE(x.request_headers == y.request_headers,
               headers_text(x.request_headers) + "---\n"
                   + headers_text(y.request_headers));
    KV_REQUIRE(x.response_headers == y.response_headers,
               headers_text(x.response_headers) + "---\n"
                   + headers_text(y.response_headers));
    KV_REQUIRE(y.meta == (x.meta.empty() ? "{}" : x.meta), y.meta);
    KV_REQUIRE(row.request_body_size
                   == (x.request_body ? std::optional<int64_t>(
                           static_cast<int64_t>(x.request_body->size()))
                                      : std::nullopt),
               "request body size");
}

inline bool
is_json(const std::string &s)
{
    boost::json::error_code ec;
    boost::json::parse(s, ec);
    return !ec;
}

/* Redaction as ingest runs it, and what it must keep: UTF-8 text stays
 * UTF-8, and a body that was JSON stays JSON. */
inline void
redact_and_check(kv::Exchange &x)
{
    bool req_json = x.request_body && is_json(*x.request_body);
    bool resp_json = x.response_body && is_json(*x.response_body);
    kv::analysis::RedactionReport report;
    auto header = [](const kv::HeaderList &h, std::string_view name) {
        for (const auto &[n, v] : h) {
            if (kv::iequals(n, name)) {
                return std::string_view(v);
            }
        }
        return std::string_view();
    };
    kv::analysis::Redactor &r = redactor();
    if (x.request_body) {
        r.redact_body(*x.request_body,
                      header(x.request_headers, "Content-Type"),
                      header(x.request_headers, "Content-Encoding"), report);
    }
    if (x.response_body) {
        r.redact_body(*x.response_body,
                      header(x.response_headers, "Content-Type"),
                      header(x.response_headers, "Content-Encoding"), report);
    }
    r.redact_headers(x.request_headers, report);
    r.redact_headers(x.response_headers, report);
    r.redact_target(x.uri, report);
    require_utf8(x, "text is not UTF-8 after redaction");
    KV_REQUIRE(!req_json || is_json(*x.request_body), *x.request_body);
    KV_REQUIRE(!resp_json || is_json(*x.response_body), *x.response_body);
}

} // namespace kvfuzz

#endif
