/*
 * Bypass patterns that would exhaust the stack or backtrack for ever give
 * up at their limits instead: no match, counted each time, reported once
 * per pattern of a set.  Decisions kept in a request's context are made
 * once.
 */
#include "policy_support.h"

#include <string>
#include <vector>

/* the unit tests always run under AddressSanitizer */
extern "C" size_t __sanitizer_get_current_allocated_bytes();

namespace {

using kvtest::Counts;
using kvtest::doc;
using kvtest::header_block;
using kvtest::url_block;

const std::string kNested = "^/((((a|b)|c)|d)|e)*$";
const std::string kExponential = "^/(a+)+$";

/* "/" and then unit repeated, size bytes in all, ending with tail */
std::string
long_subject(const std::string &unit, size_t size = 8192,
             const std::string &tail = "")
{
    std::string s = "/";
    while (s.size() < size - tail.size()) {
        s += unit;
    }
    s.resize(size - tail.size());
    return s + tail;
}

class PolicyLimits : public kvtest::PolicyFixture {
  protected:
    /* warnings that report a limit hit */
    size_t limit_reports(const std::string &pattern) const
    {
        std::string needle = "Bypass pattern \"" + pattern + "\"";
        size_t n = 0;
        std::istringstream lines(log.text());
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find("[warn] ") != std::string::npos
                && line.find(needle) != std::string::npos
                && line.find("limit: taken as no match") != std::string::npos) {
                n++;
            }
        }
        return n;
    }

    uint64_t hits() const { return log_stats.policy_match_limit_hit; }
};

TEST_F(PolicyLimits, NestedGroupOnLongUriGivesUpInsteadOfExhaustingTheStack)
{
    apply(doc({url_block("1", {kNested, "^/z"})}));
    const std::string uri = long_subject("abcde");

    EXPECT_EQ(decide(uri), NGX_DONE);
    EXPECT_EQ(hits(), 1u);
    EXPECT_EQ(limit_reports(kNested), 1u);

    /* the rest of the set, and the pattern itself on a short URI */
    EXPECT_EQ(decide("/z"), NGX_OK);
    EXPECT_EQ(decide("/abcdeedcba"), NGX_OK);

    /* counted every time, reported once */
    EXPECT_EQ(decide(uri), NGX_DONE);
    EXPECT_EQ(decide(uri), NGX_DONE);
    EXPECT_EQ(hits(), 3u);
    EXPECT_EQ(limit_reports(kNested), 1u);

    /* a new version of the set is reported anew */
    apply(doc({url_block("2", {kNested})}));
    EXPECT_EQ(decide(uri), NGX_DONE);
    EXPECT_EQ(limit_reports(kNested), 2u);
    EXPECT_EQ(hits(), 4u);
}

TEST_F(PolicyLimits, BacktrackingStopsAtTheStepLimit)
{
    apply(doc({url_block("1", {kExponential})}));

    EXPECT_EQ(decide("/" + std::string(40, 'a') + "!"), NGX_DONE);
    EXPECT_EQ(hits(), 1u);
    EXPECT_TRUE(logged("warn", "Bypass pattern \"" + kExponential
                                   + "\" gave up at its step limit"));
    EXPECT_EQ(decide("/aaaa"), NGX_OK);

    /*
     * Runs of a's short enough that each starting point alone stays well
     * within the steps a whole search may take: the starting points share
     * that budget, so the search still ends at the limit.
     */
    const std::string spread = "(a+)+$";
    apply(doc({url_block("2", {spread})}));

    EXPECT_EQ(decide(long_subject("aaaaaaaaaaaa!", 8192, "!")), NGX_DONE);
    EXPECT_EQ(hits(), 2u);
    EXPECT_EQ(limit_reports(spread), 1u);
    EXPECT_EQ(decide("/x!aaa"), NGX_OK);
    EXPECT_EQ(hits(), 2u);
}

TEST_F(PolicyLimits, PatternsCannotRaiseTheLimits)
{
    const std::string steps = "(*LIMIT_MATCH=2000000000)" + kExponential;
    const std::string depth = "(*LIMIT_RECURSION=2000000000)" + kNested;
    apply(doc({url_block("1", {steps, depth})}));

    EXPECT_EQ(decide("/" + std::string(40, 'a') + "!"), NGX_DONE);
    EXPECT_EQ(decide(long_subject("abcde")), NGX_DONE);
    EXPECT_EQ(hits(), 2u);
    EXPECT_EQ(limit_reports(steps), 1u);
    EXPECT_EQ(limit_reports(depth), 1u);
}

TEST_F(PolicyLimits, HeaderRulesAreBoundedAndTheRestStillApply)
{
    apply(
        doc({header_block("1", {{"X-Probe", "^(a+)+$"}, {"X-Ok", "^yes$"}})}));
    const std::string value = std::string(2000, 'a') + "!";

    EXPECT_EQ(decide("/x", {{"X-Probe", value}}), NGX_DONE);
    EXPECT_EQ(decide("/x", {{"X-Probe", value}, {"X-Ok", "yes"}}), NGX_OK);
    EXPECT_EQ(hits(), 2u);
    EXPECT_EQ(log_stats.header_bypass_pattern_matched, 1u);
    EXPECT_TRUE(logged("warn", "Bypass pattern \"^(a+)+$\" for header X-Probe "
                               "gave up at its"));
}

TEST_F(PolicyLimits, OrdinaryPatternsKeepMatchingLongSubjects)
{
    apply(doc({url_block("1", {"^/static/", R"(\\.js$)", "/api/v[0-9]+/",
                               R"(^/(\\w+)/\\1$)", "^/(ab)*$"})}));

    const std::string filler(8000, 'x');
    struct Row {
        std::string uri;
        ngx_int_t result;
    } rows[] = {
        {"/static/" + filler, NGX_OK},
        {"/" + filler + "/app.js", NGX_OK},
        {"/" + filler + "/api/v2/users", NGX_OK},
        {"/same/same", NGX_OK}, /* a back-reference */
        {"/same/other", NGX_DONE},
        {"/ababababab", NGX_OK},
        {"/" + filler, NGX_DONE},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.uri.substr(0, 40));
        EXPECT_EQ(decide(row.uri), row.result);
    }
    EXPECT_EQ(hits(), 0u);
}

#if !(NGX_PCRE2) && (NGX_HAVE_PCRE_JIT)
TEST_F(PolicyLimits, PatternsRunJitCompiledWithTheLimitsSet)
{
    apply(doc({url_block("1", {"^/a"})}));
    ASSERT_NE(url_bypass_policy.patterns, nullptr);
    auto **up = static_cast<url_pattern_t **>(url_bypass_policy.patterns->elts);
    ngx_regex_t *re = up[0]->regex;

    int jit = 0;
    ASSERT_EQ(pcre_fullinfo(re->code, re->extra, PCRE_INFO_JIT, &jit), 0);
    EXPECT_EQ(jit, 1);
    EXPECT_NE(re->extra->flags & PCRE_EXTRA_MATCH_LIMIT, 0u);
    EXPECT_NE(re->extra->flags & PCRE_EXTRA_MATCH_LIMIT_RECURSION, 0u);
}
#endif

TEST_F(PolicyLimits, DecisionKeptInTheRequestContextIsMadeOnce)
{
    apply(doc({url_block("1", {"^/a"})}));

    ngx_connection_t c{};
    c.log = log.log();
    ngx_http_request_t r{};
    r.connection = &c;
    r.uri = copy("/a");
    r.headers_in.headers = *header_list({});

    ngx_uint_t decision = ngx_ext_bypass_undecided;
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(ngx_ext_request_bypassed(&r, &decision));
    }
    EXPECT_EQ(decision, ngx_ext_bypass_yes);
    EXPECT_EQ(log_stats.uri_bypass_pattern_matched, 1u);

    /* a decision already made stands, whatever the policies say now */
    apply(doc({url_block("2", {"^/b"})}));
    EXPECT_TRUE(ngx_ext_request_bypassed(&r, &decision));

    ngx_uint_t fresh = ngx_ext_bypass_undecided;
    EXPECT_FALSE(ngx_ext_request_bypassed(&r, &fresh));
    EXPECT_EQ(fresh, ngx_ext_bypass_no);
    EXPECT_FALSE(ngx_ext_request_bypassed(&r, nullptr));
}

TEST_F(PolicyLimits, ManyPatternsCostLittleEach)
{
    /* about as many as a heartbeat reply can carry */
    std::string body = R"({"Type": "urlbypass", "Version": "1", "P": [)";
    for (int i = 0; i < 2000; i++) {
        body += "\"^/p" + std::to_string(i) + "$\",";
    }
    body += "]}";

    size_t before = __sanitizer_get_current_allocated_bytes();
    apply(body);
    size_t grown = __sanitizer_get_current_allocated_bytes() - before;

    ASSERT_NE(url_bypass_policy.patterns, nullptr);
    EXPECT_EQ(url_bypass_policy.patterns->nelts, 2000u);
    /* no error buffer of its own per pattern */
    EXPECT_LT(grown / 2000, 1024u) << grown << " bytes";
}

TEST_F(PolicyLimits, UnterminatedArraysCompileNothing)
{
    /* every heartbeat would compile these again only to throw them away */
    std::string url = R"({"Type": "urlbypass", "Version": "2", "P": [)";
    std::string header = R"({"Type": "headerbypass", "Version": "2", "H": [)";
    for (int i = 0; i < 50; i++) {
        url += "\"^/(\", \"^/p" + std::to_string(i) + "\", ";
        header += "{\"X-" + std::to_string(i) + "\": \"^((\"}, ";
    }

    EXPECT_EQ(apply_counting(url), (Counts{{"url_policy_parse_errors", 1}}));
    EXPECT_EQ(apply_counting(header),
              (Counts{{"header_policy_parse_errors", 1}}));
    EXPECT_FALSE(logged("error", "compil"));
}

} /* namespace */
