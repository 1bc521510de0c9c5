/*
 * Collector control channel: logging-mode words and the gates every other
 * unit asks what a mode lets through.
 */
#ifndef NGINX_EXT_CFG_SYNC_H
#define NGINX_EXT_CFG_SYNC_H

#include "nginx_ext_common.h"

#include <string_view>

namespace kestrelvanes {

/*
 * The value of header `name` in a reply's head (buf holds the reply, head
 * and body): matched in any case, at the start of one of the head's
 * lines, with the blanks around the value left out.  False when the head
 * is not whole or has no such header.  The value points into buf.
 */
bool reply_header(const u_char *buf, size_t len, std::string_view name,
                  ngx_str_t *value) noexcept;

/*
 * Where a heartbeat reply read on this thread leaves its body (the bypass
 * policies): copied into pool and pointed at by *policies, while a scope
 * is open around the exchange.  The transport's reply callback has no
 * room for it.  The scope and the exchange are in the same object.
 */
struct policy_handoff {
    ngx_pool_t *pool;
    ngx_str_t *policies;
};

class policy_handoff_scope {
  public:
    explicit policy_handoff_scope(policy_handoff *handoff) noexcept;
    ~policy_handoff_scope();

    policy_handoff_scope(const policy_handoff_scope &) = delete;
    policy_handoff_scope &operator=(const policy_handoff_scope &) = delete;
};

} /* namespace kestrelvanes */

namespace kestrelvanes::core {

LogMode get_log_mode(const char *str) noexcept;
const char *get_log_mode_str(LogMode mode) noexcept;
LogMode get_log_mode_direct(void) noexcept;
int get_log_mode_from_auth(ngx_http_request_t *r,
                           LogMode *out_log_mode) noexcept;

int should_log(LogMode mode) noexcept;
int should_log_header(LogMode mode) noexcept;
int should_log_payload(LogMode mode) noexcept;
int should_log_thread(void) noexcept;

/*
 * The collector's commands in a heartbeat reply (the exchange itself is
 * the exporter's, ngx_send_cfg_sync_request).  parse_cfg_sync_response
 * runs on the monitoring thread and applies the reply's logging level,
 * backoff and sampling rate at once, and leaves a reply with a body where
 * the open policy_handoff_scope says; its bypass policies are applied by
 * ngx_ext_apply_heartbeat_policies, which the heartbeat task's completion
 * calls on the event loop, where patterns may be compiled safely.
 */
void ngx_ext_apply_heartbeat_policies(ngx_str_t *policies) noexcept;
size_t ngx_ext_build_cfg_sync_request(u_char *buf, size_t size) noexcept;
ssize_t parse_cfg_sync_response(u_char *buf, ssize_t len,
                                ngx_log_t *log) noexcept;
void update_logging_level(const u_char *buf, ssize_t len,
                          ngx_log_t *log) noexcept;
void update_backoff_duration(const u_char *buf, ssize_t len,
                             ngx_log_t *log) noexcept;
void update_sampling_rate(const u_char *buf, ssize_t len,
                          ngx_log_t *log) noexcept;
size_t get_content_length(const unsigned char *buf, size_t len) noexcept;
int get_http_status_code(const unsigned char *buf) noexcept;

} /* namespace kestrelvanes::core */

#endif /* NGINX_EXT_CFG_SYNC_H */
