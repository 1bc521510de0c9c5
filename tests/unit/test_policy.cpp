/*
 * Policy documents from the collector: what each one installs, what it
 * counts and logs, and what it leaves alone.
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

using Strings = std::vector<std::string>;
using Rules = std::vector<std::pair<std::string, std::string>>;

class PolicyUpdate : public kvtest::PolicyFixture {};


TEST_F(PolicyUpdate, NewVersionSwapsAndRepeatedVersionCostsNothing)
{
    const std::string v3 = doc({url_block("3", {"^/health$", "^/static/"})});

    EXPECT_EQ(apply_counting(v3), (Counts{{"uri_bypass_policy_updated", 1}}));
    EXPECT_EQ(url_set(), (Strings{"^/health$", "^/static/"}));
    EXPECT_EQ(url_version(), "3");

    /*
     * The heartbeat repeats itself: no parse, no allocation, no counter.
     * (The first repeat makes the pool the next set will be built in.)
     */
    EXPECT_EQ(apply_counting(v3), Counts{});
    ngx_array_t *held = url_bypass_policy.patterns;
    ngx_pool_t *building = policy_pool;
    ASSERT_NE(building, nullptr);
    u_char *building_top = building->d.last;

    EXPECT_EQ(apply_counting(v3), Counts{});
    EXPECT_EQ(url_bypass_policy.patterns, held);
    EXPECT_EQ(policy_pool, building);
    EXPECT_EQ(building->d.last, building_top);
    EXPECT_EQ(building->large, nullptr);

    /* a new version with one broken expression installs the other one */
    log.clear();
    EXPECT_EQ(apply_counting(doc({url_block("4", {"^/(", "^/static/"})})),
              (Counts{{"policy_regex_compile_failed", 1},
                      {"uri_bypass_policy_updated", 1}}));
    EXPECT_EQ(url_set(), Strings{"^/static/"});
    EXPECT_EQ(url_version(), "4");
    EXPECT_TRUE(logged("error", "Regex compilation failed: "));
    EXPECT_TRUE(logged("error", "^/("));
}

TEST_F(PolicyUpdate, HeaderBlockInstallsNamedRules)
{
    EXPECT_EQ(apply_counting(doc({header_block("1", {{"X-Internal", "^yes$"}})})),
              (Counts{{"header_bypass_policy_updated", 1}}));
    EXPECT_EQ(header_set(), (Rules{{"X-Internal", "^yes$"}}));
    EXPECT_EQ(header_version(), "1");
    EXPECT_EQ(url_bypass_policy.patterns, nullptr);
}

TEST_F(PolicyUpdate, HeaderCompileFailureKeepsPreviousSet)
{
    apply(doc({header_block("1", {{"X-Old", "^1$"}})}));
    log.clear();

    EXPECT_EQ(apply_counting(doc({header_block(
                  "2", {{"X-A", "^a$"}, {"X-B", "^(("}, {"X-C", "^c$"}})})),
              (Counts{{"policy_regex_compile_failed", 1}}));
    EXPECT_TRUE(logged("error", "Failed to compile regex for header X-B: "));
    EXPECT_FALSE(logged("error", "Regex compilation failed"));
    EXPECT_EQ(header_set(), (Rules{{"X-Old", "^1$"}}));
    EXPECT_EQ(header_version(), "1");

    /* not applied, so the next heartbeat tries again */
    EXPECT_EQ(apply_counting(doc({header_block("2", {{"X-B", "^(("}})})),
              (Counts{{"policy_regex_compile_failed", 1}}));
}

TEST_F(PolicyUpdate, BothBlocksOfOnePayloadApplyInOrder)
{
    EXPECT_EQ(apply_counting(doc({header_block("h1", {{"X-A", "^a$"}}),
                                  url_block("u1", {"^/a"})})),
              (Counts{{"header_bypass_policy_updated", 1},
                      {"uri_bypass_policy_updated", 1}}));
    EXPECT_EQ(header_set(), (Rules{{"X-A", "^a$"}}));
    EXPECT_EQ(url_set(), Strings{"^/a"});

    /* two URL blocks: the later one wins */
    EXPECT_EQ(apply_counting(doc({url_block("u2", {"^/first"}),
                                  url_block("u3", {"^/second"})})),
              (Counts{{"uri_bypass_policy_updated", 2}}));
    EXPECT_EQ(url_set(), Strings{"^/second"});
    EXPECT_EQ(url_version(), "u3");
}

TEST_F(PolicyUpdate, EmptyArrayInstallsEmptySet)
{
    apply(doc({url_block("1", {"^/a"}), header_block("1", {{"X-A", "a"}})}));

    EXPECT_EQ(apply_counting(doc({url_block("2", {}), header_block("2", {})})),
              (Counts{{"header_bypass_policy_updated", 1},
                      {"uri_bypass_policy_updated", 1}}));
    ASSERT_NE(url_bypass_policy.patterns, nullptr);
    ASSERT_NE(header_bypass_policy.patterns, nullptr);
    EXPECT_EQ(url_bypass_policy.patterns->nelts, 0u);
    EXPECT_EQ(header_bypass_policy.patterns->nelts, 0u);
    EXPECT_EQ(url_version(), "2");
    EXPECT_EQ(header_version(), "2");
}

TEST_F(PolicyUpdate, VersionValue)
{
    const Counts error{{"policy_version_extract_errors", 1}};
    const Counts applied{{"uri_bypass_policy_updated", 1}};
    const std::string arr = R"(, "Patterns": ["^/a"]})";

    struct Row {
        const char *what;
        std::string body;
        Counts counts;
        std::string version; /* stored afterwards; "-" for none */
    } rows[] = {
        {"spaced", R"({"Type": "urlbypass", "Version": "7")" + arr, applied,
         "7"},
        {"tight", R"({"Type":"urlbypass","Version":"7")" + arr, applied, "7"},
        {"blanks around colon", "{\"Type\": \"urlbypass\", \"Version\" : \t \"7\""
         + arr, applied, "7"},
        {"raw escaped quote kept", R"({"Type": "urlbypass", "Version": "7\"x")"
         + arr, applied, R"(7\"x)"},
        {"line break before quote", "{\"Type\": \"urlbypass\", \"Version\":\n\"7\""
         + arr, error, "-"},
        {"CR LF before quote", "{\"Type\": \"urlbypass\", \"Version\": \r\n \"7\""
         + arr, error, "-"},
        {"number", R"({"Type": "urlbypass", "Version": 7)" + arr, error, "-"},
        {"missing", R"({"Type": "urlbypass")" + arr, error, "-"},
        {"before the type", R"({"Version": "7", "Type": "urlbypass")" + arr,
         error, "-"},
        {"no colon", R"({"Type": "urlbypass", "Version" "7")" + arr, error,
         "-"},
        {"unterminated", R"({"Type": "urlbypass", "Version": "7)", error, "-"},
        {"last bytes", R"({"Type": "urlbypass", "Version)", error, "-"},
        {"no type value", R"({"Type"})", error, "-"},
        /* equal to the empty version held before any update */
        {"empty", R"({"Type": "urlbypass", "Version": "")" + arr, Counts{},
         "-"},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        policy_pool_destroy(&cycle_);

        EXPECT_EQ(apply_counting(row.body), row.counts);
        if (row.version == "-") {
            EXPECT_EQ(url_bypass_policy.patterns, nullptr);
        } else {
            EXPECT_EQ(url_version(), row.version);
            EXPECT_EQ(url_set(), Strings{"^/a"});
        }
    }
}

TEST_F(PolicyUpdate, TypeValueSelectsBySetPrefix)
{
    enum Target { URL, HEADER, NONE };

    struct Row {
        const char *type; /* as it stands between the quotes */
        Target target;
    } rows[] = {
        {"urlbypass", URL},
        {"url", URL},
        {"u", URL},
        {"", URL},
        {R"(url\"x)", URL}, /* the value ends at the backslash */
        {"headerbypass", HEADER},
        {"header", HEADER},
        {"h", HEADER},
        {"urlbypassX", NONE},
        {"urlbypass ", NONE},
        {"headerbypass2", NONE},
        {"URLBYPASS", NONE},
        {"Urlbypass", NONE},
        {"bypass", NONE},
        {"rl", NONE},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.type);
        policy_pool_destroy(&cycle_);

        Counts counts = apply_counting(std::string("{\"Type\": \"") + row.type
                                       + R"(", "Version": "5", "List": []})");

        EXPECT_EQ(url_version(), row.target == URL ? "5" : "");
        EXPECT_EQ(header_version(), row.target == HEADER ? "5" : "");
        EXPECT_EQ(counts,
                  (row.target == URL ? Counts{{"uri_bypass_policy_updated", 1}}
                   : row.target == HEADER
                       ? Counts{{"header_bypass_policy_updated", 1}}
                       : Counts{}));
    }
}

TEST_F(PolicyUpdate, ReplyFraming)
{
    const std::string body = doc({url_block("1", {"^/a"})});

    struct Row {
        const char *what;
        std::string reply;
        bool applied;
    } rows[] = {
        {"blank line", kvtest::kReplyHead + body, true},
        {"blanks around the body", kvtest::kReplyHead + " \t\r\n" + body
         + "\r\n\t ", true},
        {"NUL in a header line", std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n",
                                             27) + body, true},
        {"no blank line", "HTTP/1.1 200 OK\r\nX: a\r\n" + body, false},
        {"LF only", "HTTP/1.1 200 OK\nX: a\n\n" + body, false},
        {"body only", body, false},
        {"headers only", kvtest::kReplyHead, false},
        {"blank body", kvtest::kReplyHead + " \r\n\t", false},
        {"three bytes", "abc", false},
        {"nothing", "", false},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        policy_pool_destroy(&cycle_);
        std::memset(&log_stats, 0, sizeof(log_stats));

        EXPECT_EQ(apply_reply(row.reply), NGX_OK);
        EXPECT_EQ(nonzero_counters(),
                  (row.applied ? Counts{{"uri_bypass_policy_updated", 1}}
                               : Counts{}));
        EXPECT_EQ(url_set(), row.applied ? Strings{"^/a"} : Strings{});
    }
}

TEST_F(PolicyUpdate, PayloadIsTrimmedBodyOrLastThreeBytes)
{
    struct Row {
        std::string reply;
        const char *payload; /* nullptr: none */
    } rows[] = {
        {"H: x\r\n\r\n  {a} \t\r\n", "{a}"},
        {"H: x\r\n\r\n\r\n\r\n{a}", "{a}"},
        {"H: x\r\n\r\n\v{a}\f", "\v{a}\f"},
        {"H: x\r\n\r\n \r\n\t", nullptr},
        {"H: x\r\n\r\n", nullptr},
        {"abcdef", "def"},
        {"ab", "ab"},
        {"ab \n", "b"},
        {"", nullptr},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.reply);
        kvtest::Exact bytes(row.reply);
        ngx_str_t reply = bytes.str();
        ngx_str_t payload;

        ngx_int_t rc = kestrelvanes::extract_json_payload(&reply, &payload);

        if (row.payload == nullptr) {
            EXPECT_EQ(rc, NGX_DECLINED);
            EXPECT_EQ(payload.len, 0u);
        } else {
            EXPECT_EQ(rc, NGX_OK);
            EXPECT_EQ(kvtest::text(payload), row.payload);
        }
    }
}

TEST_F(PolicyUpdate, UrlArray)
{
    const Counts applied{{"uri_bypass_policy_updated", 1}};
    const Counts parse_error{{"url_policy_parse_errors", 1}};
    const std::string head = R"({"Type": "urlbypass", "Version": "9", "Patterns": )";

    struct Row {
        const char *what;
        std::string rest;
        Counts counts;
        Strings patterns;
        bool installed;
    } rows[] = {
        {"two", R"(["^/a", "^/b"]})", applied, {"^/a", "^/b"}, true},
        {"no commas", R"(["^/a""^/b" 1 x]})", applied, {"^/a", "^/b"}, true},
        {"escaped quote", R"(["^/a\"b$"]})", applied, {"^/a\"b$"}, true},
        {"escapes", R"(["\/x\\.y\t\u0041"]})", applied, {"/x\\.y\tu0041"},
         true},
        {"empty string", R"([""]})", applied, {""}, true},
        {"broken one left out", R"(["^/(", "^/ok"]})",
         {{"policy_regex_compile_failed", 1}, {"uri_bypass_policy_updated", 1}},
         {"^/ok"}, true},
        {"all broken", R"(["(", "["]})",
         {{"policy_regex_compile_failed", 2}, {"uri_bypass_policy_updated", 1}},
         {}, true},
        /* a quote after a backslash never closes, escaped backslash or not */
        {"trailing escaped backslash", R"(["x\\"]})", parse_error, {}, false},
        {"no closing bracket", R"(["^/a"})", parse_error, {}, false},
        {"no bracket", R"("^/a"})", parse_error, {}, false},
        {"unterminated string", R"(["^/a)", parse_error, {}, false},
        {"bracket last", "[", parse_error, {}, false},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        policy_pool_destroy(&cycle_);

        EXPECT_EQ(apply_counting(head + row.rest), row.counts);
        EXPECT_EQ(url_set(), row.patterns);
        EXPECT_EQ(url_bypass_policy.patterns != nullptr, row.installed);
        EXPECT_EQ(url_version(), row.installed ? "9" : "");
    }
}

TEST_F(PolicyUpdate, HeaderArray)
{
    const Counts applied{{"header_bypass_policy_updated", 1}};
    const Counts parse_error{{"header_policy_parse_errors", 1}};
    const Counts compile_error{{"policy_regex_compile_failed", 1}};
    const std::string head = R"({"Type": "headerbypass", "Version": "9", "Headers": )";

    struct Row {
        const char *what;
        std::string rest;
        Counts counts;
        Rules rules;
        bool installed;
    } rows[] = {
        {"one", R"([{"X-Internal": "^yes$"}]})", applied,
         {{"X-Internal", "^yes$"}}, true},
        {"two", R"([{"X-A": "^1$"}, {"X-B": "^2$"}]})", applied,
         {{"X-A", "^1$"}, {"X-B", "^2$"}}, true},
        {"first pair only", R"([{"X-A": "^1$", "X-B": "^2$"}]})", applied,
         {{"X-A", "^1$"}}, true},
        {"value unescaped", R"([{"X-A": "^a\"b\\d$"}]})", applied,
         {{"X-A", "^a\"b\\d$"}}, true},
        {"name kept raw", R"([{"X-\A": "v"}]})", applied, {{"X-\\A", "v"}},
         true},
        {"empty", "[]}", applied, {}, true},
        {"second broken", R"([{"X-A": "^1$"}, {"X-B": "^(("}]})",
         compile_error, {}, false},
        /* the cursor goes on two bytes after the value's quote */
        {"bracket right after value", R"([{"X-A": "^1$"]})", parse_error, {},
         false},
        {"no closing bracket", R"([{"X-A": "^1$"}})", parse_error, {}, false},
        {"no bracket", R"({"X-A": "^1$"}})", parse_error, {}, false},
        {"bracket last", "[", parse_error, {}, false},
        {"name only", R"([{"X-A")", parse_error, {}, false},
        {"number value", R"([{"X-A": 5}]})", parse_error, {}, false},
        {"unterminated value", R"([{"X-A": "^1$)", parse_error, {}, false},
        /* nothing is compiled before the array is known to end */
        {"unterminated broken value", R"([{"X-A": "^((()", parse_error, {},
         false},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        policy_pool_destroy(&cycle_);

        EXPECT_EQ(apply_counting(head + row.rest), row.counts);
        EXPECT_EQ(header_set(), row.rules);
        EXPECT_EQ(header_bypass_policy.patterns != nullptr, row.installed);
    }
}

TEST_F(PolicyUpdate, FailedBlockKeepsOldSetAndVersion)
{
    apply(doc({url_block("1", {"^/keep"})}));

    EXPECT_EQ(apply_counting(R"({"Type": "urlbypass", "Version": "2", "P": ["^/new")"),
              (Counts{{"url_policy_parse_errors", 1}}));
    EXPECT_EQ(url_set(), Strings{"^/keep"});
    EXPECT_EQ(url_version(), "1");
}

TEST_F(PolicyUpdate, ScanResumesTwoBytesAfterAppliedArray)
{
    struct Row {
        const char *gap;
        bool header_applied;
    } rows[] = {
        {"", false}, /* "Type" one byte after ']' is stepped over */
        {" ", true},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(std::string("gap '") + row.gap + "'");
        policy_pool_destroy(&cycle_);

        apply(std::string(R"({"Type": "urlbypass", "Version": "1", "P": ["^/a"])")
              + row.gap
              + R"(Type": "headerbypass", "Version": "2", "H": [{"X": "v"}]})");

        EXPECT_EQ(url_set(), Strings{"^/a"});
        EXPECT_EQ(header_version(), row.header_applied ? "2" : "");
    }
}

TEST_F(PolicyUpdate, RepeatedBlockIsSteppedOverWhole)
{
    const std::string body =
        doc({header_block("1", {{"Content-Type", "^text/x$"}})});

    EXPECT_EQ(apply_counting(body),
              (Counts{{"header_bypass_policy_updated", 1}}));

    /*
     * The repeat goes on after the array, as applying the block did:
     * "Content-Type" inside it starts no block attempt.
     */
    EXPECT_EQ(apply_counting(body), Counts{});
    EXPECT_EQ(header_set(), (Rules{{"Content-Type", "^text/x$"}}));
}

TEST_F(PolicyUpdate, SameDocumentAgainChangesNothing)
{
    /*
     * A block of the URL set inside the array of another, as a damaged
     * or hand-made document has it.  The walk takes the inner block's
     * strings for patterns and ends at its ']'.  Were the repeat to scan
     * inside the array, it would apply the inner block, the next repeat
     * the outer one again: the set would change with every heartbeat.
     */
    const std::string body =
        R"([{"Type": "urlbypass", "Version": "1", "Patterns": ["^/a", )"
        R"({"Type": "urlbypass", "Version": "2", "Patterns": ["^/b"]}]}])";
    const Strings outer = {"^/a", "Type",     "urlbypass", "Version",
                           "2",   "Patterns", "^/b"};

    EXPECT_EQ(apply_counting(body), (Counts{{"uri_bypass_policy_updated", 1}}));
    EXPECT_EQ(url_version(), "1");
    EXPECT_EQ(url_set(), outer);

    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(apply_counting(body), Counts{}) << "repeat " << i;
        EXPECT_EQ(url_version(), "1");
        EXPECT_EQ(url_set(), outer);
    }
}

TEST_F(PolicyUpdate, FailedBlockIsSteppedOverWhole)
{
    /*
     * The first block has an empty version: the first time it is taken
     * for the one held (nothing is held yet), after the last block has
     * filled the set it is parsed and fails.  Either way the scan goes on
     * past its array, so the URL block inside it is never read; were a
     * failure to resume inside the array, that block would apply from the
     * second heartbeat on.
     */
    const std::string body =
        R"([{"Type": "headerbypass", "Version": "", "Headers": [{"X": "^("}, )"
        R"({"Type": "urlbypass", "Version": "9", "Patterns": ["^/n"]}]}, )"
        + header_block("3", {{"Z", "^z$"}}) + "]";

    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE("apply " + std::to_string(i));
        apply(body);
        EXPECT_EQ(url_version(), "");
        EXPECT_EQ(url_bypass_policy.patterns, nullptr);
        EXPECT_EQ(header_version(), "3");
        EXPECT_EQ(header_set(), (Rules{{"Z", "^z$"}}));
    }
}

TEST_F(PolicyUpdate, TypeInsideUnterminatedBlockStartsAnotherAttempt)
{
    /*
     * An array that never ends leaves the scan just inside it.  (The URL
     * walk reads "]... as a string that never closes; the header walk
     * reads the ']'.)
     */
    EXPECT_EQ(
        apply_counting(R"({"Type": "urlbypass", "Version": "1", "P": ["^/a", )"
                       R"({"Type": "headerbypass", "Version": "2", )"
                       R"("H": [{"X": "v"}"])"),
        (Counts{{"header_bypass_policy_updated", 1},
                {"url_policy_parse_errors", 1}}));
    EXPECT_EQ(header_version(), "2");
}

TEST_F(PolicyUpdate, UnknownTypeBlockIsSkippedButLaterBlocksApply)
{
    EXPECT_EQ(apply_counting(doc({R"({"Type": "cookiebypass", "Version": "1", "C": ["a"]})",
                                  url_block("2", {"^/b"})})),
              (Counts{{"uri_bypass_policy_updated", 1}}));
    EXPECT_EQ(url_version(), "2");
}

TEST_F(PolicyUpdate, UnescapeJsonString)
{
    struct Row {
        std::string in;
        std::string out;
    } rows[] = {
        {R"(plain)", "plain"},
        {R"(\b\f\n\r\t)", "\b\f\n\r\t"},
        {R"(\"\\\/)", "\"\\/"},
        {R"(\u00e9)", "u00e9"},
        {R"(\q\x)", "qx"},
        {R"(end\)", "end\\"},
        {R"(\)", "\\"},
        {R"(\\\)", "\\\\"},
        {"", ""},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.in);
        kvtest::Exact bytes(row.in);
        ngx_str_t in = bytes.str();

        ngx_str_t *out = kestrelvanes::unescape_json_string(pool, in.data,
                                                            in.len);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(kvtest::text(*out), row.out);
        /* PCRE1 reads the pattern up to a NUL */
        EXPECT_EQ(out->data[out->len], '\0');
    }
}

TEST_F(PolicyUpdate, CompileRegexIsCaseSensitiveAndUnanchored)
{
    ngx_str_t pattern = copy("^/Api/v[0-9]");
    url_pattern_t *up = kestrelvanes::compile_regex(pool, &pattern);

    ASSERT_NE(up, nullptr);
    EXPECT_EQ(up->regex, up->rc.regex);
    EXPECT_EQ(up->rc.pool, pool);
    EXPECT_EQ(up->rc.options, 0u);

    struct Row {
        const char *subject;
        bool match;
    } rows[] = {
        {"/Api/v1", true},
        {"/Api/v2/more", true},
        {"/api/v1", false},
        {"x/Api/v1", false},
    };

    for (const Row &row : rows) {
        ngx_str_t s = copy(row.subject);
        EXPECT_EQ(ngx_regex_exec(up->regex, &s, NULL, 0) >= 0, row.match)
            << row.subject;
    }

    ngx_str_t broken = copy("a)");
    EXPECT_EQ(kestrelvanes::compile_regex(pool, &broken), nullptr);
    EXPECT_EQ(nonzero_counters(), (Counts{{"policy_regex_compile_failed", 1}}));
    EXPECT_TRUE(logged("error", "Regex compilation failed: "));
}

} /* namespace */
