/*
 * Splitting sensor streams: the recorded bytes of the real sensor,
 * pipelined, cut at every point a read could end, and garbage.
 */

#include <gtest/gtest.h>

#include <random>

#include "support.h"

using kvtest::data;
using kvtest::Feeder;
using kvtest::Split;

namespace {

/* All three recorded streams back to back, as one busy connection. */
std::string
pipelined()
{
    return data("merged_stream.bin") + data("response_stream.bin")
           + data("control_stream.bin");
}

std::vector<Split>
reference(const std::string &stream)
{
    Feeder f;
    f.feed(stream);
    EXPECT_FALSE(f.failed) << f.framer.error();
    return f.out;
}

} // namespace

TEST(Framing, RecordedStreamsSplitIntoTheirMessages)
{
    auto merged = reference(data("merged_stream.bin"));
    ASSERT_EQ(merged.size(), 4u);
    for (const auto &m : merged) {
        EXPECT_EQ(m.method, "POST");
        EXPECT_EQ(m.target, "/mergedlog?sensor=nginx");
        EXPECT_EQ(m.body.front(), '[');
        EXPECT_EQ(m.body.back(), ']');
    }

    auto responses = reference(data("response_stream.bin"));
    ASSERT_EQ(responses.size(), 5u);
    EXPECT_EQ(responses[0].body, "{\"ok\":true}");
    EXPECT_EQ(responses[1].body, ""); /* cut at the capture limit */
    EXPECT_EQ(responses[2].body, ""); /* 204: the bodiless form */
    /* the bodiless form's extra CR LF is not taken for a request */
    EXPECT_EQ(responses[3].head.substr(0, 24), "POST /nginxlog HTTP/1.1\r");

    auto control = reference(data("control_stream.bin"));
    ASSERT_EQ(control.size(), 2u);
    EXPECT_EQ(control[0].target, "/nginxstats");
    EXPECT_EQ(control[1].target, "/kestrelvanes/heartbeat/v1?sensor=nginx");
    EXPECT_EQ(control[1].body, "");
}

TEST(Framing, AReadEndingAnywhereGivesTheSameMessages)
{
    std::string stream = pipelined();
    auto want = reference(stream);
    ASSERT_EQ(want.size(), 11u);

    for (size_t cut = 0; cut <= stream.size(); cut++) {
        Feeder f;
        f.feed(std::string_view(stream).substr(0, cut));
        f.feed(std::string_view(stream).substr(cut));
        ASSERT_FALSE(f.failed) << "cut at " << cut << ": " << f.framer.error();
        ASSERT_EQ(f.out, want) << "cut at " << cut;
        /* what is left is at most the last bodiless log's extra line */
        ASSERT_LE(f.buffer.size(), 2u);
    }

    Feeder bytewise;
    for (char c : stream) {
        bytewise.feed(std::string_view(&c, 1));
    }
    EXPECT_EQ(bytewise.out, want);

    std::mt19937 rng(12);
    for (int round = 0; round < 50; round++) {
        Feeder f;
        for (size_t pos = 0; pos < stream.size();) {
            size_t n = std::uniform_int_distribution<size_t>(1, 700)(rng);
            f.feed(std::string_view(stream).substr(pos, n));
            pos += n;
        }
        ASSERT_EQ(f.out, want) << "round " << round;
    }
}

TEST(Framing, GarbageIsRefusedWithoutWaitingForMore)
{
    const std::string cases[] = {
        std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
        std::string("\0\0\0\0POST / HTTP/1.1\r\n\r\n", 24),
        "POST /x HTTP/1.1 extra\r\n\r\n",
        "POST /x FTP/1.0\r\n\r\n",
        " POST /x HTTP/1.1\r\n\r\n",
        "POST /x HTTP/1.1\r\nno colon here\r\n\r\n",
        "POST /x HTTP/1.1\r\n: empty name\r\n\r\n",
        "POST /x HTTP/1.1\r\nContent-Length: 12a\r\n\r\n",
        "POST /x HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "POST /x HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n",
        "POST /x HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n",
        "POST /x HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n",
        "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
        std::string(40, 'A') + " / HTTP/1.1\r\n\r\n",
        "GET /a b HTTP/1.1\r\n\r\n",
        "{\"worker\":{\"pid\":1}}",
    };
    for (const auto &c : cases) {
        Feeder f;
        f.feed(c);
        EXPECT_TRUE(f.failed) << c;
        EXPECT_TRUE(f.out.empty()) << c;
        EXPECT_FALSE(f.framer.error().empty());
    }

    /* a bad request line is judged before its head is complete */
    Feeder early;
    early.feed("HELLO WORLD\r\n");
    EXPECT_TRUE(early.failed);

    /* a head that never ends is refused at its limit, not buffered on */
    kv::Framer small(kv::Framer::Limits{1024, 1 << 20});
    std::string endless = "POST /x HTTP/1.1\r\n";
    while (endless.size() < 2000) {
        endless += "X-Pad: 0123456789\r\n";
    }
    kv::Request req;
    EXPECT_EQ(small.next(endless, req), kv::Parse::error);

    /* messages before the garbage are still delivered */
    std::string stream = data("control_stream.bin") + "\x01\x02garbage";
    Feeder mixed;
    mixed.feed(stream);
    EXPECT_EQ(mixed.out.size(), 2u);
    EXPECT_TRUE(mixed.failed);
}

TEST(Framing, FramingOfOtherPeers)
{
    /* nginx proxying an authorization subrequest: HTTP/1.0 closes after
     * one request unless it asks to be kept */
    kv::Framer s;
    kv::Request req;
    std::string one = "POST /kestrelvanes/authorize HTTP/1.0\r\nHost: a\r\n"
                      "Connection: close\r\n\r\n";
    ASSERT_EQ(s.next(one, req), kv::Parse::complete);
    EXPECT_FALSE(req.keep_alive);
    std::string kept = "POST /a HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
    ASSERT_EQ(s.next(kept, req), kv::Parse::complete);
    EXPECT_TRUE(req.keep_alive);

    std::string chunked = "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
                          "\r\n5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\n"
                          "Trailer: x\r\n\r\nPOST /b HTTP/1.1\r\n\r\n";
    Feeder f;
    for (char c : chunked) {
        f.feed(std::string_view(&c, 1));
    }
    ASSERT_EQ(f.out.size(), 2u);
    EXPECT_EQ(f.out[0].body, "hello world");
    EXPECT_EQ(f.out[1].target, "/b");

    ASSERT_EQ(s.next("POST /q?a=1&b=2 HTTP/1.1\r\nX-A:  spaced  \r\n\r\n", req),
              kv::Parse::complete);
    EXPECT_EQ(req.path(), "/q");
    EXPECT_EQ(req.query(), "a=1&b=2");
    EXPECT_EQ(req.header("x-a"), "spaced");
}
