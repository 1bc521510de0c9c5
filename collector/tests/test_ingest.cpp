/*
 * Ingest over real sockets: pipelined sensor streams in pieces, garbage,
 * connections dropped mid-message, the bounds on time, connections and
 * memory, and the collector still serving after all of it.
 */

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "base/text.h"
#include "network/ingest_server.h"
#include "store/sqlite_store.h"
#include "support.h"

using kvtest::data;
using kvtest::eventually;
using kvtest::read_until;
using kvtest::send_all;

namespace {

using Clock = std::chrono::steady_clock;

class IngestTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char dir[] = "/tmp/kv-ingest-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        kv::SqliteStore::Options opt;
        opt.path = std::string(dir) + "/collector.db";
        std::string error;
        store = kv::SqliteStore::open(opt, error);
        ASSERT_TRUE(store) << error;
        store->start();
        pipeline = std::make_unique<kv::Pipeline>(*store);
    }

    /* The server under test, with the bounds a test wants. */
    void serve(kv::IngestLimits limits = kv::IngestLimits{})
    {
        std::string error;
        ingest = std::make_unique<kv::IngestServer>(ioc, dispatcher, *pipeline,
                                                    counters, limits);
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

    int connect_(const char *from = nullptr)
    {
        return kvtest::connect_to(port, from);
    }

    /* exchanges the store took: kept, or known already (the recorded
     * streams carry the same request ids each time they are sent) */
    size_t stored()
    {
        store->flush();
        return store->counters().exchanges_stored.load()
               + store->counters().duplicates_ignored.load();
    }

    size_t rows()
    {
        kv::ExchangeQuery q;
        q.limit = 1000;
        return store->exchanges(q).size();
    }

    kv::IngestCounters counters;
    kv::ControlState control{"", counters, [](const std::string &) {}};
    kv::Dispatcher dispatcher{control, counters, kv::AuthRules{}};
    boost::asio::io_context ioc;
    std::unique_ptr<kv::SqliteStore> store;
    std::unique_ptr<kv::Pipeline> pipeline;
    std::unique_ptr<kv::IngestServer> ingest;
    std::thread loop;
    unsigned short port = 0;
};

const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

} // namespace

TEST_F(IngestTest, PipelinedStreamInPiecesIsAnsweredAndStored)
{
    serve();
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
    /* sent three times, kept once */
    EXPECT_EQ(rows(), 9u);
    EXPECT_EQ(store->counters().duplicates_ignored.load(), 18u);
    close(fd);
}

TEST_F(IngestTest, HeartbeatReplyLeavesInOnePiece)
{
    serve();
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
    serve();
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
    })) << counters.connections_cut_mid_message.load()
        << " cut, " << counters.connections_open.load() << " open";
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
    serve();
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

namespace {

using namespace std::chrono_literals;

const std::string half_head = "POST /mergedlog?sensor=nginx HTTP/1.1\r\n"
                              "Host: c\r\nContent-Le";

/* A response log whose body is n bytes. */
std::string
response_log(size_t n)
{
    return "POST /nginxlog HTTP/1.1\r\nHost: c\r\nConnection:keep-alive\r\n"
           "X-Status:200\r\nX-Method:GET\r\nX-Req-Uri:/big\r\n"
           "Content-Length: "
           + std::to_string(n) + "\r\n\r\n" + std::string(n, 'b');
}

} // namespace

TEST_F(IngestTest, AHeadMustArriveInTimeWhileAQuietConnectionWaits)
{
    kv::IngestLimits limits;
    limits.head_timeout = 300ms;
    limits.idle_timeout = 30s;
    serve(limits);

    /* a sensor's connection, quiet after its first messages */
    std::string control_stream = data("control_stream.bin");
    std::string answers = ok + control.current()->heartbeat_reply;
    int quiet = connect_();
    ASSERT_TRUE(send_all(quiet, control_stream));
    ASSERT_EQ(read_until(quiet, answers.size()), answers);

    /* half a head, then nothing: cut without a reply */
    int slow = connect_();
    ASSERT_TRUE(send_all(slow, half_head));
    bool closed = false;
    EXPECT_EQ(read_until(slow, 1, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(counters.head_timeouts.load(), 1u);
    EXPECT_EQ(counters.connections_cut_mid_message.load(), 1u);
    close(slow);

    /* the quiet one has waited longer than a head may take, between
     * messages, which is allowed */
    ASSERT_TRUE(send_all(quiet, control_stream));
    EXPECT_EQ(read_until(quiet, answers.size()), answers);
    close(quiet);

    /* a head that keeps coming a line at a time is still held to its
     * time from its first byte */
    int trickle = connect_();
    ASSERT_TRUE(send_all(trickle, "POST /mergedlog HTTP/1.1\r\n"));
    closed = false;
    auto deadline = Clock::now() + 10s;
    while (!closed && Clock::now() < deadline) {
        if (!send_all(trickle, "X-Pad: 0123456789\r\n")) {
            break;
        }
        pollfd p{trickle, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char c;
            closed = read(trickle, &c, 1) <= 0;
        }
    }
    EXPECT_TRUE(closed);
    EXPECT_EQ(counters.head_timeouts.load(), 2u);
    close(trickle);
    EXPECT_EQ(counters.idle_timeouts.load(), 0u);
}

TEST_F(IngestTest, AQuietConnectionIsClosedAfterTheIdleTime)
{
    kv::IngestLimits limits;
    limits.idle_timeout = 300ms;
    serve(limits);
    int fd = connect_();
    std::string merged = data("merged_stream.bin");
    ASSERT_TRUE(send_all(fd, merged));
    EXPECT_EQ(read_until(fd, 4 * ok.size()), ok + ok + ok + ok);
    bool closed = false;
    EXPECT_EQ(read_until(fd, 1, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(counters.idle_timeouts.load(), 1u);
    EXPECT_EQ(counters.head_timeouts.load(), 0u);
    EXPECT_EQ(counters.connections_cut_mid_message.load(), 0u);
    EXPECT_EQ(stored(), 4u);
    close(fd);
}

TEST_F(IngestTest, PartialBodiesShareOneMemoryBudget)
{
    kv::IngestLimits limits;
    limits.memory = 512 * 1024;
    serve(limits);

    /* four peers, one after the other, each announce a 1 MiB body and
     * send 300 KiB of it: the first holds what the budget has, the others
     * are cut as soon as they need more than their first buffer */
    std::string start = "POST /nginxlog HTTP/1.1\r\nX-Status: 200\r\n"
                        "Content-Length: 1048576\r\n\r\n"
                        + std::string(300 * 1024, 'x');
    std::vector<int> fds;
    uint64_t most = 0;
    for (uint64_t i = 0; i < 4; i++) {
        fds.push_back(connect_());
        ASSERT_TRUE(send_all(fds.back(), start));
        EXPECT_TRUE(eventually([&] {
            most = std::max(most, counters.buffered_bytes.load());
            return i == 0 ? counters.bytes_received.load() == start.size()
                          : counters.connections_cut_memory.load() == i;
        })) << i;
    }
    EXPECT_LE(most, limits.memory);
    EXPECT_GT(most, limits.memory / 2);
    /* those cut were told why */
    int told = 0;
    for (int fd : fds) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) {
            std::string reply = read_until(fd, 1 << 16);
            told += reply.rfind("HTTP/1.1 503 ", 0) == 0;
        }
    }
    EXPECT_EQ(told, 3);

    /* a sensor's small messages still get in meanwhile */
    int sensor = connect_();
    std::string merged = data("merged_stream.bin");
    ASSERT_TRUE(send_all(sensor, merged));
    EXPECT_EQ(read_until(sensor, 4 * ok.size()), ok + ok + ok + ok);
    close(sensor);

    /* and everything held goes back when the peers go */
    for (int fd : fds) {
        close(fd);
    }
    EXPECT_TRUE(eventually([&] {
        return counters.buffered_bytes.load() == 0
               && counters.connections_open.load() == 0;
    })) << counters.buffered_bytes.load();
}

TEST_F(IngestTest, BuffersShrinkBackAfterALargeMessage)
{
    serve();
    int fd = connect_();
    ASSERT_TRUE(send_all(fd, response_log(3 << 20)));
    EXPECT_EQ(read_until(fd, ok.size()), ok);
    /* what a busy connection keeps, not what the large message took */
    EXPECT_LE(counters.buffered_bytes.load(), 64u * 1024);

    std::string control_stream = data("control_stream.bin");
    std::string answers = ok + control.current()->heartbeat_reply;
    ASSERT_TRUE(send_all(fd, control_stream));
    EXPECT_EQ(read_until(fd, answers.size()), answers);
    /* and after small ones, the first buffer alone */
    EXPECT_EQ(counters.buffered_bytes.load(), 0u);
    EXPECT_EQ(stored(), 1u);
    close(fd);
}

TEST_F(IngestTest, ConnectionsAreCappedInAllAndPerAddress)
{
    kv::IngestLimits limits;
    limits.max_connections = 3;
    limits.max_per_address = 2;
    serve(limits);
    std::string control_stream = data("control_stream.bin");
    std::string answers = ok + control.current()->heartbeat_reply;
    auto served = [&](int fd) {
        return send_all(fd, control_stream)
               && read_until(fd, answers.size()) == answers;
    };
    auto refused = [&](int fd) {
        bool closed = false;
        return read_until(fd, 1, &closed).empty() && closed;
    };

    int a = connect_("127.0.0.1");
    int b = connect_("127.0.0.1");
    EXPECT_TRUE(served(a));
    EXPECT_TRUE(served(b));
    int c = connect_("127.0.0.1");
    EXPECT_TRUE(refused(c)); /* a third from one address */
    int d = connect_("127.0.0.2");
    EXPECT_TRUE(served(d));
    int e = connect_("127.0.0.3");
    EXPECT_TRUE(refused(e)); /* a fourth in all */
    EXPECT_EQ(counters.connections_refused.load(), 2u);

    close(a);
    EXPECT_TRUE(eventually([&] { return counters.connections_open == 2; }));
    int f = connect_("127.0.0.3");
    EXPECT_TRUE(served(f));
    for (int fd : {b, c, d, e, f}) {
        close(fd);
    }
}
