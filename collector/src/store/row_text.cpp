#include "store/row_text.h"

#include <random>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

namespace kv {

namespace {

/* Written by hand because it runs once per stored exchange; the strings
 * are UTF-8 already, so escaping is all there is to it. */
void
append_json_string(std::string &out, const std::string &s)
{
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20) {
            out += "\\u00";
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

/* This run of this collector, among all that share a database. */
const std::string &
run_id()
{
    static const std::string id = [] {
        std::random_device rd;
        std::uniform_int_distribution<uint64_t> d;
        char text[17];
        std::snprintf(text, sizeof(text), "%016llx",
                      static_cast<unsigned long long>(d(rd)));
        return std::string(text);
    }();
    return id;
}

/* The code point a well-formed UTF-8 sequence at the end of s holds, and
 * where it starts. */
bool
last_code_point(const std::string &s, size_t &start, uint32_t &cp)
{
    if (s.empty()) {
        return false;
    }
    start = s.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80
           && s.size() - start < 4) {
        start--;
    }
    auto lead = static_cast<unsigned char>(s[start]);
    size_t n = s.size() - start;
    if (n == 1 && lead < 0x80) {
        cp = lead;
    } else if (n == 2 && (lead & 0xE0) == 0xC0) {
        cp = lead & 0x1F;
    } else if (n == 3 && (lead & 0xF0) == 0xE0) {
        cp = lead & 0x0F;
    } else if (n == 4 && (lead & 0xF8) == 0xF0) {
        cp = lead & 0x07;
    } else {
        return false;
    }
    for (size_t i = start + 1; i < s.size(); i++) {
        cp = cp << 6 | (static_cast<unsigned char>(s[i]) & 0x3F);
    }
    return true;
}

void
append_utf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

std::string
headers_json(const HeaderList &h)
{
    std::string out = "[";
    for (const auto &[n, v] : h) {
        if (out.size() > 1) {
            out.push_back(',');
        }
        out.push_back('[');
        append_json_string(out, n);
        out.push_back(',');
        append_json_string(out, v);
        out.push_back(']');
    }
    out.push_back(']');
    return out;
}

HeaderList
parse_headers(const std::string &text)
{
    HeaderList out;
    boost::json::error_code ec;
    boost::json::value v = boost::json::parse(text, ec);
    const boost::json::array *a = ec ? nullptr : v.if_array();
    if (a == nullptr) {
        return out;
    }
    for (const auto &item : *a) {
        const boost::json::array *pair = item.if_array();
        if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_string()
            || !(*pair)[1].is_string()) {
            continue;
        }
        out.emplace_back(std::string((*pair)[0].get_string()),
                         std::string((*pair)[1].get_string()));
    }
    return out;
}

std::string
worker_key(const std::string &host, const std::string &instance, int64_t pid,
           uint64_t connection, const std::string &peer)
{
    std::string k = host + '\n' + instance + '\n';
    k += pid > 0 ? "pid " + std::to_string(pid)
                 : "connection " + run_id() + "-" + std::to_string(connection)
                       + " " + peer;
    return k;
}

std::optional<std::string>
prefix_upper_bound(const std::string &prefix)
{
    size_t start = 0;
    uint32_t cp = 0;
    if (!last_code_point(prefix, start, cp) || cp >= 0x10FFFF) {
        return std::nullopt;
    }
    cp++;
    if (cp == 0xD800) {
        cp = 0xE000; /* no character lies between them */
    }
    std::string out = prefix.substr(0, start);
    append_utf8(out, cp);
    return out;
}

std::string
without_nul(const std::string &s)
{
    if (s.find('\0') == std::string::npos) {
        return s;
    }
    std::string out;
    out.reserve(s.size() + 8);
    for (char c : s) {
        if (c == '\0') {
            out += "\xEF\xBF\xBD";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace kv
