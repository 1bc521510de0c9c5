/*
 * Small text helpers the analysis units share.  Pure functions; any thread.
 */

#include "analysis/text.h"

namespace kv::analysis {

void
split_target(std::string_view target, std::string &path, std::string &query)
{
    size_t q = target.find('?');
    path.assign(target.substr(0, q));
    if (q == std::string_view::npos) {
        query.clear();
    } else {
        query.assign(target.substr(q + 1));
    }
}

bool
istarts_with(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size()
           && iequals(s.substr(0, prefix.size()), prefix);
}

std::string
to_lower(std::string_view s)
{
    std::string out(s);
    for (char &c : out) {
        c = ascii_lower(c);
    }
    return out;
}

std::string_view
trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

const std::string *
find_header(const HeaderPairs &headers, std::string_view name)
{
    for (const auto &h : headers) {
        if (iequals(h.first, name)) {
            return &h.second;
        }
    }
    return nullptr;
}

std::string
media_type(std::string_view content_type)
{
    size_t semi = content_type.find(';');
    return to_lower(trim(content_type.substr(0, semi)));
}

bool
is_json_media_type(std::string_view media)
{
    if (iequals(media, "application/json")) {
        return true;
    }
    /* application/problem+json, application/vnd.x+json */
    return media.size() > 5 && iequals(media.substr(media.size() - 5), "+json");
}

static int
hex_value(char c)
{
    if (is_digit(c)) {
        return c - '0';
    }
    c = ascii_lower(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string
percent_decode(std::string_view s, bool plus_is_space)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (c == '%' && i + 2 < s.size()) {
            int hi = hex_value(s[i + 1]);
            int lo = hex_value(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(plus_is_space && c == '+' ? ' ' : c);
    }
    return out;
}

/* Length of the valid UTF-8 sequence at s[i], or 0. */
static size_t
utf8_sequence(std::string_view s, size_t i)
{
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        return 1;
    }
    size_t n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) {
        return 0;
    }
    for (size_t k = 1; k < n; k++) {
        if ((b(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    /* overlong forms, surrogates and values past Unicode are invalid */
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return n;
}

bool
is_valid_utf8(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            i++;
            continue;
        }
        size_t n = utf8_sequence(s, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

std::string
to_valid_utf8(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_sequence(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i++;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string
base64_encode(std::string_view bytes)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    auto u = [&](size_t k) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k]));
    };
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = (u(i) << 16) | (u(i + 1) << 8) | u(i + 2);
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(alphabet[(v >> 6) & 63]);
        out.push_back(alphabet[v & 63]);
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = u(i) << 16;
        if (rest == 2) {
            v |= u(i + 1) << 8;
        }
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? alphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

} // namespace kv::analysis
