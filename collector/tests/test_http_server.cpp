/*
 * The console's HTTP server over real sockets: slow and silent clients
 * hold only their own connection, bodies are bounded, connections are
 * capped, and kept connections answer in order.
 */

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include <boost/json/parse.hpp>

#include "network/http_server.h"
#include "support.h"

using kvtest::connect_to;
using kvtest::eventually;
using kvtest::read_until;
using kvtest::send_all;
using namespace std::chrono_literals;

namespace {

class HttpServerTest : public ::testing::Test {
  protected:
    void serve(kv::HttpLimits limits)
    {
        server = std::make_unique<kv::HttpServer>(
            [this](const kv::HttpRequest &req, const kv::HttpPeer &) {
                std::string target(req.target());
                if (target == "/wait") {
                    std::unique_lock<std::mutex> g(lock);
                    waiting = true;
                    woken.notify_all();
                    woken.wait(g, [this] { return released; });
                }
                if (target == "/fail") {
                    /* as a database's error reads: several lines */
                    throw std::runtime_error("no server:\n\tis it \"up\"?");
                }
                return kv::make_response(
                    200, target + " " + std::to_string(req.body().size()),
                    "text/plain");
            },
            limits);
        std::string error;
        ASSERT_TRUE(server->listen("127.0.0.1", 0, error)) << error;
        server->start();
        port = server->port();
    }

    void TearDown() override
    {
        {
            std::lock_guard<std::mutex> g(lock);
            released = true;
        }
        woken.notify_all();
        server.reset();
    }

    /* What fd brings until text is among it (or it closes). */
    static std::string read_through(int fd, const std::string &text)
    {
        std::string got;
        while (got.find(text) == std::string::npos) {
            std::string more = read_until(fd, 1);
            if (more.empty()) {
                break;
            }
            got += more;
        }
        return got;
    }

    std::unique_ptr<kv::HttpServer> server;
    unsigned short port = 0;
    std::mutex lock;
    std::condition_variable woken;
    bool waiting = false;
    bool released = false;
};

const std::string get_a = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";

} // namespace

TEST_F(HttpServerTest, SlowClientsHoldOnlyTheirOwnConnection)
{
    kv::HttpLimits limits;
    limits.request_timeout = 300ms;
    limits.idle_timeout = 30s;
    serve(limits);

    /* more trickling clients than there are worker threads */
    std::vector<int> slow;
    for (int i = 0; i < 6; i++) {
        slow.push_back(connect_to(port));
        ASSERT_TRUE(send_all(slow.back(), "GET /slow HTTP/1.1\r\nHo"));
    }
    /* and a handler that does not return */
    int stuck = connect_to(port);
    ASSERT_TRUE(send_all(stuck, "GET /wait HTTP/1.1\r\nHost: x\r\n\r\n"));
    {
        std::unique_lock<std::mutex> g(lock);
        ASSERT_TRUE(woken.wait_for(g, 10s, [this] { return waiting; }));
    }

    int fd = connect_to(port);
    ASSERT_TRUE(send_all(fd, get_a));
    EXPECT_NE(read_through(fd, "\r\n\r\n/a 0").find("\r\n\r\n/a 0"),
              std::string::npos);

    /* the trickling ones are cut at their time, whatever they send */
    for (int s : slow) {
        bool closed = false;
        send_all(s, "st: x\r\nX-More: 1\r\n");
        read_until(s, 1 << 16, &closed);
        EXPECT_TRUE(closed);
        close(s);
    }
    /* a connection closes as its timer fires; the count follows on the
     * server's loop */
    EXPECT_TRUE(eventually([&] {
        return server->counters().timeouts.load() >= 6u;
    })) << server->counters().timeouts.load();

    /* a kept connection waits longer than a request may take */
    ASSERT_TRUE(send_all(fd, get_a));
    EXPECT_NE(read_through(fd, "/a 0").find("/a 0"), std::string::npos);
    close(fd);
    close(stuck);
}

TEST_F(HttpServerTest, BodiesOverTheLimitAreRefused)
{
    kv::HttpLimits limits;
    limits.body_limit = 1024;
    serve(limits);

    int fd = connect_to(port);
    ASSERT_TRUE(send_all(fd, "PUT /c HTTP/1.1\r\nContent-Length: 1024\r\n\r\n"
                                 + std::string(1024, 'x')));
    EXPECT_NE(read_through(fd, "/c 1024").find("/c 1024"), std::string::npos);
    ASSERT_TRUE(
        send_all(fd, "PUT /c HTTP/1.1\r\nContent-Length: 1025\r\n\r\n"));
    bool closed = false;
    std::string refused = read_until(fd, 1 << 16, &closed);
    EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 413");
    EXPECT_NE(refused.find("{\"error\":"), std::string::npos);
    EXPECT_TRUE(closed);
    close(fd);

    /* a chunked body is counted as it comes */
    fd = connect_to(port);
    std::string chunked =
        "PUT /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 3; i++) {
        chunked += "200\r\n" + std::string(512, 'y') + "\r\n";
    }
    ASSERT_TRUE(send_all(fd, chunked));
    EXPECT_EQ(read_until(fd, 12).substr(0, 12), "HTTP/1.1 413");
    close(fd);
}

TEST_F(HttpServerTest, ARouteWithALargerLimitTakesLargerBodiesAndOnlyIt)
{
    kv::HttpLimits limits;
    limits.body_limit = 1024;
    limits.larger_bodies.push_back(
        {boost::beast::http::verb::put, "/big", 8192,
         [](const kv::HttpRequest &head, const kv::HttpPeer &) {
             return head.count("X-Allowed") > 0;
         }});
    serve(limits);

    /* a head the route's gate refuses keeps the small limit: refused
     * before its body is read */
    int refused_fd = connect_to(port);
    ASSERT_TRUE(send_all(refused_fd, "PUT /big HTTP/1.1\r\nContent-Length: "
                                     "8192\r\n\r\n"));
    std::string small = read_until(refused_fd, 1 << 16);
    EXPECT_EQ(small.substr(0, 12), "HTTP/1.1 413");
    EXPECT_NE(small.find("over 1024 bytes"), std::string::npos) << small;
    close(refused_fd);

    /* its own path and method, a query after it */
    int fd = connect_to(port);
    ASSERT_TRUE(send_all(fd, "PUT /big?x=1 HTTP/1.1\r\nX-Allowed: 1\r\n"
                             "Content-Length: 8192\r\n\r\n"
                                 + std::string(8192, 'x')));
    EXPECT_NE(read_through(fd, "/big?x=1 8192").find("/big?x=1 8192"),
              std::string::npos);
    /* and no more */
    ASSERT_TRUE(send_all(fd,
                         "PUT /big HTTP/1.1\r\nX-Allowed: 1\r\nContent-Length: "
                         "8193\r\n\r\n"));
    std::string refused = read_until(fd, 1 << 16);
    EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 413");
    EXPECT_NE(refused.find("over 8192 bytes"), std::string::npos) << refused;
    close(fd);

    /* the other routes keep the small limit, however the body comes: a
     * length, or chunks arriving with the head */
    for (std::string head : {"POST /big HTTP/1.1\r\nContent-Length: 2048",
                             "PUT /bigger HTTP/1.1\r\nContent-Length: 2048",
                             "PUT /c HTTP/1.1\r\nTransfer-Encoding: chunked"}) {
        fd = connect_to(port);
        std::string body = head.find("chunked") != std::string::npos
                               ? "800\r\n" + std::string(2048, 'y') + "\r\n"
                               : std::string(2048, 'y');
        ASSERT_TRUE(send_all(fd, head + "\r\n\r\n" + body));
        refused = read_until(fd, 12);
        EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 413") << head;
        close(fd);
    }
}

TEST_F(HttpServerTest, ConnectionsBeyondTheCapAreClosedAndKeptOnesAnswerInOrder)
{
    kv::HttpLimits limits;
    limits.max_connections = 2;
    serve(limits);

    int a = connect_to(port);
    int b = connect_to(port);
    /* two requests in one write, answered in order */
    ASSERT_TRUE(send_all(a, get_a + "GET /b HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string both = read_through(a, "/b 0");
    ASSERT_NE(both.find("/b 0"), std::string::npos) << both;
    EXPECT_LT(both.find("/a 0"), both.find("/b 0"));
    ASSERT_TRUE(send_all(b, get_a));
    EXPECT_NE(read_through(b, "/a 0").find("/a 0"), std::string::npos);

    int c = connect_to(port);
    bool closed = false;
    EXPECT_EQ(read_until(c, 1, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(server->counters().connections_refused.load(), 1u);
    close(c);

    /* a client that asks to close is answered, then closed */
    ASSERT_TRUE(send_all(b, "GET /z HTTP/1.1\r\nConnection: close\r\n\r\n"));
    closed = false;
    EXPECT_NE(read_until(b, 1 << 16, &closed).find("/z 0"), std::string::npos);
    EXPECT_TRUE(closed);
    close(b);
    close(a);
}

TEST_F(HttpServerTest, AHandlerThatFailsIsAnsweredWithJson)
{
    serve(kv::HttpLimits{});
    int fd = connect_to(port);
    ASSERT_TRUE(send_all(fd, "GET /fail HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string reply = read_through(fd, "}");
    EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 500");
    std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
    EXPECT_EQ(boost::json::parse(body).at("error"),
              "no server:\n\tis it \"up\"?");
    close(fd);
}
