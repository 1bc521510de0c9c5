/*
 * Access-log module: its directives and their records.  The per-location
 * record (capture sizes, collector, switch) is merged here; the settings
 * of the whole process go into the globals that
 * nginx_ext_access_log_module.cpp resets and commits with each
 * configuration.
 *
 * Runs in the master while a configuration is read.
 */
#include "kv_protocol.h"
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"
#include "exporter.h"
#include "nginx_ext_policy.h"

#include <cstdlib>

static char *ngx_conf_set_size(ngx_conf_t *cf, ngx_command_t *cmd,
                               void *conf) noexcept;
static char *ngx_access_log_set_auth_log_api(ngx_conf_t *cf, ngx_command_t *cmd,
                                             void *conf) noexcept;
static char *ngx_access_log_set_stats_server(ngx_conf_t *cf, ngx_command_t *cmd,
                                             void *conf) noexcept;
static char *ngx_access_log_set_auth_log_server(ngx_conf_t *cf,
                                                ngx_command_t *cmd,
                                                void *conf) noexcept;
static char *ngx_access_log_set_stats_api(ngx_conf_t *cf, ngx_command_t *cmd,
                                          void *conf) noexcept;
static char *ngx_access_log_set_api(ngx_conf_t *cf, ngx_command_t *cmd,
                                    void *conf) noexcept;
static char *ngx_access_log_set_max_conns(ngx_conf_t *cf, ngx_command_t *cmd,
                                          void *conf) noexcept;
static char *ngx_access_log_set_instance(ngx_conf_t *cf, ngx_command_t *cmd,
                                         void *conf) noexcept;
static char *ngx_access_log_set_logging_mode(ngx_conf_t *cf, ngx_command_t *cmd,
                                             void *conf) noexcept;
static char *ngx_access_log_set_backoff_duration(ngx_conf_t *cf,
                                                 ngx_command_t *cmd,
                                                 void *conf) noexcept;
static char *ngx_access_log_set_force_read_payload_file(ngx_conf_t *cf,
                                                        ngx_command_t *cmd,
                                                        void *conf) noexcept;
static char *ngx_access_log_set_sampling_rate(ngx_conf_t *cf,
                                              ngx_command_t *cmd,
                                              void *conf) noexcept;
static char *ngx_access_log_set_thread_priority(ngx_conf_t *cf,
                                                ngx_command_t *cmd,
                                                void *conf) noexcept;
static char *ngx_access_log_set_queue_memory(ngx_conf_t *cf, ngx_command_t *cmd,
                                             void *conf) noexcept;
static char *ngx_access_log_set_batch_delay(ngx_conf_t *cf, ngx_command_t *cmd,
                                            void *conf) noexcept;
static char *ngx_access_log_set_enable(ngx_conf_t *cf, ngx_command_t *cmd,
                                       void *conf) noexcept;

/* clang-format off */
#define NGX_EXT_HSL (NGX_HTTP_MAIN_CONF | NGX_HTTP_SRV_CONF | NGX_HTTP_LOC_CONF)

/* Each setting answers to a short name and a long twin. */
#define NGX_EXT_TWIN_COMMAND(short_name, long_name, type, set, conf, offset)  \
    { ngx_string(short_name), type, set, conf, offset, NULL },                 \
    { ngx_string(long_name), type, set, conf, offset, NULL }

ngx_command_t ngx_http_response_body_commands[] = {

    NGX_EXT_TWIN_COMMAND("ext_access_log_body_size",
                         "kestrelvanes_http_access_body_size",
                         NGX_EXT_HSL | NGX_CONF_TAKE1, ngx_conf_set_size,
                         NGX_HTTP_LOC_CONF_OFFSET,
                         offsetof(ngx_http_response_body_loc_conf_t,
                                  body_buffer_size)),

    NGX_EXT_TWIN_COMMAND("ext_access_log_total_size",
                         "kestrelvanes_http_access_total_size",
                         NGX_EXT_HSL | NGX_CONF_TAKE1, ngx_conf_set_size,
                         NGX_HTTP_LOC_CONF_OFFSET,
                         offsetof(ngx_http_response_body_loc_conf_t,
                                  total_buffer_size)),

    NGX_EXT_TWIN_COMMAND("ext_access_log_redact_header",
                         "kestrelvanes_http_access_redact_header",
                         NGX_EXT_HSL | NGX_CONF_1MORE,
                         ngx_ext_set_redact_header,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_auth_log_api",
                         "kestrelvanes_http_access_auth_log_api",
                         NGX_EXT_HSL | NGX_CONF_TAKE1,
                         ngx_access_log_set_auth_log_api,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_stats_server",
                         "kestrelvanes_http_access_stats_server",
                         NGX_EXT_HSL | NGX_CONF_TAKE1,
                         ngx_access_log_set_stats_server,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_auth_log_server",
                         "kestrelvanes_http_access_auth_log_server",
                         NGX_EXT_HSL | NGX_CONF_TAKE1,
                         ngx_access_log_set_auth_log_server,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    { ngx_string("ext_access_log_api"),
      NGX_EXT_HSL | NGX_CONF_TAKE1,
      ngx_access_log_set_api,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_response_body_loc_conf_t, remote_api),
      NULL },

    NGX_EXT_TWIN_COMMAND("ext_stats_api",
                         "kestrelvanes_http_access_stats_api",
                         NGX_EXT_HSL | NGX_CONF_TAKE1,
                         ngx_access_log_set_stats_api,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_num_socket_conns",
                         "kestrelvanes_http_access_num_socket_conns",
                         NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
                         ngx_access_log_set_max_conns,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_stats_period",
                         "kestrelvanes_http_access_stats_period",
                         NGX_EXT_HSL | NGX_CONF_TAKE1, ngx_conf_set_msec_slot,
                         NGX_HTTP_MAIN_CONF_OFFSET,
                         offsetof(ngx_ext_access_log_stats_conf_t,
                                  stats_period)),

    NGX_EXT_TWIN_COMMAND("ext_heartbeat_period",
                         "kestrelvanes_http_access_heartbeat_period",
                         NGX_EXT_HSL | NGX_CONF_TAKE1, ngx_conf_set_msec_slot,
                         NGX_HTTP_MAIN_CONF_OFFSET,
                         offsetof(ngx_ext_access_log_stats_conf_t, hb_period)),

    NGX_EXT_TWIN_COMMAND("ext_instance", "kestrelvanes_http_access_instance",
                         NGX_EXT_HSL | NGX_CONF_TAKE1,
                         ngx_access_log_set_instance,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_initial_logging_mode",
                         "kestrelvanes_http_access_initial_logging_mode",
                         NGX_EXT_HSL | NGX_CONF_TAKE1,
                         ngx_access_log_set_logging_mode,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_initial_backoff_duration",
                         "kestrelvanes_http_access_initial_backoff_duration",
                         NGX_EXT_HSL | NGX_CONF_TAKE1,
                         ngx_access_log_set_backoff_duration,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_force_read_payload_file",
                         "kestrelvanes_http_access_force_read_payload_file",
                         NGX_EXT_HSL | NGX_CONF_TAKE1,
                         ngx_access_log_set_force_read_payload_file,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_sampling_rate",
                         "kestrelvanes_http_access_sampling_rate",
                         NGX_HTTP_MAIN_CONF | NGX_HTTP_SRV_CONF
                             | NGX_CONF_TAKE1,
                         ngx_access_log_set_sampling_rate,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_thread_priority",
                         "kestrelvanes_http_access_thread_priority",
                         NGX_EXT_HSL | NGX_CONF_TAKE1,
                         ngx_access_log_set_thread_priority,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_access_log_queue_memory",
                         "kestrelvanes_http_access_queue_memory",
                         NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
                         ngx_access_log_set_queue_memory,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_access_log_batch_delay",
                         "kestrelvanes_http_access_batch_delay",
                         NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
                         ngx_access_log_set_batch_delay,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_collector_ssl_verify",
                         "kestrelvanes_http_access_collector_ssl_verify",
                         NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
                         ngx_ext_set_collector_ssl_verify,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_collector_ssl_trusted_certificate",
                         "kestrelvanes_http_access_collector_ssl_trusted_"
                         "certificate",
                         NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
                         ngx_ext_set_collector_ssl_trusted,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_collector_ssl_name",
                         "kestrelvanes_http_access_collector_ssl_name",
                         NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
                         ngx_ext_set_collector_ssl_name,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_collector_ssl_certificate",
                         "kestrelvanes_http_access_collector_ssl_certificate",
                         NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
                         ngx_ext_set_collector_ssl_certificate,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    NGX_EXT_TWIN_COMMAND("ext_collector_ssl_certificate_key",
                         "kestrelvanes_http_access_collector_ssl_certificate_"
                         "key",
                         NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
                         ngx_ext_set_collector_ssl_certificate_key,
                         NGX_HTTP_LOC_CONF_OFFSET, 0),

    { ngx_string("kestrelvanes_http_access_enable"),
      NGX_EXT_HSL | NGX_CONF_FLAG,
      ngx_access_log_set_enable,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_response_body_loc_conf_t,
               kestrelvanes_http_access_enable),
      NULL },

      ngx_null_command
};

/* clang-format on */

namespace {

constexpr ngx_uint_t max_socket_conns = 50;
constexpr ngx_uint_t max_thread_priority = 19;
constexpr ngx_int_t default_backoff_duration = 5000;
constexpr ngx_int_t max_backoff_duration = 15000;
constexpr ngx_int_t max_sampling_rate = 100;
constexpr size_t logging_mode_buffer_size = 40;

constexpr size_t default_body_buffer_size = 28672;
constexpr size_t default_total_buffer_size = 65536;
constexpr ngx_msec_t default_stats_period = 60000;
constexpr ngx_msec_t default_hb_period = 30000;
constexpr ngx_msec_t max_batch_delay = 60000;

} /* namespace */

namespace kestrelvanes {

/* The record of ext_stats_server, which heartbeats and statistics go to. */
ngx_ext_collector_t *stats_server_collector;

/*
 * Some level of the configuration being read switches capture on: only
 * then do requests pass through the sensor's phase handlers, so a
 * configuration that loads the module without using it pays nothing per
 * request.
 */
bool capture_configured;

} /* namespace kestrelvanes */

namespace {

ngx_str_t *
first_arg(ngx_conf_t *cf) noexcept
{
    return &static_cast<ngx_str_t *>(cf->args->elts)[1];
}

/*
 * An on/off switch of the whole process, read by nginx's own flag parser so
 * that it takes the words, in any case, and refuses everything else with
 * the message operators know from nginx's flags.  A later occurrence
 * replaces an earlier one, as for every process-wide setting.
 */
char *
set_process_flag(ngx_conf_t *cf, ngx_command_t *cmd, ngx_flag_t *flag) noexcept
{
    ngx_command_t one = *cmd;

    one.offset = 0;
    one.post = NULL;
    *flag = NGX_CONF_UNSET;

    return ngx_conf_set_flag_slot(cf, &one, flag);
}

} /* namespace */

/* configuration: directive handlers */

static char *
ngx_conf_set_size(ngx_conf_t *cf, ngx_command_t *cmd, void *conf) noexcept
{
    auto *field =
        reinterpret_cast<size_t *>(static_cast<char *>(conf) + cmd->offset);
    size_t previous = *field;

    /* a repeated size directive is not a duplicate: the larger value wins */
    *field = NGX_CONF_UNSET_SIZE;

    char *rv = ngx_conf_set_size_slot(cf, cmd, conf);
    if (rv != NGX_CONF_OK) {
        *field = previous;
        return rv;
    }

    if (previous != NGX_CONF_UNSET_SIZE && previous > *field) {
        *field = previous;
    }

    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_auth_log_api(ngx_conf_t *cf, ngx_command_t *cmd,
                                void *conf) noexcept
{
    remote_auth_log_api = *first_arg(cf);
    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_stats_server(ngx_conf_t *cf, ngx_command_t *cmd,
                                void *conf) noexcept
{
    ngx_ext_collector_t *c =
        ngx_ext_collector_add(cf, first_arg(cf), &cmd->name);
    if (c == NULL) {
        return NGX_CONF_ERROR;
    }

    remote_logging_stat_server = *first_arg(cf);
    kestrelvanes::stats_server_collector = c;
    return NGX_CONF_OK;
}

/* An empty path would make a request line no collector can read. */
static bool
refuse_empty(ngx_conf_t *cf, ngx_command_t *cmd) noexcept
{
    if (first_arg(cf)->len != 0) {
        return false;
    }

    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "\"%V\" must not be empty",
                       &cmd->name);
    return true;
}

static char *
ngx_access_log_set_stats_api(ngx_conf_t *cf, ngx_command_t *cmd,
                             void *conf) noexcept
{
    if (refuse_empty(cf, cmd)) {
        return NGX_CONF_ERROR;
    }

    remote_stats_api = *first_arg(cf);
    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_api(ngx_conf_t *cf, ngx_command_t *cmd, void *conf) noexcept
{
    if (refuse_empty(cf, cmd)) {
        return NGX_CONF_ERROR;
    }

    return ngx_conf_set_str_slot(cf, cmd, conf);
}

static char *
ngx_access_log_set_instance(ngx_conf_t *cf, ngx_command_t *cmd,
                            void *conf) noexcept
{
    ext_instance_name = *first_arg(cf);
    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_auth_log_server(ngx_conf_t *cf, ngx_command_t *cmd,
                                   void *conf) noexcept
{
    auto *blcf = static_cast<ngx_http_response_body_loc_conf_t *>(conf);

    if (blcf->remote_auth_log_server.data != NULL) {
        return const_cast<char *>("is duplicate");
    }

    blcf->collector = ngx_ext_collector_add(cf, first_arg(cf), &cmd->name);
    if (blcf->collector == NULL) {
        return NGX_CONF_ERROR;
    }

    blcf->remote_auth_log_server = *first_arg(cf);
    ngx_calc_exclude_headers_hash();

    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_max_conns(ngx_conf_t *cf, ngx_command_t *cmd,
                             void *conf) noexcept
{
    ngx_str_t *value = first_arg(cf);
    ngx_int_t n = ngx_atoi(value->data, value->len);

    if (n == NGX_ERROR) {
        return const_cast<char *>("invalid value");
    }

    /* the peer arrays need a slot and pick one by dividing by this number */
    if (n == 0) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "\"%V\" must be at least 1",
                           &cmd->name);
        return NGX_CONF_ERROR;
    }

    num_socket_conns = ngx_min(static_cast<ngx_uint_t>(n), max_socket_conns);

    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_thread_priority(ngx_conf_t *cf, ngx_command_t *cmd,
                                   void *conf) noexcept
{
    ngx_str_t *value = first_arg(cf);
    ngx_int_t n = ngx_atoi(value->data, value->len);

    if (n == NGX_ERROR) {
        return const_cast<char *>("invalid value");
    }

    thread_priority = ngx_min(static_cast<ngx_uint_t>(n), max_thread_priority);

    return NGX_CONF_OK;
}

/* Memory the queued log messages of one worker may hold. */
static char *
ngx_access_log_set_queue_memory(ngx_conf_t *cf, ngx_command_t *cmd,
                                void *conf) noexcept
{
    ssize_t size = ngx_parse_size(first_arg(cf));

    if (size == NGX_ERROR) {
        return const_cast<char *>("invalid value");
    }

    if (size == 0) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "\"%V\" must be above 0",
                           &cmd->name);
        return NGX_CONF_ERROR;
    }

    queue_memory_budget = static_cast<size_t>(size);

    return NGX_CONF_OK;
}

/*
 * How long a log message may wait for others to join its batch.  Past a
 * minute it would only hold messages back, so longer times are capped.
 */
static char *
ngx_access_log_set_batch_delay(ngx_conf_t *cf, ngx_command_t *cmd,
                               void *conf) noexcept
{
    ngx_int_t delay = ngx_parse_time(first_arg(cf), 0);

    if (delay == NGX_ERROR) {
        return const_cast<char *>("invalid value");
    }

    log_batch_delay = ngx_min(static_cast<ngx_msec_t>(delay), max_batch_delay);

    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_logging_mode(ngx_conf_t *cf, ngx_command_t *cmd,
                                void *conf) noexcept
{
    ngx_str_t *value = first_arg(cf);
    char word[logging_mode_buffer_size];

    /*
     * A word too long for the buffer cannot be one of the modes; it maps
     * like any other unknown word.
     */
    if (value->len >= logging_mode_buffer_size) {
        ngx_ext_sensor_log_mode.store(DefaultLogMode,
                                      std::memory_order_relaxed);
        return NGX_CONF_OK;
    }

    ngx_strlow(reinterpret_cast<u_char *>(word), value->data, value->len);
    word[value->len] = '\0';

    ngx_ext_sensor_log_mode.store(get_log_mode(word),
                                  std::memory_order_relaxed);

    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_backoff_duration(ngx_conf_t *cf, ngx_command_t *cmd,
                                    void *conf) noexcept
{
    ngx_str_t *value = first_arg(cf);

    ngx_backoff_duration.store(default_backoff_duration,
                               std::memory_order_relaxed);

    ngx_int_t n = ngx_atoi(value->data, value->len);
    if (n == NGX_ERROR) {
        return const_cast<char *>("invalid value");
    }

    if (n > 0) {
        ngx_backoff_duration.store(ngx_min(n, max_backoff_duration),
                                   std::memory_order_relaxed);
    }

    ngx_conf_log_error(
        NGX_LOG_INFO, cf, 0, "Initial backoff duration is: %d",
        (int) ngx_backoff_duration.load(std::memory_order_relaxed));

    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_force_read_payload_file(ngx_conf_t *cf, ngx_command_t *cmd,
                                           void *conf) noexcept
{
    ngx_flag_t flag = NGX_CONF_UNSET;

    char *rv = set_process_flag(cf, cmd, &flag);
    if (rv == NGX_CONF_OK) {
        force_read_payload_file = flag;
    }

    return rv;
}

static char *
ngx_access_log_set_sampling_rate(ngx_conf_t *cf, ngx_command_t *cmd,
                                 void *conf) noexcept
{
    ngx_str_t *value = first_arg(cf);

    ngx_ext_sampling_rate.store(0, std::memory_order_relaxed);

    ngx_int_t n = ngx_atoi(value->data, value->len);
    if (n == NGX_ERROR) {
        return const_cast<char *>("invalid value");
    }

    if (n >= 1 && n <= max_sampling_rate) {
        ngx_ext_sampling_rate.store(n, std::memory_order_relaxed);

    } else {
        ngx_conf_log_error(NGX_LOG_ERR, cf, 0,
                           "Invalid sampling rate configured: %d", (int) n);
        kestrelvanes::count(log_stats.invalid_sampling_rate_config);
    }

    ngx_conf_log_error(
        NGX_LOG_INFO, cf, 0, "Sampling rate is: %d",
        (int) ngx_ext_sampling_rate.load(std::memory_order_relaxed));

    return NGX_CONF_OK;
}

static char *
ngx_access_log_set_enable(ngx_conf_t *cf, ngx_command_t *cmd,
                          void *conf) noexcept
{
    char *rv = ngx_conf_set_flag_slot(cf, cmd, conf);
    auto *lcf = static_cast<ngx_http_response_body_loc_conf_t *>(conf);

    if (rv == NGX_CONF_OK && lcf->kestrelvanes_http_access_enable == 1) {
        kestrelvanes::capture_configured = true;
    }

    return rv;
}

/* configuration: records */

void *
ngx_http_timer_create_main_conf(ngx_conf_t *cf) noexcept
{
    auto *conf = static_cast<ngx_ext_access_log_stats_conf_t *>(
        ngx_pcalloc(cf->pool, sizeof(ngx_ext_access_log_stats_conf_t)));
    if (conf == NULL) {
        return NULL;
    }

    conf->event.data = conf;
    conf->event.handler = ngx_access_log_timer_handler;
    conf->event.log = cf->log;

    /*
     * Once the worker is exiting the tick sends nothing, so it need not
     * hold up a graceful quit or reload.
     */
    conf->event.cancelable = 1;
    conf->stats_period = NGX_CONF_UNSET_MSEC;
    conf->hb_period = NGX_CONF_UNSET_MSEC;

    return conf;
}

char *
ngx_http_timer_init_main_conf(ngx_conf_t *cf, void *conf) noexcept
{
    auto *mcf = static_cast<ngx_ext_access_log_stats_conf_t *>(conf);

    ngx_conf_init_msec_value(mcf->stats_period, default_stats_period);
    ngx_conf_init_msec_value(mcf->hb_period, default_hb_period);

    return NGX_CONF_OK;
}

void *
ngx_http_response_body_create_loc_conf(ngx_conf_t *cf) noexcept
{
    auto *conf = static_cast<ngx_http_response_body_loc_conf_t *>(
        ngx_pcalloc(cf->pool, sizeof(ngx_http_response_body_loc_conf_t)));
    if (conf == NULL) {
        return NULL;
    }

    conf->latency = NGX_CONF_UNSET_MSEC;
    conf->status_1xx = NGX_CONF_UNSET;
    conf->status_2xx = NGX_CONF_UNSET;
    conf->status_3xx = NGX_CONF_UNSET;
    conf->status_4xx = NGX_CONF_UNSET;
    conf->status_5xx = NGX_CONF_UNSET;
    conf->body_buffer_size = NGX_CONF_UNSET_SIZE;
    conf->total_buffer_size = NGX_CONF_UNSET_SIZE;
    conf->capture_body = NGX_CONF_UNSET;
    conf->remote_port = NGX_CONF_UNSET_SIZE;
    conf->kestrelvanes_http_access_enable = NGX_CONF_UNSET;
    conf->redact_headers = static_cast<ngx_array_t *>(NGX_CONF_UNSET_PTR);

    return conf;
}

char *
ngx_http_response_body_merge_loc_conf(ngx_conf_t *cf, void *parent,
                                      void *child) noexcept
{
    auto *prev = static_cast<ngx_http_response_body_loc_conf_t *>(parent);
    auto *conf = static_cast<ngx_http_response_body_loc_conf_t *>(child);

    ngx_conf_merge_msec_value(conf->latency, prev->latency, 0);
    ngx_conf_merge_size_value(conf->body_buffer_size, prev->body_buffer_size,
                              default_body_buffer_size);
    ngx_conf_merge_size_value(conf->total_buffer_size, prev->total_buffer_size,
                              default_total_buffer_size);

    ngx_conf_merge_value(conf->status_1xx, prev->status_1xx, 0);
    ngx_conf_merge_value(conf->status_2xx, prev->status_2xx, 0);
    ngx_conf_merge_value(conf->status_3xx, prev->status_3xx, 0);
    ngx_conf_merge_value(conf->status_4xx, prev->status_4xx, 0);
    ngx_conf_merge_value(conf->status_5xx, prev->status_5xx, 0);
    ngx_conf_merge_value(conf->capture_body, prev->capture_body, 0);
    ngx_conf_merge_value(conf->kestrelvanes_http_access_enable,
                         prev->kestrelvanes_http_access_enable, 0);
    ngx_conf_merge_ptr_value(conf->redact_headers, prev->redact_headers, NULL);

    if (conf->remote_api.data == NULL) {
        conf->remote_api = prev->remote_api;
    }

    if (conf->remote_auth_log_server.data == NULL) {
        conf->collector = prev->collector;
    }

    ngx_conf_merge_str_value(conf->remote_auth_log_server,
                             prev->remote_auth_log_server, "");

    return NGX_CONF_OK;
}
