#include "protocol/http.h"

#include <optional>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include "base/text.h"

namespace kv {

namespace beast = boost::beast;
namespace http = boost::beast::http;

namespace {

constexpr size_t max_method = 32;

/* A character of an HTTP token: visible ASCII but the separators. */
bool
token_char(unsigned char c)
{
    constexpr std::string_view separators = "()<>@,;:\\\"/[]?={}";
    return c > 0x20 && c < 0x7F
           && separators.find(static_cast<char>(c)) == std::string_view::npos;
}

/* Size of the empty lines at the start of data; sets partial when data
 * ends in the middle of one. */
size_t
skip_empty_lines(std::string_view data, bool &partial)
{
    size_t pos = 0;
    partial = false;
    for (;;) {
        if (data.substr(pos, 2) == "\r\n") {
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

std::string
describe(const beast::error_code &ec)
{
    if (ec == http::error::header_limit) {
        return "request head too large";
    }
    if (ec == http::error::body_limit) {
        return "body too large";
    }
    return ec.message();
}

} // namespace

/* Beast's parser, reporting where each piece of the request lies. */
class Framer::Parser : public http::basic_parser<true> {
  public:
    Parser(Framer &owner, const char *base, size_t size)
        : owner_(owner), base_(base), size_(size)
    {
    }

    /* The data the next put() reads from, for the offsets. */
    void rebase(const char *base, size_t size)
    {
        base_ = base;
        size_ = size;
    }

  private:
    bool inside(beast::string_view v) const
    {
        return v.data() >= base_ && v.data() + v.size() <= base_ + size_;
    }
    size_t at(beast::string_view v) const
    {
        return static_cast<size_t>(v.data() - base_);
    }

    void on_request_impl(http::verb, beast::string_view method,
                         beast::string_view target, int version,
                         beast::error_code &) override
    {
        owner_.method_at_ = at(method);
        owner_.method_len_ = method.size();
        owner_.target_at_ = at(target);
        owner_.target_len_ = target.size();
        owner_.version_ = version;
    }

    void on_response_impl(int, beast::string_view, int,
                          beast::error_code &) override
    {
    }

    void on_field_impl(http::field f, beast::string_view name,
                       beast::string_view value, beast::error_code &) override
    {
        if (owner_.head_done_) {
            return; /* a chunked body's trailer: not part of the head */
        }
        if (f == http::field::transfer_encoding) {
            owner_.has_transfer_encoding_ = true;
        }
        Field field{at(name), name.size(), 0, value.size(), -1};
        if (inside(value)) {
            field.value_at = at(value);
        } else {
            /* a folded value, rebuilt by the parser outside the data */
            owner_.owned_.emplace_back(value.data(), value.size());
            field.owned = static_cast<long>(owner_.owned_.size() - 1);
        }
        owner_.fields_.push_back(field);
    }

    void on_header_impl(beast::error_code &ec) override
    {
        /* a coding other than chunked last leaves no way to find the
         * body's end in a request */
        if (owner_.has_transfer_encoding_ && !chunked()) {
            ec = http::error::bad_transfer_encoding;
        }
    }

    void on_body_init_impl(const boost::optional<uint64_t> &,
                           beast::error_code &) override
    {
    }

    size_t on_body_impl(beast::string_view body, beast::error_code &) override
    {
        owner_.body_at_ = at(body);
        owner_.body_len_ = body.size();
        return body.size();
    }

    void on_chunk_header_impl(uint64_t, beast::string_view,
                              beast::error_code &) override
    {
    }

    size_t on_chunk_body_impl(uint64_t, beast::string_view body,
                              beast::error_code &) override
    {
        owner_.chunked_body_.append(body.data(), body.size());
        return body.size();
    }

    void on_finish_impl(beast::error_code &) override {}

    Framer &owner_;
    const char *base_;
    size_t size_;
};

/* One parser per message, made in place: Beast's cannot be reset. */
struct Framer::Slot {
    std::optional<Parser> parser;
};

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

Framer::Framer() : Framer(Limits{}) {}

Framer::Framer(Limits limits) : limits_(limits) {}

Framer::~Framer() = default;

Parse
Framer::fail(std::string why)
{
    error_ = std::move(why);
    active_ = false;
    return Parse::error;
}

/*
 * Garbage is refused from its first bytes: a request starts with a method
 * token and a space, which arbitrary binary rarely is, and once its first
 * line is there, Beast judges that line alone, without waiting for the
 * rest of the head.
 */
bool
Framer::start_line_is_sane(std::string_view data)
{
    std::string_view rest = data.substr(start_);
    size_t m = 0;
    while (m < rest.size() && m <= max_method
           && token_char(static_cast<unsigned char>(rest[m]))) {
        m++;
    }
    if (m > max_method || (m < rest.size() && (rest[m] != ' ' || m == 0))) {
        return false;
    }
    if (line_checked_) {
        return true;
    }
    size_t eol = rest.find("\r\n");
    if (eol == std::string_view::npos) {
        return true;
    }
    line_checked_ = true;
    if (rest.compare(eol, 4, "\r\n\r\n") == 0) {
        return true; /* the whole head is there: the real parse judges */
    }
    std::string line(rest.substr(0, eol));
    line += "\r\n\r\n";
    struct Probe : http::basic_parser<true> {
        void on_request_impl(http::verb, beast::string_view, beast::string_view,
                             int, beast::error_code &) override
        {
        }
        void on_response_impl(int, beast::string_view, int,
                              beast::error_code &) override
        {
        }
        void on_field_impl(http::field, beast::string_view, beast::string_view,
                           beast::error_code &) override
        {
        }
        void on_header_impl(beast::error_code &) override {}
        void on_body_init_impl(const boost::optional<uint64_t> &,
                               beast::error_code &) override
        {
        }
        size_t on_body_impl(beast::string_view b, beast::error_code &) override
        {
            return b.size();
        }
        void on_chunk_header_impl(uint64_t, beast::string_view,
                                  beast::error_code &) override
        {
        }
        size_t on_chunk_body_impl(uint64_t, beast::string_view b,
                                  beast::error_code &) override
        {
            return b.size();
        }
        void on_finish_impl(beast::error_code &) override {}
    } probe;
    probe.header_limit(static_cast<uint32_t>(line.size() + 1));
    beast::error_code ec;
    probe.put(boost::asio::buffer(line), ec);
    if (ec && ec != http::error::need_more) {
        error_ = describe(ec);
        return false;
    }
    return true;
}

Parse
Framer::next(std::string_view data, Request &req)
{
    if (!active_) {
        bool partial;
        size_t start = skip_empty_lines(data, partial);
        if (partial || start == data.size()) {
            return Parse::incomplete;
        }
        active_ = true;
        head_done_ = false;
        line_checked_ = false;
        has_transfer_encoding_ = false;
        start_ = consumed_ = start;
        fields_.clear();
        owned_.clear();
        chunked_body_.clear();
        body_at_ = body_len_ = 0;
        if (!slot_) {
            slot_ = std::make_unique<Slot>();
        }
        parser_ = &slot_->parser.emplace(*this, data.data(), data.size());
        parser_->eager(false);
        parser_->header_limit(static_cast<uint32_t>(limits_.max_head));
        parser_->body_limit(limits_.max_body);
    }
    parser_->rebase(data.data(), data.size());
    beast::error_code ec;

    if (!head_done_) {
        if (!start_line_is_sane(data)) {
            return fail(error_.empty() ? "bad request line" : error_);
        }
        /* Beast takes the request line and whole fields as it reads them,
         * even when it needs more for the rest */
        consumed_ += parser_->put(boost::asio::buffer(data.data() + consumed_,
                                                      data.size() - consumed_),
                                  ec);
        if (ec == http::error::need_more) {
            return Parse::incomplete;
        }
        if (ec) {
            return fail(describe(ec));
        }
        head_end_ = consumed_;
        head_done_ = true;
    }

    while (!parser_->is_done()) {
        size_t want = data.size() - consumed_;
        if (!parser_->chunked()) {
            /* the body is handed over whole, so that it stays one view
             * into the caller's buffer */
            uint64_t left = parser_->content_length_remaining().value_or(0);
            if (want < left) {
                return Parse::incomplete;
            }
            want = static_cast<size_t>(left);
        }
        size_t n = parser_->put(
            boost::asio::buffer(data.data() + consumed_, want), ec);
        consumed_ += n;
        if (ec == http::error::need_more) {
            return Parse::incomplete;
        }
        if (ec) {
            return fail(describe(ec));
        }
        if (n == 0) {
            return Parse::incomplete;
        }
    }
    return finish(data, req);
}

Parse
Framer::finish(std::string_view data, Request &req)
{
    req.method = data.substr(method_at_, method_len_);
    req.target = data.substr(target_at_, target_len_);
    req.version = version_ == 10 ? "HTTP/1.0" : "HTTP/1.1";
    req.headers.clear();
    for (const Field &f : fields_) {
        std::string_view value =
            f.owned >= 0
                ? std::string_view(owned_[static_cast<size_t>(f.owned)])
                : data.substr(f.value_at, f.value_len);
        req.headers.push_back({data.substr(f.name_at, f.name_len), value});
    }
    req.head = data.substr(start_, head_end_ - start_);
    req.body = parser_->chunked() ? std::string_view(chunked_body_)
                                  : data.substr(body_at_, body_len_);
    req.keep_alive = parser_->keep_alive();
    req.size = consumed_;
    active_ = false;
    head_done_ = false;
    return Parse::complete;
}

const std::string_view ok_reply =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

std::string
text_reply(int status, std::string_view reason, std::string_view text,
           bool close)
{
    std::string r = "HTTP/1.1 " + std::to_string(status) + " ";
    r += reason;
    r += "\r\nContent-Type: text/plain\r\n";
    if (close) {
        r += "Connection: close\r\n";
    }
    r += "Content-Length: " + std::to_string(text.size() + 1) + "\r\n\r\n";
    r += text;
    r += '\n';
    return r;
}

} // namespace kv
