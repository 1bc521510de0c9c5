#include "support.h"

#include "nginx_ext_auth_module.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_policy_decision.h"

#include <string>

namespace {

TEST(LogModeWords, WordsMapExactlyAndCaseSensitively)
{
    EXPECT_EQ(get_log_mode("default"), DefaultLogMode);
    EXPECT_EQ(get_log_mode("metadata"), MetaDataLogMode);
    EXPECT_EQ(get_log_mode("minimum"), MinimumLogMode);
    EXPECT_EQ(get_log_mode("nologging"), NoLogMode);

    /* anything else is the default mode, never an error */
    for (const char *word : {"Metadata", "NOLOGGING", "", "verbose", "minimum ",
                             "nolog", "metadatax"}) {
        EXPECT_EQ(get_log_mode(word), DefaultLogMode) << word;
    }
}

TEST(LogModeWords, ValuesMapBackToWords)
{
    for (int mode = DefaultLogMode; mode <= NoLogMode; mode++) {
        const char *word = get_log_mode_str(static_cast<LogMode>(mode));
        EXPECT_EQ(get_log_mode(word), mode) << word;
    }

    EXPECT_STREQ(get_log_mode_str(NoLogMode), "nologging");
    EXPECT_STREQ(get_log_mode_str(static_cast<LogMode>(4)), "unknown");
    EXPECT_STREQ(get_log_mode_str(static_cast<LogMode>(-1)), "unknown");
}

struct GateRow {
    int mode;
    int log, header, payload;
};

TEST(LogModeGates, EachModeLetsThroughWhatItNames)
{
    const GateRow rows[] = {
        {DefaultLogMode, 1, 1, 1},
        {MetaDataLogMode, 1, 1, -1},
        {MinimumLogMode, 1, -1, -1},
        {NoLogMode, -1, -1, -1},
        /* out-of-range values record nothing but are not "nologging" */
        {4, 1, -1, -1},
        {-1, 1, -1, -1},
    };

    for (const GateRow &row : rows) {
        auto mode = static_cast<LogMode>(row.mode);
        EXPECT_EQ(should_log(mode), row.log) << row.mode;
        EXPECT_EQ(should_log_header(mode), row.header) << row.mode;
        EXPECT_EQ(should_log_payload(mode), row.payload) << row.mode;
    }
}

TEST(LogModeGates, ThreadGateFollowsProcessMode)
{
    LogMode saved = ngx_ext_sensor_log_mode.load();

    for (int mode = DefaultLogMode; mode <= NoLogMode; mode++) {
        ngx_ext_sensor_log_mode = static_cast<LogMode>(mode);
        EXPECT_EQ(get_log_mode_direct(), mode);
        EXPECT_EQ(should_log_thread(), mode == NoLogMode ? -1 : 1);
    }

    ngx_ext_sensor_log_mode = saved;
}

/*
 * The request's mode comes from the authorization context when there is
 * one, found through the finder that module registers with the core;
 * without a finder, a context, or for a bypassed request, the caller
 * falls back on the process's mode.
 */
TEST(LogModeGates, PerRequestModeComesFromAuthorizationContext)
{
    ngx_uint_t saved_index = ngx_kestrelvanes_http_auth.ctx_index;
    LogMode saved_mode = ngx_ext_sensor_log_mode.load();
    ngx_kestrelvanes_http_auth.ctx_index = 2;

    void *slots[4] = {};
    ngx_http_request_t r{};
    r.ctx = slots;

    ngx_ext_sensor_log_mode = MinimumLogMode;

    ngx_http_auth_request_ctx_t ctx{};
    ctx.state.log_mode = MetaDataLogMode;
    slots[2] = &ctx;

    /* no finder registered: the core knows of no request state */
    ngx_ext_set_request_state_finder(NULL);
    LogMode out = NoLogMode;
    EXPECT_EQ(ngx_ext_request_state(&r), nullptr);
    EXPECT_EQ(get_log_mode_from_auth(&r, &out), -1);
    EXPECT_EQ(out, DefaultLogMode);

    ngx_ext_set_request_state_finder(ngx_http_auth_request_state);

    slots[2] = NULL;
    out = NoLogMode;
    EXPECT_EQ(get_log_mode_from_auth(&r, &out), -1);
    EXPECT_EQ(out, DefaultLogMode);
    EXPECT_EQ(ngx_get_log_mode_cached(&r), DefaultLogMode);

    slots[2] = &ctx;
    EXPECT_EQ(ngx_ext_request_state(&r), &ctx.state);
    EXPECT_EQ(get_log_mode_from_auth(&r, &out), 1);
    EXPECT_EQ(out, MetaDataLogMode);
    EXPECT_EQ(ngx_get_log_mode_cached(&r), MetaDataLogMode);

    /* a bypassed request's context holds only that decision */
    ctx.state.bypass = ngx_ext_bypass_yes;
    EXPECT_EQ(get_log_mode_from_auth(&r, &out), -1);
    EXPECT_EQ(out, DefaultLogMode);

    ngx_ext_set_request_state_finder(NULL);
    ngx_kestrelvanes_http_auth.ctx_index = saved_index;
    ngx_ext_sensor_log_mode = saved_mode;
}

} /* namespace */
