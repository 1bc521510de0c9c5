#include "support.h"

#include "nginx_ext_access_log_module.h"

#include <algorithm>
#include <string>

namespace {

ngx_module_t &M = ngx_kestrelvanes_http_access;

class AccessConf : public kvtest::ConfFixture {
  protected:
    ngx_http_module_t *ctx() { return static_cast<ngx_http_module_t *>(M.ctx); }

    ngx_http_response_body_loc_conf_t *loc()
    {
        auto *conf = static_cast<ngx_http_response_body_loc_conf_t *>(
            ctx()->create_loc_conf(&cf));
        EXPECT_NE(conf, nullptr);
        return conf;
    }

    ngx_ext_access_log_stats_conf_t *main_conf()
    {
        auto *conf = static_cast<ngx_ext_access_log_stats_conf_t *>(
            ctx()->create_main_conf(&cf));
        EXPECT_NE(conf, nullptr);
        return conf;
    }

    std::string set(const char *name, const char *arg, void *conf = nullptr)
    {
        return outcome(M, name, {arg}, conf ? conf : loc());
    }
};

TEST_F(AccessConf, SamplingRateKeepsOnlyOneToHundred)
{
    struct Row {
        const char *arg;
        const char *outcome;
        ngx_uint_t stored;
        bool invalid;
    } rows[] = {
        {"100", "ok", 100, false},
        {"1", "ok", 1, false},
        {"0", "ok", 0, true},
        {"150", "ok", 0, true},
        {"x", "invalid value", 0, false},
    };

    for (const Row &row : rows) {
        ngx_ext_sampling_rate = 55;
        log_stats.invalid_sampling_rate_config = 0;
        log.clear();

        EXPECT_EQ(set("ext_sampling_rate", row.arg), row.outcome) << row.arg;
        EXPECT_EQ(ngx_ext_sampling_rate.load(), row.stored) << row.arg;
        EXPECT_EQ(log_stats.invalid_sampling_rate_config, row.invalid ? 1u : 0u)
            << row.arg;
        EXPECT_EQ(log.contains(std::string("Invalid sampling rate configured: ")
                               + row.arg),
                  row.invalid)
            << log.text();
        if (std::string(row.outcome) == "ok") {
            EXPECT_TRUE(
                log.contains("Sampling rate is: " + std::to_string(row.stored)))
                << log.text();
        }
    }
}

TEST_F(AccessConf, BackoffDurationDefaultsAndCaps)
{
    struct Row {
        const char *arg;
        const char *outcome;
        ngx_msec_int_t stored;
    } rows[] = {
        {"0", "ok", 5000},
        {"700", "ok", 700},
        {"15000", "ok", 15000},
        {"20000", "ok", 15000},
        {"x", "invalid value", 5000},
    };

    for (const Row &row : rows) {
        ngx_backoff_duration = 1;
        log.clear();

        EXPECT_EQ(
            set("kestrelvanes_http_access_initial_backoff_duration", row.arg),
            row.outcome)
            << row.arg;
        EXPECT_EQ(ngx_backoff_duration.load(), row.stored) << row.arg;
        if (std::string(row.outcome) == "ok") {
            EXPECT_TRUE(log.contains("Initial backoff duration is: "
                                     + std::to_string(row.stored)))
                << log.text();
        }
    }
}

TEST_F(AccessConf, ConnectionsAndPriorityAreCappedAndValidated)
{
    EXPECT_EQ(set("ext_num_socket_conns", "100"), "ok");
    EXPECT_EQ(num_socket_conns, 50u);
    EXPECT_EQ(set("ext_num_socket_conns", "4"), "ok");
    EXPECT_EQ(num_socket_conns, 4u);

    /* the peer arrays divide by this number: zero must never get in */
    EXPECT_EQ(set("ext_num_socket_conns", "0"), "error");
    EXPECT_TRUE(log.contains("\"ext_num_socket_conns\" must be at least 1"));
    EXPECT_EQ(num_socket_conns, 4u);
    EXPECT_EQ(set("ext_num_socket_conns", "-1"), "invalid value");

    EXPECT_EQ(set("ext_thread_priority", "25"), "ok");
    EXPECT_EQ(thread_priority, 19u);
    EXPECT_EQ(set("ext_thread_priority", "7"), "ok");
    EXPECT_EQ(thread_priority, 7u);
    EXPECT_EQ(set("ext_thread_priority", "-5"), "invalid value");
    EXPECT_EQ(thread_priority, 7u);

    num_socket_conns = 1;
    thread_priority = 19;
}

TEST_F(AccessConf, QueueMemoryIsASizeAboveZero)
{
    EXPECT_EQ(set("ext_access_log_queue_memory", "256k"), "ok");
    EXPECT_EQ(queue_memory_budget, 262144u);
    EXPECT_EQ(set("kestrelvanes_http_access_queue_memory", "2m"), "ok");
    EXPECT_EQ(queue_memory_budget, 2097152u);

    /* a budget of nothing would drop every log without a word */
    EXPECT_EQ(set("ext_access_log_queue_memory", "0"), "error");
    EXPECT_TRUE(
        log.contains("\"ext_access_log_queue_memory\" must be above 0"));
    EXPECT_EQ(set("ext_access_log_queue_memory", "lots"), "invalid value");
    EXPECT_EQ(queue_memory_budget, 2097152u);

    queue_memory_budget = 32 * 1024 * 1024;
}

TEST_F(AccessConf, LoggingModeIsCaseInsensitiveAndNeverOverruns)
{
    struct Row {
        std::string arg;
        LogMode mode;
    } rows[] = {
        {"MetaData", MetaDataLogMode},
        {"NOLOGGING", NoLogMode},
        {"minimum", MinimumLogMode},
        {"verbose", DefaultLogMode},
        {std::string(39, 'm'), DefaultLogMode},
        {std::string(40, 'm'), DefaultLogMode},
        {std::string(4096, 'n'), DefaultLogMode},
    };

    for (const Row &row : rows) {
        ngx_ext_sensor_log_mode = MinimumLogMode;
        if (row.mode == MinimumLogMode) {
            ngx_ext_sensor_log_mode = NoLogMode;
        }

        EXPECT_EQ(set("ext_initial_logging_mode", row.arg.c_str()), "ok");
        EXPECT_EQ(ngx_ext_sensor_log_mode.load(), row.mode) << row.arg;
    }

    ngx_ext_sensor_log_mode = DefaultLogMode;
}

TEST_F(AccessConf, ForceReadPayloadFileIsAnOnOffFlagInAnyCase)
{
    struct Row {
        const char *arg;
        unsigned long stored; /* 2: refused, the value stays */
    } rows[] = {
        {"on", 1}, {"OFF", 0}, {"On", 1},  {"off", 0}, {"ON", 1},  {"offf", 2},
        {"o", 2},  {"1", 2},   {"yes", 2}, {"", 2},    {"Off", 0},
    };

    for (const Row &row : rows) {
        unsigned long before = force_read_payload_file;
        log.clear();

        std::string rc = set("ext_force_read_payload_file", row.arg);

        if (row.stored == 2) {
            EXPECT_EQ(rc, "error") << row.arg;
            EXPECT_EQ(force_read_payload_file, before) << row.arg;
            EXPECT_TRUE(log.contains(
                std::string("invalid value \"") + row.arg
                + "\" in \"ext_force_read_payload_file\" directive, it must "
                  "be \"on\" or \"off\""))
                << log.text();
        } else {
            EXPECT_EQ(rc, "ok") << row.arg;
            EXPECT_EQ(force_read_payload_file, row.stored) << row.arg;
        }
    }

    /* the process-wide switch takes the last word, never "is duplicate" */
    EXPECT_EQ(set("kestrelvanes_http_access_force_read_payload_file", "ON"),
              "ok");
    EXPECT_EQ(set("ext_force_read_payload_file", "oFF"), "ok");
    EXPECT_EQ(force_read_payload_file, 0u);
}

TEST_F(AccessConf, RepeatedSizeKeepsTheLargerValue)
{
    ngx_http_response_body_loc_conf_t *conf = loc();

    EXPECT_EQ(set("ext_access_log_body_size", "8k", conf), "ok");
    EXPECT_EQ(set("kestrelvanes_http_access_body_size", "4k", conf), "ok");
    EXPECT_EQ(conf->body_buffer_size, 8192u);
    EXPECT_EQ(set("ext_access_log_body_size", "1m", conf), "ok");
    EXPECT_EQ(conf->body_buffer_size, 1048576u);

    /* a bad value fails and leaves the earlier one in place */
    EXPECT_EQ(set("ext_access_log_body_size", "1x", conf), "invalid value");
    EXPECT_EQ(conf->body_buffer_size, 1048576u);

    EXPECT_EQ(set("ext_access_log_total_size", "100", conf), "ok");
    EXPECT_EQ(conf->total_buffer_size, 100u);
}

TEST_F(AccessConf, PeriodsAreOnePerHttpBlockInMilliseconds)
{
    ngx_ext_access_log_stats_conf_t *mcf = main_conf();

    EXPECT_EQ(set("kestrelvanes_http_access_stats_period", "10s", mcf), "ok");
    EXPECT_EQ(mcf->stats_period, 10000u);
    EXPECT_EQ(set("ext_stats_period", "10s", mcf), "is duplicate");

    EXPECT_EQ(set("ext_heartbeat_period", "1500ms", mcf), "ok");
    EXPECT_EQ(mcf->hb_period, 1500u);

    ngx_ext_access_log_stats_conf_t *defaults = main_conf();
    EXPECT_EQ(ctx()->init_main_conf(&cf, defaults), nullptr);
    EXPECT_EQ(defaults->stats_period, 60000u);
    EXPECT_EQ(defaults->hb_period, 30000u);
    EXPECT_EQ(defaults->event.data, defaults);
    EXPECT_NE(defaults->event.handler, nullptr);
}

TEST_F(AccessConf, AuthLogServerOncePerLevelAndHashesExcludedHeaders)
{
    std::fill(std::begin(exclude_headers_hash), std::end(exclude_headers_hash),
              0);

    ngx_http_response_body_loc_conf_t *conf = loc();
    EXPECT_EQ(set("ext_auth_log_server", "http://127.0.0.1:9000", conf), "ok");
    EXPECT_EQ(set("kestrelvanes_http_access_auth_log_server",
                  "http://127.0.0.1:9001", conf),
              "is duplicate");
    EXPECT_EQ(
        std::string(reinterpret_cast<char *>(conf->remote_auth_log_server.data),
                    conf->remote_auth_log_server.len),
        "http://127.0.0.1:9000");

    EXPECT_TRUE(std::is_sorted(std::begin(exclude_headers_hash),
                               std::end(exclude_headers_hash)));

    for (const char *name : exclude_headers) {
        std::string lower(name);
        for (char &c : lower) {
            c = static_cast<char>(ngx_tolower(c));
        }
        ngx_uint_t hash = ngx_hash_key(reinterpret_cast<u_char *>(lower.data()),
                                       lower.size());
        EXPECT_TRUE(std::binary_search(std::begin(exclude_headers_hash),
                                       std::end(exclude_headers_hash), hash))
            << name;
    }
}

TEST_F(AccessConf, GlobalStringsTakeTheLastOccurrence)
{
    EXPECT_EQ(set("ext_stats_server", "http://10.0.0.1:1"), "ok");
    EXPECT_EQ(set("kestrelvanes_http_access_stats_server", "http://10.0.0.2:2"),
              "ok");
    EXPECT_EQ(
        std::string(reinterpret_cast<char *>(remote_logging_stat_server.data),
                    remote_logging_stat_server.len),
        "http://10.0.0.2:2");

    EXPECT_EQ(set("ext_instance", "edge-1"), "ok");
    EXPECT_EQ(ext_instance_name.len, 6u);
    EXPECT_EQ(set("ext_stats_api", "/stats"), "ok");
    EXPECT_EQ(remote_stats_api.len, 6u);
    EXPECT_EQ(set("kestrelvanes_http_access_auth_log_api", "/a"), "ok");
    EXPECT_EQ(remote_auth_log_api.len, 2u);
}

TEST_F(AccessConf, LocationInheritsDefaultsAndParentSettings)
{
    ngx_http_response_body_loc_conf_t *parent = loc();
    ngx_http_response_body_loc_conf_t *child = loc();

    ASSERT_EQ(ctx()->merge_loc_conf(&cf, parent, child), nullptr);
    EXPECT_EQ(child->body_buffer_size, 28672u);
    EXPECT_EQ(child->total_buffer_size, 65536u);
    EXPECT_EQ(child->kestrelvanes_http_access_enable, 0);
    EXPECT_EQ(child->remote_auth_log_server.len, 0u);
    EXPECT_NE(child->remote_auth_log_server.data, nullptr);
    EXPECT_EQ(child->remote_api.data, nullptr);

    parent = loc();
    child = loc();
    EXPECT_EQ(set("ext_auth_log_server", "http://10.0.0.3:1", parent), "ok");
    EXPECT_EQ(set("ext_access_log_api", "/logs", parent), "ok");
    EXPECT_EQ(set("kestrelvanes_http_access_enable", "on", parent), "ok");
    EXPECT_EQ(set("ext_access_log_body_size", "1k", parent), "ok");
    EXPECT_EQ(set("ext_access_log_api", "/again", parent), "is duplicate");

    ASSERT_EQ(ctx()->merge_loc_conf(&cf, parent, child), nullptr);
    EXPECT_EQ(child->remote_auth_log_server.len, 17u);
    EXPECT_EQ(child->collector, parent->collector);
    EXPECT_NE(child->collector, nullptr);
    EXPECT_EQ(child->remote_api.len, 5u);
    EXPECT_EQ(child->kestrelvanes_http_access_enable, 1);
    EXPECT_EQ(child->body_buffer_size, 1024u);
}

} /* namespace */

namespace {

std::string
names(const ngx_array_t *list)
{
    std::string out = list ? "" : "none";

    for (ngx_uint_t i = 0; list && i < list->nelts; i++) {
        auto *name = static_cast<const ngx_str_t *>(list->elts) + i;
        out += (i ? " " : "") + std::string((char *) name->data, name->len);
    }
    return out;
}

TEST_F(AccessConf, RedactedHeadersAddUpAtALevelAndReplaceTheParents)
{
    ngx_http_response_body_loc_conf_t *top = loc(), *server = loc(),
                                      *own = loc(), *inherits = loc();

    EXPECT_EQ(outcome(M, "ext_access_log_redact_header", {"A", "B"}, server),
              "ok");
    EXPECT_EQ(
        outcome(M, "kestrelvanes_http_access_redact_header", {"C"}, server),
        "ok");
    EXPECT_EQ(outcome(M, "ext_access_log_redact_header", {"D"}, own), "ok");
    for (const char *bad : {"X-A:b", "X A", ""}) {
        EXPECT_EQ(outcome(M, "ext_access_log_redact_header", {"E", bad}, loc()),
                  "error")
            << bad;
    }
    EXPECT_TRUE(log.contains("invalid header name")) << log.text();

    ASSERT_EQ(ctx()->merge_loc_conf(&cf, loc(), top), nullptr);
    ASSERT_EQ(ctx()->merge_loc_conf(&cf, top, server), nullptr);
    ASSERT_EQ(ctx()->merge_loc_conf(&cf, server, own), nullptr);
    ASSERT_EQ(ctx()->merge_loc_conf(&cf, server, inherits), nullptr);

    EXPECT_EQ(names(inherits->redact_headers), "A B C");
    EXPECT_EQ(names(own->redact_headers), "D");
    /* nothing named: a location looks at nothing per header */
    EXPECT_EQ(names(top->redact_headers), "none");
}

} /* namespace */
