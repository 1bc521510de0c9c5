/*
 * Sensor core shared by both modules: per-process state and counters,
 * and request attribute helpers.  The collector peers and the calls that
 * send over them are the exporter's (exporter/nginx_ext_peers.h).
 *
 * The binary interface between the two shared objects.  Everything the
 * common headers (this one and its siblings in modules/common and
 * modules/common/exporter) declare in
 * namespace kestrelvanes::core is defined once, in the authorization
 * module's object, and exported from it; the access-log
 * module's object binds to those definitions when nginx loads it, which
 * is why the authorization module must be loaded first.  Nothing else
 * leaves either object but nginx's module tables: each module's
 * exports.map makes every other symbol local, so names such as log_stats
 * cannot meet another module's symbols in nginx's global namespace
 * (nginx loads modules with RTLD_GLOBAL).
 *
 * To share a new variable or operation, declare it inside a
 * kestrelvanes::core block of a common header and define it inside one in
 * the common sources (not in an extern "C" block: that would define
 * another, unexported function); the export follows from the namespace.  Code of one
 * object alone stays out of it (static, an anonymous namespace, or a
 * module header), and tests/integration/test_binary_interface.py checks
 * that the exported names are exactly these.
 */
#ifndef NGINX_EXT_COMMON_H
#define NGINX_EXT_COMMON_H

#if __cplusplus < 201703L
#error "the sensor modules need C++17"
#endif

extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_event.h>
#include <ngx_http.h>
}

#include <openssl/ssl.h>

/* nginx's spelling is a void pointer, which C++ does not turn into char * */
#undef NGX_CONF_ERROR
#define NGX_CONF_ERROR ((char *) -1)

#if defined(__x86_64__) && defined(__GNUC__)
#include <emmintrin.h>
#endif

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "nginx_ext_counters.h"

#if !(NGX_THREADS)
#error "the sensor modules need nginx built --with-threads"
#endif

/* How much of a request the sensor records. */
enum LogMode : int32_t {
    DefaultLogMode = 0,
    MetaDataLogMode = 1,
    MinimumLogMode = 2,
    NoLogMode = 3,
};

/*
 * What the authorization handler decides for a request and the capture
 * filters read: the logging mode when the request came in and the bypass
 * decision (ngx_ext_bypass_*, nginx_ext_policy_decision.h).  It lives in
 * the authorization module's request context, which the core does not
 * know: that module registers the finder of it when its configuration is
 * read (ngx_ext_set_request_state_finder).
 */
typedef struct {
    LogMode log_mode;
    ngx_uint_t bypass;
} ngx_ext_request_state_t;

/* The state of request r, or NULL when nothing was decided for it. */
typedef ngx_ext_request_state_t *(*ngx_ext_request_state_pt)(
    ngx_http_request_t *r) noexcept;

#define NGX_EXT_RECV_BUFFER_SIZE 8192

/* Host header of every request to the collector service */
#define NGX_EXT_COLLECTOR_HOST "kestrelvanes-collector"
#define NGX_EXT_DEBUGBUF_ROWS 128
#define NGX_EXT_DEBUGBUF_COLS 64
#define NGX_EXT_CFG_SYNC_BUFFER_SIZE 2048

namespace kestrelvanes::core {

/* counters */
extern ngx_ext_access_log_stats_t log_stats;
extern ngx_ext_auth_stats_t auth_stats;

/* settings the directives give and the collector changes per worker */
extern std::atomic<LogMode> ngx_ext_sensor_log_mode;
extern std::atomic<ngx_uint_t> ngx_ext_sampling_rate;
extern std::atomic<ngx_msec_int_t> ngx_backoff_duration;
extern std::atomic<ngx_msec_int_t> ngx_backoff_end_ts;
extern ngx_str_t ext_instance_name;
extern u_char cfg_sync_buffer[NGX_EXT_CFG_SYNC_BUFFER_SIZE];
extern ngx_str_t remote_logging_stat_server;
extern unsigned long force_read_payload_file;

extern ngx_uint_t num_socket_conns;

/* debug ring: written only by connection set-up, read by a debugger */
extern char access_log_debugbuf[NGX_EXT_DEBUGBUF_ROWS][NGX_EXT_DEBUGBUF_COLS];
extern std::atomic<uint64_t> current_buf_index;

/* request variables the sensor reads, and their indexes */
extern ngx_str_t ngx_http_request_id;
extern ngx_str_t ngx_http_x_forwarded_for;
extern ngx_str_t ngx_http_x_forwarded_proto;

extern ngx_uint_t ngx_http_request_id_var_index;
extern ngx_uint_t ngx_http_x_forwarded_for_var_index;
extern ngx_uint_t ngx_http_x_forwarded_proto_var_index;

void update_log_buf(char *data) noexcept;

/* nginx's lower-casing header-name hash: h = h * 31 + lc(byte) */
ngx_uint_t ngx_http_hash_key(const u_char *data, size_t len) noexcept;

/* request attribute helpers */

/*
 * $request_id, filled the cheap way first when nothing has read it yet;
 * NULL when the request has none.
 */
ngx_http_variable_value_t *
ngx_request_id_variable(ngx_http_request_t *r) noexcept;
/*
 * The request id as the sensor sends it, v->len bytes at p: the worker's
 * pid prefix over the head of $request_id.  Returns the end.
 */
u_char *ngx_write_request_id(u_char *p,
                             const ngx_http_variable_value_t *v) noexcept;
/* The same, NUL-terminated, in buff (128 bytes). */
ngx_int_t ngx_get_request_id(ngx_http_request_t *r, u_char *buff) noexcept;
/*
 * "$remote_addr:$remote_port" at p, which has room for the address text
 * and 6 more bytes.  Returns the end.
 */
u_char *ngx_write_client_addr(ngx_http_request_t *r, u_char *p) noexcept;
ngx_int_t ngx_get_opc_lb_endpoint(ngx_http_request_t *r,
                                  ngx_str_t *opc_endpoint) noexcept;
u_char *ngx_str_to_null_term_string(u_char *buffer, ngx_str_t *str) noexcept;
LogMode ngx_get_log_mode_cached(ngx_http_request_t *r) noexcept;

/*
 * The per-request state: the authorization module sets its finder while
 * the configuration is read, before any request; until then, and for a
 * request without a context of that module, there is none (NULL).
 */
void ngx_ext_set_request_state_finder(ngx_ext_request_state_pt find) noexcept;
ngx_ext_request_state_t *ngx_ext_request_state(ngx_http_request_t *r) noexcept;

} /* namespace kestrelvanes::core */

/* Both modules' code names the shared state and operations as they are. */
using namespace kestrelvanes::core;

namespace kestrelvanes {

/* Raises one counter; safe from any thread. */
inline void
count(ngx_atomic_t &counter) noexcept
{
    __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED);
}

/* Raises a counter by n, for events that happen to n messages at once. */
inline void
count(ngx_atomic_t &counter, ngx_atomic_uint_t n) noexcept
{
    __atomic_fetch_add(&counter, n, __ATOMIC_RELAXED);
}

/* nginx declares the current cycle volatile; its host name is stable. */
inline ngx_str_t *
cycle_hostname() noexcept
{
    return &const_cast<ngx_cycle_t *>(ngx_cycle)->hostname;
}

/*
 * The host the client named: its Host header, or for a request without
 * one the authority of its target.  An HTTP/3 client names the host in
 * ":authority", which nginx keeps outside the header list (HTTP/2's
 * becomes a Host header); an HTTP/1.0 client may name it in an absolute
 * request URI alone.  False when the request names none.
 */
inline bool
client_host(const ngx_http_request_t *r, ngx_str_t *host) noexcept
{
    if (r->headers_in.host != NULL) {
        *host = r->headers_in.host->value;
        return true;
    }

    if (r->host_start == NULL || r->host_end <= r->host_start) {
        return false;
    }

    host->data = r->host_start;
    host->len = r->host_end - r->host_start;
    return true;
}

/* "00" to "99", for writing numbers two digits a division */
inline constexpr char decimal_pairs[] =
    "0001020304050607080910111213141516171819"
    "2021222324252627282930313233343536373839"
    "4041424344454647484950515253545556575859"
    "6061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

/*
 * value in decimal at p, as "%L" writes it, without the cost of nginx's
 * format parser on a request's path; p has room for NGX_INT64_LEN bytes.
 * Returns the end.
 */
inline u_char *
write_decimal(u_char *p, int64_t value) noexcept
{
    u_char digits[NGX_INT64_LEN];
    u_char *d = digits + sizeof(digits);
    uint64_t u = value < 0 ? 0 - (uint64_t) value : (uint64_t) value;

    while (u >= 100) {
        const char *pair = &decimal_pairs[(u % 100) * 2];
        u /= 100;
        *--d = (u_char) pair[1];
        *--d = (u_char) pair[0];
    }

    if (u >= 10) {
        *--d = (u_char) decimal_pairs[u * 2 + 1];
        *--d = (u_char) decimal_pairs[u * 2];
    } else {
        *--d = (u_char) ('0' + u);
    }

    if (value < 0) {
        *--d = '-';
    }

    return ngx_cpymem(p, d, digits + sizeof(digits) - d);
}

/* "00" to "ff", lower case, for writing bytes in hex a byte a step */
inline constexpr std::array<char, 512> hex_pairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<char, 512> pairs{};

    for (size_t i = 0; i < 256; i++) {
        pairs[2 * i] = digits[i >> 4];
        pairs[2 * i + 1] = digits[i & 0xf];
    }

    return pairs;
}();

/*
 * The len bytes at src in lower-case hex at dst, as ngx_hex_dump() writes
 * them, with a table step per byte instead of two shifts and masks.
 * Returns the end.
 */
inline u_char *
write_hex(u_char *dst, const u_char *src, size_t len) noexcept
{
#if defined(__x86_64__) && defined(__GNUC__)
    /*
     * Sixteen bytes a step (a request id is one step): the nibbles of each
     * byte side by side, each turned into its digit at once.
     */
    const __m128i low = _mm_set1_epi8(0x0f);
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i letters = _mm_set1_epi8('a' - '0' - 10);

    for (; len >= 16; len -= 16, src += 16, dst += 32) {
        __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
        __m128i hi = _mm_and_si128(_mm_srli_epi16(in, 4), low);
        __m128i lo = _mm_and_si128(in, low);
        __m128i first = _mm_unpacklo_epi8(hi, lo);
        __m128i second = _mm_unpackhi_epi8(hi, lo);

        first =
            _mm_add_epi8(_mm_add_epi8(first, zero),
                         _mm_and_si128(_mm_cmpgt_epi8(first, nine), letters));
        second =
            _mm_add_epi8(_mm_add_epi8(second, zero),
                         _mm_and_si128(_mm_cmpgt_epi8(second, nine), letters));

        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), first);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16), second);
    }
#endif

    for (size_t i = 0; i < len; i++) {
        ngx_memcpy(dst, &hex_pairs[2 * src[i]], 2);
        dst += 2;
    }

    return dst;
}

/* Reads a counter and resets it in one step, so no increment is lost. */
inline ngx_atomic_uint_t
take(ngx_atomic_t &counter) noexcept
{
    return __atomic_exchange_n(&counter, 0, __ATOMIC_RELAXED);
}

/*
 * Whether the worker stops fast (terminating) or at all (stopping), as a
 * pool thread must ask: nginx's
 * ngx_exiting and ngx_terminate are plain globals its event loop sets;
 * atomic loads make every call read them again instead of a value the
 * compiler kept from an earlier one.
 */
inline bool
worker_terminating() noexcept
{
    return __atomic_load_n(&ngx_terminate, __ATOMIC_RELAXED);
}

inline bool
worker_stopping() noexcept
{
    return __atomic_load_n(&ngx_exiting, __ATOMIC_RELAXED)
           || __atomic_load_n(&ngx_terminate, __ATOMIC_RELAXED);
}

} /* namespace kestrelvanes */

#endif /* NGINX_EXT_COMMON_H */
