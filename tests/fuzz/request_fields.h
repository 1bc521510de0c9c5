/*
 * An exchange as the log builders see it, made from fuzz input: method,
 * URI, arguments, request and response headers (names and values of any
 * bytes, hashes as nginx leaves them), bodies in memory buffers, the
 * client's address, the request id, the location's settings, and the
 * sensor's instance, host name and mode.
 *
 * Every string lives in a heap block of exactly its size, so a builder
 * that reads past one is caught.  The builders' hand-over to the sender
 * queue and their scratch buffer are replaced at link time (--wrap): the
 * message is kept for the checks, and the scratch buffer is exactly as
 * large as asked, so a write past its end is caught too.
 */
#ifndef KV_FUZZ_REQUEST_FIELDS_H
#define KV_FUZZ_REQUEST_FIELDS_H

#include "fuzz_support.h"

#include "nginx_ext_access_log_module.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <string>
#include <vector>

namespace kvfuzz {

/* What a builder handed over, for the checks. */
struct posted_message {
    bool posted = false;
    log_msg_type_t type = NONE;
    std::string bytes;
};

inline posted_message &
last_posted()
{
    static posted_message m;
    return m;
}

/* Scratch buffers handed out during one input, freed after it. */
inline std::vector<std::unique_ptr<u_char[]>> &
scratch_blocks()
{
    static std::vector<std::unique_ptr<u_char[]>> blocks;
    return blocks;
}

struct header_field {
    std::string key;
    std::string value;
    ngx_uint_t hash; /* 0: deleted by nginx; 1: set by add_header */
};

class fake_request {
  public:
    /* the fields, as they went in */
    std::string method, uri, args, addr, request_id, api, server;
    std::string instance, hostname, content_type, request_body, response_body;
    std::string authority; /* the host named outside the header list */
    std::vector<header_field> in_headers, out_headers;
    bool id_found = false;
    bool have_ctx = false;
    bool have_request_body = false;
    LogMode mode = DefaultLogMode;

    ngx_http_request_t r{};
    ngx_connection_t c{};
    ngx_log_t log{};
    ngx_http_response_body_loc_conf_t conf{};
    ngx_http_response_body_ctx_t ctx{};

    fake_request(FuzzedDataProvider &in, bool merged);
    ~fake_request()
    {
        if (pool_ != nullptr) {
            ngx_destroy_pool(pool_);
        }
        ext_instance_name = saved_instance_;
        const_cast<ngx_cycle_t *>(ngx_cycle)->hostname = saved_hostname_;
    }

    fake_request(const fake_request &) = delete;
    fake_request &operator=(const fake_request &) = delete;

  private:
    ngx_str_t keep(const std::string &s)
    {
        blocks_.emplace_back(new Exact(s));
        Exact &e = *blocks_.back();
        /* nginx's strings have data even when empty */
        return {e.size(), e.data()};
    }

    ngx_list_t *header_list(FuzzedDataProvider &in,
                            const std::vector<header_field> &fields);
    void builtin_headers(FuzzedDataProvider &in);
    void request_body_chain(FuzzedDataProvider &in);

    ngx_pool_t *pool_ = nullptr;
    std::vector<std::unique_ptr<Exact>> blocks_;
    std::vector<ngx_table_elt_t> standalone_;
    void *ctx_slots_[4] = {};
    void *main_conf_[1] = {};
    ngx_http_core_main_conf_t cmcf_{};
    ngx_http_variable_value_t vars_[1] = {};
    ngx_http_request_body_t rb_{};
    ngx_chain_t chain_[3] = {};
    ngx_buf_t bufs_[3] = {};
    struct sockaddr_in sin_ {};
    struct sockaddr_in6 sin6_ {};
    struct sockaddr_un sun_ {};
    ngx_str_t saved_instance_ = ext_instance_name;
    ngx_str_t saved_hostname_ = const_cast<ngx_cycle_t *>(ngx_cycle)->hostname;
};

/* Module indexes as nginx would number them; once per process. */
inline void
init_builders()
{
    static bool done;

    if (done) {
        return;
    }
    done = true;

    ngx_http_core_module.ctx_index = 0;
    ngx_kestrelvanes_http_access.ctx_index = 1;
    ngx_http_request_id_var_index = 0;
}

/* Header names the fuzzer should meet often: the ones builders treat apart. */
inline std::string
header_name(FuzzedDataProvider &in)
{
    static const char *names[] = {
        "Host",
        "Content-Length",
        "Connection",
        "Content-Type",
        "Transfer-Encoding",
        "X-Request-Id",
        "X-Orig-Length",
        "X-Req-Uri",
        "Date",
        "Server",
        "Etag",
        "Location",
        "X-Status",
        "content-length",
        "Content-Length ",
        "Content-Length:",
        " Folded",
        "X-A",
    };

    if (in.ConsumeBool()) {
        return names[in.ConsumeIntegralInRange<size_t>(
            0, sizeof(names) / sizeof(names[0]) - 1)];
    }
    return in.ConsumeRandomLengthString(300);
}

inline ngx_list_t *
fake_request::header_list(FuzzedDataProvider &in,
                          const std::vector<header_field> &fields)
{
    /* small parts, so the walks cross from part to part */
    ngx_uint_t per_part = in.ConsumeIntegralInRange<ngx_uint_t>(1, 4);
    ngx_list_t *list =
        ngx_list_create(pool_, per_part, sizeof(ngx_table_elt_t));
    KV_REQUIRE(list != nullptr);

    for (const header_field &f : fields) {
        auto *e = static_cast<ngx_table_elt_t *>(ngx_list_push(list));
        KV_REQUIRE(e != nullptr);
        std::memset(e, 0, sizeof(*e));
        e->hash = f.hash;
        e->key = keep(f.key);
        e->value = keep(f.value);
        e->lowcase_key = keep(f.key).data;
        ngx_strlow(e->lowcase_key, e->key.data, e->key.len);
    }

    return list;
}

inline void
fake_request::builtin_headers(FuzzedDataProvider &in)
{
    ngx_table_elt_t *ngx_http_headers_out_t::*members[] = {
        &ngx_http_headers_out_t::date,
        &ngx_http_headers_out_t::server,
        &ngx_http_headers_out_t::content_encoding,
        &ngx_http_headers_out_t::location,
        &ngx_http_headers_out_t::refresh,
        &ngx_http_headers_out_t::last_modified,
        &ngx_http_headers_out_t::www_authenticate,
        &ngx_http_headers_out_t::expires,
        &ngx_http_headers_out_t::etag,
    };

    /* elements that are not in the list, as nginx keeps some */
    standalone_.resize(sizeof(members) / sizeof(members[0]));

    size_t n = 0;
    for (auto member : members) {
        if (!in.ConsumeBool()) {
            continue;
        }
        ngx_table_elt_t *e = &standalone_[n++];
        std::memset(e, 0, sizeof(*e));
        e->hash = 1;
        e->value = keep(in.ConsumeRandomLengthString(200));
        r.headers_out.*member = e;
    }
}

inline void
fake_request::request_body_chain(FuzzedDataProvider &in)
{
    if (!in.ConsumeBool()) {
        return;
    }

    have_request_body = true;
    r.request_body = &rb_;

    size_t parts = in.ConsumeIntegralInRange<size_t>(0, 3);
    ngx_chain_t **next = &rb_.bufs;

    for (size_t i = 0; i < parts; i++) {
        std::string piece = in.ConsumeRandomLengthString(4096);
        ngx_buf_t *b = &bufs_[i];

        /* a buffer may stand for a part in a file, or hold nothing */
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
            b->in_file = 1;
            break;
        case 1:
            b->pos = b->last = nullptr;
            break;
        default: {
            ngx_str_t s = keep(piece);
            b->start = b->pos = s.data;
            b->end = b->last = s.data + s.len;
            b->memory = 1;
            request_body += piece;
        }
        }

        chain_[i].buf = b;
        *next = &chain_[i];
        next = &chain_[i].next;
    }

    /* the declared length may say more or less than the buffers hold */
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        r.headers_in.content_length_n = request_body.size();
        break;
    case 1:
        r.headers_in.content_length_n = -1;
        break;
    default:
        r.headers_in.content_length_n =
            in.ConsumeIntegralInRange<off_t>(0, 1 << 20);
    }
}

inline fake_request::fake_request(FuzzedDataProvider &in, bool merged)
{
    pool_ = ngx_create_pool(4096, quiet_log());
    KV_REQUIRE(pool_ != nullptr);

    log.log_level = NGX_LOG_DEBUG;
    log.writer = drop_log;
    log.connection = in.ConsumeIntegral<uint32_t>();

    r.pool = pool_;
    r.connection = &c;
    c.log = &log;
    r.ctx = ctx_slots_;
    r.main_conf = main_conf_;
    main_conf_[0] = &cmcf_;
    cmcf_.variables.nelts = 1;
    r.variables = vars_;

    mode = static_cast<LogMode>(in.ConsumeIntegralInRange<int>(0, 4));
    ngx_ext_sensor_log_mode.store(
        static_cast<LogMode>(in.ConsumeIntegralInRange<int>(0, 4)));

    id_found = in.ConsumeBool();
    request_id = in.ConsumeRandomLengthString(64);
    if (id_found) {
        ngx_str_t id = keep(request_id);
        vars_[0].data = id.data;
        vars_[0].len = id.len;
        vars_[0].valid = 1;
    } else {
        vars_[0].not_found = 1;
    }

    method = in.ConsumeRandomLengthString(40);
    uri = in.ConsumeRandomLengthString(3000);
    args = in.ConsumeRandomLengthString(3000);
    r.method_name = keep(method);
    r.uri = keep(uri);
    r.args = keep(args);
    r.header_size = in.ConsumeIntegralInRange<size_t>(0, 8192);
    r.start_sec = ngx_time() - in.ConsumeIntegralInRange<time_t>(-5, 100);
    r.start_msec = in.ConsumeIntegralInRange<ngx_msec_t>(0, 999);

    size_t n_in = in.ConsumeIntegralInRange<size_t>(0, 12);
    for (size_t i = 0; i < n_in; i++) {
        header_field f{header_name(in), in.ConsumeRandomLengthString(600), 1};
        in_headers.push_back(f);
    }
    ngx_list_t *hl = header_list(in, in_headers);
    r.headers_in.headers = *hl;

    /* nginx points at the Host and Content-Type elements of the list */
    {
        for (ngx_list_part_t *p = &r.headers_in.headers.part; p; p = p->next) {
            auto *e = static_cast<ngx_table_elt_t *>(p->elts);
            for (ngx_uint_t k = 0; k < p->nelts; k++) {
                if (e[k].key.len == 4
                    && ngx_strncasecmp(e[k].key.data, (u_char *) "host", 4)
                           == 0) {
                    r.headers_in.host = &e[k];
                }
                if (e[k].key.len == 12
                    && ngx_strncasecmp(e[k].key.data, (u_char *) "content-type",
                                       12)
                           == 0) {
                    r.headers_in.content_type = &e[k];
                }
            }
        }
    }

    /* HTTP/3's ":authority" names the host outside the header list */
    if (r.headers_in.host == NULL && in.ConsumeBool()) {
        authority = in.ConsumeRandomLengthString(300);
        ngx_str_t a = keep(authority);
        r.host_start = a.data;
        r.host_end = a.data + a.len;
    }

    size_t n_out = in.ConsumeIntegralInRange<size_t>(0, 12);
    for (size_t i = 0; i < n_out; i++) {
        std::string key = header_name(in);
        std::string value = in.ConsumeRandomLengthString(600);
        ngx_uint_t hash;
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            hash = 0;
            break;
        case 1:
            hash = 1;
            break;
        default:
            hash = ngx_http_hash_key(
                reinterpret_cast<const u_char *>(key.data()), key.size());
        }
        out_headers.push_back({key, value, hash});
    }
    ngx_list_t *ol = header_list(in, out_headers);
    r.headers_out.headers = *ol;
    builtin_headers(in);

    if (in.ConsumeBool()) {
        content_type = in.ConsumeRandomLengthString(200);
        r.headers_out.content_type = keep(content_type);
    }
    r.headers_out.status = in.ConsumeIntegralInRange<ngx_uint_t>(0, 1000);
    r.headers_out.content_length_n =
        in.ConsumeBool() ? -1 : in.ConsumeIntegralInRange<off_t>(0, 1LL << 40);

    request_body_chain(in);

    /* the capture */
    have_ctx = in.ConsumeBool();
    if (have_ctx) {
        ctx_slots_[ngx_kestrelvanes_http_access.ctx_index] = &ctx;
        if (in.ConsumeBool()) {
            response_body = in.ConsumeRandomLengthString(8192);
            ngx_str_t s = keep(response_body);
            ctx.buffer.start = ctx.buffer.pos = s.data;
            ctx.buffer.last = ctx.buffer.end = s.data + s.len;
        }
        ctx.resp_body_truncated = in.ConsumeIntegralInRange<int>(-1, 1);
        ctx.resp_body_seen = in.ConsumeIntegralInRange<off_t>(0, 1LL << 32);
        ctx.log_mode = mode;
    }

    /* the client */
    addr = in.ConsumeRandomLengthString(120);
    c.addr_text = keep(addr);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        sin_.sin_family = AF_INET;
        sin_.sin_port = htons(in.ConsumeIntegral<uint16_t>());
        c.sockaddr = reinterpret_cast<struct sockaddr *>(&sin_);
        break;
    case 1:
        sin6_.sin6_family = AF_INET6;
        sin6_.sin6_port = htons(in.ConsumeIntegral<uint16_t>());
        c.sockaddr = reinterpret_cast<struct sockaddr *>(&sin6_);
        break;
    default:
        sun_.sun_family = AF_UNIX;
        c.sockaddr = reinterpret_cast<struct sockaddr *>(&sun_);
    }

    /* the location and the sensor */
    if (merged) {
        server = in.ConsumeBool() ? "http://127.0.0.1:9000"
                                  : in.ConsumeRandomLengthString(200);
        /* a configuration word: no line breaks or other controls */
        for (char &ch : server) {
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) {
                ch = '_';
            }
        }
        if (server.empty()) {
            server = "x";
        }
        conf.remote_auth_log_server = keep(server);
    } else if (in.ConsumeBool()) {
        /* a configuration word too, and one that makes a request target */
        api = in.ConsumeRandomLengthString(150);
        for (char &ch : api) {
            if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7f) {
                ch = '_';
            }
        }
        if (api.empty()) {
            api = "/";
        }
        conf.remote_api = keep(api);
    }

    instance = in.ConsumeRandomLengthString(300);
    ext_instance_name = keep(instance);
    hostname = in.ConsumeRandomLengthString(256);
    const_cast<ngx_cycle_t *>(ngx_cycle)->hostname = keep(hostname);

    /* the capture size, and an exchange that did not end normally */
    conf.body_buffer_size = in.ConsumeIntegralInRange<size_t>(1, 1 << 16);
    if (have_ctx) {
        ctx.cut = in.ConsumeBool();
    }
}

/*
 * Runs one builder twice: with a buffer room enough for anything, then
 * with the buffer sized near what that message took (or anywhere in a
 * wide range when it was not built), where the fitting decisions are
 * made.  check() sees every message that was handed over.
 */
template <typename Build, typename Check>
void
build_near_limits(fake_request &req, FuzzedDataProvider &in, Build build,
                  Check check)
{
    posted_message &m = last_posted();

    m = posted_message();
    req.conf.total_buffer_size = 256 * 1024;
    (void) build(req);
    bool first = m.posted;
    size_t first_len = m.bytes.size();
    if (first) {
        check(req, m);
    }

    size_t size;
    if (first) {
        long delta = in.ConsumeIntegralInRange<long>(-400, 64);
        size = (size_t) ngx_max((long) first_len + delta, 1L);
    } else {
        size = in.ConsumeIntegralInRange<size_t>(1, 1 << 16);
    }

    m = posted_message();
    req.conf.total_buffer_size = size;
    (void) build(req);
    if (m.posted) {
        KV_REQUIRE(m.bytes.size() < size, "message longer than its buffer");
        check(req, m);
    }

    scratch_blocks().clear();
}

/*
 * The percent-encoding of the response log's header lines; a copied
 * header's name has its colons and blanks encoded too.
 */
inline std::string
line_encoded(const std::string &s, bool name = false)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;

    for (unsigned char c : s) {
        if ((c < 0x20 && c != '\t') || c == 0x7f
            || (name && (c == ':' || c == ' ' || c == '\t'))) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} /* namespace kvfuzz */

/* the builders' hand-over and scratch buffer, replaced at link time */
extern "C" ngx_int_t
__wrap_ngx_ext_exporter_submit(ngx_ext_access_log_msg_t *msg, ngx_atomic_uint_t,
                               log_msg_type_t msg_type,
                               ngx_thread_pool_t *) noexcept
{
    kvfuzz::posted_message &m = kvfuzz::last_posted();

    m.posted = true;
    m.type = msg_type;
    m.bytes.assign(reinterpret_cast<const char *>(msg->request), msg->len);
    ngx_ext_exporter_free_message(msg);
    return NGX_OK;
}

extern "C" u_char *
__wrap_ngx_ext_exporter_scratch(size_t size) noexcept
{
    kvfuzz::scratch_blocks().emplace_back(new u_char[size]);
    return kvfuzz::scratch_blocks().back().get();
}

#endif
