/*
 * What the sensor's messages decode to: the recorded streams of the real
 * sensor, the documented example, and messages that must be refused.
 */

#include <gtest/gtest.h>

#include "protocol/decode.h"
#include "support.h"

using kv::Exchange;
using kv::HeaderList;
using kvtest::data;
using kvtest::split_all;

namespace {

/* The documented merged-log example, byte for byte. */
const std::string documented_merged =
    "POST /mergedlog?sensor=nginx HTTP/1.1\r\nHost:10.1.2.3:9000\r\n"
    "Connection:keep-alive\r\nContent-Type:application/json\r\n"
    "Content-Length: 0000000496\r\n\r\n"
    "[{\"request\":{\"headers\":{\"Host\":\"10.0.0.5\",\"Accept\":\"*/*\","
    "\"X-Request-Id\":\"3f2a9c\"},\"method\":\"GET\",\"uri\":\"/api/"
    "items?id=7\"},"
    "\"response\":{\"headers\":{\"X-Trace\":\"a\\\"b\",\"X-Request-Id\":"
    "\"3f2a9c\",\"Content-Type\":\"application/json\",\"Content-Length\":"
    "\"11\",\"X-Kv-Sensor-Instance\":\"edge-1\",\"X-Kv-Sensor-Hostname\":"
    "\"web01\",\"X-Kv-Sensor-Logging-Level\":\"default\"},\"body64\":"
    "\"eyJvayI6dHJ1ZX0=\",\"status\":200},\"client_ip\":\"192.0.2.10\","
    "\"client_port\":51234,\"started_at\":1700000000123,\"tries\":[],"
    "\"latencies\":{\"request\":7}}]";

Exchange
merged(const kv::Request &req)
{
    Exchange e;
    std::string error;
    EXPECT_TRUE(kv::decode_merged(req, e, error)) << error;
    return e;
}

Exchange
response(const kv::Request &req)
{
    Exchange e;
    std::string error;
    EXPECT_TRUE(kv::decode_response_log(req, e, error)) << error;
    return e;
}

bool
refused_merged(const std::string &doc)
{
    std::string msg = "POST /mergedlog?sensor=nginx HTTP/1.1\r\n"
                      "Content-Length: "
                      + std::to_string(doc.size()) + "\r\n\r\n" + doc;
    auto reqs = split_all(msg);
    Exchange e;
    std::string error;
    bool ok = kv::decode_merged(reqs.at(0), e, error);
    return !ok && !error.empty();
}

} // namespace

TEST(MergedLog, DocumentedExample)
{
    auto reqs = split_all(documented_merged);
    ASSERT_EQ(reqs.size(), 1u);
    ASSERT_EQ(reqs[0].body.size(), 496u);
    Exchange e = merged(reqs[0]);

    EXPECT_EQ(e.format, "merged");
    EXPECT_EQ(e.method, "GET");
    EXPECT_EQ(e.uri, "/api/items?id=7");
    EXPECT_EQ(e.status, 200);
    EXPECT_EQ(e.client_ip, "192.0.2.10");
    EXPECT_EQ(e.client_port, 51234);
    EXPECT_EQ(e.time_ms, 1700000000123);
    EXPECT_EQ(e.latency_ms, 7);
    EXPECT_EQ(e.request_id, "3f2a9c");
    EXPECT_EQ(e.sensor_host, "web01");
    EXPECT_EQ(e.instance, "edge-1");
    EXPECT_EQ(e.logging_level, "default");
    /* the sensor's own members are taken out of the header lists */
    EXPECT_EQ(e.request_headers,
              (HeaderList{{"Host", "10.0.0.5"}, {"Accept", "*/*"}}));
    EXPECT_EQ(e.response_headers,
              (HeaderList{{"X-Trace", "a\"b"},
                          {"Content-Type", "application/json"},
                          {"Content-Length", "11"}}));
    EXPECT_FALSE(e.request_body.has_value());
    EXPECT_EQ(e.response_body.value(), "{\"ok\":true}");
    EXPECT_FALSE(e.request_body_truncated);
    EXPECT_FALSE(e.response_body_truncated);
}

TEST(MergedLog, RecordedExchanges)
{
    std::string stream = data("merged_stream.bin");
    auto reqs = split_all(stream);
    ASSERT_EQ(reqs.size(), 4u);

    Exchange get = merged(reqs[0]);
    EXPECT_EQ(get.method, "GET");
    EXPECT_EQ(get.uri, "/api/items?page=2");
    EXPECT_EQ(get.response_body.value(), "{\"items\":[1,2,3]}");
    EXPECT_EQ(get.instance, "capture");
    EXPECT_GT(get.time_ms, 1600000000000);
    EXPECT_EQ(get.worker_pid,
              std::stoll(get.request_id.substr(0, get.request_id.find('-')),
                         nullptr, 16));
    EXPECT_GT(get.worker_pid, 0);

    Exchange post = merged(reqs[1]);
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.status, 201);
    EXPECT_EQ(post.request_body.value(),
              "{\"name\":\"bolt\",\"tags\":[\"a\\\"b\"]}");
    EXPECT_EQ(
        post.response_headers.front(),
        (std::pair<std::string, std::string>{"Location", "/api/items/4"}));

    /* repeated names stay, in order; bytes that are not UTF-8 become the
     * characters of the same number; escapes are undone */
    Exchange cookies = merged(reqs[2]);
    EXPECT_EQ(cookies.response_headers[0],
              (std::pair<std::string, std::string>{"Set-Cookie", "a=1"}));
    EXPECT_EQ(cookies.response_headers[1],
              (std::pair<std::string, std::string>{"Set-Cookie", "b=2"}));
    EXPECT_EQ(cookies.response_headers[2].second, "caf\u00e9 \u00ff\u00fe");
    EXPECT_EQ(cookies.request_headers[1].second, "say \"hi\" \\ there");

    /* cut at the capture limit: the declared length tells */
    Exchange large = merged(reqs[3]);
    EXPECT_EQ(large.response_body.value(), std::string(64, 'x'));
    EXPECT_TRUE(large.response_body_truncated);
}

TEST(MergedLog, EscapedAndRawBytesReadAlike)
{
    std::string raw = documented_merged;
    std::string escaped = documented_merged;
    raw.replace(raw.find("a\\\"b"), 4, "\xff\xfe\\\"b");
    escaped.replace(escaped.find("a\\\"b"), 4, "\\u00ff\\u00fe\\\"b");
    /* keep the declared lengths right */
    for (auto *s : {&raw, &escaped}) {
        size_t body = s->find("\r\n\r\n") + 4;
        char len[11];
        std::snprintf(len, sizeof(len), "%010zu", s->size() - body);
        s->replace(s->find("Content-Length: ") + 16, 10, len);
    }
    Exchange a = merged(split_all(raw).at(0));
    Exchange b = merged(split_all(escaped).at(0));
    EXPECT_EQ(a.response_headers[0].second, "\u00ff\u00fe\"b");
    EXPECT_EQ(a.response_headers, b.response_headers);
}

TEST(MergedLog, RefusedDocuments)
{
    EXPECT_TRUE(refused_merged("not json"));
    EXPECT_TRUE(refused_merged("[]"));
    EXPECT_TRUE(refused_merged("{\"request\":{}}"));
    EXPECT_TRUE(refused_merged(
        "[{\"request\":{\"method\":\"GET\"},\"response\":{\"status\":200}},"
        "{\"request\":{\"method\":\"GET\"},\"response\":{\"status\":200}}]"));
    EXPECT_TRUE(
        refused_merged("[{\"request\":{\"method\":\"GET\"},\"response\":{}}]"));
    EXPECT_TRUE(refused_merged(
        "[{\"request\":{\"method\":\"GET\",\"uri\":\"/\"},\"response\":{"
        "\"body64\":\"not base64!\",\"status\":200}}]"));
    EXPECT_TRUE(refused_merged(
        "[{\"request\":{\"headers\":{\"A\":1},\"method\":\"GET\"},"
        "\"response\":{\"status\":200}}]"));
    EXPECT_TRUE(refused_merged(
        documented_merged.substr(documented_merged.find("\r\n\r\n") + 4, 200)));
    /* a minimal exchange is fine */
    EXPECT_FALSE(refused_merged(
        "[{\"request\":{\"method\":\"GET\",\"uri\":\"/\"},"
        "\"response\":{\"status\":204},\"future\":[1,{\"a\":null}]}]"));
}

TEST(ResponseLog, RecordedExchanges)
{
    std::string stream = data("response_stream.bin");
    auto reqs = split_all(stream);
    ASSERT_EQ(reqs.size(), 5u);

    Exchange full = response(reqs[0]);
    EXPECT_EQ(full.format, "response");
    EXPECT_EQ(full.method, "GET");
    EXPECT_EQ(full.uri, "/api/items?id=7");
    EXPECT_EQ(full.status, 200);
    EXPECT_EQ(full.client_ip, "127.0.0.1");
    EXPECT_GT(full.client_port, 0);
    EXPECT_GE(full.latency_ms, 0);
    EXPECT_GT(full.time_ms, 1600000000000);
    EXPECT_EQ(full.instance, "capture");
    EXPECT_FALSE(full.sensor_host.empty());
    EXPECT_EQ(full.logging_level, "default");
    EXPECT_EQ(full.response_headers,
              (HeaderList{{"X-Trace", "a\"b"},
                          {"Content-Type", "application/json"}}));
    EXPECT_EQ(full.request_headers, (HeaderList{{"Host", "10.0.0.5"}}));
    EXPECT_EQ(full.response_body.value(), "{\"ok\":true}");
    EXPECT_FALSE(full.response_body_truncated);
    EXPECT_FALSE(full.request_body.has_value());
    EXPECT_GT(full.worker_pid, 0);
    EXPECT_EQ(full.meta, "{\"request_content_length\":0,"
                         "\"response_declared_length\":11}");

    Exchange cut = response(reqs[1]);
    EXPECT_TRUE(cut.response_body_truncated);
    EXPECT_FALSE(cut.response_body.has_value());

    Exchange empty = response(reqs[2]);
    EXPECT_EQ(empty.status, 204);
    EXPECT_EQ(empty.method, "DELETE");
    EXPECT_FALSE(empty.response_body.has_value());
    EXPECT_TRUE(empty.response_headers.empty());

    /* a CR LF in the path arrives percent-encoded and stays so: it cannot
     * pass for a status line of its own */
    Exchange crlf = response(reqs[3]);
    EXPECT_EQ(crlf.uri, "/p%0D%0AX-Status: 500");
    EXPECT_EQ(crlf.status, 200);

    Exchange metadata = response(reqs[4]);
    EXPECT_EQ(metadata.logging_level, "metadata");
    EXPECT_FALSE(metadata.response_body.has_value());
    EXPECT_NE(metadata.meta.find("\"response_captured_length\":11"),
              std::string::npos);
}

TEST(ResponseLog, ResponseHeadersEndAtTheSensorsConnectionLine)
{
    /* a response header may be named like the sensor's metadata: its
     * place before Connection:keep-alive says whose it is */
    std::string msg = "POST /nginxlog HTTP/1.1\r\nHost: c\r\nX-Status:418\r\n"
                      "X-Method:FAKE\r\nConnection:keep-alive\r\n"
                      "X-Status: 200\r\nX-Method:GET\r\nX-Req-Uri:/a b\r\n"
                      "X-Client-Addr:[::1]:8080\r\nX-Extra:1\r\n\r\n";
    Exchange e = response(split_all(msg).at(0));
    EXPECT_EQ(e.status, 200);
    EXPECT_EQ(e.method, "GET");
    EXPECT_EQ(e.uri, "/a b");
    EXPECT_EQ(e.client_ip, "::1");
    EXPECT_EQ(e.client_port, 8080);
    EXPECT_EQ(e.response_headers,
              (HeaderList{{"X-Status", "418"}, {"X-Method", "FAKE"}}));
    EXPECT_NE(e.meta.find("X-Extra"), std::string::npos);

    Exchange x;
    std::string error;
    EXPECT_FALSE(kv::decode_response_log(
        split_all("POST /nginxlog HTTP/1.1\r\nX-Status: 2xx\r\n\r\n").at(0), x,
        error));
    EXPECT_FALSE(kv::decode_response_log(
        split_all("POST /nginxlog HTTP/1.1\r\nHost: c\r\n\r\n").at(0), x,
        error));
}

TEST(ControlMessages, StatisticsAndHeartbeat)
{
    std::string stream = data("control_stream.bin");
    auto reqs = split_all(stream);
    ASSERT_EQ(reqs.size(), 2u);

    kv::StatsDoc doc;
    std::string error;
    ASSERT_TRUE(kv::decode_stats(reqs[0], doc, error)) << error;
    EXPECT_GT(doc.pid, 0);
    EXPECT_EQ(doc.instance, "capture");
    EXPECT_FALSE(doc.sensor_host.empty());
    EXPECT_EQ(doc.access.front(), '{');
    EXPECT_EQ(doc.auth, "{}");

    kv::Heartbeat hb;
    kv::decode_heartbeat(reqs[1], hb);
    EXPECT_EQ(hb.instance, "capture");
    EXPECT_EQ(hb.logging_level, "default");
    EXPECT_EQ(hb.sensor_host, doc.sensor_host);

    /* the counters keep the sensor's order */
    std::string body = "{\"worker\":{\"pid\":7 },\"access\":{\"msg_sent\":3,"
                       "\"tasks_enqueued\":3},\"auth\":{\"reqs\":1}}";
    std::string msg = "POST /nginxstats HTTP/1.1\r\nContent-Length: "
                      + std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_TRUE(kv::decode_stats(split_all(msg).at(0), doc, error));
    EXPECT_EQ(doc.pid, 7);
    EXPECT_EQ(doc.access, "{\"msg_sent\":3,\"tasks_enqueued\":3}");

    /* a number no double holds would be kept as text no reader takes */
    for (std::string bad : {"{\"worker\":{}}", "{\"worker\":{\"pid\":\"x\"}}",
                            "{\"worker\":{\"pid\":1},\"access\":[]}", "[1]",
                            "{\"worker\":{\"pid\":1},\"access\":{\"x\":1e999},"
                            "\"auth\":{}}",
                            "{\"worker\":{\"pid\":1},\"access\":{},"
                            "\"auth\":{\"a\":[-2e400]}}"}) {
        std::string m = "POST /nginxstats HTTP/1.1\r\nContent-Length: "
                        + std::to_string(bad.size()) + "\r\n\r\n" + bad;
        EXPECT_FALSE(kv::decode_stats(split_all(m).at(0), doc, error)) << bad;
    }
}

TEST(RequestId, WorkerPid)
{
    EXPECT_EQ(kv::pid_from_request_id("5fe6-744d39ba18f2d93e6be0349ad6a"),
              0x5fe6);
    EXPECT_EQ(kv::pid_from_request_id("3f2a9c"), 0);
    EXPECT_EQ(kv::pid_from_request_id("-abc"), 0);
    EXPECT_EQ(kv::pid_from_request_id("xyz-abc"), 0);
}
