/*
 * The sensors' side: an event loop (Boost.Asio) serving many long-lived,
 * pipelined HTTP/1.1 connections over TCP and TLS.  Each read is split
 * into requests, each request is answered in order, and the replies of
 * one read leave in one write.
 */

#ifndef KV_COLLECTOR_INGEST_H
#define KV_COLLECTOR_INGEST_H

#include <list>
#include <memory>
#include <string>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

#include "counters.h"
#include "dispatch.h"
#include "store.h"

namespace kv {

class Ingest {
  public:
    Ingest(boost::asio::io_context &ioc, Dispatcher &dispatcher, Store &store,
           IngestCounters &counters);
    ~Ingest();

    /* Binds and listens; tls is null for plain TCP.  False with a reason
     * when the address cannot be used. */
    bool listen(const std::string &host, unsigned short port,
                boost::asio::ssl::context *tls, std::string &error);

    /* Stops accepting; open connections end with the event loop. */
    void close();

    /* The port a listener got (the first one: 0 asks for any free port). */
    unsigned short port(size_t index = 0) const;

    struct Shared {
        boost::asio::io_context &ioc;
        Dispatcher &dispatcher;
        Store &store;
        IngestCounters &counters;
    };

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

    Shared shared_;
    std::list<Listener> listeners_;
};

} // namespace kv

#endif
