#include "network/http_server.h"

#include <optional>

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

namespace kv {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr size_t read_size = 16 * 1024;
/* what a closing connection still reads and drops, at most */
constexpr size_t linger_bytes = 1 << 20;
constexpr std::chrono::seconds linger_time{2};

std::string
json_error(const std::string &message)
{
    /* a message may come from anywhere (a database's error spans lines):
     * control characters are escaped, or the body would not be JSON */
    static const char hex[] = "0123456789abcdef";
    std::string out = "{\"error\":\"";
    for (char c : message) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20) {
            out += "\\u00";
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out + "\"}";
}

} // namespace

HttpResponse
make_response(unsigned status, std::string body,
              const std::string &content_type)
{
    HttpResponse res{static_cast<http::status>(status), 11};
    res.set(http::field::content_type, content_type);
    res.body() = std::move(body);
    return res;
}

struct HttpServer::Shared {
    Shared(HttpHandler h, HttpLimits l, HttpCounters &c, asio::thread_pool &w)
        : handler(std::move(h)), limits(l), counters(c), workers(w)
    {
    }
    HttpHandler handler;
    const HttpLimits limits;
    HttpCounters &counters;
    asio::thread_pool &workers;
    std::atomic<size_t> open{0};
};

namespace {

template <class Stream>
struct is_tls : std::false_type {
};
template <class S>
struct is_tls<beast::ssl_stream<S>> : std::true_type {
};

template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
  public:
    template <class... Args>
    Session(std::shared_ptr<HttpServer::Shared> shared, tcp::socket socket,
            Args &&...args)
        : stream_(std::move(socket), std::forward<Args>(args)...),
          shared_(std::move(shared))
    {
        shared_->open++;
        beast::error_code ec;
        auto ep = lowest().socket().remote_endpoint(ec);
        if (!ec) {
            peer_.address = ep.address().to_string();
        }
        peer_.tls = is_tls<Stream>::value;
    }
    ~Session() { shared_->open--; }

    void start()
    {
        if constexpr (is_tls<Stream>::value) {
            /* the handshake is held to the time a request has */
            lowest().expires_after(shared_->limits.request_timeout);
            auto self = this->shared_from_this();
            stream_.async_handshake(
                asio::ssl::stream_base::server, [self](beast::error_code ec) {
                    if (ec) {
                        self->shared_->counters.tls_handshake_failed++;
                        self->close();
                        return;
                    }
                    self->next_request();
                });
        } else {
            next_request();
        }
    }

  private:
    beast::tcp_stream &lowest() { return beast::get_lowest_layer(stream_); }

    void next_request()
    {
        parser_.emplace();
        parser_->header_limit(
            static_cast<uint32_t>(shared_->limits.header_limit));
        /* the largest any request may have, until its head says which
         * it is */
        size_t most = shared_->limits.body_limit;
        for (const auto &l : shared_->limits.larger_bodies) {
            most = std::max(most, l.limit);
        }
        parser_->body_limit(most);
        parser_->eager(true);
        started_ = false;
        limit_ = 0;
        lowest().expires_after(shared_->limits.idle_timeout);
        if (buffer_.size() > 0) {
            begin_request();
        }
        parse();
    }

    /* The request's own clock runs from its first byte: a client that
     * trickles its head is cut off then, however it paces the bytes. */
    void begin_request()
    {
        if (!started_) {
            started_ = true;
            lowest().expires_after(shared_->limits.request_timeout);
        }
    }

    void parse()
    {
        while (buffer_.size() > 0 && !parser_->is_done()) {
            beast::error_code ec;
            size_t n = parser_->put(buffer_.data(), ec);
            buffer_.consume(n);
            if (ec && ec != http::error::need_more) {
                refuse(ec);
                return;
            }
            /* before waiting for more: a chunk over the limit may have
             * come with the head */
            if (parser_->is_header_done() && !within_limit()) {
                refuse(http::error::body_limit);
                return;
            }
            if (ec || n == 0) {
                break;
            }
        }
        if (parser_->is_done()) {
            handle();
            return;
        }
        auto self = this->shared_from_this();
        stream_.async_read_some(
            buffer_.prepare(read_size),
            [self](beast::error_code ec, size_t n) { self->on_read(ec, n); });
    }

    void on_read(beast::error_code ec, size_t n)
    {
        if (ec) {
            if (ec == beast::error::timeout) {
                shared_->counters.timeouts++;
            }
            close();
            return;
        }
        buffer_.commit(n);
        begin_request();
        parse();
    }

    /* The limit of this request's body, once its head is known: a
     * declared length over it is refused before the body is read, and a
     * chunked body is held to it as it comes. */
    size_t head_limit()
    {
        const auto &head = parser_->get();
        size_t limit = shared_->limits.body_limit;
        std::string_view target(head.target().data(), head.target().size());
        std::string_view path = target.substr(0, target.find('?'));
        for (const auto &l : shared_->limits.larger_bodies) {
            if (head.method() == l.method && path == l.path
                && (!l.admits || l.admits(head, peer_))) {
                limit = l.limit;
            }
        }
        return limit;
    }

    bool within_limit()
    {
        if (limit_ == 0) {
            limit_ = head_limit();
            auto length = parser_->content_length();
            if (length && *length > limit_) {
                return false;
            }
            if (!length) {
                parser_->body_limit(limit_);
            }
        }
        return parser_->get().body().size() <= limit_;
    }

    void refuse(const beast::error_code &ec)
    {
        shared_->counters.bad_requests++;
        unsigned status = ec == http::error::body_limit     ? 413
                          : ec == http::error::header_limit ? 431
                                                            : 400;
        /* the parser refuses a declared length over the largest limit
         * before within_limit() sees the head; its request line is read
         * by then, so the limit said is still the route's */
        size_t limit = limit_ ? limit_
                       : ec == http::error::body_limit
                           ? head_limit()
                           : shared_->limits.body_limit;
        std::string why =
            ec == http::error::body_limit
                ? "the request body is over " + std::to_string(limit) + " bytes"
                : ec.message();
        HttpResponse res =
            make_response(status, json_error(why), "application/json");
        res.keep_alive(false);
        write(std::move(res));
    }

    void handle()
    {
        lowest().expires_never();
        auto req = std::make_shared<HttpRequest>(parser_->release());
        auto self = this->shared_from_this();
        asio::post(shared_->workers, [self, req] {
            HttpResponse res;
            try {
                res = self->shared_->handler(*req, self->peer_);
            } catch (const std::exception &e) {
                res = make_response(500, json_error(e.what()),
                                    "application/json");
            }
            res.keep_alive(req->keep_alive() && res.keep_alive());
            asio::post(self->stream_.get_executor(),
                       [self, res = std::move(res)]() mutable {
                           self->write(std::move(res));
                       });
        });
    }

    void write(HttpResponse res)
    {
        res_ = std::move(res);
        res_.prepare_payload();
        lowest().expires_after(shared_->limits.write_timeout);
        auto self = this->shared_from_this();
        http::async_write(stream_, res_, [self](beast::error_code ec, size_t) {
            self->on_write(ec);
        });
    }

    void on_write(beast::error_code ec)
    {
        bool keep = res_.keep_alive();
        res_ = {};
        if (ec) {
            if (ec == beast::error::timeout) {
                shared_->counters.timeouts++;
            }
            close();
            return;
        }
        if (!keep) {
            finish();
            return;
        }
        next_request();
    }

    /* The last reply is out.  Over TLS a closing handshake ends the
     * session; a peer that does not answer it is held no longer than a
     * linger. */
    void finish()
    {
        if constexpr (is_tls<Stream>::value) {
            lowest().expires_after(linger_time);
            auto self = this->shared_from_this();
            stream_.async_shutdown(
                [self](beast::error_code) { self->close(); });
        } else {
            beast::error_code ignored;
            lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
            linger();
        }
    }

    /* Closing with unread bytes would reset the connection, and a client
     * still sending a refused body would lose the answer: what it sends
     * is read and dropped for a little while first. */
    void linger()
    {
        if (lingered_ >= linger_bytes) {
            close();
            return;
        }
        if (lingered_ == 0) {
            lowest().expires_after(linger_time);
        }
        buffer_.consume(buffer_.size());
        auto self = this->shared_from_this();
        stream_.async_read_some(buffer_.prepare(read_size),
                                [self](beast::error_code ec, size_t n) {
                                    if (ec) {
                                        self->close();
                                        return;
                                    }
                                    self->lingered_ += n;
                                    self->linger();
                                });
    }

    void close()
    {
        beast::error_code ignored;
        lowest().socket().close(ignored);
    }

    Stream stream_;
    std::shared_ptr<HttpServer::Shared> shared_;
    HttpPeer peer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    HttpResponse res_;
    bool started_ = false;
    size_t limit_ = 0; /* of this request's body, once its head is in */
    size_t lingered_ = 0;
};

} // namespace

HttpServer::HttpServer(HttpHandler handler, HttpLimits limits,
                       asio::ssl::context *tls)
    : tls_(tls), acceptor_(ioc_), retry_(ioc_),
      workers_(static_cast<size_t>(std::max(1, limits.workers))),
      shared_(std::make_shared<Shared>(std::move(handler), limits, counters_,
                                       workers_))
{
}

HttpServer::~HttpServer()
{
    stop();
}

bool
HttpServer::listen(const std::string &host, unsigned short port,
                   std::string &error)
{
    beast::error_code ec;
    auto addr = asio::ip::make_address(host, ec);
    if (ec) {
        error = "\"" + host + "\" is not an IP address";
        return false;
    }
    tcp::endpoint ep(addr, port);
    acceptor_.open(ep.protocol(), ec);
    if (!ec) {
        /* no SO_REUSEPORT: a second server on the port is told it is
         * taken rather than sharing it */
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor_.bind(ep, ec);
    }
    if (!ec) {
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = ec.message();
        beast::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    return true;
}

unsigned short
HttpServer::port() const
{
    beast::error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void
HttpServer::start()
{
    accept();
    loop_ = std::thread([this] { ioc_.run(); });
}

void
HttpServer::stop()
{
    if (!loop_.joinable()) {
        return;
    }
    asio::post(ioc_, [this] {
        beast::error_code ignored;
        acceptor_.close(ignored);
    });
    ioc_.stop();
    loop_.join();
    workers_.join();
}

void
HttpServer::accept()
{
    acceptor_.async_accept(asio::make_strand(ioc_), [this](beast::error_code ec,
                                                           tcp::socket socket) {
        if (!acceptor_.is_open()) {
            return;
        }
        if (ec) {
            /* out of descriptors, say: try again shortly rather than
                 * spin on the error */
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](beast::error_code e) {
                if (!e) {
                    accept();
                }
            });
            return;
        }
        {
            if (shared_->open.load() >= shared_->limits.max_connections) {
                counters_.connections_refused++;
                beast::error_code ignored;
                socket.close(ignored);
            } else {
                beast::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                if (tls_) {
                    std::make_shared<
                        Session<beast::ssl_stream<beast::tcp_stream>>>(
                        shared_, std::move(socket), *tls_)
                        ->start();
                } else {
                    std::make_shared<Session<beast::tcp_stream>>(
                        shared_, std::move(socket))
                        ->start();
                }
            }
        }
        accept();
    });
}

} // namespace kv
