/*
 * The sensor's counter records: the access-log record, which the common
 * sensor code raises too, and the authorization record.  One instance of
 * each per worker process, defined by the sensor core (in the
 * authorization module's shared object); raised with an atomic add from
 * any thread, read and reset by the statistics sender, whose message
 * names each counter by its field.
 */
#ifndef NGINX_EXT_COUNTERS_H
#define NGINX_EXT_COUNTERS_H

extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
}

/* The order of the fields is part of the record's layout: keep it. */
#define NGX_EXT_ACCESS_LOG_COUNTERS(X)                                         \
    X(msg_sent)                                                                \
    X(msg_send_failed)                                                         \
    X(msg_retry)                                                               \
    X(transport_init_failed)                                                   \
    X(transport_zero_byte_send)                                                \
    X(socket_zero_byte_rst)                                                    \
    X(packet_too_big)                                                          \
    X(pool_create_failed)                                                      \
    X(pool_alloc_failed)                                                       \
    X(no_buffer_space_left)                                                    \
    X(body_in_temp_file)                                                       \
    X(task_alloc_failed)                                                       \
    X(task_post_failed)                                                        \
    X(task_callback)                                                           \
    X(task_callback_bad_data)                                                  \
    X(tasks_enqueued)                                                          \
    X(logs_sent)                                                               \
    X(logs_send_fail)                                                          \
    X(authz_logs_send_fail)                                                    \
    X(stats_send_fail)                                                         \
    X(cfg_sync_send_fail)                                                      \
    X(req_id_failed)                                                           \
    X(get_forwarded_for_failed)                                                \
    X(get_forwarded_proto_failed)                                              \
    X(hdr_filter_hit)                                                          \
    X(hdr_filter_fail)                                                         \
    X(ctx_lookup_fail)                                                         \
    X(alloc_fail)                                                              \
    X(body_filter_hit)                                                         \
    X(hdr_only)                                                                \
    X(next_pass_fail)                                                          \
    X(task_srv_nil)                                                            \
    X(socket_create_fail)                                                      \
    X(host_res_fail)                                                           \
    X(socket_timeout_cfg_fail)                                                 \
    X(socket_keepalive_cfg_fail)                                               \
    X(socket_connect_fail)                                                     \
    X(socket_connected)                                                        \
    X(socket_send_failed)                                                      \
    X(socket_close_failed)                                                     \
    X(socket_reads)                                                            \
    X(socket_read_fail)                                                        \
    X(task_completed)                                                          \
    X(logging_disabled)                                                        \
    X(log_dropped_thread)                                                      \
    X(payload_logging_disabled)                                                \
    X(http_resp_incomplete)                                                    \
    X(http_resp_status_error)                                                  \
    X(http_resp_no_header)                                                     \
    X(http_resp_no_status)                                                     \
    X(http_resp_status_large)                                                  \
    X(log_level_msg_invalid)                                                   \
    X(log_level_changed)                                                       \
    X(json_data_append_failed)                                                 \
    X(log_skipped_in_backoff)                                                  \
    X(file_open_fail)                                                          \
    X(file_size_read_fail)                                                     \
    X(file_payload_too_big)                                                    \
    X(log_skipped_in_sampling)                                                 \
    X(uri_bypass_pattern_matched)                                              \
    X(header_bypass_pattern_matched)                                           \
    X(uri_bypass_policy_updated)                                               \
    X(header_bypass_policy_updated)                                            \
    X(policy_regex_compile_failed)                                             \
    X(url_policy_parse_errors)                                                 \
    X(header_policy_parse_errors)                                              \
    X(policy_version_extract_errors)                                           \
    X(policy_pool_create_failed)                                               \
    X(policy_json_extract_failed)                                              \
    X(invalid_sampling_rate_config)                                            \
    X(backoff_duration_msg_invalid)                                            \
    X(backoff_duration_changed)                                                \
    X(sampling_rate_msg_invalid)                                               \
    X(sampling_rate_changed)                                                   \
    X(log_dropped_queue_full)                                                  \
    X(policy_match_limit_hit)                                                  \
    X(logs_cut)                                                                \
    X(logs_unsent)

#define NGX_EXT_COUNTER_FIELD(name) ngx_atomic_t name;

typedef struct {
    NGX_EXT_ACCESS_LOG_COUNTERS(NGX_EXT_COUNTER_FIELD)
} ngx_ext_access_log_stats_t;

/* The authorization module's counters. */
#define NGX_EXT_AUTH_COUNTERS(X)                                               \
    X(req)                                                                     \
    X(req_unauthorized)                                                        \
    X(req_ok)                                                                  \
    X(req_declined_ok)                                                         \
    X(req_again)                                                               \
    X(req_error)                                                               \
    X(req_forbidden)                                                           \
    X(req_special)                                                             \
    X(sr_sent)                                                                 \
    X(sr_send_fail)                                                            \
    X(sr_success)                                                              \
    X(sr_fail)                                                                 \
    X(sr_callback)                                                             \
    X(failure_overridden)                                                      \
    X(alloc_fail)                                                              \
    X(read_body_error)                                                         \
    X(req_has_body)                                                            \
    X(sr_zero)                                                                 \
    X(sr_ref_of)                                                               \
    X(sr_in_mem)                                                               \
    X(sr_alloc_fail)                                                           \
    X(list_init_fail)                                                          \
    X(list_copy_fail)                                                          \
    X(req_id_fail)                                                             \
    X(req_uri_fail)                                                            \
    X(req_method_fail)                                                         \
    X(req_host_fail)                                                           \
    X(req_client_addr_fail)                                                    \
    X(req_forwarded_for_fail)                                                  \
    X(req_forwarded_proto_fail)                                                \
    X(logging_disabled)                                                        \
    X(log_skipped_in_backoff)                                                  \
    X(fail_open_passed)

typedef struct {
    NGX_EXT_AUTH_COUNTERS(NGX_EXT_COUNTER_FIELD)
} ngx_ext_auth_stats_t;

#endif /* NGINX_EXT_COUNTERS_H */
