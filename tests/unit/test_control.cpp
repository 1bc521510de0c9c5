#include "support.h"

#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"

#include <cstring>
#include <string>

namespace {

class Control : public kvtest::ConfFixture {
protected:
    void SetUp() override
    {
        kvtest::ConfFixture::SetUp();
        std::memset(&log_stats, 0, sizeof(log_stats));
        std::memset(&auth_stats, 0, sizeof(auth_stats));
        ngx_ext_sensor_log_mode = DefaultLogMode;
        ngx_backoff_duration = 5000;
        ngx_ext_sampling_rate = 0;
        saved_instance = ext_instance_name;
        saved_hostname = const_cast<ngx_cycle_t *>(ngx_cycle)->hostname;
    }

    void TearDown() override
    {
        ext_instance_name = saved_instance;
        const_cast<ngx_cycle_t *>(ngx_cycle)->hostname = saved_hostname;
        kvtest::ConfFixture::TearDown();
    }

    void apply(std::string reply)
    {
        parse_cfg_sync_response(reinterpret_cast<u_char *>(reply.data()),
                                reply.size(), log.log());
    }

    static std::string heartbeat()
    {
        u_char buf[NGX_EXT_CFG_SYNC_BUFFER_SIZE];
        size_t n = ngx_ext_build_cfg_sync_request(buf, sizeof(buf));
        return std::string(reinterpret_cast<char *>(buf), n);
    }

    static void set_host(const char *name)
    {
        auto *cycle = const_cast<ngx_cycle_t *>(ngx_cycle);
        cycle->hostname.data = (u_char *) name;
        cycle->hostname.len = std::strlen(name);
    }

    ngx_str_t saved_instance;
    ngx_str_t saved_hostname;
};

TEST_F(Control, HeartbeatNamesHostInstanceAndMode)
{
    set_host("");
    ext_instance_name = ngx_null_string;
    EXPECT_EQ(heartbeat(),
              "POST /kestrelvanes/heartbeat/v1?sensor=nginx HTTP/1.1\r\n"
              "Host: " NGX_EXT_COLLECTOR_HOST "\r\n"
              "X-Kv-Sensor-Logging-Level: default\r\n"
              "\r\n");

    set_host("edge");
    ngx_str_set(&ext_instance_name, "blue");
    ngx_ext_sensor_log_mode = NoLogMode;
    EXPECT_EQ(heartbeat(),
              "POST /kestrelvanes/heartbeat/v1?sensor=nginx HTTP/1.1\r\n"
              "Host: " NGX_EXT_COLLECTOR_HOST "\r\n"
              "X-Kv-Sensor-Hostname: edge\r\n"
              "X-Kv-Sensor-Instance: blue\r\n"
              "X-Kv-Sensor-Logging-Level: nologging\r\n"
              "\r\n");
}

TEST_F(Control, OverlongInstanceIsCutAndTheRequestStaysWhole)
{
    std::string huge(5000, 'i');
    ext_instance_name.data = (u_char *) huge.data();
    ext_instance_name.len = huge.size();

    std::string request = heartbeat();

    EXPECT_LE(request.size(), static_cast<size_t>(NGX_EXT_CFG_SYNC_BUFFER_SIZE));
    EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");
    EXPECT_NE(request.find("X-Kv-Sensor-Logging-Level: default\r\n"),
              std::string::npos);
}

TEST_F(Control, ReplyHeadersChangeModeBackoffAndSampling)
{
    apply("HTTP/1.1 200 OK\r\nX-Kv-Logging-Level: minimum\r\n"
          "X-Kv-Backoff-Duration: 700\r\nX-Kv-Sampling-Rate: 20\r\n\r\n");

    EXPECT_EQ(ngx_ext_sensor_log_mode.load(), MinimumLogMode);
    EXPECT_EQ(ngx_backoff_duration.load(), 700);
    EXPECT_EQ(ngx_ext_sampling_rate.load(), 20u);
    EXPECT_TRUE(log.contains("Logging mode changed to minimum (2)")) << log.text();
    EXPECT_TRUE(log.contains("Backoff duration changed to 700"));
    EXPECT_TRUE(log.contains("Sampling rate changed to 20"));
    EXPECT_EQ(log_stats.log_level_changed, 1u);
    EXPECT_EQ(log_stats.backoff_duration_changed, 1u);
    EXPECT_EQ(log_stats.sampling_rate_changed, 1u);

    /* the same reply again changes and counts nothing */
    log.clear();
    apply("HTTP/1.1 200 OK\r\nX-Kv-Logging-Level: minimum\r\n"
          "X-Kv-Backoff-Duration: 700\r\nX-Kv-Sampling-Rate: 20\r\n\r\n");
    EXPECT_EQ(log_stats.log_level_changed, 1u);
    EXPECT_EQ(log_stats.backoff_duration_changed, 1u);
    EXPECT_EQ(log_stats.sampling_rate_changed, 1u);
    EXPECT_FALSE(log.contains("changed"));
}

TEST_F(Control, ReplyValuesOutsideTheirRangesAreIgnoredSilently)
{
    struct Row {
        const char *header;
        ngx_msec_int_t backoff;
        ngx_uint_t rate;
    } rows[] = {
        {"X-Kv-Backoff-Duration: -5\r\n", 5000, 0},
        {"X-Kv-Backoff-Duration: 150000\r\n", 15000, 0}, /* cut to 5 digits */
        {"X-Kv-Backoff-Duration: 15001\r\n", 5000, 0},
        {"X-Kv-Backoff-Duration: 0\r\n", 0, 0},
        {"X-Kv-Sampling-Rate: 101\r\n", 5000, 0},
        {"X-Kv-Sampling-Rate: 1000\r\n", 5000, 100}, /* cut to 3 digits */
        {"X-Kv-Sampling-Rate:50\r\n", 5000, 50},     /* blanks optional */
        {"x-kv-sampling-rate: 50\r\n", 5000, 50},    /* names in any case */
        {"X-Kv-Sampling-Rate : 50\r\n", 5000, 0},    /* not this name */
    };

    for (const Row &row : rows) {
        ngx_backoff_duration = 5000;
        ngx_ext_sampling_rate = 0;

        apply(std::string("HTTP/1.1 200 OK\r\n") + row.header + "\r\n");

        EXPECT_EQ(ngx_backoff_duration.load(), row.backoff) << row.header;
        EXPECT_EQ(ngx_ext_sampling_rate.load(), row.rate) << row.header;
    }

    /* a value without its line end is not taken */
    const char unterminated[] = "HTTP/1.1 200 OK\r\nX-Kv-Sampling-Rate: 50";
    update_sampling_rate((const u_char *) unterminated,
                         sizeof(unterminated) - 1, log.log());
    EXPECT_EQ(ngx_ext_sampling_rate.load(), 0u);

    EXPECT_EQ(log_stats.backoff_duration_msg_invalid, 0u);
    EXPECT_EQ(log_stats.sampling_rate_msg_invalid, 0u);
}

TEST_F(Control, OnlyTheHeadOfTheReplySteersTheWorker)
{
    /* header names in any case, blanks around the value left out */
    apply("HTTP/1.1 200 OK\r\nx-kv-logging-level:  metadata \t\r\n"
          "X-KV-BACKOFF-DURATION:700\r\n\r\n");
    EXPECT_EQ(ngx_ext_sensor_log_mode.load(), MetaDataLogMode);
    EXPECT_EQ(ngx_backoff_duration.load(), 700);
    EXPECT_TRUE(log.contains("Logging mode changed to metadata (1)"))
        << log.text();

    /*
     * The body is the policy document: a line in it that looks like a
     * header is not one.  Neither is the status line, nor a header whose
     * name merely ends or starts with one of ours.
     */
    const std::string policy =
        "[{\"Type\": \"urlbypass\", \"Version\": \"1\", \"Patterns\": "
        "[\"^/x\"]}]\r\nX-Kv-Logging-Level: nologging\r\n"
        "X-Kv-Backoff-Duration: 9\r\nX-Kv-Sampling-Rate: 9\r\n";
    apply("HTTP/1.1 200 X-Kv-Logging-Level: minimum\r\n"
          "X-Old-X-Kv-Logging-Level: minimum\r\n"
          "X-Kv-Logging-Level-Was: nologging\r\n"
          "Content-Length: "
          + std::to_string(policy.size()) + "\r\n\r\n" + policy);
    EXPECT_EQ(ngx_ext_sensor_log_mode.load(), MetaDataLogMode);
    EXPECT_EQ(ngx_backoff_duration.load(), 700);
    EXPECT_EQ(ngx_ext_sampling_rate.load(), 0u);
    EXPECT_EQ(log_stats.log_level_changed, 1u);
    EXPECT_EQ(log_stats.backoff_duration_changed, 1u);
    EXPECT_EQ(log_stats.sampling_rate_changed, 0u);
}

TEST_F(Control, UnknownModeWordMeansDefaultAndIsReportedAsReceived)
{
    ngx_ext_sensor_log_mode = MetaDataLogMode;
    apply("HTTP/1.1 200 OK\r\nX-Kv-Logging-Level: Minimum\r\n\r\n");

    EXPECT_EQ(ngx_ext_sensor_log_mode.load(), DefaultLogMode);
    EXPECT_TRUE(log.contains("Logging mode changed to Minimum (0)"))
        << log.text();
}

TEST_F(Control, EmptyReplyCountsAsInvalid)
{
    update_logging_level(nullptr, 0, log.log());
    update_backoff_duration((const u_char *) "x", 0, log.log());
    update_sampling_rate((const u_char *) "x", -1, log.log());

    EXPECT_EQ(log_stats.log_level_msg_invalid, 1u);
    EXPECT_EQ(log_stats.backoff_duration_msg_invalid, 1u);
    EXPECT_EQ(log_stats.sampling_rate_msg_invalid, 1u);
}

TEST(ReplyParsers, ContentLengthAndStatusCode)
{
    auto length = [](const char *text) {
        return get_content_length((const unsigned char *) text,
                                  std::strlen(text));
    };

    EXPECT_EQ(length("HTTP/1.1 200 OK\r\nContent-Length: 42\r\n\r\nbody"), 42u);
    EXPECT_EQ(length("HTTP/1.1 200 OK\r\nContent-Length: 42\r\n"), 0u);
    EXPECT_EQ(length("HTTP/1.1 200 OK\r\n\r\nContent-Length: 42\r\n"), 0u);
    EXPECT_EQ(length("HTTP/1.1 200 OK\r\nContent-Length:42\r\n\r\n"), 0u);

    EXPECT_EQ(
        get_http_status_code((const unsigned char *) "HTTP/1.1 404 Nope\r\n"),
        404);
    EXPECT_EQ(get_http_status_code((const unsigned char *) "HTTP/1.1 200 OK"),
              -1);
    EXPECT_EQ(get_http_status_code((const unsigned char *) "HTTP/1.1\r\n"), -1);
}

TEST_F(Control, StatsDocumentReportsNonZeroCountersThenResets)
{
    u_char buf[NGX_EXT_STATS_BODY_SIZE];
    std::string pid = std::to_string(getpid());

    auto document = [&buf] {
        int n = ngx_ext_build_stats_document(buf, sizeof(buf));
        return std::string(reinterpret_cast<char *>(buf), n);
    };

    EXPECT_EQ(document(),
              "{\"worker\":{\"pid\":" + pid + " },\"access\":{},\"auth\":{}}");

    for (int i = 0; i < 5; i++) {
        kestrelvanes::count(log_stats.tasks_enqueued);
    }
    kestrelvanes::count(log_stats.msg_sent);
    kestrelvanes::count(log_stats.get_forwarded_proto_failed);
    kestrelvanes::count(log_stats.http_resp_incomplete); /* not reported */
    kestrelvanes::count(auth_stats.req);
    kestrelvanes::count(auth_stats.req_ok); /* not reported */
    kestrelvanes::count(auth_stats.log_skipped_in_backoff);

    EXPECT_EQ(document(), "{\"worker\":{\"pid\":" + pid
                              + " },\"access\":{\"msg_sent\":1,"
                                "\"tasks_enqueued\":5,"
                                "\"forwarded_proto_failed\":1},"
                                "\"auth\":{\"reqs\":1,"
                                "\"log_skipped_in_backoff\":1}}");

    /* every counter, reported or not, starts again from zero */
    const char *zero = reinterpret_cast<const char *>(&log_stats);
    for (size_t i = 0; i < sizeof(log_stats); i++) {
        ASSERT_EQ(zero[i], 0) << i;
    }
    EXPECT_EQ(auth_stats.req_ok, 0u);
    EXPECT_EQ(document(),
              "{\"worker\":{\"pid\":" + pid + " },\"access\":{},\"auth\":{}}");
}

TEST_F(Control, DocumentThatNeverLeftIsReportedByTheNext)
{
    u_char buf[NGX_EXT_STATS_BODY_SIZE];

    auto document = [&buf] {
        int n = ngx_ext_build_stats_document(buf, sizeof(buf));
        return std::string(reinterpret_cast<char *>(buf), n);
    };

    kestrelvanes::count(log_stats.logs_sent, 3);
    kestrelvanes::count(log_stats.http_resp_incomplete); /* not reported */
    kestrelvanes::count(auth_stats.sr_sent, 2);
    std::string lost = document();
    EXPECT_EQ(log_stats.logs_sent, 0u);

    /* counted while the document was on its way, and after it failed */
    kestrelvanes::count(log_stats.logs_sent);
    ngx_ext_give_back_stats_document();
    kestrelvanes::count(log_stats.stats_send_fail);

    EXPECT_EQ(log_stats.http_resp_incomplete, 1u);
    std::string next = document();
    EXPECT_NE(next.find("\"logs_sent\":4,"), std::string::npos) << next;
    EXPECT_NE(next.find("\"stats_send_fail\":1"), std::string::npos) << next;
    EXPECT_NE(next.find("\"sr_sent\":2"), std::string::npos) << next;

    /* given back once, however often asked */
    ngx_ext_give_back_stats_document();
    ngx_ext_give_back_stats_document();
    EXPECT_EQ(log_stats.logs_sent, 4u);
    EXPECT_EQ(auth_stats.sr_sent, 2u);
}

TEST_F(Control, StatsRequestCarriesDocumentAndOptionalHeaders)
{
    u_char buf[NGX_EXT_STATS_REQUEST_SIZE];
    const std::string doc =
        "{\"worker\":{\"pid\":1 },\"access\":{},\"auth\":{}}";
    ngx_str_t saved_api = remote_stats_api;

    auto request = [&] {
        size_t n = ngx_ext_build_stats_request(
            buf, sizeof(buf), (const u_char *) doc.data(), doc.size());
        return std::string(reinterpret_cast<char *>(buf), n);
    };

    set_host("");
    ext_instance_name = ngx_null_string;
    remote_stats_api = ngx_null_string;
    EXPECT_EQ(request(), "POST /nginxstats HTTP/1.1\r\n"
                         "Host: " NGX_EXT_COLLECTOR_HOST "\r\n"
                         "Content-Type: application/json\r\n"
                         "Content-Length: 43\r\n"
                         "\r\n"
                             + doc);

    set_host("edge");
    ngx_str_set(&ext_instance_name, "blue");
    ngx_str_set(&remote_stats_api, "/s");
    EXPECT_EQ(request(), "POST /s HTTP/1.1\r\n"
                         "Host: " NGX_EXT_COLLECTOR_HOST "\r\n"
                         "Content-Type: application/json\r\n"
                         "Content-Length: 43\r\n"
                         "X-Kv-Sensor-Host: edge\r\n"
                         "X-Kv-Sensor-Instance: blue\r\n"
                         "\r\n"
                             + doc);

    /* a path too long for its buffer is cut, not overrun */
    std::string path = "/" + std::string(300, 'p');
    remote_stats_api.data = (u_char *) path.data();
    remote_stats_api.len = path.size();
    std::string cut = request();
    EXPECT_EQ(cut.substr(0, cut.find(" HTTP/1.1")),
              "POST " + path.substr(0, 99));

    remote_stats_api = saved_api;
}

} /* namespace */
