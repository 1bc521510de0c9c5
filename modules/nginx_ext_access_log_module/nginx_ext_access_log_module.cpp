/*
 * Access-log module: its registration with nginx, the process-wide
 * settings and shared records, and the module's lifecycle (start of a
 * configuration, its commit, a worker's start and exit).  The directives
 * and per-location records are in access_log_directives.cpp.
 *
 * Runs in the master while a configuration is read and committed, and in
 * each worker as it starts and exits; nothing here is on a request's path.
 */
#include "kv_protocol.h"
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_policy.h"

#include <cstdlib>

static ngx_int_t ngx_http_response_body_add_variables(ngx_conf_t *cf) noexcept;
static ngx_int_t ngx_http_response_body_init(ngx_conf_t *cf) noexcept;
static ngx_int_t ngx_http_response_body_commit(ngx_cycle_t *cycle) noexcept;
static ngx_int_t ngx_http_timer_init_worker(ngx_cycle_t *cycle) noexcept;
static void ngx_http_timer_exit_worker(ngx_cycle_t *cycle) noexcept;
static void ngx_http_response_body_exit(ngx_cycle_t *cycle) noexcept;

/* clang-format off */
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

} /* extern "C" */

static ngx_str_t access_log_thread_pool_name =
    ngx_string("kestrelvanes_access_log_thread_pool");
static ngx_str_t monitoring_thread_pool_name =
    ngx_string("kestrelvanes_monitoring_thread_pool");

namespace {

constexpr ngx_uint_t default_thread_priority = 10;
constexpr size_t default_queue_memory = 32 * 1024 * 1024;
constexpr ngx_msec_t default_batch_delay = 5;
/* nginx's own default for resolver_timeout */
constexpr ngx_msec_t default_resolver_timeout = 30000;

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
        c.stats_collector = kestrelvanes::stats_server_collector;
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
        kestrelvanes::stats_server_collector = stats_collector;
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

} /* namespace */

void
ngx_calc_exclude_headers_hash() noexcept
{
    for (ngx_uint_t i = 0; i < NGX_EXT_EXCLUDE_HEADERS; i++) {
        exclude_headers_hash[i] = hash_name(exclude_headers[i]);
    }

    qsort(exclude_headers_hash, NGX_EXT_EXCLUDE_HEADERS, sizeof(ngx_uint_t),
          compare_hash);
}

/* lifecycle */

static ngx_int_t
ngx_http_response_body_add_variables(ngx_conf_t *cf) noexcept
{
    process_settings::defaults().apply();
    kestrelvanes::capture_configured = false;

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

    if (kestrelvanes::capture_configured
        && ngx_ext_install_exchange_handlers(cf) != NGX_OK) {
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
    t_peer_stats.collector = kestrelvanes::stats_server_collector;

    if (mcf != NULL) {
        ngx_ext_collectors_watch(cycle, ngx_ext_collectors, mcf->resolver,
                                 mcf->resolver_timeout);

        /* the configuration's log may be a previous cycle's, long closed */
        mcf->event.log = cycle->log;
        ngx_add_timer(&mcf->event, NGX_EXT_TIMER_TICK);

        /* without it the worker still runs; its exit drops what it holds */
        (void) ngx_ext_exporter_watch_exit(cycle);
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

    ngx_ext_exporter_exit_worker();
    ngx_ext_exporter_queue_exit();
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
