/*
 * Splitting a sensor connection's byte stream into HTTP/1.1 requests.
 *
 * A sensor writes its messages back to back on long-lived connections and
 * reads the replies later, so one read may hold many requests, or a piece
 * of one.  Its bodiless response logs end their head with one CR LF more
 * than HTTP needs; like any server we skip empty lines before a request
 * line.  Views point into the caller's buffer and are valid until the
 * caller drops the bytes the request was made of.
 */

#ifndef KV_COLLECTOR_WIRE_H
#define KV_COLLECTOR_WIRE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

struct Header {
    std::string_view name;
    std::string_view value; /* blanks around it removed */
};

struct Request {
    std::string_view method;
    std::string_view target;
    std::string_view version;
    std::vector<Header> headers; /* wire order, duplicates kept */
    std::string_view head;       /* request line to the empty line, included */
    std::string_view body;
    size_t size = 0; /* bytes consumed, skipped empty lines included */
    bool keep_alive = true;

    /* The first value of a header (case-insensitive), or empty. */
    std::string_view header(std::string_view name) const;
    bool has_header(std::string_view name) const;
    std::string_view path() const;
    std::string_view query() const;
};

enum class Parse { complete, incomplete, error };

class Splitter {
  public:
    struct Limits {
        /* far above what a sensor sends (ext_access_log_total_size),
         * low enough that a peer cannot make a connection hoard memory */
        size_t max_head = 1 << 20;
        size_t max_body = 16u << 20;
    };

    Splitter() = default;
    explicit Splitter(Limits limits) : limits_(limits) {}

    /*
     * Looks for one complete request at the start of data.  On complete,
     * req describes it and req.size bytes are to be dropped by the caller
     * before the next call.  On incomplete, call again with the same bytes
     * and more behind them.  On error, error() says why; the stream cannot
     * be resynchronised.
     */
    Parse next(std::string_view data, Request &req);

    const std::string &error() const { return error_; }

  private:
    Parse fail(std::string why);
    Parse parse_head(std::string_view data, size_t start, size_t end,
                     Request &req);
    Parse parse_chunked(std::string_view data, Request &req);

    Limits limits_;
    std::string error_;
    /* where the search for the end of the head resumes: a request that
     * arrives in many small reads is scanned once, not once per read */
    size_t scanned_ = 0;
    std::string chunked_body_;
};

} // namespace kv

#endif
