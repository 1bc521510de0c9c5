/*
 * Fuzz support: nginx's process globals set up once, a log that drops
 * what it is given (formatting still runs, so a bad format argument is
 * found), buffers of exactly their size, and the check that stops a run.
 *
 * The module sources are compiled with the fuzzer's coverage and the
 * sanitizers; nginx's own objects come from the nginx build the modules
 * were made for, as in the unit tests.
 */
#ifndef KV_FUZZ_SUPPORT_H
#define KV_FUZZ_SUPPORT_H

#include "nginx_ext_common.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace kvfuzz {

inline void
drop_log(ngx_log_t *, ngx_uint_t, u_char *, size_t)
{
}

inline ngx_log_t *
quiet_log()
{
    static ngx_log_t log;

    log.log_level = NGX_LOG_DEBUG;
    log.writer = drop_log;
    return &log;
}

/* nginx's globals as a worker has them; once per process. */
inline void
init_process()
{
    static bool done;

    if (done) {
        return;
    }
    done = true;

    ngx_pagesize = getpagesize();
    ngx_cacheline_size = NGX_CPU_CACHE_LINE;
    for (ngx_uint_t n = ngx_pagesize; n >>= 1; ngx_pagesize_shift++) {
        /* void */
    }
    ngx_pid = getpid();
    ngx_time_init();

    static ngx_cycle_t cycle;
    cycle.log = quiet_log();
    ngx_str_set(&cycle.hostname, "fuzzhost");
    ngx_cycle = &cycle;

    /* nginx copies errors to stderr: thousands a second here */
    ngx_use_stderr = 0;

    signal(SIGPIPE, SIG_IGN);
    ngx_regex_init();
}

/* A property that does not hold: said on stderr, and the run stops. */
[[noreturn]] inline void
fail(const char *what, const std::string &detail = std::string())
{
    std::fprintf(stderr, "\nPROPERTY FAILED: %s\n", what);
    if (!detail.empty()) {
        std::fwrite(detail.data(), 1, ngx_min(detail.size(), (size_t) 4096),
                    stderr);
        std::fputc('\n', stderr);
    }
    std::abort();
}

#define KV_REQUIRE(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            kvfuzz::fail(#cond, ##__VA_ARGS__);                                \
        }                                                                      \
    } while (0)

/*
 * Bytes in a heap block of exactly their size, so AddressSanitizer sees
 * any read past the end (a std::string would have room behind it).
 */
class Exact {
  public:
    Exact(const void *p, size_t n) : len_(n), buf_(new u_char[n ? n : 1])
    {
        if (n) {
            std::memcpy(buf_.get(), p, n);
        }
    }

    explicit Exact(const std::string &s) : Exact(s.data(), s.size()) {}

    u_char *data() { return buf_.get(); }
    size_t size() const { return len_; }
    ngx_str_t str() { return {len_, len_ ? buf_.get() : nullptr}; }

  private:
    size_t len_;
    std::unique_ptr<u_char[]> buf_;
};

inline std::string
text(const ngx_str_t &s)
{
    return s.len ? std::string(reinterpret_cast<const char *>(s.data), s.len)
                 : std::string();
}

} /* namespace kvfuzz */

#endif
