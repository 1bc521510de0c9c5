/*
 * Access-log module: registration, configuration and lifecycle.
 */
#include "kv_protocol.h"
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_collector.h"
#include "nginx_ext_policy.h"

#include <cstdlib>

static ngx_int_t ngx_http_response_body_add_variables(ngx_conf_t *cf) noexcept;
static ngx_int_t ngx_http_response_body_init(ngx_conf_t *cf) noexcept;
static void *ngx_http_timer_create_main_conf(ngx_conf_t *cf) noexcept;
static char *ngx_http_timer_init_main_conf(ngx_conf_t *cf, void *conf) noexcept;
static void *ngx_http_response_body_create_loc_conf(ngx_conf_t *cf) noexcept;
static char *ngx_http_response_body_merge_loc_conf(ngx_conf_t *cf, void *parent,
                                                   void *child) noexcept;
static ngx_int_t ngx_http_response_body_commit(ngx_cycle_t *cycle) noexcept;
static ngx_int_t ngx_http_timer_init_worker(ngx_cycle_t *cycle) noexcept;
static void ngx_http_timer_exit_worker(ngx_cycle_t *cycle) noexcept;
static void ngx_http_response_body_exit(ngx_cycle_t *cycle) noexcept;

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

static ngx_command_t ngx_http_response_body_commands[] = {

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


static ngx_http_module_t ngx_http_response_body_module_ctx = {
    ngx_http_response_body_add_variables,   /* preconfiguration */
    ngx_http_response_body_init,            /* postconfiguration */

    ngx_http_timer_create_main_conf,        /* create main configuration */
    ngx_http_timer_init_main_conf,          /* init main configuration */

    NULL,                                   /* create server configuration */
    NULL,                                   /* merge server configuration */

    ngx_http_response_body_create_loc_conf, /* create location configuration */
    ngx_http_response_body_merge_loc_conf   /* merge location configuration */
};


extern "C" {

ngx_module_t ngx_kestrelvanes_http_access = {
    NGX_MODULE_V1,
    &ngx_http_response_body_module_ctx,     /* module context */
    ngx_http_response_body_commands,        /* module directives */
    NGX_HTTP_MODULE,                        /* module type */
    NULL,                                   /* init master */
    ngx_http_response_body_commit,          /* init module */
    ngx_http_timer_init_worker,             /* init process */
    NULL,                                   /* init thread */
    NULL,                                   /* exit thread */
    ngx_http_timer_exit_worker,             /* exit process */
    ngx_http_response_body_exit,            /* exit master */
    NGX_MODULE_V1_PADDING
};
/* clang-format on */

ngx_str_t remote_auth_log_api = ngx_string(kv_protocol::auth_log_path.s);
ngx_str_t remote_stats_api = ngx_null_string;
ngx_str_t default_remote_stats_api = ngx_string(kv_protocol::stats_path.s);
/*
 * Nice 10 leaves the worker about nine tenths of a busy core while the
 * sender may take up to about a tenth, more than batches need at any rate
 * a worker serves; at 19 the sender got too little once the core was
 * saturated, and logs were dropped.
 */
ngx_uint_t thread_priority = 10;
size_t queue_memory_budget = 32 * 1024 * 1024;
ngx_msec_t log_batch_delay = 5;

const char *exclude_headers[NGX_EXT_EXCLUDE_HEADERS] = {
    "Host",
    "Content-Length",
    "Connection",
    "Transfer-Encoding",
    kv_protocol::req_uri.s,
    kv_protocol::method.s,
    kv_protocol::req_host.s,
    kv_protocol::client_addr.s,
    kv_protocol::forwarded_for.s,
    kv_protocol::forwarded_proto.s,
    kv_protocol::request_id.s,
    kv_protocol::orig_length.s,
};

ngx_uint_t exclude_headers_hash[NGX_EXT_EXCLUDE_HEADERS];

ngx_thread_pool_t *access_log_thread_pool;
ngx_thread_pool_t *monitoring_thread_pool;
ngx_pool_t *cf_mem_pool;
char logging_hostname[NGX_EXT_HOSTNAME_SIZE];
ngx_http_builtin_headers_hash_t builtin_headers_hashes;

} /* extern "C" */

static ngx_str_t access_log_thread_pool_name =
    ngx_string("kestrelvanes_access_log_thread_pool");
static ngx_str_t monitoring_thread_pool_name =
    ngx_string("kestrelvanes_monitoring_thread_pool");

namespace {

constexpr ngx_uint_t max_socket_conns = 50;
constexpr ngx_uint_t max_thread_priority = 19;
constexpr ngx_uint_t default_thread_priority = 10;
constexpr ngx_int_t default_backoff_duration = 5000;
constexpr ngx_int_t max_backoff_duration = 15000;
constexpr ngx_int_t max_sampling_rate = 100;
constexpr size_t logging_mode_buffer_size = 40;

constexpr size_t default_body_buffer_size = 28672;
constexpr size_t default_total_buffer_size = 65536;
constexpr ngx_msec_t default_stats_period = 60000;
constexpr ngx_msec_t default_hb_period = 30000;
constexpr size_t default_queue_memory = 32 * 1024 * 1024;
constexpr ngx_msec_t default_batch_delay = 5;
constexpr ngx_msec_t max_batch_delay = 60000;
/* nginx's own default for resolver_timeout */
constexpr ngx_msec_t default_resolver_timeout = 30000;

/* The record of ext_stats_server, which heartbeats and statistics go to. */
ngx_ext_collector_t *stats_server_collector;

/*
 * The settings the directives write for the whole process.  Each
 * configuration starts from the defaults, so a reload that drops a
 * directive drops its value too (and never keeps a string that lived in
 * the previous configuration's memory).  A configuration that fails leaves
 * the globals half-written; workers start from the last one that loaded.
 */
struct process_settings {
    ngx_str_t stats_server;
    ngx_ext_collector_t *stats_collector;
    ngx_array_t *collectors;
    ngx_str_t auth_log_api;
    ngx_str_t stats_api;
    ngx_str_t instance;
    ngx_uint_t socket_conns;
    LogMode log_mode;
    ngx_msec_int_t backoff_duration;
    unsigned long read_payload_file;
    ngx_uint_t sampling_rate;
    ngx_uint_t priority;
    size_t queue_memory;
    ngx_msec_t batch_delay;
    ngx_uint_t exclude_hash[NGX_EXT_EXCLUDE_HEADERS];
    ngx_ext_collector_tls_t tls;

    static process_settings defaults() noexcept
    {
        process_settings d = {};
        ngx_str_set(&d.auth_log_api, kv_protocol::auth_log_path.s);
        d.socket_conns = 1;
        d.log_mode = DefaultLogMode;
        d.priority = default_thread_priority;
        d.queue_memory = default_queue_memory;
        d.batch_delay = default_batch_delay;
        return d;
    }

    static process_settings current() noexcept
    {
        process_settings c;
        c.stats_server = remote_logging_stat_server;
        c.stats_collector = stats_server_collector;
        c.collectors = ngx_ext_collectors;
        c.auth_log_api = remote_auth_log_api;
        c.stats_api = remote_stats_api;
        c.instance = ext_instance_name;
        c.socket_conns = num_socket_conns;
        c.log_mode = ngx_ext_sensor_log_mode.load(std::memory_order_relaxed);
        c.backoff_duration =
            ngx_backoff_duration.load(std::memory_order_relaxed);
        c.read_payload_file = force_read_payload_file;
        c.sampling_rate = ngx_ext_sampling_rate.load(std::memory_order_relaxed);
        c.priority = thread_priority;
        c.queue_memory = queue_memory_budget;
        c.batch_delay = log_batch_delay;
        ngx_memcpy(c.exclude_hash, exclude_headers_hash,
                   sizeof(exclude_headers_hash));
        c.tls = collector_tls;
        return c;
    }

    void apply() const noexcept
    {
        remote_logging_stat_server = stats_server;
        stats_server_collector = stats_collector;
        ngx_ext_collectors = collectors;
        remote_auth_log_api = auth_log_api;
        remote_stats_api = stats_api;
        ext_instance_name = instance;
        num_socket_conns = socket_conns;
        ngx_ext_sensor_log_mode.store(log_mode, std::memory_order_relaxed);
        ngx_backoff_duration.store(backoff_duration, std::memory_order_relaxed);
        force_read_payload_file = read_payload_file;
        ngx_ext_sampling_rate.store(sampling_rate, std::memory_order_relaxed);
        thread_priority = priority;
        queue_memory_budget = queue_memory;
        log_batch_delay = batch_delay;
        ngx_memcpy(exclude_headers_hash, exclude_hash,
                   sizeof(exclude_headers_hash));
        collector_tls = tls;
    }
};

process_settings committed_settings;
bool settings_committed;

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

int
compare_hash(const void *a, const void *b) noexcept
{
    ngx_uint_t x = *static_cast<const ngx_uint_t *>(a);
    ngx_uint_t y = *static_cast<const ngx_uint_t *>(b);

    return x > y ? 1 : (x == y ? 0 : -1);
}

ngx_uint_t
hash_name(const char *name) noexcept
{
    return ngx_http_hash_key(reinterpret_cast<const u_char *>(name),
                             ngx_strlen(name));
}

void
ngx_calc_exclude_headers_hash() noexcept
{
    for (ngx_uint_t i = 0; i < NGX_EXT_EXCLUDE_HEADERS; i++) {
        exclude_headers_hash[i] = hash_name(exclude_headers[i]);
    }

    qsort(exclude_headers_hash, NGX_EXT_EXCLUDE_HEADERS, sizeof(ngx_uint_t),
          compare_hash);
}

void
ngx_calculate_builtin_headers_hash() noexcept
{
    ngx_http_builtin_headers_hash_t &h = builtin_headers_hashes;

    h.content_type_hash = hash_name("Content-Type");
    h.content_length_hash = hash_name("Content-Length");
    h.date_hash = hash_name("Date");
    h.server_hash = hash_name("Server");
    h.content_encoding_hash = hash_name("Content-Encoding");
    h.location_hash = hash_name("Location");
    h.refresh_hash = hash_name("Refresh");
    h.last_modified_hash = hash_name("Last-Modified");
    h.www_authenticate_hash = hash_name("www-authenticate");
    h.expires_hash = hash_name("Expires");
    h.etag_hash = hash_name("Etag");
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
    stats_server_collector = c;
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

/*
 * Some level of the configuration being read switches capture on: only
 * then do requests pass through the sensor's phase handlers, so a
 * configuration that loads the module without using it pays nothing per
 * request.
 */
static bool capture_configured;

static char *
ngx_access_log_set_enable(ngx_conf_t *cf, ngx_command_t *cmd,
                          void *conf) noexcept
{
    char *rv = ngx_conf_set_flag_slot(cf, cmd, conf);
    auto *lcf = static_cast<ngx_http_response_body_loc_conf_t *>(conf);

    if (rv == NGX_CONF_OK && lcf->kestrelvanes_http_access_enable == 1) {
        capture_configured = true;
    }

    return rv;
}

/* configuration: records */

static ngx_int_t
ngx_http_response_body_add_variables(ngx_conf_t *cf) noexcept
{
    process_settings::defaults().apply();
    capture_configured = false;

    ngx_int_t index = ngx_http_get_variable_index(cf, &ngx_http_request_id);
    if (index == NGX_ERROR) {
        ngx_conf_log_error(NGX_LOG_ALERT, cf, 0,
                           "Couldnt get request id var index");
        return NGX_ERROR;
    }
    ngx_http_request_id_var_index = index;

    index = ngx_http_get_variable_index(cf, &ngx_http_x_forwarded_for);
    if (index == NGX_ERROR) {
        ngx_conf_log_error(NGX_LOG_ALERT, cf, 0,
                           "Couldn't get x_forwarded_for var index");
        return NGX_ERROR;
    }
    ngx_http_x_forwarded_for_var_index = index;

    index = ngx_http_get_variable_index(cf, &ngx_http_x_forwarded_proto);
    if (index == NGX_ERROR) {
        ngx_conf_log_error(NGX_LOG_ALERT, cf, 0,
                           "Couldn't get x_forwarded_proto var index");
        return NGX_ERROR;
    }
    ngx_http_x_forwarded_proto_var_index = index;

    return NGX_OK;
}

static void *
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

static char *
ngx_http_timer_init_main_conf(ngx_conf_t *cf, void *conf) noexcept
{
    auto *mcf = static_cast<ngx_ext_access_log_stats_conf_t *>(conf);

    ngx_conf_init_msec_value(mcf->stats_period, default_stats_period);
    ngx_conf_init_msec_value(mcf->hb_period, default_hb_period);

    return NGX_CONF_OK;
}

static void *
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

static char *
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

/* lifecycle */

static ngx_int_t
ngx_http_response_body_init(ngx_conf_t *cf) noexcept
{
    if (init_policy_mutex(cf) != NGX_OK) {
        ngx_conf_log_error(NGX_LOG_ERR, cf, 0,
                           "Failed to initialize policy mutex");
    }

    if (ngx_ext_check_collector_tls(cf) != NGX_OK) {
        return NGX_ERROR;
    }

    ngx_ext_install_capture_filters();

    if (capture_configured && ngx_ext_install_exchange_handlers(cf) != NGX_OK) {
        return NGX_ERROR;
    }

    access_log_thread_pool =
        ngx_thread_pool_add(cf, &access_log_thread_pool_name);
    monitoring_thread_pool =
        ngx_thread_pool_add(cf, &monitoring_thread_pool_name);

    ngx_ext_peer_construct(&t_peer_stats);
    t_peer_stats.server.name.data = (u_char *) "default-server";
    t_peer_stats.server.name.len = sizeof("default-server") - 1;
    t_peer_stats.conn.fd = -1;
    cf_mem_pool = cf->pool;

    if (gethostname(logging_hostname, NGX_EXT_HOSTNAME_SIZE) == -1) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                           "gethostname() failed");
        logging_hostname[0] = '\0';
    }
    logging_hostname[NGX_EXT_HOSTNAME_SIZE - 1] = '\0';

    ngx_calculate_builtin_headers_hash();

    /* peers outlive this configuration: they come from a process pool */
    if (ngx_ext_peer_pool(cf->log) == NULL) {
        return NGX_ERROR;
    }

    /* the workers look named collectors up with the http block's resolver */
    auto *clcf = static_cast<ngx_http_core_loc_conf_t *>(
        ngx_http_conf_get_module_loc_conf(cf, ngx_http_core_module));
    auto *mcf = static_cast<ngx_ext_access_log_stats_conf_t *>(
        ngx_http_conf_get_module_main_conf(cf, ngx_kestrelvanes_http_access));

    mcf->resolver = clcf->resolver;
    mcf->resolver_timeout = clcf->resolver_timeout == NGX_CONF_UNSET_MSEC
                                ? default_resolver_timeout
                                : clcf->resolver_timeout;

    return NGX_OK;
}

static ngx_ext_access_log_stats_conf_t *
ngx_http_timer_main_conf(ngx_cycle_t *cycle) noexcept
{
    if (ngx_process != NGX_PROCESS_WORKER) {
        return NULL;
    }

    return static_cast<ngx_ext_access_log_stats_conf_t *>(
        ngx_http_cycle_get_module_main_conf(cycle,
                                            ngx_kestrelvanes_http_access));
}

/*
 * Postconfiguration points the pool globals into the configuration being
 * read.  When that configuration then fails (a listen that cannot bind),
 * its memory is freed while the old one keeps running; the pointers are
 * therefore taken again from the cycle that loaded, and by every worker
 * from the cycle it is forked for.
 */
static void
ngx_http_response_body_bind_pools(ngx_cycle_t *cycle) noexcept
{
    access_log_thread_pool =
        ngx_thread_pool_get(cycle, &access_log_thread_pool_name);
    monitoring_thread_pool =
        ngx_thread_pool_get(cycle, &monitoring_thread_pool_name);
    cf_mem_pool = cycle->pool;
}

/* Runs once a configuration has loaded in full. */
static ngx_int_t
ngx_http_response_body_commit(ngx_cycle_t *cycle) noexcept
{
    committed_settings = process_settings::current();
    settings_committed = true;
    ngx_http_response_body_bind_pools(cycle);

    return NGX_OK;
}

static ngx_int_t
ngx_http_timer_init_worker(ngx_cycle_t *cycle) noexcept
{
    if (settings_committed) {
        committed_settings.apply();
    }

    ngx_http_response_body_bind_pools(cycle);

    ngx_ext_exporter_conf_t exporter = {thread_priority, queue_memory_budget,
                                        log_batch_delay};
    ngx_ext_exporter_configure(&exporter);

    ngx_ext_access_log_stats_conf_t *mcf = ngx_http_timer_main_conf(cycle);

    /* heartbeats and statistics connect through ext_stats_server's record */
    t_peer_stats.collector = stats_server_collector;

    if (mcf != NULL) {
        ngx_ext_collectors_watch(cycle, ngx_ext_collectors, mcf->resolver,
                                 mcf->resolver_timeout);

        /* the configuration's log may be a previous cycle's, long closed */
        mcf->event.log = cycle->log;
        ngx_add_timer(&mcf->event, NGX_EXT_TIMER_TICK);

        /* without it the worker still runs; its exit drops what it holds */
        (void) ngx_ext_access_log_watch_exit(cycle);
    }

    return NGX_OK;
}

/*
 * nginx has run the thread pools out before it calls this: every send of
 * the worker is over, and its counts are in.
 */
static void
ngx_http_timer_exit_worker(ngx_cycle_t *cycle) noexcept
{
    ngx_ext_access_log_stats_conf_t *mcf = ngx_http_timer_main_conf(cycle);

    if (mcf == NULL) {
        return;
    }

    if (mcf->event.timer_set) {
        ngx_del_timer(&mcf->event);
    }

    ngx_ext_access_log_exit_worker();
    ngx_ext_access_log_queue_exit();
    ngx_ext_access_log_send_last_stats(cycle->log, mcf);

    /*
     * A fast stop waits for nothing, and a collector that took too long
     * to read the flush would not read to the end now.
     */
    if (ngx_exiting && !ngx_terminate
        && !ngx_transport_senders_stop.load(std::memory_order_relaxed)) {
        ngx_ext_close_peers(cycle->log);
    }
}

static void
ngx_http_response_body_exit(ngx_cycle_t *cycle) noexcept
{
    policy_pool_destroy(cycle);
    cleanup_policy_mutex(cycle);
}

/* request path */

extern "C" int
ngx_is_module_enabled(ngx_http_request_t *r, ngx_str_t *opc_endpoint) noexcept
{
    auto *blcf = static_cast<ngx_http_response_body_loc_conf_t *>(
        ngx_http_get_module_loc_conf(r, ngx_kestrelvanes_http_access));

    if (!blcf->kestrelvanes_http_access_enable) {
        ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                      "Kestrelvanes ngx_is_module_enabled: access module is "
                      "disabled");
        return 0;
    }

    if (blcf->remote_auth_log_server.len > 0) {
        *opc_endpoint = blcf->remote_auth_log_server;
        return 1;
    }

    if (ngx_get_opc_lb_endpoint(r, opc_endpoint) == NGX_OK) {
        return 1;
    }

    ngx_log_error(NGX_LOG_DEBUG, r->connection->log, 0,
                  "Couldnt find opc endpoint");
    return 0;
}
