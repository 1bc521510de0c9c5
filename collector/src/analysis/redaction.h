/*
 * Redaction of secrets in an exchange before it is stored: credential
 * headers, secret members of JSON and form bodies and of query strings,
 * and card numbers anywhere in bodies and query strings.  Each value
 * becomes a fixed mask and a short keyed hash of the value, so equal
 * secrets still show as equal without being readable; every byte outside
 * a replaced value stays as it was, and a JSON body stays valid JSON.
 *
 * A Redactor keeps an HMAC context, so it belongs to one thread: the
 * collector's ingest or writer thread, whichever stores exchanges.
 */

#ifndef KV_ANALYSIS_REDACTION_H
#define KV_ANALYSIS_REDACTION_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/detectors.h"
#include "analysis/exchange_record.h"

namespace kv::analysis {

struct RedactionOptions {
    std::string key;                        /* HMAC key, per database */
    std::vector<std::string> extra_headers; /* --redact-header */
    std::vector<std::string> extra_keys;    /* --redact-key */
};

/* What one exchange had replaced, by kind, for the collector's counters. */
struct RedactionReport {
    uint32_t headers = 0;      /* header values */
    uint32_t body_members = 0; /* JSON members and form fields */
    uint32_t query_params = 0;
    uint32_t card_numbers = 0;     /* in bodies and query strings */
    uint32_t unscanned_bodies = 0; /* compressed: stored as they came */

    uint32_t total() const
    {
        return headers + body_members + query_params + card_numbers;
    }
    RedactionReport &operator+=(const RedactionReport &o);
};

/* The mask's fixed part; a masked value is it and 12 hex digits. */
constexpr std::string_view redaction_mask_prefix = "REDACTED:";
constexpr size_t redaction_mask_size = redaction_mask_prefix.size() + 12;

class Redactor {
  public:
    /* Throws std::invalid_argument for an empty key, std::runtime_error
     * when OpenSSL cannot set up the HMAC. */
    explicit Redactor(const RedactionOptions &options);
    ~Redactor();
    Redactor(const Redactor &) = delete;
    Redactor &operator=(const Redactor &) = delete;

    RedactionReport redact(ExchangeRecord &x);

    /* The parts, for callers whose rows are shaped otherwise. */
    void redact_headers(HeaderPairs &headers, RedactionReport &report);
    /* A request target: the part after '?' only. */
    void redact_target(std::string &target, RedactionReport &report);
    void redact_query(std::string &query, RedactionReport &report);
    void redact_body(std::string &body, std::string_view content_type,
                     std::string_view content_encoding,
                     RedactionReport &report);

    /* The mask for a value: the prefix and HMAC-SHA256(key, value)'s
     * first six bytes in hex. */
    std::string mask(std::string_view value);
    static bool is_mask(std::string_view value);

  private:
    struct Edit {
        size_t begin, end;
        std::string with;
    };
    bool secret_header(std::string_view name) const;
    void mask_into(std::string_view value, char *out);
    std::string quoted_mask(std::string_view value);
    void redact_params(std::string &s, size_t from, uint32_t &members,
                       uint32_t &cards);
    void card_pass(std::string_view s, size_t begin, size_t end,
                   std::vector<Edit> &edits, bool quote, uint32_t &cards);
    static void apply(std::string &s, std::vector<Edit> &edits);

    SecretNames keys_;
    std::vector<std::string> extra_headers_;
    struct Mac;
    std::unique_ptr<Mac> mac_;
    std::vector<Edit> edits_; /* reused across calls */
};

} // namespace kv::analysis

#endif
