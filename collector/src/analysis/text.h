/*
 * Small text helpers the analysis units share: ASCII case folding, header
 * look-up, media types, percent-decoding, UTF-8 checks and base64.  Pure
 * functions; any thread.
 */

#ifndef KV_ANALYSIS_TEXT_H
#define KV_ANALYSIS_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "analysis/exchange_record.h"

namespace kv::analysis {

inline char
ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline bool
is_digit(char c)
{
    return c >= '0' && c <= '9';
}

inline bool
is_alpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool
is_alnum(char c)
{
    return is_digit(c) || is_alpha(c);
}

inline bool
is_hex(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline bool
iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool istarts_with(std::string_view s, std::string_view prefix);
std::string to_lower(std::string_view s);
std::string_view trim(std::string_view s);

/* The value of the first header named name (any case), or nullptr. */
const std::string *find_header(const HeaderPairs &headers,
                               std::string_view name);

/* "application/json; charset=utf-8" -> "application/json". */
std::string media_type(std::string_view content_type);
bool is_json_media_type(std::string_view media);

/* Percent-decoding; with plus_is_space also '+' (form encoding).  Invalid
 * escapes are kept as they are. */
std::string percent_decode(std::string_view s, bool plus_is_space);

bool is_valid_utf8(std::string_view s);
/* Invalid sequences become U+FFFD, so the result is always valid UTF-8. */
std::string to_valid_utf8(std::string_view s);

std::string base64_encode(std::string_view bytes);

/* Calls f(name, value) for each "name=value" of a query or form body,
 * undecoded; a member without '=' has an empty value. */
template <typename F>
void
for_each_param(std::string_view s, F &&f)
{
    while (!s.empty()) {
        size_t amp = s.find('&');
        std::string_view part = s.substr(0, amp);
        if (!part.empty()) {
            size_t eq = part.find('=');
            if (eq == std::string_view::npos) {
                f(part, std::string_view());
            } else {
                f(part.substr(0, eq), part.substr(eq + 1));
            }
        }
        if (amp == std::string_view::npos) {
            break;
        }
        s.remove_prefix(amp + 1);
    }
}

} // namespace kv::analysis

#endif
