/*
 * The policy store under abuse: truncated and hostile documents (run under
 * AddressSanitizer, so a read past the payload fails the test), memory
 * over many updates, and updates racing decisions.
 */
#include "policy_support.h"

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

using kvtest::Counts;
using kvtest::doc;
using kvtest::header_block;
using kvtest::nonzero_counters;
using kvtest::url_block;

/* Heap bytes in use: AddressSanitizer's own count when it is there. */
size_t live_heap_bytes()
{
    if (__sanitizer_get_current_allocated_bytes != nullptr) {
        return __sanitizer_get_current_allocated_bytes();
    }
    return mallinfo2().uordblks;
}

/* A document with every construct the scanner knows. */
const std::string kRichDoc = doc({
    url_block("u7", {"^/health$", R"(^/a\"b)", R"(^/static/\\d+)", "^/("}),
    header_block("h9", {{"X-Internal", "^yes$"},
                        {"Content-Type", R"(^text/\"x\"$)"}}),
    R"({"Type": "cookiebypass", "Version": "1", "C": ["Type"]})",
    url_block("u8", {"^/last"}),
});

class PolicyRobustness : public kvtest::PolicyFixture {
protected:
    /* the step functions from every position of a payload */
    void probe_steps(ngx_str_t *payload)
    {
        for (size_t pos = 0; pos <= payload->len; pos++) {
            ngx_str_t version;
            if (kestrelvanes::extract_version(payload, pos, &version)
                == NGX_OK)
            {
                ASSERT_GE(version.data, payload->data);
                ASSERT_LE(version.data + version.len,
                          payload->data + payload->len);
            }

            if (pos != 0 && pos != payload->len && payload->data[pos] != '[') {
                continue;
            }

            for (auto parse : {kestrelvanes::parse_url_policy_array,
                               kestrelvanes::parse_header_policy_array}) {
                /* compiled code is released by the pool's cleanups, which
                 * a reset would skip */
                ngx_pool_t *scratch =
                    ngx_create_pool(NGX_DEFAULT_POOL_SIZE, log.log());
                ASSERT_NE(scratch, nullptr);
                ngx_array_t *a = ngx_array_create(scratch, 4, sizeof(void *));
                ASSERT_NE(a, nullptr);
                size_t end = 0;
                ngx_int_t rc = parse(payload, pos, a, &end);
                ngx_destroy_pool(scratch);
                if (rc == NGX_OK) {
                    ASSERT_LE(end, payload->len);
                }
            }
        }
    }
};


TEST_F(PolicyRobustness, EveryPrefixOfAValidReply)
{
    const std::string reply = kvtest::kReplyHead + kRichDoc;

    for (size_t n = 0; n <= reply.size(); n++) {
        SCOPED_TRACE(n);
        policy_pool_destroy(&cycle_);
        ASSERT_EQ(apply_reply(reply.substr(0, n)), NGX_OK);
    }

    /* the whole reply: the later URL block wins, both sets installed */
    EXPECT_EQ(url_set(), std::vector<std::string>{"^/last"});
    EXPECT_EQ(url_version(), "u8");
    EXPECT_EQ(header_set().size(), 2u);
    EXPECT_EQ(header_set()[1].second, "^text/\"x\"$");
}

TEST_F(PolicyRobustness, StepsFromEveryPositionOfEveryPrefix)
{
    for (size_t n = 0; n <= kRichDoc.size(); n++) {
        SCOPED_TRACE(n);
        kvtest::Exact bytes(kRichDoc.substr(0, n));
        ngx_str_t payload = bytes.str();
        probe_steps(&payload);
        log.clear();
    }
}

TEST_F(PolicyRobustness, EverySuffixOfAValidPayload)
{
    for (size_t n = 0; n <= kRichDoc.size(); n++) {
        SCOPED_TRACE(n);
        policy_pool_destroy(&cycle_);
        ASSERT_EQ(apply(kRichDoc.substr(n)), NGX_OK);
        log.clear();
    }
}

TEST_F(PolicyRobustness, HostileDocuments)
{
    std::string many_patterns = R"({"Type": "urlbypass", "Version": "m", "P": [)";
    for (int i = 0; i < 10000; i++) {
        many_patterns += "\"^/p" + std::to_string(i) + "$\",";
    }
    many_patterns += "]}";

    std::string many_rules = R"({"Type": "headerbypass", "Version": "m", "H": [)";
    for (int i = 0; i < 2000; i++) {
        many_rules += "{\"X-" + std::to_string(i) + "\": \"^v$\"},";
    }
    many_rules += "]}";

    std::string types;
    for (int i = 0; i < 20000; i++) {
        types += "Type";
    }

    std::string blocks;
    for (int i = 0; i < 3000; i++) {
        blocks += R"({"Type": "x", "Version": "1", "L": [)";
    }

    static const char nul_raw[] =
        "{\"Type\": \"urlbypass\", \"Version\": \"1\0\", \"P\": [\"^/a\0b\"]}";
    const std::string nul_doc(nul_raw, sizeof(nul_raw) - 1);

    struct Row {
        const char *what;
        std::string body;
    } rows[] = {
        {"10000 patterns", many_patterns},
        {"2000 header rules", many_rules},
        {"20000 Type tokens", types},
        {"3000 open blocks", blocks},
        {"huge version", R"({"Type": "urlbypass", "Version": ")"
                             + std::string(100000, 'v') + R"(", "P": []})"},
        {"backslashes", std::string(5000, '\\') + "\"Type\"" + std::string(5000, '\\')},
        {"quotes", "Type" + std::string(5000, '"')},
        {"brackets", R"({"Type": "url", "Version": "1", "P": )" + std::string(5000, '[')},
        {"braces", R"({"Type": "header", "Version": "1", "H": [)" + std::string(5000, '{')},
        {"NUL bytes", nul_doc},
        {"only NUL bytes", std::string(300, '\0')},
        {"Type at the end", "xxType"},
        {"value escapes to the end", R"({"Type": "header", "Version": "1", "H": [{"X": "\)"},
        {"pattern escapes to the end", R"({"Type": "url", "Version": "1", "P": ["\)"},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        policy_pool_destroy(&cycle_);
        EXPECT_EQ(apply(row.body), NGX_OK);
        log.clear();
    }

    policy_pool_destroy(&cycle_);
    apply(many_patterns);
    ASSERT_NE(url_bypass_policy.patterns, nullptr);
    EXPECT_EQ(url_bypass_policy.patterns->nelts, 10000u);
    EXPECT_EQ(decide("/p9999"), NGX_OK);
    EXPECT_EQ(decide("/p10000"), NGX_DONE);

    /* NUL bytes are data: the version keeps its NUL */
    policy_pool_destroy(&cycle_);
    apply(nul_doc);
    EXPECT_EQ(url_version(), std::string("1\0", 2));
}

TEST_F(PolicyRobustness, RandomlyDamagedDocuments)
{
    std::mt19937 rng(20240611);
    const std::vector<std::string> pieces = {
        "\"", "\\", "[", "]", "{", "}", ":", ",", " ", "\n", std::string(1, '\0'),
        "Type", "Version", "urlbypass", "headerbypass", "\"Type\": \"",
        "\"Version\": \"", "(", ")"};

    for (int round = 0; round < 4000; round++) {
        std::string body = kRichDoc;
        int edits = 1 + static_cast<int>(rng() % 6);

        for (int e = 0; e < edits; e++) {
            size_t at = rng() % (body.size() + 1);
            switch (rng() % 3) {
            case 0:
                body.insert(at, pieces[rng() % pieces.size()]);
                break;
            case 1:
                body.erase(at, 1 + rng() % 8);
                break;
            default:
                if (at < body.size()) {
                    body[at] = pieces[rng() % pieces.size()][0];
                }
                break;
            }
        }

        /* a new version now and then, so damaged sets get installed */
        if (round % 3 == 0) {
            std::string v = "\"Version\": \"";
            size_t at = body.find(v);
            if (at != std::string::npos) {
                body.insert(at + v.size(), std::to_string(round));
            }
        }

        ASSERT_EQ(apply(body), NGX_OK) << round;

        if (round % 16 == 0) {
            decide("/health", {{"X-Internal", "yes"}, {"Content-Type", "x"}});
        }
        log.clear();
    }
}

TEST_F(PolicyRobustness, AlternatingVersionsKeepMemoryFlat)
{
    auto body = [](int v) {
        std::string n = std::to_string(v % 2);
        return doc({url_block(n, {"^/health$", "^/static/", "^/api/v[0-9]+/",
                                  "(a|b)*c"}),
                    header_block(n, {{"X-Internal", "^yes$"},
                                     {"User-Agent", "^kube-probe/"}})});
    };
    const std::string replies[2] = {body(0), body(1)};

    for (int i = 0; i < 20; i++) {
        apply(replies[i % 2]);
    }
    std::memset(&log_stats, 0, sizeof(log_stats));

    size_t before = live_heap_bytes();

    const int updates = 4000;
    for (int i = 0; i < updates; i++) {
        apply(replies[i % 2]);
    }

    size_t after = live_heap_bytes();

    /* every reply changed both versions */
    EXPECT_EQ(nonzero_counters(),
              (Counts{{"header_bypass_policy_updated", updates},
                      {"uri_bypass_policy_updated", updates}}));
    EXPECT_EQ(log.text(), "");

    /*
     * Kept records would cost several kilobytes an update; what is left
     * over after 4000 is at most a pool or two of difference in timing.
     */
    EXPECT_LT(after, before + 64 * 1024)
        << "grew by " << (after - before) << " bytes over " << updates
        << " updates";
}

TEST_F(PolicyRobustness, RepeatedVersionAllocatesNothing)
{
    const std::string reply = doc({url_block("1", {"^/a", "^/b"}),
                                   header_block("1", {{"X-A", "^1$"}})});
    apply(reply);
    apply(reply);

    size_t before = live_heap_bytes();
    for (int i = 0; i < 2000; i++) {
        apply(reply);
    }

    EXPECT_EQ(live_heap_bytes(), before);
    EXPECT_EQ(nonzero_counters(), (Counts{{"header_bypass_policy_updated", 1},
                                          {"uri_bypass_policy_updated", 1}}));
}

TEST_F(PolicyRobustness, FailingBlocksKeepMemoryFlat)
{
    /*
     * Each block compiles its expressions and then fails (a broken
     * expression, a missing ']'), with a new version every time, so every
     * heartbeat parses again.
     */
    auto body = [](int v) {
        std::string n = std::to_string(v);
        return "[" + header_block(n, {{"X-A", "^a$"}, {"X-B", "^b$"},
                                      {"X-C", "^(("}})
               + R"(, {"Type": "urlbypass", "Version": ")" + n
               + R"(", "P": ["^/a", "^/b", "^/c")";
    };

    apply(doc({url_block("keep", {"^/keep"})}));
    for (int i = 0; i < 20; i++) {
        apply(body(i));
    }
    log.clear();
    log.log()->log_level = NGX_LOG_CRIT; /* 3000 compile errors, unwritten */

    size_t before = live_heap_bytes();
    for (int i = 20; i < 3020; i++) {
        apply(body(i));
    }

    EXPECT_LT(live_heap_bytes(), before + 64 * 1024);
    EXPECT_EQ(url_set(), (std::vector<std::string>{"^/keep"}));
    EXPECT_EQ(header_bypass_policy.patterns, nullptr);
    EXPECT_EQ(log_stats.policy_regex_compile_failed, 3020u);
    EXPECT_EQ(log_stats.url_policy_parse_errors, 3020u);
}

TEST_F(PolicyRobustness, PoolDestroyReleasesEverything)
{
    size_t before = live_heap_bytes();

    apply(doc({url_block("1", {"^/a", "^/b", "^/c"}),
               header_block("1", {{"X-A", "^1$"}})}));
    /* a block that fails leaves the building pool behind */
    apply(R"({"Type": "headerbypass", "Version": "2", "H": [{"X-B": "v"})");
    ASSERT_NE(policy_pool, nullptr);
    /* two sets and the building pool */
    ASSERT_GE(live_heap_bytes(), before + 3 * 16384);

    policy_pool_destroy(&cycle_);

    EXPECT_EQ(live_heap_bytes(), before);
    EXPECT_EQ(url_bypass_policy.patterns, nullptr);
    EXPECT_EQ(header_bypass_policy.patterns, nullptr);
    EXPECT_EQ(url_version(), "");
    EXPECT_EQ(header_version(), "");
    EXPECT_EQ(policy_pool, nullptr);

    policy_pool_destroy(&cycle_);
    EXPECT_EQ(decide("/a"), NGX_DONE);
}

TEST_F(PolicyRobustness, DecisionsRaceUpdates)
{
    const std::string replies[2] = {
        doc({url_block("odd", {"^/a", "^/x"}),
             header_block("odd", {{"X-V", "^1$"}, {"X-W", "w"}})}),
        doc({url_block("even", {"^/b"}),
             header_block("even", {{"X-V", "^2$"}})}),
    };
    apply(replies[0]);

    kvtest::CapturedLog quiet;
    quiet.log()->log_level = NGX_LOG_ERR;

    ngx_list_t *headers = header_list({{"Host", "h"}, {"X-W", "w"}, {"X-V", "1"}});
    ngx_str_t uri = copy("/a");

    std::atomic<bool> stop{false};
    std::atomic<long> decisions{0};

    std::thread reader([&] {
        while (!stop.load()) {
            ngx_int_t rc = should_bypass_request(&uri, headers, quiet.log());
            if (rc != NGX_OK && rc != NGX_DONE) {
                ADD_FAILURE() << "result " << rc;
                return;
            }
            decisions++;
        }
    });

    for (int i = 1; i <= 3000; i++) {
        apply(replies[i % 2]);
    }

    stop = true;
    reader.join();

    EXPECT_GT(decisions.load(), 0);
    EXPECT_EQ(quiet.text(), "");
    EXPECT_EQ(url_version(), "odd");
}

TEST_F(PolicyRobustness, SwapWaitsForDecisionInProgress)
{
    apply(doc({url_block("1", {"^/a"})}));

    /* a decision in progress holds the lock */
    ASSERT_EQ(ngx_thread_mutex_lock(&policy_mutex, log.log()), NGX_OK);

    std::atomic<bool> done{false};
    std::thread updater([&] {
        apply(doc({url_block("2", {"^/b"})}));
        done = true;
    });

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(url_version(), "1");
    EXPECT_EQ(url_set(), std::vector<std::string>{"^/a"});

    ngx_thread_mutex_unlock(&policy_mutex, log.log());
    updater.join();

    EXPECT_EQ(url_version(), "2");
    EXPECT_EQ(decide("/b"), NGX_OK);
}

} /* namespace */
