/*
 * The sample messages of tests/protocol/, which the collector's tests
 * decode and write too: the heartbeat and the statistics request come out
 * of their builders byte for byte, and the heartbeat reply the collector
 * writes sets exactly the settings and policies it says.
 */
#include "policy_support.h"

#include "kv_protocol.h"
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

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

/* The sensor the samples describe: host web-1, instance edge-eu-1. */
class ProtocolSamples : public kvtest::PolicyFixture {
protected:
    void SetUp() override
    {
        kvtest::PolicyFixture::SetUp();
        std::memset(&auth_stats, 0, sizeof(auth_stats));
        saved_instance_ = ext_instance_name;
        saved_api_ = remote_stats_api;
        ngx_str_set(&cycle_.hostname, "web-1");
        ngx_str_set(&ext_instance_name, "edge-eu-1");
        remote_stats_api = ngx_null_string;
        ngx_ext_sensor_log_mode = DefaultLogMode;
        ngx_backoff_duration = 5000;
        ngx_ext_sampling_rate = 0;
    }

    void TearDown() override
    {
        ext_instance_name = saved_instance_;
        remote_stats_api = saved_api_;
        ngx_ext_sensor_log_mode = DefaultLogMode;
        kvtest::PolicyFixture::TearDown();
    }

    ngx_str_t saved_instance_;
    ngx_str_t saved_api_;
};

TEST_F(ProtocolSamples, HeartbeatAndStatisticsRequestsAreBuiltExactly)
{
    u_char buf[NGX_EXT_STATS_REQUEST_SIZE];

    size_t n = ngx_ext_build_cfg_sync_request(buf, sizeof(buf));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), n),
              sample("heartbeat_request.http"));

    kestrelvanes::count(log_stats.msg_sent, 3);
    kestrelvanes::count(log_stats.tasks_enqueued, 3);
    kestrelvanes::count(auth_stats.req, 2);

    u_char body[NGX_EXT_STATS_BODY_SIZE];
    std::string doc(reinterpret_cast<char *>(body),
                    ngx_ext_build_stats_document(body, sizeof(body)));

    /* the sample's worker is 4242 */
    std::string pid = "\"pid\":" + std::to_string(getpid()) + " ";
    ASSERT_EQ(doc.find(pid), 11u) << doc;
    doc.replace(11, pid.size(), "\"pid\":4242 ");

    n = ngx_ext_build_stats_request(buf, sizeof(buf),
                                    (const u_char *) doc.data(), doc.size());
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), n),
              sample("stats_request.http"));
}

TEST_F(ProtocolSamples, HeartbeatReplySetsWhatItSays)
{
    std::string reply = sample("heartbeat_reply.http");
    std::string policy = sample("policy.json");
    ASSERT_GE(reply.size(), policy.size());
    EXPECT_EQ(reply.substr(reply.size() - policy.size()), policy);
    EXPECT_LE(reply.size(), kv_protocol::heartbeat_reply_buffer);

    parse_cfg_sync_response(reinterpret_cast<u_char *>(reply.data()),
                            reply.size(), log.log());
    EXPECT_EQ(ngx_ext_sensor_log_mode.load(), MetaDataLogMode);
    EXPECT_EQ(ngx_backoff_duration.load(), 1234);
    EXPECT_EQ(ngx_ext_sampling_rate.load(), 42u);

    ASSERT_EQ(apply_reply(reply), NGX_OK);
    EXPECT_EQ(url_version(), "7");
    EXPECT_EQ(url_set(), (std::vector<std::string>{"^/health$", "^/static/"}));
    EXPECT_EQ(header_version(), "3");
    EXPECT_EQ(header_set(),
              (std::vector<std::pair<std::string, std::string>>{
                  {"X-Internal", "^yes$"}, {"User-Agent", "^probe/"}}));
    EXPECT_EQ(kvtest::nonzero_counters(),
              (kvtest::Counts{{"log_level_changed", 1},
                              {"backoff_duration_changed", 1},
                              {"sampling_rate_changed", 1},
                              {"uri_bypass_policy_updated", 1},
                              {"header_bypass_policy_updated", 1}}));
}

} /* namespace */
