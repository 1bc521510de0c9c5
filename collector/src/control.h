/*
 * The settings the collector hands every sensor worker in its heartbeat
 * replies: logging level, backoff, sampling rate and the two bypass
 * policies, and the reply that carries them.
 */

#ifndef KV_COLLECTOR_CONTROL_H
#define KV_COLLECTOR_CONTROL_H

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kv {

struct UrlPolicy {
    std::string version;
    std::vector<std::string> patterns;
    bool operator==(const UrlPolicy &o) const
    {
        return version == o.version && patterns == o.patterns;
    }
};

struct HeaderRule {
    std::string name;
    std::string pattern;
    bool operator==(const HeaderRule &o) const
    {
        return name == o.name && pattern == o.pattern;
    }
};

struct HeaderPolicy {
    std::string version;
    std::vector<HeaderRule> rules;
    bool operator==(const HeaderPolicy &o) const
    {
        return version == o.version && rules == o.rules;
    }
};

struct Control {
    std::string logging_level = "default";
    int backoff_ms = 0;
    int sampling_rate = 0;
    std::optional<UrlPolicy> url_bypass;
    std::optional<HeaderPolicy> header_bypass;

    bool operator==(const Control &o) const
    {
        return logging_level == o.logging_level && backoff_ms == o.backoff_ms
               && sampling_rate == o.sampling_rate && url_bypass == o.url_bypass
               && header_bypass == o.header_bypass;
    }
    bool operator!=(const Control &o) const { return !(*this == o); }
};

/* A heartbeat reply is read in one go into 8192 bytes by the sensor. */
constexpr size_t max_heartbeat_reply = 8000;

/* The version a sensor is sent for a policy that is switched off: an empty
 * set under a version of its own, so turning a policy off reaches workers
 * that hold an older one. */
constexpr const char *cleared_version = "(none)";

nlohmann::ordered_json control_to_json(const Control &c);

/*
 * Applies the members of j (an object with any of logging_level,
 * backoff_ms, sampling_rate, url_bypass, header_bypass) on top of base.
 * Everything is checked before anything is taken: on failure out is
 * untouched and error says what is wrong.  A policy whose patterns change
 * must change its version too, or workers that hold the old one would
 * keep it.
 */
bool apply_control(const nlohmann::json &j, const Control &base, Control &out,
                   std::string &error);

/* False, with a reason, when next keeps a policy's version while changing
 * its patterns: workers that hold that version would never see the
 * change. */
bool policies_advance(const Control &current, const Control &next,
                      std::string &error);

/* The bypass policy document in the form the sensor's scanner reads. */
std::string policy_document(const Control &c);

/* The whole heartbeat reply: status line, the three setting headers and
 * the policy document as its body. */
std::string heartbeat_reply(const Control &c);

} // namespace kv

#endif
