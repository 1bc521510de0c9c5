/*
 * Access-log module: the statistics document each worker reports to the
 * collector, and the request that carries it, which the exporter writes
 * and sends on a monitoring thread.
 */
#include "kv_protocol.h"
#include "nginx_ext_access_log_module.h"

namespace {

/* the statistics request's lines naming the sensor, as formats */
constexpr auto host_format = kv_protocol::sensor_host + ": %V\r\n";
constexpr auto instance_format = kv_protocol::sensor_instance + ": %V\r\n";

using access_counter = ngx_atomic_t ngx_ext_access_log_stats_t::*;
using auth_counter = ngx_atomic_t ngx_ext_auth_stats_t::*;

template <typename Counter>
struct stats_key {
    const char *key;
    Counter counter;
};

/* clang-format off */
#define ACCESS_KEY(name) {#name, &ngx_ext_access_log_stats_t::name}
#define AUTH_KEY(name) {#name, &ngx_ext_auth_stats_t::name}
/* clang-format on */

/* Document order; collectors read these keys. */
constexpr stats_key<access_counter> access_keys[] = {
    ACCESS_KEY(msg_sent),
    ACCESS_KEY(msg_send_failed),
    ACCESS_KEY(msg_retry),
    ACCESS_KEY(transport_init_failed),
    ACCESS_KEY(transport_zero_byte_send),
    ACCESS_KEY(socket_zero_byte_rst),
    ACCESS_KEY(packet_too_big),
    ACCESS_KEY(pool_create_failed),
    ACCESS_KEY(pool_alloc_failed),
    ACCESS_KEY(no_buffer_space_left),
    ACCESS_KEY(body_in_temp_file),
    ACCESS_KEY(task_alloc_failed),
    ACCESS_KEY(task_post_failed),
    ACCESS_KEY(task_callback),
    ACCESS_KEY(task_callback_bad_data),
    ACCESS_KEY(tasks_enqueued),
    ACCESS_KEY(logs_sent),
    ACCESS_KEY(logs_send_fail),
    ACCESS_KEY(authz_logs_send_fail),
    ACCESS_KEY(req_id_failed),
    {"forwarded_for_failed",
     &ngx_ext_access_log_stats_t::get_forwarded_for_failed},
    {"forwarded_proto_failed",
     &ngx_ext_access_log_stats_t::get_forwarded_proto_failed},
    ACCESS_KEY(stats_send_fail),
    ACCESS_KEY(hdr_filter_hit),
    ACCESS_KEY(hdr_filter_fail),
    ACCESS_KEY(ctx_lookup_fail),
    ACCESS_KEY(alloc_fail),
    ACCESS_KEY(body_filter_hit),
    ACCESS_KEY(hdr_only),
    ACCESS_KEY(next_pass_fail),
    ACCESS_KEY(task_srv_nil),
    ACCESS_KEY(socket_create_fail),
    ACCESS_KEY(host_res_fail),
    ACCESS_KEY(socket_timeout_cfg_fail),
    ACCESS_KEY(socket_keepalive_cfg_fail),
    ACCESS_KEY(socket_connect_fail),
    ACCESS_KEY(socket_connected),
    ACCESS_KEY(socket_send_failed),
    ACCESS_KEY(socket_close_failed),
    ACCESS_KEY(socket_reads),
    ACCESS_KEY(socket_read_fail),
    ACCESS_KEY(task_completed),
    ACCESS_KEY(logging_disabled),
    ACCESS_KEY(log_dropped_thread),
    ACCESS_KEY(payload_logging_disabled),
    ACCESS_KEY(log_skipped_in_backoff),
    ACCESS_KEY(file_payload_too_big),
    ACCESS_KEY(file_open_fail),
    ACCESS_KEY(file_size_read_fail),
    ACCESS_KEY(log_skipped_in_sampling),
    ACCESS_KEY(invalid_sampling_rate_config),
    ACCESS_KEY(backoff_duration_msg_invalid),
    ACCESS_KEY(backoff_duration_changed),
    ACCESS_KEY(log_level_msg_invalid),
    ACCESS_KEY(log_level_changed),
    ACCESS_KEY(sampling_rate_msg_invalid),
    ACCESS_KEY(sampling_rate_changed),
    ACCESS_KEY(uri_bypass_pattern_matched),
    ACCESS_KEY(header_bypass_pattern_matched),
    ACCESS_KEY(uri_bypass_policy_updated),
    ACCESS_KEY(header_bypass_policy_updated),
    ACCESS_KEY(policy_regex_compile_failed),
    ACCESS_KEY(url_policy_parse_errors),
    ACCESS_KEY(header_policy_parse_errors),
    ACCESS_KEY(policy_version_extract_errors),
    ACCESS_KEY(policy_pool_create_failed),
    ACCESS_KEY(policy_json_extract_failed),
    ACCESS_KEY(log_dropped_queue_full),
    ACCESS_KEY(policy_match_limit_hit),
    ACCESS_KEY(logs_cut),
    ACCESS_KEY(logs_unsent),
};

/* Counted but not reported; reset with the others. */
constexpr access_counter access_unreported[] = {
    &ngx_ext_access_log_stats_t::cfg_sync_send_fail,
    &ngx_ext_access_log_stats_t::http_resp_incomplete,
    &ngx_ext_access_log_stats_t::http_resp_status_error,
    &ngx_ext_access_log_stats_t::http_resp_no_header,
    &ngx_ext_access_log_stats_t::http_resp_no_status,
    &ngx_ext_access_log_stats_t::http_resp_status_large,
    &ngx_ext_access_log_stats_t::json_data_append_failed,
};

constexpr stats_key<auth_counter> auth_keys[] = {
    {"reqs", &ngx_ext_auth_stats_t::req},
    AUTH_KEY(sr_sent),
    AUTH_KEY(sr_send_fail),
    AUTH_KEY(sr_success),
    AUTH_KEY(sr_fail),
    AUTH_KEY(failure_overridden),
    AUTH_KEY(alloc_fail),
    AUTH_KEY(read_body_error),
    AUTH_KEY(req_has_body),
    AUTH_KEY(sr_zero),
    AUTH_KEY(sr_ref_of),
    AUTH_KEY(sr_in_mem),
    AUTH_KEY(sr_alloc_fail),
    AUTH_KEY(list_init_fail),
    AUTH_KEY(list_copy_fail),
    AUTH_KEY(req_id_fail),
    AUTH_KEY(req_uri_fail),
    AUTH_KEY(req_method_fail),
    AUTH_KEY(req_host_fail),
    AUTH_KEY(req_client_addr_fail),
    AUTH_KEY(req_forwarded_for_fail),
    AUTH_KEY(req_forwarded_proto_fail),
    AUTH_KEY(sr_callback),
    AUTH_KEY(logging_disabled),
    AUTH_KEY(log_skipped_in_backoff),
    AUTH_KEY(fail_open_passed),
};

constexpr auth_counter auth_unreported[] = {
    &ngx_ext_auth_stats_t::req_unauthorized,
    &ngx_ext_auth_stats_t::req_ok,
    &ngx_ext_auth_stats_t::req_declined_ok,
    &ngx_ext_auth_stats_t::req_again,
    &ngx_ext_auth_stats_t::req_error,
    &ngx_ext_auth_stats_t::req_forbidden,
    &ngx_ext_auth_stats_t::req_special,
};

static_assert(sizeof(access_keys) / sizeof(access_keys[0])
                      + sizeof(access_unreported) / sizeof(access_unreported[0])
                  == sizeof(ngx_ext_access_log_stats_t) / sizeof(ngx_atomic_t),
              "every access counter is reported or listed as unreported");
static_assert(sizeof(auth_keys) / sizeof(auth_keys[0])
                      + sizeof(auth_unreported) / sizeof(auth_unreported[0])
                  == sizeof(ngx_ext_auth_stats_t) / sizeof(ngx_atomic_t),
              "every auth counter is reported or listed as unreported");

constexpr size_t access_counters =
    sizeof(ngx_ext_access_log_stats_t) / sizeof(ngx_atomic_t);
constexpr size_t auth_counters =
    sizeof(ngx_ext_auth_stats_t) / sizeof(ngx_atomic_t);

/*
 * What the last document took from the counters, in key order and then
 * the unreported ones.  A document that never left gives it back, so the
 * next one reports it: a statistics collector that is down costs no
 * counts.  Documents are built one at a time (the monitoring exchanges
 * take turns), so one copy serves.
 */
ngx_atomic_uint_t taken_access[access_counters];
ngx_atomic_uint_t taken_auth[auth_counters];

/*
 * Writes `"key":value,` for each counter that is not zero, taking and
 * resetting each in one step so no increment is lost.  `p` stands after
 * the space that follows an opening brace: the first entry takes that
 * space's place, and with no entry the space stays for the closing brace
 * to replace, as the last entry's comma would be.
 */
template <typename Record, typename Counter, size_t N, size_t M>
u_char *
write_counters(u_char *p, u_char *last, Record &record,
               const stats_key<Counter> (&keys)[N],
               const Counter (&unreported)[M],
               ngx_atomic_uint_t (&taken)[N + M]) noexcept
{
    u_char *start = p;
    size_t i = 0;

    p--;

    for (const stats_key<Counter> &k : keys) {
        ngx_atomic_uint_t value = kestrelvanes::take(record.*k.counter);

        taken[i++] = value;

        if (value != 0) {
            p = ngx_slprintf(p, last, "\"%s\":%d,", k.key, (int) value);
        }
    }

    for (Counter c : unreported) {
        taken[i++] = kestrelvanes::take(record.*c);
    }

    return p == start - 1 ? start : p;
}

template <typename Record, typename Counter, size_t N, size_t M>
void
give_back(Record &record, const stats_key<Counter> (&keys)[N],
          const Counter (&unreported)[M],
          ngx_atomic_uint_t (&taken)[N + M]) noexcept
{
    size_t i = 0;

    for (const stats_key<Counter> &k : keys) {
        if (taken[i] != 0) {
            kestrelvanes::count(record.*k.counter, taken[i]);
        }
        taken[i++] = 0;
    }

    for (Counter c : unreported) {
        if (taken[i] != 0) {
            kestrelvanes::count(record.*c, taken[i]);
        }
        taken[i++] = 0;
    }
}

template <typename Record, typename Counter, size_t N>
bool
any_counted(Record &record, const stats_key<Counter> (&keys)[N]) noexcept
{
    for (const stats_key<Counter> &k : keys) {
        if (__atomic_load_n(&(record.*k.counter), __ATOMIC_RELAXED) != 0) {
            return true;
        }
    }

    return false;
}

} /* namespace */

extern "C" {

u_char stats_body[NGX_EXT_STATS_BODY_SIZE];

int
ngx_ext_build_stats_document(u_char *buf, size_t size) noexcept
{
    u_char *last = buf + size;
    u_char *p = ngx_slprintf(
        buf, last, "{\"worker\":{\"pid\":%d },\"access\":{ ", (int) getpid());

    p = write_counters(p, last, log_stats, access_keys, access_unreported,
                       taken_access);

    /* over the last comma, or over the space of an empty object */
    p = ngx_slprintf(p - 1, last, "},\"auth\":{ ");

    p = write_counters(p, last, auth_stats, auth_keys, auth_unreported,
                       taken_auth);

    p = ngx_slprintf(p - 1, last, "}}");

    return static_cast<int>(p - buf);
}

bool
ngx_ext_stats_have_counts(void) noexcept
{
    return any_counted(log_stats, access_keys)
           || any_counted(auth_stats, auth_keys);
}

size_t
ngx_ext_build_stats_request(u_char *buf, size_t size, const u_char *document,
                            size_t document_len) noexcept
{
    u_char api[NGX_EXT_STATS_API_SIZE];
    ngx_str_t *path = (remote_stats_api.len && remote_stats_api.data)
                          ? &remote_stats_api
                          : &default_remote_stats_api;

    /* a path too long for the buffer is cut, never overrun */
    size_t api_len = ngx_min(path->len, sizeof(api) - 1);
    ngx_memcpy(api, path->data, api_len);
    api[api_len] = '\0';

    u_char *last = buf + size;
    u_char *p = ngx_slprintf(buf, last,
                             "POST %s HTTP/1.1\r\n"
                             "Host: %s\r\n"
                             "Content-Type: application/json\r\n"
                             "Content-Length: %d\r\n",
                             api, NGX_EXT_COLLECTOR_HOST, (int) document_len);

    if (ngx_cycle->hostname.len) {
        p = ngx_slprintf(p, last, host_format.s, &ngx_cycle->hostname);
    }

    if (ext_instance_name.len) {
        p = ngx_slprintf(p, last, instance_format.s, &ext_instance_name);
    }

    p = ngx_slprintf(p, last, "\r\n");

    size_t room = last - p;
    p = ngx_cpymem(p, document, ngx_min(document_len, room));

    return p - buf;
}

void
ngx_ext_give_back_stats_document(void) noexcept
{
    give_back(log_stats, access_keys, access_unreported, taken_access);
    give_back(auth_stats, auth_keys, auth_unreported, taken_auth);
}

} /* extern "C" */

namespace {

/*
 * The statistics request the exporter sends: the document, which takes
 * the counts, and the request around it.
 */
size_t
write_stats_request(u_char *buf, size_t size) noexcept
{
    int document_len =
        ngx_ext_build_stats_document(stats_body, sizeof(stats_body));

    return ngx_ext_build_stats_request(buf, size, stats_body, document_len);
}

} /* namespace */

extern "C" {

const ngx_ext_exporter_stats_t ngx_ext_stats_writer = {
    write_stats_request,
    ngx_ext_give_back_stats_document,
};

} /* extern "C" */
