/*
 * The sensors' side: an event loop (Boost.Asio) serving many long-lived,
 * pipelined HTTP/1.1 connections over TCP and TLS.  Each read is framed
 * into requests, each request is answered in order, and the replies of one
 * read leave in one write; what the requests become goes to the pipeline.
 *
 * Every wait and every buffer is bounded: a head must arrive within
 * head_timeout, a quiet connection is closed after idle_timeout, the
 * connections are capped in all and per address, and what connections
 * buffer beyond a small first buffer each comes out of one shared budget.
 * Runs on the threads that run the io_context given; a connection's
 * handlers run on its own strand.
 */

#ifndef KV_NETWORK_INGEST_SERVER_H
#define KV_NETWORK_INGEST_SERVER_H

#include <chrono>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "ingest/dispatcher.h"
#include "ingest/pipeline.h"
#include "model/counters.h"
#include "protocol/http.h"

namespace kv {

struct IngestLimits {
    std::chrono::milliseconds head_timeout{10000};
    std::chrono::milliseconds idle_timeout{120000};
    size_t max_connections = 4096;
    size_t max_per_address = 1024; /* 0: only max_connections */
    /* bytes all connections may buffer beyond their first few KiB */
    size_t memory = 256u << 20;
    Framer::Limits framing;
};

class IngestServer {
  public:
    IngestServer(boost::asio::io_context &ioc, Dispatcher &dispatcher,
                 Pipeline &pipeline, IngestCounters &counters,
                 IngestLimits limits);
    ~IngestServer();

    /* Binds and listens; tls is null for plain TCP.  False with a reason
     * when the address cannot be used. */
    bool listen(const std::string &host, unsigned short port,
                boost::asio::ssl::context *tls, std::string &error);

    /* Stops accepting; open connections end with the event loop. */
    void close();

    /* The port a listener got (the first one: 0 asks for any free port). */
    unsigned short port(size_t index = 0) const;

    struct Shared;

  private:
    struct Listener {
        explicit Listener(boost::asio::io_context &ioc)
            : acceptor(ioc), retry(ioc)
        {
        }
        boost::asio::ip::tcp::acceptor acceptor;
        boost::asio::steady_timer retry;
        boost::asio::ssl::context *tls = nullptr;
    };

    void accept(Listener &l);

    boost::asio::io_context &ioc_;
    /* connections still queued in the event loop end after this object:
     * they keep what they share alive */
    std::shared_ptr<Shared> shared_;
    std::list<Listener> listeners_;
};

} // namespace kv

#endif
