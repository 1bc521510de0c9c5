/*
 * Collector control channel: logging-mode words and the gates every other
 * unit asks what a mode lets through.
 */
#ifndef NGINX_EXT_CFG_SYNC_H
#define NGINX_EXT_CFG_SYNC_H

#include "nginx_ext_common.h"

extern "C" {

LogMode get_log_mode(const char *str) noexcept;
const char *get_log_mode_str(LogMode mode) noexcept;
LogMode get_log_mode_direct(void) noexcept;
int get_log_mode_from_auth(ngx_http_request_t *r,
                           LogMode *out_log_mode) noexcept;

int should_log(LogMode mode) noexcept;
int should_log_header(LogMode mode) noexcept;
int should_log_payload(LogMode mode) noexcept;
int should_log_thread(void) noexcept;

} /* extern "C" */

#endif /* NGINX_EXT_CFG_SYNC_H */
