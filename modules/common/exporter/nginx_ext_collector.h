/*
 * Collectors as a configuration names them (ext_auth_log_server,
 * ext_stats_server): one record per scheme, host and port of a
 * configuration, made when the configuration is read and kept in its pool.
 * Every location that names the same collector shares its record, so its
 * connections and queues; a message carries a pointer to the record of the
 * collector its location named, and leaves only by that collector's
 * connections.
 *
 * A collector given by name is resolved when the configuration is read,
 * as nginx resolves its own upstream names, and again by each worker in
 * the background with nginx's resolver, when the http block configures
 * one; a lookup that fails or times out keeps the last good address.
 * Sender threads never resolve: they connect to the record's address.
 *
 * The record's address is written by the event loop and read by sender
 * threads, under its lock; everything else in it is fixed once the
 * configuration has loaded.
 */
#ifndef NGINX_EXT_COLLECTOR_H
#define NGINX_EXT_COLLECTOR_H

#include "nginx_ext_common.h"

struct ngx_ext_collector_s {
    ngx_str_t url;  /* as first written in the configuration, NUL-ended */
    ngx_str_t host; /* as written ("[::1]" keeps its brackets), NUL-ended */
    in_port_t port;
    unsigned tls : 1;   /* https:// */
    unsigned named : 1; /* the host is a name, not an address */

    /*
     * Worker state of the background lookups, the event loop's alone:
     * plain members, not bits beside those sender threads read, which
     * would share their memory location.
     */
    bool resolving;
    bool lookup_failed;

    ngx_uint_t index; /* its place in its configuration's list */

    std::mutex lock; /* guards the address */
    ngx_sockaddr_t sockaddr;
    socklen_t socklen; /* 0 while no address is known */

    /* raised at every change of the address; peers compare theirs */
    std::atomic<uint64_t> version;
};

namespace kestrelvanes::core {

/*
 * The collectors of the configuration being read, or of the one a worker
 * runs (an array of ngx_ext_collector_t *); NULL when it names none.
 */
extern ngx_array_t *ngx_ext_collectors;

/*
 * The record of the collector a directive names, made on its first
 * mention.  A URL is "http://host:port", "https://host:port" (the scheme
 * in any case) or "host:port" (plain TCP); the port defaults to the
 * scheme's; a path other than "/" is refused.  NULL after an emerg
 * message naming the directive.  A host name is resolved here: when that
 * fails, a warning says so and the collector has no address until a
 * worker's lookup finds one.
 */
ngx_ext_collector_t *ngx_ext_collector_add(ngx_conf_t *cf, ngx_str_t *url,
                                           ngx_str_t *directive) noexcept;

/*
 * Copies the collector's address and its version; false while it has
 * none.  Any thread.
 */
bool ngx_ext_collector_address(ngx_ext_collector_t *c, ngx_sockaddr_t *sa,
                               socklen_t *socklen, uint64_t *version) noexcept;

/*
 * A new address for the collector (its port is the collector's); an
 * address it already has changes nothing.  The event loop.
 */
void ngx_ext_collector_set_address(ngx_ext_collector_t *c,
                                   const struct sockaddr *sa,
                                   socklen_t socklen) noexcept;

/*
 * At worker start: looks the named collectors up again every second,
 * through nginx's resolver (whose cache keeps the answers for their time
 * to live), each lookup bounded by the resolver's timeout.  Without a
 * resolver that has name servers, the addresses found at load stay.
 */
void ngx_ext_collectors_watch(ngx_cycle_t *cycle, ngx_array_t *collectors,
                              ngx_resolver_t *resolver,
                              ngx_msec_t timeout) noexcept;

} /* namespace kestrelvanes::core */

#endif /* NGINX_EXT_COLLECTOR_H */
