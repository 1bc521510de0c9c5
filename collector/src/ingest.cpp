#include "ingest.h"

#include <atomic>
#include <type_traits>

#include "text.h"

namespace kv {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr size_t initial_buffer = 64 * 1024;
constexpr size_t min_read_room = 16 * 1024;
/* the largest request the splitter lets through, plus room for a read */
constexpr size_t max_buffer = (1u << 20) + (16u << 20) + min_read_room;
/* replies the peer does not read stop us reading from it past this */
constexpr size_t max_pending_replies = 8u << 20;

std::atomic<uint64_t> next_connection_id{1};

template <class Stream>
struct is_tls : std::false_type {
};
template <class S>
struct is_tls<ssl::stream<S>> : std::true_type {
};

template <class Stream>
tcp::socket &
socket_of(Stream &s)
{
    if constexpr (is_tls<Stream>::value) {
        return s.next_layer();
    } else {
        return s;
    }
}

bool
peer_went_away(const error_code &ec)
{
    return ec == asio::error::eof || ec == asio::error::connection_reset
           || ec == asio::error::broken_pipe
           || ec == ssl::error::stream_truncated;
}

template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>> {
  public:
    template <class... Args>
    Connection(const Ingest::Shared &shared, ConnectionInfo info,
               Args &&...args)
        : stream_(std::forward<Args>(args)...), shared_(shared),
          info_(std::move(info)), buf_(initial_buffer)
    {
        bump(shared_.counters.connections_accepted);
        bump(shared_.counters.connections_open);
    }

    ~Connection()
    {
        shared_.counters.connections_open.fetch_sub(1,
                                                    std::memory_order_relaxed);
    }

    void start()
    {
        if constexpr (is_tls<Stream>::value) {
            auto self = this->shared_from_this();
            stream_.async_handshake(
                ssl::stream_base::server, [self](const error_code &ec) {
                    if (ec) {
                        bump(self->shared_.counters.tls_handshake_failed);
                        self->abort();
                        return;
                    }
                    self->read();
                });
        } else {
            read();
        }
    }

  private:
    void read()
    {
        if (reading_ || closing_) {
            return;
        }
        if (buf_.size() - end_ < min_read_room) {
            if (begin_ > 0) {
                std::copy(buf_.begin() + static_cast<long>(begin_),
                          buf_.begin() + static_cast<long>(end_), buf_.begin());
                end_ -= begin_;
                begin_ = 0;
            }
            if (buf_.size() - end_ < min_read_room) {
                if (buf_.size() >= max_buffer) {
                    fail_framing("request too large");
                    return;
                }
                buf_.resize(std::min(max_buffer, buf_.size() * 2));
            }
        }
        reading_ = true;
        auto self = this->shared_from_this();
        stream_.async_read_some(
            asio::buffer(buf_.data() + end_, buf_.size() - end_),
            [self](const error_code &ec, size_t n) { self->on_read(ec, n); });
    }

    void on_read(const error_code &ec, size_t n)
    {
        reading_ = false;
        if (ec) {
            if (ec != asio::error::operation_aborted) {
                bool clean = peer_went_away(ec);
                bump(clean ? shared_.counters.connections_closed
                           : shared_.counters.connections_failed);
                if (begin_ < end_) {
                    bump(shared_.counters.connections_cut_mid_message);
                }
            }
            closing_ = true;
            if (ec == asio::error::eof && (writing_ || !out_.empty())) {
                /* a peer that only stopped sending still gets its replies */
                write();
                return;
            }
            abort();
            return;
        }
        end_ += n;
        bump(shared_.counters.bytes_received, n);
        process();
        write();
        if (pending_replies() < max_pending_replies) {
            read();
        }
    }

    void process()
    {
        int64_t now = now_ms();
        while (!closing_) {
            std::string_view data(buf_.data() + begin_, end_ - begin_);
            Parse p = splitter_.next(data, req_);
            if (p == Parse::incomplete) {
                break;
            }
            if (p == Parse::error) {
                fail_framing(splitter_.error());
                break;
            }
            bool keep =
                shared_.dispatcher.handle(req_, info_, now, out_, records_);
            begin_ += req_.size;
            if (!keep) {
                closing_ = true;
            }
        }
        if (begin_ == end_) {
            begin_ = end_ = 0;
        }
        shared_.store.push(records_);
    }

    void fail_framing(const std::string &why)
    {
        bump(shared_.counters.framing_errors);
        out_ += Dispatcher::framing_error_reply(why);
        closing_ = true;
    }

    size_t pending_replies() const { return out_.size() + sending_.size(); }

    void write()
    {
        if (writing_) {
            return;
        }
        if (out_.empty()) {
            if (closing_) {
                shutdown();
            }
            return;
        }
        sending_.swap(out_);
        out_.clear();
        writing_ = true;
        auto self = this->shared_from_this();
        asio::async_write(
            stream_, asio::buffer(sending_),
            [self](const error_code &ec, size_t) { self->on_write(ec); });
    }

    void on_write(const error_code &ec)
    {
        writing_ = false;
        sending_.clear();
        if (ec) {
            if (ec != asio::error::operation_aborted) {
                bump(peer_went_away(ec) ? shared_.counters.connections_closed
                                        : shared_.counters.connections_failed);
            }
            abort();
            return;
        }
        write();
        if (!closing_ && pending_replies() < max_pending_replies) {
            read();
        }
    }

    /* After the last reply: a closing handshake for TLS, then the close. */
    void shutdown()
    {
        if (shut_) {
            return;
        }
        shut_ = true;
        if constexpr (is_tls<Stream>::value) {
            auto self = this->shared_from_this();
            stream_.async_shutdown(
                [self](const error_code &) { self->abort(); });
        } else {
            error_code ignored;
            stream_.shutdown(tcp::socket::shutdown_send, ignored);
            abort();
        }
    }

    void abort()
    {
        closing_ = true;
        error_code ignored;
        socket_of(stream_).close(ignored);
    }

    Stream stream_;
    /* a copy: connections still queued in the event loop end after the
     * Ingest that made them */
    Ingest::Shared shared_;
    ConnectionInfo info_;
    Splitter splitter_;
    Request req_;
    std::vector<char> buf_;
    size_t begin_ = 0;
    size_t end_ = 0;
    std::string out_;
    std::string sending_;
    std::vector<Record> records_;
    bool reading_ = false;
    bool writing_ = false;
    bool closing_ = false;
    bool shut_ = false;
};

ConnectionInfo
describe(const tcp::socket &s)
{
    ConnectionInfo info;
    info.id = next_connection_id.fetch_add(1);
    error_code ec;
    auto ep = s.remote_endpoint(ec);
    if (!ec) {
        info.peer = ep.address().to_string() + ":" + std::to_string(ep.port());
    }
    return info;
}

} // namespace

Ingest::Ingest(asio::io_context &ioc, Dispatcher &dispatcher, Store &store,
               IngestCounters &counters)
    : shared_{ioc, dispatcher, store, counters}
{
}

Ingest::~Ingest()
{
    close();
}

bool
Ingest::listen(const std::string &host, unsigned short port, ssl::context *tls,
               std::string &error)
{
    error_code ec;
    auto addr = asio::ip::make_address(host, ec);
    if (ec) {
        error = "\"" + host + "\" is not an IP address";
        return false;
    }
    Listener &l = listeners_.emplace_back(shared_.ioc);
    l.tls = tls;
    tcp::endpoint ep(addr, port);
    l.acceptor.open(ep.protocol(), ec);
    if (!ec) {
        l.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
    if (!ec) {
        l.acceptor.bind(ep, ec);
    }
    if (!ec) {
        l.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = ec.message();
        listeners_.pop_back();
        return false;
    }
    accept(l);
    return true;
}

unsigned short
Ingest::port(size_t index) const
{
    auto it = listeners_.begin();
    std::advance(it, static_cast<long>(index));
    error_code ec;
    return it->acceptor.local_endpoint(ec).port();
}

void
Ingest::close()
{
    for (auto &l : listeners_) {
        error_code ignored;
        l.acceptor.close(ignored);
        l.retry.cancel();
    }
}

void
Ingest::accept(Listener &l)
{
    l.acceptor.async_accept(
        asio::make_strand(shared_.ioc),
        [this, &l](const error_code &ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !l.acceptor.is_open()) {
                return;
            }
            if (ec) {
                /* out of descriptors, say: try again shortly rather than
                 * spin on the error */
                l.retry.expires_after(std::chrono::milliseconds(100));
                l.retry.async_wait([this, &l](const error_code &e) {
                    if (!e) {
                        accept(l);
                    }
                });
                return;
            }
            error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            ConnectionInfo info = describe(socket);
            if (l.tls) {
                using Tls = ssl::stream<tcp::socket>;
                std::make_shared<Connection<Tls>>(shared_, std::move(info),
                                                  std::move(socket), *l.tls)
                    ->start();
            } else {
                std::make_shared<Connection<tcp::socket>>(
                    shared_, std::move(info), std::move(socket))
                    ->start();
            }
            accept(l);
        });
}

} // namespace kv
