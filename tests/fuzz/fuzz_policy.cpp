/*
 * The collector's policy document: parsed, its patterns compiled, then
 * matched against long subjects.
 *
 * Input: the body of a heartbeat reply (a reply head is put in front),
 * or, when it starts with "HTTP/", the whole reply.
 *
 * Beyond "no crash":
 * - every installed set holds only compiled patterns;
 * - applying the same reply again changes nothing;
 * - no pattern the document installs makes one search take longer than a
 *   bound only a search without its step and depth limits could reach.
 *   Time is the thread's CPU time (the machine may be shared), and the
 *   bound is generous: the limits keep a search to some milliseconds, a
 *   pattern that backtracks without them takes seconds to forever.
 */
#include "fuzz_support.h"

#include "nginx_ext_policy.h"
#include "nginx_ext_policy_regex.h"

#include <time.h>

#include <string>
#include <vector>

namespace {

const std::string reply_head = "HTTP/1.1 200 OK\r\nX-Kv-Logging-Level: "
                               "default\r\nContent-Length: 0\r\n\r\n";

/* CPU time one search may take, limits in place, with room to spare */
constexpr double search_bound_ms = 250.0;

/* patterns of each set run per input: the fuzzer can put any one first */
constexpr ngx_uint_t patterns_checked = 8;

double
cpu_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

/* Subjects that make backtracking patterns work hardest. */
std::vector<std::string>
long_subjects(const std::string &doc)
{
    std::vector<std::string> s;

    s.push_back(std::string(2048, 'a'));
    s.push_back("/" + std::string(2000, 'a') + "!");
    std::string path;
    while (path.size() < 2000) {
        path += "/a";
    }
    s.push_back(path + "\x01");
    /* the document's own bytes hold whatever its patterns look for */
    s.push_back(doc.substr(0, 2048) + "\xff");
    return s;
}

void
time_search(ngx_regex_t *re, policy_match_t *match, const std::string &text,
            const ngx_str_t &pattern)
{
    kvfuzz::Exact subject(text);
    ngx_str_t s = subject.str();
    const char *limit = NULL;

    double start = cpu_ms();
    (void) kestrelvanes::regex_run(re, match, &s, &limit);
    double took = cpu_ms() - start;

    if (took > search_bound_ms) {
        kvfuzz::fail("a search outran its limits",
                     "pattern: " + kvfuzz::text(pattern)
                         + "\nsubject length: " + std::to_string(text.size())
                         + "\ncpu ms: " + std::to_string(took));
    }
}

void
check_url_set(const std::vector<std::string> &subjects)
{
    ngx_array_t *a = url_bypass_policy.patterns;
    if (a == nullptr) {
        return;
    }

    auto **up = static_cast<url_pattern_t **>(a->elts);
    for (ngx_uint_t i = 0; i < a->nelts; i++) {
        KV_REQUIRE(up[i] != nullptr && up[i]->regex != nullptr);
    }

    for (ngx_uint_t i = 0; i < ngx_min(a->nelts, patterns_checked); i++) {
        for (const std::string &s : subjects) {
            time_search(up[i]->regex, &up[i]->match, s, up[i]->rc.pattern);
        }
    }
}

void
check_header_set(const std::vector<std::string> &subjects)
{
    ngx_array_t *a = header_bypass_policy.patterns;
    if (a == nullptr) {
        return;
    }

    auto **hp = static_cast<header_pattern_t **>(a->elts);
    for (ngx_uint_t i = 0; i < a->nelts; i++) {
        KV_REQUIRE(hp[i] != nullptr && hp[i]->regex != nullptr);
    }

    for (ngx_uint_t i = 0; i < ngx_min(a->nelts, patterns_checked); i++) {
        for (const std::string &s : subjects) {
            time_search(hp[i]->regex, &hp[i]->match, s, hp[i]->rc.pattern);
        }
    }
}

/* One whole decision, with a header for each of the first header rules. */
void
decide(ngx_pool_t *pool)
{
    ngx_list_t *headers = ngx_list_create(pool, 4, sizeof(ngx_table_elt_t));
    KV_REQUIRE(headers != nullptr);

    ngx_array_t *a = header_bypass_policy.patterns;
    auto **hp = a ? static_cast<header_pattern_t **>(a->elts) : nullptr;
    ngx_uint_t n = a ? ngx_min(a->nelts, patterns_checked) : 0;

    for (ngx_uint_t i = 0; i < n; i++) {
        auto *h = static_cast<ngx_table_elt_t *>(ngx_list_push(headers));
        KV_REQUIRE(h != nullptr);
        std::memset(h, 0, sizeof(*h));
        h->hash = 1;
        h->key = hp[i]->header_name;
        ngx_str_set(&h->value, "/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!");
    }

    ngx_str_t uri = ngx_string("/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!");
    (void) should_bypass_request(&uri, headers, kvfuzz::quiet_log());
}

std::string
set_fingerprint()
{
    std::string f = kvfuzz::text(url_bypass_policy.version) + "\n"
                    + kvfuzz::text(header_bypass_policy.version) + "\n";

    if (ngx_array_t *a = url_bypass_policy.patterns) {
        f += std::to_string(a->nelts) + "\n";
    }
    if (ngx_array_t *a = header_bypass_policy.patterns) {
        f += std::to_string(a->nelts) + "\n";
    }
    return f;
}

void
apply(const std::string &reply)
{
    kvfuzz::Exact bytes(reply);
    ngx_str_t s = bytes.str();

    KV_REQUIRE(process_policy_update(&s, kvfuzz::quiet_log()) == NGX_OK);
}

} /* namespace */

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    kvfuzz::init_process();

    static ngx_conf_t cf;
    cf.log = kvfuzz::quiet_log();
    if (init_policy_mutex(&cf) != NGX_OK) {
        std::abort();
    }
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string reply =
        input.compare(0, 5, "HTTP/") == 0 ? input : reply_head + input;

    /* every input starts from no policies, so a finding replays alone */
    policy_pool_destroy(const_cast<ngx_cycle_t *>(ngx_cycle));

    apply(reply);
    std::string first = set_fingerprint();

    /* the versions held are the ones sent: nothing to do the second time */
    apply(reply);
    KV_REQUIRE(set_fingerprint() == first,
               first + "--- then\n" + set_fingerprint());

    std::vector<std::string> subjects = long_subjects(input);
    check_url_set(subjects);
    check_header_set(subjects);

    ngx_pool_t *pool = ngx_create_pool(4096, kvfuzz::quiet_log());
    KV_REQUIRE(pool != nullptr);
    decide(pool);
    ngx_destroy_pool(pool);

    return 0;
}
