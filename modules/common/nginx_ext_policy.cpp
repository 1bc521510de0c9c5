/*
 * Bypass policy store: parsing the collector's policy blocks and swapping
 * compiled sets in.
 *
 * The policy document is read by a byte scanner, not a JSON parser: the
 * collector writes its documents for exactly these scanning rules, quirks
 * included (a "Type" anywhere starts a block attempt, type values select a
 * set by prefix), so they must not be "fixed" into stricter JSON.
 */
#include "nginx_ext_policy.h"
#include "kv_protocol.h"
#include "nginx_ext_policy_regex.h"

#include <atomic>
#include <string_view>

namespace kestrelvanes::core {

policy_set_t url_bypass_policy;
policy_set_t header_bypass_policy;
ngx_thread_mutex_t policy_mutex;
std::atomic<bool> bypass_patterns_held{false};
ngx_pool_t *policy_pool;

} /* namespace kestrelvanes::core */

#define NGX_EXT_POLICY_POOL_SIZE 16384

namespace kestrelvanes {
namespace {

ngx_int_t walk_url_array(ngx_str_t *payload, size_t pos, ngx_array_t *patterns,
                         size_t *end) noexcept;
ngx_int_t walk_header_array(ngx_str_t *payload, size_t pos,
                            ngx_array_t *patterns, size_t *end) noexcept;

} /* namespace */
} /* namespace kestrelvanes */

namespace {

/*
 * The scanner's searches.  Every one is bounded by the payload and yields
 * its length when there is no match; cursors may step beyond that, but
 * every read is checked against the length.  NUL bytes are ordinary bytes
 * (ngx_strnstr would stop at them).
 */
inline std::string_view
view(const ngx_str_t *s) noexcept
{
    return {reinterpret_cast<const char *>(s->data), s->len};
}

inline size_t
found(std::string_view s, size_t at) noexcept
{
    return at == std::string_view::npos ? s.size() : at;
}

inline size_t
find_byte(std::string_view s, char c, size_t from) noexcept
{
    return found(s, s.find(c, from));
}

/* The next '"' whose previous byte is not a backslash. */
size_t
find_closing_quote(std::string_view s, size_t from) noexcept
{
    for (size_t at = find_byte(s, '"', from); at < s.size();
         at = find_byte(s, '"', at + 1)) {
        if (s[at - 1] != '\\') {
            return at;
        }
    }

    return s.size();
}

/* The part of the policy store one block type selects. */
typedef struct {
    std::string_view type; /* with its terminating NUL */
    policy_set_t *set;
    ngx_int_t (*parse)(ngx_str_t *payload, size_t pos, ngx_array_t *patterns,
                       size_t *end) noexcept;
    /* the same walk, compiling nothing (patterns NULL) and counting nothing */
    ngx_int_t (*walk)(ngx_str_t *payload, size_t pos, ngx_array_t *patterns,
                      size_t *end) noexcept;
    ngx_atomic_t *updated;
} policy_kind_t;

const policy_kind_t policy_kinds[] = {
    {{kv_protocol::url_bypass.s, sizeof(kv_protocol::url_bypass.s)},
     &url_bypass_policy,
     kestrelvanes::parse_url_policy_array,
     kestrelvanes::walk_url_array,
     &log_stats.uri_bypass_policy_updated},
    {{kv_protocol::header_bypass.s, sizeof(kv_protocol::header_bypass.s)},
     &header_bypass_policy,
     kestrelvanes::parse_header_policy_array,
     kestrelvanes::walk_header_array,
     &log_stats.header_bypass_policy_updated},
};

/*
 * The comparison runs over the value's length capped at the literal's
 * (NUL included), so the value selects a set when it is the literal or
 * any prefix of it, the empty value too.  Collectors rely on that.
 */
const policy_kind_t *
select_kind(std::string_view type) noexcept
{
    for (const policy_kind_t &kind : policy_kinds) {
        size_t n = ngx_min(type.size(), kind.type.size());

        if (type.compare(0, n, kind.type, 0, n) == 0) {
            return &kind;
        }
    }

    return NULL;
}

ngx_pool_t *
building_pool(ngx_log_t *log) noexcept
{
    if (policy_pool != NULL) {
        return policy_pool;
    }

    policy_pool = ngx_create_pool(NGX_EXT_POLICY_POOL_SIZE, ngx_cycle->log);
    if (policy_pool == NULL) {
        ngx_log_error(NGX_LOG_INFO, log, 0, "Failed to create pool for policy");
        kestrelvanes::count(log_stats.policy_pool_create_failed);
    }

    return policy_pool;
}

/*
 * Whatever a failed block compiled must not ride along with the next set
 * built in the pool.  A reset would skip the pool's cleanups, which
 * release compiled code held outside it: the pool is replaced instead.
 */
void
replace_building_pool(ngx_log_t *log) noexcept
{
    if (policy_pool != NULL) {
        ngx_destroy_pool(policy_pool);
        policy_pool = NULL;
    }

    (void) building_pool(log);
}

bool
holds_patterns(const policy_set_t *set) noexcept
{
    return set->patterns != NULL && set->patterns->nelts != 0;
}

/* After a change of either set; under policy_mutex while decisions run. */
void
note_patterns_held() noexcept
{
    bypass_patterns_held.store(holds_patterns(&url_bypass_policy)
                                   || holds_patterns(&header_bypass_policy),
                               std::memory_order_release);
}

void
release_set(policy_set_t *set) noexcept
{
    if (set->patterns != NULL) {
        ngx_destroy_pool(set->patterns->pool);
    }

    set->patterns = NULL;
    ngx_str_null(&set->version);
    note_patterns_held();
}

/*
 * Where the scan goes on after a block whose array starts at a: two bytes
 * past its ']', as after applying it, whether the block was applied,
 * already held or failed, so the blocks a document holds do not depend
 * on what the last heartbeat installed.  Otherwise a "Type" inside the
 * array would be read as a block in one heartbeat and not in the next,
 * and the same document would swap a set between two versions heartbeat
 * after heartbeat.  An array that never ends leaves the scan just inside
 * it.
 */
size_t
after_array(const policy_kind_t *kind, ngx_str_t *payload, size_t a) noexcept
{
    size_t end;

    return kind->walk(payload, a, NULL, &end) == NGX_OK ? end + 1 : a + 1;
}

/*
 * One block, starting at the "Type" at pos.  *next is where the scan goes
 * on; NGX_ERROR only when no pool can be had for the set to be built.
 */
ngx_int_t
process_policy_block(ngx_str_t *payload, size_t pos, ngx_log_t *log,
                     size_t *next) noexcept
{
    std::string_view s = view(payload);

    /* the type value ends at a quote or a backslash: no escapes there */

    size_t quote = find_byte(s, '"', find_byte(s, ':', pos + 1) + 1);
    size_t e = found(s, s.find_first_of("\"\\", quote + 1));

    ngx_str_t version;

    if (quote == s.size()
        || kestrelvanes::extract_version(payload, e, &version) != NGX_OK) {
        kestrelvanes::count(log_stats.policy_version_extract_errors);
        *next = e;
        return NGX_OK;
    }

    size_t a = find_byte(s, '[', e);
    *next = a + 1;

    const policy_kind_t *kind =
        select_kind(std::string_view(s.data() + quote + 1, e - quote - 1));
    if (kind == NULL) {
        return NGX_OK;
    }

    /* the version held is the one applied: nothing to parse or compile */

    if (version.len == kind->set->version.len
        && (version.len == 0
            || ngx_memcmp(version.data, kind->set->version.data, version.len)
                   == 0)) {
        *next = after_array(kind, payload, a);
        return NGX_OK;
    }

    ngx_pool_t *pool = building_pool(log);
    if (pool == NULL) {
        return NGX_ERROR;
    }

    u_char *copy = static_cast<u_char *>(ngx_pnalloc(pool, version.len));
    if (copy == NULL) {
        kestrelvanes::count(log_stats.pool_alloc_failed);
        kestrelvanes::count(log_stats.policy_version_extract_errors);
        *next = e;
        return NGX_OK;
    }

    ngx_memcpy(copy, version.data, version.len);
    version.data = copy;

    ngx_array_t *patterns = ngx_array_create(pool, 4, sizeof(void *));

    size_t end;

    if (patterns == NULL || kind->parse(payload, a, patterns, &end) != NGX_OK) {
        replace_building_pool(log);
        *next = after_array(kind, payload, a);
        return NGX_OK;
    }

    kestrelvanes::update_policy(kind->set, patterns, &version, log);
    policy_pool = NULL;

    kestrelvanes::count(*kind->updated);

    *next = end + 1;
    return NGX_OK;
}

/*
 * Updates come from the one monitoring thread, one at a time; should the
 * pool be configured with more threads, two updates must still not share
 * the building pool.  The loser returns at once: the next heartbeat brings
 * the same blocks again.
 */
std::atomic<bool> policy_updating{false};

class update_guard {
  public:
    update_guard() noexcept : owner_(!policy_updating.exchange(true)) {}
    ~update_guard()
    {
        if (owner_) {
            policy_updating.store(false);
        }
    }

    bool owner() const noexcept { return owner_; }

    update_guard(const update_guard &) = delete;
    update_guard &operator=(const update_guard &) = delete;

  private:
    bool owner_;
};

} /* namespace */

namespace kestrelvanes {

ngx_int_t
extract_json_payload(ngx_str_t *response, ngx_str_t *payload) noexcept
{
    std::string_view s = view(response);
    size_t start = s.find("\r\n\r\n");

    if (start == std::string_view::npos) {
        /* what is left after a blank line that is not there */
        start = s.size() > 3 ? s.size() - 3 : 0;

    } else {
        start += 4;
    }

    size_t end = s.size();
    constexpr std::string_view blanks(" \t\r\n");

    while (start < end && blanks.find(s[start]) != std::string_view::npos) {
        start++;
    }

    while (end > start && blanks.find(s[end - 1]) != std::string_view::npos) {
        end--;
    }

    payload->data = response->data + start;
    payload->len = end - start;

    return payload->len ? NGX_OK : NGX_DECLINED;
}

ngx_int_t
extract_version(ngx_str_t *payload, size_t pos, ngx_str_t *version) noexcept
{
    constexpr std::string_view key = kv_protocol::policy_version;
    std::string_view s = view(payload);

    size_t at = found(s, s.find(key, pos));
    if (at + key.size() >= s.size()) {
        return NGX_ERROR;
    }

    size_t i = find_byte(s, ':', at + key.size());
    if (i == s.size()) {
        return NGX_ERROR;
    }

    /* a line break before the value is a malformed document */

    for (i++; i < s.size() && (s[i] == ' ' || s[i] == '\t'); i++) {
        /* void */
    }

    if (i == s.size() || s[i] != '"') {
        return NGX_ERROR;
    }

    size_t close = find_closing_quote(s, i + 1);
    if (close == s.size()) {
        return NGX_ERROR;
    }

    version->data = payload->data + i + 1;
    version->len = close - i - 1;

    return NGX_OK;
}

namespace {

/* A URL pattern that cannot be had is left out; the rest still apply. */
void
add_url_pattern(ngx_array_t *patterns, const u_char *text, size_t len) noexcept
{
    ngx_str_t *pattern =
        kestrelvanes::unescape_json_string(patterns->pool, text, len);
    url_pattern_t *up =
        pattern ? kestrelvanes::compile_regex(patterns->pool, pattern) : NULL;

    if (up == NULL) {
        return;
    }

    auto **slot = static_cast<url_pattern_t **>(ngx_array_push(patterns));
    if (slot != NULL) {
        *slot = up;
    }
}

/*
 * NGX_OK, or NGX_ERROR when the block fails (counted and logged).  A rule
 * that compiles but cannot be readied to run within the limits is left
 * out, and the rest of the block applies.
 */
ngx_int_t
add_header_rule(ngx_array_t *patterns, ngx_str_t *name, const u_char *text,
                size_t len) noexcept
{
    ngx_pool_t *pool = patterns->pool;

    auto *hp = static_cast<header_pattern_t *>(
        ngx_pcalloc(pool, sizeof(header_pattern_t)));
    u_char *copy = static_cast<u_char *>(ngx_pnalloc(pool, name->len));

    if (hp == NULL || copy == NULL) {
        kestrelvanes::count(log_stats.pool_alloc_failed);
        return NGX_ERROR;
    }

    ngx_memcpy(copy, name->data, name->len);
    hp->header_name.data = copy;
    hp->header_name.len = name->len;

    ngx_str_t *value = kestrelvanes::unescape_json_string(pool, text, len);
    if (value == NULL) {
        return NGX_OK;
    }

    ngx_int_t rc =
        kestrelvanes::regex_compile(pool, value, &hp->rc, &hp->match);

    if (rc == NGX_ERROR) {
        return NGX_OK;
    }

    if (rc != NGX_OK) {
        ngx_log_error(NGX_LOG_ERR, pool->log, 0,
                      "Failed to compile regex for header %V: %V",
                      &hp->header_name, &hp->rc.err);
        kestrelvanes::count(log_stats.policy_regex_compile_failed);
        return NGX_ERROR;
    }

    hp->regex = hp->rc.regex;

    auto **slot = static_cast<header_pattern_t **>(ngx_array_push(patterns));
    if (slot != NULL) {
        *slot = hp;
    }

    return NGX_OK;
}

/*
 * The walks over an array, the same whether its patterns are compiled
 * (patterns set) or not (NULL).  An array is walked to its end before
 * anything in it is compiled, so a document whose array never ends costs
 * no compiling, heartbeat after heartbeat.  NGX_OK with *end after the
 * ']'; NGX_DECLINED when the payload ends first.
 */
ngx_int_t
walk_url_array(ngx_str_t *payload, size_t pos, ngx_array_t *patterns,
               size_t *end) noexcept
{
    std::string_view s = view(payload);

    for (size_t i = find_byte(s, '[', pos) + 1; i < s.size(); /* void */) {

        if (s[i] == ']') {
            *end = i + 1;
            return NGX_OK;
        }

        if (s[i] != '"') {
            i++;
            continue;
        }

        size_t close = find_closing_quote(s, i + 1);
        if (close == s.size()) {
            break;
        }

        if (patterns != NULL) {
            add_url_pattern(patterns, payload->data + i + 1, close - i - 1);
        }

        i = close + 1;
    }

    return NGX_DECLINED;
}

/* As walk_url_array; NGX_ERROR when a rule fails the block. */
ngx_int_t
walk_header_array(ngx_str_t *payload, size_t pos, ngx_array_t *patterns,
                  size_t *end) noexcept
{
    std::string_view s = view(payload);

    for (size_t i = find_byte(s, '[', pos) + 1; i < s.size(); /* void */) {

        char c = s[i++];

        if (c == ']') {
            *end = i;
            return NGX_OK;
        }

        if (c != '{') {
            continue;
        }

        /* only the object's first pair counts; the rest is filler */

        size_t name = find_byte(s, '"', i) + 1;
        size_t name_end = find_byte(s, '"', name);
        if (name_end == s.size()) {
            break;
        }

        size_t value = find_byte(s, '"', find_byte(s, ':', name_end + 1) + 1);
        if (value == s.size()) {
            break;
        }

        /* an unterminated value runs to the end of the payload */

        size_t value_end = find_closing_quote(s, value + 1);
        i = value_end + 2;

        if (patterns == NULL) {
            continue;
        }

        ngx_str_t header = {name_end - name, payload->data + name};

        if (add_header_rule(patterns, &header, payload->data + value + 1,
                            value_end - value - 1)
            != NGX_OK) {
            return NGX_ERROR;
        }
    }

    return NGX_DECLINED;
}

} /* namespace */

ngx_int_t
parse_url_policy_array(ngx_str_t *payload, size_t pos, ngx_array_t *patterns,
                       size_t *end) noexcept
{
    if (walk_url_array(payload, pos, NULL, end) != NGX_OK) {
        count(log_stats.url_policy_parse_errors);
        return NGX_ERROR;
    }

    return walk_url_array(payload, pos, patterns, end);
}

ngx_int_t
parse_header_policy_array(ngx_str_t *payload, size_t pos, ngx_array_t *patterns,
                          size_t *end) noexcept
{
    if (walk_header_array(payload, pos, NULL, end) != NGX_OK) {
        count(log_stats.header_policy_parse_errors);
        return NGX_ERROR;
    }

    return walk_header_array(payload, pos, patterns, end);
}

ngx_str_t *
unescape_json_string(ngx_pool_t *pool, const u_char *src, size_t len) noexcept
{
    auto *out = static_cast<ngx_str_t *>(ngx_palloc(pool, sizeof(ngx_str_t)));
    u_char *dst = static_cast<u_char *>(ngx_pnalloc(pool, len + 1));

    if (out == NULL || dst == NULL) {
        count(log_stats.pool_alloc_failed);
        return NULL;
    }

    out->data = dst;

    for (size_t i = 0; i < len; i++) {
        u_char c = src[i];

        /* no \u decoding: the hex digits stay as text */

        if (c == '\\' && i + 1 < len) {
            switch (c = src[++i]) {
            case 'b':
                c = '\b';
                break;
            case 'f':
                c = '\f';
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            default:
                break;
            }
        }

        *dst++ = c;
    }

    *dst = '\0';
    out->len = dst - out->data;

    return out;
}

url_pattern_t *
compile_regex(ngx_pool_t *pool, ngx_str_t *pattern) noexcept
{
    auto *up =
        static_cast<url_pattern_t *>(ngx_pcalloc(pool, sizeof(url_pattern_t)));
    if (up == NULL) {
        count(log_stats.pool_alloc_failed);
        return NULL;
    }

    ngx_int_t rc = regex_compile(pool, pattern, &up->rc, &up->match);

    if (rc == NGX_DECLINED) {
        ngx_log_error(NGX_LOG_ERR, pool->log, 0, "Regex compilation failed: %V",
                      &up->rc.err);
        count(log_stats.policy_regex_compile_failed);
    }

    if (rc != NGX_OK) {
        return NULL;
    }

    up->regex = up->rc.regex;
    return up;
}

void
update_policy(policy_set_t *set, ngx_array_t *patterns, ngx_str_t *version,
              ngx_log_t *log) noexcept
{
    ngx_pool_t *old = set->patterns ? set->patterns->pool : NULL;

    {
        kestrelvanes::policy_lock lock(log);
        set->patterns = patterns;
        set->version = *version;
        note_patterns_held();
    }

    /*
     * Decisions reach patterns only through the set and only under the
     * lock, so once the swap is done nothing can reach the old pool any
     * more; freeing it outside the lock keeps the event loop's wait to the
     * swap itself.
     */
    if (old != NULL && old != patterns->pool) {
        ngx_destroy_pool(old);
    }
}

} /* namespace kestrelvanes */

namespace kestrelvanes::core {

ngx_int_t
init_policy_mutex(ngx_conf_t *cf) noexcept
{
    if (ngx_thread_mutex_create(&policy_mutex, cf->log) != NGX_OK) {
        ngx_log_error(NGX_LOG_ERR, cf->log, 0, "Failed to init mutex");
        return NGX_ERROR;
    }

    return NGX_OK;
}

void
cleanup_policy_mutex(ngx_cycle_t *cycle) noexcept
{
    ngx_thread_mutex_destroy(&policy_mutex, cycle->log);
}

/*
 * Runs at master exit: no decision or update can be under way, and the
 * mutex may already be gone, so the sets are released without it.
 */
void
policy_pool_destroy(ngx_cycle_t *cycle) noexcept
{
    release_set(&url_bypass_policy);
    release_set(&header_bypass_policy);

    if (policy_pool != NULL) {
        ngx_destroy_pool(policy_pool);
        policy_pool = NULL;
    }
}

ngx_int_t
process_policy_update(ngx_str_t *response, ngx_log_t *log) noexcept
{
    update_guard guard;

    if (!guard.owner()) {
        return NGX_OK;
    }

    if (building_pool(log) == NULL) {
        return NGX_ERROR;
    }

    ngx_str_t payload;

    if (kestrelvanes::extract_json_payload(response, &payload) != NGX_OK) {
        return NGX_OK;
    }

    for (size_t pos = 0; pos < payload.len; /* void */) {

        /* case-sensitive, and inside strings too */

        if (payload.len - pos < kv_protocol::policy_type.size()
            || ngx_memcmp(payload.data + pos, kv_protocol::policy_type.s,
                          kv_protocol::policy_type.size())
                   != 0) {
            pos++;
            continue;
        }

        if (process_policy_block(&payload, pos, log, &pos) != NGX_OK) {
            return NGX_ERROR;
        }
    }

    return NGX_OK;
}

} /* namespace kestrelvanes::core */
