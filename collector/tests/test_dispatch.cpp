/*
 * One request in, one reply out: the recorded sensor streams through the
 * dispatcher, the example authorization service, and what is stored.
 */

#include <gtest/gtest.h>

#include <unistd.h>

#include "dispatch.h"
#include "text.h"
#include "support.h"

using kvtest::data;
using kvtest::split_all;

namespace {

struct Rig {
    kv::IngestCounters counters;
    kv::ControlState control{"", counters, [](const std::string &) {}};
    kv::Dispatcher dispatcher{control, counters, kv::AuthRules{}};
    kv::ConnectionInfo conn{1, "127.0.0.1:40000", 0};
    std::string replies;
    std::vector<kv::Record> records;

    /* every request of stream; how many kept the connection open */
    size_t run(const std::string &stream)
    {
        size_t kept = 0;
        for (const auto &req : split_all(stream)) {
            kept += dispatcher.handle(req, conn, 1000, replies, records);
        }
        return kept;
    }
};

std::string
auth_request(const std::string &extra)
{
    return "POST /kestrelvanes/authorize HTTP/1.1\r\nHost: a\r\n" + extra
           + "\r\n";
}

std::string
temp_db()
{
    char dir[] = "/tmp/kv-store-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return std::string(dir) + "/collector.db";
}

} // namespace

TEST(Dispatcher, RecordedStreamsAreAnsweredInOrder)
{
    Rig rig;
    std::string all = data("merged_stream.bin") + data("response_stream.bin")
                      + data("control_stream.bin");
    EXPECT_EQ(rig.run(all), 11u);

    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    std::string want;
    for (int i = 0; i < 10; i++) {
        want += ok;
    }
    want += rig.control.current()->heartbeat_reply;
    EXPECT_EQ(rig.replies, want);

    ASSERT_EQ(rig.records.size(), 11u);
    for (int i = 0; i < 9; i++) {
        ASSERT_TRUE(std::holds_alternative<kv::Exchange>(rig.records[i]));
        EXPECT_EQ(std::get<kv::Exchange>(rig.records[i]).format,
                  i < 4 ? "merged" : "response");
        EXPECT_EQ(std::get<kv::Exchange>(rig.records[i]).peer,
                  "127.0.0.1:40000");
    }
    auto &stats = std::get<kv::StatsDoc>(rig.records[9]);
    auto &hb = std::get<kv::Heartbeat>(rig.records[10]);
    /* the statistics document named the worker on this connection */
    EXPECT_EQ(hb.pid, stats.pid);
    EXPECT_EQ(rig.conn.pid, stats.pid);
    EXPECT_EQ(rig.counters.merged_logs.load(), 4u);
    EXPECT_EQ(rig.counters.response_logs.load(), 5u);
    EXPECT_EQ(rig.counters.heartbeats.load(), 1u);
    EXPECT_EQ(rig.counters.stats_documents.load(), 1u);
}

TEST(Dispatcher, BadMessagesCostThemselvesOnly)
{
    Rig rig;
    std::string bad_json = "POST /mergedlog?sensor=nginx HTTP/1.1\r\n"
                           "Content-Length: 5\r\n\r\n[{oops";
    std::string unknown = "GET /favicon.ico HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string stream = bad_json + unknown + data("merged_stream.bin");
    EXPECT_EQ(rig.run(stream), 6u);
    EXPECT_EQ(rig.replies.substr(0, 24), "HTTP/1.1 400 Bad Request");
    EXPECT_NE(rig.replies.find("HTTP/1.1 404 Not Found"), std::string::npos);
    EXPECT_EQ(rig.records.size(), 4u);
    EXPECT_EQ(rig.counters.malformed_messages.load(), 1u);
    EXPECT_EQ(rig.counters.unknown_messages.load(), 1u);

    /* an HTTP/1.0 peer is told the connection closes */
    Rig old;
    EXPECT_EQ(old.run("POST /kestrelvanes/authorize HTTP/1.0\r\n"
                      "X-Req-Uri: /\r\n\r\n"),
              0u);
    EXPECT_NE(old.replies.find("\r\nConnection: close\r\n"), std::string::npos);
}

TEST(Authorizer, DecidesOnTheSensorsOwnPath)
{
    struct Case {
        std::string headers;
        const char *status;
    } cases[] = {
        {"X-Req-Uri: /api/items?x=1\r\n", "200"},
        {"X-Req-Uri: /api/private/report\r\n", "401"},
        {"X-Req-Uri: /api/private/report\r\n"
         "Authorization: Bearer demo-token\r\n",
         "200"},
        {"X-Req-Uri: /api/private/report\r\nAuthorization: Bearer nope\r\n",
         "403"},
        /* a client's own X-Req-Uri comes first; the sensor's decides */
        {"X-Req-Uri: /api/public\r\nX-Req-Uri: /api/private/x\r\n", "401"},
        /* nginx routes on the decoded, normalised path */
        {"X-Req-Uri: /api/%70rivate/x\r\n", "401"},
        {"X-Req-Uri: /api/public/../private/x\r\n", "401"},
        {"X-Req-Uri: //api//private/x\r\n", "401"},
        {"X-Req-Uri: /api/./private/x\r\n", "401"},
        {"X-Req-Uri: /api/privateer\r\n", "200"},
    };
    for (const auto &c : cases) {
        Rig rig;
        rig.run(auth_request(c.headers));
        EXPECT_EQ(rig.replies.substr(9, 3), c.status) << c.headers;
        EXPECT_TRUE(rig.records.empty());
    }
    Rig rig;
    rig.run(auth_request("X-Req-Uri: /api/private/x\r\n"));
    EXPECT_NE(rig.replies.find("WWW-Authenticate: Bearer"), std::string::npos);
    EXPECT_EQ(rig.counters.authorizations_denied.load(), 1u);
}

TEST(Store, ExchangesAreKeptQueriedAndPruned)
{
    kv::Store::Options opt;
    opt.path = temp_db();
    opt.retain_rows = 6;
    std::string error;
    auto store = kv::Store::open(opt, error);
    ASSERT_TRUE(store) << error;
    store->start();

    Rig rig;
    rig.run(data("merged_stream.bin") + data("response_stream.bin"));
    store->push(rig.records);
    store->flush();

    /* retention: the newest six of nine */
    auto all = store->exchanges(kv::ExchangeQuery{});
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(store->counters().rows_pruned.load(), 3u);
    EXPECT_GT(all[0]["id"].get<int64_t>(), all[5]["id"].get<int64_t>());

    /* the documented API shape, in its order */
    std::vector<std::string> keys;
    for (auto &item : all[5].items()) {
        keys.push_back(item.key());
    }
    std::vector<std::string> want = {"id",
                                     "time_ms",
                                     "sensor_host",
                                     "instance",
                                     "format",
                                     "method",
                                     "uri",
                                     "status",
                                     "client_ip",
                                     "client_port",
                                     "latency_ms",
                                     "request_headers",
                                     "response_headers",
                                     "request_body",
                                     "response_body",
                                     "request_body_truncated",
                                     "response_body_truncated"};
    ASSERT_GE(keys.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 17), want);

    kv::ExchangeQuery q;
    q.method = "DELETE";
    auto del = store->exchanges(q);
    ASSERT_EQ(del.size(), 1u);
    EXPECT_EQ(del[0]["status"], 204);
    EXPECT_TRUE(del[0]["response_body"].is_null());
    q = {};
    q.status_class = 2;
    q.path = "/api/items";
    EXPECT_EQ(store->exchanges(q).size(), 3u);
    q = {};
    q.format = "merged";
    q.limit = 10;
    EXPECT_EQ(store->exchanges(q).size(), 1u);

    auto one = store->exchange(all[0]["id"].get<int64_t>());
    ASSERT_TRUE(one);
    EXPECT_EQ((*one)["response_headers"][0][0], "X-Trace");
    EXPECT_FALSE(store->exchange(999999));

    /* bodies that are not UTF-8 come with their exact bytes */
    kv::Exchange bin;
    bin.format = "merged";
    bin.method = "GET";
    bin.response_body = std::string("\x89PNG\r\n\x1a\n\xff", 9);
    std::vector<kv::Record> one_more;
    one_more.emplace_back(std::move(bin));
    store->push(one_more);
    store->flush();
    auto newest = store->exchanges(kv::ExchangeQuery{})[0];
    EXPECT_EQ(newest["response_body_base64"], "iVBORw0KGgr/");
    EXPECT_EQ(newest["response_body_size"], 9);
    store->stop();
}

TEST(Store, WorkersAreNamedOnceTheirPidIsKnown)
{
    kv::Store::Options opt;
    opt.path = temp_db();
    std::string error;
    auto store = kv::Store::open(opt, error);
    ASSERT_TRUE(store) << error;
    store->start();

    Rig rig;
    /* heartbeats before the first statistics document, then after it */
    std::string control = data("control_stream.bin");
    auto reqs = split_all(control);
    for (const auto *r : {&reqs[1], &reqs[1], &reqs[0], &reqs[1]}) {
        rig.dispatcher.handle(*r, rig.conn, kv::now_ms(), rig.replies,
                              rig.records);
    }
    store->push(rig.records);
    store->flush();

    auto sensors = store->sensors();
    ASSERT_EQ(sensors.size(), 1u) << sensors.dump();
    EXPECT_EQ(sensors[0]["pid"], rig.conn.pid);
    EXPECT_EQ(sensors[0]["heartbeats"], 3);
    EXPECT_EQ(sensors[0]["mode"], "default");
    EXPECT_EQ(sensors[0]["instance"], "capture");
    EXPECT_FALSE(sensors[0]["last_heartbeat_ms"].is_null());

    kv::StatsQuery q;
    auto stats = store->stats(q);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0]["pid"], rig.conn.pid);
    EXPECT_TRUE(stats[0]["access"].is_object());
    store->stop();
}
