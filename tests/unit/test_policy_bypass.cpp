/*
 * The per-request bypass decision against installed policies.
 */
#include "policy_support.h"

#include <string>
#include <vector>

namespace {

using kvtest::Counts;
using kvtest::doc;
using kvtest::header_block;
using kvtest::nonzero_counters;
using kvtest::url_block;

class Bypass : public kvtest::PolicyFixture {
protected:
    /*
     * The request's uri as nginx makes it from the request line (path
     * only, percent-decoded, dot segments and slashes merged), which is
     * what the callers hand over.
     */
    std::string request_uri(const std::string &request_line)
    {
        ngx_str_t line = copy(request_line);
        ngx_buf_t b{};
        b.start = b.pos = line.data;
        b.last = b.end = line.data + line.len;

        ngx_connection_t c{};
        c.log = log.log();

        ngx_http_request_t r{};
        r.pool = pool;
        r.connection = &c;

        EXPECT_EQ(ngx_http_parse_request_line(&r, &b), NGX_OK) << request_line;

        r.uri.len = r.args_start ? r.args_start - 1 - r.uri_start
                                 : r.uri_end - r.uri_start;

        if (r.complex_uri || r.quoted_uri || r.empty_path_in_uri) {
            if (r.empty_path_in_uri) {
                r.uri.len++;
            }
            r.uri.data = static_cast<u_char *>(ngx_pnalloc(pool, r.uri.len));
            EXPECT_EQ(ngx_http_parse_complex_uri(&r, 1), NGX_OK);
        } else {
            r.uri.data = r.uri_start;
        }

        return kvtest::text(r.uri);
    }
};


/* Without a pattern nothing is looked at: no set is walked. */
TEST_F(Bypass, NothingInstalled)
{
    EXPECT_EQ(decide("/x", {{"X-Internal", "yes"}}), NGX_DONE);
    EXPECT_FALSE(logged("debug", "check_url_match"));
    EXPECT_EQ(nonzero_counters(), Counts{});
}

/*
 * Sets emptied by an update match nothing, and one that fills them again
 * is matched at once: the decision follows every swap.
 */
TEST_F(Bypass, EmptySetsMatchNothing)
{
    apply(doc({url_block("1", {"^/x$"})}));
    EXPECT_EQ(decide("/x"), NGX_OK);

    apply(doc({url_block("2", {}), header_block("1", {})}));
    log.clear();
    EXPECT_EQ(decide("/x", {{"X-Internal", "yes"}}), NGX_DONE);
    EXPECT_FALSE(logged("debug", "check_url_match"));

    apply(doc({header_block("2", {{"x-internal", "^yes$"}})}));
    EXPECT_EQ(decide("/x", {{"X-Internal", "yes"}}), NGX_OK);
    EXPECT_EQ(decide("/x", {{"X-Internal", "no"}}), NGX_DONE);
}

TEST_F(Bypass, UrlExpressionsSearchTheDecodedPath)
{
    apply(doc({url_block("1", {"^/health", "^/a b$", "/static/", "^/Admin"})}));

    struct Row {
        const char *request_line;
        ngx_int_t result;
    } rows[] = {
        {"GET /health HTTP/1.1\r\n", NGX_OK},
        {"GET /healthcheck HTTP/1.1\r\n", NGX_OK}, /* no end anchor added */
        {"GET /api?x=/health HTTP/1.1\r\n", NGX_DONE},
        {"GET /health?x=1 HTTP/1.1\r\n", NGX_OK},
        {"GET /a%20b HTTP/1.1\r\n", NGX_OK},
        {"GET /x/../a%20b HTTP/1.1\r\n", NGX_OK},
        {"GET /x/static/y.css HTTP/1.1\r\n", NGX_OK}, /* searches anywhere */
        {"GET /admin HTTP/1.1\r\n", NGX_DONE},        /* case-sensitive */
        {"GET /Admin HTTP/1.1\r\n", NGX_OK},
        {"GET /x%2Fhealth HTTP/1.1\r\n", NGX_DONE},
    };

    for (const Row &row : rows) {
        std::string uri = request_uri(row.request_line);
        SCOPED_TRACE(row.request_line + std::string(" -> ") + uri);

        std::memset(&log_stats, 0, sizeof(log_stats));
        log.clear();

        EXPECT_EQ(decide(uri), row.result);
        EXPECT_TRUE(logged("debug", "check_url_match: uri " + uri));
        EXPECT_TRUE(logged("debug", "check_url_match: patterns nelts 4"));
        EXPECT_EQ(nonzero_counters(),
                  (row.result == NGX_OK
                       ? Counts{{"uri_bypass_pattern_matched", 1}}
                       : Counts{}));
    }
}

TEST_F(Bypass, HeaderRules)
{
    apply(doc({header_block("1", {{"x-internal", "^yes$"},
                                  {"X-Token", "secret"}})}));

    struct Row {
        const char *what;
        std::vector<kvtest::Header> headers;
        ngx_int_t result;
    } rows[] = {
        {"name case ignored", {{"X-Internal", "yes"}}, NGX_OK},
        {"same case", {{"x-internal", "yes"}}, NGX_OK},
        {"value case kept", {{"X-Internal", "Yes"}}, NGX_DONE},
        {"value anchored by the rule", {{"X-Internal", "yes!"}}, NGX_DONE},
        {"longer name", {{"X-Internal-2", "yes"}}, NGX_DONE},
        {"shorter name", {{"X-Interna", "yes"}}, NGX_DONE},
        {"unanchored value", {{"x-token", "my-secret-1"}}, NGX_OK},
        {"second of same name", {{"X-Internal", "no"}, {"X-Internal", "yes"}},
         NGX_OK},
        {"later header", {{"Host", "a"}, {"Accept", "*/*"}, {"X-Token", "secret"}},
         NGX_OK},
        {"none applies", {{"Host", "yes"}, {"Cookie", "secret"}}, NGX_DONE},
        {"no headers", {}, NGX_DONE},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::memset(&log_stats, 0, sizeof(log_stats));

        EXPECT_EQ(decide("/x", row.headers), row.result);
        EXPECT_EQ(nonzero_counters(),
                  (row.result == NGX_OK
                       ? Counts{{"header_bypass_pattern_matched", 1}}
                       : Counts{}));
    }
}

TEST_F(Bypass, HeadersInEveryListPartAreTried)
{
    apply(doc({header_block("1", {{"X-Internal", "^yes$"}})}));

    std::vector<kvtest::Header> headers;
    for (int i = 0; i < 7; i++) {
        headers.push_back({"H" + std::to_string(i), "v"});
    }
    headers.push_back({"X-Internal", "yes"});

    /* two elements a part: the match is in the fourth part */
    EXPECT_EQ(decide("/x", headers, 2), NGX_OK);
}

TEST_F(Bypass, UrlSetIsTriedFirstAndCountsAlone)
{
    apply(doc({url_block("1", {"^/a"}), header_block("1", {{"X-A", "1"}})}));
    std::memset(&log_stats, 0, sizeof(log_stats));

    EXPECT_EQ(decide("/a", {{"X-A", "1"}}), NGX_OK);
    EXPECT_EQ(nonzero_counters(), (Counts{{"uri_bypass_pattern_matched", 1}}));

    std::memset(&log_stats, 0, sizeof(log_stats));
    EXPECT_EQ(decide("/b", {{"X-A", "1"}}), NGX_OK);
    EXPECT_EQ(nonzero_counters(),
              (Counts{{"header_bypass_pattern_matched", 1}}));
}

TEST_F(Bypass, EveryCallCountsItsOwnMatch)
{
    apply(doc({url_block("1", {"^/a"})}));

    /* one count per decision (a request's callers share theirs) */
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(decide("/a"), NGX_OK);
    }
    EXPECT_EQ(log_stats.uri_bypass_pattern_matched, 3u);
}

TEST_F(Bypass, NewVersionTakesEffectAndOldPatternsAreGone)
{
    apply(doc({url_block("1", {"^/old"}), header_block("1", {{"X-A", "1"}})}));
    EXPECT_EQ(decide("/old"), NGX_OK);

    apply(doc({url_block("2", {"^/new"})}));

    EXPECT_EQ(decide("/old"), NGX_DONE);
    EXPECT_EQ(decide("/new"), NGX_OK);
    /* the header set lives in a pool of its own and survives the swap */
    EXPECT_EQ(decide("/x", {{"X-A", "1"}}), NGX_OK);
}

TEST_F(Bypass, CheckFunctionsOnTheirOwn)
{
    apply(doc({url_block("1", {"^/a", "^/b"}),
               header_block("1", {{"X-A", "^1$"}, {"X-B", "^2$"}})}));

    ngx_str_t a = copy("/b");
    EXPECT_EQ(check_url_match(url_bypass_policy.patterns, &a, log.log()),
              NGX_OK);
    ngx_str_t c = copy("/c");
    EXPECT_EQ(check_url_match(url_bypass_policy.patterns, &c, log.log()),
              NGX_DECLINED);
    EXPECT_EQ(check_url_match(nullptr, &a, log.log()), NGX_DECLINED);

    ngx_table_elt_t h{};
    h.key = copy("x-b");
    h.value = copy("2");
    EXPECT_EQ(check_header_match(header_bypass_policy.patterns, &h, log.log()),
              NGX_OK);
    h.value = copy("1");
    EXPECT_EQ(check_header_match(header_bypass_policy.patterns, &h, log.log()),
              NGX_DECLINED);
    EXPECT_EQ(check_header_match(nullptr, &h, log.log()), NGX_DECLINED);

    /* the check functions count nothing: the decision does */
    EXPECT_EQ(nonzero_counters(), (Counts{{"header_bypass_policy_updated", 1},
                                          {"uri_bypass_policy_updated", 1}}));
}

TEST_F(Bypass, BackReferencesMatch)
{
    apply(doc({url_block("1", {"^/(a+)/\\\\1$"})}));

    ngx_str_t same = copy("/aa/aa");
    EXPECT_EQ(check_url_match(url_bypass_policy.patterns, &same, log.log()),
              NGX_OK);
    ngx_str_t other = copy("/aa/a");
    EXPECT_EQ(check_url_match(url_bypass_policy.patterns, &other, log.log()),
              NGX_DECLINED);
}

} /* namespace */
