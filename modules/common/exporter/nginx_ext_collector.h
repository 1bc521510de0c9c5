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
 * configuration has loaded.  What a module asks of collectors (naming
 * one, watching the names) is in exporter.h.
 */
#ifndef NGINX_EXT_COLLECTOR_H
#define NGINX_EXT_COLLECTOR_H

#include "exporter.h"

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

} /* namespace kestrelvanes::core */

#endif /* NGINX_EXT_COLLECTOR_H */
