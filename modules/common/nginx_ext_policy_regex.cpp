/*
 * Bypass patterns compiled and run within limits.
 *
 * nginx itself never limits a match, and readies (studies, JIT-compiles)
 * only the expressions of its configuration.  A pattern from the collector
 * arrives while the worker runs, so this unit does both: without a depth
 * limit PCRE1's recursive matcher runs a nested group over a long URI off
 * the end of the stack, and without a step limit a pattern such as
 * ^/(a+)+$ takes exponential time.
 *
 * A pattern cannot raise the limits with (*LIMIT_MATCH=...) and the like:
 * both libraries take the smaller of the pattern's and the caller's.
 */
#include "nginx_ext_policy_regex.h"

#include <cstdlib>

#if !(NGX_PCRE)
#error "the sensor modules need nginx built with PCRE"
#endif

namespace {

/*
 * Room for the offsets of a few groups.  Without it PCRE1 has to allocate
 * for a pattern with back-references, and at run time nginx's regex
 * allocator gives it nothing, so such a pattern would never match.
 */
constexpr int match_vector_size = 3 * 10;

/*
 * The error text of the latest failed compile.  Compiles run one at a time
 * on the event loop, and a pattern that compiled needs no error buffer, so
 * one buffer serves every pattern.
 */
u_char compile_error[NGX_MAX_CONF_ERRSTR];

unsigned long
steps_per_start(const policy_match_t *match, size_t len) noexcept
{
    if (match->anchored) {
        return NGX_EXT_POLICY_MATCH_STEPS;
    }

    return ngx_max(NGX_EXT_POLICY_MATCH_STEPS / (len + 1),
                   (unsigned long) NGX_EXT_POLICY_MATCH_STEPS_PER_START);
}

void
prepare_compile(ngx_pool_t *pool, ngx_str_t *pattern,
                ngx_regex_compile_t *rc) noexcept
{
    rc->pattern = *pattern;
    rc->pool = pool;
    rc->options = 0;
    rc->err.len = sizeof(compile_error);
    rc->err.data = compile_error;
}

#if (NGX_PCRE2)

/*
 * nginx's compiled code allocates through nginx's regex allocator, which
 * refuses every allocation outside nginx's own calls, so it could never be
 * JIT-compiled here; and ngx_regex_exec passes no match context, so no
 * limit would apply.  Bypass patterns are therefore compiled and run with
 * the library's own calls: the same options nginx uses (none but the
 * defaults), the library's allocator, one match context with the limits.
 */
pcre2_match_context *match_context;
pcre2_match_data *match_data;

bool
matcher_ready() noexcept
{
    if (match_context == NULL) {
        match_context = pcre2_match_context_create(NULL);
        if (match_context == NULL) {
            return false;
        }

#if defined(PCRE2_ERROR_HEAPLIMIT)
        (void) pcre2_set_depth_limit(match_context, NGX_EXT_POLICY_MATCH_DEPTH);
        (void) pcre2_set_heap_limit(match_context,
                                    NGX_EXT_POLICY_MATCH_HEAP_KB);
#else
        (void) pcre2_set_recursion_limit(match_context,
                                         NGX_EXT_POLICY_MATCH_DEPTH);
#endif
    }

    if (match_data == NULL) {
        match_data = pcre2_match_data_create(match_vector_size / 3, NULL);
    }

    return match_data != NULL;
}

bool
jit_available() noexcept
{
    static int available = -1;

    if (available == -1) {
        uint32_t jit = 0;
        available = pcre2_config(PCRE2_CONFIG_JIT, &jit) >= 0 && jit == 1;
    }

    return available == 1;
}

void
release_code(void *data) noexcept
{
    pcre2_code_free(static_cast<pcre2_code *>(data));
}

/* The error text as nginx's own compile words it. */
void
compile_failed(ngx_regex_compile_t *rc, int errcode, PCRE2_SIZE erroff) noexcept
{
    u_char errstr[128];

    pcre2_get_error_message(errcode, errstr, sizeof(errstr));

    if (erroff == rc->pattern.len) {
        rc->err.len = ngx_snprintf(rc->err.data, rc->err.len,
                                   "pcre2_compile() failed: %s in \"%V\"",
                                   errstr, &rc->pattern)
                      - rc->err.data;
        return;
    }

    /* the pattern is NUL-terminated (unescape_json_string) */
    rc->err.len = ngx_snprintf(rc->err.data, rc->err.len,
                               "pcre2_compile() failed: %s in \"%V\" at \"%s\"",
                               errstr, &rc->pattern, rc->pattern.data + erroff)
                  - rc->err.data;
}

ngx_int_t
compile(ngx_regex_compile_t *rc, policy_match_t *match) noexcept
{
    int errcode;
    PCRE2_SIZE erroff;

    /* without its match context no limit would apply */
    if (!matcher_ready()) {
        return NGX_ERROR;
    }

    pcre2_code *code = pcre2_compile(rc->pattern.data, rc->pattern.len, 0,
                                     &errcode, &erroff, NULL);
    if (code == NULL) {
        compile_failed(rc, errcode, erroff);
        return NGX_DECLINED;
    }

    ngx_pool_cleanup_t *cln = ngx_pool_cleanup_add(rc->pool, 0);
    if (cln == NULL) {
        pcre2_code_free(code);
        return NGX_ERROR;
    }

    cln->handler = release_code;
    cln->data = code;

    if (jit_available()) {
        /* a pattern the JIT cannot take runs in the interpreter */
        (void) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    }

    uint32_t options = 0;
    (void) pcre2_pattern_info(code, PCRE2_INFO_ALLOPTIONS, &options);
    match->anchored = (options & PCRE2_ANCHORED) != 0;

    rc->regex = code;
    return NGX_OK;
}

int
run(ngx_regex_t *re, const policy_match_t *match, ngx_str_t *s) noexcept
{
    (void) pcre2_set_match_limit(match_context, steps_per_start(match, s->len));

    return pcre2_match(re, s->data, s->len, 0, 0, match_data, match_context);
}

const char *
limit_reached(int rc) noexcept
{
    switch (rc) {
    case PCRE2_ERROR_MATCHLIMIT:
        return "step";
#if defined(PCRE2_ERROR_HEAPLIMIT)
    case PCRE2_ERROR_DEPTHLIMIT:
        return "depth";
    case PCRE2_ERROR_HEAPLIMIT:
        return "heap";
#else
    case PCRE2_ERROR_RECURSIONLIMIT:
        return "depth";
#endif
    case PCRE2_ERROR_JIT_STACKLIMIT:
        return "stack";
    default:
        return NULL;
    }
}

#else /* PCRE1 */

/*
 * pcre_study allocates through the process-wide pcre_malloc, which nginx
 * points at an allocator that refuses outside nginx's own calls.  Studying
 * a bypass pattern, and releasing what the study made, borrow the C
 * library's allocator for the moment; that happens on the event loop,
 * where no other PCRE call can run meanwhile.
 */
class libc_pcre_allocator {
  public:
    libc_pcre_allocator() noexcept : malloc_(pcre_malloc), free_(pcre_free)
    {
        pcre_malloc = ::malloc;
        pcre_free = ::free;
    }

    ~libc_pcre_allocator()
    {
        pcre_malloc = malloc_;
        pcre_free = free_;
    }

    libc_pcre_allocator(const libc_pcre_allocator &) = delete;
    libc_pcre_allocator &operator=(const libc_pcre_allocator &) = delete;

  private:
    void *(*malloc_)(size_t);
    void (*free_)(void *);
};

/* JIT code lives outside the pool: it must be released explicitly. */
void
release_study(void *data) noexcept
{
    libc_pcre_allocator libc;
    pcre_free_study(static_cast<pcre_extra *>(data));
}

constexpr int study_options =
#if defined(PCRE_STUDY_EXTRA_NEEDED)
    PCRE_STUDY_EXTRA_NEEDED |
#endif
#if (NGX_HAVE_PCRE_JIT)
    PCRE_STUDY_JIT_COMPILE |
#endif
    0;

ngx_int_t
compile(ngx_regex_compile_t *rc, policy_match_t *match) noexcept
{
    if (ngx_regex_compile(rc) != NGX_OK) {
        return NGX_DECLINED;
    }

    pcre *code = rc->regex->code;

    ngx_pool_cleanup_t *cln = ngx_pool_cleanup_add(rc->pool, 0);
    if (cln == NULL) {
        return NGX_ERROR;
    }

    const char *err = NULL;
    pcre_extra *extra;

    {
        libc_pcre_allocator libc;
        extra = pcre_study(code, study_options, &err);
    }

    if (extra != NULL) {
        cln->handler = release_study;
        cln->data = extra;

    } else {
        /* nothing studied: the limits still need a record to sit in */
        extra = static_cast<pcre_extra *>(
            ngx_pcalloc(rc->pool, sizeof(pcre_extra)));
        if (extra == NULL) {
            return NGX_ERROR;
        }
    }

    extra->flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    extra->match_limit = NGX_EXT_POLICY_MATCH_STEPS;
    extra->match_limit_recursion = NGX_EXT_POLICY_MATCH_DEPTH;
    rc->regex->extra = extra;

    unsigned long options = 0;
    (void) pcre_fullinfo(code, NULL, PCRE_INFO_OPTIONS, &options);
    match->anchored = (options & PCRE_ANCHORED) != 0;

    return NGX_OK;
}

int
run(ngx_regex_t *re, const policy_match_t *match, ngx_str_t *s) noexcept
{
    int captures[match_vector_size];

    if (s->len > NGX_MAX_INT32_VALUE) {
        return PCRE_ERROR_NOMATCH;
    }

    re->extra->match_limit = steps_per_start(match, s->len);

    return ngx_regex_exec(re, s, captures, match_vector_size);
}

const char *
limit_reached(int rc) noexcept
{
    switch (rc) {
    case PCRE_ERROR_MATCHLIMIT:
        return "step";
    case PCRE_ERROR_RECURSIONLIMIT:
        return "depth";
#if defined(PCRE_ERROR_JIT_STACKLIMIT)
    case PCRE_ERROR_JIT_STACKLIMIT:
        return "stack";
#endif
    default:
        return NULL;
    }
}

#endif

} /* namespace */

namespace kestrelvanes {

ngx_int_t
regex_compile(ngx_pool_t *pool, ngx_str_t *pattern, ngx_regex_compile_t *rc,
              policy_match_t *match) noexcept
{
    prepare_compile(pool, pattern, rc);

    ngx_int_t result = compile(rc, match);

    if (result == NGX_ERROR) {
        count(log_stats.pool_alloc_failed);
    }

    if (result != NGX_DECLINED) {
        /* the shared buffer belongs to the next compile */
        ngx_str_null(&rc->err);
    }

    return result;
}

regex_result
regex_run(ngx_regex_t *re, const policy_match_t *match, ngx_str_t *s,
          const char **limit) noexcept
{
    int rc = run(re, match, s);

    if (rc >= 0) {
        return regex_result::match;
    }

    /* any other failure is no match, as a mismatch is */
    *limit = limit_reached(rc);

    return *limit != NULL ? regex_result::limit : regex_result::no_match;
}

} /* namespace kestrelvanes */
