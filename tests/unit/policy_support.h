/*
 * Helpers for the bypass policy tests: a fixture that starts every test
 * with no policies and zero counters, reply and document builders, views
 * of the installed sets, and a way to ask for a bypass decision.
 */
#ifndef KV_TEST_POLICY_SUPPORT_H
#define KV_TEST_POLICY_SUPPORT_H

#include "support.h"

#include "nginx_ext_policy.h"

#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kvtest {

using Counts = std::map<std::string, uint64_t>;

/* The counters that are not zero, by name. */
inline Counts nonzero_counters()
{
    Counts c;
#define KV_READ_COUNTER(name)                                                  \
    if (log_stats.name != 0) {                                                 \
        c[#name] = log_stats.name;                                             \
    }
    NGX_EXT_ACCESS_LOG_COUNTERS(KV_READ_COUNTER)
#undef KV_READ_COUNTER
    return c;
}

/*
 * Bytes in a heap block of exactly their size: AddressSanitizer reports
 * any read past the end, which a copy inside a std::string would hide.
 */
class Exact {
public:
    explicit Exact(const std::string &s)
        : len_(s.size()), buf_(new u_char[s.size()])
    {
        std::memcpy(buf_.get(), s.data(), s.size());
    }

    ngx_str_t str() { return {len_, buf_.get()}; }

private:
    size_t len_;
    std::unique_ptr<u_char[]> buf_;
};

inline std::string text(const ngx_str_t &s)
{
    return s.len ? std::string(reinterpret_cast<const char *>(s.data), s.len)
                 : std::string();
}

const std::string kReplyHead =
    "HTTP/1.1 200 OK\r\nX-Kv-Logging-Level: default\r\nContent-Length: 0\r\n\r\n";

/* One URL block; patterns are written as they stand between the quotes. */
inline std::string url_block(const std::string &version,
                             std::initializer_list<std::string> patterns)
{
    std::string s = "{\"Type\": \"urlbypass\", \"Version\": \"" + version
                    + "\", \"Patterns\": [";
    const char *sep = "";
    for (const std::string &p : patterns) {
        s += sep;
        s += "\"" + p + "\"";
        sep = ", ";
    }
    return s + "]}";
}

inline std::string header_block(
    const std::string &version,
    std::initializer_list<std::pair<std::string, std::string>> rules)
{
    std::string s = "{\"Type\": \"headerbypass\", \"Version\": \"" + version
                    + "\", \"Headers\": [";
    const char *sep = "";
    for (const auto &r : rules) {
        s += sep;
        s += "{\"" + r.first + "\": \"" + r.second + "\"}";
        sep = ", ";
    }
    return s + "]}";
}

inline std::string doc(std::initializer_list<std::string> blocks)
{
    std::string s = "[";
    const char *sep = "";
    for (const std::string &b : blocks) {
        s += sep + b;
        sep = ", ";
    }
    return s + "]";
}

struct Header {
    std::string key;
    std::string value;
};

class PolicyFixture : public ConfFixture {
protected:
    void SetUp() override
    {
        ConfFixture::SetUp();

        static const bool mutex_ready = init_policy_mutex(&cf) == NGX_OK;
        ASSERT_TRUE(mutex_ready);

        /* the policy pools log on the cycle's log */
        saved_cycle_ = ngx_cycle;
        std::memset(&cycle_, 0, sizeof(cycle_));
        cycle_.log = log.log();
        ngx_cycle = &cycle_;

        policy_pool_destroy(&cycle_);
        std::memset(&log_stats, 0, sizeof(log_stats));
    }

    void TearDown() override
    {
        /* before the log the pools point at goes away */
        policy_pool_destroy(&cycle_);
        ngx_cycle = saved_cycle_;
        ConfFixture::TearDown();
    }

    ngx_int_t apply_reply(const std::string &reply)
    {
        Exact bytes(reply);
        ngx_str_t s = bytes.str();
        return process_policy_update(&s, log.log());
    }

    ngx_int_t apply(const std::string &body)
    {
        return apply_reply(kReplyHead + body);
    }

    /* counters raised by one update, starting from zero */
    Counts apply_counting(const std::string &body)
    {
        std::memset(&log_stats, 0, sizeof(log_stats));
        EXPECT_EQ(apply(body), NGX_OK);
        return nonzero_counters();
    }

    static std::vector<std::string> url_set()
    {
        std::vector<std::string> v;
        ngx_array_t *a = url_bypass_policy.patterns;
        if (a == nullptr) {
            return v;
        }
        auto **up = static_cast<url_pattern_t **>(a->elts);
        for (ngx_uint_t i = 0; i < a->nelts; i++) {
            v.push_back(text(up[i]->rc.pattern));
        }
        return v;
    }

    static std::vector<std::pair<std::string, std::string>> header_set()
    {
        std::vector<std::pair<std::string, std::string>> v;
        ngx_array_t *a = header_bypass_policy.patterns;
        if (a == nullptr) {
            return v;
        }
        auto **hp = static_cast<header_pattern_t **>(a->elts);
        for (ngx_uint_t i = 0; i < a->nelts; i++) {
            v.emplace_back(text(hp[i]->header_name), text(hp[i]->rc.pattern));
        }
        return v;
    }

    static std::string url_version() { return text(url_bypass_policy.version); }
    static std::string header_version()
    {
        return text(header_bypass_policy.version);
    }

    /* headers land in list parts of per_part elements each */
    ngx_list_t *header_list(const std::vector<Header> &headers,
                            ngx_uint_t per_part = 20)
    {
        ngx_list_t *list = ngx_list_create(pool, per_part,
                                           sizeof(ngx_table_elt_t));
        EXPECT_NE(list, nullptr);
        for (const Header &h : headers) {
            auto *e = static_cast<ngx_table_elt_t *>(ngx_list_push(list));
            std::memset(e, 0, sizeof(*e));
            e->hash = 1;
            e->key = copy(h.key);
            e->value = copy(h.value);
            e->lowcase_key = copy(h.key).data;
            ngx_strlow(e->lowcase_key, e->key.data, e->key.len);
        }
        return list;
    }

    ngx_int_t decide(const std::string &uri,
                     const std::vector<Header> &headers = {},
                     ngx_uint_t per_part = 20)
    {
        Exact bytes(uri);
        ngx_str_t u = bytes.str();
        return should_bypass_request(&u, header_list(headers, per_part),
                                     log.log());
    }

    ngx_str_t copy(const std::string &s)
    {
        auto *p = static_cast<u_char *>(ngx_pnalloc(pool, s.size() + 1));
        std::memcpy(p, s.data(), s.size());
        p[s.size()] = '\0';
        return {s.size(), p};
    }

    /* a logged line with this level ("error", "debug", ...) and text */
    bool logged(const std::string &level, const std::string &message) const
    {
        std::istringstream lines(log.text());
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find("[" + level + "] ") != std::string::npos
                && line.find(message) != std::string::npos)
            {
                return true;
            }
        }
        return false;
    }

    ngx_cycle_t cycle_;
    volatile ngx_cycle_t *saved_cycle_ = nullptr;
};

} /* namespace kvtest */

#endif
