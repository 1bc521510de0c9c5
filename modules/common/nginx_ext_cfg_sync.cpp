/*
 * Collector control channel: logging-mode words and gates.
 */
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_auth_module.h"

#include <cstring>
#include <string_view>

namespace {

/* Indexed by LogMode value. */
constexpr std::string_view log_mode_words[] = {
    "default",
    "metadata",
    "minimum",
    "nologging",
};

constexpr ngx_uint_t log_mode_count =
    sizeof(log_mode_words) / sizeof(log_mode_words[0]);

} /* namespace */

extern "C" {

LogMode get_log_mode(const char *str) noexcept
{
    std::string_view word(str);

    for (ngx_uint_t i = 0; i < log_mode_count; i++) {
        if (word == log_mode_words[i]) {
            return static_cast<LogMode>(i);
        }
    }

    return DefaultLogMode;
}

const char *get_log_mode_str(LogMode mode) noexcept
{
    auto value = static_cast<uint32_t>(mode);

    if (value >= log_mode_count) {
        return "unknown";
    }

    /* the words are literals, so their data is NUL-terminated */
    return log_mode_words[value].data();
}

LogMode get_log_mode_direct(void) noexcept
{
    return ngx_ext_sensor_log_mode.load(std::memory_order_relaxed);
}

int get_log_mode_from_auth(ngx_http_request_t *r, LogMode *out_log_mode) noexcept
{
    auto *ctx = static_cast<ngx_http_auth_request_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_auth));

    if (ctx == NULL) {
        *out_log_mode = DefaultLogMode;
        return -1;
    }

    *out_log_mode = ctx->log_mode;
    return 1;
}

int should_log(LogMode mode) noexcept
{
    return mode == NoLogMode ? -1 : 1;
}

/* Unsigned comparisons: a value outside 0..3 is refused by both gates. */
int should_log_header(LogMode mode) noexcept
{
    return static_cast<uint32_t>(mode) < MinimumLogMode ? 1 : -1;
}

int should_log_payload(LogMode mode) noexcept
{
    return static_cast<uint32_t>(mode) == DefaultLogMode ? 1 : -1;
}

int should_log_thread(void) noexcept
{
    return should_log(get_log_mode_direct());
}

} /* extern "C" */
