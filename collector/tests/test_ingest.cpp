/*
 * Ingest over real sockets: pipelined sensor streams in pieces, garbage,
 * connections dropped mid-message, and the collector still serving after
 * all of it.
 */

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "ingest.h"
#include "support.h"
#include "text.h"

using kvtest::data;

namespace {

using Clock = std::chrono::steady_clock;

class IngestTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char dir[] = "/tmp/kv-ingest-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        kv::Store::Options opt;
        opt.path = std::string(dir) + "/collector.db";
        std::string error;
        store = kv::Store::open(opt, error);
        ASSERT_TRUE(store) << error;
        store->start();
        ingest =
            std::make_unique<kv::Ingest>(ioc, dispatcher, *store, counters);
        ASSERT_TRUE(ingest->listen("127.0.0.1", 0, nullptr, error)) << error;
        port = ingest->port();
        loop = std::thread([this] { ioc.run(); });
    }

    void TearDown() override
    {
        ioc.stop();
        if (loop.joinable()) {
            loop.join();
        }
        ingest.reset();
        store->stop();
    }

    int connect_()
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
        return fd;
    }

    /* Reads until want bytes came or the peer closed (or 10 s passed). */
    std::string read_until(int fd, size_t want, bool *closed = nullptr)
    {
        std::string got;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (got.size() < want && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            char buf[65536];
            ssize_t n = read(fd, buf, sizeof(buf));
            if (n <= 0) {
                if (closed) {
                    *closed = true;
                }
                break;
            }
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    template <class Pred>
    bool eventually(Pred pred)
    {
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!pred()) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    size_t stored()
    {
        store->flush();
        kv::ExchangeQuery q;
        q.limit = 1000;
        return store->exchanges(q).size();
    }

    kv::IngestCounters counters;
    kv::ControlState control{"", counters, [](const std::string &) {}};
    kv::Dispatcher dispatcher{control, counters, kv::AuthRules{}};
    boost::asio::io_context ioc;
    std::unique_ptr<kv::Store> store;
    std::unique_ptr<kv::Ingest> ingest;
    std::thread loop;
    unsigned short port = 0;
};

const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

} // namespace

TEST_F(IngestTest, PipelinedStreamInPiecesIsAnsweredAndStored)
{
    std::string stream =
        data("merged_stream.bin") + data("response_stream.bin");
    int fd = connect_();
    std::mt19937 rng(7);
    for (int round = 0; round < 3; round++) {
        for (size_t pos = 0; pos < stream.size();) {
            size_t n = std::uniform_int_distribution<size_t>(1, 900)(rng);
            n = std::min(n, stream.size() - pos);
            ASSERT_EQ(write(fd, stream.data() + pos, n),
                      static_cast<ssize_t>(n));
            pos += n;
        }
    }
    std::string replies = read_until(fd, 27 * ok.size());
    std::string want;
    for (int i = 0; i < 27; i++) {
        want += ok;
    }
    EXPECT_EQ(replies, want);
    EXPECT_EQ(stored(), 27u);
    close(fd);
}

TEST_F(IngestTest, HeartbeatReplyLeavesInOnePiece)
{
    std::string control_stream = data("control_stream.bin");
    int fd = connect_();
    ASSERT_EQ(write(fd, control_stream.data(), control_stream.size()),
              static_cast<ssize_t>(control_stream.size()));
    std::string want = ok + control.current()->heartbeat_reply;
    EXPECT_EQ(read_until(fd, want.size()), want);
    close(fd);
}

TEST_F(IngestTest, GarbageAndDroppedConnectionsCostOnlyThemselves)
{
    /* garbage: a 400, the connection closed, counted */
    int fd = connect_();
    std::string junk = "\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03 tls?";
    ASSERT_GT(write(fd, junk.data(), junk.size()), 0);
    bool closed = false;
    std::string reply = read_until(fd, 1 << 20, &closed);
    EXPECT_EQ(reply.substr(0, 24), "HTTP/1.1 400 Bad Request");
    EXPECT_TRUE(closed);
    close(fd);

    /* a good message, then garbage on the same connection: the message
     * is kept */
    fd = connect_();
    std::string merged = data("merged_stream.bin");
    std::string mixed = merged + "\r\n\x01\x02\x03\x04 not http\r\n\r\n";
    ASSERT_GT(write(fd, mixed.data(), mixed.size()), 0);
    closed = false;
    reply = read_until(fd, 1 << 20, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(reply.substr(0, 4 * ok.size()), ok + ok + ok + ok);
    close(fd);

    /* half a message, then the sensor goes away */
    size_t half = merged.find("POST", 1) / 2;
    fd = connect_();
    ASSERT_GT(write(fd, merged.data(), half), 0);
    EXPECT_TRUE(eventually([&] {
        return counters.bytes_received.load()
               >= junk.size() + mixed.size() + half;
    }));
    close(fd);

    /* a reset in the middle of a message */
    fd = connect_();
    ASSERT_GT(write(fd, merged.data(), 100), 0);
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    EXPECT_TRUE(eventually([&] {
        return counters.bytes_received.load()
               >= junk.size() + mixed.size() + half + 100;
    }));
    close(fd);

    EXPECT_TRUE(eventually([&] {
        return counters.connections_cut_mid_message.load() == 2
               && counters.connections_open.load() == 0;
    })) << counters.to_json().dump();
    EXPECT_EQ(counters.framing_errors.load(), 2u);
    EXPECT_EQ(stored(), 4u);

    /* and the collector still serves */
    fd = connect_();
    ASSERT_GT(write(fd, merged.data(), merged.size()), 0);
    EXPECT_EQ(read_until(fd, 4 * ok.size()), ok + ok + ok + ok);
    EXPECT_EQ(stored(), 8u);
    close(fd);
}

TEST_F(IngestTest, ManyConnectionsAtOnce)
{
    std::string stream = data("merged_stream.bin");
    std::vector<int> fds;
    for (int i = 0; i < 40; i++) {
        fds.push_back(connect_());
    }
    for (int fd : fds) {
        ASSERT_GT(write(fd, stream.data(), stream.size()), 0);
    }
    for (int fd : fds) {
        EXPECT_EQ(read_until(fd, 4 * ok.size()).size(), 4 * ok.size());
        close(fd);
    }
    EXPECT_EQ(stored(), 160u);
    EXPECT_EQ(counters.connections_accepted.load(), 40u);
}
