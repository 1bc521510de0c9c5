/*
 * Access-log module: captures responses and ships one log message per
 * exchange to the collector; runs each worker's heartbeat and statistics
 * timer.
 */
#ifndef NGINX_EXT_ACCESS_LOG_MODULE_H
#define NGINX_EXT_ACCESS_LOG_MODULE_H

#include "exporter.h"
#include "nginx_ext_common.h"

#define NGX_EXT_EXCLUDE_HEADERS 12
#define NGX_EXT_HOSTNAME_SIZE 256
#define NGX_EXT_TIMER_TICK 5000

typedef struct {
    ngx_msec_t latency;
    ngx_flag_t status_1xx;
    ngx_flag_t status_2xx;
    ngx_flag_t status_3xx;
    ngx_flag_t status_4xx;
    ngx_flag_t status_5xx;
    size_t body_buffer_size;
    size_t total_buffer_size;
    ngx_flag_t capture_body;
    ngx_str_t capture_body_var;
    size_t remote_port;
    ngx_str_t remote_api;
    ngx_str_t remote_auth_log_server;
    ngx_ext_collector_t *collector; /* of remote_auth_log_server */
    ngx_flag_t kestrelvanes_http_access_enable;
    ngx_array_t *redact_headers; /* of ngx_str_t; NULL: nothing is masked */
} ngx_http_response_body_loc_conf_t;

typedef struct {
    ngx_event_t event;
    ngx_flag_t initialized;
    ngx_msec_t stats_period;
    ngx_msec_t hb_period;
    /* the http block's resolver, for the workers' lookups of collectors */
    ngx_resolver_t *resolver;
    ngx_msec_t resolver_timeout;
} ngx_ext_access_log_stats_conf_t;

typedef struct {
    ngx_http_response_body_loc_conf_t *blcf;
    ngx_buf_t buffer;
    LogMode log_mode;
    int resp_body_truncated;
    off_t resp_body_seen;     /* body bytes that went by, captured or not */
    off_t declared_len;       /* the handler's Content-Length, or -1 */
    ngx_str_t opc_endpoint;   /* where the message goes, found at the head */
    unsigned ended : 1;       /* the response's end went through the filters */
    unsigned post_action : 1; /* the location runs one once it is done */
    unsigned cut : 1;         /* the exchange did not end normally */
    unsigned logged : 1;      /* the message has been built */
    unsigned capturing : 1;   /* the log mode takes the body */
} ngx_http_response_body_ctx_t;

#define NGX_EXT_STATS_BODY_SIZE 24576
#define NGX_EXT_STATS_API_SIZE 100

extern "C" {

extern ngx_module_t ngx_kestrelvanes_http_access;

extern ngx_str_t remote_auth_log_api;
extern ngx_str_t remote_stats_api;
extern ngx_str_t default_remote_stats_api;
extern ngx_uint_t thread_priority;
extern size_t queue_memory_budget;
extern ngx_msec_t log_batch_delay;
extern const char *exclude_headers[NGX_EXT_EXCLUDE_HEADERS];
extern ngx_uint_t exclude_headers_hash[NGX_EXT_EXCLUDE_HEADERS];

extern ngx_thread_pool_t *access_log_thread_pool;
extern ngx_thread_pool_t *monitoring_thread_pool;
extern ngx_pool_t *cf_mem_pool;
extern char logging_hostname[NGX_EXT_HOSTNAME_SIZE];

/* directives and their records (access_log_directives.cpp) */
extern ngx_command_t ngx_http_response_body_commands[];
void *ngx_http_timer_create_main_conf(ngx_conf_t *cf) noexcept;
char *ngx_http_timer_init_main_conf(ngx_conf_t *cf, void *conf) noexcept;
void *ngx_http_response_body_create_loc_conf(ngx_conf_t *cf) noexcept;
char *ngx_http_response_body_merge_loc_conf(ngx_conf_t *cf, void *parent,
                                            void *child) noexcept;
/* the hashes of exclude_headers, sorted, for the header walks */
void ngx_calc_exclude_headers_hash(void) noexcept;

/* capture filters */
void ngx_ext_install_capture_filters(void) noexcept;
ngx_int_t ngx_access_log_filter_header(ngx_http_request_t *r) noexcept;
ngx_int_t ngx_access_log_response_body_filter(ngx_http_request_t *r,
                                              ngx_chain_t *in) noexcept;

/*
 * The end of an exchange: the log phase, where every captured exchange's
 * message is built and handed to the queue, and the phase handler that
 * keeps the path the client asked for before any rewrite.
 */
ngx_int_t ngx_ext_install_exchange_handlers(ngx_conf_t *cf) noexcept;
ngx_int_t ngx_access_log_log_phase(ngx_http_request_t *r) noexcept;
/*
 * Builds the exchange's one message and hands it to the queue; the log
 * phase calls it, and the filters where a post_action would clear the
 * capture before the log phase.
 */
void ngx_ext_finish_exchange(ngx_http_request_t *r,
                             ngx_http_response_body_ctx_t *ctx,
                             bool cut) noexcept;

/* The decoded path and the arguments the client sent, whatever redirects
 * followed. */
void ngx_ext_client_uri(ngx_http_request_t *r, ngx_str_t *path,
                        ngx_str_t *args) noexcept;

/* header redaction (redact_headers.cpp) */
char *ngx_ext_set_redact_header(ngx_conf_t *cf, ngx_command_t *cmd,
                                void *conf) noexcept;
extern const ngx_str_t ngx_ext_redact_mask;

/* log message builders */
ngx_int_t
ngx_ext_send_http_merged_log(ngx_http_request_t *r, ngx_str_t *opc_endpoint,
                             LogMode _log_mode,
                             ngx_http_response_body_loc_conf_t *conf) noexcept;
ngx_int_t ngx_ext_send_http_response_log(
    ngx_http_request_t *r, ngx_str_t *opc_endpoint, LogMode _log_mode,
    ngx_http_response_body_loc_conf_t *conf) noexcept;
ngx_uint_t ngx_access_log_inet_get_port(struct sockaddr *sa) noexcept;

/* heartbeat and statistics timer */
void ngx_access_log_timer_handler(ngx_event_t *ev) noexcept;
void ngx_ext_access_log_send_last_stats(
    ngx_log_t *log, ngx_ext_access_log_stats_conf_t *conf) noexcept;

/* statistics document */
extern u_char stats_body[NGX_EXT_STATS_BODY_SIZE];
int ngx_ext_build_stats_document(u_char *buf, size_t size) noexcept;
/* whether a document would report anything */
bool ngx_ext_stats_have_counts(void) noexcept;
/* the counts the last document took go back, for the next one to report */
void ngx_ext_give_back_stats_document(void) noexcept;
size_t ngx_ext_build_stats_request(u_char *buf, size_t size,
                                   const u_char *document,
                                   size_t document_len) noexcept;
/* how the exporter writes a statistics request and gives its counts back */
extern const ngx_ext_exporter_stats_t ngx_ext_stats_writer;

} /* extern "C" */

namespace kestrelvanes {

/* The record of ext_stats_server, which heartbeats and statistics go to. */
extern ngx_ext_collector_t *stats_server_collector;
/* some level of the configuration being read switches capture on */
extern bool capture_configured;

/* The per-second sampler of the header filter, at a given second. */
bool should_sample_at(time_t now) noexcept;

/*
 * Whether the location names this header in ext_access_log_redact_header
 * (in any case).  Without the directive it is one pointer test.
 */
inline bool
redacted(const ngx_array_t *redact, const ngx_str_t *name) noexcept
{
    if (redact == NULL) {
        return false;
    }

    auto *names = static_cast<const ngx_str_t *>(redact->elts);

    for (ngx_uint_t i = 0; i < redact->nelts; i++) {
        if (names[i].len == name->len
            && ngx_strncasecmp(names[i].data, name->data, name->len) == 0) {
            return true;
        }
    }

    return false;
}

/* The value a log carries for a header: its own, or the mask. */
inline const ngx_str_t *
logged_value(const ngx_array_t *redact, const ngx_str_t *name,
             const ngx_str_t *value) noexcept
{
    return redacted(redact, name) ? &ngx_ext_redact_mask : value;
}

/* The same for a header whose name is a fixed text. */
template <size_t N>
inline const ngx_str_t *
logged_value(const ngx_array_t *redact, const char (&name)[N],
             const ngx_str_t *value) noexcept
{
    ngx_str_t key = {N - 1, (u_char *) name};

    return logged_value(redact, &key, value);
}

} /* namespace kestrelvanes */

#endif /* NGINX_EXT_ACCESS_LOG_MODULE_H */
