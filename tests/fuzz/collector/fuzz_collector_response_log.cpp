/*
 * The collector's response-log decoder, fed arbitrary bytes as a whole
 * request (head lines and body), framed as ingest frames them.
 *
 * Beyond "no crash", an exchange it decodes:
 * - has UTF-8 text in every member, and keeps it through redaction, which
 *   leaves a JSON body JSON;
 * - reads back from the store exactly as it was handed to it.
 */
#include <cstdint>
#include <string>

#include "protocol/decode.h"
#include "support.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string message(reinterpret_cast<const char *>(data), size);
    kv::Framer framer;
    kv::Request req;
    if (framer.next(message, req) != kv::Parse::complete) {
        return 0;
    }
    kv::Exchange x;
    std::string error;
    if (!kv::decode_response_log(req, x, error)) {
        KV_REQUIRE(!error.empty(), "a refusal without a reason");
        return 0;
    }
    KV_REQUIRE(x.format == "response", x.format);
    kvfuzz::require_utf8(x, "text is not UTF-8 after decoding");
    x.received_ms = 1700000000000;
    x.peer = "127.0.0.1:40000";
    kvfuzz::redact_and_check(x);
    kvfuzz::require_kept_as_sent(x);
    return 0;
}
