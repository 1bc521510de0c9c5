/*
 * The collector's merged-log decoder, fed an arbitrary body under the
 * head the sensor writes.
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
    std::string body(reinterpret_cast<const char *>(data), size);
    std::string message = "POST /mergedlog?sensor=nginx HTTP/1.1\r\nHost: c\r\n"
                          "Content-Type: application/json\r\nContent-Length: "
                          + std::to_string(size) + "\r\n\r\n" + body;
    kv::Framer framer;
    kv::Request req;
    KV_REQUIRE(framer.next(message, req) == kv::Parse::complete,
               framer.error());
    KV_REQUIRE(req.body == body, "the body framed is not the body sent");

    kv::Exchange x;
    std::string error;
    if (!kv::decode_merged(req, x, error)) {
        KV_REQUIRE(!error.empty(), "a refusal without a reason");
        return 0;
    }
    KV_REQUIRE(x.format == "merged", x.format);
    kvfuzz::require_utf8(x, "text is not UTF-8 after decoding");
    x.received_ms = 1700000000000;
    x.peer = "127.0.0.1:40000";
    kvfuzz::redact_and_check(x);
    kvfuzz::require_kept_as_sent(x);
    return 0;
}
