/*
 * Collector control channel: logging-mode words and gates.
 */
#include "nginx_ext_cfg_sync.h"
#include "kv_protocol.h"
#include "nginx_ext_policy.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

namespace wire = kv_protocol;

/* Indexed by LogMode value. */
constexpr const std::string_view (&log_mode_words)[4] = wire::logging_levels;

constexpr ngx_uint_t log_mode_count =
    sizeof(log_mode_words) / sizeof(log_mode_words[0]);

constexpr auto heartbeat_path = wire::heartbeat_target;
static_assert(NGX_EXT_RECV_BUFFER_SIZE == wire::heartbeat_reply_buffer);

/* the heartbeat's lines, as ngx_slprintf formats */
constexpr auto hostname_format = wire::sensor_hostname + ": %V\r\n";
constexpr auto instance_format = wire::sensor_instance + ": %*s\r\n";
constexpr auto level_format = wire::sensor_logging_level + ": %s\r\n\r\n";

/*
 * The heartbeat buffer holds the fixed lines (well under 300 bytes) and a
 * host name of at most 256; an instance name is cut to what remains.
 */
constexpr size_t max_instance_in_heartbeat = 1024;

/*
 * The value of a header of the reply's head, at most `width` bytes of it,
 * NUL-terminated in `out`.  Only the head steers the worker: the body
 * carries policies, and a line in it that looks like a header is theirs.
 */
bool
find_reply_value(const u_char *buf, ssize_t len, std::string_view name,
                 size_t width, char *out) noexcept
{
    ngx_str_t value;

    if (!kestrelvanes::reply_header(buf, static_cast<size_t>(len), name,
                                    &value)) {
        return false;
    }

    size_t n = ngx_min(value.len, width);
    ngx_memcpy(out, value.data, n);
    out[n] = '\0';

    return true;
}

/* the heartbeat exchange running on this thread (policy_handoff_scope) */
thread_local kestrelvanes::policy_handoff *current_handoff;

/*
 * Copies a reply that carries a body into the task's pool: the reply
 * buffer is gone once the exchange returns, and the pool lives until the
 * task's completion has applied it.
 */
void
hand_over_policies(u_char *buf, ssize_t len) noexcept
{
    kestrelvanes::policy_handoff *handoff = current_handoff;

    if (handoff == NULL || len <= 0) {
        return;
    }

    ngx_str_t reply = {static_cast<size_t>(len), buf};
    ngx_str_t payload;

    if (kestrelvanes::extract_json_payload(&reply, &payload) != NGX_OK) {
        return;
    }

    auto *copy = static_cast<u_char *>(ngx_pnalloc(handoff->pool, reply.len));
    if (copy == NULL) {
        kestrelvanes::count(log_stats.pool_alloc_failed);
        return;
    }

    ngx_memcpy(copy, buf, reply.len);
    handoff->policies->data = copy;
    handoff->policies->len = reply.len;
}

/* Decimal with C's rules: blanks skipped, stops at a non-digit, none is 0. */
long
reply_number(const char *text) noexcept
{
    return strtol(text, NULL, 10);
}

/*
 * Applies a numeric reply header within [0, max]; anything else is
 * ignored without a counter.
 */
template <typename Setting>
void
update_number(const u_char *buf, ssize_t len, ngx_log_t *log,
              std::string_view name, size_t width, long max, Setting &setting,
              ngx_atomic_t &invalid, ngx_atomic_t &changed,
              const char *message) noexcept
{
    char value[16] = {};

    if (buf == NULL || len <= 0) {
        kestrelvanes::count(invalid);
        return;
    }

    if (!find_reply_value(buf, len, name, width, value)) {
        return;
    }

    long n = reply_number(value);
    if (n < 0 || n > max) {
        return;
    }

    if (static_cast<long>(setting.load(std::memory_order_relaxed)) == n) {
        return;
    }

    setting.store(n, std::memory_order_relaxed);
    ngx_log_error(NGX_LOG_INFO, log, 0, message, (int) n);
    kestrelvanes::count(changed);
}

} /* namespace */

kestrelvanes::policy_handoff_scope::policy_handoff_scope(
    policy_handoff *handoff) noexcept
{
    current_handoff = handoff;
}

kestrelvanes::policy_handoff_scope::~policy_handoff_scope()
{
    current_handoff = NULL;
}

namespace kestrelvanes::core {

LogMode
get_log_mode(const char *str) noexcept
{
    std::string_view word(str);

    for (ngx_uint_t i = 0; i < log_mode_count; i++) {
        if (word == log_mode_words[i]) {
            return static_cast<LogMode>(i);
        }
    }

    return DefaultLogMode;
}

const char *
get_log_mode_str(LogMode mode) noexcept
{
    auto value = static_cast<uint32_t>(mode);

    if (value >= log_mode_count) {
        return "unknown";
    }

    /* the words are literals, so their data is NUL-terminated */
    return log_mode_words[value].data();
}

LogMode
get_log_mode_direct(void) noexcept
{
    return ngx_ext_sensor_log_mode.load(std::memory_order_relaxed);
}

int
get_log_mode_from_auth(ngx_http_request_t *r, LogMode *out_log_mode) noexcept
{
    ngx_ext_request_state_t *state = ngx_ext_request_state(r);

    /* a bypassed request's context holds only that decision */
    if (state == NULL || state->bypass == ngx_ext_bypass_yes) {
        *out_log_mode = DefaultLogMode;
        return -1;
    }

    *out_log_mode = state->log_mode;
    return 1;
}

int
should_log(LogMode mode) noexcept
{
    return mode == NoLogMode ? -1 : 1;
}

/* Unsigned comparisons: a value outside 0..3 is refused by both gates. */
int
should_log_header(LogMode mode) noexcept
{
    return static_cast<uint32_t>(mode) < MinimumLogMode ? 1 : -1;
}

int
should_log_payload(LogMode mode) noexcept
{
    return static_cast<uint32_t>(mode) == DefaultLogMode ? 1 : -1;
}

int
should_log_thread(void) noexcept
{
    return should_log(get_log_mode_direct());
}

} /* namespace kestrelvanes::core */

namespace kestrelvanes::core {

size_t
ngx_ext_build_cfg_sync_request(u_char *buf, size_t size) noexcept
{
    u_char *last = buf + size;
    u_char *p = ngx_slprintf(buf, last, "POST %s HTTP/1.1\r\nHost: %s\r\n",
                             heartbeat_path.s, NGX_EXT_COLLECTOR_HOST);

    if (ngx_cycle->hostname.len) {
        p = ngx_slprintf(p, last, hostname_format.s, &ngx_cycle->hostname);
    }

    if (ext_instance_name.len) {
        size_t n = ngx_min(ext_instance_name.len, max_instance_in_heartbeat);
        p = ngx_slprintf(p, last, instance_format.s, n, ext_instance_name.data);
    }

    p = ngx_slprintf(p, last, level_format.s,
                     get_log_mode_str(get_log_mode_direct()));

    return p - buf;
}

/*
 * On the monitoring thread.  The bypass policies wait for the event loop
 * (ngx_ext_apply_heartbeat_policies): compiling a pattern changes nginx's
 * process-wide regex state, which the event loop's matching relies on.
 */
ssize_t
parse_cfg_sync_response(u_char *buf, ssize_t len, ngx_log_t *log) noexcept
{
    update_logging_level(buf, len, log);
    update_backoff_duration(buf, len, log);
    update_sampling_rate(buf, len, log);

    hand_over_policies(buf, len);

    return 0;
}

void
ngx_ext_apply_heartbeat_policies(ngx_str_t *policies) noexcept
{
    if (policies->len == 0) {
        return;
    }

    (void) process_policy_update(policies, ngx_cycle->log);
}

void
update_logging_level(const u_char *buf, ssize_t len, ngx_log_t *log) noexcept
{
    char word[256] = {};

    if (buf == NULL || len <= 0) {
        kestrelvanes::count(log_stats.log_level_msg_invalid);
        return;
    }

    if (!find_reply_value(buf, len, wire::logging_level, sizeof(word) - 1,
                          word)) {
        return;
    }

    LogMode mode = get_log_mode(word);

    if (mode == get_log_mode_direct()) {
        return;
    }

    ngx_ext_sensor_log_mode.store(mode, std::memory_order_relaxed);
    ngx_log_error(NGX_LOG_INFO, log, 0, "Logging mode changed to %s (%d)", word,
                  (int) mode);
    kestrelvanes::count(log_stats.log_level_changed);
}

void
update_backoff_duration(const u_char *buf, ssize_t len, ngx_log_t *log) noexcept
{
    update_number(buf, len, log, wire::backoff_duration, wire::backoff_width,
                  wire::max_backoff_ms, ngx_backoff_duration,
                  log_stats.backoff_duration_msg_invalid,
                  log_stats.backoff_duration_changed,
                  "Backoff duration changed to %d");
}

void
update_sampling_rate(const u_char *buf, ssize_t len, ngx_log_t *log) noexcept
{
    update_number(buf, len, log, wire::sampling_rate, wire::sampling_width,
                  wire::max_sampling_rate, ngx_ext_sampling_rate,
                  log_stats.sampling_rate_msg_invalid,
                  log_stats.sampling_rate_changed,
                  "Sampling rate changed to %d");
}

size_t
get_content_length(const unsigned char *buf, size_t len) noexcept
{
    static char header[] = "Content-Length: ";
    u_char *text = const_cast<u_char *>(buf);

    u_char *end = ngx_strnstr(text, const_cast<char *>("\r\n\r\n"), len);
    if (end == NULL) {
        return 0;
    }

    u_char *p = ngx_strnstr(text, header, end - text);
    if (p == NULL) {
        return 0;
    }

    p += sizeof(header) - 1;

    u_char *value_end = ngx_strnstr(p, const_cast<char *>("\r\n"), end + 2 - p);
    if (value_end == NULL) {
        return 0;
    }

    size_t n = 0;
    while (p < value_end && *p >= '0' && *p <= '9') {
        n = n * 10 + (*p++ - '0');
    }

    return n;
}

int
get_http_status_code(const unsigned char *buf) noexcept
{
    char line[NGX_EXT_RECV_BUFFER_SIZE] = {};
    const char *text = reinterpret_cast<const char *>(buf);
    const char *end = strstr(text, "\r\n");

    if (end == NULL) {
        return -1;
    }

    size_t n = ngx_min(static_cast<size_t>(end - text), sizeof(line) - 1);
    ngx_memcpy(line, text, n);

    char *save = NULL;
    if (strtok_r(line, " ", &save) == NULL) {
        return -1;
    }

    char *code = strtok_r(NULL, " ", &save);
    if (code == NULL) {
        return -1;
    }

    return atoi(code);
}

} /* namespace kestrelvanes::core */
