/*
 * The collector's statistics-document decoder, fed an arbitrary body
 * under the head the sensor writes.
 *
 * Beyond "no crash", a document it takes:
 * - keeps the worker's counters as JSON objects equal to those sent (a
 *   fractional number to its last bit or two: Boost.JSON reads decimals
 *   to within an ulp, not exactly);
 * - reads back from the store as it was handed to it.
 */
#include <cmath>
#include <cstdint>
#include <string>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "protocol/decode.h"
#include "support.h"

namespace json = boost::json;

namespace {

bool
same_json(const json::value &a, const json::value &b)
{
    if (a.is_double() && b.is_double()) {
        double x = a.get_double(), y = b.get_double();
        return x == y || std::fabs(x - y) <= 1e-15 * std::fabs(x);
    }
    if (a.kind() != b.kind()) {
        return false;
    }
    if (a.is_array()) {
        const auto &p = a.get_array(), &q = b.get_array();
        if (p.size() != q.size()) {
            return false;
        }
        for (size_t i = 0; i < p.size(); i++) {
            if (!same_json(p[i], q[i])) {
                return false;
            }
        }
        return true;
    }
    if (a.is_object()) {
        const auto &p = a.get_object(), &q = b.get_object();
        if (p.size() != q.size()) {
            return false;
        }
        auto i = p.begin();
        auto j = q.begin();
        for (; i != p.end(); ++i, ++j) {
            if (i->key() != j->key() || !same_json(i->value(), j->value())) {
                return false;
            }
        }
        return true;
    }
    return a == b;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string body(reinterpret_cast<const char *>(data), size);
    std::string message = "POST /nginxstats HTTP/1.1\r\nHost: c\r\n"
                          "X-Kv-Sensor-Host: web-\xff\r\n"
                          "X-Kv-Sensor-Instance: fuzz\r\nContent-Length: "
                          + std::to_string(size) + "\r\n\r\n" + body;
    kv::Framer framer;
    kv::Request req;
    KV_REQUIRE(framer.next(message, req) == kv::Parse::complete,
               framer.error());

    kv::StatsDoc doc;
    std::string error;
    if (!kv::decode_stats(req, doc, error)) {
        KV_REQUIRE(!error.empty(), "a refusal without a reason");
        return 0;
    }
    json::value sent = json::parse(body);
    for (const char *part : {"access", "auth"}) {
        json::error_code ec;
        json::value kept =
            json::parse(part[1] == 'c' ? doc.access : doc.auth, ec);
        KV_REQUIRE(!ec && kept.is_object(), part);
        KV_REQUIRE(same_json(kept, sent.at(part)),
                   json::serialize(sent.at(part)) + " became "
                       + json::serialize(kept));
    }
    KV_REQUIRE(kv::valid_utf8(doc.sensor_host) && kv::valid_utf8(doc.instance),
               doc.sensor_host);

    doc.time_ms = 1700000000000;
    doc.peer = "127.0.0.1:40000";
    std::vector<kv::Record> one;
    one.emplace_back(doc);
    kv::SqliteStore &store = kvfuzz::store();
    store.push(one);
    store.flush();
    kv::StatsQuery q;
    q.limit = 1;
    auto rows = store.stats(q);
    KV_REQUIRE(rows.size() == 1, "not stored");
    const kv::StatsRow &r = rows[0];
    KV_REQUIRE(r.time_ms == doc.time_ms && r.sensor_host == doc.sensor_host
                   && r.instance == doc.instance && r.pid == doc.pid
                   && r.access == doc.access && r.auth == doc.auth,
               r.access + " / " + r.auth);
    return 0;
}
