#include "support.h"
#include "nginx_ext_transport.h"
#include "nginx_ext_collector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <cstring>
#include <list>
#include <string>
#include <thread>
#include <vector>

namespace {

struct ReplyCase {
    const char *name;
    std::string reply;
    bool accepted;
    ngx_atomic_t ngx_ext_access_log_stats_t::*counter;
};

#define COUNTER(name) &ngx_ext_access_log_stats_t::name

TEST(ReplyCheck, AcceptsOnlyWholeStatus200Replies)
{
    const ReplyCase cases[] = {
        {"length and body agree",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", true, nullptr},
        {"body longer than declared",
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhello", true, nullptr},
        {"no length header", "HTTP/1.1 200 OK\r\nX: y\r\n\r\nanything", true,
         nullptr},
        {"another header's name ending in Content-Length",
         "HTTP/1.1 200 OK\r\nX-Content-Length: 99\r\n\r\n", true, nullptr},
        {"length named in any case",
         "HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok", true, nullptr},
        {"length with blanks after it",
         "HTTP/1.1 200 OK\r\nContent-Length: 2 \t\r\n\r\nok", true, nullptr},
        {"HTTP/1.0 status line", "HTTP/1.0 200 OK\r\n\r\n", true, nullptr},
        {"status line of exactly 12 characters", "HTTP/1.1 200\r\n\r\n", true,
         nullptr},
        {"length with tabs and spaces",
         "HTTP/1.1 200 OK\r\nContent-Length: \t 3\r\n\r\nabc", true, nullptr},
        {"body shorter than declared",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel", false,
         COUNTER(http_resp_incomplete)},
        {"unreadable length",
         "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\nhello", false,
         COUNTER(http_resp_incomplete)},
        {"empty length", "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n", false,
         COUNTER(http_resp_incomplete)},
        {"other status", "HTTP/1.1 204 No Content\r\n\r\n", false,
         COUNTER(http_resp_status_error)},
        {"four-digit status", "HTTP/1.1 2000 OK\r\n\r\n", false,
         COUNTER(http_resp_status_error)},
        {"four-digit status ending the line", "HTTP/1.1 2000\r\n\r\n", false,
         COUNTER(http_resp_status_error)},
        {"no space before the status", "HTTP/1.1_200 OK\r\n\r\n", false,
         COUNTER(http_resp_status_error)},
        {"not a status line", "XTTP/1.1 200 OK\r\n\r\n", false,
         COUNTER(http_resp_no_status)},
        {"lower-case length shorter than its body",
         "HTTP/1.1 200 OK\r\ncontent-length: 99\r\n\r\n", false,
         COUNTER(http_resp_incomplete)},
        {"length hidden in another header's name is not the length",
         "HTTP/1.1 200 OK\r\nX-Content-Length: 1\r\nContent-Length: 5"
         "\r\n\r\nhel",
         false, COUNTER(http_resp_incomplete)},
        {"status line of 11 characters", "HTTP/1.1 20\r\n\r\n", false,
         COUNTER(http_resp_status_large)},
        {"header block not finished",
         "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", false,
         COUNTER(http_resp_no_header)},
        {"header end hidden behind a NUL",
         std::string("HTTP/1.1 200 OK\r\n\0\r\n\r\n", 22), false,
         COUNTER(http_resp_no_header)},
        {"empty read", "", false, COUNTER(http_resp_no_header)},
    };

    for (const ReplyCase &c : cases) {
        std::memset(&log_stats, 0, sizeof(log_stats));
        std::string buf = c.reply;

        int accepted = _is_http_response_complete(
            reinterpret_cast<u_char *>(buf.data()), buf.size());

        EXPECT_EQ(accepted != 0, c.accepted) << c.name;
        if (c.counter) {
            EXPECT_EQ(log_stats.*c.counter, 1u) << c.name;
        }
    }
}

TEST(ReplyCheck, CrLfNulTailCountsAsIncomplete)
{
    std::memset(&log_stats, 0, sizeof(log_stats));
    std::string buf("HTTP/1.1 200 OK\r\n\0x", 19);

    EXPECT_EQ(_is_http_response_complete(reinterpret_cast<u_char *>(buf.data()),
                                         buf.size()),
              0);
    EXPECT_EQ(log_stats.http_resp_incomplete, 1u);
    EXPECT_EQ(log_stats.http_resp_no_header, 0u);
}

TEST(Backoff, RunsForItsDurationAndClearsItself)
{
    ngx_time_update();
    ngx_time_t *tp = ngx_timeofday();
    ngx_msec_int_t now = tp->sec * 1000 + tp->msec;

    ngx_backoff_end_ts = 0;
    EXPECT_EQ(ngx_check_backoff_on(), 1);

    ngx_backoff_duration = 5000;
    ngx_handle_enqueue_failure();
    EXPECT_GE(ngx_backoff_end_ts.load(), now + 5000);
    EXPECT_EQ(ngx_check_backoff_on(), NGX_ERROR);

    /* a period that has ended is cleared by the next check */
    ngx_backoff_end_ts = now - 1;
    EXPECT_EQ(ngx_check_backoff_on(), 1);
    EXPECT_EQ(ngx_backoff_end_ts.load(), 0);

    /* a zero duration still covers the current millisecond */
    ngx_backoff_duration = 0;
    ngx_handle_enqueue_failure();
    EXPECT_EQ(ngx_check_backoff_on(), NGX_ERROR);

    ngx_backoff_end_ts = 0;
}

TEST(ReplyCheck, ReadsOnUntilTheReplyIsWhole)
{
    struct Case {
        const char *name;
        std::string read_so_far;
        bool needs_more;
    };

    const Case cases[] = {
        {"nothing yet", "", true},
        {"part of the head", "HTTP/1.1 200 OK\r\nContent-Le", true},
        {"head without its body",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", true},
        {"part of the body", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel",
         true},
        {"whole", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false},
        {"whole and more", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nhello",
         false},
        {"head without a length", "HTTP/1.1 200 OK\r\nX: 5\r\n\r\n", false},
        {"length of another header",
         "HTTP/1.1 200 OK\r\nX-Content-Length: 5"
         "\r\n\r\n",
         false},
        {"unreadable length", "HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n",
         false},
        {"a NUL before the head's end", std::string("HTTP/1.1 200\0", 13),
         false},
        {"a body that will not fit",
         "HTTP/1.1 200 OK\r\nContent-Length: 8192\r\n\r\n", false},
    };

    for (const Case &c : cases) {
        const auto *buf =
            reinterpret_cast<const u_char *>(c.read_so_far.data());
        EXPECT_EQ(kestrelvanes::reply_needs_more(buf, c.read_so_far.size(),
                                                 NGX_EXT_RECV_BUFFER_SIZE),
                  c.needs_more)
            << c.name;
    }

    /* a full buffer without a head's end is all there will be */
    std::string full(NGX_EXT_RECV_BUFFER_SIZE, 'x');
    EXPECT_FALSE(kestrelvanes::reply_needs_more(
        reinterpret_cast<const u_char *>(full.data()), full.size(),
        full.size()));
}

class Peers : public kvtest::ConfFixture {};

TEST_F(Peers, UrlKeyedListMatchesWholeUrls)
{
    ngx_list_t *saved = peer_node_head;
    peer_node_head = nullptr;

    auto peer_for = [this](const char *url) {
        ngx_str_t s = {std::strlen(url), (u_char *) url};
        return ngx_ext_access_log_get_peer(pool, &s);
    };

    ngx_transport_peer_t *p8000 = peer_for("http://10.0.0.1:8000");
    ngx_transport_peer_t *p80 = peer_for("http://10.0.0.1:80");

    ASSERT_NE(p8000, nullptr);
    ASSERT_NE(p80, nullptr);
    EXPECT_NE(p8000, p80);
    EXPECT_EQ(peer_for("http://10.0.0.1:8000"), p8000);
    EXPECT_EQ(p80->conn.fd, -1);

    /* more URLs than one list part holds */
    for (int i = 0; i < 25; i++) {
        std::string url = "http://h" + std::to_string(i) + ":1";
        EXPECT_NE(peer_for(url.c_str()), nullptr);
    }
    EXPECT_EQ(peer_for("http://10.0.0.1:80"), p80);
    EXPECT_EQ(peer_for("http://h24:1"), peer_for("http://h24:1"));

    peer_node_head = saved;
}

/* A loopback listener the test drives by hand. */
class Listener {
  public:
    /* any_address: every 127.x.y.z reaches it, not only 127.0.0.1 */
    explicit Listener(bool any_address = false)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(any_address ? INADDR_ANY : INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
        listen(fd_, 128);
        socklen_t len = sizeof(sin);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sin), &len);
        port_ = ntohs(sin.sin_port);
    }
    ~Listener() { close(fd_); }

    std::string url(const char *scheme, const char *host = "127.0.0.1") const
    {
        return std::string(scheme) + host + ":" + std::to_string(port_);
    }

    int accept_one() { return accept(fd_, nullptr, nullptr); }

  private:
    int fd_;
    int port_;
};

class Transport : public kvtest::ConfFixture {
  protected:
    void SetUp() override
    {
        kvtest::ConfFixture::SetUp();
        std::memset(&log_stats, 0, sizeof(log_stats));
        std::memset(static_cast<void *>(&peer), 0, sizeof(peer));
        ngx_ext_peer_construct(&peer);

        /* the client context a loaded configuration makes */
        collector_tls = {};
        ASSERT_EQ(ngx_ext_check_collector_tls(&cf), NGX_OK);
    }

    void TearDown() override
    {
        _reset_transport_peer(&peer, log.log());
        if (peer.ssl) {
            SSL_free(peer.ssl);
        }
        kvtest::ConfFixture::TearDown();
        collector_tls = {};
    }

    ngx_int_t connect_to(const std::string &url)
    {
        url_ = url;
        ngx_str_t s = {url_.size(), (u_char *) url_.data()};
        return ngx_transport_init_peer(&peer, log.log(), &s, pool);
    }

    ngx_transport_peer_t peer;
    std::string url_;
};

TEST_F(Transport, SchemeDecidesTlsPerPeer)
{
    Listener collector;

    ASSERT_EQ(connect_to(collector.url("http://")), NGX_OK);
    EXPECT_FALSE(peer.use_ssl);
    EXPECT_NE(peer.conn.fd, -1);
    EXPECT_EQ(log_stats.socket_connected, 1u);
    _reset_transport_peer(&peer, log.log());

    /* host and port alone is plain TCP too */
    ASSERT_EQ(connect_to(collector.url("")), NGX_OK);
    EXPECT_FALSE(peer.use_ssl);
}

TEST_F(Transport, BadUrlsFailResolutionAndLeaveNoSocket)
{
    /* a name is refused too: sender threads never wait on a name server */
    for (const char *url :
         {"http://127.0.0.1:9/path", "https://",
          "http://no-such-host.invalid:80", "http://localhost:9"}) {
        log.clear();
        log_stats.host_res_fail = 0;

        EXPECT_EQ(connect_to(url), NGX_ERROR) << url;
        EXPECT_EQ(peer.conn.fd, -1) << url;
        EXPECT_EQ(log_stats.host_res_fail, 1u) << url;
        EXPECT_TRUE(log.contains("Couldnt resolve access log endpoint: ret -1"))
            << log.text();
    }

    EXPECT_TRUE(connect_to("http://127.0.0.1:9/path") == NGX_ERROR);
    EXPECT_TRUE(log.contains("in ext access \"127.0.0.1:9/path\""))
        << log.text();
}

TEST_F(Transport, FailedHandshakeLeavesItsTrailInTheRing)
{
    Listener plain;
    std::memset(access_log_debugbuf, 0, sizeof(access_log_debugbuf));
    current_buf_index = 0;

    /* the "collector" accepts and hangs up before any TLS */
    std::thread server([&plain] { close(plain.accept_one()); });

    EXPECT_EQ(connect_to(plain.url("HTTPS://")), NGX_ERROR);
    server.join();

    EXPECT_TRUE(peer.use_ssl);
    EXPECT_EQ(peer.conn.fd, -1);
    EXPECT_EQ(log_stats.socket_connected, 0u);

    EXPECT_STREQ(access_log_debugbuf[0], "stating tls load");
    EXPECT_STREQ(access_log_debugbuf[1], "load tls");
    EXPECT_STREQ(access_log_debugbuf[2], "ssl create connection");
    EXPECT_STREQ(access_log_debugbuf[3], "SSL connect failed");
    EXPECT_STRNE(access_log_debugbuf[4], "");
    EXPECT_STREQ(access_log_debugbuf[5], "handshake failed");
}

ssize_t
remember_reply(u_char *buf, ssize_t len, ngx_log_t *log)
{
    static_cast<std::string *>(log->data)->assign(reinterpret_cast<char *>(buf),
                                                  len);
    return 0;
}

TEST_F(Transport, ExchangeHandsAcceptedReplyToCallbackAndKeepsConnection)
{
    Listener collector;
    std::string received;
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

    std::thread server([&] {
        int c = collector.accept_one();
        char buf[256];
        ssize_t n = recv(c, buf, sizeof(buf), 0);
        received.assign(buf, n > 0 ? n : 0);
        send(c, reply.data(), reply.size(), 0);
        /* hold the connection until the client goes */
        recv(c, buf, sizeof(buf), 0);
        close(c);
    });

    std::string message = "POST /x HTTP/1.1\r\n\r\n";
    std::string seen;
    log.log()->data = &seen;
    url_ = collector.url("http://");
    ngx_str_t url = {url_.size(), (u_char *) url_.data()};

    ssize_t rc = ngx_transport_send_rcv_synch(
        &peer, reinterpret_cast<u_char *>(message.data()), message.size(),
        log.log(), &url, pool, remember_reply);

    EXPECT_EQ(rc, static_cast<ssize_t>(message.size()));
    EXPECT_EQ(seen, reply);
    EXPECT_NE(peer.conn.fd, -1);
    EXPECT_EQ(log_stats.msg_sent, 1u);
    EXPECT_EQ(log_stats.socket_reads, 1u);

    _reset_transport_peer(&peer, log.log());
    server.join();
    EXPECT_EQ(received, message);
    log.log()->data = nullptr;
}

ssize_t
count_reply(u_char *buf, ssize_t len, ngx_log_t *log)
{
    ++*static_cast<int *>(log->data);
    return 0;
}

/* A collector that answers with whole replies, back to back, without end. */
TEST_F(Transport, EndlessStreamOfRepliesEndsTheExchangeAfterOne)
{
    Listener collector;
    std::atomic<bool> done{false};

    std::thread server([&] {
        int c = collector.accept_one();
        char buf[256];
        recv(c, buf, sizeof(buf), 0);

        std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 8151\r\n\r\n";
        std::string one = head + std::string(8192 - head.size(), ' ');
        std::string burst;
        for (int i = 0; i < 32; i++) {
            burst += one;
        }

        /* until the sensor hangs up (or, were it stuck, for a while) */
        for (int i = 0; i < 2000 && !done; i++) {
            if (send(c, burst.data(), burst.size(), MSG_NOSIGNAL) <= 0) {
                break;
            }
        }
        close(c);
    });

    std::string message = "POST /kestrelvanes/heartbeat/v1 HTTP/1.1\r\n\r\n";
    int replies = 0;
    log.log()->data = &replies;
    url_ = collector.url("http://");
    ngx_str_t url = {url_.size(), (u_char *) url_.data()};

    ssize_t rc = ngx_transport_send_rcv_synch(
        &peer, reinterpret_cast<u_char *>(message.data()), message.size(),
        log.log(), &url, pool, count_reply);
    done = true;
    _reset_transport_peer(&peer, log.log());
    server.join();
    log.log()->data = nullptr;

    EXPECT_EQ(rc, static_cast<ssize_t>(message.size()));
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(log_stats.socket_reads, 1u);
}

TEST_F(Transport, ClosedConnectionIsReplacedBeforeTheNextMessage)
{
    Listener collector;
    std::string second;

    std::thread server([&] {
        char buf[256];
        int c = collector.accept_one();
        recv(c, buf, sizeof(buf), 0);
        close(c); /* the collector drops idle connections */

        c = collector.accept_one();
        ssize_t n = recv(c, buf, sizeof(buf), 0);
        second.assign(buf, n > 0 ? n : 0);
        close(c);
    });

    url_ = collector.url("http://");
    ngx_str_t url = {url_.size(), (u_char *) url_.data()};
    std::string first = "first", next = "second";

    EXPECT_EQ(ngx_transport_send(&peer, (u_char *) first.data(), first.size(),
                                 log.log(), &url, pool),
              5);

    /* wait until the collector's close has arrived */
    for (int i = 0; i < 200; i++) {
        u_char b;
        if (recv(peer.conn.fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            break;
        }
        usleep(10000);
    }

    EXPECT_EQ(ngx_transport_send(&peer, (u_char *) next.data(), next.size(),
                                 log.log(), &url, pool),
              6);
    server.join();

    EXPECT_EQ(second, "second");
    EXPECT_EQ(log_stats.msg_retry, 1u);
    EXPECT_EQ(log_stats.socket_connected, 2u);
    EXPECT_EQ(log_stats.msg_sent, 2u);
}

TEST_F(Transport, UnreachableCollectorFailsWithoutRetrying)
{
    {
        Listener gone;
        url_ = gone.url("http://");
    }
    ngx_str_t url = {url_.size(), (u_char *) url_.data()};

    std::string msg = "x";
    EXPECT_EQ(ngx_transport_send_rcv_synch(&peer, (u_char *) msg.data(), 1,
                                           log.log(), &url, pool, nullptr),
              -1);
    EXPECT_EQ(log_stats.transport_init_failed, 1u);
    EXPECT_EQ(log_stats.socket_connect_fail, 1u);
    EXPECT_TRUE(log.contains("failed to init peer"));
}

/* A peer of a configured collector: its record decides where it goes. */
class CollectorPeer : public Transport {
  protected:
    void SetUp() override
    {
        Transport::SetUp();
        ngx_ext_collectors = nullptr;
    }

    void TearDown() override
    {
        ngx_ext_collectors = nullptr;
        Transport::TearDown();
    }

    ngx_ext_collector_t *collector(const std::string &url)
    {
        url_ = url;
        ngx_str_t u = {url_.size(), (u_char *) url_.data()};
        ngx_str_t d = ngx_string("ext_auth_log_server");
        return ngx_ext_collector_add(&cf, &u, &d);
    }

    ssize_t send(const std::string &text)
    {
        return ngx_transport_send(&peer, (u_char *) text.data(), text.size(),
                                  log.log(), &peer.collector->url, pool);
    }
};

std::string
local_address(int fd)
{
    sockaddr_in sin{};
    socklen_t len = sizeof(sin);
    char text[INET_ADDRSTRLEN] = "";

    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    inet_ntop(AF_INET, &sin.sin_addr, text, sizeof(text));
    return text;
}

std::string
read_until_closed(int fd)
{
    std::string got;
    char buf[256];
    ssize_t n;

    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) {
        got.append(buf, n);
    }
    return got;
}

TEST_F(CollectorPeer, NewAddressEndsTheOldConnectionCleanlyAndTakesTheNext)
{
    Listener listener(true);
    std::string first_to, first_got, second_to, second_got;

    std::thread server([&] {
        int c = listener.accept_one();
        first_to = local_address(c);
        first_got = read_until_closed(c);
        close(c);

        c = listener.accept_one();
        second_to = local_address(c);
        second_got = read_until_closed(c);
        close(c);
    });

    peer.collector = collector(listener.url("http://"));
    ASSERT_NE(peer.collector, nullptr);

    EXPECT_EQ(send("one"), 3);

    sockaddr_in moved{};
    moved.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.2", &moved.sin_addr);
    ngx_ext_collector_set_address(
        peer.collector, reinterpret_cast<sockaddr *>(&moved), sizeof(moved));

    EXPECT_EQ(send("two"), 3);
    _reset_transport_peer(&peer, log.log());
    server.join();

    EXPECT_EQ(first_to, "127.0.0.1");
    EXPECT_EQ(first_got, "one");
    EXPECT_EQ(second_to, "127.0.0.2");
    EXPECT_EQ(second_got, "two");

    /* leaving an address is no failure */
    EXPECT_EQ(log_stats.msg_retry, 0u);
    EXPECT_EQ(log_stats.msg_sent, 2u);
    EXPECT_EQ(log_stats.socket_connected, 2u);
}

TEST_F(CollectorPeer, CollectorWithoutAnAddressGetsNoConnection)
{
    peer.collector = collector("http://no-such-host.invalid:9");
    ASSERT_NE(peer.collector, nullptr);

    EXPECT_EQ(send("x"), -1);
    EXPECT_EQ(peer.conn.fd, -1);
    EXPECT_EQ(log_stats.host_res_fail, 1u);
    EXPECT_TRUE(log.contains(
        "collector host \"no-such-host.invalid\" has no address yet"))
        << log.text();
}

} /* namespace */

namespace {

size_t
open_descriptors()
{
    size_t n = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) {
        n++;
    }
    closedir(dir);
    return n;
}

std::vector<ngx_transport_peer_t *>
keyed_peers()
{
    std::vector<ngx_transport_peer_t *> peers;
    for (ngx_list_part_t *part = &peer_node_head->part; part;
         part = part->next) {
        auto *nodes = static_cast<ngx_peer_node_t *>(part->elts);
        for (ngx_uint_t i = 0; i < part->nelts; i++) {
            peers.push_back(&nodes[i].t_peer);
        }
    }
    return peers;
}

/* An authorization upstream whose addresses keep changing. */
class KeyedPeers : public kvtest::ConfFixture {
  protected:
    void SetUp() override
    {
        kvtest::ConfFixture::SetUp();
        saved_ = peer_node_head;
        peer_node_head = nullptr;
    }

    void TearDown() override
    {
        if (peer_node_head != nullptr) {
            for (ngx_transport_peer_t *p : keyed_peers()) {
                _reset_transport_peer(p, log.log());
                if (p->ssl) {
                    SSL_free(p->ssl);
                }
            }
        }
        peer_node_head = saved_;
        kvtest::ConfFixture::TearDown();
    }

    ngx_transport_peer_t *peer_for(const std::string &url)
    {
        urls_.push_back(url);
        ngx_str_t s = {urls_.back().size(), (u_char *) urls_.back().data()};
        return ngx_ext_access_log_get_peer(pool, &s);
    }

    ssize_t send_to(ngx_transport_peer_t *p, const std::string &url)
    {
        urls_.push_back(url);
        ngx_str_t s = {urls_.back().size(), (u_char *) urls_.back().data()};
        return ngx_transport_send(p, (u_char *) "x", 1, log.log(), &s, pool);
    }

    std::list<std::string> urls_;
    ngx_list_t *saved_;
};

} /* namespace */

TEST_F(KeyedPeers, ChurningAddressesReuseIdlePeersInsteadOfLeakingSockets)
{
    Listener upstream(true);
    size_t before = open_descriptors();

    for (int i = 1; i <= 100; i++) {
        std::string host = "127.0.0." + std::to_string(i);
        std::string url = upstream.url("http://", host.c_str());
        ngx_transport_peer_t *p = peer_for(url);

        ASSERT_NE(p, nullptr) << url;
        ASSERT_EQ(send_to(p, url), 1) << url << log.text();
        EXPECT_EQ(std::string((char *) p->server.name.data, p->server.name.len),
                  url);
    }

    EXPECT_EQ(keyed_peers().size(), 64u);
    EXPECT_LE(open_descriptors() - before, 64u);

    /* the least recently used peer went first: the newest 64 are kept */
    std::string kept = upstream.url("http://", "127.0.0.37");
    ngx_transport_peer_t *p37 = peer_for(kept);
    EXPECT_NE(p37->conn.fd, -1);
    EXPECT_EQ(keyed_peers().size(), 64u);

    /* a peer whose address stopped answering is the first to go */
    _reset_transport_peer(p37, log.log());
    EXPECT_EQ(peer_for(upstream.url("http://", "127.0.1.1")), p37);
}

TEST_F(KeyedPeers, PeerHandedToAnotherUrlNeverCarriesTheFirstUrlsMessages)
{
    Listener upstream(true);

    for (int i = 1; i <= 64; i++) {
        std::string host = "127.0.0." + std::to_string(i);
        ASSERT_NE(peer_for(upstream.url("http://", host.c_str())), nullptr);
    }

    /* a sender looks up its peer; before it sends, the list is full and
     * every other peer is busy, so a new URL gets this one */
    std::string first = upstream.url("http://", "127.0.0.5");
    ngx_transport_peer_t *p = peer_for(first);
    std::vector<ngx_transport_peer_t *> busy;

    for (ngx_transport_peer_t *other : keyed_peers()) {
        if (other != p) {
            other->lock.lock();
            busy.push_back(other);
        }
    }

    EXPECT_EQ(peer_for(upstream.url("http://", "127.0.2.1")), p);

    /* every peer busy: nothing to give a further URL */
    p->lock.lock();
    EXPECT_EQ(peer_for(upstream.url("http://", "127.0.2.2")), nullptr);
    p->lock.unlock();

    for (ngx_transport_peer_t *other : busy) {
        other->lock.unlock();
    }

    EXPECT_EQ(send_to(p, first), -1);
    EXPECT_EQ(p->conn.fd, -1);
    EXPECT_TRUE(log.contains("was given to another collector")) << log.text();
}
