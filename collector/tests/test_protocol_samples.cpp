/*
 * The sample messages of tests/protocol/, which the sensor's unit tests
 * build byte for byte: the collector writes the heartbeat reply and its
 * policy document exactly so, and reads every sensor message to the fields
 * it carries.  A name changed on one side only fails here or there.
 */

#include <gtest/gtest.h>

#include "kv_protocol.h"
#include "protocol/decode.h"
#include "protocol/heartbeat.h"
#include "support.h"

namespace {

namespace wire = kv_protocol;

std::string
sample(const std::string &name)
{
    std::ifstream in(std::string(KV_PROTOCOL_SAMPLES) + "/" + name,
                     std::ios::binary);
    EXPECT_TRUE(in) << name;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/* The one request a sample holds, split as a connection splits it; it
 * points into bytes, which must outlive it. */
kv::Request
one_request(const std::string &bytes)
{
    auto reqs = kvtest::split_all(bytes);
    EXPECT_EQ(reqs.size(), 1u);
    EXPECT_FALSE(reqs.empty());
    return reqs.empty() ? kv::Request{} : reqs.front();
}

std::string_view
path_of(const kv::Request &req)
{
    std::string_view t = req.target;
    return t.substr(0, t.find('?'));
}

} // namespace

TEST(ProtocolSamples, HeartbeatReplyAndPolicyDocumentAreWrittenExactly)
{
    kv::Control c;
    c.logging_level = "metadata";
    c.backoff_ms = 1234;
    c.sampling_rate = 42;
    c.url_bypass = kv::UrlPolicy{"7", {"^/health$", "^/static/"}};
    c.header_bypass = kv::HeaderPolicy{
        "3", {{"X-Internal", "^yes$"}, {"User-Agent", "^probe/"}}};

    EXPECT_EQ(kv::policy_document(c), sample("policy.json"));
    EXPECT_EQ(kv::heartbeat_reply(c), sample("heartbeat_reply.http"));
}

TEST(ProtocolSamples, SensorMessagesDecodeToTheirFields)
{
    const std::string hb_bytes = sample("heartbeat_request.http");
    kv::Request hb_req = one_request(hb_bytes);
    EXPECT_EQ(path_of(hb_req), wire::heartbeat_path.view());
    kv::Heartbeat hb;
    kv::decode_heartbeat(hb_req, hb);
    EXPECT_EQ(hb.sensor_host, "web-1");
    EXPECT_EQ(hb.instance, "edge-eu-1");
    EXPECT_EQ(hb.logging_level, "default");

    std::string error;
    const std::string stats_bytes = sample("stats_request.http");
    kv::Request stats_req = one_request(stats_bytes);
    EXPECT_EQ(path_of(stats_req), wire::stats_path.view());
    kv::StatsDoc stats;
    ASSERT_TRUE(kv::decode_stats(stats_req, stats, error)) << error;
    EXPECT_EQ(stats.pid, 4242);
    EXPECT_EQ(stats.access, R"({"msg_sent":3,"tasks_enqueued":3})");
    EXPECT_EQ(stats.auth, R"({"reqs":2})");
    EXPECT_EQ(stats.sensor_host, "web-1");
    EXPECT_EQ(stats.instance, "edge-eu-1");

    /* the same exchange, in either form */
    const std::string log_bytes = sample("response_log.http");
    const std::string merged_bytes = sample("merged_log.http");
    kv::Request log_req = one_request(log_bytes);
    kv::Request merged_req = one_request(merged_bytes);
    EXPECT_EQ(path_of(log_req), wire::response_log_path.view());
    EXPECT_EQ(path_of(merged_req), wire::merged_log_path.view());

    kv::Exchange log, merged;
    ASSERT_TRUE(kv::decode_response_log(log_req, log, error)) << error;
    ASSERT_TRUE(kv::decode_merged(merged_req, merged, error)) << error;
    for (const kv::Exchange *e : {&log, &merged}) {
        SCOPED_TRACE(e->format);
        EXPECT_EQ(e->status, 200);
        EXPECT_EQ(e->request_id, "3f2a9c");
        EXPECT_EQ(e->time_ms, 1700000000123);
        EXPECT_EQ(e->latency_ms, 7);
        EXPECT_EQ(e->client_ip, "192.0.2.10");
        EXPECT_EQ(e->client_port, 51234);
        EXPECT_EQ(e->method, "GET");
        EXPECT_EQ(e->uri, "/api/items?id=7");
        EXPECT_EQ(e->sensor_host, "web01");
        EXPECT_EQ(e->instance, "edge-1");
        EXPECT_EQ(e->logging_level, "default");
        EXPECT_EQ(e->response_body,
                  std::optional<std::string>("{\"ok\":true}"));
        ASSERT_FALSE(e->response_headers.empty());
        EXPECT_EQ(e->response_headers.front(),
                  (std::pair<std::string, std::string>("X-Trace", "a\"b")));
    }
    EXPECT_FALSE(log.response_body_truncated);
    EXPECT_FALSE(merged.response_body_truncated);
    EXPECT_FALSE(merged.request_body_truncated);
    EXPECT_EQ(merged.request_headers,
              (kv::HeaderList{{"Host", "10.0.0.5"}, {"Accept", "*/*"}}));
}
