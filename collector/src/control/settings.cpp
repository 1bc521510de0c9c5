#include "control/settings.h"

#include <algorithm>
#include <iterator>

#include <pcre.h>

#include "base/text.h"
#include "kv_protocol.h"
#include "protocol/heartbeat.h"

namespace kv {

namespace {

namespace json = boost::json;

/* what a sensor applies; it ignores a value outside these */
constexpr const std::string_view (&levels)[4] = kv_protocol::logging_levels;
constexpr size_t max_version = 100;
constexpr int max_backoff = kv_protocol::max_backoff_ms;
constexpr int max_sampling_rate = kv_protocol::max_sampling_rate;

bool
http_token(const std::string &s)
{
    if (s.empty()) {
        return false;
    }
    for (unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7F
            || std::string_view("()<>@,;:\\\"/[]?={}")
                       .find(static_cast<char>(c))
                   != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

/* What a bypass pattern is tried on before it is taken.  A pattern that
 * matches the empty string, or every one of these, would let nearly every
 * request skip authorization: that is never a bypass anyone means, and
 * most often a typo (".", ".*", "^", "/"). */
constexpr const char *probe_paths[] = {
    "/",  "/index.html", "/api/private/report", "/kv-probe/7f3a9c/x.json",
    "/Z", "/-",          "/~/\xC3\xA9",         "/a/b/c/d/e/f/g/h",
};
constexpr const char *probe_values[] = {
    "yes", "1", "true", "Mozilla/5.0 (X11; Linux x86_64)", "kv-probe-7f3a9c",
    "/",   "-",
};

enum class Probes { none, paths, values };

bool
matches(pcre *re, const std::string &s)
{
    int ovector[3];
    return pcre_exec(re, nullptr, s.data(), static_cast<int>(s.size()), 0, 0,
                     ovector, 3)
           >= 0;
}

/* False with a reason when re, as the sensor compiles it, matches
 * (nearly) everything. */
bool
narrow_enough(pcre *re, Probes probes, const std::string &what,
              std::string &error)
{
    if (probes == Probes::none) {
        return true;
    }
    bool paths = probes == Probes::paths;
    if (matches(re, "")) {
        error = what
                + (paths ? ": matches the empty path, so it matches every "
                           "path and every request would skip authorization"
                         : ": matches an empty value, so any value of the "
                           "header would let a request skip authorization");
        return false;
    }
    auto all_hit = [re](const auto &probes) {
        for (const char *p : probes) {
            if (!matches(re, p)) {
                return false;
            }
        }
        return true;
    };
    if (paths ? all_hit(probe_paths) : all_hit(probe_values)) {
        error = what
                + (paths ? ": matches every path it was tried on (/, "
                           "/index.html, /api/private/report, ...), so "
                           "nearly every request would skip authorization"
                         : ": matches every value it was tried on, so any "
                           "value of the header would let a request skip "
                           "authorization");
        return false;
    }
    return true;
}

bool
check_pattern(const std::string &re, const std::string &what, Probes probes,
              std::string &error)
{
    for (unsigned char c : re) {
        if (c < 0x20 && c != '\b' && c != '\f' && c != '\n' && c != '\r'
            && c != '\t') {
            error = what
                    + ": control characters other than \\b \\f \\n \\r "
                      "\\t cannot be sent to the sensor";
            return false;
        }
    }
    if (!valid_utf8(re)) {
        error = what + ": not UTF-8";
        return false;
    }
    if (re.find("Type") != std::string::npos
        && (re.find("\\Q") != std::string::npos
            || re.find("\\cType") != std::string::npos)) {
        error = what
                + ": the word Type cannot be sent inside \\Q...\\E or "
                  "after \\c";
        return false;
    }
    const std::string sent = sensor_pattern(re);
    for (const std::string *candidate : {&re, &sent}) {
        const char *msg = nullptr;
        int offset = 0;
        pcre *compiled =
            pcre_compile(candidate->c_str(), 0, &msg, &offset, nullptr);
        if (compiled == nullptr) {
            error = what + ": " + (msg ? msg : "does not compile")
                    + " at offset " + std::to_string(offset);
            return false;
        }
        /* judged as the sensor will run it */
        bool narrow =
            candidate != &sent || narrow_enough(compiled, probes, what, error);
        pcre_free(compiled);
        if (!narrow) {
            return false;
        }
    }
    return true;
}

bool
check_version(const json::value &v, const std::string &what,
              std::string &version, std::string &error)
{
    if (!v.is_string()) {
        error = what + ".version must be a string";
        return false;
    }
    version = std::string(v.get_string());
    if (version.empty() || version.size() > max_version) {
        error = what + ".version must have 1 to 100 characters";
        return false;
    }
    for (unsigned char c : version) {
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            error = what
                    + ".version: printable ASCII without quotes or "
                      "backslashes";
            return false;
        }
    }
    if (version == cleared_version) {
        error = what + ".version \"(none)\" is reserved";
        return false;
    }
    /* the sensor's scanner starts a block wherever the word stands */
    if (version.find("Type") != std::string::npos) {
        error = what + ".version: the word Type cannot be sent to the sensor";
        return false;
    }
    return true;
}

bool
check_policy_object(const json::value &j, const std::string &what,
                    std::string &error)
{
    if (!j.is_object()) {
        error = what + " must be null or an object with version and patterns";
        return false;
    }
    for (const auto &item : j.get_object()) {
        if (item.key() != "version" && item.key() != "patterns") {
            error = what + ": unknown member " + std::string(item.key());
            return false;
        }
    }
    const json::object &o = j.get_object();
    if (!o.contains("version") || !o.contains("patterns")
        || !o.at("patterns").is_array()) {
        error = what + " needs version (a string) and patterns (an array)";
        return false;
    }
    return true;
}

bool
parse_url_policy(const json::value &j, std::optional<UrlPolicy> &out,
                 std::string &error)
{
    if (j.is_null()) {
        out.reset();
        return true;
    }
    if (!check_policy_object(j, "url_bypass", error)) {
        return false;
    }
    UrlPolicy p;
    const json::object &o = j.get_object();
    if (!check_version(o.at("version"), "url_bypass", p.version, error)) {
        return false;
    }
    size_t i = 0;
    for (const auto &item : o.at("patterns").get_array()) {
        std::string what = "url_bypass.patterns[" + std::to_string(i++) + "]";
        if (!item.is_string()) {
            error = what + " must be a string";
            return false;
        }
        std::string re(item.get_string());
        if (!check_pattern(re, what, Probes::paths, error)) {
            return false;
        }
        p.patterns.push_back(std::move(re));
    }
    out = std::move(p);
    return true;
}

bool
parse_header_policy(const json::value &j, std::optional<HeaderPolicy> &out,
                    std::string &error)
{
    if (j.is_null()) {
        out.reset();
        return true;
    }
    if (!check_policy_object(j, "header_bypass", error)) {
        return false;
    }
    HeaderPolicy p;
    const json::object &o = j.get_object();
    if (!check_version(o.at("version"), "header_bypass", p.version, error)) {
        return false;
    }
    size_t i = 0;
    for (const auto &item : o.at("patterns").get_array()) {
        std::string what =
            "header_bypass.patterns[" + std::to_string(i++) + "]";
        if (!item.is_object() || item.get_object().size() != 1
            || !item.get_object().begin()->value().is_string()) {
            error = what
                    + " must be an object with one member: "
                      "{\"Header-Name\": \"regex\"}";
            return false;
        }
        const auto &member = *item.get_object().begin();
        HeaderRule rule{std::string(member.key()),
                        std::string(member.value().get_string())};
        if (!http_token(rule.name)) {
            error = what + ": \"" + rule.name + "\" is not a header name";
            return false;
        }
        if (!check_pattern(rule.pattern, what, Probes::values, error)) {
            return false;
        }
        p.rules.push_back(std::move(rule));
    }
    out = std::move(p);
    return true;
}

bool
parse_int(const json::value &j, const char *name, int lo, int hi, int &out,
          std::string &error)
{
    if (!j.is_int64() && !j.is_uint64()) {
        error = std::string(name) + " must be an integer";
        return false;
    }
    int64_t v = j.is_int64() ? j.get_int64() : INT64_MAX;
    if (v < lo || v > hi) {
        error = std::string(name) + " must be between " + std::to_string(lo)
                + " and " + std::to_string(hi);
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

template <class P>
bool
version_moved(const std::optional<P> &old_p, const std::optional<P> &new_p,
              const char *name, std::string &error)
{
    if (old_p && new_p && old_p->version == new_p->version
        && !(*old_p == *new_p)) {
        error = std::string(name)
                + ": the patterns changed but the version "
                  "did not; workers apply a policy only "
                  "when its version changes";
        return false;
    }
    return true;
}

} // namespace

json::object
control_to_json(const Control &c)
{
    json::object j;
    j["logging_level"] = c.logging_level;
    j["backoff_ms"] = c.backoff_ms;
    j["sampling_rate"] = c.sampling_rate;
    if (c.url_bypass) {
        json::array patterns;
        for (const auto &p : c.url_bypass->patterns) {
            patterns.emplace_back(p);
        }
        j["url_bypass"] = json::object{{"version", c.url_bypass->version},
                                       {"patterns", std::move(patterns)}};
    } else {
        j["url_bypass"] = nullptr;
    }
    if (c.header_bypass) {
        json::array rules;
        for (const auto &r : c.header_bypass->rules) {
            rules.emplace_back(json::object{{r.name, r.pattern}});
        }
        j["header_bypass"] = json::object{{"version", c.header_bypass->version},
                                          {"patterns", std::move(rules)}};
    } else {
        j["header_bypass"] = nullptr;
    }
    return j;
}

bool
apply_control(const json::value &j, const Control &base, Control &out,
              std::string &error)
{
    if (!j.is_object()) {
        error = "the settings must be a JSON object";
        return false;
    }
    Control next = base;
    for (const auto &item : j.get_object()) {
        std::string k(item.key());
        const json::value &v = item.value();
        if (k == "logging_level") {
            bool known = false;
            for (std::string_view l : levels) {
                known = known || (v.is_string() && v.get_string() == l);
            }
            if (!known) {
                error = "logging_level must be one of default, metadata, "
                        "minimum, nologging";
                return false;
            }
            next.logging_level = std::string(v.get_string());
        } else if (k == "backoff_ms") {
            if (!parse_int(v, "backoff_ms", 0, max_backoff, next.backoff_ms,
                           error)) {
                return false;
            }
        } else if (k == "sampling_rate") {
            if (!parse_int(v, "sampling_rate", 0, max_sampling_rate,
                           next.sampling_rate, error)) {
                return false;
            }
        } else if (k == "url_bypass") {
            if (!parse_url_policy(v, next.url_bypass, error)) {
                return false;
            }
        } else if (k == "header_bypass") {
            if (!parse_header_policy(v, next.header_bypass, error)) {
                return false;
            }
        } else {
            error = "unknown setting " + k;
            return false;
        }
    }
    if (!policies_advance(base, next, error)) {
        return false;
    }
    size_t size = heartbeat_reply(next).size();
    if (size > max_heartbeat_reply) {
        error = "the bypass policies make a heartbeat reply of "
                + std::to_string(size) + " bytes; the sensor reads at most "
                + std::to_string(max_heartbeat_reply);
        return false;
    }
    out = std::move(next);
    return true;
}

std::vector<std::string>
authorization_openings(const Control &current, const Control &next)
{
    std::vector<std::string> out;
    if (next.logging_level == "nologging"
        && current.logging_level != "nologging") {
        out.push_back("logging_level nologging: every request skips "
                      "authorization");
    }
    if (next.backoff_ms > current.backoff_ms) {
        out.push_back("backoff_ms " + std::to_string(next.backoff_ms)
                      + ": requests skip authorization while a worker backs "
                        "off");
    }
    if (next.url_bypass) {
        for (const auto &p : next.url_bypass->patterns) {
            const auto *old =
                current.url_bypass ? &current.url_bypass->patterns : nullptr;
            if (old == nullptr
                || std::find(old->begin(), old->end(), p) == old->end()) {
                out.push_back("url_bypass pattern " + p
                              + ": paths it matches skip authorization");
            }
        }
    }
    if (next.header_bypass) {
        for (const auto &r : next.header_bypass->rules) {
            const auto *old =
                current.header_bypass ? &current.header_bypass->rules : nullptr;
            if (old == nullptr
                || std::find(old->begin(), old->end(), r) == old->end()) {
                out.push_back("header_bypass rule " + r.name + ": " + r.pattern
                              + ": any client that sends it skips "
                                "authorization");
            }
        }
    }
    return out;
}

bool
policies_advance(const Control &current, const Control &next,
                 std::string &error)
{
    return version_moved(current.url_bypass, next.url_bypass, "url_bypass",
                         error)
           && version_moved(current.header_bypass, next.header_bypass,
                            "header_bypass", error);
}

} // namespace kv
