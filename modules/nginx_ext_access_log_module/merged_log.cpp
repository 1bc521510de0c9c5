/*
 * Access-log module: the merged log, one HTTP POST per exchange whose body
 * is a JSON document holding the request and the response.
 *
 * Everything is written once into a fixed buffer; what does not fit is
 * left out and counted.  A member, or a run of fixed members, is checked
 * once for the most it can take and then written without a check a
 * piece; only near the end of the buffer is it written piece by piece.  Every string is escaped (json_writer.cpp), so the
 * document stays strict JSON whatever bytes the client sends.
 *
 * The head, the headers and the exchange's fields are written here; the
 * bodies are sized and written by merged_log_body.cpp.  Runs on the event
 * loop, in the response's log phase; the message is written straight
 * into a block of the queue sized by a guess, or, when it outgrows the
 * guess, into the worker's scratch buffer and copied into one.
 */
#include "json_writer.h"
#include "kv_protocol.h"
#include "merged_log_body.h"
#include "nginx_ext_access_log_module.h"
#include "nginx_ext_cfg_sync.h"

namespace {

using kestrelvanes::write_decimal;
using kestrelvanes::json::append_char;
using kestrelvanes::json::append_literal;
using kestrelvanes::json::append_number;
using kestrelvanes::json::append_string;
using kestrelvanes::json::base64_len;
using kestrelvanes::json::escaped_bound;
using kestrelvanes::json::put_escaped;
using kestrelvanes::json::put_literal;
using kestrelvanes::json::reserved;
using kestrelvanes::json::write_escaped;
using kestrelvanes::json::write_member;
using kestrelvanes::json::write_string_member;
using kestrelvanes::json::writer;

using namespace kestrelvanes::merged_log;

namespace wire = kv_protocol;

/* the request line, target and version: fixed */
constexpr auto request_line =
    "POST " + wire::merged_log_target + " HTTP/1.1\r\n";
/* the members naming the request id, a cut body and the sensor */
constexpr auto request_id_key = "\"" + wire::request_id + "\":\"";
constexpr auto req_truncated_key = "\"" + wire::req_truncated_body + "\":";
constexpr auto resp_truncated_key = "\"" + wire::resp_truncated_body + "\":";
constexpr auto truncated_value = "\"" + wire::truncated_value + "\"";
/* the head's fixed lines, and the fixed texts of the document */
constexpr char host_key[] = "Host:";
constexpr char head_rest[] =
    "\r\nConnection:keep-alive\r\nContent-Type:application/json\r\n";
constexpr char request_open[] = "[{\"request\":{\"headers\":{";
constexpr char method_key[] = "\"method\":\"";
constexpr char uri_key[] = "\",\"uri\":\"";
constexpr char request_close[] = "\"},\"response\":{\"headers\":{";
constexpr char status_key[] = "\"status\":";
constexpr char client_ip_key[] = "},\"client_ip\":\"";
constexpr char client_port_key[] = "\",\"client_port\":";
constexpr char started_key[] = ",\"started_at\":";
constexpr char latency_key[] = ",\"tries\":[],\"latencies\":{\"request\":";
constexpr char document_end[] = "}}]";
constexpr size_t request_id_size = 128;
constexpr size_t mode_text_size = 16;
constexpr char content_length_placeholder[] = "Content-Length: 0000000000\r\n";
constexpr size_t content_length_line_len =
    sizeof(content_length_placeholder) - 1;
constexpr size_t content_length_digits = 10;

/*
 * A built-in name for a compare in any case a word at a time: its bytes
 * in lower case, and 0x20 where a byte is a letter, so that a name's byte
 * with that bit set must equal the lower-case letter (either case of it)
 * and any other byte must equal the name's own.
 */
struct folded_name {
    u_char lower[16];
    u_char fold[16];
};

template <size_t N>
constexpr folded_name
fold_name(const char (&name)[N]) noexcept
{
    static_assert(N - 1 >= 4 && N - 1 <= 16, "4 to 16 bytes");

    folded_name f{};

    for (size_t i = 0; i < N - 1; i++) {
        char c = name[i];
        bool upper = c >= 'A' && c <= 'Z';
        bool letter = upper || (c >= 'a' && c <= 'z');

        f.lower[i] = (u_char) (upper ? c + ('a' - 'A') : c);
        f.fold[i] = letter ? 0x20 : 0;
    }

    return f;
}

struct builtin_header {
    ngx_uint_t bit;
    ngx_table_elt_t *ngx_http_headers_out_t::*element;
    ngx_str_t key;
    folded_name folded;
};

#define builtin_name(s) ngx_string(s), fold_name(s)

/* Bits mark the headers the list already held; indices are mark_builtin's. */
const builtin_header builtin_headers[] = {
    {0x1, nullptr, builtin_name("Content-Type")},
    {0x2, nullptr, builtin_name("Content-Length")},
    {0x4, &ngx_http_headers_out_t::date, builtin_name("Date")},
    {0x8, &ngx_http_headers_out_t::server, builtin_name("Server")},
    {0x10, &ngx_http_headers_out_t::content_encoding,
     builtin_name("Content-Encoding")},
    {0x20, &ngx_http_headers_out_t::location, builtin_name("Location")},
    {0x40, &ngx_http_headers_out_t::refresh, builtin_name("Refresh")},
    {0x80, &ngx_http_headers_out_t::last_modified,
     builtin_name("Last-Modified")},
    {0x100, &ngx_http_headers_out_t::www_authenticate,
     builtin_name("WWW-Authenticate")},
    {0x200, &ngx_http_headers_out_t::expires, builtin_name("Expires")},
    {0x400, &ngx_http_headers_out_t::etag, builtin_name("Etag")},
};

#undef builtin_name

/* A member of the built-in set, its value masked when it is redacted. */
void
write_builtin_member(writer &w, const ngx_array_t *redact, const ngx_str_t *key,
                     const ngx_str_t *value) noexcept
{
    const ngx_str_t *v = kestrelvanes::logged_value(redact, key, value);

    if (reserved(w, key->len + 6 + escaped_bound(v->len))) {
        u_char *p = w.pos;

        *p++ = '"';
        p = ngx_cpymem(p, key->data, key->len);
        p = put_literal(p, "\":\"");
        p = put_escaped(p, v->data, v->len);
        w.pos = put_literal(p, "\",");
        return;
    }

    write_string_member(w, (const char *) key->data, key->len, v->data, v->len);
    append_char(w, ',');
}

/* A word of a name against the same word of a folded one. */
template <typename word>
inline bool
folded_word_equal(const u_char *name, const folded_name &f, size_t at) noexcept
{
    word n, lower, fold;

    ngx_memcpy(&n, name + at, sizeof(word));
    ngx_memcpy(&lower, f.lower + at, sizeof(word));
    ngx_memcpy(&fold, f.fold + at, sizeof(word));

    return (n | fold) == lower;
}

/*
 * Whether name is built-in header i's, in any case: its first and last
 * word, which overlap, cover the names of 4 to 16 bytes, all of them.
 */
inline bool
builtin_named(const ngx_str_t *name, ngx_uint_t i) noexcept
{
    const builtin_header &b = builtin_headers[i];
    size_t len = name->len;

    if (len != b.key.len) {
        return false;
    }

    if (len >= 8) {
        return folded_word_equal<uint64_t>(name->data, b.folded, 0)
               && folded_word_equal<uint64_t>(name->data, b.folded, len - 8);
    }

    return folded_word_equal<uint32_t>(name->data, b.folded, 0)
           && folded_word_equal<uint32_t>(name->data, b.folded, len - 4);
}

/*
 * Marks a listed header of the built-in set, so that its own field is not
 * written again.  The name's length leaves at most two candidates, so a
 * name is compared, not hashed: cheaper, and a name that merely hashes
 * like a built-in one no longer hides that header.
 */
void
mark_builtin(const ngx_str_t *name, ngx_uint_t *processed_headers) noexcept
{
    ngx_uint_t i;

    switch (name->len) {
    case 4: /* Date, Etag */
        i = builtin_named(name, 2) ? 2 : 10;
        break;
    case 6: /* Server */
        i = 3;
        break;
    case 7: /* Refresh, Expires */
        i = builtin_named(name, 6) ? 6 : 9;
        break;
    case 8: /* Location */
        i = 5;
        break;
    case 12: /* Content-Type */
        i = 0;
        break;
    case 13: /* Last-Modified */
        i = 7;
        break;
    case 14: /* Content-Length */
        i = 1;
        break;
    case 16: /* Content-Encoding, WWW-Authenticate */
        i = builtin_named(name, 4) ? 4 : 8;
        break;
    default:
        return;
    }

    if (builtin_named(name, i)) {
        *processed_headers |= builtin_headers[i].bit;
    }
}

/*
 * The last members of a header set: the request id, and whether the body
 * was cut; a comma first when members came before, and after them what
 * closes the set ("}," for the request's; the response's goes on with the
 * built-in headers).
 */
void
write_request_id(writer &w, bool comma, const ngx_str_t *request_id, bool cut,
                 bool is_request) noexcept
{
    size_t cut_len =
        is_request ? req_truncated_key.size() : resp_truncated_key.size();
    size_t need = 1 + request_id_key.size() + escaped_bound(request_id->len) + 1
                  + (cut ? 1 + cut_len + truncated_value.size() : 0) + 2;

    if (reserved(w, need)) {
        u_char *p = w.pos;

        if (comma) {
            *p++ = ',';
        }
        p = put_literal(p, request_id_key.s);
        p = put_escaped(p, request_id->data, request_id->len);
        *p++ = '"';

        if (cut) {
            *p++ = ',';
            p = is_request ? put_literal(p, req_truncated_key.s)
                           : put_literal(p, resp_truncated_key.s);
            p = put_literal(p, truncated_value.s);
        }

        w.pos = is_request ? put_literal(p, "},") : put_literal(p, ",");
        return;
    }

    if (comma) {
        append_char(w, ',');
    }

    append_literal(w, request_id_key.s);
    write_escaped(w, request_id->data, request_id->len);
    append_char(w, '"');

    if (cut) {
        append_char(w, ',');
        if (is_request) {
            append_literal(w, req_truncated_key.s);
        } else {
            append_literal(w, resp_truncated_key.s);
        }
        append_literal(w, truncated_value.s);
    }

    if (is_request) {
        append_literal(w, "},");
    } else {
        append_char(w, ',');
    }
}

/*
 * A header set: the request's or the response's list, plus, for a request
 * with no Host header that named its host elsewhere (HTTP/3's
 * ":authority"), a Host member first, so every exchange says which host
 * it was for.
 */
void
write_headers(writer &w, ngx_list_t *headers, const ngx_str_t *request_id,
              bool truncate, bool is_request, bool log_headers,
              const ngx_array_t *redact, ngx_uint_t *processed_headers,
              const ngx_str_t *host = nullptr) noexcept
{
    bool written = false;

    if (log_headers && host != nullptr) {
        static const ngx_str_t key = ngx_string("Host");
        const ngx_str_t *v = kestrelvanes::logged_value(redact, &key, host);

        write_string_member(w, "Host", v->data, v->len);
        written = true;
    }

    if (log_headers) {
        for (ngx_list_part_t *part = &headers->part; part; part = part->next) {
            auto *h = static_cast<ngx_table_elt_t *>(part->elts);

            for (ngx_uint_t i = 0; i < part->nelts; i++) {
                if (h[i].value.len == 0) {
                    continue;
                }

                /*
                 * nginx deletes a response header by zeroing its hash
                 * (expires, add_header "", relative redirects...); the
                 * client never sees it, so neither does the log.
                 */
                if (!is_request && h[i].hash == 0) {
                    continue;
                }

                if (processed_headers != nullptr) {
                    mark_builtin(&h[i].key, processed_headers);
                }

                const ngx_str_t *v =
                    kestrelvanes::logged_value(redact, &h[i].key, &h[i].value);

                write_member(w, written, h[i].key.data, h[i].key.len, v->data,
                             v->len);
                written = true;
            }
        }
    }

    write_request_id(w, written, request_id, truncate && log_headers,
                     is_request);
}

/* A built-in header held in its own field, unless the list had it. */
inline void
write_builtin_element(writer &w, const ngx_array_t *redact,
                      ngx_uint_t processed_headers, ngx_uint_t i,
                      const ngx_table_elt_t *h) noexcept
{
    const builtin_header &b = builtin_headers[i];

    if (!(processed_headers & b.bit) && h != NULL && h->value.len != 0) {
        write_builtin_member(w, redact, &b.key, &h->value);
    }
}

/*
 * The built-in headers the list did not hold, in the order collectors
 * have always seen them: Server, Date, the other fields, Content-Type and
 * Content-Length last.  Written out rather than walked through the table,
 * as every message passes all eleven.
 */
void
add_specific_response_headers(writer &w, ngx_http_request_t *r,
                              const ngx_array_t *redact,
                              ngx_uint_t processed) noexcept
{
    ngx_http_headers_out_t *out = &r->headers_out;

    write_builtin_element(w, redact, processed, 3, out->server);
    write_builtin_element(w, redact, processed, 2, out->date);
    write_builtin_element(w, redact, processed, 4, out->content_encoding);
    write_builtin_element(w, redact, processed, 5, out->location);
    write_builtin_element(w, redact, processed, 6, out->refresh);
    write_builtin_element(w, redact, processed, 7, out->last_modified);
    write_builtin_element(w, redact, processed, 8, out->www_authenticate);
    write_builtin_element(w, redact, processed, 9, out->expires);
    write_builtin_element(w, redact, processed, 10, out->etag);

    const builtin_header &type = builtin_headers[0];

    if (!(processed & type.bit) && out->content_type.len
        && out->content_type.data) {
        write_builtin_member(w, redact, &type.key, &out->content_type);
    }

    const builtin_header &length = builtin_headers[1];

    if ((processed & length.bit) || out->content_length_n <= 0) {
        return;
    }

    if (kestrelvanes::redacted(redact, &length.key)) {
        write_builtin_member(w, redact, &length.key, &length.key);
        return;
    }

    static constexpr char key[] = "\"Content-Length\":\"";

    if (reserved(w, sizeof(key) - 1 + NGX_INT64_LEN + 2)) {
        u_char *p = put_literal(w.pos, key);
        p = write_decimal(p, out->content_length_n);
        w.pos = put_literal(p, "\",");
        return;
    }

    append_literal(w, "\"Content-Length\":");
    append_number(w, "\"", (uint64_t) out->content_length_n, "\",");
}

/* Lines of the head go in whole or not at all, nothing counted. */
template <size_t N>
void
add_head_line(writer &w, const char (&name)[N], const u_char *value,
              size_t value_len) noexcept
{
    size_t len = N - 1 + value_len + 2;

    /* a trial must not pass with a line the full buffer would hold */
    if ((ptrdiff_t) len > (w.end - 1) - w.pos) {
        w.overflow = w.overflow || w.quiet;
        return;
    }

    w.pos = ngx_cpymem(w.pos, name, N - 1);
    w.pos = ngx_cpymem(w.pos, value, value_len);
    w.pos = ngx_cpymem(w.pos, "\r\n", 2);
}

/* The request line, cut short where the buffer ends. */
void
add_request_line(writer &w) noexcept
{
    ptrdiff_t room = (w.end - 1) - w.pos;
    size_t len = request_line.size();

    if (w.quiet && room < (ptrdiff_t) len) {
        w.overflow = true;
    }

    if (room <= 0) {
        return;
    }

    w.pos = ngx_cpymem(w.pos, request_line.s, ngx_min(len, (size_t) room));
}

/* The ten digits of the Content-Length line, zero-padded. */
void
write_content_length(u_char *p, size_t len) noexcept
{
    /* the placeholder's zeros stay in front of the digits */
    u_char *d = p + content_length_digits;

    do {
        *--d = (u_char) ('0' + len % 10);
        len /= 10;
    } while (len != 0 && d > p);
}

/* The collector address without its scheme: the value of the Host line. */
ngx_str_t
host_of(const ngx_str_t *server) noexcept
{
    ngx_str_t host = *server;
    u_char *last = server->data + server->len;

    /* the first "://": a search for its colon, cheaper than a substring's */
    for (u_char *p = server->data; last - p >= 3; p++) {
        p = static_cast<u_char *>(memchr(p, ':', last - p - 2));
        if (p == NULL) {
            break;
        }

        if (p[1] == '/' && p[2] == '/') {
            host.data = p + 3;
            host.len = last - host.data;
            break;
        }
    }

    return host;
}

/*
 * The head of the POST and the document's opening: where the digits of
 * its Content-Length go (NULL when the line did not fit) and, in
 * *payload_start, where the document starts.
 */
u_char *
write_head(writer &w, const ngx_str_t *host, u_char **payload_start) noexcept
{
    size_t need = request_line.size() + sizeof(host_key) - 1 + host->len
                  + sizeof(head_rest) - 1 + content_length_line_len + 2
                  + sizeof(request_open) - 1;

    if (reserved(w, need)) {
        u_char *p = put_literal(w.pos, request_line.s);
        p = put_literal(p, host_key);
        p = ngx_cpymem(p, host->data, host->len);
        p = put_literal(p, head_rest);

        u_char *content_length_ptr = p;
        p = put_literal(p, content_length_placeholder);
        p = put_literal(p, "\r\n");

        *payload_start = p;
        w.pos = put_literal(p, request_open);
        return content_length_ptr;
    }

    add_request_line(w);
    add_head_line(w, host_key, host->data, host->len);
    add_head_line(w, "Connection:", (const u_char *) "keep-alive", 10);
    add_head_line(w, "Content-Type:", (const u_char *) "application/json", 16);

    u_char *content_length_ptr = NULL;
    if ((ptrdiff_t) content_length_line_len < (w.end - 1) - w.pos) {
        content_length_ptr = w.pos;
        w.pos = ngx_cpymem(w.pos, content_length_placeholder,
                           content_length_line_len);
    }
    append_string(w, "\r\n", 2);

    *payload_start = w.pos;
    append_literal(w, request_open);
    return content_length_ptr;
}

/* "method":"...","uri":"..."}, and the opening of the response */
void
write_request_end(writer &w, const ngx_str_t *method, const ngx_str_t *path,
                  const ngx_str_t *args) noexcept
{
    size_t need = sizeof(method_key) - 1 + escaped_bound(method->len)
                  + sizeof(uri_key) - 1 + escaped_bound(path->len) + 1
                  + escaped_bound(args->len) + sizeof(request_close) - 1;

    if (reserved(w, need)) {
        u_char *p = put_literal(w.pos, method_key);
        p = put_escaped(p, method->data, method->len);
        p = put_literal(p, uri_key);
        p = put_escaped(p, path->data, path->len);
        if (args->len) {
            *p++ = '?';
            p = put_escaped(p, args->data, args->len);
        }
        w.pos = put_literal(p, request_close);
        return;
    }

    write_string_member(w, "method", method->data, method->len);
    append_char(w, ',');

    append_literal(w, "\"uri\":\"");
    write_escaped(w, path->data, path->len);
    if (args->len) {
        append_char(w, '?');
        write_escaped(w, args->data, args->len);
    }
    append_literal(w, "\"},");
    append_literal(w, "\"response\":{\"headers\":{");
}

/* The members naming the sensor, and the end of the response's headers. */
void
write_sensor_members(writer &w) noexcept
{
    ngx_str_t *hostname = kestrelvanes::cycle_hostname();

    /* at most the 15 characters of the mode's text buffer */
    const char *mode_text = get_log_mode_str(get_log_mode_direct());
    size_t mode_len = ngx_min(ngx_strlen(mode_text), mode_text_size - 1);

    size_t need =
        wire::sensor_instance.size() + 6 + escaped_bound(ext_instance_name.len)
        + (hostname->len
               ? wire::sensor_hostname.size() + 6 + escaped_bound(hostname->len)
               : 0)
        + wire::sensor_logging_level.size() + 5 + escaped_bound(mode_len) + 2;

    if (reserved(w, need)) {
        u_char *p = w.pos;

        *p++ = '"';
        p = put_literal(p, wire::sensor_instance.s);
        p = put_literal(p, "\":\"");
        p = put_escaped(p, ext_instance_name.data, ext_instance_name.len);
        p = put_literal(p, "\",\"");

        if (hostname->len) {
            p = put_literal(p, wire::sensor_hostname.s);
            p = put_literal(p, "\":\"");
            p = put_escaped(p, hostname->data, hostname->len);
            p = put_literal(p, "\",\"");
        }

        p = put_literal(p, wire::sensor_logging_level.s);
        p = put_literal(p, "\":\"");
        p = put_escaped(p, (const u_char *) mode_text, mode_len);
        w.pos = put_literal(p, "\"},");
        return;
    }

    write_string_member(w, wire::sensor_instance.s, ext_instance_name.data,
                        ext_instance_name.len);
    append_char(w, ',');

    if (hostname->len) {
        write_string_member(w, wire::sensor_hostname.s, hostname->data,
                            hostname->len);
        append_char(w, ',');
    }

    write_string_member(w, wire::sensor_logging_level.s,
                        (const u_char *) mode_text, mode_len);
    append_literal(w, "},");
}

/* The status, the client, the times, and the end of the document. */
void
write_exchange_end(writer &w, ngx_http_request_t *r) noexcept
{
    ngx_time_t *tp = ngx_timeofday();
    int64_t started = (int64_t) r->start_sec * 1000 + r->start_msec;
    int64_t latency = ((int64_t) tp->sec - r->start_sec) * 1000
                      + ((int64_t) tp->msec - r->start_msec);
    uint64_t status = r->headers_out.status;
    ngx_connection_t *c = r->connection;
    ngx_uint_t port = ngx_access_log_inet_get_port(c->sockaddr);

    if (latency < 0) {
        latency = 0;
    }

    size_t need = sizeof(status_key) - 1 + sizeof(client_ip_key) - 1
                  + escaped_bound(c->addr_text.len) + sizeof(client_port_key)
                  - 1 + sizeof(started_key) - 1 + sizeof(latency_key) - 1
                  + sizeof(document_end) - 1 + 4 * NGX_INT64_LEN;

    /* a number past INT64_MAX is written as the checked writer writes it */
    if (status <= (uint64_t) INT64_MAX && started >= 0 && reserved(w, need)) {
        u_char *p = put_literal(w.pos, status_key);
        p = write_decimal(p, (int64_t) status);
        p = put_literal(p, client_ip_key);
        p = put_escaped(p, c->addr_text.data, c->addr_text.len);
        p = put_literal(p, client_port_key);
        p = write_decimal(p, (int64_t) port);
        p = put_literal(p, started_key);
        p = write_decimal(p, started);
        p = put_literal(p, latency_key);
        p = write_decimal(p, latency);
        w.pos = put_literal(p, document_end);
        return;
    }

    append_number(w, "\"status\":", status, "},");

    write_string_member(w, "client_ip", c->addr_text.data, c->addr_text.len);
    append_char(w, ',');

    /* the fixed texts between the numbers go with them, whole or not */
    append_number(w, "\"client_port\":", port, ",\"started_at\":");
    append_number(w, "", (uint64_t) started, latency_key);
    append_number(w, "", (uint64_t) latency, document_end);
}

/*
 * One pass over the buffer.  Returns false when anything was left out for
 * lack of room, which would leave the document broken.
 */
bool
write_message(writer &w, ngx_http_request_t *r,
              ngx_http_response_body_ctx_t *ctx, LogMode mode,
              ngx_http_response_body_loc_conf_t *conf, bodies &b,
              const ngx_str_t *requestid) noexcept
{
    ngx_log_t *log = r->connection->log;
    bool log_headers = should_log_header(mode) >= 0;
    bool log_payload = should_log_payload(mode) >= 0;

    w.pos = w.start;
    w.overflow = false;

    /* the head */
    ngx_str_t host = host_of(&conf->remote_auth_log_server);
    u_char *payload_start;
    u_char *content_length_ptr = write_head(w, &host, &payload_start);

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] merged_log: headers done, avail=%d",
                  (int) w.room());

    /* the request */
    ngx_str_t client_host;
    bool host_apart = r->headers_in.host == NULL
                      && kestrelvanes::client_host(r, &client_host);

    write_headers(w, &r->headers_in.headers, requestid, b.truncate_request,
                  true, log_headers, conf->redact_headers, nullptr,
                  host_apart ? &client_host : nullptr);

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] merged_log: req headers written, avail=%d",
                  (int) w.room());

    if (b.request_len != 0 && log_payload) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "[KESTRELVANES] merged_log: req body b64 encode, "
                      "req_b64=%d, avail=%d",
                      (int) base64_len(b.request_len), (int) w.room());

        if (b.read_payload_file) {
            write_request_body_from_file(w, r, b, log);
        } else {
            write_request_body_from_buffers(w, r, b.request_len, log);
        }
    }

    ngx_str_t path, args;
    ngx_ext_client_uri(r, &path, &args);

    write_request_end(w, &r->method_name, &path, &args);

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] merged_log: req part done, avail=%d",
                  (int) w.room());

    /* the response */
    ngx_uint_t processed_headers = 0;

    write_headers(w, &r->headers_out.headers, requestid, b.truncate_response,
                  false, log_headers, conf->redact_headers, &processed_headers);
    add_specific_response_headers(w, r, conf->redact_headers,
                                  processed_headers);

    write_sensor_members(w);

    if (b.response_len != 0 && log_payload) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "[KESTRELVANES] merged_log: resp body b64 encode, "
                      "resp_b64=%d, avail=%d",
                      (int) base64_len(b.response_len), (int) w.room());
        write_body64(w, ctx->buffer.start, b.response_len,
                     "Response payload too large", log);
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] merged_log: writing status/port/ts/latency, "
                  "avail=%d",
                  (int) w.room());

    write_exchange_end(w, r);

    size_t payload_len = w.pos - payload_start;

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] merged_log: payload built, payload_len=%uz, "
                  "total_used=%uz, buffer_size=%uz",
                  payload_len, (size_t) (w.pos - w.start),
                  (size_t) (w.end - w.start));

    if (content_length_ptr != NULL) {
        write_content_length(
            content_length_ptr + sizeof("Content-Length: ") - 1, payload_len);
    }

    return !w.overflow && content_length_ptr != NULL;
}

/*
 * Response headers are not part of the estimate of check_space(): when
 * they crowd the bodies out, send the exchange without bodies rather than
 * a broken document, and drop it only when even that does not fit.
 */
bool
build_message(writer &w, ngx_http_request_t *r,
              ngx_http_response_body_ctx_t *ctx, LogMode mode,
              ngx_http_response_body_loc_conf_t *conf, bodies &b,
              const ngx_str_t *requestid) noexcept
{
    if (write_message(w, r, ctx, mode, conf, b, requestid)) {
        return true;
    }

    bool had_bodies = (b.request_len != 0 || b.response_len != 0)
                      && should_log_payload(mode) >= 0;

    if (had_bodies) {
        b.truncate_request = b.request_len != 0 || b.truncate_request;
        b.truncate_response = b.response_len != 0 || b.truncate_response;
        b.request_len = 0;
        b.response_len = 0;
    }

    ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                  "Not enough space to pack request and response, "
                  "increase config: ext_access_log_total_size");
    kestrelvanes::count(log_stats.packet_too_big);

    return had_bodies && write_message(w, r, ctx, mode, conf, b, requestid);
}

/* the request body read from its file was only needed for the text */
void
free_file_body(ngx_http_request_t *r, bodies &b) noexcept
{
    if (b.file_body != NULL) {
        ngx_pfree(r->pool, b.file_body);
        b.file_body = NULL;
    }
}

/*
 * What a message takes beside its bodies and twice its request's head,
 * as the last one of this worker took it, with some slack: exchanges
 * alike give messages alike.
 */
size_t guess_rest = 1024;

size_t
guess_of(ngx_http_request_t *r, const bodies &b) noexcept
{
    return 2 * r->header_size + base64_len(b.request_len)
           + base64_len(b.response_len);
}

void
learn_rest(ngx_http_request_t *r, const bodies &b, size_t len) noexcept
{
    size_t known = guess_of(r, b);
    size_t rest = len > known ? len - known : 0;

    guess_rest = rest + rest / 8 + 64;
}

/*
 * The message written straight into a block of the queue, sized by a
 * guess: NGX_OK (in *msg), NGX_ERROR when it cannot be written at all,
 * NGX_DECLINED when it must be written the other way, into the scratch
 * buffer of the full bound; nothing is counted then.  A block of the
 * guess's size class that is at least the bound is written as the
 * scratch buffer would be, whole or else without the bodies; a smaller
 * one is a trial that stops being one when the message fits it, and
 * what fits it fits the bound as well, byte for byte the same.
 */
ngx_int_t
write_in_block(writer &w, ngx_http_request_t *r,
               ngx_http_response_body_ctx_t *ctx, LogMode mode,
               ngx_http_response_body_loc_conf_t *conf, bodies &b,
               const ngx_str_t *requestid, ngx_str_t *opc_endpoint,
               ngx_ext_access_log_msg_t **msg) noexcept
{
    size_t bound = conf->total_buffer_size;
    size_t guess = guess_of(r, b) + guess_rest;

    if (ngx_ext_exporter_open_message(ngx_min(guess, bound), opc_endpoint,
                                      conf->collector, msg)
        != NGX_OK) {
        *msg = NULL;
        return NGX_DECLINED;
    }

    u_char *p = (*msg)->request;

    if ((*msg)->len >= bound) {
        w = {p, p, p + bound, false, false};
        return build_message(w, r, ctx, mode, conf, b, requestid) ? NGX_OK
                                                                  : NGX_ERROR;
    }

    w = {p, p, p + (*msg)->len, false, true};

    if (write_message(w, r, ctx, mode, conf, b, requestid)) {
        return NGX_OK;
    }

    ngx_ext_exporter_free_message(*msg);
    *msg = NULL;

    return NGX_DECLINED;
}

} /* namespace */

extern "C" {

ngx_uint_t
ngx_access_log_inet_get_port(struct sockaddr *sa) noexcept
{
    if (sa == NULL || sa->sa_family == AF_UNIX) {
        return 0;
    }

    /* the port follows the family alike in IPv4 and IPv6 addresses */
    return ntohs(reinterpret_cast<struct sockaddr_in *>(sa)->sin_port);
}

ngx_int_t
ngx_ext_send_http_merged_log(ngx_http_request_t *r, ngx_str_t *opc_endpoint,
                             LogMode _log_mode,
                             ngx_http_response_body_loc_conf_t *conf) noexcept
{
    ngx_log_t *log = r->connection->log;
    bool log_payload = should_log_payload(_log_mode) >= 0;
    ngx_ext_access_log_msg_t *msg = NULL;

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] merged_log: enter, uri=%V, status=%ui",
                  &r->uri, r->headers_out.status);

    if (should_log(_log_mode) < 0) {
        return NGX_DECLINED;
    }

    auto *ctx = static_cast<ngx_http_response_body_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_access));

    bodies b = {};

    if (log_payload) {
        if (ctx != NULL && ctx->buffer.start != NULL) {
            b.response_len = ctx->buffer.last - ctx->buffer.start;
        }
        size_request_body(r, conf->body_buffer_size, b);
    }

    /* an exchange that did not end normally: what was captured, marked */
    if (ctx != NULL && ctx->cut) {
        b.truncate_response = true;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] merged_log: req_body_len=%uz, "
                  "resp_body_len=%uz, req_b64=%d, resp_b64=%d",
                  b.request_len, b.response_len,
                  (int) base64_len(b.request_len),
                  (int) base64_len(b.response_len));

    check_space(r, conf, b);

    size_t buffer_size = conf->total_buffer_size;
    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] merged_log: buffer_size=%uz", buffer_size);

    u_char id[request_id_size];
    if (ngx_get_request_id(r, id) != NGX_OK) {
        kestrelvanes::count(log_stats.req_id_failed);
        return NGX_ERROR;
    }

    ngx_str_t requestid = {ngx_strlen(id), id};
    writer w = {NULL, NULL, NULL, false, false};
    ngx_int_t built = write_in_block(w, r, ctx, _log_mode, conf, b, &requestid,
                                     opc_endpoint, &msg);

    if (built == NGX_DECLINED) {
        /* the message is copied out of it once its length is known */
        u_char *buffer = ngx_ext_exporter_scratch(buffer_size);
        if (buffer == NULL) {
            free_file_body(r, b);
            kestrelvanes::count(log_stats.pool_alloc_failed);
            return NGX_ERROR;
        }

        w = {buffer, buffer, buffer + buffer_size, false, false};
        built = build_message(w, r, ctx, _log_mode, conf, b, &requestid)
                    ? NGX_OK
                    : NGX_ERROR;
    }

    free_file_body(r, b);

    if (built != NGX_OK) {
        if (msg != NULL) {
            ngx_ext_exporter_free_message(msg);
        }
        return NGX_ERROR;
    }

    size_t total_request_len = w.pos - w.start;
    learn_rest(r, b, total_request_len);

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] merged_log: posting task, "
                  "total_request_len=%uz",
                  total_request_len);

    ngx_int_t rc;

    if (msg != NULL) {
        rc = ngx_ext_exporter_close_message(&msg, total_request_len);

    } else {
        rc = ngx_ext_exporter_new_message(total_request_len, opc_endpoint,
                                          conf->collector, &msg);
        if (rc == NGX_OK) {
            ngx_memcpy(msg->request, w.start, total_request_len);
        }
    }

    if (rc != NGX_OK) {
        return rc;
    }

    return ngx_ext_exporter_submit(msg, log->connection, MERGED_LOG,
                                   access_log_thread_pool);
}

} /* extern "C" */
