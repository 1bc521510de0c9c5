/*
 * Framing a sensor connection's byte stream into HTTP/1.1 requests, with
 * Boost.Beast's parser, and the plain replies ingest writes.
 *
 * A sensor writes its messages back to back on long-lived connections and
 * reads the replies later, so one read may hold many requests, or a piece
 * of one.  Its bodiless response logs end their head with one CR LF more
 * than HTTP needs; like any server we skip empty lines before a request
 * line.  A Framer belongs to one connection and runs on its thread.  Views
 * point into the caller's buffer and are valid until the caller drops the
 * bytes the request was made of.
 */

#ifndef KV_PROTOCOL_HTTP_H
#define KV_PROTOCOL_HTTP_H

#include <cstddef>
#include <memory>
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

class Framer {
  public:
    struct Limits {
        /* far above what a sensor sends (ext_access_log_total_size),
         * low enough that a peer cannot make a connection hoard memory */
        size_t max_head = 1 << 20;
        size_t max_body = 16u << 20;
    };

    Framer();
    explicit Framer(Limits limits);
    ~Framer();
    Framer(const Framer &) = delete;
    Framer &operator=(const Framer &) = delete;

    /*
     * Looks for one complete request at the start of data.  On complete,
     * req describes it and req.size bytes are to be dropped by the caller
     * before the next call.  On incomplete, call again with the same bytes
     * (wherever they now are) and more behind them.  On error, error()
     * says why; the stream cannot be resynchronised.
     */
    Parse next(std::string_view data, Request &req);

    const std::string &error() const { return error_; }

    /* A request has begun but its head is not complete yet. */
    bool in_head() const { return active_ && !head_done_; }
    /* The head is complete, the body is not. */
    bool in_body() const { return active_ && head_done_; }

  private:
    class Parser;
    struct Slot;
    struct Field {
        size_t name_at, name_len;
        size_t value_at, value_len;
        long owned; /* index into owned_, or -1: the value is in the data */
    };

    Parse fail(std::string why);
    Parse finish(std::string_view data, Request &req);
    bool start_line_is_sane(std::string_view data);

    Limits limits_;
    std::unique_ptr<Slot> slot_;
    Parser *parser_ = nullptr; /* the message's, in slot_ */
    std::string error_;
    bool active_ = false;
    bool head_done_ = false;
    bool line_checked_ = false;
    size_t start_ = 0;    /* where the request line begins */
    size_t consumed_ = 0; /* what the parser took, from the data's start */
    size_t head_end_ = 0;
    size_t body_at_ = 0;
    size_t body_len_ = 0;
    int version_ = 11;
    size_t method_at_ = 0, method_len_ = 0;
    size_t target_at_ = 0, target_len_ = 0;
    std::vector<Field> fields_;
    std::vector<std::string> owned_; /* folded values Beast rebuilt */
    std::string chunked_body_;
    bool has_transfer_encoding_ = false;

    friend class Parser;
};

/* The empty 200 a log or statistics document gets. */
extern const std::string_view ok_reply;

/* A reply with a line of text, and Connection: close when close is set. */
std::string text_reply(int status, std::string_view reason,
                       std::string_view text, bool close);

} // namespace kv

#endif
