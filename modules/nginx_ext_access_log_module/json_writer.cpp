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

#if defined(__x86_64__) && defined(__GNUC__)
#define NGX_EXT_BASE64_SSSE3 1
#include <immintrin.h>
#endif

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

/* Bytes that stand for themselves: printable ASCII (DEL too) but " and \ */
struct plain_table {
    bool entry[256];

    constexpr plain_table() noexcept : entry()
    {
        for (unsigned c = 0x20; c < 0x80; c++) {
            entry[c] = c != '"' && c != '\\';
        }
    }
};

constexpr plain_table plain;

constexpr uint64_t ones = 0x0101010101010101ULL;
constexpr uint64_t highs = 0x8080808080808080ULL;

constexpr uint64_t
has_zero_byte(uint64_t x) noexcept
{
    return (x - ones) & ~x & highs;
}

/*
 * Whether eight bytes all stand for themselves: none below 0x20, none
 * above 0x7f, no quote, no backslash.  Most of a header is.
 */
constexpr bool
all_plain(uint64_t x) noexcept
{
    return ((x | ~((x | highs) - 0x20 * ones)) & highs) == 0
           && !has_zero_byte(x ^ ('"' * ones))
           && !has_zero_byte(x ^ ('\\' * ones));
}

static_assert(all_plain(0x2020202020202020ULL), "blanks pass");
static_assert(all_plain(0x7f7e7d7c7b7a7978ULL), "high printables pass");
static_assert(!all_plain(0x2020201f20202020ULL), "a control byte stops");
static_assert(!all_plain(0x2020208020202020ULL), "a high byte stops");
static_assert(!all_plain(0x2020202220202020ULL), "a quote stops");
static_assert(!all_plain(0x20205c2020202020ULL), "a backslash stops");

void
append_escape(writer &w, u_char c) noexcept
{
    u_char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};

    for (u_char e : esc) {
        append_char(w, e);
    }
}

/*
 * The end of the stretch from p on that goes out unchanged: plain bytes
 * and well-formed UTF-8 characters.
 */
const u_char *
unchanged_run(const u_char *p, const u_char *end) noexcept
{
    for (;;) {
        while (end - p >= 8) {
            uint64_t x;
            ngx_memcpy(&x, p, sizeof(x));
            if (!all_plain(x)) {
                break;
            }
            p += 8;
        }

        while (p < end && plain.entry[*p]) {
            p++;
        }

        if (p == end || *p < 0x80) {
            return p;
        }

        size_t n = utf8_sequence_len(p, end - p);
        if (n == 0) {
            return p;
        }
        p += n;
    }
}

/*
 * A stretch that may not fit, piece by piece as the byte-wise writer goes:
 * single bytes until the buffer ends, characters whole or not at all,
 * every piece that is dropped counted.
 */
void
append_run_piecewise(writer &w, const u_char *p, const u_char *end) noexcept
{
    while (p < end) {
        if (*p < 0x80) {
            append_char(w, *p++);
            continue;
        }

        size_t n = utf8_sequence_len(p, end - p);
        append_string(w, p, n);
        p += n;
    }
}

/* Three bytes, whole groups only, through a table of character pairs. */
constexpr char basis64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct pair_table {
    u_char entry[4096][2];

    constexpr pair_table() noexcept : entry()
    {
        for (unsigned v = 0; v < 4096; v++) {
            entry[v][0] = basis64[v >> 6];
            entry[v][1] = basis64[v & 0x3f];
        }
    }
};

constexpr pair_table pairs;

inline u_char *
encode_group(u_char *d, uint32_t v) noexcept
{
    ngx_memcpy(d, pairs.entry[v >> 12], 2);
    ngx_memcpy(d + 2, pairs.entry[v & 0xfff], 2);
    return d + 4;
}

#if (NGX_EXT_BASE64_SSSE3)

/*
 * Bodies are most of a merged log's bytes: where the processor has SSSE3,
 * twelve bytes become sixteen characters in a dozen instructions (Wojciech
 * Mula's byte-shuffle method).  Reads sixteen bytes for every twelve it
 * encodes; returns how many it encoded, a multiple of twelve.
 */
__attribute__((target("ssse3"))) size_t
encode_base64_ssse3(u_char *d, const u_char *s, size_t len) noexcept
{
    /* each 32-bit lane gets the bytes b1 b0 b2 b1 of its group */
    const __m128i spread =
        _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
    /* then the four 6-bit values of the group, one per byte */
    const __m128i mask_ac = _mm_set1_epi32(0x0fc0fc00);
    const __m128i shift_ac = _mm_set1_epi32(0x04000040);
    const __m128i mask_bd = _mm_set1_epi32(0x003f03f0);
    const __m128i shift_bd = _mm_set1_epi32(0x01000010);
    /* what each range of values adds to become its character */
    const __m128i offsets = _mm_setr_epi8(
        'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
        '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    size_t done = 0;

    while (len - done >= 16) {
        __m128i in =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + done));
        in = _mm_shuffle_epi8(in, spread);

        __m128i values =
            _mm_or_si128(_mm_mulhi_epu16(_mm_and_si128(in, mask_ac), shift_ac),
                         _mm_mullo_epi16(_mm_and_si128(in, mask_bd), shift_bd));

        /* 0..25 pick 13, 26..51 pick 0, 52..63 pick 1..12 */
        __m128i pick = _mm_subs_epu8(values, _mm_set1_epi8(51));
        __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), values);
        pick = _mm_or_si128(pick, _mm_and_si128(upper, _mm_set1_epi8(13)));

        __m128i text = _mm_add_epi8(_mm_shuffle_epi8(offsets, pick), values);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), text);

        d += 16;
        done += 12;
    }

    return done;
}

bool
have_ssse3() noexcept
{
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
}

#endif

} /* namespace */

void
overflowed(writer &w) noexcept
{
    w.overflow = true;
    kestrelvanes::count(log_stats.json_data_append_failed);
}

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
append_number(writer &w, const char *prefix, uint64_t value,
              const char *suffix) noexcept
{
    u_char digits[NGX_INT64_LEN];
    u_char *d = digits + sizeof(digits);

    do {
        *--d = (u_char) ('0' + value % 10);
        value /= 10;
    } while (value != 0);

    u_char text[NGX_INT64_LEN + 8];
    u_char *p = text;

    while (*prefix) {
        *p++ = *prefix++;
    }
    p = ngx_cpymem(p, d, digits + sizeof(digits) - d);
    while (*suffix) {
        *p++ = *suffix++;
    }

    append_string(w, text, p - text);
}

/*
 * Stretches that need no escape are copied at once; when one does not
 * fit, it goes piece by piece, so what lands in a full buffer and what is
 * counted are the same as byte by byte.
 */
void
write_escaped(writer &w, const u_char *p, size_t len) noexcept
{
    const u_char *end = p + len;

    while (p < end) {
        const u_char *run = p;
        p = unchanged_run(p, end);

        if (p != run) {
            size_t n = p - run;

            if (w.room() > n) {
                w.pos = ngx_cpymem(w.pos, run, n);
            } else {
                append_run_piecewise(w, run, p);
            }
        }

        if (p == end) {
            return;
        }

        u_char c = *p++;

        if (c == '"' || c == '\\') {
            append_char(w, '\\');
            append_char(w, c);
            continue;
        }

        /* a control byte, or one that starts no well-formed character */
        append_escape(w, c);
    }
}

void
write_string_member(writer &w, const char *key, size_t key_len,
                    const u_char *value, size_t len) noexcept
{
    append_char(w, '"');
    append_string(w, key, key_len);
    append_literal(w, "\":\"");
    write_escaped(w, value, len);
    append_char(w, '"');
}

u_char *
encode_base64(u_char *d, const u_char *s, size_t len) noexcept
{
#if (NGX_EXT_BASE64_SSSE3)
    if (len >= 16 && have_ssse3()) {
        size_t done = encode_base64_ssse3(d, s, len);

        s += done;
        d += done / 3 * 4;
        len -= done;
    }
#endif

    /* two groups from one load, while eight bytes may be read */
    while (len >= 8) {
        uint64_t v;
        ngx_memcpy(&v, s, sizeof(v));
#if (NGX_HAVE_LITTLE_ENDIAN)
        v = __builtin_bswap64(v);
#endif

        d = encode_group(d, (uint32_t) (v >> 40));
        d = encode_group(d, (uint32_t) (v >> 16) & 0xffffff);
        s += 6;
        len -= 6;
    }

    while (len >= 3) {
        d = encode_group(d,
                         (uint32_t) s[0] << 16 | (uint32_t) s[1] << 8 | s[2]);
        s += 3;
        len -= 3;
    }

    if (len) {
        *d++ = basis64[s[0] >> 2];

        if (len == 1) {
            *d++ = basis64[(s[0] & 3) << 4];
            *d++ = '=';

        } else {
            *d++ = basis64[((s[0] & 3) << 4) | (s[1] >> 4)];
            *d++ = basis64[(s[1] & 0x0f) << 2];
        }

        *d++ = '=';
    }

    return d;
}

void
base64_stream::add(const u_char *src, size_t len) noexcept
{
    if (carried != 0) {
        u_char group[3] = {carry[0], carry[1], 0};

        while (carried < 3 && len != 0) {
            group[carried++] = *src++;
            len--;
        }

        if (carried < 3) {
            carry[0] = group[0];
            carry[1] = group[1];
            return;
        }

        dst = encode_base64(dst, group, 3);
        carried = 0;
    }

    size_t whole = len - len % 3;

    dst = encode_base64(dst, src, whole);

    for (size_t i = whole; i < len; i++) {
        carry[carried++] = src[i];
    }
}

void
base64_stream::finish() noexcept
{
    dst = encode_base64(dst, carry, carried);
    carried = 0;
}

} /* namespace json */
} /* namespace kestrelvanes */
