#include "protocol/heartbeat.h"

#include "kv_protocol.h"

namespace kv {

namespace {

namespace wire = kv_protocol;

/* The document's fixed parts, in the order policy_document writes them. */
constexpr auto url_block = "[{\"" + wire::policy_type + "\":\""
                           + wire::url_bypass + "\",\""
                           + wire::policy_version + "\":";
constexpr auto url_list = ",\"" + wire::policy_patterns + "\":[";
constexpr auto header_block = "]},{\"" + wire::policy_type + "\":\""
                              + wire::header_bypass + "\",\""
                              + wire::policy_version + "\":";
constexpr auto header_list = ",\"" + wire::policy_headers + "\":[";
constexpr std::string_view type_word = wire::policy_type;

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
        if (re.compare(i, type_word.size(), type_word) != 0) {
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

} // namespace

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

namespace {

/* Header names compare case-insensitively, so "Type" is written "type". */
std::string
sensor_header_name(std::string name)
{
    for (size_t i = name.find(type_word); i != std::string::npos;
         i = name.find(type_word, i + 1)) {
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

} // namespace

std::string
policy_document(const Control &c)
{
    /* The URL block goes first: a scan that passes through a block it
     * skips looks for the next "Type" behind it, and the header block,
     * whose names are not unescaped, is best last. */
    std::string doc(url_block.view());
    append_escaped(doc, c.url_bypass ? c.url_bypass->version : cleared_version);
    doc += url_list.view();
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
    doc += header_block.view();
    append_escaped(doc, c.header_bypass ? c.header_bypass->version
                                        : cleared_version);
    /* the scanner steps two bytes past each value's closing quote: no
     * blanks between the value, its brace and the next comma */
    doc += header_list.view();
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
                    "Content-Type: application/json\r\n";
    r += wire::logging_level.view();
    r += ": ";
    r += c.logging_level;
    r += "\r\n";
    r += wire::backoff_duration.view();
    r += ": ";
    r += std::to_string(c.backoff_ms);
    r += "\r\n";
    r += wire::sampling_rate.view();
    r += ": ";
    r += std::to_string(c.sampling_rate);
    r += "\r\nContent-Length: ";
    r += std::to_string(body.size());
    r += "\r\n\r\n";
    r += body;
    return r;
}

} // namespace kv
