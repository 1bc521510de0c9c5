/*
 * The control document a person sends (console, control file), fed as
 * arbitrary text, checked against settings that already have a URL
 * bypass.
 *
 * Beyond "no crash", settings it takes:
 * - come back the same from their JSON form, as the control file keeps
 *   them;
 * - make a heartbeat reply the sensor can read whole, whose policy
 *   document is JSON with the word Type only where the sensor's scanner
 *   expects it;
 * - never change a policy's patterns without its version;
 * - are said to let requests skip authorization exactly when they have
 *   nologging, a backoff or a bypass pattern.
 */
#include <cstdint>
#include <string>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "control/settings.h"
#include "protocol/heartbeat.h"
#include "support.h"

namespace json = boost::json;

namespace {

size_t
count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t i = s.find(what); i != std::string::npos;
         i = s.find(what, i + 1)) {
        n++;
    }
    return n;
}

const kv::Control &
base()
{
    static const kv::Control b = [] {
        kv::Control c;
        c.url_bypass = kv::UrlPolicy{"1", {"^/health$"}};
        return c;
    }();
    return b;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    json::error_code ec;
    json::value doc = json::parse(text, ec);
    if (ec) {
        return 0;
    }
    kv::Control out;
    std::string error;
    if (!kv::apply_control(doc, base(), out, error)) {
        KV_REQUIRE(!error.empty(), "a refusal without a reason");
        return 0;
    }

    kv::Control again;
    KV_REQUIRE(kv::apply_control(kv::control_to_json(out), kv::Control{}, again,
                                 error),
               error);
    KV_REQUIRE(again == out, json::serialize(kv::control_to_json(out))
                                 + " came back as "
                                 + json::serialize(kv::control_to_json(again)));

    std::string reply = kv::heartbeat_reply(out);
    KV_REQUIRE(reply.size() <= kv::max_heartbeat_reply, reply);
    std::string policies = kv::policy_document(out);
    json::value parsed = json::parse(policies, ec);
    KV_REQUIRE(!ec && parsed.is_array() && parsed.as_array().size() == 2,
               policies);
    KV_REQUIRE(count(policies, "Type") == 2, policies);

    KV_REQUIRE(kv::policies_advance(base(), out, error), error);

    bool opens = out.logging_level == "nologging" || out.backoff_ms > 0
                 || (out.url_bypass && !out.url_bypass->patterns.empty())
                 || (out.header_bypass && !out.header_bypass->rules.empty());
    KV_REQUIRE(kv::authorization_openings(kv::Control{}, out).empty() == !opens,
               json::serialize(kv::control_to_json(out)));
    KV_REQUIRE(kv::authorization_openings(out, out).empty(),
               "the settings in force open something against themselves");
    return 0;
}
