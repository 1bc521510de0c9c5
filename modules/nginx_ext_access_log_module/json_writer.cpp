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
#include "json_writer_detail.h"

/*
 * x86-64 always has SSE2; SSSE3 and AVX2 are asked of the processor once,
 * and only the functions that use them are compiled for them, so the
 * module still loads on any x86-64.
 */
#if defined(__x86_64__) && defined(__GNUC__)
#define NGX_EXT_X86_SIMD 1
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
constexpr uint64_t lows = 0x7f7f7f7f7f7f7f7fULL;

/*
 * The high bit of each zero byte of x, and of no other: the low seven bits
 * are added without a carry leaving the byte, so, unlike the shorter
 * (x - ones) & ~x test, a zero byte does not mark the one after it.
 */
constexpr uint64_t
zero_bytes(uint64_t x) noexcept
{
    return ~(((x & lows) + lows) | x) & highs;
}

/*
 * The high bit of each of eight bytes that does not stand for itself:
 * below 0x20, above 0x7f, quote or backslash.  The bit of the first such
 * byte gives its place.
 */
constexpr uint64_t
stops(uint64_t x) noexcept
{
    return ((x | ~((x | highs) - 0x20 * ones)) & highs)
           | zero_bytes(x ^ ('"' * ones)) | zero_bytes(x ^ ('\\' * ones));
}

static_assert(stops(0x2020202020202020ULL) == 0, "blanks pass");
static_assert(stops(0x7f7e7d7c7b7a7978ULL) == 0, "high printables pass");
static_assert(stops(0x2020201f20202020ULL) == 0x0000008000000000ULL,
              "a control byte stops");
static_assert(stops(0x2020208020202020ULL) == 0x0000008000000000ULL,
              "a high byte stops");
static_assert(stops(0x2020202220202020ULL) == 0x0000008000000000ULL,
              "a quote stops");
static_assert(stops(0x20205c2020202020ULL) == 0x0000800000000000ULL,
              "a backslash stops");
static_assert(stops(0x2020202020202322ULL) == 0x80ULL,
              "a quote does not stop the byte after it");
static_assert(stops(0x20202020205d5c00ULL) == 0x8080ULL,
              "nor does a backslash or a control byte");

#if (NGX_EXT_X86_SIMD)

/* A bit for each of sixteen bytes that does not stand for itself. */
inline unsigned
stop_mask(__m128i x) noexcept
{
    return json_stop_mask(x);
}

/*
 * The first byte from p on that does not stand for itself, or end.
 * Sixteen bytes a step; fewer than sixteen left (most header values are
 * shorter) go in one step too, as their first and last eight or four bytes
 * side by side: the halves overlap, and a byte in both is found in the
 * first half first.
 */
const u_char *
skip_plain(const u_char *p, const u_char *end) noexcept
{
    while (end - p >= 16) {
        unsigned mask =
            stop_mask(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        if (mask != 0) {
            return p + __builtin_ctz(mask);
        }
        p += 16;
    }

    size_t left = end - p;
    size_t half;
    __m128i x;

    if (left >= 8) {
        half = 8;
        x = _mm_unpacklo_epi64(
            _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)),
            _mm_loadl_epi64(reinterpret_cast<const __m128i *>(end - 8)));

    } else if (left >= 4) {
        uint32_t first, last;

        half = 4;
        ngx_memcpy(&first, p, 4);
        ngx_memcpy(&last, end - 4, 4);
        x = _mm_unpacklo_epi32(_mm_cvtsi32_si128((int) first),
                               _mm_cvtsi32_si128((int) last));

    } else {
        while (p < end && plain.entry[*p]) {
            p++;
        }
        return p;
    }

    /* the zero bytes above the two halves are not the value's */
    unsigned mask = stop_mask(x) & ((1u << 2 * half) - 1);
    if (mask == 0) {
        return end;
    }

    size_t at = __builtin_ctz(mask);
    return at < half ? p + at : end - half + (at - half);
}

#else

/* The first byte from p on that does not stand for itself, or end. */
const u_char *
skip_plain(const u_char *p, const u_char *end) noexcept
{
    while (end - p >= 8) {
        uint64_t x;
        ngx_memcpy(&x, p, sizeof(x));

        uint64_t stop = stops(x);
        if (stop != 0) {
#if (NGX_HAVE_LITTLE_ENDIAN)
            return p + ((unsigned) __builtin_ctzll(stop) >> 3);
#else
            return p + ((unsigned) __builtin_clzll(stop) >> 3);
#endif
        }
        p += 8;
    }

    while (p < end && plain.entry[*p]) {
        p++;
    }

    return p;
}

#endif

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
        p = skip_plain(p, end);

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

using detail::base64_path;

#if (NGX_EXT_X86_SIMD)

/*
 * The byte-shuffle method (Wojciech Mula's) for twelve bytes to a 128-bit
 * lane.  First each 32-bit lane gets the bytes b1 b0 b2 b1 of its group...
 */
alignas(16) constexpr char spread_bytes[16] = {1, 0, 2, 1, 4,  3, 5,  4,
                                               7, 6, 8, 7, 10, 9, 11, 10};

/*
 * ...then the multiplies leave the group's four 6-bit values one per byte,
 * and each value adds what its range needs to become its character: 0..25
 * pick 0, 26..51 pick 1, 52..63 pick 2..13.
 */
alignas(16) constexpr char offset_bytes[16] = {
    'A',      'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
    '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
    '+' - 62, '/' - 63, 0,        0};

/*
 * Bodies are most of a merged log's bytes: where the processor has SSSE3,
 * twelve bytes become sixteen characters in a dozen instructions.  Reads
 * sixteen bytes for every twelve it encodes; returns how many it encoded,
 * a multiple of twelve.
 */
__attribute__((target("ssse3"))) size_t
encode_base64_ssse3(u_char *d, const u_char *s, size_t len) noexcept
{
    const __m128i spread =
        _mm_load_si128(reinterpret_cast<const __m128i *>(spread_bytes));
    const __m128i mask_ac = _mm_set1_epi32(0x0fc0fc00);
    const __m128i shift_ac = _mm_set1_epi32(0x04000040);
    const __m128i mask_bd = _mm_set1_epi32(0x003f03f0);
    const __m128i shift_bd = _mm_set1_epi32(0x01000010);
    const __m128i offsets =
        _mm_load_si128(reinterpret_cast<const __m128i *>(offset_bytes));
    size_t done = 0;

    while (len - done >= 16) {
        __m128i in =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + done));
        in = _mm_shuffle_epi8(in, spread);

        __m128i values =
            _mm_or_si128(_mm_mulhi_epu16(_mm_and_si128(in, mask_ac), shift_ac),
                         _mm_mullo_epi16(_mm_and_si128(in, mask_bd), shift_bd));

        /* 52..63 give 1..12 here, and every value above 25 one more */
        __m128i pick = _mm_subs_epu8(values, _mm_set1_epi8(51));
        pick = _mm_sub_epi8(pick, _mm_cmpgt_epi8(values, _mm_set1_epi8(25)));

        __m128i text = _mm_add_epi8(_mm_shuffle_epi8(offsets, pick), values);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), text);

        d += 16;
        done += 12;
    }

    return done;
}

/*
 * The spread of an AVX2 step that reads its 32 bytes in one load from
 * four bytes before its group: the lower lane's twelve bytes start at its
 * fourth byte, the upper lane's as in the SSSE3 step.
 */
alignas(32) constexpr char spread_after_four[32] = {
    5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14,
    1, 0, 2, 1, 4, 3, 5, 4, 7,  6,  8,  7,  10, 9,  11, 10};

/* The constants of the AVX2 steps, each 128-bit lane as the SSSE3 ones. */
struct avx2_constants {
    __m256i spread;
    __m256i spread_after_four;
    __m256i mask_ac;
    __m256i shift_ac;
    __m256i mask_bd;
    __m256i shift_bd;
    __m256i offsets;
};

/* The rest of an AVX2 step, from its spread bytes to its 32 characters. */
__attribute__((target("avx2"), always_inline)) inline void
encode_spread_avx2(u_char *d, __m256i in, const avx2_constants &k) noexcept
{
    __m256i values = _mm256_or_si256(
        _mm256_mulhi_epu16(_mm256_and_si256(in, k.mask_ac), k.shift_ac),
        _mm256_mullo_epi16(_mm256_and_si256(in, k.mask_bd), k.shift_bd));

    __m256i pick = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    pick =
        _mm256_sub_epi8(pick, _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));

    __m256i text =
        _mm256_add_epi8(_mm256_shuffle_epi8(k.offsets, pick), values);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), text);
}

/*
 * One AVX2 step, twenty-four bytes to thirty-two characters: a group of
 * twelve in each 128-bit lane, as the shuffles work within a lane.  The
 * upper lane's sixteen bytes are read from the twelfth on, so a step needs
 * twenty-eight bytes.
 */
__attribute__((target("avx2"), always_inline)) inline void
encode_step_avx2(u_char *d, const u_char *s, const avx2_constants &k) noexcept
{
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
    __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 12));
    __m256i in = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);

    encode_spread_avx2(d, _mm256_shuffle_epi8(in, k.spread), k);
}

/*
 * The same step with one load from four bytes before s, which are the
 * bytes of the step before: every step but a run's first.
 */
__attribute__((target("avx2"), always_inline)) inline void
encode_next_step_avx2(u_char *d, const u_char *s,
                      const avx2_constants &k) noexcept
{
    __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s - 4));

    encode_spread_avx2(d, _mm256_shuffle_epi8(in, k.spread_after_four), k);
}

/*
 * The AVX2 steps over as much as they take, four a round while there is
 * room, which quarters the loop's own work on a body of kilobytes; returns
 * how many bytes it encoded, a multiple of 24.
 */
__attribute__((target("avx2"))) size_t
encode_base64_avx2(u_char *d, const u_char *s, size_t len) noexcept
{
    const avx2_constants k = {
        _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i *>(spread_bytes))),
        _mm256_load_si256(reinterpret_cast<const __m256i *>(spread_after_four)),
        _mm256_set1_epi32(0x0fc0fc00),
        _mm256_set1_epi32(0x04000040),
        _mm256_set1_epi32(0x003f03f0),
        _mm256_set1_epi32(0x01000010),
        _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i *>(offset_bytes)))};

    if (len < 28) {
        return 0;
    }

    /* the first step has no bytes before it to read */
    encode_step_avx2(d, s, k);
    d += 32;
    size_t done = 24;

    while (len - done >= 3 * 24 + 28) {
        encode_next_step_avx2(d, s + done, k);
        encode_next_step_avx2(d + 32, s + done + 24, k);
        encode_next_step_avx2(d + 64, s + done + 48, k);
        encode_next_step_avx2(d + 96, s + done + 72, k);

        d += 128;
        done += 96;
    }

    while (len - done >= 28) {
        encode_next_step_avx2(d, s + done, k);

        d += 32;
        done += 24;
    }

    /* no dirty upper halves left for the SSE code that runs next */
    _mm256_zeroupper();

    return done;
}

#endif

base64_path
widest_path() noexcept
{
#if (NGX_EXT_X86_SIMD)
    __builtin_cpu_init();

    if (__builtin_cpu_supports("avx2")) {
        return base64_path::avx2;
    }
    if (__builtin_cpu_supports("ssse3")) {
        return base64_path::ssse3;
    }
#endif

    return base64_path::plain;
}

/* The processor is asked once per process. */
base64_path
best_path() noexcept
{
    static const base64_path path = widest_path();
    return path;
}

/*
 * The widest path the caller allows for as much as it takes, the narrower
 * ones for what is left: whole groups of three, then the last one or two
 * bytes with their padding.
 */
u_char *
encode_base64_from(base64_path path, u_char *d, const u_char *s,
                   size_t len) noexcept
{
#if (NGX_EXT_X86_SIMD)
    if (path == base64_path::avx2 && len >= 28) {
        size_t done = encode_base64_avx2(d, s, len);

        s += done;
        d += done / 3 * 4;
        len -= done;
    }

    if (path != base64_path::plain && len >= 16) {
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

} /* namespace */

void
overflowed(writer &w) noexcept
{
    w.overflow = true;

    if (!w.quiet) {
        kestrelvanes::count(log_stats.json_data_append_failed);
    }
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
append_number_checked(writer &w, const char *prefix, uint64_t value,
                      const char *suffix) noexcept
{
    u_char digits[NGX_INT64_LEN];
    u_char *d = digits + sizeof(digits);

    do {
        *--d = (u_char) ('0' + value % 10);
        value /= 10;
    } while (value != 0);

    size_t prefix_len = ngx_strlen(prefix);
    size_t digits_len = digits + sizeof(digits) - d;
    size_t suffix_len = ngx_strlen(suffix);

    /* whole or nothing, as append_string() */
    if (w.room() <= prefix_len + digits_len + suffix_len) {
        overflowed(w);
        return;
    }

    w.pos = ngx_cpymem(w.pos, prefix, prefix_len);
    w.pos = ngx_cpymem(w.pos, d, digits_len);
    w.pos = ngx_cpymem(w.pos, suffix, suffix_len);
}

/*
 * Stretches that need no escape are copied at once; when one does not
 * fit, it goes piece by piece, so what lands in a full buffer and what is
 * counted are the same as byte by byte.
 */
void
write_escaped_walk(writer &w, const u_char *p, size_t len) noexcept
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

/*
 * The escape of a byte that does not stand for itself: quote and
 * backslash after a backslash, any other (a control byte, or one that
 * starts no well-formed character) as \u00XX.
 */
static inline u_char *
put_byte_escape(u_char *d, u_char c) noexcept
{
    if (c == '"' || c == '\\') {
        *d++ = '\\';
        *d++ = c;
        return d;
    }

    *d++ = '\\';
    *d++ = 'u';
    *d++ = '0';
    *d++ = '0';
    *d++ = hex[c >> 4];
    *d++ = hex[c & 0xf];
    return d;
}

/*
 * The same stretches and escapes as write_escaped_walk(), into room that
 * is known to be enough.  Most stretches of a header are short: they are
 * copied a word at a time rather than through a call to memcpy.
 */
u_char *
put_escaped_walk(u_char *d, const u_char *p, size_t len) noexcept
{
    const u_char *end = p + len;

    /*
     * A short value (a quoted token, a path with a backslash) byte by
     * byte, cheaper than finding its stretches; from the first byte above
     * 0x7f on, the stretches decide what is a character.
     */
    if (len <= 16) {
        while (p < end) {
            u_char c = *p;

            if (plain.entry[c]) {
                *d++ = c;
                p++;
                continue;
            }

            if (c >= 0x80) {
                break;
            }

            p++;
            d = put_byte_escape(d, c);
        }
    }

    while (p < end) {
        const u_char *run = p;
        p = unchanged_run(p, end);

        size_t n = p - run;

        if (n >= 8 && n <= 16) {
            uint64_t first, last;

            ngx_memcpy(&first, run, 8);
            ngx_memcpy(&last, p - 8, 8);
            ngx_memcpy(d, &first, 8);
            ngx_memcpy(d + n - 8, &last, 8);
            d += n;

        } else if (n < 8) {
            while (run < p) {
                *d++ = *run++;
            }

        } else {
            d = ngx_cpymem(d, run, n);
        }

        if (p == end) {
            break;
        }

        d = put_byte_escape(d, *p++);
    }

    return d;
}

u_char *
put_escaped(u_char *d, const u_char *p, size_t len) noexcept
{
    u_char *end =
        len - 1 < 3 ? put_tiny_plain(d, p, len) : put_short_plain(d, p, len);

    return end != NULL ? end : put_escaped_walk(d, p, len);
}

void
write_string_member(writer &w, const char *key, size_t key_len,
                    const u_char *value, size_t len) noexcept
{
    if (reserved(w, key_len + 5 + escaped_bound(len))) {
        u_char *p = w.pos;

        *p++ = '"';
        p = ngx_cpymem(p, key, key_len);
        p = put_literal(p, "\":\"");
        p = put_escaped(p, value, len);
        *p++ = '"';
        w.pos = p;
        return;
    }

    append_char(w, '"');
    append_string(w, key, key_len);
    append_literal(w, "\":\"");
    write_escaped(w, value, len);
    append_char(w, '"');
}

u_char *
encode_base64(u_char *d, const u_char *s, size_t len) noexcept
{
    return encode_base64_from(best_path(), d, s, len);
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

namespace detail {

bool
base64_path_supported(base64_path path) noexcept
{
    switch (path) {
    case base64_path::plain:
        return true;
#if (NGX_EXT_X86_SIMD)
    case base64_path::ssse3:
        return __builtin_cpu_supports("ssse3");
    case base64_path::avx2:
        return __builtin_cpu_supports("avx2");
#endif
    default:
        return false;
    }
}

u_char *
encode_base64_by(base64_path path, u_char *dst, const u_char *src,
                 size_t len) noexcept
{
    return encode_base64_from(path, dst, src, len);
}

} /* namespace detail */

} /* namespace json */
} /* namespace kestrelvanes */
