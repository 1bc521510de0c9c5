/*
 * Shared by the collector's unit tests: the recorded sensor streams and a
 * framer driven the way a connection drives it.
 */

#ifndef KV_COLLECTOR_TEST_SUPPORT_H
#define KV_COLLECTOR_TEST_SUPPORT_H

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

} // namespace kvtest

#endif
