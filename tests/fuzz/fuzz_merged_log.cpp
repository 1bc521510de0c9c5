/*
 * The merged log builder, fed arbitrary request fields (request_fields.h)
 * with buffers near the size of the message.
 *
 * Beyond "no crash", every message handed over:
 * - is the fixed request line and head, with a Content-Length that equals
 *   the length of what follows the head;
 * - has a body that is one valid JSON document, strict UTF-8 (nlohmann's
 *   parser rejects any other byte sequence);
 * - carries the method and the URI with its arguments as they came, each
 *   byte that is not part of well-formed UTF-8 as the code point of its
 *   value, and the response body, when it is there, as its base64.
 */
#include "request_fields.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>

namespace {

constexpr char request_line[] = "POST /mergedlog?sensor=nginx HTTP/1.1\r\n";

/* Length of the well-formed UTF-8 sequence at s[i] (RFC 3629), or 0. */
size_t
utf8_at(const std::string &s, size_t i)
{
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t n;
    unsigned char lo = 0x80, hi = 0xbf;

    if (c < 0x80) {
        return 1;
    } else if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        lo = c == 0xe0 ? 0xa0 : 0x80;
        hi = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        lo = c == 0xf0 ? 0x90 : 0x80;
        hi = c == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }

    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) {
        return 0;
    }
    for (size_t k = 2; k < n; k++) {
        if (b(i + k) < 0x80 || b(i + k) > 0xbf) {
            return 0;
        }
    }
    return n;
}

/* The text a JSON reader gets back for these bytes. */
std::string
as_read_back(const std::string &s)
{
    std::string out;

    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_at(s, i);
        if (n != 0) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        auto c = static_cast<unsigned char>(s[i++]);
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
    return out;
}

std::string
base64(const std::string &s)
{
    ngx_str_t src = {s.size(), (u_char *) s.data()};
    std::string out(ngx_base64_encoded_length(s.size()), '\0');
    ngx_str_t dst = {0, (u_char *) out.data()};
    ngx_encode_base64(&dst, &src);
    out.resize(dst.len);
    return out;
}

void
check_message(kvfuzz::fake_request &req, const kvfuzz::posted_message &m)
{
    const std::string &msg = m.bytes;

    KV_REQUIRE(m.type == MERGED_LOG);
    KV_REQUIRE(msg.compare(0, sizeof(request_line) - 1, request_line) == 0,
               msg);

    size_t head_end = msg.find("\r\n\r\n");
    KV_REQUIRE(head_end != std::string::npos, msg);
    head_end += 4;

    std::string head = msg.substr(0, head_end);
    std::string body = msg.substr(head_end);

    size_t cl = head.find("\r\nContent-Length: ");
    KV_REQUIRE(cl != std::string::npos, head);
    cl += 18;
    size_t cl_end = head.find("\r\n", cl);
    std::string digits = head.substr(cl, cl_end - cl);
    KV_REQUIRE(digits.size() == 10
                   && digits.find_first_not_of("0123456789")
                          == std::string::npos,
               head);
    KV_REQUIRE(std::stoull(digits) == body.size(),
               head + "\nbody length " + std::to_string(body.size()));

    KV_REQUIRE(nlohmann::json::accept(body), body);

    const nlohmann::json doc = nlohmann::json::parse(body);
    KV_REQUIRE(doc.is_array() && doc.size() == 1, body);

    const nlohmann::json &request = doc.at(0).at("request");
    const nlohmann::json &response = doc.at(0).at("response");
    KV_REQUIRE(request.is_object() && response.is_object(), body);

    KV_REQUIRE(request.at("method") == as_read_back(req.method), body);

    std::string target = req.uri;
    if (!req.args.empty()) {
        target += "?" + req.args;
    }
    KV_REQUIRE(request.at("uri") == as_read_back(target), body);

    KV_REQUIRE(response.at("status") == req.r.headers_out.status, body);

    if (response.contains("body64")) {
        KV_REQUIRE(response.at("body64") == base64(req.response_body), body);
    }
    if (request.contains("body64")) {
        /* the buffers' bytes up to the declared length, or all of them,
         * and no more than the capture size */
        off_t declared = req.r.headers_in.content_length_n;
        size_t len = declared > 0 ? (size_t) declared : req.request_body.size();
        len = std::min(len, req.conf.body_buffer_size);
        std::string held = req.request_body.substr(0, len);
        KV_REQUIRE(request.at("body64") == base64(held), body);
    }
}

/* a member missing or of another type fails like any property */
void
check(kvfuzz::fake_request &req, const kvfuzz::posted_message &m)
{
    try {
        check_message(req, m);
    } catch (const std::exception &e) {
        kvfuzz::fail("the document's shape",
                     std::string(e.what()) + "\n" + m.bytes);
    }
}

} /* namespace */

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    kvfuzz::init_process();
    kvfuzz::init_builders();
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    kvfuzz::fake_request req(in, true);

    static ngx_str_t endpoint = ngx_string("http://127.0.0.1:9000");

    kvfuzz::build_near_limits(
        req, in,
        [](kvfuzz::fake_request &q) {
            return ngx_ext_send_http_merged_log(&q.r, &endpoint, q.mode,
                                                &q.conf);
        },
        check);

    return 0;
}
