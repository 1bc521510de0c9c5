/*
 * A validating JSON scanner that reports where things are: member names,
 * string and number tokens, and the whole extent of a value a handler asks
 * for.  Redaction rewrites secrets where they stand, leaving every other
 * byte of a body as it was, so it needs byte positions, which JSON
 * libraries do not give (they hand back values).  The scanner allocates
 * nothing and keeps its nesting on a fixed stack.
 *
 * It also accepts a prefix of a valid document, so a body the sensor cut
 * at its capture limit is still handled up to where it stops.
 *
 * Pure function over its input; any thread.
 */

#ifndef KV_ANALYSIS_JSON_SCAN_H
#define KV_ANALYSIS_JSON_SCAN_H

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <string_view>

namespace kv::analysis {

enum class JsonScanResult {
    complete,  /* one valid JSON text */
    truncated, /* a valid JSON text's proper prefix */
    invalid,
};

enum class JsonKind { object, array, string, number, literal };

constexpr size_t json_scan_max_depth = 512;

/*
 * The handler has:
 *   bool key(std::string_view raw, bool escaped)
 *       a member name, raw bytes between the quotes; true asks for the
 *       member's value as a whole through captured()
 *   void captured(size_t begin, size_t end, JsonKind kind, bool complete)
 *       the value's bytes [begin, end), quotes included for a string
 *   void string(size_t begin, size_t end)    contents, quotes excluded
 *   void number(size_t begin, size_t end)
 * string() and number() are not called inside a captured value; key() is
 * (its answer is then ignored).
 */
template <typename Handler>
JsonScanResult
scan_json(std::string_view t, Handler &h)
{
    enum State { value, after_value, object_first, key, colon, array_first };
    std::bitset<json_scan_max_depth> is_object;
    size_t depth = 0;
    size_t n = t.size();
    size_t i = 0;
    State st = value;
    bool want_capture = false;
    bool capturing = false;
    size_t capture_begin = 0, capture_depth = 0;
    JsonKind capture_kind = JsonKind::literal;

    auto ws = [&] {
        while (
            i < n
            && (t[i] == ' ' || t[i] == '\n' || t[i] == '\r' || t[i] == '\t')) {
            i++;
        }
    };
    /* i at the opening quote; leaves i past the closing one.  0: closed,
     * 1: text ended inside, -1: invalid. */
    auto string_token = [&](bool &escaped) -> int {
        i++;
        escaped = false;
        while (i < n) {
            unsigned char c = static_cast<unsigned char>(t[i]);
            if (c == '"') {
                i++;
                return 0;
            }
            if (c < 0x20) {
                return -1;
            }
            if (c == '\\') {
                escaped = true;
                if (i + 1 >= n) {
                    i = n;
                    return 1;
                }
                char e = t[i + 1];
                if (e == 'u') {
                    for (size_t k = 0; k < 4; k++) {
                        if (i + 2 + k >= n) {
                            i = n;
                            return 1;
                        }
                        char x = t[i + 2 + k];
                        bool hex = (x >= '0' && x <= '9')
                                   || (x >= 'a' && x <= 'f')
                                   || (x >= 'A' && x <= 'F');
                        if (!hex) {
                            return -1;
                        }
                    }
                    i += 6;
                    continue;
                }
                if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f'
                    && e != 'n' && e != 'r' && e != 't') {
                    return -1;
                }
                i += 2;
                continue;
            }
            i++;
        }
        return 1;
    };
    auto digits = [&] {
        size_t s = i;
        while (i < n && t[i] >= '0' && t[i] <= '9') {
            i++;
        }
        return i - s;
    };
    /* 0: a number, 1: the text ended where more could follow, -1 bad */
    auto number_token = [&]() -> int {
        if (t[i] == '-') {
            i++;
        }
        if (i >= n) {
            return 1;
        }
        if (t[i] == '0') {
            i++;
        } else if (digits() == 0) {
            return -1;
        }
        if (i < n && t[i] == '.') {
            i++;
            if (digits() == 0) {
                return i >= n ? 1 : -1;
            }
        }
        if (i < n && (t[i] == 'e' || t[i] == 'E')) {
            i++;
            if (i < n && (t[i] == '+' || t[i] == '-')) {
                i++;
            }
            if (digits() == 0) {
                return i >= n ? 1 : -1;
            }
        }
        return 0;
    };
    auto finish_truncated = [&] {
        if (capturing) {
            h.captured(capture_begin, n, capture_kind, false);
        }
        return JsonScanResult::truncated;
    };
    /* a value ended at i */
    auto value_done = [&] {
        if (capturing && depth == capture_depth) {
            h.captured(capture_begin, i, capture_kind, true);
            capturing = false;
        }
        st = after_value;
    };

    for (;;) {
        ws();
        if (i >= n) {
            if (st == after_value && depth == 0) {
                return JsonScanResult::complete;
            }
            if (i == 0
                || (st == value && depth == 0 && !capturing && !want_capture)) {
                return JsonScanResult::invalid; /* empty or blank */
            }
            return finish_truncated();
        }
        char c = t[i];
        switch (st) {
        case value: {
            if (want_capture) {
                want_capture = false;
                capturing = true;
                capture_begin = i;
                capture_depth = depth;
                capture_kind = c == '{'   ? JsonKind::object
                               : c == '[' ? JsonKind::array
                               : c == '"' ? JsonKind::string
                               : (c == '-' || (c >= '0' && c <= '9'))
                                   ? JsonKind::number
                                   : JsonKind::literal;
            }
            if (c == '{' || c == '[') {
                if (depth == json_scan_max_depth) {
                    return JsonScanResult::invalid;
                }
                is_object[depth++] = c == '{';
                i++;
                st = c == '{' ? object_first : array_first;
                break;
            }
            if (c == '"') {
                size_t b = i + 1;
                bool escaped;
                int r = string_token(escaped);
                if (r < 0) {
                    return JsonScanResult::invalid;
                }
                if (!capturing) {
                    h.string(b, r == 0 ? i - 1 : n);
                }
                if (r > 0) {
                    return finish_truncated();
                }
                value_done();
                break;
            }
            if (c == '-' || (c >= '0' && c <= '9')) {
                size_t b = i;
                int r = number_token();
                if (r < 0) {
                    return JsonScanResult::invalid;
                }
                bool at_end = i >= n;
                if (r > 0 || (at_end && depth > 0)) {
                    if (!capturing) {
                        h.number(b, i);
                    }
                    return finish_truncated();
                }
                if (!capturing) {
                    h.number(b, i);
                }
                value_done();
                break;
            }
            std::string_view lit = c == 't'   ? "true"
                                   : c == 'f' ? "false"
                                   : c == 'n' ? "null"
                                              : "";
            if (lit.empty()) {
                return JsonScanResult::invalid;
            }
            size_t avail = std::min(lit.size(), n - i);
            if (t.compare(i, avail, lit.substr(0, avail)) != 0) {
                return JsonScanResult::invalid;
            }
            i += avail;
            if (avail < lit.size()) {
                return finish_truncated();
            }
            value_done();
            break;
        }
        case after_value:
            if (depth == 0) {
                return JsonScanResult::invalid;
            }
            if (c == ',') {
                i++;
                st = is_object[depth - 1] ? key : value;
            } else if (c == (is_object[depth - 1] ? '}' : ']')) {
                i++;
                depth--;
                value_done();
            } else {
                return JsonScanResult::invalid;
            }
            break;
        case object_first:
            if (c == '}') {
                i++;
                depth--;
                value_done();
                break;
            }
            [[fallthrough]];
        case key: {
            if (c != '"') {
                return JsonScanResult::invalid;
            }
            size_t b = i + 1;
            bool escaped;
            int r = string_token(escaped);
            if (r < 0) {
                return JsonScanResult::invalid;
            }
            if (r > 0) {
                return finish_truncated();
            }
            bool wants = h.key(t.substr(b, i - 1 - b), escaped);
            want_capture = wants && !capturing;
            st = colon;
            break;
        }
        case colon:
            if (c != ':') {
                return JsonScanResult::invalid;
            }
            i++;
            st = value;
            break;
        case array_first:
            if (c == ']') {
                i++;
                depth--;
                value_done();
                break;
            }
            st = value;
            break;
        }
    }
}

} // namespace kv::analysis

#endif
