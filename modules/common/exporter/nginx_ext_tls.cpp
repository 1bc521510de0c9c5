/*
 * TLS to the collector: the handshake (bounded by a deadline, with the
 * opt-in certificate checks), reads that never wait, the directives of
 * those checks and of the sensor's own certificate, and the client
 * context they make.
 *
 * The peer's socket stays blocking for the send path; TLS calls that may
 * read are made with the socket switched to non-blocking for their
 * duration, so a collector that trickles a record byte by byte cannot hold
 * them.
 */
#include "nginx_ext_transport.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

namespace kestrelvanes::core {

ngx_ext_collector_tls_t collector_tls;

} /* namespace kestrelvanes::core */

namespace {

std::atomic<bool> tls_init_done{false};

/* Room for a host name (255) or an IPv6 address text, and the NUL. */
constexpr size_t tls_name_size = 256;

/* Switches a blocking socket to non-blocking for one scope. */
class nonblocking_scope {
  public:
    explicit nonblocking_scope(ngx_socket_t fd) noexcept
        : fd_(fd), on_(ngx_nonblocking(fd) != -1)
    {
    }

    ~nonblocking_scope()
    {
        if (on_) {
            ngx_blocking(fd_);
        }
    }

    nonblocking_scope(const nonblocking_scope &) = delete;
    nonblocking_scope &operator=(const nonblocking_scope &) = delete;

  private:
    ngx_socket_t fd_;
    bool on_;
};

void
ring(const char *entry) noexcept
{
    update_log_buf(const_cast<char *>(entry));
}

void
ngx_load_tls_components() noexcept
{
    ring("load tls");

    if (tls_init_done.exchange(true)) {
        return;
    }

    OPENSSL_init_ssl(
        OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, NULL);
    OPENSSL_init_ssl(0, NULL);
    OPENSSL_init_crypto(
        OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, NULL);
}

/* Set when the collector asked for a certificate the sensor has not. */
thread_local bool certificate_requested;

int
note_certificate_request(SSL *ssl, X509 **x509, EVP_PKEY **pkey) noexcept
{
    certificate_requested = true;
    return 0; /* go on without one: the collector decides */
}

/*
 * The client context of a configuration.  A read that meets only a
 * non-application record (a session ticket) must come back instead of
 * waiting for more.
 */
SSL_CTX *
new_context() noexcept
{
    const SSL_METHOD *method = TLS_client_method();
    if (method == NULL) {
        return NULL;
    }

    SSL_CTX *ctx = SSL_CTX_new(method);
    if (ctx != NULL) {
        SSL_CTX_clear_mode(ctx, SSL_MODE_AUTO_RETRY);
        SSL_CTX_set_client_cert_cb(ctx, note_certificate_request);
    }

    return ctx;
}

/*
 * The context TLS connections are made from: the configuration's, which
 * carries the sensor's certificate, or else one the process makes at its
 * first TLS connection and keeps.  Made at load, it would cost every
 * configuration without TLS collectors its allocations, which leave the
 * worker's heap fragmented (a few hundred instructions more in malloc for
 * every request).  Any thread.
 */
SSL_CTX *
client_context() noexcept
{
    static std::mutex lock;
    static SSL_CTX *made;

    if (collector_tls.ctx != NULL) {
        return collector_tls.ctx;
    }

    std::lock_guard<std::mutex> guard(lock);

    if (made == NULL) {
        made = new_context();
        ERR_clear_error();
    }

    return made;
}

/*
 * Keys are read when the configuration is: a key that wants a pass phrase
 * fails to load instead of asking for one on a terminal.
 */
int
no_pass_phrase(char *buf, int size, int rwflag, void *userdata) noexcept
{
    return 0;
}

void
free_context(void *data) noexcept
{
    SSL_CTX_free(static_cast<SSL_CTX *>(data));
}

/* A conf-time error with OpenSSL's reason, if it gave one. */
void
log_tls_error(ngx_conf_t *cf, const char *what, ngx_str_t *file,
              const char *fallback) noexcept
{
    char text[256];
    unsigned long e = ERR_peek_last_error();

    ngx_cpystrn(reinterpret_cast<u_char *>(text), (u_char *) fallback,
                sizeof(text));
    if (e != 0) {
        ERR_error_string_n(e, text, sizeof(text));
    }

    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "cannot load %s \"%V\": %s", what,
                       file, text);
    ERR_clear_error();
}

/* The sensor's certificate (with its chain) and key, checked to match. */
bool
load_client_certificate(ngx_conf_t *cf, SSL_CTX *ctx) noexcept
{
    ngx_ext_collector_tls_t &t = collector_tls;

    SSL_CTX_set_default_passwd_cb(ctx, no_pass_phrase);

    if (SSL_CTX_use_certificate_chain_file(
            ctx, reinterpret_cast<char *>(t.certificate.data))
        != 1) {
        log_tls_error(cf, "collector client certificate", &t.certificate,
                      "no certificate found");
        return false;
    }

    if (SSL_CTX_use_PrivateKey_file(
            ctx, reinterpret_cast<char *>(t.certificate_key.data),
            SSL_FILETYPE_PEM)
        != 1) {
        log_tls_error(cf, "collector client certificate key",
                      &t.certificate_key, "no key found");
        return false;
    }

    if (SSL_CTX_check_private_key(ctx) != 1) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "collector client certificate \"%V\" and key "
                           "\"%V\" do not match",
                           &t.certificate, &t.certificate_key);
        ERR_clear_error();
        return false;
    }

    return true;
}

/* A file directive's argument with nginx's prefix, NUL-ended. */
char *
set_file(ngx_conf_t *cf, ngx_str_t *field) noexcept
{
    ngx_str_t file = static_cast<ngx_str_t *>(cf->args->elts)[1];

    if (file.len == 0) {
        return const_cast<char *>("has an empty file name");
    }

    if (ngx_conf_full_name(cf->cycle, &file, 1) != NGX_OK) {
        return NGX_CONF_ERROR;
    }

    *field = file;
    return NGX_CONF_OK;
}

bool
is_ip_address(const char *name) noexcept
{
    u_char addr[sizeof(struct in6_addr)];

    return inet_pton(AF_INET, name, addr) == 1
           || inet_pton(AF_INET6, name, addr) == 1;
}

/*
 * Asks the handshake to check the collector's certificate against the
 * configured trust store and name, and to send that name as SNI (TLS
 * carries no addresses there, so an IP address is checked but not sent).
 */
bool
require_verified_peer(SSL *ssl, const char *name) noexcept
{
    SSL_set_verify(ssl, SSL_VERIFY_PEER, NULL);

    if (SSL_set1_verify_cert_store(ssl, collector_tls.trusted) != 1) {
        return false;
    }

    if (is_ip_address(name)) {
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name) == 1;
    }

    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);

    return SSL_set1_host(ssl, name) == 1
           && SSL_set_tlsext_host_name(ssl, const_cast<char *>(name)) == 1;
}

/* The configured name, else the URL's host without IPv6 brackets. */
bool
name_to_check(const char *host, char *out, size_t size) noexcept
{
    const char *name = host;
    size_t len;

    if (collector_tls.name.len) {
        name = reinterpret_cast<const char *>(collector_tls.name.data);
        len = collector_tls.name.len;

    } else {
        len = ngx_strlen(host);
        if (len >= 2 && host[0] == '[' && host[len - 1] == ']') {
            name++;
            len -= 2;
        }
    }

    if (len == 0 || len >= size) {
        return false;
    }

    ngx_memcpy(out, name, len);
    out[len] = '\0';
    return true;
}

/*
 * In TLS 1.3 the client's handshake is over before the collector has
 * looked at the client's certificate: a collector that refuses it says so
 * with an alert after the handshake, and whatever was written meanwhile
 * is lost, though it went out whole.  So when a certificate was asked
 * for, the connection is taken only once the collector has sent its
 * first record (a session ticket, which OpenSSL and most servers send
 * right away), or the deadline has passed without one; false, with
 * OpenSSL's reason, when the collector refused instead.
 */
bool
admitted(ngx_transport_peer_t *peer, ngx_msec_t deadline, char *reason,
         size_t size) noexcept
{
    nonblocking_scope nonblocking(peer->conn.fd);

    for (;;) {
        if (SSL_SESSION_is_resumable(SSL_get0_session(peer->ssl))) {
            return true;
        }

        u_char byte;
        int n = SSL_peek(peer->ssl, &byte, 1);

        if (n > 0) {
            return true;
        }

        int err = SSL_get_error(peer->ssl, n);

        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();

            if (SSL_SESSION_is_resumable(SSL_get0_session(peer->ssl))) {
                return true;
            }

            if (!kestrelvanes::wait_ready(peer->conn.fd, POLLIN, deadline)) {
                /* no ticket came: a collector that sends none */
                return !kestrelvanes::worker_terminating();
            }
            continue;
        }

        unsigned long e = ERR_peek_last_error();

        ngx_cpystrn(reinterpret_cast<u_char *>(reason),
                    (u_char *) "the collector closed the connection", size);
        if (e != 0) {
            ERR_error_string_n(e, reason, size);
        }
        ERR_clear_error();
        return false;
    }
}

/* Drives SSL_connect on a non-blocking socket until done or the deadline. */
int
connect_until(SSL *ssl, ngx_socket_t fd, ngx_msec_t deadline,
              bool *timed_out) noexcept
{
    nonblocking_scope nonblocking(fd);

    for (;;) {
        int rc = SSL_connect(ssl);
        if (rc == 1) {
            return rc;
        }

        int err = SSL_get_error(ssl, rc);
        short events = err == SSL_ERROR_WANT_READ    ? POLLIN
                       : err == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                     : 0;
        if (events == 0) {
            return rc;
        }

        if (!kestrelvanes::wait_ready(fd, events, deadline)) {
            *timed_out = true;
            return rc;
        }
    }
}

void
log_handshake_failure(ngx_transport_peer_t *peer, ngx_log_t *log, int rc,
                      bool timed_out, const char *name) noexcept
{
    char text[256];

    ring("SSL connect failed");

    if (timed_out) {
        ring("handshake timed out");
        ngx_log_error(NGX_LOG_ERR, log, 0, "collector TLS handshake timed out");

    } else {
        ERR_error_string_n(SSL_get_error(peer->ssl, rc), text, sizeof(text));
        ring(text);
    }

    long result = SSL_get_verify_result(peer->ssl);

    if (collector_tls.verify && result != X509_V_OK) {
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "collector certificate not verified for \"%s\": %s", name,
                      X509_verify_cert_error_string(result));
    }

    ERR_clear_error();
}

/* Opens and closes a conf-time error with OpenSSL's reason, if any. */
void
log_store_error(ngx_conf_t *cf, ngx_str_t *file) noexcept
{
    char text[256] = "no certificates found";
    unsigned long e = ERR_peek_last_error();

    if (e != 0) {
        ERR_error_string_n(e, text, sizeof(text));
    }

    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                       "cannot load collector CA certificates from \"%V\": %s",
                       file, text);
    ERR_clear_error();
}

void
free_store(void *data) noexcept
{
    X509_STORE_free(static_cast<X509_STORE *>(data));
}

ngx_int_t
handshake(ngx_transport_peer_t *peer, ngx_log_t *log, const char *host,
          ngx_msec_t deadline) noexcept
{
    ring("stating tls load");
    ngx_load_tls_components();
    ring("ssl create connection");

    /* the same context for every peer, never owned by one */
    peer->ctx = client_context();
    if (peer->ctx == NULL) {
        ring("new context failed");
        return NGX_ERROR;
    }

    if (peer->ssl != NULL) {
        SSL_free(peer->ssl);
        peer->ssl = NULL;
    }

    peer->ssl = SSL_new(peer->ctx);
    if (peer->ssl == NULL) {
        ring("ssl new failed");
        return NGX_ERROR;
    }

    int rc = SSL_set_fd(peer->ssl, peer->conn.fd);
    if (rc != 1) {
        ring("ssl set fd failed");
        ring(strerror(rc));
        return NGX_ERROR;
    }

    char name[tls_name_size] = "";

    if (collector_tls.verify
        && (!name_to_check(host, name, sizeof(name))
            || !require_verified_peer(peer->ssl, name))) {
        ring("verification set-up failed");
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "collector certificate check cannot be set up for "
                      "\"%s\"",
                      host);
        ERR_clear_error();
        return NGX_ERROR;
    }

    bool timed_out = false;

    certificate_requested = false;
    rc = connect_until(peer->ssl, peer->conn.fd, deadline, &timed_out);
    if (rc != 1) {
        log_handshake_failure(peer, log, rc, timed_out, name);
        return NGX_ERROR;
    }

    char reason[256];

    if ((collector_tls.certificate.len != 0 || certificate_requested)
        && SSL_version(peer->ssl) == TLS1_3_VERSION
        && !admitted(peer, deadline, reason, sizeof(reason))) {
        ring("refused after the handshake");
        ngx_log_error(NGX_LOG_ERR, log, 0,
                      "collector refused the connection after the TLS "
                      "handshake (%s): %s",
                      collector_tls.certificate.len
                          ? "its check of the sensor's certificate"
                          : "it asked for a certificate and none is set",
                      reason);
        return NGX_ERROR;
    }

    ring("handshake passed");
    return NGX_OK;
}

} /* namespace */

namespace kestrelvanes {

ngx_int_t
tls_handshake(ngx_transport_peer_t *peer, ngx_log_t *log, const char *host,
              ngx_msec_t deadline) noexcept
{
    if (handshake(peer, log, host, deadline) != NGX_OK) {
        ring("handshake failed");
        return NGX_ERROR;
    }

    return NGX_OK;
}

/*
 * Reads what the collector has sent without waiting: > 0 bytes read,
 * 0 the collector closed, -1 with errno set (EAGAIN when nothing is there).
 * Records that carry no application data (session tickets) are read past
 * while more bytes are waiting: a reply queued behind them must not cost
 * the exchange a wait per record.
 */
ssize_t
tls_read_nowait(ngx_transport_peer_t *peer, u_char *buf, size_t size) noexcept
{
    constexpr int max_records = 8;
    nonblocking_scope nonblocking(peer->conn.fd);

    for (int i = 0; i < max_records; i++) {
        if (SSL_pending(peer->ssl) == 0) {
            struct pollfd pfd = {peer->conn.fd, POLLIN, 0};
            int ready = poll(&pfd, 1, 0);

            if (ready == 0) {
                errno = EAGAIN;
                return -1;
            }
            if (ready == -1) {
                return -1;
            }
        }

        int n = SSL_read(peer->ssl, buf, static_cast<int>(size));
        if (n > 0) {
            return n;
        }

        switch (SSL_get_error(peer->ssl, n)) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            ERR_clear_error();
            continue;
        default:
            ERR_clear_error();
            if (errno == 0 || errno == EAGAIN) {
                errno = ECONNRESET;
            }
            return -1;
        }
    }

    errno = EAGAIN;
    return -1;
}

/*
 * Bytes of an unfinished record wait in the TLS layer's buffer while its
 * header is incomplete; once the header is in, the layer reads the body
 * ("RB") with nothing left over.
 */
bool
tls_record_pending(ngx_transport_peer_t *peer) noexcept
{
    return SSL_has_pending(peer->ssl) == 1
           || ngx_strcmp(SSL_rstate_string(peer->ssl), "RB") == 0;
}

/*
 * A TLS collector closes with a close_notify alert before its FIN, and a
 * peek at the socket takes that record for data.  The TLS layer reads such
 * records (and session tickets) without taking application data; a few
 * tickets may come before the alert.
 */
bool
tls_peer_closed(ngx_transport_peer_t *peer) noexcept
{
    constexpr int max_records = 4;

    if (SSL_pending(peer->ssl) > 0) {
        return false;
    }

    nonblocking_scope nonblocking(peer->conn.fd);

    for (int i = 0; i < max_records; i++) {
        struct pollfd pfd = {peer->conn.fd, POLLIN, 0};

        if (poll(&pfd, 1, 0) <= 0) {
            return false;
        }

        u_char byte;
        int n = SSL_peek(peer->ssl, &byte, 1);

        if (n > 0) {
            return false;
        }

        int err = SSL_get_error(peer->ssl, n);
        ERR_clear_error();

        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            return true;
        }
    }

    return false;
}

} /* namespace kestrelvanes */

namespace kestrelvanes::core {

char *
ngx_ext_set_collector_ssl_verify(ngx_conf_t *cf, ngx_command_t *cmd,
                                 void *conf) noexcept
{
    ngx_str_t *value = static_cast<ngx_str_t *>(cf->args->elts);

    if (ngx_strcasecmp(value[1].data, (u_char *) "on") == 0) {
        collector_tls.verify = 1;

    } else if (ngx_strcasecmp(value[1].data, (u_char *) "off") == 0) {
        collector_tls.verify = 0;

    } else {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "invalid value \"%s\" in \"%s\" directive, "
                           "it must be \"on\" or \"off\"",
                           value[1].data, cmd->name.data);
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
}

/*
 * Loads the CA file now, so that a missing or unreadable file fails the
 * configuration (nginx -t) instead of every later handshake.
 */
char *
ngx_ext_set_collector_ssl_trusted(ngx_conf_t *cf, ngx_command_t *cmd,
                                  void *conf) noexcept
{
    ngx_str_t file = static_cast<ngx_str_t *>(cf->args->elts)[1];

    if (ngx_conf_full_name(cf->cycle, &file, 1) != NGX_OK) {
        return NGX_CONF_ERROR;
    }

    ngx_pool_cleanup_t *cln = ngx_pool_cleanup_add(cf->pool, 0);
    X509_STORE *store = X509_STORE_new();

    if (cln == NULL || store == NULL) {
        X509_STORE_free(store);
        return NGX_CONF_ERROR;
    }

    cln->handler = free_store;
    cln->data = store;

    if (X509_STORE_load_locations(store, reinterpret_cast<char *>(file.data),
                                  NULL)
        != 1) {
        log_store_error(cf, &file);
        return NGX_CONF_ERROR;
    }

    collector_tls.trusted = store;
    return NGX_CONF_OK;
}

char *
ngx_ext_set_collector_ssl_name(ngx_conf_t *cf, ngx_command_t *cmd,
                               void *conf) noexcept
{
    ngx_str_t *value = static_cast<ngx_str_t *>(cf->args->elts);

    if (value[1].len == 0 || value[1].len >= tls_name_size) {
        return const_cast<char *>("has an invalid name");
    }

    /* the parser's arguments end with a NUL, which the checks rely on */
    collector_tls.name = value[1];
    return NGX_CONF_OK;
}

char *
ngx_ext_set_collector_ssl_certificate(ngx_conf_t *cf, ngx_command_t *cmd,
                                      void *conf) noexcept
{
    return set_file(cf, &collector_tls.certificate);
}

char *
ngx_ext_set_collector_ssl_certificate_key(ngx_conf_t *cf, ngx_command_t *cmd,
                                          void *conf) noexcept
{
    return set_file(cf, &collector_tls.certificate_key);
}

ngx_int_t
ngx_ext_check_collector_tls(ngx_conf_t *cf) noexcept
{
    ngx_ext_collector_tls_t &t = collector_tls;

    if (t.verify && t.trusted == NULL) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "\"ext_collector_ssl_verify\" is on but no "
                           "\"ext_collector_ssl_trusted_certificate\" is "
                           "given");
        return NGX_ERROR;
    }

    if ((t.certificate.len == 0) != (t.certificate_key.len == 0)) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "\"ext_collector_ssl_certificate\" and "
                           "\"ext_collector_ssl_certificate_key\" go "
                           "together: %s is given without the other",
                           t.certificate.len ? "the certificate" : "the key");
        return NGX_ERROR;
    }

    /* without a certificate to load, the context waits for a first use */
    t.ctx = NULL;
    if (t.certificate.len == 0) {
        return NGX_OK;
    }

    ngx_pool_cleanup_t *cln = ngx_pool_cleanup_add(cf->pool, 0);
    SSL_CTX *ctx = cln ? new_context() : NULL;

    if (ctx == NULL) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "cannot make the TLS context of collector "
                           "connections");
        ERR_clear_error();
        return NGX_ERROR;
    }

    cln->handler = free_context;
    cln->data = ctx;

    if (!load_client_certificate(cf, ctx)) {
        return NGX_ERROR;
    }

    t.ctx = ctx;
    return NGX_OK;
}

} /* namespace kestrelvanes::core */
