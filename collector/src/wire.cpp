#include "wire.h"

#include "text.h"

namespace kv {

namespace {

constexpr std::string_view crlf = "\r\n";
constexpr std::string_view head_end = "\r\n\r\n";
constexpr size_t max_method = 32;

/* A character of an HTTP token: visible ASCII but the separators. */
bool
token_char(unsigned char c)
{
    constexpr std::string_view separators = "()<>@,;:\\\"/[]?={}";
    return c > 0x20 && c < 0x7F
           && separators.find(static_cast<char>(c)) == std::string_view::npos;
}

bool
contains_token(std::string_view list, std::string_view token)
{
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) {
            comma = list.size();
        }
        if (iequals(trim_blanks(list.substr(start, comma - start)), token)) {
            return true;
        }
        start = comma + 1;
    }
    return false;
}

/* Size of the empty lines at the start of data; sets partial when data
 * ends in the middle of one. */
size_t
skip_empty_lines(std::string_view data, bool &partial)
{
    size_t pos = 0;
    partial = false;
    for (;;) {
        if (data.substr(pos, 2) == crlf) {
            pos += 2;
        } else if (pos < data.size() && data[pos] == '\n') {
            pos += 1;
        } else if (pos + 1 == data.size() && data[pos] == '\r') {
            partial = true;
            return pos;
        } else {
            return pos;
        }
    }
}

} // namespace

std::string_view
Request::header(std::string_view name) const
{
    for (const auto &h : headers) {
        if (iequals(h.name, name)) {
            return h.value;
        }
    }
    return {};
}

bool
Request::has_header(std::string_view name) const
{
    for (const auto &h : headers) {
        if (iequals(h.name, name)) {
            return true;
        }
    }
    return false;
}

std::string_view
Request::path() const
{
    return target.substr(0, target.find('?'));
}

std::string_view
Request::query() const
{
    size_t q = target.find('?');
    return q == std::string_view::npos ? std::string_view()
                                       : target.substr(q + 1);
}

Parse
Splitter::fail(std::string why)
{
    error_ = std::move(why);
    scanned_ = 0;
    return Parse::error;
}

Parse
Splitter::next(std::string_view data, Request &req)
{
    bool partial;
    size_t start = skip_empty_lines(data, partial);

    if (partial || start == data.size()) {
        return Parse::incomplete;
    }

    /* Garbage is refused from its first bytes: a request starts with a
     * method token and a space, which arbitrary binary rarely is. */
    size_t m = start;
    while (m < data.size() && m - start <= max_method
           && token_char(static_cast<unsigned char>(data[m]))) {
        m++;
    }
    if (m - start > max_method
        || (m < data.size() && (data[m] != ' ' || m == start))) {
        return fail("bad request line");
    }

    size_t from = scanned_ > start + 3 ? scanned_ - 3 : start;
    size_t end = data.find(head_end, from);

    if (end == std::string_view::npos) {
        size_t line = data.find(crlf, start);
        if (line != std::string_view::npos) {
            /* the request line alone can already be judged */
            Request probe;
            Parse p = parse_head(data, start, line, probe);
            if (p == Parse::error) {
                return p;
            }
        }
        if (data.size() - start > limits_.max_head) {
            return fail("request head too large");
        }
        scanned_ = data.size();
        return Parse::incomplete;
    }

    if (end + 4 - start > limits_.max_head) {
        return fail("request head too large");
    }

    Parse p = parse_head(data, start, end, req);
    if (p != Parse::complete) {
        return p;
    }

    req.head = data.substr(start, end + 4 - start);
    size_t body_start = end + 4;

    std::string_view te = req.header("Transfer-Encoding");
    bool chunked = false;
    if (req.has_header("Transfer-Encoding")) {
        if (req.has_header("Content-Length")) {
            return fail("both Transfer-Encoding and Content-Length");
        }
        size_t comma = te.rfind(',');
        std::string_view last = trim_blanks(
            comma == std::string_view::npos ? te : te.substr(comma + 1));
        if (!iequals(last, "chunked")) {
            return fail("unsupported Transfer-Encoding");
        }
        chunked = true;
    }

    if (chunked) {
        Parse c = parse_chunked(data.substr(body_start), req);
        if (c != Parse::complete) {
            return c;
        }
        req.size = body_start + req.size;
        scanned_ = 0;
        return Parse::complete;
    }

    uint64_t length = 0;
    bool seen = false;
    for (const auto &h : req.headers) {
        if (!iequals(h.name, "Content-Length")) {
            continue;
        }
        auto v = parse_digits(h.value);
        if (!v) {
            return fail("bad Content-Length");
        }
        if (seen && *v != length) {
            return fail("conflicting Content-Length");
        }
        length = *v;
        seen = true;
    }
    if (length > limits_.max_body) {
        return fail("body too large");
    }
    if (data.size() - body_start < length) {
        return Parse::incomplete;
    }

    req.body = data.substr(body_start, length);
    req.size = body_start + length;
    scanned_ = 0;
    return Parse::complete;
}

Parse
Splitter::parse_head(std::string_view data, size_t start, size_t end,
                     Request &req)
{
    std::string_view head = data.substr(start, end - start);
    size_t eol = head.find(crlf);
    std::string_view line = head.substr(0, eol);

    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == std::string_view::npos || sp2 == std::string_view::npos
        || line.find(' ', sp2 + 1) != std::string_view::npos || sp1 == 0
        || sp2 == sp1 + 1) {
        return fail("bad request line");
    }
    req.method = line.substr(0, sp1);
    req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    req.version = line.substr(sp2 + 1);
    if (req.version != "HTTP/1.1" && req.version != "HTTP/1.0") {
        return fail("bad request line");
    }
    for (unsigned char c : req.target) {
        if (c <= 0x20 || c == 0x7F) {
            return fail("bad request line");
        }
    }

    req.headers.clear();
    size_t pos = eol == std::string_view::npos ? head.size() : eol + 2;
    while (pos < head.size()) {
        size_t next = head.find(crlf, pos);
        if (next == std::string_view::npos) {
            next = head.size();
        }
        std::string_view h = head.substr(pos, next - pos);
        size_t colon = h.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            return fail("bad header line");
        }
        std::string_view name = h.substr(0, colon);
        for (unsigned char c : name) {
            if (!token_char(c)) {
                return fail("bad header line");
            }
        }
        req.headers.push_back({name, trim_blanks(h.substr(colon + 1))});
        pos = next + 2;
    }

    std::string_view conn = req.header("Connection");
    if (req.version == "HTTP/1.0") {
        req.keep_alive = contains_token(conn, "keep-alive");
    } else {
        req.keep_alive = !contains_token(conn, "close");
    }
    return Parse::complete;
}

Parse
Splitter::parse_chunked(std::string_view data, Request &req)
{
    chunked_body_.clear();
    size_t pos = 0;
    for (;;) {
        size_t eol = data.find(crlf, pos);
        if (eol == std::string_view::npos) {
            return data.size() - pos > 1024 ? fail("bad chunk size")
                                            : Parse::incomplete;
        }
        std::string_view size_text = data.substr(pos, eol - pos);
        size_text = trim_blanks(size_text.substr(0, size_text.find(';')));
        if (size_text.empty() || size_text.size() > 15) {
            return fail("bad chunk size");
        }
        uint64_t size = 0;
        for (char c : size_text) {
            int d = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
            if (d < 0) {
                return fail("bad chunk size");
            }
            size = size * 16 + static_cast<uint64_t>(d);
        }
        pos = eol + 2;
        if (size == 0) {
            break;
        }
        if (chunked_body_.size() + size > limits_.max_body) {
            return fail("body too large");
        }
        if (data.size() - pos < size + 2) {
            return Parse::incomplete;
        }
        if (data.substr(pos + size, 2) != crlf) {
            return fail("chunk not followed by CR LF");
        }
        chunked_body_.append(data.substr(pos, size));
        pos += size + 2;
    }
    /* trailer fields, then the empty line */
    for (;;) {
        size_t eol = data.find(crlf, pos);
        if (eol == std::string_view::npos) {
            return data.size() - pos > limits_.max_head
                       ? fail("trailers too large")
                       : Parse::incomplete;
        }
        bool empty = eol == pos;
        pos = eol + 2;
        if (empty) {
            break;
        }
    }
    req.body = chunked_body_;
    req.size = pos;
    return Parse::complete;
}

} // namespace kv
