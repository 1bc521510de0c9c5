/*
 * Bypass policies pushed by the collector: URL patterns and header
 * patterns that exempt requests from capture and authorization.
 *
 * The collector sends the policies in the body of its heartbeat reply.  The
 * monitoring thread that receives the reply only copies it; the heartbeat
 * task's completion parses and compiles it on the event loop, where the
 * requests are matched too: nginx's regex compiler works on process-wide
 * state that must not change under a match.  policy_mutex still guards the
 * swap of a finished set against a decision in progress.
 *
 * Every pattern runs with limits on its matching steps and depth (and heap,
 * with PCRE2), so no pattern and no subject can exhaust the stack or hold
 * the event loop; a search that reaches a limit counts as no match.
 */
#ifndef NGINX_EXT_POLICY_H
#define NGINX_EXT_POLICY_H

#include "nginx_ext_common.h"

/*
 * One policy set.  Each applied set owns an nginx pool of its own, the one
 * its pointer array was created from (patterns->pool): the array, the
 * pattern records, the version bytes and the compiled code all live there
 * (or, for JIT code and what the regex library allocates itself, are
 * released by the pool's cleanups), so replacing the set destroys that
 * pool and nothing accumulates however often the collector changes its
 * policies.  Such a pool is destroyed, never reset: a reset would skip the
 * cleanups.
 */
typedef struct {
    ngx_array_t *patterns; /* of url_pattern_t * or header_pattern_t * */
    ngx_str_t version;     /* raw bytes of the block's Version value */
} policy_set_t;

/* How a compiled pattern is run. */
typedef struct {
    unsigned anchored : 1;     /* tried at the subject's start only */
    unsigned limit_logged : 1; /* a limit hit has been reported */
} policy_match_t;

typedef struct {
    ngx_regex_t *regex;
    ngx_regex_compile_t rc;
    policy_match_t match;
} url_pattern_t;

typedef struct {
    ngx_str_t header_name;
    ngx_regex_t *regex;
    ngx_regex_compile_t rc;
    policy_match_t match;
} header_pattern_t;

/*
 * The limits every pattern runs with.  PCRE counts steps afresh at each
 * starting point of a search, so an unanchored pattern shares the budget
 * among the subject's starting points, keeping at least the floor each.
 */
#define NGX_EXT_POLICY_MATCH_STEPS 100000
#define NGX_EXT_POLICY_MATCH_STEPS_PER_START 100
#define NGX_EXT_POLICY_MATCH_DEPTH 1000
#define NGX_EXT_POLICY_MATCH_HEAP_KB 1024

namespace kestrelvanes::core {

extern policy_set_t url_bypass_policy;
extern policy_set_t header_bypass_policy;
extern ngx_thread_mutex_t policy_mutex;

/*
 * Whether either set holds a pattern, changed with the sets under
 * policy_mutex: without one no request is bypassed, which a decision
 * knows without taking the lock.
 */
extern std::atomic<bool> bypass_patterns_held;

/*
 * The pool the next set is built in, owned by the update.  When a block is
 * applied its set takes this pool over and policy_pool goes back to NULL;
 * when a block fails to parse the pool is replaced by a fresh one.  So at
 * any time policy memory is at most three pools: this one and the two
 * sets' own.
 */
extern ngx_pool_t *policy_pool;

ngx_int_t init_policy_mutex(ngx_conf_t *cf) noexcept;
void cleanup_policy_mutex(ngx_cycle_t *cycle) noexcept;

/* Releases every set and the building pool; a second call does nothing. */
void policy_pool_destroy(ngx_cycle_t *cycle) noexcept;

/*
 * Applies the policy blocks found in a heartbeat reply (status line,
 * headers and body).  Runs on the event loop (the heartbeat task's
 * completion); one update at a time.  NGX_ERROR only when no pool could
 * be had; NGX_OK otherwise.
 */
ngx_int_t process_policy_update(ngx_str_t *response, ngx_log_t *log) noexcept;

} /* namespace kestrelvanes::core */

namespace kestrelvanes {

/* Holds policy_mutex for one scope; lock failures are logged by nginx. */
class policy_lock {
  public:
    explicit policy_lock(ngx_log_t *log) noexcept : log_(log)
    {
        (void) ngx_thread_mutex_lock(&policy_mutex, log_);
    }

    ~policy_lock() { (void) ngx_thread_mutex_unlock(&policy_mutex, log_); }

    policy_lock(const policy_lock &) = delete;
    policy_lock &operator=(const policy_lock &) = delete;

  private:
    ngx_log_t *log_;
};

/*
 * The steps of an update.  Offsets count from payload->data; a search that
 * finds nothing yields payload->len, and no step reads past the payload.
 */

/* The trimmed body of the reply; NGX_DECLINED when there is none. */
ngx_int_t extract_json_payload(ngx_str_t *response,
                               ngx_str_t *payload) noexcept;

/*
 * Locates the first Version value at or after pos.  version points into the
 * payload (raw bytes between the quotes); the caller copies it into the
 * pool of the set it builds.  NGX_OK or NGX_ERROR.
 */
ngx_int_t extract_version(ngx_str_t *payload, size_t pos,
                          ngx_str_t *version) noexcept;

/*
 * Parse the array at or after pos into patterns (allocating from
 * patterns->pool).  On NGX_OK *end is the offset after the closing ']'.
 */
ngx_int_t parse_url_policy_array(ngx_str_t *payload, size_t pos,
                                 ngx_array_t *patterns, size_t *end) noexcept;
ngx_int_t parse_header_policy_array(ngx_str_t *payload, size_t pos,
                                    ngx_array_t *patterns,
                                    size_t *end) noexcept;

/* The result is NUL-terminated (PCRE1 reads patterns up to a NUL). */
ngx_str_t *unescape_json_string(ngx_pool_t *pool, const u_char *src,
                                size_t len) noexcept;

/*
 * Compiles a pattern ready to run within the limits.  The compiled code
 * lives as long as the pool.
 */
url_pattern_t *compile_regex(ngx_pool_t *pool, ngx_str_t *pattern) noexcept;

/*
 * Swaps a new set in under policy_mutex and releases the pool of the set it
 * replaces.  The set takes patterns->pool over.
 */
void update_policy(policy_set_t *set, ngx_array_t *patterns, ngx_str_t *version,
                   ngx_log_t *log) noexcept;

} /* namespace kestrelvanes */

/* the per-request decision against the sets */
#include "nginx_ext_policy_decision.h"

#endif /* NGINX_EXT_POLICY_H */
