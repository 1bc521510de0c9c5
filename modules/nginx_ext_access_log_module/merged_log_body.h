/*
 * Access-log module: the bodies of a merged log.  How much of each body
 * the message carries (sized from its buffers or its temporary file, cut
 * to the capture size and to the room left in the buffer), and their
 * base64 text in the document.
 *
 * A build's record of its bodies (struct bodies) is merged_log.cpp's; the
 * request body read from its temporary file is allocated here from the
 * request's pool and freed by that file once the message is built.  Runs
 * on the event loop, as the response's log phase does.
 */
#ifndef NGINX_EXT_MERGED_LOG_BODY_H
#define NGINX_EXT_MERGED_LOG_BODY_H

#include "json_writer.h"
#include "nginx_ext_access_log_module.h"

namespace kestrelvanes::merged_log {

/* What one build needs to know about the bodies. */
struct bodies {
    size_t request_len;
    size_t response_len;
    bool truncate_request;
    bool truncate_response;
    bool read_payload_file;
    u_char *file_body; /* read from the temporary file, once */
    size_t file_have;
    bool file_failed;
};

/* The request body's length, cut to limit; from its file when it has one. */
void size_request_body(ngx_http_request_t *r, size_t limit, bodies &b) noexcept;

/* Leaves out what the buffer cannot hold, the larger body first. */
void check_space(ngx_http_request_t *r, ngx_http_response_body_loc_conf_t *conf,
                 bodies &b) noexcept;

/* A "body64" member of len bytes, or an overflow when it does not fit. */
void write_body64(json::writer &w, const u_char *data, size_t len,
                  const char *too_large, ngx_log_t *log) noexcept;

/* The request body's "body64" member from its buffers in memory. */
void write_request_body_from_buffers(json::writer &w, ngx_http_request_t *r,
                                     size_t request_len,
                                     ngx_log_t *log) noexcept;

/* The request body's "body64" member from its temporary file. */
void write_request_body_from_file(json::writer &w, ngx_http_request_t *r,
                                  bodies &b, ngx_log_t *log) noexcept;

} /* namespace kestrelvanes::merged_log */

#endif /* NGINX_EXT_MERGED_LOG_BODY_H */
