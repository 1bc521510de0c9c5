/*
 * The settings the collector hands every sensor worker in its heartbeat
 * replies: logging level, backoff, sampling rate and the two bypass
 * policies.  Plain values, compared whole; the control layer checks and
 * keeps them, the protocol layer writes them for the sensor.
 */

#ifndef KV_MODEL_CONTROL_H
#define KV_MODEL_CONTROL_H

#include <optional>
#include <string>
#include <vector>

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

} // namespace kv

#endif
