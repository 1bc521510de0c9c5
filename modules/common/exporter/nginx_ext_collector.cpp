/*
 * Collector records: reading a collector URL when the configuration is
 * read (nginx -t refuses what no collector can be), the list of a
 * configuration's collectors, their addresses, and the workers'
 * background lookups of the named ones.
 *
 * Records are made on the configuration's thread; the background lookups
 * and address changes run on each worker's event loop; sender threads
 * only read addresses (ngx_ext_collector_address).
 */
#include "nginx_ext_collector.h"

#include <new>

namespace kestrelvanes::core {

ngx_array_t *ngx_ext_collectors;

} /* namespace kestrelvanes::core */

namespace {

constexpr in_port_t http_port = 80;
constexpr in_port_t https_port = 443;
constexpr ngx_uint_t collectors_initial = 4;

/*
 * How often a worker asks again for each named collector.  nginx's
 * resolver answers from its cache until the answer's time to live (or the
 * resolver's valid=) has passed, so this costs a cache lookup, and
 * bounds how late a change is seen once the answer has expired.
 */
constexpr ngx_msec_t lookup_period = 1000;

struct lookups {
    ngx_event_t tick;
    ngx_array_t *collectors;
    ngx_resolver_t *resolver;
    ngx_msec_t timeout;
};

lookups watch;

bool
is_scheme_char(u_char ch) noexcept
{
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z')
           || (ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.';
}

/*
 * Splits "scheme://rest"; a text that does not start with a scheme is all
 * rest (plain TCP).  False for a scheme other than http and https.
 */
bool
split_scheme(const ngx_str_t *url, bool *tls, ngx_str_t *rest) noexcept
{
    size_t i = 0;

    *tls = false;
    *rest = *url;

    while (i < url->len && is_scheme_char(url->data[i])) {
        i++;
    }

    if (i == 0 || url->len - i < 3 || url->data[i] != ':'
        || url->data[i + 1] != '/' || url->data[i + 2] != '/') {
        return true;
    }

    rest->data = url->data + i + 3;
    rest->len = url->len - i - 3;

    if (i == 4 && ngx_strncasecmp(url->data, (u_char *) "http", 4) == 0) {
        return true;
    }

    if (i == 5 && ngx_strncasecmp(url->data, (u_char *) "https", 5) == 0) {
        *tls = true;
        return true;
    }

    return false;
}

/* Host and port of the rest of a URL, never resolved; NULL or the fault. */
const char *
parse_host_port(ngx_pool_t *pool, ngx_str_t *rest, bool tls,
                ngx_url_t *u) noexcept
{
    ngx_memzero(u, sizeof(ngx_url_t));
    u->url = *rest;
    u->default_port = tls ? https_port : http_port;
    u->uri_part = 1;
    u->no_resolve = 1;

    if (rest->len >= 5
        && ngx_strncasecmp(rest->data, (u_char *) "unix:", 5) == 0) {
        return "a UNIX-domain socket is not a collector address";
    }

    if (ngx_parse_url(pool, u) != NGX_OK) {
        return u->err ? u->err : "is not a URL";
    }

    /* a trailing "/" is no path; anything else would be dropped silently */
    if (u->uri.len > 1 || (u->uri.len == 1 && u->uri.data[0] != '/')) {
        return "a path is not allowed, only scheme, host and port";
    }

    return NULL;
}

ngx_str_t
copy_text(ngx_pool_t *pool, const ngx_str_t *s) noexcept
{
    ngx_str_t copy = {0, NULL};
    auto *p = static_cast<u_char *>(ngx_pnalloc(pool, s->len + 1));

    if (p != NULL) {
        *ngx_cpymem(p, s->data, s->len) = '\0';
        copy.data = p;
        copy.len = s->len;
    }

    return copy;
}

ngx_ext_collector_t *
find_collector(bool tls, const ngx_str_t *host, in_port_t port) noexcept
{
    if (ngx_ext_collectors == NULL) {
        return NULL;
    }

    auto **all = static_cast<ngx_ext_collector_t **>(ngx_ext_collectors->elts);

    for (ngx_uint_t i = 0; i < ngx_ext_collectors->nelts; i++) {
        ngx_ext_collector_t *c = all[i];

        if (c->tls == tls && c->port == port && c->host.len == host->len
            && ngx_strncasecmp(c->host.data, host->data, host->len) == 0) {
            return c;
        }
    }

    return NULL;
}

ngx_ext_collector_t *
new_collector(ngx_conf_t *cf, ngx_str_t *url, ngx_url_t *u, bool tls) noexcept
{
    if (ngx_ext_collectors == NULL) {
        ngx_ext_collectors = ngx_array_create(cf->pool, collectors_initial,
                                              sizeof(ngx_ext_collector_t *));
        if (ngx_ext_collectors == NULL) {
            return NULL;
        }
    }

    auto **slot =
        static_cast<ngx_ext_collector_t **>(ngx_array_push(ngx_ext_collectors));
    auto *c = static_cast<ngx_ext_collector_t *>(
        ngx_pcalloc(cf->pool, sizeof(ngx_ext_collector_t)));

    if (slot == NULL || c == NULL) {
        return NULL;
    }

    new (&c->lock) std::mutex;
    new (&c->version) std::atomic<uint64_t>(0);

    c->url = copy_text(cf->pool, url);
    c->host = copy_text(cf->pool, &u->host);
    if (c->url.data == NULL || c->host.data == NULL) {
        return NULL;
    }

    c->port = u->port;
    c->tls = tls;
    c->named = u->naddrs == 0;
    c->index = ngx_ext_collectors->nelts - 1;
    *slot = c;

    return c;
}

/*
 * A name is looked up now, as nginx looks up the names of its upstreams;
 * unlike theirs, a failure does not stop nginx: the collector gets
 * nothing until a worker's lookup finds it.
 */
void
resolve_at_load(ngx_conf_t *cf, ngx_ext_collector_t *c, ngx_url_t *u) noexcept
{
    if (ngx_inet_resolve_host(cf->pool, u) != NGX_OK || u->naddrs == 0) {
        ngx_conf_log_error(NGX_LOG_WARN, cf, 0,
                           "collector host \"%V\" of \"%V\" not found: it "
                           "gets nothing until it can be resolved",
                           &c->host, &c->url);
        return;
    }

    ngx_ext_collector_set_address(c, u->addrs[0].sockaddr, u->addrs[0].socklen);
}

/* Keeps the address in use while the answer still holds it. */
void
take_answer(ngx_ext_collector_t *c, ngx_resolver_ctx_t *ctx) noexcept
{
    for (ngx_uint_t i = 0; i < ctx->naddrs; i++) {
        if (c->socklen != 0
            && ngx_cmp_sockaddr(ctx->addrs[i].sockaddr, ctx->addrs[i].socklen,
                                &c->sockaddr.sockaddr, c->socklen, 0)
                   == NGX_OK) {
            return;
        }
    }

    uint64_t before = c->version.load(std::memory_order_relaxed);

    ngx_ext_collector_set_address(c, ctx->addrs[0].sockaddr,
                                  ctx->addrs[0].socklen);

    if (c->version.load(std::memory_order_relaxed) != before) {
        u_char text[NGX_SOCKADDR_STRLEN];
        size_t n = ngx_sock_ntop(&c->sockaddr.sockaddr, c->socklen, text,
                                 sizeof(text), 1);

        ngx_log_error(NGX_LOG_NOTICE, ngx_cycle->log, 0,
                      "[KESTRELVANES] collector \"%V\" is now at %*s", &c->url,
                      n, text);
    }
}

void
lookup_done(ngx_resolver_ctx_t *ctx) noexcept
{
    auto *c = static_cast<ngx_ext_collector_t *>(ctx->data);

    c->resolving = false;

    if (ctx->state == NGX_OK && ctx->naddrs > 0) {
        c->lookup_failed = false;
        take_answer(c, ctx);

    } else {
        /* said once at warn while the failures last, then at info */
        ngx_uint_t level = c->lookup_failed ? NGX_LOG_INFO : NGX_LOG_WARN;

        ngx_log_error(level, ngx_cycle->log, 0,
                      "[KESTRELVANES] collector host \"%V\" could not be "
                      "resolved (%i: %s); %s",
                      &c->host, ctx->state, ngx_resolver_strerror(ctx->state),
                      c->socklen ? "its last address is kept"
                                 : "it has no address yet");
        c->lookup_failed = true;
    }

    ngx_resolve_name_done(ctx);
}

void
start_lookup(ngx_ext_collector_t *c) noexcept
{
    ngx_resolver_ctx_t *ctx = ngx_resolve_start(watch.resolver, NULL);

    if (ctx == NULL) {
        return; /* no memory: the next tick tries again */
    }

    if (ctx == NGX_NO_RESOLVER) {
        watch.resolver = NULL;
        return;
    }

    ctx->name = c->host;
    ctx->handler = lookup_done;
    ctx->data = c;
    ctx->timeout = watch.timeout;

    /* a lookup under way does not hold up a graceful exit */
    ctx->cancelable = 1;

    /* the handler may run before ngx_resolve_name returns (a cached name) */
    c->resolving = true;

    if (ngx_resolve_name(ctx) != NGX_OK) {
        c->resolving = false;
    }
}

void
lookup_tick(ngx_event_t *ev) noexcept
{
    if (kestrelvanes::worker_stopping() || watch.resolver == NULL) {
        return;
    }

    auto **all = static_cast<ngx_ext_collector_t **>(watch.collectors->elts);

    for (ngx_uint_t i = 0; i < watch.collectors->nelts && watch.resolver; i++) {
        if (all[i]->named && !all[i]->resolving) {
            start_lookup(all[i]);
        }
    }

    if (watch.resolver != NULL) {
        ngx_add_timer(ev, lookup_period);
    }
}

} /* namespace */

namespace kestrelvanes::core {

ngx_ext_collector_t *
ngx_ext_collector_add(ngx_conf_t *cf, ngx_str_t *url,
                      ngx_str_t *directive) noexcept
{
    bool tls;
    ngx_str_t rest;

    const char *fault = NULL;
    ngx_url_t u;

    if (!split_scheme(url, &tls, &rest)) {
        fault = "the scheme must be http:// or https://";

    } else {
        fault = parse_host_port(cf->pool, &rest, tls, &u);
    }

    if (fault != NULL) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "\"%V\" URL \"%V\": %s",
                           directive, url, fault);
        return NULL;
    }

    ngx_ext_collector_t *c = find_collector(tls, &u.host, u.port);
    if (c != NULL) {
        return c;
    }

    c = new_collector(cf, url, &u, tls);
    if (c == NULL) {
        return NULL;
    }

    if (c->named) {
        resolve_at_load(cf, c, &u);

    } else {
        ngx_ext_collector_set_address(c, u.addrs[0].sockaddr,
                                      u.addrs[0].socklen);
    }

    return c;
}

bool
ngx_ext_collector_address(ngx_ext_collector_t *c, ngx_sockaddr_t *sa,
                          socklen_t *socklen, uint64_t *version) noexcept
{
    std::lock_guard<std::mutex> guard(c->lock);

    if (c->socklen == 0) {
        return false;
    }

    ngx_memcpy(sa, &c->sockaddr, c->socklen);
    *socklen = c->socklen;
    *version = c->version.load(std::memory_order_relaxed);
    return true;
}

void
ngx_ext_collector_set_address(ngx_ext_collector_t *c, const struct sockaddr *sa,
                              socklen_t socklen) noexcept
{
    ngx_sockaddr_t copy;

    if (socklen > sizeof(copy)) {
        return;
    }

    ngx_memcpy(&copy, sa, socklen);
    ngx_inet_set_port(&copy.sockaddr, c->port);

    std::lock_guard<std::mutex> guard(c->lock);

    if (c->socklen == socklen
        && ngx_cmp_sockaddr(&c->sockaddr.sockaddr, c->socklen, &copy.sockaddr,
                            socklen, 1)
               == NGX_OK) {
        return;
    }

    ngx_memcpy(&c->sockaddr, &copy, socklen);
    c->socklen = socklen;
    c->version.fetch_add(1, std::memory_order_release);
}

void
ngx_ext_collectors_watch(ngx_cycle_t *cycle, ngx_array_t *collectors,
                         ngx_resolver_t *resolver, ngx_msec_t timeout) noexcept
{
    if (collectors == NULL || resolver == NULL) {
        return;
    }

    auto **all = static_cast<ngx_ext_collector_t **>(collectors->elts);
    bool named = false;

    for (ngx_uint_t i = 0; i < collectors->nelts; i++) {
        named = named || all[i]->named;
    }

    if (!named) {
        return;
    }

    watch.collectors = collectors;
    watch.resolver = resolver;
    watch.timeout = timeout;

    watch.tick.handler = lookup_tick;
    watch.tick.log = cycle->log;
    /* timer debug lines read a connection's fd at data, as nginx's do */
    watch.tick.data = cycle;
    watch.tick.cancelable = 1;

    /* the first lookups go at the first pass of the event loop */
    ngx_add_timer(&watch.tick, 0);
}

} /* namespace kestrelvanes::core */
