#include "control.h"

#include <pcre.h>

#include "text.h"

namespace kv {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr const char *levels[] = {"default", "metadata", "minimum",
                                  "nologging"};
constexpr size_t max_version = 100;
constexpr int max_backoff = 15000;

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

/*
 * The sensor's scanner starts a policy block wherever the four bytes
 * "Type" stand, inside strings too.  In a regular expression the T is
 * spelt \x54, which matches the same.  A T escaped by a backslash (a
 * literal T) becomes \x54 in place of that escape.
 */
std::string
hide_type_word(const std::string &re)
{
    std::string out;
    for (size_t i = 0; i < re.size(); i++) {
        if (re.compare(i, 4, "Type") != 0) {
            out.push_back(re[i]);
            continue;
        }
        size_t slashes = 0;
        while (slashes < out.size() && out[out.size() - 1 - slashes] == '\\') {
            slashes++;
        }
        if (slashes % 2 == 1) {
            out.pop_back();
        }
        out += "\\x54";
    }
    return out;
}

/* What the sensor will compile for pattern re. */
std::string
sensor_pattern(const std::string &re)
{
    std::string s = hide_type_word(re);
    /* an escaped backslash just before the closing quote would read to the
     * scanner as an escaped quote; an empty group after it changes nothing */
    size_t slashes = 0;
    while (slashes < s.size() && s[s.size() - 1 - slashes] == '\\') {
        slashes++;
    }
    if (slashes > 0) {
        s += "(?:)";
    }
    return s;
}

/* Header names compare case-insensitively, so "Type" is written "type". */
std::string
sensor_header_name(std::string name)
{
    for (size_t i = name.find("Type"); i != std::string::npos;
         i = name.find("Type", i + 1)) {
        name[i] = 't';
    }
    return name;
}

/* The sensor unescapes only \b \f \n \r \t and a backslash before any
 * other byte; it decodes no \u escape. */
void
append_escaped(std::string &out, const std::string &s)
{
    out.push_back('"');
    for (char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out.push_back(c);
        }
    }
    out.push_back('"');
}

bool
check_pattern(const std::string &re, const std::string &what,
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
    for (const std::string &candidate : {re, sensor_pattern(re)}) {
        const char *msg = nullptr;
        int offset = 0;
        pcre *compiled =
            pcre_compile(candidate.c_str(), 0, &msg, &offset, nullptr);
        if (compiled == nullptr) {
            error = what + ": " + (msg ? msg : "does not compile")
                    + " at offset " + std::to_string(offset);
            return false;
        }
        pcre_free(compiled);
    }
    return true;
}

bool
check_version(const json &v, const std::string &what, std::string &version,
              std::string &error)
{
    if (!v.is_string()) {
        error = what + ".version must be a string";
        return false;
    }
    version = v.get<std::string>();
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
    return true;
}

bool
check_policy_object(const json &j, const std::string &what, std::string &error)
{
    if (!j.is_object()) {
        error = what + " must be null or an object with version and patterns";
        return false;
    }
    for (const auto &item : j.items()) {
        if (item.key() != "version" && item.key() != "patterns") {
            error = what + ": unknown member " + item.key();
            return false;
        }
    }
    if (!j.contains("version") || !j.contains("patterns")
        || !j["patterns"].is_array()) {
        error = what + " needs version (a string) and patterns (an array)";
        return false;
    }
    return true;
}

bool
parse_url_policy(const json &j, std::optional<UrlPolicy> &out,
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
    if (!check_version(j["version"], "url_bypass", p.version, error)) {
        return false;
    }
    size_t i = 0;
    for (const auto &item : j["patterns"]) {
        std::string what = "url_bypass.patterns[" + std::to_string(i++) + "]";
        if (!item.is_string()) {
            error = what + " must be a string";
            return false;
        }
        std::string re = item.get<std::string>();
        if (!check_pattern(re, what, error)) {
            return false;
        }
        p.patterns.push_back(std::move(re));
    }
    out = std::move(p);
    return true;
}

bool
parse_header_policy(const json &j, std::optional<HeaderPolicy> &out,
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
    if (!check_version(j["version"], "header_bypass", p.version, error)) {
        return false;
    }
    size_t i = 0;
    for (const auto &item : j["patterns"]) {
        std::string what =
            "header_bypass.patterns[" + std::to_string(i++) + "]";
        if (!item.is_object() || item.size() != 1
            || !item.begin().value().is_string()) {
            error = what
                    + " must be an object with one member: "
                      "{\"Header-Name\": \"regex\"}";
            return false;
        }
        HeaderRule rule{item.begin().key(),
                        item.begin().value().get<std::string>()};
        if (!http_token(rule.name)) {
            error = what + ": \"" + rule.name + "\" is not a header name";
            return false;
        }
        if (!check_pattern(rule.pattern, what, error)) {
            return false;
        }
        p.rules.push_back(std::move(rule));
    }
    out = std::move(p);
    return true;
}

bool
parse_int(const json &j, const char *name, int lo, int hi, int &out,
          std::string &error)
{
    if (!j.is_number_integer()) {
        error = std::string(name) + " must be an integer";
        return false;
    }
    auto v = j.get<int64_t>();
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

ordered_json
control_to_json(const Control &c)
{
    ordered_json j;
    j["logging_level"] = c.logging_level;
    j["backoff_ms"] = c.backoff_ms;
    j["sampling_rate"] = c.sampling_rate;
    if (c.url_bypass) {
        j["url_bypass"] = {{"version", c.url_bypass->version},
                           {"patterns", c.url_bypass->patterns}};
    } else {
        j["url_bypass"] = nullptr;
    }
    if (c.header_bypass) {
        ordered_json rules = ordered_json::array();
        for (const auto &r : c.header_bypass->rules) {
            rules.push_back({{r.name, r.pattern}});
        }
        j["header_bypass"] = {{"version", c.header_bypass->version},
                              {"patterns", rules}};
    } else {
        j["header_bypass"] = nullptr;
    }
    return j;
}

bool
apply_control(const json &j, const Control &base, Control &out,
              std::string &error)
{
    if (!j.is_object()) {
        error = "the settings must be a JSON object";
        return false;
    }
    Control next = base;
    for (const auto &item : j.items()) {
        const std::string &k = item.key();
        const json &v = item.value();
        if (k == "logging_level") {
            bool known = false;
            for (const char *l : levels) {
                known = known || (v.is_string() && v.get<std::string>() == l);
            }
            if (!known) {
                error = "logging_level must be one of default, metadata, "
                        "minimum, nologging";
                return false;
            }
            next.logging_level = v.get<std::string>();
        } else if (k == "backoff_ms") {
            if (!parse_int(v, "backoff_ms", 0, max_backoff, next.backoff_ms,
                           error)) {
                return false;
            }
        } else if (k == "sampling_rate") {
            if (!parse_int(v, "sampling_rate", 0, 100, next.sampling_rate,
                           error)) {
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

bool
policies_advance(const Control &current, const Control &next,
                 std::string &error)
{
    return version_moved(current.url_bypass, next.url_bypass, "url_bypass",
                         error)
           && version_moved(current.header_bypass, next.header_bypass,
                            "header_bypass", error);
}

std::string
policy_document(const Control &c)
{
    /* The URL block goes first: a scan that passes through a block it
     * skips looks for the next "Type" behind it, and the header block,
     * whose names are not unescaped, is best last. */
    std::string doc = "[{\"Type\":\"urlbypass\",\"Version\":";
    append_escaped(doc, c.url_bypass ? c.url_bypass->version : cleared_version);
    doc += ",\"Patterns\":[";
    if (c.url_bypass) {
        bool first = true;
        for (const auto &p : c.url_bypass->patterns) {
            if (!first) {
                doc.push_back(',');
            }
            first = false;
            append_escaped(doc, sensor_pattern(p));
        }
    }
    doc += "]},{\"Type\":\"headerbypass\",\"Version\":";
    append_escaped(doc, c.header_bypass ? c.header_bypass->version
                                        : cleared_version);
    /* the scanner steps two bytes past each value's closing quote: no
     * blanks between the value, its brace and the next comma */
    doc += ",\"Headers\":[";
    if (c.header_bypass) {
        bool first = true;
        for (const auto &r : c.header_bypass->rules) {
            if (!first) {
                doc.push_back(',');
            }
            first = false;
            doc.push_back('{');
            append_escaped(doc, sensor_header_name(r.name));
            doc.push_back(':');
            append_escaped(doc, sensor_pattern(r.pattern));
            doc.push_back('}');
        }
    }
    doc += "]}]";
    return doc;
}

std::string
heartbeat_reply(const Control &c)
{
    std::string body = policy_document(c);
    std::string r = "HTTP/1.1 200 OK\r\n"
                    "Content-Type: application/json\r\n"
                    "X-Kv-Logging-Level: ";
    r += c.logging_level;
    r += "\r\nX-Kv-Backoff-Duration: ";
    r += std::to_string(c.backoff_ms);
    r += "\r\nX-Kv-Sampling-Rate: ";
    r += std::to_string(c.sampling_rate);
    r += "\r\nContent-Length: ";
    r += std::to_string(body.size());
    r += "\r\n\r\n";
    r += body;
    return r;
}

} // namespace kv
