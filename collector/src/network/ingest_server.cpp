#include "network/ingest_server.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <unordered_map>

#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include "base/text.h"

namespace kv {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

/* Every connection may hold this much without asking the budget: enough
 * for a heartbeat or a statistics document, cheap for thousands of idle
 * connections. */
constexpr size_t first_buffer = 4 * 1024;
/* A connection whose reads fill its buffer grows it to this, budget
 * permitting, so a busy sensor's batches come in few reads. */
constexpr size_t busy_buffer = 64 * 1024;
/* replies the peer does not read stop us reading from it past this */
constexpr size_t max_pending_replies = 8u << 20;
/* reply and record buffers larger than this are not kept after use */
constexpr size_t kept_reply_capacity = 64 * 1024;
constexpr size_t kept_records = 256;

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

void
gauge_add(std::atomic<uint64_t> &g, size_t n)
{
    g.fetch_add(n, std::memory_order_relaxed);
}

void
gauge_sub(std::atomic<uint64_t> &g, size_t n)
{
    g.fetch_sub(n, std::memory_order_relaxed);
}

} // namespace

/* What every connection of one server shares. */
struct IngestServer::Shared {
    Shared(Dispatcher &d, Pipeline &p, IngestCounters &c, IngestLimits l)
        : dispatcher(d), pipeline(p), counters(c), limits(l)
    {
    }

    Dispatcher &dispatcher;
    Pipeline &pipeline;
    IngestCounters &counters;
    const IngestLimits limits;

    std::atomic<size_t> open{0};
    std::atomic<size_t> budget_used{0};

    std::mutex by_address_lock;
    std::unordered_map<std::string, size_t> by_address;

    /* Takes n bytes of the shared budget, or nothing when they do not
     * fit. */
    bool take(size_t n)
    {
        size_t used = budget_used.load(std::memory_order_relaxed);
        do {
            if (used + n > limits.memory) {
                return false;
            }
        } while (!budget_used.compare_exchange_weak(used, used + n));
        gauge_add(counters.buffered_bytes, n);
        return true;
    }

    void give(size_t n)
    {
        budget_used.fetch_sub(n);
        gauge_sub(counters.buffered_bytes, n);
    }

    /* Counts a new connection from address in, or says why not. */
    const char *admit(const std::string &address)
    {
        if (open.load() >= limits.max_connections) {
            return "connections";
        }
        if (budget_used.load() >= limits.memory) {
            return "memory";
        }
        std::lock_guard<std::mutex> g(by_address_lock);
        size_t &n = by_address[address];
        if (limits.max_per_address > 0 && n >= limits.max_per_address) {
            if (n == 0) {
                by_address.erase(address);
            }
            return "address";
        }
        n++;
        open++;
        return nullptr;
    }

    void leave(const std::string &address)
    {
        std::lock_guard<std::mutex> g(by_address_lock);
        auto it = by_address.find(address);
        if (it != by_address.end() && --it->second == 0) {
            by_address.erase(it);
        }
        open--;
    }
};

namespace {

/*
 * What a connection has read and not yet answered.  Its first few KiB are
 * its own; anything more comes out of the shared budget and goes back to
 * it as soon as it is not needed.
 */
class Buffer {
  public:
    explicit Buffer(IngestServer::Shared &shared) : shared_(shared) {}
    ~Buffer() { resize(0); }

    char *data() { return data_.get(); }
    const char *data() const { return data_.get(); }
    size_t capacity() const { return capacity_; }

    /* Changes the capacity, keeping the first keep bytes; false when the
     * budget cannot pay for it. */
    bool resize(size_t n, size_t keep = 0)
    {
        size_t charged_now = charge(capacity_);
        size_t charged_then = charge(n);
        if (charged_then > charged_now
            && !shared_.take(charged_then - charged_now)) {
            return false;
        }
        if (charged_then < charged_now) {
            shared_.give(charged_now - charged_then);
        }
        std::unique_ptr<char[]> next(n > 0 ? new char[n] : nullptr);
        if (keep > 0) {
            std::memcpy(next.get(), data_.get(), keep);
        }
        data_ = std::move(next);
        capacity_ = n;
        return true;
    }

  private:
    static size_t charge(size_t capacity)
    {
        return capacity > first_buffer ? capacity - first_buffer : 0;
    }

    IngestServer::Shared &shared_;
    std::unique_ptr<char[]> data_;
    size_t capacity_ = 0;
};

template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>> {
  public:
    template <class... Args>
    Connection(std::shared_ptr<IngestServer::Shared> shared,
               ConnectionInfo info, std::string address, Args &&...args)
        : stream_(std::forward<Args>(args)...), timer_(stream_.get_executor()),
          shared_(std::move(shared)), info_(std::move(info)),
          address_(std::move(address)), framer_(shared_->limits.framing),
          buf_(*shared_)
    {
        bump(shared_->counters.connections_accepted);
        bump(shared_->counters.connections_open);
    }

    ~Connection()
    {
        gauge_sub(shared_->counters.connections_open, 1);
        shared_->leave(address_);
    }

    void start()
    {
        auto now = Clock::now();
        if constexpr (is_tls<Stream>::value) {
            /* a handshake is held to the time a head has */
            set_deadline(now + shared_->limits.head_timeout);
            auto self = this->shared_from_this();
            stream_.async_handshake(
                ssl::stream_base::server, [self](const error_code &ec) {
                    if (ec) {
                        if (ec != asio::error::operation_aborted) {
                            bump(self->shared_->counters.tls_handshake_failed);
                        }
                        self->abort();
                        return;
                    }
                    self->handshaken_ = true;
                    self->set_deadline(Clock::now()
                                       + self->shared_->limits.idle_timeout);
                    self->read();
                });
        } else {
            handshaken_ = true;
            set_deadline(now + shared_->limits.idle_timeout);
            read();
        }
    }

  private:
    /* Room to read into: the pending bytes moved to the front when that
     * frees enough, the buffer grown when it is full or when the peer
     * keeps filling it.  False when the connection was cut instead. */
    bool make_room()
    {
        size_t pending = end_ - begin_;
        if (buf_.capacity() == 0) {
            return buf_.resize(first_buffer);
        }
        if (begin_ > 0
            && (pending == 0 || buf_.capacity() - end_ < buf_.capacity() / 4)) {
            std::memmove(buf_.data(), buf_.data() + begin_, pending);
            begin_ = 0;
            end_ = pending;
        }
        bool full = end_ == buf_.capacity();
        bool busy = filled_last_read_ && buf_.capacity() < busy_buffer;
        if (!full && !busy) {
            return true;
        }
        size_t most = shared_->limits.framing.max_head
                      + shared_->limits.framing.max_body + first_buffer;
        if (full && buf_.capacity() >= most) {
            fail_framing("request too large");
            return false;
        }
        size_t want = std::min(most, buf_.capacity() * 2);
        if (buf_.resize(want, end_)) {
            return true;
        }
        if (!full) {
            return true; /* a busy peer reads in smaller pieces for now */
        }
        /* the budget is spent: this message cannot be taken */
        bump(shared_->counters.connections_cut_memory);
        out_ += text_reply(503, "Service Unavailable",
                           "the collector's ingest memory is in use", true);
        closing_ = true;
        write();
        return false;
    }

    /* After a large message or when the peer goes quiet, back to the
     * buffer an idle connection needs. */
    void shrink()
    {
        size_t pending = end_ - begin_;
        size_t target = 0;
        if (buf_.capacity() > busy_buffer && pending <= busy_buffer / 2) {
            target = busy_buffer;
        } else if (buf_.capacity() > first_buffer && pending == 0
                   && last_read_ < first_buffer / 2) {
            target = first_buffer;
        }
        if (target == 0) {
            return;
        }
        if (begin_ > 0) {
            std::memmove(buf_.data(), buf_.data() + begin_, pending);
            begin_ = 0;
            end_ = pending;
        }
        buf_.resize(target, pending);
    }

    void read()
    {
        if (reading_ || closing_) {
            return;
        }
        if (!make_room()) {
            return;
        }
        reading_ = true;
        asked_ = buf_.capacity() - end_;
        auto self = this->shared_from_this();
        stream_.async_read_some(
            asio::buffer(buf_.data() + end_, asked_),
            [self](const error_code &ec, size_t n) { self->on_read(ec, n); });
    }

    void on_read(const error_code &ec, size_t n)
    {
        reading_ = false;
        if (ec) {
            if (ec != asio::error::operation_aborted) {
                bool clean = peer_went_away(ec);
                bump(clean ? shared_->counters.connections_closed
                           : shared_->counters.connections_failed);
                if (begin_ < end_ && !framer_idle()) {
                    bump(shared_->counters.connections_cut_mid_message);
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
        last_read_ = n;
        filled_last_read_ = n == asked_;
        bump(shared_->counters.bytes_received, n);
        process();
        write();
        if (pending_replies() < max_pending_replies) {
            read();
        }
    }

    bool framer_idle() const
    {
        /* only the empty line after a bodiless log is left */
        return !framer_.in_head() && !framer_.in_body()
               && std::string_view(buf_.data() + begin_, end_ - begin_)
                          .find_first_not_of("\r\n")
                      == std::string_view::npos;
    }

    void process()
    {
        auto arrived = Clock::now();
        int64_t now = now_ms();
        bool completed = false;
        while (!closing_) {
            std::string_view data(buf_.data() + begin_, end_ - begin_);
            Parse p = framer_.next(data, req_);
            if (p == Parse::incomplete) {
                break;
            }
            if (p == Parse::error) {
                fail_framing(framer_.error());
                break;
            }
            bool keep =
                shared_->dispatcher.handle(req_, info_, now, out_, records_);
            begin_ += req_.size;
            completed = true;
            if (!keep) {
                closing_ = true;
            }
        }
        if (begin_ == end_) {
            begin_ = end_ = 0;
        }
        if (!records_.empty()) {
            shared_->pipeline.deliver(records_);
            records_.clear();
        }
        if (records_.capacity() > kept_records) {
            std::vector<Record>().swap(records_);
        }
        if (closing_) {
            return;
        }
        shrink();

        /* a head is timed from the read that brought its first bytes;
         * between messages and inside a body, the peer must not go quiet
         * for longer than the idle time */
        if (framer_.in_head()) {
            if (!head_clock_ || completed) {
                head_started_ = arrived;
                head_clock_ = true;
            }
            set_deadline(head_started_ + shared_->limits.head_timeout);
        } else {
            head_clock_ = false;
            set_deadline(arrived + shared_->limits.idle_timeout);
        }
    }

    void set_deadline(Clock::time_point t)
    {
        deadline_ = t;
        if (timer_armed_ && armed_for_ <= t) {
            return; /* the timer fires first and looks again */
        }
        armed_for_ = t;
        timer_armed_ = true;
        timer_.expires_at(t);
        auto self = this->shared_from_this();
        timer_.async_wait([self](const error_code &ec) { self->on_timer(ec); });
    }

    void on_timer(const error_code &ec)
    {
        if (ec == asio::error::operation_aborted) {
            return; /* re-armed earlier, or the connection is over */
        }
        timer_armed_ = false;
        if (Clock::now() < deadline_) {
            set_deadline(deadline_);
            return;
        }
        /* a connection already closing is only waiting on a peer that
         * does not read its replies or answer its closing handshake */
        if (!closing_) {
            bump(framer_.in_head() || !handshaken_
                     ? shared_->counters.head_timeouts
                     : shared_->counters.idle_timeouts);
            if (begin_ < end_ && !framer_idle()) {
                bump(shared_->counters.connections_cut_mid_message);
            }
        }
        abort();
    }

    void fail_framing(const std::string &why)
    {
        bump(shared_->counters.framing_errors);
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
        if (sending_.capacity() > kept_reply_capacity) {
            std::string().swap(sending_);
        }
        if (ec) {
            if (ec != asio::error::operation_aborted) {
                bump(peer_went_away(ec) ? shared_->counters.connections_closed
                                        : shared_->counters.connections_failed);
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
            /* a peer that never answers the closing handshake is held no
             * longer than a head */
            set_deadline(Clock::now() + shared_->limits.head_timeout);
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
        timer_.cancel();
    }

    Stream stream_;
    asio::steady_timer timer_;
    std::shared_ptr<IngestServer::Shared> shared_;
    ConnectionInfo info_;
    std::string address_;
    Framer framer_;
    Request req_;
    Buffer buf_;
    size_t begin_ = 0;
    size_t end_ = 0;
    size_t asked_ = 0;
    size_t last_read_ = 0;
    bool filled_last_read_ = false;
    std::string out_;
    std::string sending_;
    std::vector<Record> records_;
    Clock::time_point deadline_;
    Clock::time_point armed_for_;
    Clock::time_point head_started_;
    bool timer_armed_ = false;
    bool handshaken_ = false;
    bool head_clock_ = false;
    bool reading_ = false;
    bool writing_ = false;
    bool closing_ = false;
    bool shut_ = false;
};

} // namespace

IngestServer::IngestServer(asio::io_context &ioc, Dispatcher &dispatcher,
                           Pipeline &pipeline, IngestCounters &counters,
                           IngestLimits limits)
    : ioc_(ioc),
      shared_(std::make_shared<Shared>(dispatcher, pipeline, counters, limits))
{
}

IngestServer::~IngestServer()
{
    close();
}

bool
IngestServer::listen(const std::string &host, unsigned short port,
                     ssl::context *tls, std::string &error)
{
    error_code ec;
    auto addr = asio::ip::make_address(host, ec);
    if (ec) {
        error = "\"" + host + "\" is not an IP address";
        return false;
    }
    Listener &l = listeners_.emplace_back(ioc_);
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
IngestServer::port(size_t index) const
{
    auto it = listeners_.begin();
    std::advance(it, static_cast<long>(index));
    error_code ec;
    return it->acceptor.local_endpoint(ec).port();
}

void
IngestServer::close()
{
    for (auto &l : listeners_) {
        error_code ignored;
        l.acceptor.close(ignored);
        l.retry.cancel();
    }
}

void
IngestServer::accept(Listener &l)
{
    l.acceptor.async_accept(asio::make_strand(ioc_), [this,
                                                      &l](const error_code &ec,
                                                          tcp::socket socket) {
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
        error_code peer_ec;
        auto peer = socket.remote_endpoint(peer_ec);
        std::string address =
            peer_ec ? std::string() : peer.address().to_string();
        /* over a cap the connection is closed at once: the peer
             * learns it now, and the backlog keeps moving for others */
        if (shared_->admit(address) != nullptr) {
            bump(shared_->counters.connections_refused);
            error_code ignored;
            socket.close(ignored);
            accept(l);
            return;
        }
        error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        ConnectionInfo info;
        info.id = next_connection_id.fetch_add(1);
        if (!peer_ec) {
            info.peer = address + ":" + std::to_string(peer.port());
        }
        if (l.tls) {
            using Tls = ssl::stream<tcp::socket>;
            std::make_shared<Connection<Tls>>(shared_, std::move(info),
                                              std::move(address),
                                              std::move(socket), *l.tls)
                ->start();
        } else {
            std::make_shared<Connection<tcp::socket>>(
                shared_, std::move(info), std::move(address), std::move(socket))
                ->start();
        }
        accept(l);
    });
}

} // namespace kv
