#include "base/text.h"

#include <cstdio>
#include <ctime>

#include <chrono>
#include <limits>

#include <openssl/evp.h>

namespace kv {

namespace {

char
lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

/* Length of the valid UTF-8 sequence starting at s[i], or 0. */
size_t
utf8_sequence(std::string_view s, size_t i)
{
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t n;
    uint32_t cp;

    if (c < 0x80) {
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
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
    /* overlong forms, surrogates and values past U+10FFFF */
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000)
        || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        return 0;
    }
    return n;
}

} // namespace

bool
iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool
istarts_with(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size()
           && iequals(s.substr(0, prefix.size()), prefix);
}

std::string_view
trim_blanks(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<uint64_t>
parse_digits(std::string_view s)
{
    if (s.empty()) {
        return std::nullopt;
    }
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) {
            return std::nullopt;
        }
        v = v * 10 + d;
    }
    return v;
}

std::optional<int64_t>
parse_signed(std::string_view s)
{
    bool negative = !s.empty() && s.front() == '-';
    if (negative) {
        s.remove_prefix(1);
    }
    auto v = parse_digits(s);
    if (!v || *v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return std::nullopt;
    }
    auto n = static_cast<int64_t>(*v);
    return negative ? -n : n;
}

bool
valid_utf8(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_sequence(s, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

std::string
to_utf8(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_sequence(s, i);
        if (n > 0) {
            out.append(s.substr(i, n));
            i += n;
            continue;
        }
        auto c = static_cast<unsigned char>(s[i++]);
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return out;
}

std::optional<std::string>
base64_decode(std::string_view s)
{
    if (s.size() % 4 != 0) {
        return std::nullopt;
    }
    if (s.empty()) {
        return std::string();
    }
    for (char c : s) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
                  || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
        if (!ok) {
            return std::nullopt;
        }
    }
    size_t pad = 0;
    if (s.back() == '=') {
        pad = s[s.size() - 2] == '=' ? 2 : 1;
    }
    if (s.find('=') < s.size() - pad) {
        return std::nullopt;
    }
    std::string out(s.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(s.data()),
                            static_cast<int>(s.size()));
    if (n < 0) {
        return std::nullopt;
    }
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::string
base64_encode(std::string_view s)
{
    std::string out((s.size() + 2) / 3 * 4 + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(s.data()),
                            static_cast<int>(s.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

int64_t
now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch())
        .count();
}

std::string
iso8601(int64_t ms)
{
    int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    auto millis = static_cast<int>(ms - seconds * 1000);
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char out[40];
    size_t n = std::strftime(out, sizeof(out), "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(out + n, sizeof(out) - n, ".%03dZ", millis);
    return out;
}

} // namespace kv
