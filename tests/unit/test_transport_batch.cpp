#include "support.h"
#include "nginx_ext_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using kvtest::Listener;

/* Reads until `want` bytes came or the peer closed. */
std::string
read_bytes(int fd, size_t want)
{
    std::string got;
    std::vector<char> buf(65536);

    while (got.size() < want) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
            break;
        }
        got.append(buf.data(), n);
    }
    return got;
}

/* Closes with a reset, as a collector that gives up on a connection. */
void
reset_close(int fd)
{
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(fd);
}

/* Messages that tell where they belong: index, then filler. */
std::string
message(size_t i, size_t len)
{
    std::string m = "#" + std::to_string(i) + ":";
    m.resize(std::max(len, m.size()), static_cast<char>('a' + i % 26));
    return m;
}

class Batch : public kvtest::ConfFixture {
  protected:
    void SetUp() override
    {
        kvtest::ConfFixture::SetUp();
        std::memset(&log_stats, 0, sizeof(log_stats));
        std::memset(static_cast<void *>(&peer), 0, sizeof(peer));
        ngx_ext_peer_construct(&peer);
    }

    void TearDown() override
    {
        _reset_transport_peer(&peer, log.log());
        kvtest::ConfFixture::TearDown();
    }

    /* Chains the messages as items; `texts` must outlive the send. */
    ngx_transport_item_t *chain(std::vector<std::string> &texts)
    {
        items.assign(texts.size(), ngx_transport_item_t{});
        for (size_t i = 0; i < texts.size(); i++) {
            items[i].data = reinterpret_cast<u_char *>(texts[i].data());
            items[i].len = texts[i].size();
            items[i].next = i + 1 < texts.size() ? &items[i + 1] : nullptr;
        }
        return items.empty() ? nullptr : &items[0];
    }

    ngx_int_t send(std::vector<std::string> &texts, const std::string &to)
    {
        url_ = to;
        ngx_str_t url = {url_.size(), (u_char *) url_.data()};
        return ngx_transport_send_batch(&peer, chain(texts), log.log(), &url,
                                        pool);
    }

    std::vector<ngx_transport_item_state_e> states() const
    {
        std::vector<ngx_transport_item_state_e> out;
        for (const ngx_transport_item_t &item : items) {
            out.push_back(item.state);
        }
        return out;
    }

    ngx_transport_peer_t peer;
    std::vector<ngx_transport_item_t> items;
    std::string url_;
};

std::string
joined(const std::vector<std::string> &texts)
{
    std::string all;
    for (const std::string &t : texts) {
        all += t;
    }
    return all;
}

TEST_F(Batch, ManyMessagesGoOutWholeAndInOrderOnOneConnection)
{
    Listener collector;
    std::vector<std::string> first, second;

    /* sizes from a few bytes to more than a socket takes at once */
    for (size_t i = 0; i < 300; i++) {
        first.push_back(message(i, (i * 7919) % 20000));
    }
    first.push_back(message(300, 3 << 20));
    for (size_t i = 0; i < 10; i++) {
        second.push_back(message(1000 + i, 500));
    }

    std::string got;
    size_t want = joined(first).size() + joined(second).size();
    std::thread server([&] {
        int c = collector.accept_one();
        got = read_bytes(c, want);
        close(c);
    });

    ASSERT_EQ(send(first, collector.url()), NGX_OK);
    EXPECT_EQ(states(), std::vector<ngx_transport_item_state_e>(
                            first.size(), NGX_EXT_ITEM_SENT));
    ASSERT_EQ(send(second, collector.url()), NGX_OK);
    server.join();

    EXPECT_TRUE(got == joined(first) + joined(second))
        << "received " << got.size() << " of " << want << " bytes";
    EXPECT_EQ(log_stats.msg_sent, first.size() + second.size());
    EXPECT_EQ(log_stats.socket_connected, 1u);
    EXPECT_EQ(log_stats.msg_retry, 0u);
}

TEST_F(Batch, FailedMessageIsRetriedFromItsStartAndCountedAlone)
{
    /*
     * The collector reads a little of every connection and resets it.
     * The small first message gets through; the large second one fails
     * on each of its three connections and is given up; the third goes
     * out on a fourth connection, as it would have alone.
     */
    Listener collector;
    std::vector<std::string> texts = {message(0, 100), message(1, 16 << 20),
                                      message(2, 100)};
    std::vector<std::string> seen;

    std::thread server([&] {
        for (int i = 0; i < 4; i++) {
            int c = collector.accept_one();
            seen.push_back(read_bytes(c, i < 3 ? 200 : 100));
            reset_close(c);
        }
    });

    EXPECT_EQ(send(texts, collector.url()), NGX_OK);
    server.join();

    EXPECT_EQ(states(),
              (std::vector<ngx_transport_item_state_e>{
                  NGX_EXT_ITEM_SENT, NGX_EXT_ITEM_FAILED, NGX_EXT_ITEM_SENT}));
    EXPECT_EQ(log_stats.msg_sent, 2u);
    EXPECT_EQ(log_stats.msg_retry, 3u);
    EXPECT_EQ(log_stats.msg_send_failed, 3u);
    EXPECT_EQ(log_stats.socket_connected, 4u);

    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].rfind(texts[0], 0), 0u);
    for (int i = 1; i <= 2; i++) {
        EXPECT_EQ(seen[i].rfind("#1:", 0), 0u)
            << i << ": " << seen[i].substr(0, 8);
    }
    EXPECT_EQ(seen[3].rfind("#2:", 0), 0u) << seen[3].substr(0, 8);
}

TEST_F(Batch, NoConnectionCountsOneSetUpAndLeavesEveryMessage)
{
    std::string gone;
    {
        Listener closed;
        gone = closed.url();
    }
    std::vector<std::string> texts(5, "x");

    EXPECT_EQ(send(texts, gone), NGX_ERROR);
    EXPECT_EQ(states(),
              std::vector<ngx_transport_item_state_e>(5, NGX_EXT_ITEM_NO_PEER));
    EXPECT_EQ(log_stats.transport_init_failed, 1u);
    EXPECT_EQ(log_stats.socket_connect_fail, 1u);
    EXPECT_TRUE(log.contains("failed to init peer"));
}

TEST_F(Batch, ConnectionClosedMeanwhileIsReplacedOncePerBatch)
{
    Listener collector;
    std::vector<std::string> one = {"first"};
    std::vector<std::string> three = {"a", "bb", "ccc"};
    std::string second;

    std::thread server([&] {
        int c = collector.accept_one();
        read_bytes(c, 5);
        close(c);

        c = collector.accept_one();
        second = read_bytes(c, 6);
        close(c);
    });

    ASSERT_EQ(send(one, collector.url()), NGX_OK);

    /* wait until the collector's close has arrived */
    for (int i = 0; i < 200; i++) {
        u_char b;
        if (recv(peer.conn.fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            break;
        }
        usleep(10000);
    }

    ASSERT_EQ(send(three, collector.url()), NGX_OK);
    server.join();

    EXPECT_EQ(second, "abbccc");
    EXPECT_EQ(log_stats.msg_retry, 1u);
    EXPECT_EQ(log_stats.socket_connected, 2u);
    EXPECT_EQ(log_stats.msg_sent, 4u);
}

TEST_F(Batch, AnswersAreReadWhileTheSocketIsFull)
{
    /*
     * A collector that writes its answers before it reads on: unless the
     * sender takes them while it waits for room, both sides wait on each
     * other until the send times out.
     */
    Listener collector;
    std::vector<std::string> texts = {message(0, 16 << 20)};
    std::string got;

    std::thread server([&] {
        int c = collector.accept_one();
        std::string answers(16 << 20, 'r');
        for (size_t off = 0; off < answers.size();) {
            ssize_t n =
                ::send(c, answers.data() + off, answers.size() - off, 0);
            if (n <= 0) {
                break;
            }
            off += n;
        }
        got = read_bytes(c, texts[0].size());
        close(c);
    });

    EXPECT_EQ(send(texts, collector.url()), NGX_OK);
    server.join();

    EXPECT_EQ(states()[0], NGX_EXT_ITEM_SENT);
    EXPECT_EQ(log_stats.msg_retry, 0u);
    EXPECT_TRUE(got == texts[0]) << got.size();
    EXPECT_GT(log_stats.socket_reads, 0u);
}

class StoppingBatch : public Batch {
  protected:
    /* Sends into a collector that never reads; `stop` ends the wait. */
    template <typename Stop>
    ngx_int_t send_until(Stop stop)
    {
        Listener collector;
        std::atomic<bool> accepted{false};
        int c = -1;

        std::thread server([&] {
            c = collector.accept_one();
            accepted = true;
        });

        ngx_int_t rc = NGX_OK;
        std::thread sender([&] { rc = send(texts, collector.url()); });

        server.join();
        EXPECT_TRUE(accepted);

        /* the batch has begun to write, and cannot finish */
        struct pollfd pfd = {c, POLLIN, 0};
        EXPECT_EQ(poll(&pfd, 1, 5000), 1);
        stop();
        sender.join();
        close(c);

        return rc;
    }

    void TearDown() override
    {
        ngx_terminate = 0;
        ngx_exiting = 0;
        ngx_transport_senders_stop = false;
        Batch::TearDown();
    }

    std::vector<std::string> texts = {message(0, 16 << 20), "later"};
};

TEST_F(StoppingBatch, FastStopAbandonsTheBatch)
{
    EXPECT_EQ(send_until([] { ngx_terminate = 1; }), NGX_DONE);
    EXPECT_EQ(states(), (std::vector<ngx_transport_item_state_e>{
                            NGX_EXT_ITEM_PENDING, NGX_EXT_ITEM_PENDING}));
    EXPECT_EQ(log_stats.msg_sent, 0u);
    EXPECT_EQ(log_stats.msg_retry, 0u);
}

/* An exit flush past its bound gives up as a fast stop does. */
TEST_F(StoppingBatch, FlushGivenUpAbandonsTheBatch)
{
    ngx_exiting = 1;
    EXPECT_EQ(send_until([] { ngx_transport_senders_stop = true; }), NGX_DONE);
    EXPECT_EQ(states(), (std::vector<ngx_transport_item_state_e>{
                            NGX_EXT_ITEM_PENDING, NGX_EXT_ITEM_PENDING}));
    EXPECT_EQ(log_stats.msg_sent, 0u);
}

/* A graceful exit alone does not stop a batch: it is the flush. */
TEST_F(StoppingBatch, ExitingWorkerStillSendsItsBatch)
{
    Listener collector;
    std::vector<std::string> batch = {message(0, 300000), message(1, 10),
                                      message(2, 70000)};
    std::string all = joined(batch);
    std::string got;

    ngx_exiting = 1;
    std::thread server([&] {
        int c = collector.accept_one();
        got = read_bytes(c, all.size());
        close(c);
    });

    EXPECT_EQ(send(batch, collector.url()), NGX_OK);
    server.join();

    EXPECT_EQ(got, all);
    EXPECT_EQ(states(),
              (std::vector<ngx_transport_item_state_e>{
                  NGX_EXT_ITEM_SENT, NGX_EXT_ITEM_SENT, NGX_EXT_ITEM_SENT}));
    EXPECT_EQ(log_stats.msg_sent, 3u);
}

} /* namespace */
