/*
 * Exporter: the heartbeat exchange with the statistics collector.  Runs
 * on a monitoring thread (monitoring_send.cpp posts it): the request the
 * core writes goes out over the statistics peer, and the core's reply
 * parser applies the collector's commands and leaves the bypass policies
 * in the task's pool for the event loop.  Built into the authorization
 * module's object with the core, as the rest of the connection half.
 */
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_peers.h"

namespace kestrelvanes::core {

ssize_t
ngx_send_cfg_sync_request(ngx_log_t *log, ngx_pool_t *mem_pool,
                          ngx_str_t *policies) noexcept
{
    size_t len = ngx_ext_build_cfg_sync_request(cfg_sync_buffer,
                                                sizeof(cfg_sync_buffer));

    ngx_str_null(policies);

    kestrelvanes::policy_handoff handoff = {mem_pool, policies};
    kestrelvanes::policy_handoff_scope scope(&handoff);

    return ngx_transport_send_rcv_synch(
        &t_peer_stats, cfg_sync_buffer, static_cast<int>(len), log,
        &remote_logging_stat_server, mem_pool, parse_cfg_sync_response);
}

} /* namespace kestrelvanes::core */
