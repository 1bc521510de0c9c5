/*
 * A small HTTP/1.1 server (Boost.Beast) for people and their tools: the
 * console and its API, the sample API.  One event-loop thread owns every
 * connection, so a slow or silent client holds only its own connection,
 * never a thread; handlers run on a few worker threads of their own, one
 * request per connection at a time.  Every wait and size is bounded: the
 * head and body must arrive within request_timeout of the first byte, a
 * kept connection may idle for idle_timeout, a reply must be taken within
 * write_timeout, and a body over body_limit gets 413.  With a TLS context
 * it speaks only TLS, the handshake held to request_timeout.
 */

#ifndef KV_NETWORK_HTTP_SERVER_H
#define KV_NETWORK_HTTP_SERVER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

namespace kv {

using HttpRequest =
    boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse =
    boost::beast::http::response<boost::beast::http::string_body>;

/* Who sent a request: the connection's remote address and whether it
 * came over TLS. */
struct HttpPeer {
    std::string address; /* IP address, without the port */
    bool tls = false;
};

/* Turns a request into its response, on a worker thread; may throw, which
 * becomes a 500. */
using HttpHandler =
    std::function<HttpResponse(const HttpRequest &, const HttpPeer &)>;

struct HttpLimits {
    size_t max_connections = 256;
    std::chrono::milliseconds request_timeout{10000};
    std::chrono::milliseconds idle_timeout{60000};
    std::chrono::milliseconds write_timeout{60000};
    size_t header_limit = 16 * 1024;
    size_t body_limit = 64 * 1024;
    /* requests allowed a larger body than body_limit (a document to
     * upload), by method and path */
    struct LargerBody {
        boost::beast::http::verb method;
        std::string path;
        size_t limit;
        /* whether a head may send that much (unset: any); one it refuses
         * is held to body_limit, so a client that is not let in is
         * neither waited for nor buffered past it */
        std::function<bool(const HttpRequest &, const HttpPeer &)> admits;
    };
    std::vector<LargerBody> larger_bodies;
    int workers = 2;
};

struct HttpCounters {
    std::atomic<uint64_t> connections_refused{0};
    std::atomic<uint64_t> timeouts{0};
    std::atomic<uint64_t> bad_requests{0};
    std::atomic<uint64_t> tls_handshake_failed{0};
};

class HttpServer {
  public:
    /* tls: null for plain HTTP; it must outlive the server. */
    HttpServer(HttpHandler handler, HttpLimits limits,
               boost::asio::ssl::context *tls = nullptr);
    ~HttpServer();

    bool listen(const std::string &host, unsigned short port,
                std::string &error);
    unsigned short port() const;

    /* Serves on threads of its own until stop(). */
    void start();
    /* Closes every connection and waits for handlers under way. */
    void stop();

    const HttpCounters &counters() const { return counters_; }

    struct Shared;

  private:
    void accept();

    boost::asio::io_context ioc_;
    boost::asio::ssl::context *tls_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    boost::asio::thread_pool workers_;
    HttpCounters counters_;
    std::shared_ptr<Shared> shared_;
    std::thread loop_;
};

/* A response with a body and its type, ready to send. */
HttpResponse make_response(unsigned status, std::string body,
                           const std::string &content_type);

} // namespace kv

#endif
