/*
 * Shared by the collector's unit tests: the recorded sensor streams, a
 * framer driven the way a connection drives it, and plain sockets for the
 * tests that talk to a server.
 */

#ifndef KV_COLLECTOR_TEST_SUPPORT_H
#define KV_COLLECTOR_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/http.h"

namespace kvtest {

inline std::string
data(const std::string &name)
{
    std::ifstream in(std::string(KV_TEST_DATA) + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/* One request as it was split: its head and body, copied. */
struct Split {
    std::string method, target, head, body;
    bool operator==(const Split &o) const
    {
        return method == o.method && target == o.target && head == o.head
               && body == o.body;
    }
};

/* A connection's buffer: bytes are appended as they arrive and dropped
 * once a request is complete. */
struct Feeder {
    kv::Framer framer;
    std::string buffer;
    std::vector<Split> out;
    bool failed = false;

    void feed(std::string_view bytes)
    {
        buffer.append(bytes);
        kv::Request req;
        while (!failed) {
            kv::Parse p = framer.next(buffer, req);
            if (p == kv::Parse::incomplete) {
                return;
            }
            if (p == kv::Parse::error) {
                failed = true;
                return;
            }
            out.push_back({std::string(req.method), std::string(req.target),
                           std::string(req.head), std::string(req.body)});
            buffer.erase(0, req.size);
        }
    }
};

/* Every complete request of a stream given in one piece, as views. */
inline std::vector<kv::Request>
split_all(const std::string &stream)
{
    std::vector<kv::Request> out;
    kv::Framer s;
    std::string_view rest = stream;
    kv::Request req;
    while (s.next(rest, req) == kv::Parse::complete) {
        out.push_back(req);
        rest.remove_prefix(req.size);
    }
    return out;
}

/* A connection to 127.0.0.1:port from the loopback address from
 * (127.0.0.1 by default: every 127.x.y.z is this machine). */
inline int
connect_to(unsigned short port, const char *from = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (from) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, from, &src.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof(src)), 0);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    return fd;
}

inline bool
send_all(int fd, const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + off, bytes.size() - off);
        if (n <= 0) {
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

/* Reads until want bytes came or the peer closed (or 10 s passed). */
inline std::string
read_until(int fd, size_t want, bool *closed = nullptr)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
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

/* Until pred holds, for up to 10 s. */
template <class Pred>
bool
eventually(Pred pred)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace kvtest

#endif
