/*
 * Access-log module: the bounded JSON writer of the merged log.
 *
 * Collectors parse the document with strict JSON parsers, which refuse
 * the whole document for one byte that is not UTF-8.  Clients and
 * applications put whatever bytes they like into headers and URIs, so
 * every string is checked: well-formed UTF-8 goes out as it is, any other
 * byte as the escape of the code point with its value (\u00ff for 0xff),
 * which keeps the byte recoverable and the document valid.
 */
#include "json_writer.h"

namespace kestrelvanes {
namespace json {

namespace {

/*
 * What may follow each lead byte (the well-formed sequences of Unicode's
 * table 3-7): the length, and the range of the second byte, which is
 * where overlong forms (E0 80.., F0 80..), surrogates (ED A0..) and code
 * points above U+10FFFF (F4 90..) are told apart.  Every later byte is
 * 80..BF.  nginx's ngx_utf8_decode() takes all of those, so it cannot
 * serve here.
 */
struct lead_byte {
    u_char len;
    u_char lo;
    u_char hi;
};

constexpr lead_byte
lead_of(unsigned c) noexcept
{
    if (c < 0x80) {
        return {1, 0, 0};
    }
    if (c >= 0xc2 && c <= 0xdf) {
        return {2, 0x80, 0xbf};
    }
    if (c == 0xe0) {
        return {3, 0xa0, 0xbf};
    }
    if (c == 0xed) {
        return {3, 0x80, 0x9f};
    }
    if (c >= 0xe1 && c <= 0xef) {
        return {3, 0x80, 0xbf};
    }
    if (c == 0xf0) {
        return {4, 0x90, 0xbf};
    }
    if (c >= 0xf1 && c <= 0xf3) {
        return {4, 0x80, 0xbf};
    }
    if (c == 0xf4) {
        return {4, 0x80, 0x8f};
    }

    /* continuation bytes, C0, C1 and F5..FF never start a sequence */
    return {0, 0, 0};
}

struct lead_table {
    lead_byte entry[256];

    constexpr lead_table() noexcept : entry()
    {
        for (unsigned c = 0; c < 256; c++) {
            entry[c] = lead_of(c);
        }
    }
};

constexpr lead_table leads;

constexpr u_char hex[] = "0123456789abcdef";

void
overflowed(writer &w) noexcept
{
    w.overflow = true;
    kestrelvanes::count(log_stats.json_data_append_failed);
}

void
append_escape(writer &w, u_char c) noexcept
{
    u_char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};

    for (u_char e : esc) {
        append_char(w, e);
    }
}

} /* namespace */

size_t
utf8_sequence_len(const u_char *p, size_t len) noexcept
{
    if (len == 0) {
        return 0;
    }

    const lead_byte &lead = leads.entry[p[0]];

    /* a sequence cut short by the end of the value is not one */
    if (lead.len == 0 || lead.len > len) {
        return 0;
    }

    if (lead.len == 1) {
        return 1;
    }

    if (p[1] < lead.lo || p[1] > lead.hi) {
        return 0;
    }

    for (size_t i = 2; i < lead.len; i++) {
        if (p[i] < 0x80 || p[i] > 0xbf) {
            return 0;
        }
    }

    return lead.len;
}

void
append_char(writer &w, u_char c) noexcept
{
    if (w.pos < w.end) {
        *w.pos++ = c;
        return;
    }

    overflowed(w);
}

void
append_string(writer &w, const void *src, size_t len) noexcept
{
    if (w.room() > len) {
        w.pos = ngx_cpymem(w.pos, src, len);
        return;
    }

    overflowed(w);
}

void
append_literal(writer &w, const char *text) noexcept
{
    append_string(w, text, ngx_strlen(text));
}

void
append_number(writer &w, const char *fmt, uint64_t value) noexcept
{
    u_char text[NGX_INT64_LEN + 4];
    u_char *last = ngx_snprintf(text, sizeof(text), fmt, value);

    append_string(w, text, last - text);
}

void
write_escaped(writer &w, const u_char *p, size_t len) noexcept
{
    size_t i = 0;

    while (i < len) {
        u_char c = p[i];

        if (c == '"' || c == '\\') {
            append_char(w, '\\');
            append_char(w, c);
            i++;
            continue;
        }

        if (c < 0x20) {
            append_escape(w, c);
            i++;
            continue;
        }

        if (c < 0x80) {
            append_char(w, c);
            i++;
            continue;
        }

        size_t n = utf8_sequence_len(p + i, len - i);

        if (n == 0) {
            /* one byte at a time: the next one may start a good sequence */
            append_escape(w, c);
            i++;
            continue;
        }

        /* a character is never split at the end of the buffer */
        append_string(w, p + i, n);
        i += n;
    }
}

void
write_string_member(writer &w, const char *key, const u_char *value,
                    size_t len) noexcept
{
    append_char(w, '"');
    append_literal(w, key);
    append_literal(w, "\":\"");
    write_escaped(w, value, len);
    append_char(w, '"');
}

} /* namespace json */
} /* namespace kestrelvanes */
