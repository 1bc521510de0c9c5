/*
 * The collector's HTTP framing of a sensor connection (Beast's parser
 * behind our Framer), fed an arbitrary byte stream.
 *
 * Beyond "no crash": the requests a stream splits into, and whether it
 * ends in an error or waiting for more, are the same whether the stream
 * arrives whole, a byte at a time, or in pieces of any other size (the
 * first byte picks it); and every request's head and body lie within
 * the bytes it consumed.  (Beast judges some mistakes only once a few
 * bytes more are there than it last looked at: arriving in pieces, the
 * framer may still be waiting where the whole stream failed; never the
 * other way round.)
 */
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/http.h"
#include "support.h"

namespace {

struct Split {
    std::string method, target, version, head, body;
    std::vector<std::pair<std::string, std::string>> headers;
    size_t size;
    bool keep_alive;
    bool operator==(const Split &o) const
    {
        return method == o.method && target == o.target && version == o.version
               && head == o.head && body == o.body && headers == o.headers
               && size == o.size && keep_alive == o.keep_alive;
    }
};

struct Outcome {
    std::vector<Split> requests;
    bool failed = false;
    size_t left = 0; /* bytes not taken when it stopped */
};

/* The stream in pieces of piece bytes, as a connection reads it: what
 * is not taken stays at the front of the buffer. */
Outcome
frame(const std::string &stream, size_t piece)
{
    Outcome out;
    kv::Framer framer;
    std::string buffer;
    size_t at = 0;
    while (!out.failed) {
        kv::Request req;
        kv::Parse p = framer.next(buffer, req);
        if (p == kv::Parse::error) {
            out.failed = true;
            break;
        }
        if (p == kv::Parse::complete) {
            KV_REQUIRE(req.size > 0 && req.size <= buffer.size(), buffer);
            KV_REQUIRE(req.head.data() >= buffer.data()
                           && req.head.data() + req.head.size()
                                  <= buffer.data() + req.size,
                       "head outside the request");
            Split s{std::string(req.method),
                    std::string(req.target),
                    std::string(req.version),
                    std::string(req.head),
                    std::string(req.body),
                    {},
                    req.size,
                    req.keep_alive};
            for (const auto &h : req.headers) {
                s.headers.emplace_back(h.name, h.value);
            }
            out.requests.push_back(std::move(s));
            buffer.erase(0, req.size);
            continue;
        }
        if (at == stream.size()) {
            break;
        }
        size_t n = std::min(piece, stream.size() - at);
        buffer.append(stream, at, n);
        at += n;
    }
    out.left = buffer.size() + (stream.size() - at);
    return out;
}

std::string
describe(const Outcome &o)
{
    std::string d = std::to_string(o.requests.size()) + " requests, "
                    + (o.failed ? "failed" : "waiting") + ", "
                    + std::to_string(o.left) + " bytes left";
    for (const auto &r : o.requests) {
        d += "\n  " + r.method + " " + r.target + " (" + std::to_string(r.size)
             + " bytes, body " + std::to_string(r.body.size()) + ")";
    }
    return d;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    size_t piece = 1 + data[0] % 97;
    std::string stream(reinterpret_cast<const char *>(data) + 1, size - 1);

    Outcome whole = frame(stream, stream.size() + 1);
    for (size_t p : {size_t{1}, piece}) {
        Outcome split = frame(stream, p);
        bool same = split.requests == whole.requests
                    && (split.failed == whole.failed || whole.failed)
                    && (whole.failed || split.left == whole.left);
        KV_REQUIRE(same, "whole: " + describe(whole) + "\nin pieces of "
                             + std::to_string(p) + ": " + describe(split));
    }
    return 0;
}
