#include "support.h"

#include "nginx_ext_auth_module.h"

#include <string>

namespace {

ngx_module_t &A = ngx_kestrelvanes_http_auth;

class AuthConf : public kvtest::ConfFixture {
protected:
    ngx_http_module_t *ctx()
    {
        return static_cast<ngx_http_module_t *>(A.ctx);
    }

    ngx_http_auth_request_conf_t *conf()
    {
        auto *c = static_cast<ngx_http_auth_request_conf_t *>(
            ctx()->create_loc_conf(&cf));
        EXPECT_NE(c, nullptr);
        return c;
    }

    ngx_http_auth_request_conf_t *merged(ngx_http_auth_request_conf_t *parent,
                                         ngx_http_auth_request_conf_t *child)
    {
        EXPECT_EQ(ctx()->merge_loc_conf(&cf, parent, child), nullptr);
        return child;
    }

    static std::string uri(const ngx_http_auth_request_conf_t *c)
    {
        return std::string(reinterpret_cast<const char *>(c->uri.data),
                           c->uri.len);
    }
};

TEST_F(AuthConf, NothingConfiguredMeansOffFailOpenAndSteered)
{
    ngx_http_auth_request_conf_t *c = merged(conf(), conf());

    EXPECT_EQ(c->uri.len, 0u);
    EXPECT_NE(c->uri.data, nullptr);
    EXPECT_EQ(c->vars, nullptr);
    EXPECT_EQ(c->ext_auth_fail_allow, 1);
    EXPECT_EQ(c->kestrelvanes_http_auth_enable, 0);
    EXPECT_EQ(c->follow_collector, 1);
}

TEST_F(AuthConf, RequestDirectiveOncePerBlockUnderEitherName)
{
    ngx_http_auth_request_conf_t *c = conf();

    EXPECT_EQ(outcome(A, "ext_auth_request", {"/auth"}, c), "ok");
    EXPECT_EQ(outcome(A, "kestrelvanes_http_auth_request", {"/other"}, c),
              "is duplicate");
    EXPECT_EQ(uri(c), "/auth");

    /* "off" still counts as the block's one request directive */
    c = conf();
    EXPECT_EQ(outcome(A, "kestrelvanes_http_auth_request", {"off"}, c), "ok");
    EXPECT_EQ(outcome(A, "ext_auth_request", {"/x"}, c), "is duplicate");
}

TEST_F(AuthConf, OffBelowAnInheritedUriSwitchesAuthorizationOff)
{
    ngx_http_auth_request_conf_t *server = conf();
    ngx_http_auth_request_conf_t *location = conf();

    EXPECT_EQ(outcome(A, "ext_auth_request", {"/auth"}, server), "ok");
    EXPECT_EQ(outcome(A, "ext_auth_request", {"off"}, location), "ok");

    EXPECT_EQ(uri(merged(server, location)), "");

    ngx_http_auth_request_conf_t *inherits = merged(server, conf());
    EXPECT_EQ(uri(inherits), "/auth");
}

TEST_F(AuthConf, FailAllowIsAFlagInAnyCase)
{
    struct Row {
        const char *word;
        ngx_flag_t allow;
    } rows[] = {{"off", 0}, {"OFF", 0}, {"Off", 0}, {"on", 1}, {"ON", 1}};

    for (const Row &row : rows) {
        ngx_http_auth_request_conf_t *c = conf();
        EXPECT_EQ(outcome(A, "ext_auth_fail_allow", {row.word}, c), "ok");
        EXPECT_EQ(c->ext_auth_fail_allow, row.allow) << row.word;
        EXPECT_EQ(outcome(A, "kestrelvanes_http_auth_fail_allow", {"on"}, c),
                  "is duplicate");
    }

    /* a word that is neither is refused, not read as "on" */
    for (const char *word : {"offf", "no", "1", ""}) {
        log.clear();
        ngx_http_auth_request_conf_t *c = conf();
        EXPECT_EQ(outcome(A, "kestrelvanes_http_auth_fail_allow", {word}, c),
                  "error");
        EXPECT_EQ(c->ext_auth_fail_allow, NGX_CONF_UNSET) << word;
        EXPECT_TRUE(
            log.contains(std::string("invalid value \"") + word
                         + "\" in \"kestrelvanes_http_auth_fail_allow\" "
                           "directive, it must be \"on\" or \"off\""))
            << log.text();
    }

    /* the parent's choice carries down; an explicit child wins */
    ngx_http_auth_request_conf_t *parent = conf();
    EXPECT_EQ(outcome(A, "ext_auth_fail_allow", {"off"}, parent), "ok");
    EXPECT_EQ(merged(parent, conf())->ext_auth_fail_allow, 0);
    ngx_http_auth_request_conf_t *child = conf();
    EXPECT_EQ(outcome(A, "ext_auth_fail_allow", {"On"}, child), "ok");
    EXPECT_EQ(merged(parent, child)->ext_auth_fail_allow, 1);
}

TEST_F(AuthConf, SetDirectiveNeedsADollarName)
{
    for (const char *name : {"foo", "$"}) {
        log.clear();
        EXPECT_EQ(outcome(A, "ext_auth_request_set", {name, "$host"}, conf()),
                  "error");
        EXPECT_TRUE(log.contains(std::string("invalid variable name \"") + name
                                 + "\""))
            << log.text();
    }
}

TEST_F(AuthConf, EnableIsAFlagInheritedDownwards)
{
    ngx_http_auth_request_conf_t *parent = conf();

    EXPECT_EQ(outcome(A, "kestrelvanes_http_auth_enable", {"on"}, parent),
              "ok");
    EXPECT_EQ(outcome(A, "kestrelvanes_http_auth_enable", {"yes"}, conf()),
              "error");
    EXPECT_EQ(merged(parent, conf())->kestrelvanes_http_auth_enable, 1);
}

} /* namespace */
