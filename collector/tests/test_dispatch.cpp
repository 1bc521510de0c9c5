/*
 * One request in, one reply out: the recorded sensor streams through the
 * dispatcher, the example authorization service, and what is stored.
 */

#include <gtest/gtest.h>

#include "ingest/dispatcher.h"
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

TEST(Dispatcher, WhatABrowserSendsIsRefusedAndNotStored)
{
    /* a page can make a browser send a log or a heartbeat here; the
     * headers the browser adds, which no sensor sends, give it away */
    std::string merged = data("merged_stream.bin");
    std::string one = merged.substr(0, merged.find("POST", 1));
    std::string control = data("control_stream.bin");
    std::string heartbeat = control.substr(control.find("POST", 1));
    for (const char *header :
         {"Origin: http://page.example\r\n", "Sec-Fetch-Site: cross-site\r\n",
          "sec-fetch-mode: no-cors\r\n"}) {
        for (const std::string &msg : {one, heartbeat}) {
            std::string forged = msg;
            forged.insert(forged.find("\r\n") + 2, header);
            Rig rig;
            EXPECT_EQ(rig.run(forged), 0u) << header;
            EXPECT_EQ(rig.replies.substr(0, 22), "HTTP/1.1 403 Forbidden");
            EXPECT_NE(rig.replies.find("Connection: close"), std::string::npos);
            EXPECT_TRUE(rig.records.empty()) << header;
            EXPECT_EQ(rig.counters.browser_requests_refused.load(), 1u);
        }
    }

    /* an authorization subrequest carries the client's own headers, a
     * browser's among them: it is decided all the same */
    Rig rig;
    rig.run(auth_request("X-Req-Uri: /api/items\r\nOrigin: https://app\r\n"
                         "Sec-Fetch-Mode: cors\r\n"));
    EXPECT_EQ(rig.replies.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(rig.counters.browser_requests_refused.load(), 0u);
}
