/*
 * Access-log module: the response log, one HTTP POST per exchange whose
 * header lines carry the metadata and whose body is the captured response
 * body, unencoded.
 *
 * Values go into header lines of the collector connection, so control
 * bytes never reach it raw: CR, LF, NUL, every other byte below 0x20 but
 * TAB, and DEL are written percent-encoded (%0D, %0A, %01, %7F), or a
 * client could forge lines or whole messages, or trip the collector's
 * parser.  The names of copied response headers also have their colons
 * and blanks encoded (%3A, %20, %09), so a collector reads each name whole.
 *
 * The message is measured before it is written, with the same code that
 * writes it, so the size check counts every line.  A message is sent
 * whole or not at all: never a line cut short at the end of the buffer,
 * which would end the framing of everything after it on the connection.
 */
#include "nginx_ext_access_log_module.h"
#include "kv_protocol.h"
#include "nginx_ext_cfg_sync.h"

namespace {

namespace wire = kv_protocol;

/* The lines' fixed starts, as the collector reads them: some with a
 * blank after the colon, some without, as collectors have always seen. */
constexpr auto status_line = wire::status + ": ";
constexpr auto request_id_line = wire::request_id + ": ";
constexpr auto req_time_line = wire::req_time + ": ";
constexpr auto resp_time_line = wire::resp_time + ": ";
constexpr auto client_addr_line = wire::client_addr + ":";
constexpr auto req_uri_line = wire::req_uri + ":";
constexpr auto req_host_line = wire::req_host + ":";
constexpr auto req_content_len_line = wire::req_content_len + ": ";
constexpr auto req_content_type_line = wire::req_content_type + ":";
constexpr auto args_line = wire::args + ":";
constexpr auto method_line = wire::method + ":";
constexpr auto hostname_line = wire::sensor_hostname + ":";
constexpr auto instance_line = wire::sensor_instance + ":";
constexpr auto level_line = wire::sensor_logging_level + ":";
constexpr auto resp_content_len_line = wire::resp_content_len + ": ";
constexpr auto orig_length_line = wire::orig_length + ": ";
constexpr auto truncated_line =
    wire::resp_truncated_body + ": " + wire::truncated_value + "\r\n";
constexpr auto truncated_last_line = truncated_line + "\r\n";

constexpr auto default_api = wire::response_log_path;
constexpr size_t api_size = 100;
constexpr size_t request_id_size = 128;
constexpr size_t mode_text_size = 16;
constexpr size_t max_header_name = 199;
constexpr size_t max_addr_text = 99;

constexpr bool
needs_encoding(u_char c) noexcept
{
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

/* Eight bytes none of which needs encoding (a tab does, here: rare). */
constexpr bool
none_encoded(uint64_t x) noexcept
{
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    uint64_t del = x ^ (0x7f * ones);

    /* bytes below 0x20 (high bytes are fine), and DEL */
    return (((x - 0x20 * ones) & ~x) & highs) == 0
           && (((del - ones) & ~del) & highs) == 0;
}

static_assert(none_encoded(0x4142434445464748ULL), "letters pass");
static_assert(none_encoded(0xfffefd8020212223ULL), "high bytes pass");
static_assert(!none_encoded(0x414243440a464748ULL), "LF is encoded");
static_assert(!none_encoded(0x4142434445467f48ULL), "DEL is encoded");
static_assert(!none_encoded(0x0041424344454647ULL), "NUL is encoded");

/*
 * Writes the lines of one message, or only counts their bytes: without a
 * buffer, or once the buffer's end is reached (a message that does not fit
 * is then known by its length and never sent).  The same code counts and
 * writes, so what is measured is exactly what is written.
 */
struct line_writer {
    u_char *pos; /* NULL while only counting */
    u_char *end;
    size_t len;

    void bytes(const void *p, size_t n) noexcept
    {
        if (pos != NULL) {
            if ((size_t) (end - pos) >= n) {
                pos = ngx_cpymem(pos, p, n);
            } else {
                pos = NULL;
            }
        }
        len += n;
    }

    template <size_t N>
    void text(const char (&s)[N]) noexcept
    {
        bytes(s, N - 1);
    }

    void escape(u_char c) noexcept
    {
        static const u_char hex[] = "0123456789ABCDEF";
        u_char esc[3] = {'%', hex[c >> 4], hex[c & 0xf]};

        bytes(esc, sizeof(esc));
    }

    void encoded(const u_char *p, size_t n) noexcept
    {
        size_t run = 0;
        size_t i = 0;

        while (i < n) {
            if (n - i >= 8) {
                uint64_t x;
                ngx_memcpy(&x, p + i, sizeof(x));
                if (none_encoded(x)) {
                    i += 8;
                    continue;
                }
            }

            if (!needs_encoding(p[i])) {
                i++;
                continue;
            }

            bytes(p + run, i - run);
            escape(p[i]);
            run = ++i;
        }

        bytes(p + run, n - run);
    }

    /*
     * A copied header's name, encoded as values are and its colons and
     * blanks too: a collector reads a name up to the first colon, and
     * blanks before it or at the line's start ("Content-Length :", a
     * fold) are read as another header by lenient parsers.  nginx never
     * parses such a name from an upstream; add_header and other modules
     * can set one.
     */
    void name(const ngx_str_t *key) noexcept
    {
        size_t run = 0;

        for (size_t i = 0; i < key->len; i++) {
            u_char c = key->data[i];

            if (needs_encoding(c) || c == ':' || c == ' ' || c == '\t') {
                bytes(key->data + run, i - run);
                escape(c);
                run = i + 1;
            }
        }

        bytes(key->data + run, key->len - run);
    }

    void encoded(const ngx_str_t *value) noexcept
    {
        encoded(value->data, value->len);
    }

    /* a signed decimal, as "%l" writes it */
    void number(int64_t value) noexcept
    {
        u_char digits[NGX_INT64_LEN];
        u_char *d = digits + sizeof(digits);
        uint64_t u = value < 0 ? 0 - (uint64_t) value : (uint64_t) value;

        do {
            *--d = (u_char) ('0' + u % 10);
            u /= 10;
        } while (u != 0);

        if (value < 0) {
            *--d = '-';
        }

        bytes(d, digits + sizeof(digits) - d);
    }

    /* a line made of a number between fixed texts */
    template <size_t N, size_t M>
    void line(const char (&name)[N], int64_t value,
              const char (&ending)[M]) noexcept
    {
        text(name);
        number(value);
        text(ending);
    }
};

/* What one message says, taken once so that both passes agree. */
struct message_facts {
    ngx_http_request_t *r;
    ngx_str_t api;
    ngx_str_t path; /* what the client asked for, whatever redirects */
    ngx_str_t args;
    const ngx_array_t *redact;
    bool log_headers;
    bool have_id;
    u_char id[request_id_size];
    int64_t latency;
    ngx_str_t mode;
};

/* One "Name:value" line; the name carries its colon. */
template <size_t N>
void
ngx_ext_add_header(line_writer &w, const char (&hdr_key)[N],
                   const ngx_str_t *hdr_val) noexcept
{
    w.text(hdr_key);
    w.encoded(hdr_val);
    w.text("\r\n");
}

/* Adds "Name:value" when the value is there. */
template <size_t N>
void
add_optional(line_writer &w, const char (&name)[N],
             const ngx_str_t *value) noexcept
{
    if (value->data == NULL || value->len == 0) {
        return;
    }

    ngx_ext_add_header(w, name, value);
}

/*
 * Names the metadata lines or the framing of the log message use.  The
 * name itself is compared: the table of hashes is filled only when some
 * location names an ext_auth_log_server, and headers set by add_header
 * carry a hash of 1, not the hash of their name.
 */
bool
excluded(const ngx_str_t *name) noexcept
{
    /* the names are fixed: their lengths are measured once */
    static size_t lengths[NGX_EXT_EXCLUDE_HEADERS];

    if (lengths[0] == 0) {
        for (size_t i = 0; i < NGX_EXT_EXCLUDE_HEADERS; i++) {
            lengths[i] = ngx_strlen(exclude_headers[i]);
        }
    }

    for (size_t i = 0; i < NGX_EXT_EXCLUDE_HEADERS; i++) {
        if (name->len == lengths[i]
            && ngx_strncasecmp(name->data, (u_char *) exclude_headers[i],
                               lengths[i])
                   == 0) {
            return true;
        }
    }

    return false;
}

void
copy_response_headers(line_writer &w, const message_facts &f) noexcept
{
    ngx_http_request_t *r = f.r;

    for (ngx_list_part_t *part = &r->headers_out.headers.part; part;
         part = part->next) {
        auto *h = static_cast<ngx_table_elt_t *>(part->elts);

        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            /* a zero hash: nginx deleted it, the client never gets it */
            if (h[i].key.data == NULL || h[i].hash == 0
                || excluded(&h[i].key)) {
                continue;
            }

            if (h[i].key.len < 1 || h[i].key.len > max_header_name
                || h[i].value.data == NULL || h[i].value.len < 1) {
                continue;
            }

            w.name(&h[i].key);
            w.text(":");
            w.encoded(
                kestrelvanes::logged_value(f.redact, &h[i].key, &h[i].value));
            w.text("\r\n");
        }
    }
}

/* Lines 6 to 18: the exchange and the sensor. */
void
ngx_ext_pack_custom_headers(line_writer &w, const message_facts &f) noexcept
{
    ngx_http_request_t *r = f.r;

    w.line(status_line.s, (long) r->headers_out.status, "\r\n");

    if (!f.have_id) {
        return;
    }

    ngx_str_t id = {ngx_strlen(f.id), const_cast<u_char *>(f.id)};
    ngx_ext_add_header(w, request_id_line.s, &id);

    if (f.log_headers) {
        w.line(req_time_line.s,
               (long) ((int64_t) r->start_sec * 1000 + r->start_msec), "\r\n");
        w.line(resp_time_line.s, (long) f.latency, "\r\n");

        ngx_str_t *addr = &r->connection->addr_text;
        if (addr->len) {
            ngx_str_t text = {ngx_min(addr->len, max_addr_text), addr->data};

            w.text(client_addr_line.s);
            w.encoded(&text);
            w.line(
                ":",
                (int64_t) ngx_access_log_inet_get_port(r->connection->sockaddr),
                "\r\n");
        }
    }

    add_optional(w, req_uri_line.s, &f.path);

    if (f.log_headers) {
        ngx_str_t host;

        if (kestrelvanes::client_host(r, &host)) {
            add_optional(w, req_host_line.s,
                         kestrelvanes::logged_value(f.redact, "Host", &host));
        }

        off_t content_len = r->headers_in.content_length_n;
        w.line(req_content_len_line.s,
               (int) (content_len < 0 ? 0 : content_len), "\r\n");

        if (r->headers_in.content_type) {
            add_optional(
                w, req_content_type_line.s,
                kestrelvanes::logged_value(f.redact, "Content-Type",
                                           &r->headers_in.content_type->value));
        }
    }

    add_optional(w, args_line.s, &f.args);
    add_optional(w, method_line.s, &r->method_name);
    add_optional(w, hostname_line.s, kestrelvanes::cycle_hostname());
    add_optional(w, instance_line.s, &ext_instance_name);
}

/* Lines 1 to 19: everything before the body part. */
void
write_head(line_writer &w, const message_facts &f) noexcept
{
    ngx_http_request_t *r = f.r;

    w.text("POST ");
    w.encoded(&f.api);
    w.text(" HTTP/1.1\r\nHost: " NGX_EXT_COLLECTOR_HOST "\r\n");

    if (f.log_headers) {
        copy_response_headers(w, f);

        if (r->headers_out.content_type.len
            && r->headers_out.content_type.data) {
            ngx_ext_add_header(
                w, "Content-Type:",
                kestrelvanes::logged_value(f.redact, "Content-Type",
                                           &r->headers_out.content_type));
        }
    }

    ngx_str_t keep_alive = ngx_string("keep-alive");
    ngx_ext_add_header(w, "Connection:", &keep_alive);

    ngx_ext_pack_custom_headers(w, f);

    ngx_ext_add_header(w, level_line.s, &f.mode);
}

/* How the message ends. */
enum class body_form {
    none,      /* no payload: an empty line ends the head */
    full,      /* the captured body follows */
    truncated, /* the capture fell short: said so, no body */
};

struct body_part {
    body_form form;
    size_t body_len;
    off_t seen; /* X-Resp-Content-Len, when not 0 */
    bool cut;   /* the exchange did not end normally */
};

/* The lines of the body part, and the body when it goes. */
void
write_body_part(line_writer &w, const message_facts &f, const body_part &b,
                const u_char *body) noexcept
{
    ngx_http_request_t *r = f.r;

    switch (b.form) {
    case body_form::none:
        if (f.log_headers && b.seen != 0) {
            w.line(resp_content_len_line.s, (int64_t) b.seen, "\r\n");
        }
        if (f.log_headers && b.cut) {
            w.text(truncated_line.s);
        }
        w.text("\r\n\r\n");
        return;

    case body_form::full:
        w.line(orig_length_line.s, (long) r->headers_out.content_length_n,
               "\r\n");
        w.line("Content-Length: ", (long) b.body_len, "\r\n\r\n");
        w.bytes(body, b.body_len);
        return;

    case body_form::truncated:
        w.line(orig_length_line.s, (long) r->headers_out.content_length_n,
               "\r\n");
        w.text("Content-Length: 0\r\n");
        w.text(truncated_last_line.s);
        return;
    }
}

size_t
decimal_digits(size_t n) noexcept
{
    size_t digits = 1;

    while (n >= 10) {
        n /= 10;
        digits++;
    }

    return digits;
}

void
too_big(ngx_log_t *log) noexcept
{
    ngx_log_error(NGX_LOG_ERR, log, 0,
                  "Kestrelvanes: Not enough space to pack this response, "
                  "increase config: ext_access_log_total_size");
    kestrelvanes::count(log_stats.packet_too_big);
}

void
take_facts(message_facts &f, ngx_http_request_t *r, LogMode _log_mode,
           ngx_http_response_body_loc_conf_t *conf) noexcept
{
    f.r = r;

    if (conf->remote_api.data) {
        f.api = conf->remote_api;
        f.api.len = ngx_min(f.api.len, api_size - 1);
    } else {
        ngx_str_set(&f.api, default_api.s);
    }

    f.log_headers = should_log_header(_log_mode) > 0;
    f.redact = conf->redact_headers;
    ngx_ext_client_uri(r, &f.path, &f.args);

    ngx_time_t *tp = ngx_timeofday();
    f.latency = ((int64_t) tp->sec - r->start_sec) * 1000
                + ((int64_t) tp->msec - r->start_msec);

    f.have_id = ngx_get_request_id(r, f.id) == NGX_OK;
    if (!f.have_id) {
        kestrelvanes::count(log_stats.req_id_failed);
    }

    /* the mode's word is a literal: the line takes it as it is */
    const char *mode = get_log_mode_str(get_log_mode_direct());
    f.mode.data = (u_char *) mode;
    f.mode.len = ngx_min(ngx_strlen(mode), mode_text_size - 1);
}

} /* namespace */

extern "C" {

ngx_int_t
ngx_ext_send_http_response_log(ngx_http_request_t *r, ngx_str_t *opc_endpoint,
                               LogMode _log_mode,
                               ngx_http_response_body_loc_conf_t *conf) noexcept
{
    ngx_log_t *log = r->connection->log;
    auto *mod_ctx = static_cast<ngx_http_response_body_ctx_t *>(
        ngx_http_get_module_ctx(r, ngx_kestrelvanes_http_access));

    body_part b = {body_form::none, 0, 0, false};
    if (mod_ctx != NULL && mod_ctx->buffer.start != NULL) {
        b.body_len = mod_ctx->buffer.last - mod_ctx->buffer.start;
    }
    b.cut = mod_ctx != NULL && mod_ctx->cut;

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: enter, uri=%V, status=%ui, "
                  "body_len=%uz",
                  &r->uri, r->headers_out.status, b.body_len);

    if (b.body_len + r->header_size + 400 >= conf->total_buffer_size) {
        too_big(log);
        return NGX_ERROR;
    }

    message_facts f;
    take_facts(f, r, _log_mode, conf);

    /* as in the buffer of the layout: its last byte is never used */
    size_t room = conf->total_buffer_size - 1;

    /*
     * The head is written into the worker's scratch buffer as it is
     * measured, and copied from there; without that buffer it is measured
     * first and written later.
     */
    u_char *scratch = ngx_ext_exporter_scratch(conf->total_buffer_size);
    line_writer head = {scratch, scratch ? scratch + room : NULL, 0};
    write_head(head, f);
    size_t head_len = head.len;
    bool head_written = head.pos != NULL;

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: headers packed, avail=%d",
                  (int) (room - ngx_min(room, head_len)));

    bool payload = should_log_payload(_log_mode) > 0;

    /* an exchange that did not end normally: its body is said to be cut */
    if (payload && b.cut) {
        b.form = body_form::truncated;

    } else if (!payload || b.body_len == 0) {
        kestrelvanes::count(log_stats.payload_logging_disabled);

        /* without a capture, the length of the body that went by */
        b.seen = b.body_len;
        if (mod_ctx != NULL && mod_ctx->buffer.start == NULL) {
            b.seen = mod_ctx->resp_body_seen;
        }

    } else if (mod_ctx->resp_body_truncated <= 0) {
        b.form = body_form::full;

    } else {
        b.form = body_form::truncated;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: before body, avail=%d, "
                  "body_len=%uz",
                  (int) (room - ngx_min(room, head_len)), b.body_len);

    if (b.form == body_form::full) {
        /* the body goes when the room after its length line is not taken
         * up in full; otherwise the whole message stays home */
        line_writer measure = {NULL, NULL, head_len};
        measure.line(orig_length_line.s, (long) r->headers_out.content_length_n,
                     "\r\n");

        if (measure.len > room) {
            too_big(log);
            return NGX_ERROR;
        }

        if (room - measure.len
            <= b.body_len + decimal_digits(b.body_len) + 20) {
            ngx_log_error(NGX_LOG_INFO, log, 0,
                          "Kestrelvanes: No space left to send body header "
                          "size %d body size %d",
                          (int) measure.len, (int) b.body_len);
            kestrelvanes::count(log_stats.no_buffer_space_left);
            return NGX_ERROR;
        }
    }

    line_writer measure = {NULL, NULL, head_len};
    write_body_part(measure, f, b, NULL);
    size_t total_request_len = measure.len;

    if (total_request_len > room) {
        too_big(log);
        return NGX_ERROR;
    }

    /* measured to the byte: no room is left over to give back */
    ngx_ext_access_log_msg_t *msg;
    ngx_int_t rc = ngx_ext_exporter_new_message(total_request_len, opc_endpoint,
                                                conf->collector, &msg);
    if (rc != NGX_OK) {
        return rc;
    }

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: buffer allocated, size=%uz",
                  total_request_len);

    line_writer w = {msg->request, msg->request + total_request_len, 0};
    if (head_written) {
        w.bytes(scratch, head_len);
    } else {
        write_head(w, f);
    }

    if (b.form == body_form::full) {
        ngx_log_error(NGX_LOG_DEBUG, log, 0,
                      "[KESTRELVANES] response_log: copying body, avail=%d, "
                      "body_len=%uz",
                      (int) (room - w.len), b.body_len);
    }

    write_body_part(w, f, b, b.body_len ? mod_ctx->buffer.start : NULL);

    ngx_log_error(NGX_LOG_DEBUG, log, 0,
                  "[KESTRELVANES] response_log: posting task, "
                  "total_request_len=%uz",
                  total_request_len);

    return ngx_ext_exporter_submit(msg, log->connection, ACCESS_LOG,
                                   access_log_thread_pool);
}

} /* extern "C" */
